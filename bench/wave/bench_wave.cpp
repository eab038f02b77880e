// Prints what the speech path costs: GSM coding per block, the delay of a
// posted notification, the spacing of captured blocks, and the time from
// handing a block to playback until capture hears it (through the test
// audio server's loop from sink to source). Asserts nothing.

#include "clsWaveIn.h"
#include "clsWaveOut.h"
#include "gsmcodec.h"
#include "messagewindow.h"

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

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
    std::printf("posted notification to window procedure: median %.1f us over %zu\n", median(us),
                us.size());
    destroyWindow(hWnd);
}

// Plays silence, then a tone, while recording; reports block spacing and the
// time from handing over the first tone block to the first loud captured block.
void benchLoop(QCoreApplication &app) {
    clsWaveIn in;
    clsWaveOut out;
    in.Subclassing_Initialize();
    out.Subclassing_Initialize();
    GsmCoder encoder, decoder;
    std::vector<double> spacingMs;
    qint64 lastBlockNs = -1, toneAtNs = -1, heardAtNs = -1;
    int captured = 0;
    QObject::connect(&in, &clsWaveIn::OnWaveInData, [&](const QByteArray &data, qint32) {
        const qint64 now = clock_.nsecsElapsed();
        if (lastBlockNs >= 0 && captured > 5)
            spacingMs.push_back((now - lastBlockNs) / 1e6);
        lastBlockNs = now;
        ++captured;
        std::array<qint16, gsmBlockSamples> samples;
        decoder.decodeBlock(reinterpret_cast<const uchar *>(data.constData()), samples.data());
        double sum = 0;
        for (qint16 s : samples)
            sum += double(s) * s;
        if (toneAtNs >= 0 && heardAtNs < 0 && std::sqrt(sum / gsmBlockSamples) > 1500)
            heardAtNs = now;
    });
    std::vector<qint64> handedOverNs;
    std::vector<double> doneMs;
    QObject::connect(&out, &clsWaveOut::OnWaveOutDone, [&](qint32) {
        if (doneMs.size() < handedOverNs.size())
            doneMs.push_back((clock_.nsecsElapsed() - handedOverNs[doneMs.size()]) / 1e6);
    });
    const bool started = in.RecordStart(gsmVoiceFormat()) && out.PlaybackStart(gsmVoiceFormat());
    if (!started) {
        std::printf("no audio devices: start the test audio server (scripts/audio-server)\n");
        return;
    }

    int sent = 0;
    QTimer pacer;
    pacer.setInterval(40);
    QObject::connect(&pacer, &QTimer::timeout, [&] {
        std::array<qint16, gsmBlockSamples> samples{};
        if (sent >= 25) {
            for (int i = 0; i < gsmBlockSamples; ++i)
                samples[i] = qint16(8000 * std::sin(2 * M_PI * 1000 * (sent * 320 + i) / 8000.0));
        }
        std::array<char, gsmBlockBytes> block;
        encoder.encodeBlock(samples.data(), reinterpret_cast<uchar *>(block.data()));
        if (sent == 25)
            toneAtNs = clock_.nsecsElapsed();
        if (out.PlayBuffer(block.data(), gsmBlockBytes))
            handedOverNs.push_back(clock_.nsecsElapsed());
        if (++sent == 100)
            app.quit();
    });
    pacer.start();
    app.exec();

    std::vector<double> sorted = spacingMs;
    std::sort(sorted.begin(), sorted.end());
    if (!sorted.empty())
        std::printf("captured blocks: %d, spacing median %.1f ms, 5th %.1f ms, 95th %.1f ms\n",
                    captured, median(spacingMs), sorted[sorted.size() / 20],
                    sorted[sorted.size() * 19 / 20]);
    std::printf("playback: %zu of %d blocks taken, hand-over to done median %.1f ms\n",
                handedOverNs.size(), sent, median(doneMs));
    if (heardAtNs >= 0)
        std::printf("playback to capture through the audio server: %.0f ms\n",
                    (heardAtNs - toneAtNs) / 1e6);
    else
        std::printf("playback to capture: the tone was not heard\n");
    in.Subclassing_Terminate();
    out.Subclassing_Terminate();
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    clock_.start();
    benchCodec();
    benchPostedMessages();
    benchLoop(app);
    return 0;
}
