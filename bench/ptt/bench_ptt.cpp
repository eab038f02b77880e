// Two radios on loopback through the relay, on the test audio server. The
// talker's microphone is a sink of its own (marlox_mouth) that a tone is
// played into; the listener's loudspeaker is the server's sink. Both are
// recorded through their monitors, so the loudspeaker's recording holds only
// what the listener played.
//
// Mouth-to-ear latency: from the onset of a 60 ms tone burst at the
// microphone to its onset at the loudspeaker, over many overs, split into
// where the time goes: capture (the audio server's capture buffer, filling
// the 40 ms block, coding), the network and relay, and playback (the
// listener's queue and the audio server's playback buffer). The two ends are
// timed by recordings, each a little late by its own capture buffer.
//
// Continuity: one long over with a steady tone. Prints the blocks sent and
// received per second and every gap in what the loudspeaker played.
//
// Usage: bench_ptt [overs] [seconds]   (default 25 overs, a 60 s over)
// Needs the test audio server (scripts/audio-server); asserts nothing.

#include "airsupport.h"
#include "percentile.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "relayprocess.h"
#include "system.h"

#include <QApplication>
#include <QMediaDevices>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>

namespace {

std::unique_ptr<testsupport::ProgramFolder> folder(int offset, const QByteArray &volume) {
    auto made = std::make_unique<testsupport::ProgramFolder>(
        offset, volume + "\r\n07\r\n 1\r\n0\r\n0\r\n1\r\nsound_off\r\n");
    made->writeFile("marlox.ini", "[servers]\nfirst=127.0.0.1\nsecond=127.0.0.1\nport_offset=" +
                                      QByteArray::number(offset) + "\n");
    return made;
}

void printGaps(const char *where, const air::Gaps &gaps) {
    std::printf("gaps at the %s: %d of 5 ms or more, %d longer than 10 ms, longest %.1f ms, "
                "%.1f ms in all\n",
                where, gaps.count, gaps.longerThan10Ms, gaps.longestMs, gaps.totalMs);
}

struct Over {
    int blocks = 0;
    qint64 firstNs = 0;
    qint64 lastNs = 0;
    qint64 loudNs = 0;
    int loudIndex = -1;
};

bool report(air::Station &talker, Over *over) {
    QByteArray line;
    talker.command("report", "", &line);
    long long first = 0, last = 0, loud = 0;
    if (std::sscanf(line.constData(), "sent %d %lld %lld %lld %d", &over->blocks, &first, &last,
                    &loud, &over->loudIndex) != 5)
        return false;
    over->firstNs = first;
    over->lastNs = last;
    over->loudNs = loud;
    return true;
}

// When bytes came to the listener: ms, and the bytes received so far.
using Arrivals = std::vector<std::pair<double, double>>;

} // namespace

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    const int overs = argc > 1 ? std::max(0, atoi(argv[1])) : 25;
    const int continuousSeconds = argc > 2 ? std::max(0, atoi(argv[2])) : 60;
    if (!qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO")) {
        std::fprintf(stderr, "no test audio server: source scripts/audio-server first\n");
        return 1;
    }
    vb::setEndProgramHandler([] {});
    QTemporaryDir logs;
    QProcess relay;
    const int offset = testsupport::startRelay(relay, logs.filePath("relay.log"));
    if (offset < 0)
        return 1;

    const auto talkerFolder = folder(offset, " 23");
    air::Station talker;
    if (!talker.start(QStringLiteral(PTT_STATION), talkerFolder->path()))
        return 1;
    const auto listenerFolder = folder(offset, " 70");
    listenerFolder->use();
    auto listener = std::make_unique<frmMain>(goldSkin());
    listener->Form_Load();
    listener->Image12_Click();
    if (!QTest::qWaitFor([&] { return listener->voiceConnected != 0; }, 10000) ||
        !testsupport::waitForStations(logs.filePath("relay.log"), listener->serverPort, 2))
        return 1;

    QElapsedTimer clock;
    clock.start();
    const qint64 clockStartNs = air::monotonicNs();
    const auto msOf = [&](qint64 monotonic) { return double(monotonic - clockStartNs) / 1e6; };
    Arrivals arrivals;
    QObject::connect(listener->wskChat, &Winsock::DataArrival, listener.get(), [&] {
        arrivals.emplace_back(double(clock.nsecsElapsed()) / 1e6, listener->receivedBytes);
    });
    const auto arrivalOf = [&](double bytes) {
        for (const auto &[ms, count] : arrivals)
            if (count >= bytes)
                return ms;
        return -1.0;
    };

    air::SeparateMouth separate;
    air::Recorder loudspeaker("marlox_source", clock);
    air::Recorder microphone("marlox_mouth_mic", clock);
    if (!separate.ready() || !loudspeaker.start() || !microphone.start()) {
        std::printf("no separate microphone on the test audio server\n");
        return 1;
    }
    air::TonePlayer mouth("marlox_mouth");

    constexpr int loud = 3000;
    std::vector<double> latenciesMs, captureMs, networkMs, playbackMs;
    for (int over = 0; over < overs; ++over) {
        const double bytesBefore = listener->receivedBytes;
        if (!talker.command("press", "keyed"))
            break;
        QTest::qWait(250);
        const double toneMs = double(clock.elapsed());
        mouth.play(600, 60, 8000);
        QTest::qWait(700);
        talker.command("release", "released");
        mouth.stop();
        // The next over starts once the listener has seen this one end.
        (void)QTest::qWaitFor([&] { return listener->ProgressBar2->value() == 0.0f; }, 5000);
        QTest::qWait(100);
        Over sent;
        const bool reported = report(talker, &sent);

        const qsizetype spoken = microphone.onsetFrom(microphone.indexAt(toneMs - 50), loud);
        const qsizetype heard = loudspeaker.onsetFrom(loudspeaker.indexAt(toneMs - 50), loud);
        if (spoken < 0 || heard < 0) {
            std::printf("over %2d: not heard\n", over + 1);
            continue;
        }
        const double spokenMs = microphone.timeOf(spoken);
        const double heardMs = loudspeaker.timeOf(heard);
        latenciesMs.push_back(heardMs - spokenMs);
        std::printf("over %2d: %6.1f ms", over + 1, latenciesMs.back());
        if (reported && sent.loudIndex >= 0) {
            const double sentMs = msOf(sent.loudNs);
            const double arrivedMs = arrivalOf(bytesBefore + (sent.loudIndex + 1) * 65.0);
            captureMs.push_back(sentMs - spokenMs);
            networkMs.push_back(arrivedMs - sentMs);
            playbackMs.push_back(heardMs - arrivedMs);
            std::printf("  = capture %5.1f + network %4.1f + playback %5.1f", captureMs.back(),
                        networkMs.back(), playbackMs.back());
        }
        std::printf("\n");
    }
    if (!latenciesMs.empty()) {
        std::printf("mouth-to-ear latency over %zu of %d overs: median %.1f ms, p95 %.1f ms, "
                    "min %.1f ms, max %.1f ms\n",
                    latenciesMs.size(), overs, percentile(latenciesMs, 0.5),
                    percentile(latenciesMs, 0.95),
                    *std::min_element(latenciesMs.begin(), latenciesMs.end()),
                    *std::max_element(latenciesMs.begin(), latenciesMs.end()));
        std::printf("where it goes (medians): capture %.1f ms, network and relay %.1f ms, "
                    "playback %.1f ms\n",
                    percentile(captureMs, 0.5), percentile(networkMs, 0.5),
                    percentile(playbackMs, 0.5));
    } else if (overs > 0) {
        std::printf("no over was heard\n");
    }

    if (continuousSeconds > 0) {
        air::TonePlayer steadyMouth("marlox_mouth");
        {
            // The tone must not break up itself when the machine is busy: its
            // stream gets a deep buffer (the variable is read as it opens).
            const QByteArray latency = qgetenv("PULSE_LATENCY_MSEC");
            qputenv("PULSE_LATENCY_MSEC", "100");
            steadyMouth.play(600, (continuousSeconds + 2) * 1000, 8000);
            qputenv("PULSE_LATENCY_MSEC", latency);
            QTest::qWait(500);
            const double bytesBefore = listener->receivedBytes;
            const qint64 pressedNs = air::monotonicNs();
            talker.command("press", "keyed");
            QTest::qWait(continuousSeconds * 1000);
            talker.command("release", "released");
            const double heldS = double(air::monotonicNs() - pressedNs) / 1e9;
            (void)QTest::qWaitFor([&] { return listener->ProgressBar2->value() == 0.0f; }, 5000);
            steadyMouth.stop();
            Over sent;
            report(talker, &sent);
            const double receivedBlocks = (listener->receivedBytes - bytesBefore) / 65.0;
            std::printf("%d s over: %d blocks sent, %.2f a second of key held, %.2f a second "
                        "from first to last; %.0f received, %.2f a second of key held\n",
                        continuousSeconds, sent.blocks, sent.blocks / heldS,
                        sent.blocks > 1
                            ? (sent.blocks - 1) / (double(sent.lastNs - sent.firstNs) / 1e9)
                            : 0.0,
                        receivedBlocks, receivedBlocks / heldS);
            const double pressedMs = msOf(pressedNs);
            const qsizetype onset = loudspeaker.onsetFrom(loudspeaker.indexAt(pressedMs), 1000);
            qsizetype end = onset;
            for (qsizetype n = onset; n >= 0 && n < loudspeaker.size(); ++n)
                if (std::abs(int(loudspeaker.sampleAt(n))) > 1000)
                    end = n;
            if (onset < 0) {
                std::printf("the over was not heard\n");
            } else {
                const qsizetype from = onset + air::sampleRate / 5;
                std::printf("heard %.1f s from %.0f ms after the key was pressed; gaps counted "
                            "from 200 ms after the onset\n",
                            double(end - onset) / air::sampleRate,
                            loudspeaker.timeOf(onset) - pressedMs);
                printGaps("loudspeaker", air::gapsIn(loudspeaker.samples(from, end), 800));
            }
            const qsizetype micFrom = microphone.indexAt(pressedMs);
            printGaps("microphone (the tone itself)",
                      air::gapsIn(
                          microphone.samples(micFrom, microphone.indexAt(pressedMs + heldS * 1000)),
                          800));
        }
    }

    microphone.stop();
    loudspeaker.stop();
    listener.reset();
    program::unloadControlWindow();
    relay.terminate();
    relay.waitForFinished();
    return latenciesMs.empty() && overs > 0 ? 1 : 0;
}
