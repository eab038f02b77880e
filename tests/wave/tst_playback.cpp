// Playback of voice against the test audio server while the application's
// thread is busy: the loudspeaker is recorded by parecord, a process of its
// own, so the recording does not wait for this thread either.

#include "donecount.h"
#include "gsmcodec.h"
#include "messagewindow.h"
#include "wavedevices.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

using namespace wave;

namespace {

struct Silences {
    int count = 0;
    double longestMs = 0;
};

// Runs of 5 ms or more below the threshold between the first and the last
// loud sample.
Silences silencesIn(const std::vector<qint16> &samples, int threshold) {
    Silences found;
    size_t first = 0;
    while (first < samples.size() && std::abs(int(samples[first])) <= threshold)
        ++first;
    size_t last = samples.size();
    while (last > first && std::abs(int(samples[last - 1])) <= threshold)
        --last;
    size_t quiet = 0;
    for (size_t n = first; n < last; ++n) {
        if (std::abs(int(samples[n])) <= threshold) {
            ++quiet;
            continue;
        }
        if (quiet >= 40) {
            ++found.count;
            found.longestMs = std::max(found.longestMs, quiet / 8.0);
        }
        quiet = 0;
    }
    return found;
}

} // namespace

class PlaybackTest : public QObject {
    Q_OBJECT
private slots:
    void busyApplicationThreadLeavesNoGap();
};

// An over arrives with a second of it queued, and in its middle the
// application's thread is stuck for 400 ms. The sound plays on without a break, and every buffer
// still comes back on the application's thread.
void PlaybackTest::busyApplicationThreadLeavesNoGap() {
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no test audio server: run through scripts/test");
    QTemporaryDir dir;
    const QString file = dir.filePath("loudspeaker.raw");
    QProcess recorder;
    recorder.start(QStringLiteral("parecord"),
                   {"--device=marlox_sink.monitor", "--rate=8000", "--channels=1", "--format=s16le",
                    "--raw", "--latency-msec=20", file});
    QVERIFY(recorder.waitForStarted());
    QTest::qWait(300);

    const qintptr window = createMessageWindow(QStringLiteral("STATIC"), QStringLiteral("out"));
    QVERIFY(window);
    setWindowProc(window, donecount::windowProc);
    std::unique_ptr<WaveOutDevice> out;
    QCOMPARE(WaveOutDevice::open(out, WAVE_MAPPER, gsmVoiceFormat(), window), MMSYSERR_NOERROR);

    constexpr int blocks = 75;
    GsmCoder coder;
    std::vector<std::array<char, gsmBlockBytes>> data(blocks);
    std::vector<WaveHeader> headers(blocks);
    std::array<qint16, gsmBlockSamples> tone;
    for (int k = 0; k < blocks; ++k) {
        for (int n = 0; n < gsmBlockSamples; ++n)
            tone[n] = qint16(8000 * std::sin(2 * M_PI * 600 * (k * gsmBlockSamples + n) / 8000.0));
        coder.encodeBlock(tone.data(), reinterpret_cast<uchar *>(data[k].data()));
        headers[k].lpData = data[k].data();
        headers[k].dwBufferLength = gsmBlockBytes;
        QCOMPARE(out->prepareHeader(&headers[k]), MMSYSERR_NOERROR);
    }
    // A second of the over at once, as a line that stalled lets it through;
    // then a block every 40 ms, and after another second the thread is stuck.
    int written = 0;
    const auto writeUpTo = [&](int count) {
        for (; written < count; ++written)
            QCOMPARE(out->write(&headers[written]), MMSYSERR_NOERROR);
    };
    writeUpTo(25);
    QElapsedTimer clock;
    clock.start();
    for (int k = 25; k < blocks; ++k) {
        while (clock.elapsed() < (k - 24) * 40)
            QTest::qWait(1);
        writeUpTo(k + 1);
        if (k == 49)
            QThread::msleep(400);
    }
    QTRY_COMPARE_WITH_TIMEOUT(out->queuedBuffers(), 0, 5000);
    QTest::qWait(300);
    recorder.terminate();
    recorder.waitForFinished();

    QFile raw(file);
    QVERIFY(raw.open(QIODevice::ReadOnly));
    const QByteArray bytes = raw.readAll();
    std::vector<qint16> samples(size_t(bytes.size() / 2));
    std::memcpy(samples.data(), bytes.constData(), samples.size() * 2);
    const Silences silences = silencesIn(samples, 800);
    const PlayoutTotals totals = WaveOutDevice::playoutTotals();
    qInfo("%zu samples recorded; %d silences, longest %.1f ms; %.0f ms sped up", samples.size(),
          silences.count, silences.longestMs, totals.spedUpMs);
    QVERIFY(samples.size() > 8000);
    QCOMPARE(silences.count, 0);

    QTRY_COMPARE(donecount::onAppThread, blocks);
    QCOMPARE(donecount::elsewhere, 0);
    for (WaveHeader &header : headers) {
        QVERIFY(header.dwFlags & WHDR_DONE);
        QCOMPARE(out->unprepareHeader(&header), MMSYSERR_NOERROR);
    }
    QCOMPARE(out->close(), MMSYSERR_NOERROR);
    destroyWindow(window);
}

QTEST_GUILESS_MAIN(PlaybackTest)
#include "tst_playback.moc"
