// Is every word sent? A 600 Hz tone that pauses for 40 ms once a second is
// played into the default sink, whose monitor is the default source; clsWaveIn
// records it for one long over and each block goes to the relay's channel 7
// port, where a second connection listens. The listener's blocks are decoded
// and the pauses found again: between two of them there is exactly one second
// of sound wherever it is measured, so a pause that comes early tells how
// much speech never left the talker. Asserts nothing.
//
// Usage: bench_capture [seconds] [--busy] [--stall]   (default 60 s)
//   --busy   keeps another core busy with a spinning shell for the whole over
//   --stall  blocks the program's thread for 400 ms every 5 s, as a slow
//            handler would
//   --level  runs the send meter's capture of the same source beside it, as
//            the radio does, its buffer handed back every 26 ms
// Needs the test audio server (scripts/audio-server, either setup).

#include "clsWaveIn.h"
#include "gsmcodec.h"
#include "levelcapture.h"
#include "relayprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

using namespace wave;

namespace {

constexpr int rate = gsmSampleRate;
constexpr int markerPeriodMs = 1000;
constexpr int markerMs = 40;
constexpr int channelSevenPort = 324 + 7;

// 16-bit mono PCM with its RIFF header.
QByteArray markedTone(int seconds) {
    const int samples = seconds * rate;
    QByteArray pcm(samples * 2, Qt::Uninitialized);
    auto *out = reinterpret_cast<qint16 *>(pcm.data());
    for (int i = 0; i < samples; ++i) {
        const bool pause = i % rate >= rate * (markerPeriodMs - markerMs) / 1000;
        out[i] = pause ? 0 : qint16(8000 * std::sin(2 * M_PI * 600 * i / rate));
    }
    QByteArray wav("RIFF");
    const auto put32 = [&](quint32 v) { wav.append(reinterpret_cast<const char *>(&v), 4); };
    const auto put16 = [&](quint16 v) { wav.append(reinterpret_cast<const char *>(&v), 2); };
    put32(quint32(36 + pcm.size()));
    wav.append("WAVEfmt ");
    put32(16);
    put16(1);
    put16(1);
    put32(rate);
    put32(rate * 2);
    put16(2);
    put16(16);
    wav.append("data");
    put32(quint32(pcm.size()));
    return wav + pcm;
}

// Where each pause of at least 15 ms begins, in samples.
std::vector<qsizetype> markersIn(const std::vector<qint16> &samples) {
    constexpr qsizetype shortest = rate * 15 / 1000;
    std::vector<qsizetype> starts;
    qsizetype quiet = 0;
    for (qsizetype i = 0; i < qsizetype(samples.size()); ++i) {
        if (std::abs(int(samples[size_t(i)])) > 1000) {
            // A pause the over began in has no known start.
            if (quiet >= shortest && quiet < i)
                starts.push_back(i - quiet);
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return starts;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    int seconds = 60;
    bool busy = false, stall = false, level = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg = argv[i];
        if (arg == "--busy")
            busy = true;
        else if (arg == "--stall")
            stall = true;
        else if (arg == "--level")
            level = true;
        else
            seconds = std::max(5, arg.toInt());
    }
    if (!qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO")) {
        std::fprintf(stderr, "no test audio server: source scripts/audio-server first\n");
        return 1;
    }

    QTemporaryDir dir;
    QProcess relay;
    const int offset = testsupport::startRelay(relay, dir.filePath("relay.log"));
    if (offset < 0)
        return 1;
    const quint16 port = quint16(channelSevenPort + offset);
    QTcpSocket talker, listener;
    talker.connectToHost(QStringLiteral("127.0.0.1"), port);
    listener.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!talker.waitForConnected() || !listener.waitForConnected() ||
        !testsupport::waitForStations(dir.filePath("relay.log"), port, 2))
        return 1;
    QByteArray heard;
    QObject::connect(&listener, &QTcpSocket::readyRead, [&] { heard += listener.readAll(); });

    QFile toneFile(dir.filePath("tone.wav"));
    if (!toneFile.open(QIODevice::WriteOnly) || toneFile.write(markedTone(seconds + 4)) < 0)
        return 1;
    toneFile.close();
    // The tone itself must not break up when the machine is busy: paplay
    // keeps a deep buffer unless told otherwise.
    QProcess mouth;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("PULSE_LATENCY_MSEC"));
    mouth.setProcessEnvironment(env);
    mouth.start(QStringLiteral("paplay"), {toneFile.fileName()});
    QProcess spinner;
    if (busy)
        spinner.start(QStringLiteral("sh"),
                      {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
    QTest::qWait(1500);

    LevelCapture meter;
    std::array<qint16, 1024> meterSamples{};
    WaveHeader meterHeader{reinterpret_cast<char *>(meterSamples.data()), 1024};
    QTimer meterTimer;
    if (level && meter.open(WAVE_MAPPER, pcmFormat(11025, 1, 16)) == MMSYSERR_NOERROR) {
        meter->start();
        meter->prepareHeader(&meterHeader);
        meterTimer.setInterval(26);
        QObject::connect(&meterTimer, &QTimer::timeout, [&] { meter->addBuffer(&meterHeader); });
        meterTimer.start();
    }
    clsWaveIn in;
    in.Subclassing_Initialize();
    int sent = 0;
    double firstMs = -1;
    QElapsedTimer held;
    QObject::connect(&in, &clsWaveIn::OnWaveInData, [&](const QByteArray &data, qint32) {
        if (sent++ == 0)
            firstMs = held.nsecsElapsed() / 1e6;
        talker.write(data);
    });
    QTimer staller;
    staller.setInterval(5000);
    QObject::connect(&staller, &QTimer::timeout, [] { QThread::msleep(400); });
    held.start();
    if (!in.RecordStart(gsmVoiceFormat())) {
        std::printf("no capture device\n");
        return 1;
    }
    if (stall)
        staller.start();
    QTest::qWait(seconds * 1000);
    staller.stop();
    const double heldS = held.nsecsElapsed() / 1e9;
    in.RecordStop();
    const double stopMs = held.nsecsElapsed() / 1e6 - heldS * 1000;
    QTest::qWait(1000);
    in.Subclassing_Terminate();
    spinner.kill();
    spinner.waitForFinished();
    mouth.kill();
    mouth.waitForFinished();

    const qsizetype blocks = heard.size() / gsmBlockBytes;
    std::vector<qint16> pcm(size_t(blocks) * gsmBlockSamples);
    GsmCoder decoder;
    for (qsizetype b = 0; b < blocks; ++b)
        decoder.decodeBlock(reinterpret_cast<const uchar *>(heard.constData()) + b * gsmBlockBytes,
                            &pcm[size_t(b) * gsmBlockSamples]);
    const std::vector<qsizetype> markers = markersIn(pcm);
    double skippedMs = 0, addedMs = 0;
    int places = 0;
    for (size_t m = 1; m < markers.size(); ++m) {
        const double ms = double(markers[m] - markers[m - 1]) * 1000 / rate;
        const double expected =
            markerPeriodMs * std::max(1.0, std::ceil(ms / markerPeriodMs - 0.3));
        if (ms < expected - 5) {
            skippedMs += expected - ms;
            ++places;
        } else if (ms > expected + 5) {
            addedMs += ms - expected;
        }
    }
    const QByteArray setup = qgetenv("MARLOX_AUDIO_SETUP").isEmpty()
                                 ? QByteArray("test")
                                 : qgetenv("MARLOX_AUDIO_SETUP");
    std::printf("capture, %s audio server%s%s%s: %lld blocks sent, %lld received in %.1f s of key "
                "held = %.2f blocks/s (%+.2f %%); speech skipped %.0f ms in %d places, %.0f ms "
                "added; %zu markers\n",
                setup.constData(), busy ? ", other core busy" : ", idle",
                stall ? ", 400 ms stalls" : "", level ? ", with the meter" : "", qint64(sent),
                qint64(blocks), heldS, blocks / heldS, (blocks / heldS / 25.0 - 1) * 100, skippedMs,
                places, addedMs, markers.size());
    // On a null sink the first block may come late: the sink renders ahead
    // while nothing asks it for a short latency, and what it rendered before
    // the stream joined is not the stream's. Counted from the first block on:
    const double fromFirstS = heldS - firstMs / 1000 + 0.04;
    std::printf("first block %.0f ms after the start, %.2f blocks/s from there (%+.2f %%); the "
                "stop took %.0f ms\n",
                firstMs, blocks / fromFirstS, (blocks / fromFirstS / 25.0 - 1) * 100, stopMs);
    talker.close();
    listener.close();
    relay.terminate();
    relay.waitForFinished();
    return 0;
}
