// Throughput and added latency of the relay: every station on every channel sends
// one block each 40 ms, as a held push-to-talk key does, and every block it hears
// is timed from its send.
//
//   bench_relay [--seconds N] [--channels N] [--stations N]

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

constexpr int blockBytes = 65;
constexpr qint64 blockIntervalNs = 40'000'000;

struct Station {
    std::unique_ptr<QTcpSocket> socket;
    qint64 nextSendNs = 0;
    QByteArray pending;
};

// Clock ticks of user and system time the process has used.
qint64 cpuTicks(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).split(' ');
    // After the command: state is field 3, utime 14 and stime 15 of the whole line.
    return fields.value(12).toLongLong() + fields.value(13).toLongLong();
}

qint64 rssKb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

double percentile(const std::vector<qint64> &sorted, double fraction) {
    if (sorted.empty())
        return 0;
    const size_t at = std::min(sorted.size() - 1, size_t(fraction * double(sorted.size())));
    return double(sorted[at]) / 1e6;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("Run time."),
                                           QStringLiteral("N"), QStringLiteral("10"));
    const QCommandLineOption channelsOption(QStringLiteral("channels"),
                                            QStringLiteral("Channels in use."), QStringLiteral("N"),
                                            QStringLiteral("40"));
    const QCommandLineOption stationsOption(QStringLiteral("stations"),
                                            QStringLiteral("Stations per channel."),
                                            QStringLiteral("N"), QStringLiteral("10"));
    parser.addOptions({secondsOption, channelsOption, stationsOption});
    parser.process(app);
    const int seconds = std::max(1, parser.value(secondsOption).toInt());
    const int channels = std::clamp(parser.value(channelsOption).toInt(), 1, 40);
    const int perChannel = std::clamp(parser.value(stationsOption).toInt(), 2, 100);

    const int offset = int(QRandomGenerator::global()->bounded(20000, 50000));
    QProcess relay;
    relay.setProcessChannelMode(QProcess::ForwardedChannels);
    relay.start(
        QStringLiteral(MARLOX_RELAY_PATH),
        {QStringLiteral("--port-offset"), QString::number(offset), QStringLiteral("--log-quiet")});
    if (!relay.waitForStarted()) {
        std::fprintf(stderr, "cannot start the relay\n");
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    std::vector<Station> stations(size_t(channels * perChannel));
    std::vector<qint64> latenciesNs;
    latenciesNs.reserve(size_t(stations.size()) * size_t(perChannel - 1) * 25 * size_t(seconds));
    qint64 measureFromNs = 0;
    qint64 measureUntilNs = 0;
    qint64 sentBlocks = 0;
    qint64 receivedBlocks = 0;

    QTimer::singleShot(300, &app, [&] {
        for (size_t at = 0; at < stations.size(); ++at) {
            Station &station = stations[at];
            station.socket = std::make_unique<QTcpSocket>();
            QTcpSocket *socket = station.socket.get();
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            socket->connectToHost(QHostAddress::LocalHost,
                                  quint16(324 + 1 + int(at) / perChannel + offset));
            Station *entry = &station;
            QObject::connect(socket, &QIODevice::readyRead, &app, [&, socket, entry] {
                QByteArray &pending = entry->pending;
                pending += socket->readAll();
                const qint64 nowNs = clock.nsecsElapsed();
                qsizetype used = 0;
                for (; pending.size() - used >= blockBytes; used += blockBytes) {
                    qint64 sentNs = 0;
                    std::memcpy(&sentNs, pending.constData() + used, sizeof sentNs);
                    if (sentNs >= measureFromNs && sentNs < measureUntilNs) {
                        latenciesNs.push_back(nowNs - sentNs);
                        ++receivedBlocks;
                    }
                }
                pending.remove(0, used);
            });
        }
        for (Station &station : stations)
            if (!station.socket->waitForConnected(5000)) {
                std::fprintf(stderr, "a station could not connect\n");
                app.exit(1);
                return;
            }
        // Let the relay take every station in before the clock starts.
        QTimer::singleShot(1000, &app, [&] {
            const qint64 startNs = clock.nsecsElapsed();
            for (size_t at = 0; at < stations.size(); ++at)
                stations[at].nextSendNs =
                    startNs + blockIntervalNs * qint64(at) / qint64(stations.size());
            measureFromNs = startNs + 500'000'000;
            measureUntilNs = measureFromNs + qint64(seconds) * 1'000'000'000;
        });
    });

    QByteArray block(blockBytes, '\x55');
    qint64 cpuAtStart = -1;
    QTimer pacer;
    pacer.setTimerType(Qt::PreciseTimer);
    pacer.setInterval(1);
    QObject::connect(&pacer, &QTimer::timeout, &app, [&] {
        if (measureUntilNs == 0)
            return;
        const qint64 nowNs = clock.nsecsElapsed();
        if (cpuAtStart < 0 && nowNs >= measureFromNs)
            cpuAtStart = cpuTicks(relay.processId());
        if (nowNs >= measureUntilNs) {
            pacer.stop();
            QTimer::singleShot(1000, &app, &QCoreApplication::quit);
            return;
        }
        for (Station &station : stations) {
            if (station.nextSendNs > nowNs)
                continue;
            station.nextSendNs += blockIntervalNs;
            const qint64 stampNs = clock.nsecsElapsed();
            std::memcpy(block.data(), &stampNs, sizeof stampNs);
            station.socket->write(block);
            station.socket->flush();
            if (stampNs >= measureFromNs)
                ++sentBlocks;
        }
    });
    pacer.start();

    const int status = app.exec();
    const qint64 cpuAtEnd = cpuTicks(relay.processId());
    const qint64 relayRss = rssKb(relay.processId());
    relay.terminate();
    relay.waitForFinished();
    if (status != 0)
        return status;

    std::sort(latenciesNs.begin(), latenciesNs.end());
    const qint64 expected = sentBlocks * (perChannel - 1);
    const double ticksPerSecond = double(sysconf(_SC_CLK_TCK));
    std::printf("relay benchmark: %d channels x %d stations, one block each 40 ms, %d s\n",
                channels, perChannel, seconds);
    std::printf("  blocks sent           %lld (%.0f per second, %.1f kB/s into the relay)\n",
                sentBlocks, double(sentBlocks) / seconds,
                double(sentBlocks) * blockBytes / seconds / 1000);
    std::printf("  blocks delivered      %lld of %lld (%.3f %% lost), %.1f kB/s out of the relay\n",
                receivedBlocks, expected,
                expected ? 100.0 * double(expected - receivedBlocks) / double(expected) : 0.0,
                double(receivedBlocks) * blockBytes / seconds / 1000);
    std::printf("  latency send->heard   median %.3f ms, p95 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                percentile(latenciesNs, 0.5), percentile(latenciesNs, 0.95),
                percentile(latenciesNs, 0.99), percentile(latenciesNs, 1.0));
    std::printf("  relay CPU             %.1f %% of one core; resident %lld kB\n",
                100.0 * double(cpuAtEnd - cpuAtStart) / ticksPerSecond / (seconds + 1.0), relayRss);
    return 0;
}
