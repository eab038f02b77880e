// Playback when the audio server goes away: this test runs its own server
// (not the one scripts/test starts, which the other tests need), opens a
// voice device on it and kills the server before the first block or in the
// middle of an over. Nothing hangs or crashes: every buffer comes back done,
// on the application's thread, and reset and close still work. A server that
// comes back is played to again, and a loudspeaker opened again plays at once.

#include "donecount.h"
#include "gsmcodec.h"
#include "messagewindow.h"
#include "wavedevices.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <array>
#include <cmath>
#include <vector>

using namespace wave;

namespace {

// An over of `blocks` copies of block on a new device, written one every
// 40 ms as a talker sends them: true when every step worked, every buffer
// came back and some of the sound was played.
bool playOver(qintptr window, std::array<char, gsmBlockBytes> &block, int blocks) {
    std::unique_ptr<WaveOutDevice> device;
    if (WaveOutDevice::open(device, WAVE_MAPPER, gsmVoiceFormat(), window) != MMSYSERR_NOERROR)
        return false;
    std::vector<WaveHeader> headers(static_cast<size_t>(blocks));
    QElapsedTimer clock;
    clock.start();
    bool ok = true;
    for (int k = 0; k < blocks; ++k) {
        WaveHeader &header = headers[size_t(k)];
        header.lpData = block.data();
        header.dwBufferLength = gsmBlockBytes;
        ok = device->prepareHeader(&header) == MMSYSERR_NOERROR && ok;
        while (clock.elapsed() < k * 40)
            QTest::qWait(1);
        ok = device->write(&header) == MMSYSERR_NOERROR && ok;
    }
    ok = QTest::qWaitFor([&] { return device->queuedBuffers() == 0; }, 10000) && ok;
    const bool played = device->playedSamples() > 0;
    for (WaveHeader &header : headers)
        ok = device->unprepareHeader(&header) == MMSYSERR_NOERROR && ok;
    return device->close() == MMSYSERR_NOERROR && played && ok;
}

} // namespace

class ServerLossTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void serverGoneGivesEveryBufferBack();
    void serverBackIsPlayedToAgain();
    void reopenedLoudspeakerPlaysAtOnce();

private:
    bool startServer();
    QTemporaryDir m_dir;
    QProcess m_server;
};

void ServerLossTest::initTestCase() {
    if (QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty())
        QSKIP("no pulseaudio to run a server of this test's own");
    QVERIFY(startServer());
    // Every client of this process talks to this server: the audio devices
    // are looked for only as the first one opens.
    qputenv("PULSE_SERVER", "unix:" + m_dir.filePath("native").toLocal8Bit());
}

bool ServerLossTest::startServer() {
    const QString socket = m_dir.filePath("native");
    QFile::remove(socket);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", m_dir.path());
    env.insert("PULSE_RUNTIME_PATH", m_dir.filePath("pulse"));
    env.remove("PULSE_SERVER");
    m_server.setProcessEnvironment(env);
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start(QStringLiteral("pulseaudio"),
                   {"--daemonize=no", "--exit-idle-time=-1", "--system=false", "--disable-shm=yes",
                    "--use-pid-file=no", "-n", "--log-level=error",
                    "--load=module-native-protocol-unix socket=" + socket,
                    "--load=module-null-sink sink_name=lossy_sink rate=8000 channels=1"});
    return m_server.waitForStarted() &&
           QTest::qWaitFor([&] { return QFile::exists(socket); }, 10000);
}

void ServerLossTest::cleanupTestCase() {
    if (m_server.state() != QProcess::NotRunning) {
        m_server.kill();
        m_server.waitForFinished();
    }
}

// Two voice devices on the test's server: one plays the first second of an
// over when the server is killed and goes on being written to; the other gets
// its first block only after that.
void ServerLossTest::serverGoneGivesEveryBufferBack() {
    const qintptr window = createMessageWindow(QStringLiteral("STATIC"), QStringLiteral("out"));
    QVERIFY(window);
    setWindowProc(window, donecount::windowProc);
    std::unique_ptr<WaveOutDevice> playing, late;
    QCOMPARE(WaveOutDevice::open(playing, WAVE_MAPPER, gsmVoiceFormat(), window), MMSYSERR_NOERROR);
    QCOMPARE(WaveOutDevice::open(late, WAVE_MAPPER, gsmVoiceFormat(), window), MMSYSERR_NOERROR);

    constexpr int blocks = 75;
    constexpr int killedAt = 25;
    GsmCoder coder;
    std::vector<std::array<char, gsmBlockBytes>> data(blocks);
    std::vector<WaveHeader> headers(2 * blocks);
    std::array<qint16, gsmBlockSamples> tone;
    for (int k = 0; k < blocks; ++k) {
        for (int n = 0; n < gsmBlockSamples; ++n)
            tone[n] = qint16(8000 * std::sin(2 * M_PI * 600 * (k * gsmBlockSamples + n) / 8000.0));
        coder.encodeBlock(tone.data(), reinterpret_cast<uchar *>(data[k].data()));
        for (WaveOutDevice *device : {playing.get(), late.get()}) {
            WaveHeader &header = headers[size_t(device == late.get() ? blocks + k : k)];
            header.lpData = data[k].data();
            header.dwBufferLength = gsmBlockBytes;
            QCOMPARE(device->prepareHeader(&header), MMSYSERR_NOERROR);
        }
    }
    QElapsedTimer clock;
    clock.start();
    for (int k = 0; k < blocks; ++k) {
        if (k == killedAt) {
            QTRY_VERIFY(playing->playedSamples() > 0);
            m_server.kill();
            QVERIFY(m_server.waitForFinished());
        }
        while (clock.elapsed() < k * 40)
            QTest::qWait(1);
        QCOMPARE(playing->write(&headers[size_t(k)]), MMSYSERR_NOERROR);
        if (k >= killedAt)
            QCOMPARE(late->write(&headers[size_t(blocks + k)]), MMSYSERR_NOERROR);
    }
    // The sound is gone with the server, but not the buffers.
    QTRY_COMPARE_WITH_TIMEOUT(playing->queuedBuffers(), 0, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(late->queuedBuffers(), 0, 10000);
    QTRY_COMPARE(donecount::onAppThread, 2 * blocks - killedAt);
    QCOMPARE(donecount::elsewhere, 0);
    // Reset gives the device another try at the server, which is still gone:
    // the buffer comes back all the same.
    QCOMPARE(playing->reset(), MMSYSERR_NOERROR);
    QCOMPARE(playing->write(&headers[0]), MMSYSERR_NOERROR);
    QTRY_COMPARE_WITH_TIMEOUT(playing->queuedBuffers(), 0, 10000);
    for (int k = 0; k < blocks; ++k) {
        QCOMPARE(playing->unprepareHeader(&headers[size_t(k)]), MMSYSERR_NOERROR);
        QCOMPARE(late->unprepareHeader(&headers[size_t(blocks + k)]), MMSYSERR_NOERROR);
    }
    QCOMPARE(playing->close(), MMSYSERR_NOERROR);
    QCOMPARE(late->close(), MMSYSERR_NOERROR);
    playing.reset();
    late.reset();
    destroyWindow(window);
}

// The loudspeaker closes while the user speaks; when the server has
// meanwhile been restarted, the next over is played all the same.
void ServerLossTest::serverBackIsPlayedToAgain() {
    if (m_server.state() == QProcess::NotRunning)
        QVERIFY(startServer());
    const qintptr window = createMessageWindow(QStringLiteral("STATIC"), QStringLiteral("out"));
    QVERIFY(window);
    setWindowProc(window, donecount::windowProc);
    std::array<char, gsmBlockBytes> block{};
    QVERIFY(playOver(window, block, 10));
    m_server.kill();
    QVERIFY(m_server.waitForFinished());
    QVERIFY(startServer());
    QVERIFY(playOver(window, block, 10));
    destroyWindow(window);
}

// This server's sink has nothing else to play, as a listener's own sound
// server has while the user speaks. A null sink without a stream sleeps for
// up to two seconds before it takes sound from a new one; the loudspeaker
// that opens again after the user's over must not make the reply wait that
// long and then hurry it through.
void ServerLossTest::reopenedLoudspeakerPlaysAtOnce() {
    if (m_server.state() == QProcess::NotRunning)
        QVERIFY(startServer());
    const qintptr window = createMessageWindow(QStringLiteral("STATIC"), QStringLiteral("out"));
    QVERIFY(window);
    setWindowProc(window, donecount::windowProc);
    GsmCoder coder;
    std::array<qint16, gsmBlockSamples> tone;
    std::array<char, gsmBlockBytes> block;
    for (int n = 0; n < gsmBlockSamples; ++n)
        tone[size_t(n)] = qint16(8000 * std::sin(2 * M_PI * 600 * n / 8000.0));
    coder.encodeBlock(tone.data(), reinterpret_cast<uchar *>(block.data()));
    QVERIFY(playOver(window, block, 25));
    // The user speaks; the sink has nothing to play meanwhile.
    QTest::qWait(3000);
    const PlayoutTotals before = WaveOutDevice::playoutTotals();
    QVERIFY(playOver(window, block, 50));
    const PlayoutTotals reply = WaveOutDevice::playoutTotals() - before;
    qInfo("the reply: %.0f ms sped up, %.0f ms cut, %.0f ms covered", reply.spedUpMs, reply.cutMs,
          reply.coveredMs);
    QCOMPARE(reply.spedUpMs + reply.cutMs, 0.0);
    destroyWindow(window);
}

QTEST_GUILESS_MAIN(ServerLossTest)
#include "tst_serverloss.moc"
