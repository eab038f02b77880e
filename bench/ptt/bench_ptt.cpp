// Mouth-to-ear latency between two radios on loopback through the relay:
// from the onset of a tone burst at the talking radio's microphone to its
// onset at the listening radio's loudspeaker. On the test audio server the
// microphone is the loudspeaker's monitor, so both onsets are in one
// recording and are timed by its sample count. Needs the test audio server
// (scripts/audio-server); prints figures and asserts nothing.
//
// Usage: bench_ptt [overs]   (default 25)

#include "airsupport.h"
#include "percentile.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "relayprocess.h"
#include "system.h"

#include <QApplication>
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

} // namespace

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    const int overs = argc > 1 ? std::max(1, atoi(argv[1])) : 25;
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
    air::Recorder loudspeaker("marlox_source", clock);
    air::TonePlayer mouth("marlox_sink");
    if (!loudspeaker.start())
        return 1;

    constexpr int loud = 3000;
    constexpr int quiet = 1500;
    constexpr qsizetype gapSamples = air::sampleRate / 50; // 20 ms
    std::vector<double> latenciesMs;
    for (int over = 0; over < overs; ++over) {
        if (!talker.command("press", "keyed"))
            break;
        QTest::qWait(250);
        const qsizetype from = loudspeaker.indexAt(double(clock.elapsed()));
        mouth.play(600, 60, 8000);
        QTest::qWait(700);
        talker.command("release", "released");
        mouth.stop();
        // The next over starts once the listener has seen this one end.
        (void)QTest::qWaitFor([&] { return listener->ProgressBar2->value() == 0.0f; }, 5000);
        QTest::qWait(100);

        const qsizetype spoken = loudspeaker.onsetFrom(from, loud);
        const qsizetype pause =
            spoken < 0 ? -1 : loudspeaker.silenceFrom(spoken, quiet, gapSamples);
        const qsizetype heard = pause < 0 ? -1 : loudspeaker.onsetFrom(pause, loud);
        if (heard < 0) {
            std::printf("over %2d: not heard\n", over + 1);
            continue;
        }
        const double latencyMs = double(heard - spoken) * 1000.0 / air::sampleRate;
        latenciesMs.push_back(latencyMs);
        std::printf("over %2d: %6.1f ms\n", over + 1, latencyMs);
    }
    loudspeaker.stop();
    listener.reset();
    program::unloadControlWindow();
    relay.terminate();
    relay.waitForFinished();

    if (latenciesMs.empty()) {
        std::printf("no over was heard\n");
        return 1;
    }
    std::printf("mouth-to-ear latency over %zu of %d overs: median %.1f ms, p95 %.1f ms, "
                "min %.1f ms, max %.1f ms\n",
                latenciesMs.size(), overs, percentile(latenciesMs, 0.5),
                percentile(latenciesMs, 0.95),
                *std::min_element(latenciesMs.begin(), latenciesMs.end()),
                *std::max_element(latenciesMs.begin(), latenciesMs.end()));
    return 0;
}
