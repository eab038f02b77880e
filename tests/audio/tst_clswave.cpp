// The capture and playback objects on a real audio server whose default
// source hears what the default sink plays (see scripts/audio-server).

#include "clsWaveIn.h"
#include "clsWaveOut.h"
#include "gsmcodec.h"
#include "modWave.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QSignalSpy>
#include <QTest>
#include <array>
#include <cmath>
#include <thread>
#include <vector>

using namespace wave;

namespace {

using Block = std::array<char, gsmBlockBytes>;

std::vector<Block> toneBlocks(int count, double hz, double amplitude) {
    GsmCoder encoder;
    std::vector<Block> blocks(count);
    std::array<qint16, gsmBlockSamples> samples;
    for (int b = 0; b < count; ++b) {
        for (int i = 0; i < gsmBlockSamples; ++i)
            samples[i] = qint16(
                amplitude * std::sin(2 * M_PI * hz * (b * gsmBlockSamples + i) / gsmSampleRate));
        encoder.encodeBlock(samples.data(), reinterpret_cast<uchar *>(blocks[b].data()));
    }
    return blocks;
}

WaveFormat badFormat() {
    return pcmFormat(8000, 1, 24);
}

} // namespace

class ClsWaveTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();

    void closedObjectsRefuseQuietly();
    void startFailureIsReported_data();
    void startFailureIsReported();
    void recordingDeliversBlocksUntilStopped();
    void secondStartKeepsOneDevice();
    void quickRestartKeepsTwoBuffers();
    void forgedNotificationsAreIgnored();
    void playbackReportsEveryBlock();
    void playbackStopReturnsQueuedBlocks();
    void playbackRefusesBadBlocks_data();
    void playbackRefusesBadBlocks();
    void speechGoesRoundTheLoop();
    void terminateReleasesEverything();
    void deletingRunningObjectsIsSafe();
    void windowOffTheMainThreadRaises();
};

void ClsWaveTest::initTestCase() {
    QVERIFY2(!QMediaDevices::audioOutputs().isEmpty() && !QMediaDevices::audioInputs().isEmpty(),
             "no audio devices: run the tests through scripts/test, which starts an audio server");
}

void ClsWaveTest::closedObjectsRefuseQuietly() {
    clsWaveIn in;
    clsWaveOut out;
    in.Subclassing_Initialize();
    out.Subclassing_Initialize();
    QSignalSpy inError(&in, &clsWaveIn::OnWaveInError), inClose(&in, &clsWaveIn::OnWaveInClose);
    QSignalSpy outError(&out, &clsWaveOut::OnWaveOutError),
        outClose(&out, &clsWaveOut::OnWaveOutClose);
    const Block block{};
    QVERIFY(!in.RecordStop());
    QVERIFY(!out.PlaybackStop());
    QVERIFY(!out.PlayBuffer(block.data(), gsmBlockBytes));
    QTest::qWait(20);
    QCOMPARE(inError.count() + inClose.count() + outError.count() + outClose.count(), 0);
    QCOMPARE(in.m_BufferCount(), 0);
    QCOMPARE(out.m_BufferCount(), 0);
    in.Subclassing_Terminate();
    out.Subclassing_Terminate();
}

void ClsWaveTest::startFailureIsReported_data() {
    QTest::addColumn<bool>("capture");
    QTest::addColumn<bool>("initialised");
    QTest::addColumn<quint32>("code");
    QTest::newRow("capture, unsupported format") << true << true << WAVERR_BADFORMAT;
    QTest::newRow("capture, no message window") << true << false << MMSYSERR_INVALPARAM;
    QTest::newRow("playback, unsupported format") << false << true << WAVERR_BADFORMAT;
    QTest::newRow("playback, no message window") << false << false << MMSYSERR_INVALPARAM;
}

void ClsWaveTest::startFailureIsReported() {
    QFETCH(bool, capture);
    QFETCH(bool, initialised);
    QFETCH(quint32, code);
    clsWaveIn in;
    clsWaveOut out;
    QSignalSpy inError(&in, &clsWaveIn::OnWaveInError);
    QSignalSpy outError(&out, &clsWaveOut::OnWaveOutError);
    if (initialised) {
        in.Subclassing_Initialize();
        out.Subclassing_Initialize();
    }
    const WaveFormat format = initialised ? badFormat() : gsmVoiceFormat();
    QVERIFY(!(capture ? in.RecordStart(format) : out.PlaybackStart(format)));
    QSignalSpy &spy = capture ? inError : outError;
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy[0][0].toInt(), qint32(code));
    QVERIFY(!spy[0][1].toString().isEmpty());
    QCOMPARE(spy[0][2].toString(), QString(capture ? "clsWaveIn" : "clsWaveOut"));
    QCOMPARE(in.m_BufferCount(), 0);
    // Nothing was left open.
    QVERIFY(!in.RecordStop());
    QVERIFY(!out.PlaybackStop());
    in.Subclassing_Terminate();
    out.Subclassing_Terminate();
}

void ClsWaveTest::recordingDeliversBlocksUntilStopped() {
    clsWaveIn in;
    in.Subclassing_Initialize();
    QSignalSpy open(&in, &clsWaveIn::OnWaveInOpen), data(&in, &clsWaveIn::OnWaveInData),
        close(&in, &clsWaveIn::OnWaveInClose), error(&in, &clsWaveIn::OnWaveInError);
    int mostBuffers = 0;
    connect(&in, &clsWaveIn::OnWaveInData, this,
            [&] { mostBuffers = std::max(mostBuffers, in.m_BufferCount()); });
    QVERIFY(in.RecordStart(gsmVoiceFormat()));
    QCOMPARE(open.count(), 0); // posted, not raised inside the call
    QCOMPARE(in.m_BufferCount(), 2);
    QTRY_VERIFY(data.count() >= 5);
    QCOMPARE(open.count(), 1);
    for (const QList<QVariant> &event : data) {
        QCOMPARE(event[0].toByteArray().size(), gsmBlockBytes);
        QCOMPARE(event[1].toInt(), gsmBlockBytes);
    }
    QVERIFY(mostBuffers <= 2);

    const qsizetype blocksAtStop = data.count();
    QVERIFY(in.RecordStop());
    QCOMPARE(close.count(), 0);
    QTRY_COMPARE(close.count(), 1);
    QCOMPARE(in.m_BufferCount(), 0);
    QTest::qWait(100);
    QVERIFY(data.count() <= blocksAtStop + 2);
    QCOMPARE(error.count(), 0);
    in.Subclassing_Terminate();
}

void ClsWaveTest::secondStartKeepsOneDevice() {
    clsWaveIn in;
    clsWaveOut out;
    in.Subclassing_Initialize();
    out.Subclassing_Initialize();
    QSignalSpy inClose(&in, &clsWaveIn::OnWaveInClose), outClose(&out, &clsWaveOut::OnWaveOutClose);
    QVERIFY(in.RecordStart(gsmVoiceFormat()));
    QVERIFY(in.RecordStart(gsmVoiceFormat()));
    QCOMPARE(in.m_BufferCount(), 2);
    QVERIFY(out.PlaybackStart(gsmVoiceFormat()));
    QVERIFY(out.PlaybackStart(gsmVoiceFormat()));
    QVERIFY(in.RecordStop());
    QVERIFY(out.PlaybackStop());
    // One stop closed everything that was open.
    QVERIFY(!in.RecordStop());
    QVERIFY(!out.PlaybackStop());
    QTRY_COMPARE(inClose.count(), 1);
    QTRY_COMPARE(outClose.count(), 1);
    in.Subclassing_Terminate();
    out.Subclassing_Terminate();
}

void ClsWaveTest::quickRestartKeepsTwoBuffers() {
    clsWaveIn in;
    in.Subclassing_Initialize();
    QSignalSpy data(&in, &clsWaveIn::OnWaveInData);
    // Press, release and press again before any notification has come in.
    QVERIFY(in.RecordStart(gsmVoiceFormat()));
    QVERIFY(in.RecordStop());
    QVERIFY(in.RecordStart(gsmVoiceFormat()));
    QTRY_VERIFY(data.count() >= 5);
    QCOMPARE(in.m_BufferCount(), 2);
    QVERIFY(in.RecordStop());
    QTRY_COMPARE(in.m_BufferCount(), 0);
    in.Subclassing_Terminate();
}

void ClsWaveTest::forgedNotificationsAreIgnored() {
    clsWaveIn in;
    clsWaveOut out;
    in.Subclassing_Initialize();
    out.Subclassing_Initialize();
    QVERIFY(in.RecordStart(gsmVoiceFormat()));
    QVERIFY(out.PlaybackStart(gsmVoiceFormat()));
    QSignalSpy data(&in, &clsWaveIn::OnWaveInData);
    QSignalSpy done(&out, &clsWaveOut::OnWaveOutDone);
    for (qintptr lParam : {qintptr(0), qintptr(12345), qintptr(-1)}) {
        QCOMPARE(in.IncommingMessage(in.windowHandle(), MM_WIM_DATA, 0, lParam), qintptr(0));
        QCOMPARE(out.IncommingMessage(out.windowHandle(), MM_WOM_DONE, 0, lParam), qintptr(0));
    }
    QCOMPARE(data.count(), 0);
    QCOMPARE(done.count(), 0);
    QCOMPARE(in.m_BufferCount(), 2);
    // Other messages go to the window's previous procedure, which answers 0.
    QCOMPARE(in.IncommingMessage(in.windowHandle(), 0x0111, 1, 2), qintptr(0));
    in.Subclassing_Terminate();
    out.Subclassing_Terminate();
}

void ClsWaveTest::playbackReportsEveryBlock() {
    clsWaveOut out;
    out.Subclassing_Initialize();
    QSignalSpy open(&out, &clsWaveOut::OnWaveOutOpen), done(&out, &clsWaveOut::OnWaveOutDone);
    QVERIFY(out.PlaybackStart(gsmVoiceFormat()));
    std::vector<Block> blocks = toneBlocks(10, 440, 4000);
    for (Block &block : blocks) {
        QVERIFY(out.PlayBuffer(block.data(), gsmBlockBytes));
        block.fill(0); // the object has its own copy
    }
    QVERIFY(out.PlayBuffer(blocks[0].data(), 0));
    QTRY_COMPARE(out.m_BufferCount(), 0);
    QCOMPARE(open.count(), 1);
    QCOMPARE(done.count(), 10); // none for the empty buffer
    for (const QList<QVariant> &event : done)
        QCOMPARE(event[0].toInt(), gsmBlockBytes);
    QVERIFY(out.PlaybackStop());
    out.Subclassing_Terminate();
}

void ClsWaveTest::playbackStopReturnsQueuedBlocks() {
    clsWaveOut out;
    out.Subclassing_Initialize();
    QSignalSpy done(&out, &clsWaveOut::OnWaveOutDone), close(&out, &clsWaveOut::OnWaveOutClose);
    QVERIFY(out.PlaybackStart(gsmVoiceFormat()));
    const std::vector<Block> blocks = toneBlocks(40, 440, 4000);
    for (const Block &block : blocks)
        QVERIFY(out.PlayBuffer(block.data(), gsmBlockBytes));
    QVERIFY(out.PlaybackStop());
    QVERIFY(!out.PlayBuffer(blocks[0].data(), gsmBlockBytes));
    QTRY_COMPARE(close.count(), 1);
    QCOMPARE(out.m_BufferCount(), 0);
    QCOMPARE(done.count(), 40);
    out.Subclassing_Terminate();
}

void ClsWaveTest::playbackRefusesBadBlocks_data() {
    QTest::addColumn<bool>("nullPointer");
    QTest::addColumn<qint32>("length");
    QTest::addColumn<int>("alreadyQueued");
    QTest::newRow("negative length") << false << -65 << 0;
    QTest::newRow("no bytes behind the length") << true << 65 << 0;
    QTest::newRow("absurd length") << false << clsWaveOut::maxBufferBytes + 1 << 0;
    QTest::newRow("queue full") << false << 65 << int(clsWaveOut::maxQueuedBuffers);
}

void ClsWaveTest::playbackRefusesBadBlocks() {
    QFETCH(bool, nullPointer);
    QFETCH(qint32, length);
    QFETCH(int, alreadyQueued);
    clsWaveOut out;
    out.Subclassing_Initialize();
    QVERIFY(out.PlaybackStart(gsmVoiceFormat()));
    std::vector<char> bytes(clsWaveOut::maxBufferBytes + 65);
    for (int i = 0; i < alreadyQueued; ++i)
        QVERIFY(out.PlayBuffer(bytes.data(), gsmBlockBytes));
    QVERIFY(!out.PlayBuffer(nullPointer ? nullptr : bytes.data(), length));
    QCOMPARE(out.m_BufferCount(), alreadyQueued);
    out.Subclassing_Terminate();
    QCOMPARE(out.m_BufferCount(), 0);
}

void ClsWaveTest::speechGoesRoundTheLoop() {
    clsWaveIn in;
    clsWaveOut out;
    in.Subclassing_Initialize();
    out.Subclassing_Initialize();
    GsmCoder decoder;
    double loudest = 0;
    connect(&in, &clsWaveIn::OnWaveInData, this, [&](const QByteArray &Data, qint32) {
        std::array<qint16, gsmBlockSamples> samples;
        decoder.decodeBlock(reinterpret_cast<const uchar *>(Data.constData()), samples.data());
        double sum = 0;
        for (qint16 s : samples)
            sum += double(s) * s;
        loudest = std::max(loudest, std::sqrt(sum / gsmBlockSamples));
    });
    QVERIFY(in.RecordStart(gsmVoiceFormat()));
    QVERIFY(out.PlaybackStart(gsmVoiceFormat()));
    // Below full volume the samples are scaled on their way out.
    QCOMPARE(WaveOutDevice::setVolume(0, 0xC000C000), MMSYSERR_NOERROR);
    const std::vector<Block> blocks = toneBlocks(clsWaveOut::maxQueuedBuffers, 1000, 8000);
    for (const Block &block : blocks)
        QVERIFY(out.PlayBuffer(block.data(), gsmBlockBytes));
    // A 1 kHz tone of amplitude 8000 at 3/4 volume has an RMS near 4200; silence is 0.
    QTRY_VERIFY_WITH_TIMEOUT(loudest > 2000, 10000);
    WaveOutDevice::setVolume(0, 0xFFFFFFFF);
    in.Subclassing_Terminate();
    out.Subclassing_Terminate();
}

void ClsWaveTest::terminateReleasesEverything() {
    clsWaveIn in;
    clsWaveOut out;
    in.Subclassing_Initialize();
    out.Subclassing_Initialize();
    QCOMPARE(windowTitle(in.windowHandle()), QString("WAVE_IN_WINDOW"));
    QCOMPARE(windowTitle(out.windowHandle()), QString("WAVE_OUT_WINDOW"));
    QCOMPARE(modWave::waveInTarget(), &in);
    QCOMPARE(modWave::waveOutTarget(), &out);
    QVERIFY(in.RecordStart(gsmVoiceFormat()));
    QVERIFY(out.PlaybackStart(gsmVoiceFormat()));
    const std::vector<Block> blocks = toneBlocks(20, 440, 4000);
    for (const Block &block : blocks)
        out.PlayBuffer(block.data(), gsmBlockBytes);

    const qintptr inWindow = in.windowHandle();
    in.Subclassing_Terminate();
    out.Subclassing_Terminate();
    QVERIFY(!isWindow(inWindow));
    QCOMPARE(in.windowHandle(), qintptr(0));
    QCOMPARE(in.m_BufferCount(), 0);
    QCOMPARE(out.m_BufferCount(), 0);
    QVERIFY(!modWave::waveInTarget());
    QVERIFY(!modWave::waveOutTarget());

    // The object can be taken into use again.
    QSignalSpy data(&in, &clsWaveIn::OnWaveInData);
    in.Subclassing_Initialize();
    QVERIFY(in.RecordStart(gsmVoiceFormat()));
    QTRY_VERIFY(data.count() >= 1);
    in.Subclassing_Terminate();
}

void ClsWaveTest::deletingRunningObjectsIsSafe() {
    auto in = std::make_unique<clsWaveIn>();
    auto out = std::make_unique<clsWaveOut>();
    in->Subclassing_Initialize();
    out->Subclassing_Initialize();
    int blocks = 0;
    connect(in.get(), &clsWaveIn::OnWaveInData, this, [&] { ++blocks; });
    QVERIFY(in->RecordStart(gsmVoiceFormat()));
    QVERIFY(out->PlaybackStart(gsmVoiceFormat()));
    const std::vector<Block> tone = toneBlocks(20, 440, 4000);
    for (const Block &block : tone)
        out->PlayBuffer(block.data(), gsmBlockBytes);
    QTRY_VERIFY(blocks >= 2);
    // Without Subclassing_Terminate: nothing may reach the objects afterwards.
    in.reset();
    out.reset();
    QVERIFY(!modWave::waveInTarget());
    QVERIFY(!modWave::waveOutTarget());
    const int blocksAtDelete = blocks;
    QTest::qWait(200);
    QCOMPARE(blocks, blocksAtDelete);
}

void ClsWaveTest::windowOffTheMainThreadRaises() {
    qint32 number = 0;
    QString source, description;
    std::thread worker([&] {
        clsWaveIn in;
        try {
            in.Subclassing_Initialize();
        } catch (const WaveObjectError &e) {
            number = e.Number;
            source = e.Source;
            description = e.Description;
        }
    });
    worker.join();
    QCOMPARE(number, qint32(ERROR_NO_EVENT_LOOP));
    QCOMPARE(source, QString("clsWaveIn"));
    QCOMPARE(description, QString("Die Funktion CreateWindowEx() ist fehlgeschlagen."));
}

QTEST_GUILESS_MAIN(ClsWaveTest)
#include "tst_clswave.moc"
