// Prints what the speech path costs: GSM coding per block, the delay of a
// posted notification, and the latency of playback and of capture through
// the test audio server (its capture source is the sink's monitor). Asserts
// nothing.
//
// Usage: bench_wave [tone blocks]   (default 220)

#include "clsWaveIn.h"
#include "clsWaveOut.h"
#include "gsmcodec.h"
#include "messagewindow.h"
#include "percentile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

using namespace wave;

namespace {

QElapsedTimer clock_;
std::vector<qint64> postDelaysNs;
qint64 postedAtNs = 0;

qintptr timingProc(qintptr, quint32, qintptr, qintptr) {
    postDelaysNs.push_back(clock_.nsecsElapsed() - postedAtNs);
    return 0;
}

void printSpread(const char *what, const std::vector<double> &ms) {
    std::printf("%s: median %.1f ms, p95 %.1f ms over %zu blocks\n", what, percentile(ms, 0.5),
                percentile(ms, 0.95), ms.size());
}

void benchCodec() {
    constexpr int blocks = 2000;
    std::vector<qint16> speech(blocks * gsmBlockSamples);
    for (size_t i = 0; i < speech.size(); ++i)
        speech[i] = qint16(6000 * std::sin(i * 0.3) + 2000 * std::sin(i * 0.017));
    std::vector<uchar> coded(blocks * gsmBlockBytes);
    GsmCoder encoder, decoder;
    QElapsedTimer t;
    t.start();
    for (int b = 0; b < blocks; ++b)
        encoder.encodeBlock(&speech[b * gsmBlockSamples], &coded[b * gsmBlockBytes]);
    const double encodeUs = t.nsecsElapsed() / 1000.0 / blocks;
    t.restart();
    for (int b = 0; b < blocks; ++b)
        decoder.decodeBlock(&coded[b * gsmBlockBytes], &speech[b * gsmBlockSamples]);
    const double decodeUs = t.nsecsElapsed() / 1000.0 / blocks;
    std::printf("GSM encode: %.1f us per 40 ms block (%.2f %% of real time)\n", encodeUs,
                encodeUs / 400.0);
    std::printf("GSM decode: %.1f us per 40 ms block (%.2f %% of real time)\n", decodeUs,
                decodeUs / 400.0);
}

void benchPostedMessages() {
    const qintptr hWnd = createMessageWindow("STATIC", "BENCH");
    setWindowProc(hWnd, timingProc);
    for (int i = 0; i < 2000; ++i) {
        postedAtNs = clock_.nsecsElapsed();
        postMessage(hWnd, 0x3C0, 0, 0);
        QCoreApplication::processEvents();
    }
    std::vector<double> us;
    for (qint64 ns : postDelaysNs)
        us.push_back(ns / 1000.0);
    std::printf("posted notification to window procedure: median %.1f us over %zu\n",
                percentile(us, 0.5), us.size());
    destroyWindow(hWnd);
}

// Plays a steady stream of blocks through clsWaveOut, every fourth one a
// tone, while clsWaveIn records the sink's monitor. For each tone block:
// PlayBuffer to the moment the sink's playback position passes the block's
// start (it sounds), and from then to the OnWaveInData that carries its onset
// (the monitor hands sound to the source at once, so that is the capture
// path: filling the 40 ms block, the audio server's source buffer, encoding
// and the notification). A block of silence goes first and the stream waits
// 2.5 s before the measured blocks: the test server's null sink renders in
// 2 s slices while no stream has asked it for a short latency, and a fresh
// stream would wait for the slice to end. So the figures are those of a
// stream that is already running, as the radio's is after its first over.
void benchLoop(QCoreApplication &app, int toneBlocks) {
    clsWaveIn in;
    clsWaveOut out;
    in.Subclassing_Initialize();
    out.Subclassing_Initialize();
    if (!in.RecordStart(gsmVoiceFormat()) || !out.PlaybackStart(gsmVoiceFormat())) {
        std::printf("no audio devices: start the test audio server (scripts/audio-server)\n");
        return;
    }
    constexpr int warmUpBlocks = 1;
    constexpr int period = 4;
    GsmCoder encoder, decoder;
    std::vector<qint64> playedAtNs, soundedAtNs, heardAtNs, blockStart;
    std::vector<double> spacingMs;
    qint64 lastBlockNs = -1;
    bool lastLoud = false;

    QObject::connect(&in, &clsWaveIn::OnWaveInData, [&](const QByteArray &data, qint32) {
        const qint64 now = clock_.nsecsElapsed();
        if (lastBlockNs >= 0)
            spacingMs.push_back((now - lastBlockNs) / 1e6);
        lastBlockNs = now;
        std::array<qint16, gsmBlockSamples> samples;
        decoder.decodeBlock(reinterpret_cast<const uchar *>(data.constData()), samples.data());
        double sum = 0;
        for (qint16 s : samples)
            sum += double(s) * s;
        const bool loud = std::sqrt(sum / gsmBlockSamples) > 1000;
        if (loud && !lastLoud && heardAtNs.size() < playedAtNs.size())
            heardAtNs.push_back(now);
        lastLoud = loud;
    });

    QTimer position;
    position.setTimerType(Qt::PreciseTimer);
    position.setInterval(1);
    QObject::connect(&position, &QTimer::timeout, [&] {
        const qint64 played = out.device() ? out.device()->playedSamples() : 0;
        while (soundedAtNs.size() < blockStart.size() && played > blockStart[soundedAtNs.size()])
            soundedAtNs.push_back(clock_.nsecsElapsed());
    });
    position.start();

    int sent = 0;
    const int total = warmUpBlocks + toneBlocks * period;
    QTimer pacer;
    pacer.setTimerType(Qt::PreciseTimer);
    pacer.setInterval(40);
    const auto sendBlock = [&] {
        if (sent == total) {
            pacer.stop();
            QTimer::singleShot(1000, &app, &QCoreApplication::quit);
            return;
        }
        const bool tone = sent >= warmUpBlocks && (sent - warmUpBlocks) % period == 0;
        std::array<qint16, gsmBlockSamples> samples{};
        if (tone) {
            for (int i = 0; i < gsmBlockSamples; ++i)
                samples[i] = qint16(8000 * std::sin(2 * M_PI * 1000 * i / 8000.0));
        }
        std::array<char, gsmBlockBytes> block;
        encoder.encodeBlock(samples.data(), reinterpret_cast<uchar *>(block.data()));
        if (tone) {
            blockStart.push_back(qint64(sent) * gsmBlockSamples);
            playedAtNs.push_back(clock_.nsecsElapsed());
        }
        out.PlayBuffer(block.data(), gsmBlockBytes);
        ++sent;
    };
    QObject::connect(&pacer, &QTimer::timeout, sendBlock);
    sendBlock();
    QTimer::singleShot(2500, &pacer, qOverload<>(&QTimer::start));
    app.exec();

    std::vector<double> toSink, toData;
    for (size_t k = 0; k < soundedAtNs.size(); ++k) {
        toSink.push_back((soundedAtNs[k] - playedAtNs[k]) / 1e6);
        if (k < heardAtNs.size())
            toData.push_back((heardAtNs[k] - soundedAtNs[k]) / 1e6);
    }
    printSpread("captured block spacing", spacingMs);
    printSpread("PlayBuffer to sink", toSink);
    printSpread("capture to OnWaveInData", toData);
    std::printf("tone blocks: %zu played, %zu sounded, %zu heard\n", playedAtNs.size(),
                soundedAtNs.size(), heardAtNs.size());
    in.Subclassing_Terminate();
    out.Subclassing_Terminate();
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    clock_.start();
    benchCodec();
    benchPostedMessages();
    benchLoop(app, argc > 1 ? std::max(1, atoi(argv[1])) : 220);
    return 0;
}
