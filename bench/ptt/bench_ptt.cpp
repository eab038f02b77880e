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
// Continuity: one long over with a tone that pauses for 40 ms once a second.
// The pauses are marks: between two of them there is exactly one second,
// wherever it is heard, so tone missing between two marks at the loudspeaker
// is speech skipped (or sped up, which the playback device counts), and the
// time from a mark at the microphone to the same mark at the loudspeaker is
// the delay. A plain listener on the relay's channel port counts what the
// talker sent.
//
// Each radio reaches the relay through a line of its own (a proxy on
// loopback): clean, jitter (40 ms + 0..30 ms), rough (jitter and a 400 ms
// stall every 6 s), or DELAY,JITTER,STALL_EVERY,STALL_LENGTH in ms.
//
// Usage: bench_ptt [overs] [seconds] [line]   (default 25 overs, a 60 s over;
// without a line, each of the three runs in a process of its own and their
// summary lines come last). Needs the test audio server
// (scripts/audio-server); asserts nothing.

#include "airsupport.h"
#include "net/deployment.h"
#include "percentile.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "relayprocess.h"
#include "system.h"
#include "wave/gsmcodec.h"
#include "wavedevices.h"

#include <QApplication>
#include <QMediaDevices>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>

namespace {

constexpr int channel = 7;

struct NamedLine {
    const char *name;
    air::LineShape shape;
};
const NamedLine namedLines[] = {
    {"clean", {}},
    {"jitter", {40, 30, 0, 0}},
    {"rough", {40, 30, 6000, 400}},
};

bool lineFor(const QString &text, air::LineShape &shape) {
    for (const NamedLine &line : namedLines)
        if (text == QLatin1String(line.name)) {
            shape = line.shape;
            return true;
        }
    const QStringList parts = text.split(',');
    if (parts.size() != 4)
        return false;
    int values[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        values[i] = parts[i].toInt(&ok);
        if (!ok || values[i] < 0)
            return false;
    }
    shape = {values[0], values[1], values[2], values[3]};
    return true;
}

// Runs this benchmark once per named line and repeats their summary lines.
int runEveryLine(const QString &self, const QString &overs, const QString &seconds) {
    QStringList summaries;
    int result = 0;
    for (const NamedLine &line : namedLines) {
        QProcess run;
        run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        run.start(self, {overs, seconds, QLatin1String(line.name)});
        run.waitForFinished(-1);
        const QByteArray output = run.readAllStandardOutput();
        std::fwrite(output.constData(), 1, size_t(output.size()), stdout);
        std::fflush(stdout);
        for (const QByteArray &text : output.split('\n'))
            if (text.startsWith("line "))
                summaries << QString::fromUtf8(text);
        result |= run.exitCode();
    }
    std::printf("\n%s\n", qPrintable(summaries.join('\n')));
    return result;
}

std::unique_ptr<testsupport::ProgramFolder> folder(int offset, const QByteArray &volume) {
    return std::make_unique<testsupport::ProgramFolder>(
        testsupport::Servers(offset), testsupport::Options().volume(volume).channel("07"));
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

double medianOf(std::vector<double> values) {
    return values.empty() ? 0.0 : percentile(values, 0.5);
}

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
    if (argc <= 3)
        return runEveryLine(QCoreApplication::applicationFilePath(), QString::number(overs),
                            QString::number(continuousSeconds));
    const QString lineName = QString::fromLocal8Bit(argv[3]);
    air::LineShape shape;
    if (!lineFor(lineName, shape)) {
        std::fprintf(stderr, "unknown line %s\n", argv[3]);
        return 2;
    }
    std::printf("line %s: %d ms + 0..%d ms, a %d ms stall every %d ms\n", argv[3], shape.delayMs,
                shape.jitterMs, shape.stallMs, shape.stallEveryMs);
    std::fflush(stdout);
    vb::setEndProgramHandler([] {});
    QTemporaryDir logs;
    QProcess relay;
    const int relayOffset = testsupport::startRelay(relay, logs.filePath("relay.log"));
    if (relayOffset < 0) {
        std::printf("the relay did not start\n");
        return 1;
    }
    // The radios reach the relay through the line: their ports are the
    // line's, on an offset of their own.
    air::RoughLine line(shape);
    int offset = -1;
    for (int attempt = 0; attempt < 20 && offset < 0; ++attempt) {
        const int candidate = int(QRandomGenerator::global()->bounded(20000, 50000));
        if (candidate == relayOffset)
            continue;
        Deployment near, far;
        near.portOffset = candidate;
        far.portOffset = relayOffset;
        if (line.forward(near.controlPort(), far.controlPort(), false) &&
            line.forward(near.channelPort(channel), far.channelPort(channel), true))
            offset = candidate;
    }
    if (offset < 0) {
        std::printf("no ports for the line\n");
        return 1;
    }
    Deployment relayPorts;
    relayPorts.portOffset = relayOffset;
    const quint16 relayChannelPort = relayPorts.channelPort(channel);

    const auto talkerFolder = folder(offset, " 23");
    air::Station talker;
    if (!talker.start(QStringLiteral(PTT_STATION), talkerFolder->path()) ||
        !talker.command("panel", "shown")) {
        std::printf("the talking station did not start\n");
        return 1;
    }
    const auto listenerFolder = folder(offset, " 70");
    listenerFolder->use();
    auto listener = std::make_unique<frmMain>(goldSkin());
    listener->Form_Load();
    listener->Image12_Click();
    // Both panels are up before anyone speaks: a panel's first painting
    // holds up its window thread.
    if (!air::runUntil([&] { return listener->voiceConnected != 0 && listener->isVisible(); },
                       10000) ||
        !testsupport::waitForStations(logs.filePath("relay.log"), relayChannelPort, 2)) {
        std::printf("the stations did not both reach the relay\n");
        return 1;
    }
    // What the talker sent, as the relay passes it on.
    QTcpSocket onRelay;
    qint64 relayBytes = 0;
    QByteArray passedOn; // kept during the long over only
    bool keepPassedOn = false;
    QObject::connect(&onRelay, &QTcpSocket::readyRead, &onRelay, [&] {
        const QByteArray bytes = onRelay.readAll();
        relayBytes += bytes.size();
        if (keepPassedOn)
            passedOn += bytes;
    });
    onRelay.connectToHost(QHostAddress::LocalHost, relayChannelPort);
    if (!onRelay.waitForConnected(5000) ||
        !testsupport::waitForStations(logs.filePath("relay.log"), relayChannelPort, 3)) {
        std::printf("the listener on the relay did not get in\n");
        return 1;
    }

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
        air::runFor(250);
        const double toneMs = double(clock.elapsed());
        mouth.play(600, 60, 8000);
        air::runFor(700);
        talker.command("release", "released");
        mouth.stop();
        // The next over starts once the listener has seen this one end.
        (void)air::runUntil([&] { return listener->ProgressBar2->value() == 0.0f; }, 5000);
        air::runFor(100);
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
        constexpr int markEveryMs = 1000;
        air::TonePlayer steadyMouth("marlox_mouth");
        // The tone must not break up itself when the machine is busy: its
        // stream gets a deep buffer (the variable is read as it opens).
        const QByteArray latency = qgetenv("PULSE_LATENCY_MSEC");
        qputenv("PULSE_LATENCY_MSEC", "100");
        steadyMouth.play(600, (continuousSeconds + 4) * 1000, 8000, markEveryMs);
        qputenv("PULSE_LATENCY_MSEC", latency);
        // A sink that had no stream may take the tone's sound only after it
        // has woken, up to two seconds later: the key is pressed once the
        // microphone hears the tone.
        const qsizetype toneFrom = microphone.size();
        (void)air::runUntil([&] { return microphone.onsetFrom(toneFrom, 1000) >= 0; }, 5000);
        air::runFor(100);
        const double bytesBefore = listener->receivedBytes;
        const qint64 relayBytesBefore = relayBytes;
        const wave::PlayoutTotals playoutBefore = wave::WaveOutDevice::playoutTotals();
        const qint64 pressedNs = air::monotonicNs();
        keepPassedOn = true;
        talker.command("press", "keyed");
        air::runFor(continuousSeconds * 1000);
        talker.command("release", "released");
        const double heldS = double(air::monotonicNs() - pressedNs) / 1e9;
        (void)air::runUntil([&] { return listener->ProgressBar2->value() == 0.0f; }, 5000);
        steadyMouth.stop();
        const wave::PlayoutTotals playout = wave::WaveOutDevice::playoutTotals() - playoutBefore;
        Over sent;
        report(talker, &sent);
        const double onRelayBlocks = double(relayBytes - relayBytesBefore) / 65.0;
        const double receivedBlocks = (listener->receivedBytes - bytesBefore) / 65.0;
        std::printf("%d s over: %d blocks sent by the talker, %.0f passed on by the relay "
                    "(%.2f a second of key held), %.0f received by the listener\n",
                    continuousSeconds, sent.blocks, onRelayBlocks, onRelayBlocks / heldS,
                    receivedBlocks);
        // What the talker sent, decoded as any listener would: speech missing
        // here was lost before the line, speech missing only at the
        // loudspeaker after it.
        wave::GsmCoder decoder;
        std::vector<qint16> sentSamples(size_t(passedOn.size() / 65 * 320));
        for (qsizetype at = 0; at + 65 <= passedOn.size(); at += 65)
            decoder.decodeBlock(reinterpret_cast<const uchar *>(passedOn.constData()) + at,
                                sentSamples.data() + at / 65 * 320);
        const air::MarkedTone onTheLine = air::analyseMarkedTone(sentSamples, 800, markEveryMs);
        std::printf("sent: %zu marks, %.1f ms short, %d gaps, %.0f ms\n", onTheLine.marksMs.size(),
                    onTheLine.shortenedMs, onTheLine.gaps.count, onTheLine.gaps.totalMs);
        const double pressedMs = msOf(pressedNs);
        const qsizetype onset = loudspeaker.onsetFrom(loudspeaker.indexAt(pressedMs), 1000);
        qsizetype end = onset;
        for (qsizetype n = onset; n >= 0 && n < loudspeaker.size(); ++n)
            if (std::abs(int(loudspeaker.sampleAt(n))) > 1000)
                end = n;
        const qsizetype micFrom = microphone.indexAt(pressedMs);
        const qsizetype micTo = microphone.indexAt(pressedMs + heldS * 1000);
        const air::MarkedTone spoken =
            air::analyseMarkedTone(microphone.samples(micFrom, micTo), 800, markEveryMs);
        std::printf("microphone: %zu marks, %d gaps, %.1f ms short\n", spoken.marksMs.size(),
                    spoken.gaps.count, spoken.shortenedMs);
        if (onset < 0) {
            std::printf("the over was not heard\n");
            std::printf("line %s: not heard\n", qPrintable(lineName));
        } else {
            const air::MarkedTone heard =
                air::analyseMarkedTone(loudspeaker.samples(onset, end + 1), 800, markEveryMs, true);
            // Each mark heard against the latest one spoken before it.
            std::vector<double> delays;
            for (double markMs : heard.marksMs) {
                const double heardAt = loudspeaker.timeOf(onset + qsizetype(markMs * 8));
                double best = -1;
                for (double spokenMs : spoken.marksMs) {
                    const double spokenAt = microphone.timeOf(micFrom + qsizetype(spokenMs * 8));
                    if (spokenAt < heardAt && heardAt - spokenAt < 1500)
                        best = heardAt - spokenAt;
                }
                if (best >= 0)
                    delays.push_back(best);
            }
            const auto medianOfThree = [&](size_t from) {
                return medianOf({delays.begin() + long(from),
                                 delays.begin() + long(std::min(delays.size(), from + 3))});
            };
            const double startDelay = delays.empty() ? 0 : medianOfThree(0);
            const double endDelay = delays.size() < 3 ? 0 : medianOfThree(delays.size() - 3);
            const double maxDelay =
                delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end());
            std::printf("heard %.1f s from %.0f ms after the key was pressed; %zu marks, "
                        "%.1f ms of tone beyond the marks\n",
                        double(end - onset) / air::sampleRate,
                        loudspeaker.timeOf(onset) - pressedMs, heard.marksMs.size(),
                        heard.lengthenedMs);
            std::printf("playback: %d overs started, %.0f ms sped up, %.0f ms cut, %.0f ms "
                        "covered, %d times ran dry\n",
                        playout.overs, playout.spedUpMs, playout.cutMs, playout.coveredMs,
                        playout.underruns);
            // What the tone player itself lost on a busy machine never
            // reached the microphone: it is no speech the radios skipped.
            const double skipped =
                std::max(0.0, heard.shortenedMs - spoken.shortenedMs - playout.spedUpMs);
            std::printf("line %s: sent %.2f blocks/s (on the relay); speech skipped %.0f ms "
                        "(marks %.0f ms short, at the microphone %.0f ms, sped up %.0f ms, cut "
                        "%.0f ms); gaps %d, %.0f ms, "
                        "longest %.0f ms; delay start %.0f ms, end %.0f ms, max %.0f ms; "
                        "mouth-to-ear median %.1f ms\n",
                        qPrintable(lineName), onRelayBlocks / heldS, skipped, heard.shortenedMs,
                        spoken.shortenedMs, playout.spedUpMs, playout.cutMs, heard.gaps.count,
                        heard.gaps.totalMs, heard.gaps.longestMs, startDelay, endDelay, maxDelay,
                        latenciesMs.empty() ? 0.0 : percentile(latenciesMs, 0.5));
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
