// The wave layer against a real audio server (scripts/test starts one with a
// null sink whose monitor feeds the default source).

#include "audioserver.h"
#include "gsmcodec.h"
#include "messagewindow.h"
#include "wavedevices.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QTest>
#include <array>
#include <cmath>
#include <optional>
#include <thread>
#include <vector>

using namespace wave;

Q_DECLARE_METATYPE(wave::WaveFormat)

namespace {

struct Message {
    qintptr hWnd;
    quint32 uMsg;
    qintptr wParam;
    qintptr lParam;
};
std::vector<Message> received;

qintptr recordingProc(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam) {
    received.push_back({hWnd, uMsg, wParam, lParam});
    return 7;
}

qintptr selfDestroyingProc(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam) {
    received.push_back({hWnd, uMsg, wParam, lParam});
    destroyWindow(hWnd);
    return 0;
}

std::vector<qint16> tone(int samples, double hz, double amplitude) {
    std::vector<qint16> out(samples);
    for (int i = 0; i < samples; ++i)
        out[i] = qint16(amplitude * std::sin(2 * M_PI * hz * i / gsmSampleRate));
    return out;
}

double power(const qint16 *samples, int count) {
    double sum = 0;
    for (int i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    return sum / count;
}

WaveFormat gsmWithRate(quint32 rate) {
    WaveFormat f = gsmVoiceFormat();
    f.nSamplesPerSec = rate;
    return f;
}

WaveFormat gsmWithBlockAlign(quint16 align) {
    WaveFormat f = gsmVoiceFormat();
    f.nBlockAlign = align;
    return f;
}

WaveFormat pcmWithBlockAlign(quint16 align) {
    WaveFormat f = pcmFormat(11025, 1, 16);
    f.nBlockAlign = align;
    return f;
}

} // namespace

class WaveLayerTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init() { received.clear(); }

    void gsmRoundTripKeepsTheSignal_data();
    void gsmRoundTripKeepsTheSignal();
    void gsmDecodesGarbage();

    void postedMessagesArriveLaterAndInOrder();
    void destroyedWindowDropsItsMessages();
    void windowMayDestroyItselfWhileHandlingAMessage();
    void deadHandlesFail();
    void windowsBelongToTheApplicationThread();

    void openChecksFormat_data();
    void openChecksFormat();
    void openChecksDeviceAndWindow();
    void defaultDeviceIsTheServersDefault();
    void headerRules();

    void captureFillsAndReturnsBuffers();
    void pcmCaptureWithoutNotifications();
    void playbackReturnsEveryBuffer();
    void resetReturnsQueuedBuffersUnplayed();

private:
    std::optional<testsupport::DefaultSource> m_chosen;
};

void WaveLayerTest::initTestCase() {
    // A second source, made the default before Qt has looked at the devices:
    // the same sound as the first, under another name.
    m_chosen.emplace(QStringLiteral("marlox_chosen"));
    QVERIFY2(!QMediaDevices::audioOutputs().isEmpty() && !QMediaDevices::audioInputs().isEmpty(),
             "no audio devices: run the tests through scripts/test, which starts an audio server");
}

void WaveLayerTest::cleanupTestCase() {
    m_chosen.reset();
}

void WaveLayerTest::gsmRoundTripKeepsTheSignal_data() {
    QTest::addColumn<double>("hz");
    QTest::addColumn<double>("amplitude");
    QTest::newRow("speech band 440 Hz") << 440.0 << 8000.0;
    QTest::newRow("speech band 1 kHz, loud") << 1000.0 << 20000.0;
    QTest::newRow("low 200 Hz") << 200.0 << 4000.0;
}

void WaveLayerTest::gsmRoundTripKeepsTheSignal() {
    QFETCH(double, hz);
    QFETCH(double, amplitude);
    constexpr int blocks = 20;
    const std::vector<qint16> in = tone(blocks * gsmBlockSamples, hz, amplitude);
    std::vector<qint16> out(in.size());
    GsmCoder encoder, decoder;
    std::array<uchar, gsmBlockBytes> block;
    for (int b = 0; b < blocks; ++b) {
        encoder.encodeBlock(in.data() + b * gsmBlockSamples, block.data());
        decoder.decodeBlock(block.data(), out.data() + b * gsmBlockSamples);
    }
    // Skip the coder's settling time; then the error must be well below the signal.
    const int from = 4 * gsmBlockSamples;
    double noise = 0;
    for (size_t i = from; i < in.size(); ++i)
        noise += std::pow(double(in[i]) - out[i], 2);
    noise /= double(in.size() - from);
    const double signal = power(in.data() + from, int(in.size()) - from);
    QVERIFY2(10 * std::log10(signal / noise) > 10,
             qPrintable(QString::number(10 * std::log10(signal / noise))));
}

void WaveLayerTest::gsmDecodesGarbage() {
    GsmCoder decoder;
    std::array<qint16, gsmBlockSamples> samples;
    for (int fill : {0x00, 0xFF, 0xA5, 0x5A}) {
        std::array<uchar, gsmBlockBytes> block;
        block.fill(uchar(fill));
        decoder.decodeBlock(block.data(), samples.data());
    }
    std::array<uchar, gsmBlockBytes> random;
    for (int round = 0; round < 200; ++round) {
        for (auto &b : random)
            b = uchar(std::rand());
        decoder.decodeBlock(random.data(), samples.data());
    }
}

void WaveLayerTest::postedMessagesArriveLaterAndInOrder() {
    const qintptr hWnd = createMessageWindow("STATIC", "TEST_WINDOW");
    QVERIFY(hWnd);
    QCOMPARE(windowTitle(hWnd), QString("TEST_WINDOW"));
    QCOMPARE(windowClassName(hWnd), QString("STATIC"));
    const WindowProc previous = setWindowProc(hWnd, recordingProc);
    QVERIFY(previous);
    QCOMPARE(callWindowProc(previous, hWnd, 1, 2, 3), qintptr(0));

    QVERIFY(postMessage(hWnd, 10, 1, 100));
    QVERIFY(postMessage(hWnd, 11, 2, 200));
    QVERIFY(received.empty());
    QTRY_COMPARE(received.size(), size_t(2));
    QCOMPARE(received[0].uMsg, 10u);
    QCOMPARE(received[1].uMsg, 11u);
    QCOMPARE(received[1].hWnd, hWnd);
    QCOMPARE(received[1].wParam, qintptr(2));
    QCOMPARE(received[1].lParam, qintptr(200));

    QCOMPARE(sendMessage(hWnd, 12, 0, 0), qintptr(7));
    QVERIFY(setWindowProc(hWnd, previous) == recordingProc);
    QVERIFY(destroyWindow(hWnd));
}

void WaveLayerTest::destroyedWindowDropsItsMessages() {
    const qintptr hWnd = createMessageWindow("STATIC", "T");
    setWindowProc(hWnd, recordingProc);
    postMessage(hWnd, 10, 0, 0);
    QVERIFY(destroyWindow(hWnd));
    QTest::qWait(50);
    QVERIFY(received.empty());
}

void WaveLayerTest::windowMayDestroyItselfWhileHandlingAMessage() {
    const qintptr hWnd = createMessageWindow("STATIC", "T");
    setWindowProc(hWnd, selfDestroyingProc);
    postMessage(hWnd, 10, 0, 0);
    postMessage(hWnd, 11, 0, 0);
    QTRY_COMPARE(received.size(), size_t(1));
    QTest::qWait(50);
    QCOMPARE(received.size(), size_t(1));
    QVERIFY(!isWindow(hWnd));
}

void WaveLayerTest::deadHandlesFail() {
    const qintptr hWnd = createMessageWindow("STATIC", "T");
    QVERIFY(destroyWindow(hWnd));
    for (qintptr dead : {hWnd, qintptr(0), qintptr(-1)}) {
        QVERIFY(!isWindow(dead));
        QVERIFY(!destroyWindow(dead));
        QVERIFY(!postMessage(dead, 1, 0, 0));
        QCOMPARE(sendMessage(dead, 1, 0, 0), qintptr(0));
        QVERIFY(!setWindowProc(dead, recordingProc));
        QCOMPARE(lastWindowError(), ERROR_INVALID_WINDOW_HANDLE);
    }
    // A new window never takes over an old handle.
    const qintptr next = createMessageWindow("STATIC", "T");
    QVERIFY(next != hWnd);
    destroyWindow(next);
}

void WaveLayerTest::windowsBelongToTheApplicationThread() {
    const qintptr mine = createMessageWindow("STATIC", "T");
    qintptr made = -1;
    bool posted = true;
    quint32 error = 0;
    std::thread worker([&] {
        made = createMessageWindow("STATIC", "T");
        error = lastWindowError();
        posted = postMessage(mine, 1, 0, 0);
    });
    worker.join();
    QCOMPARE(made, qintptr(0));
    QCOMPARE(error, ERROR_NO_EVENT_LOOP);
    QVERIFY(!posted);
    destroyWindow(mine);
}

void WaveLayerTest::openChecksFormat_data() {
    QTest::addColumn<WaveFormat>("format");
    QTest::addColumn<MMRESULT>("expected");
    QTest::newRow("voice format") << gsmVoiceFormat() << MMSYSERR_NOERROR;
    QTest::newRow("level format, PCM 11025 Hz") << pcmFormat(11025, 1, 16) << MMSYSERR_NOERROR;
    QTest::newRow("PCM 8-bit stereo") << pcmFormat(22050, 2, 8) << MMSYSERR_NOERROR;
    QTest::newRow("GSM at 16 kHz") << gsmWithRate(16000) << WAVERR_BADFORMAT;
    QTest::newRow("GSM with 33-byte blocks") << gsmWithBlockAlign(33) << WAVERR_BADFORMAT;
    QTest::newRow("PCM 24-bit") << pcmFormat(8000, 1, 24) << WAVERR_BADFORMAT;
    QTest::newRow("PCM six channels") << pcmFormat(8000, 6, 16) << WAVERR_BADFORMAT;
    QTest::newRow("PCM with wrong block align") << pcmWithBlockAlign(4) << WAVERR_BADFORMAT;
    QTest::newRow("PCM at 0 Hz") << pcmFormat(0, 1, 16) << WAVERR_BADFORMAT;
    QTest::newRow("unknown tag") << WaveFormat{2, 1, 8000, 4096, 256, 4, 32, 0} << WAVERR_BADFORMAT;
    QTest::newRow("empty record") << WaveFormat{} << WAVERR_BADFORMAT;
}

void WaveLayerTest::openChecksFormat() {
    QFETCH(WaveFormat, format);
    QFETCH(MMRESULT, expected);
    std::unique_ptr<WaveInDevice> in;
    std::unique_ptr<WaveOutDevice> out;
    QCOMPARE(WaveInDevice::open(in, WAVE_MAPPER, format, 0), expected);
    QCOMPARE(WaveOutDevice::open(out, WAVE_MAPPER, format, 0), expected);
    QCOMPARE(bool(in), expected == MMSYSERR_NOERROR);
    QCOMPARE(bool(out), expected == MMSYSERR_NOERROR);
    if (in)
        QCOMPARE(in->close(), MMSYSERR_NOERROR);
    if (out)
        QCOMPARE(out->close(), MMSYSERR_NOERROR);
}

void WaveLayerTest::openChecksDeviceAndWindow() {
    std::unique_ptr<WaveInDevice> in;
    std::unique_ptr<WaveOutDevice> out;
    QCOMPARE(WaveInDevice::open(in, 999, gsmVoiceFormat(), 0), MMSYSERR_BADDEVICEID);
    QCOMPARE(WaveOutDevice::open(out, -7, gsmVoiceFormat(), 0), MMSYSERR_BADDEVICEID);
    const qintptr gone = createMessageWindow("STATIC", "T");
    destroyWindow(gone);
    QCOMPARE(WaveInDevice::open(in, WAVE_MAPPER, gsmVoiceFormat(), gone), MMSYSERR_INVALPARAM);
    QCOMPARE(WaveOutDevice::open(out, WAVE_MAPPER, gsmVoiceFormat(), gone), MMSYSERR_INVALPARAM);
    QVERIFY(!in && !out);
}

void WaveLayerTest::defaultDeviceIsTheServersDefault() {
    std::unique_ptr<WaveInDevice> in;
    QCOMPARE(WaveInDevice::open(in, WAVE_MAPPER, gsmVoiceFormat(), 0), MMSYSERR_NOERROR);
    QCOMPARE(in->deviceId(), QByteArray("marlox_chosen"));
    QCOMPARE(in->close(), MMSYSERR_NOERROR);
}

void WaveLayerTest::headerRules() {
    std::unique_ptr<WaveOutDevice> out;
    QCOMPARE(WaveOutDevice::open(out, WAVE_MAPPER, gsmVoiceFormat(), 0), MMSYSERR_NOERROR);
    std::array<char, 65 * 200> data{};
    WaveHeader header{data.data(), quint32(data.size())};
    QCOMPARE(out->write(&header), WAVERR_UNPREPARED);
    QCOMPARE(out->write(nullptr), MMSYSERR_INVALPARAM);
    QCOMPARE(out->prepareHeader(&header), MMSYSERR_NOERROR);
    QCOMPARE(out->write(&header), MMSYSERR_NOERROR);
    // 8 s of sound cannot have gone to the device yet.
    QCOMPARE(out->write(&header), WAVERR_STILLPLAYING);
    QCOMPARE(out->unprepareHeader(&header), WAVERR_STILLPLAYING);
    QCOMPARE(out->close(), WAVERR_STILLPLAYING);
    QCOMPARE(out->reset(), MMSYSERR_NOERROR);
    QVERIFY(header.dwFlags & WHDR_DONE);
    QCOMPARE(out->unprepareHeader(&header), MMSYSERR_NOERROR);
    QCOMPARE(out->close(), MMSYSERR_NOERROR);
    for (MMRESULT r :
         {out->prepareHeader(&header), out->write(&header), out->reset(), out->close()})
        QCOMPARE(r, MMSYSERR_INVALHANDLE);

    std::unique_ptr<WaveInDevice> in;
    QCOMPARE(WaveInDevice::open(in, WAVE_MAPPER, gsmVoiceFormat(), 0), MMSYSERR_NOERROR);
    WaveHeader tooSmall{data.data(), 64};
    QCOMPARE(in->prepareHeader(&tooSmall), MMSYSERR_NOERROR);
    QCOMPARE(in->addBuffer(&tooSmall), MMSYSERR_INVALPARAM);
    WaveHeader noData{nullptr, 65};
    QCOMPARE(in->prepareHeader(&noData), MMSYSERR_INVALPARAM);
    QCOMPARE(in->close(), MMSYSERR_NOERROR);
    QCOMPARE(in->start(), MMSYSERR_INVALHANDLE);
}

void WaveLayerTest::captureFillsAndReturnsBuffers() {
    const qintptr hWnd = createMessageWindow("STATIC", "T");
    setWindowProc(hWnd, recordingProc);
    std::unique_ptr<WaveInDevice> in;
    QCOMPARE(WaveInDevice::open(in, WAVE_MAPPER, gsmVoiceFormat(), hWnd), MMSYSERR_NOERROR);
    // Two blocks in one buffer, one block in the other, and one that stays empty.
    std::array<char, 130> two{};
    std::array<char, 65> one{}, spare{};
    WaveHeader a{two.data(), 130}, b{one.data(), 65}, c{spare.data(), 65};
    for (WaveHeader *h : {&a, &b, &c}) {
        QCOMPARE(in->prepareHeader(h), MMSYSERR_NOERROR);
        QCOMPARE(in->addBuffer(h), MMSYSERR_NOERROR);
    }
    QCOMPARE(in->start(), MMSYSERR_NOERROR);
    QTRY_VERIFY(b.dwFlags & WHDR_DONE);
    QCOMPARE(a.dwBytesRecorded, 130u);
    QCOMPARE(b.dwBytesRecorded, 65u);
    QCOMPARE(in->reset(), MMSYSERR_NOERROR);
    QCOMPARE(in->queuedBuffers(), 0);
    QVERIFY(c.dwFlags & WHDR_DONE);
    QCOMPARE(in->close(), MMSYSERR_NOERROR);

    QTRY_COMPARE(received.size(), size_t(5));
    QCOMPARE(received.front().uMsg, MM_WIM_OPEN);
    QCOMPARE(received[1].lParam, reinterpret_cast<qintptr>(&a));
    QCOMPARE(received[2].lParam, reinterpret_cast<qintptr>(&b));
    QCOMPARE(received[3].lParam, reinterpret_cast<qintptr>(&c));
    for (int i = 1; i <= 3; ++i) {
        QCOMPARE(received[i].uMsg, MM_WIM_DATA);
        QCOMPARE(received[i].wParam, in->handle());
    }
    QCOMPARE(received.back().uMsg, MM_WIM_CLOSE);
    destroyWindow(hWnd);
}

void WaveLayerTest::pcmCaptureWithoutNotifications() {
    std::unique_ptr<WaveInDevice> in;
    QCOMPARE(WaveInDevice::open(in, 0, pcmFormat(11025, 1, 16), 0), MMSYSERR_NOERROR);
    QCOMPARE(in->start(), MMSYSERR_NOERROR);
    std::array<qint16, 1024> samples{};
    WaveHeader header{reinterpret_cast<char *>(samples.data()), 1024};
    QCOMPARE(in->prepareHeader(&header), MMSYSERR_NOERROR);
    // The send meter hands the same header over again and again.
    for (int round = 0; round < 3; ++round) {
        const MMRESULT r = in->addBuffer(&header);
        QVERIFY(r == MMSYSERR_NOERROR || r == WAVERR_STILLPLAYING);
        QTRY_VERIFY(header.dwFlags & WHDR_DONE);
        QCOMPARE(header.dwBytesRecorded, 1024u);
    }
    QCOMPARE(in->reset(), MMSYSERR_NOERROR);
    QCOMPARE(in->close(), MMSYSERR_NOERROR);
}

void WaveLayerTest::playbackReturnsEveryBuffer() {
    const qintptr hWnd = createMessageWindow("STATIC", "T");
    setWindowProc(hWnd, recordingProc);
    std::unique_ptr<WaveOutDevice> out;
    QCOMPARE(WaveOutDevice::open(out, WAVE_MAPPER, gsmVoiceFormat(), hWnd), MMSYSERR_NOERROR);
    std::array<std::array<char, 65>, 5> blocks{};
    std::array<char, 1> empty{};
    std::vector<WaveHeader> headers;
    for (auto &block : blocks)
        headers.push_back({block.data(), 65});
    headers.push_back({empty.data(), 0});
    headers.push_back({blocks[0].data(), 100}); // one block and a part that is skipped
    for (WaveHeader &h : headers) {
        QCOMPARE(out->prepareHeader(&h), MMSYSERR_NOERROR);
        QCOMPARE(out->write(&h), MMSYSERR_NOERROR);
    }
    QTRY_COMPARE(out->queuedBuffers(), 0);
    QCOMPARE(out->close(), MMSYSERR_NOERROR);
    QTRY_COMPARE(received.size(), headers.size() + 2);
    QCOMPARE(received.front().uMsg, MM_WOM_OPEN);
    for (size_t i = 0; i < headers.size(); ++i) {
        QCOMPARE(received[i + 1].uMsg, MM_WOM_DONE);
        QCOMPARE(received[i + 1].lParam, reinterpret_cast<qintptr>(&headers[i]));
        QVERIFY(headers[i].dwFlags & WHDR_DONE);
    }
    QCOMPARE(received.back().uMsg, MM_WOM_CLOSE);
    destroyWindow(hWnd);
}

void WaveLayerTest::resetReturnsQueuedBuffersUnplayed() {
    std::unique_ptr<WaveOutDevice> out;
    QCOMPARE(WaveOutDevice::open(out, WAVE_MAPPER, gsmVoiceFormat(), 0), MMSYSERR_NOERROR);
    std::vector<std::array<char, 65>> blocks(100);
    std::vector<WaveHeader> headers;
    for (auto &block : blocks)
        headers.push_back({block.data(), 65});
    for (WaveHeader &h : headers) {
        out->prepareHeader(&h);
        QCOMPARE(out->write(&h), MMSYSERR_NOERROR);
    }
    QVERIFY(out->queuedBuffers() > 0);
    QCOMPARE(out->reset(), MMSYSERR_NOERROR);
    QCOMPARE(out->queuedBuffers(), 0);
    for (const WaveHeader &h : headers)
        QVERIFY(h.dwFlags & WHDR_DONE);
    // The device is usable again after a reset.
    QCOMPARE(out->write(&headers[0]), MMSYSERR_NOERROR);
    QTRY_COMPARE(out->queuedBuffers(), 0);
    QCOMPARE(out->close(), MMSYSERR_NOERROR);
}

QTEST_GUILESS_MAIN(WaveLayerTest)
#include "tst_wavelayer.moc"
