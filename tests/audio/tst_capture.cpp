// Speech capture end to end: a tone that pauses for 40 ms once a second is
// played into the default sink, whose monitor is the default source;
// clsWaveIn records overs and each block goes to a channel port of the real
// relay, where a second station listens. Between two pauses there is exactly
// a second of sound, so a pause that comes early in what the listener got
// means speech that was never sent. Runs on either setup of
// scripts/audio-server.

#include "clsWaveIn.h"
#include "gsmcodec.h"
#include "relayprocess.h"

#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <cmath>
#include <vector>

using namespace wave;

namespace {

constexpr int rate = gsmSampleRate;

QByteArray markedToneWav(int seconds) {
    const int samples = seconds * rate;
    QByteArray pcm(samples * 2, '\0');
    auto *out = reinterpret_cast<qint16 *>(pcm.data());
    for (int i = 0; i < samples; ++i)
        if (i % rate < rate * 960 / 1000)
            out[i] = qint16(8000 * std::sin(2 * M_PI * 600 * i / rate));
    QByteArray wav("RIFF");
    const auto put = [&](quint32 v, int bytes) {
        wav.append(reinterpret_cast<const char *>(&v), bytes);
    };
    put(quint32(36 + pcm.size()), 4);
    wav.append("WAVEfmt ");
    put(16, 4);
    put(1, 2);
    put(1, 2);
    put(rate, 4);
    put(rate * 2, 4);
    put(2, 2);
    put(16, 2);
    wav.append("data");
    put(quint32(pcm.size()), 4);
    return wav + pcm;
}

// Sample positions where a pause of at least 15 ms begins.
std::vector<qsizetype> pausesIn(const QByteArray &blocks) {
    GsmCoder decoder;
    std::vector<qsizetype> starts;
    std::array<qint16, gsmBlockSamples> samples;
    qsizetype quiet = 0, index = 0;
    for (qsizetype at = 0; at + gsmBlockBytes <= blocks.size(); at += gsmBlockBytes) {
        decoder.decodeBlock(reinterpret_cast<const uchar *>(blocks.constData() + at),
                            samples.data());
        for (qint16 s : samples) {
            if (std::abs(int(s)) > 1000) {
                // A pause the over began in has no known start.
                if (quiet >= rate * 15 / 1000 && quiet < index)
                    starts.push_back(index - quiet);
                quiet = 0;
            } else {
                ++quiet;
            }
            ++index;
        }
    }
    return starts;
}

} // namespace

class CaptureTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyBlockReachesTheChannel_data();
    void everyBlockReachesTheChannel();

private:
    QTemporaryDir m_dir;
    QProcess m_relay;
    QProcess m_mouth;
    QTcpSocket m_talker;
    QTcpSocket m_listener;
};

void CaptureTest::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no audio server: run the tests through scripts/test, which starts one");
    const int offset = testsupport::startRelay(m_relay, m_dir.filePath("relay.log"));
    QVERIFY(offset >= 0);
    const quint16 port = quint16(324 + 7 + offset);
    m_talker.connectToHost(QStringLiteral("127.0.0.1"), port);
    m_listener.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(m_talker.waitForConnected() && m_listener.waitForConnected());
    QVERIFY(testsupport::waitForStations(m_dir.filePath("relay.log"), port, 2));

    QFile tone(m_dir.filePath("tone.wav"));
    QVERIFY(tone.open(QIODevice::WriteOnly));
    tone.write(markedToneWav(120));
    tone.close();
    // The player keeps a deep buffer, so the tone has no breaks of its own
    // however busy the machine is.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("PULSE_LATENCY_MSEC"));
    m_mouth.setProcessEnvironment(env);
    m_mouth.start(QStringLiteral("paplay"), {tone.fileName()});
    QVERIFY(m_mouth.waitForStarted());
    QTest::qWait(1000);
}

void CaptureTest::cleanupTestCase() {
    m_mouth.kill();
    m_mouth.waitForFinished();
    m_relay.terminate();
    m_relay.waitForFinished();
}

void CaptureTest::everyBlockReachesTheChannel_data() {
    QTest::addColumn<int>("stallMs");
    QTest::newRow("window thread free") << 0;
    // The serial handler sleeps this long on the window thread by design.
    QTest::newRow("window thread stalled 400 ms") << 400;
    // Sound waits a second for the window thread; a slow dialog may take that.
    QTest::newRow("window thread stalled 900 ms") << 900;
}

void CaptureTest::everyBlockReachesTheChannel() {
    QFETCH(int, stallMs);
    constexpr int overMs = 4000;
    clsWaveIn in;
    in.Subclassing_Initialize();
    int sent = 0;
    connect(&in, &clsWaveIn::OnWaveInData, this, [&](const QByteArray &data, qint32 length) {
        QCOMPARE(length, gsmBlockBytes);
        ++sent;
        m_talker.write(data);
    });
    m_listener.readAll();
    QByteArray heard;
    connect(&m_listener, &QTcpSocket::readyRead, this, [&] { heard += m_listener.readAll(); });

    QVERIFY(in.RecordStart(gsmVoiceFormat()));
    // A null sink renders ahead in slices of up to 2 s while nothing asks it
    // for a short latency, and sound rendered before the stream came is not
    // the stream's: the over is timed from its first block.
    QTRY_VERIFY_WITH_TIMEOUT(sent > 0, 5000);
    if (stallMs > 0)
        QTimer::singleShot(1000, this, [stallMs] { QThread::msleep(ulong(stallMs)); });
    QTest::qWait(overMs);
    QVERIFY(in.RecordStop());
    // The blocks the stop hands back come after it.
    QTRY_COMPARE_WITH_TIMEOUT(heard.size(), qsizetype(sent) * gsmBlockBytes, 5000);
    QVERIFY(testsupport::staysSilent(m_listener, 300));
    disconnect(&m_listener, nullptr, this, nullptr);
    in.Subclassing_Terminate();

    // The stop may leave a piece of sound the server had not yet handed over.
    QVERIFY2(sent >= 1 + overMs / 40 - 5, qPrintable(QString::number(sent)));
    const std::vector<qsizetype> pauses = pausesIn(heard);
    QVERIFY2(pauses.size() >= 3, qPrintable(QString::number(pauses.size())));
    for (size_t p = 1; p < pauses.size(); ++p) {
        const double ms = double(pauses[p] - pauses[p - 1]) * 1000 / rate;
        QVERIFY2(
            std::abs(ms - 1000) <= 10,
            qPrintable(QStringLiteral("%1 ms between pauses %2 and %3").arg(ms).arg(p - 1).arg(p)));
    }
}

QTEST_GUILESS_MAIN(CaptureTest)
#include "tst_capture.moc"
