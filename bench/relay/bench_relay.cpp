// Added latency, loss, processor and memory of the relay against a minimal
// epoll fan-out (reference_relay) under the same load, one after the other: on
// each of the 40 channels one station talks, a block every 40 ms as a held
// push-to-talk key sends, and every other station listens; every block heard is
// timed from its send. Each station connects from an address of its own in
// 127.0.0.0/8, as stations on the air do.
//
//   bench_relay [--seconds N] [--counts 400,2000,5000,10000] [--rounds N]
//               [--relay-only] [--threads N]
//
// The load generator runs on the last core and the server on the others, so
// the relay gets one worker thread fewer than the machine has cores unless
// --threads says otherwise.
//
// Each count runs --rounds times (3) for each server, taking turns at going
// first; for each count one line with the median of each figure over the runs
// and the blocks lost in all of them:
//   stations N: relay lost L p50 X ms p99 Y ms cpu C % rss R MB; reference lost ...
// and below it the load generator's own processor share beside each.

#include "percentile.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int blockBytes = 65;
constexpr int channels = 40;
constexpr std::int64_t blockIntervalNs = 40'000'000;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Clock ticks of user and system time the process has used.
qint64 cpuTicks(qint64 pid) {
    QFile stat(pid > 0 ? QStringLiteral("/proc/%1/stat").arg(pid)
                       : QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).split(' ');
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

struct Station {
    int fd = -1;
    bool talker = false;
    int listeners = 0; // of the talker's channel
    std::int64_t nextSendNs = 0;
    char partial[blockBytes] = {};
    int partialBytes = 0;
};

struct Figures {
    bool ok = false;
    qint64 lost = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double cpuPercent = 0;
    double rssMb = 0;
    double generatorCpuPercent = 0;
};

// The load generator takes the last core, the server the others, so that
// neither one's scheduling decides the other's latency.
void useCores(bool generator) {
    const int cores = int(std::thread::hardware_concurrency());
    if (cores < 2)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int core = 0; core < cores; ++core)
        if ((core == cores - 1) == generator)
            CPU_SET(core, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}

// Starts the server, loads it with `count` stations for `seconds`, and stops it.
Figures measure(const QString &program, const QStringList &arguments, int offset, int count,
                int seconds) {
    Figures figures;
    QProcess server;
    server.setChildProcessModifier([] { useCores(false); });
    server.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    server.setReadChannel(QProcess::StandardError);
    server.start(program, arguments);
    if (!server.waitForStarted() || !server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(program));
        return figures;
    }
    const qint64 pid = server.processId();

    const int perChannel = count / channels;
    std::vector<Station> stations(size_t(perChannel) * channels);
    const int epollFd = ::epoll_create1(0);
    int connecting = 0;
    for (size_t at = 0; at < stations.size(); ++at) {
        Station &station = stations[at];
        const int channel = int(at) / perChannel;
        station.talker = int(at) % perChannel == 0;
        station.listeners = perChannel - 1;
        station.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int on = 1;
        ::setsockopt(station.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(station.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr =
            htonl((127u << 24) | (2u << 16) | (quint32(at / 250) << 8) | quint32(at % 250 + 1));
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(quint16(325 + channel + offset));
        remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(station.fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
        if (::connect(station.fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0 &&
            errno != EINPROGRESS) {
            std::fprintf(stderr, "station %zu cannot connect: %s\n", at, std::strerror(errno));
            return figures;
        }
        epoll_event event{EPOLLOUT, {.ptr = &station}};
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, station.fd, &event);
        ++connecting;
    }
    std::vector<epoll_event> events(1024);
    const std::int64_t connectDeadlineNs = nowNs() + 30'000'000'000;
    while (connecting > 0 && nowNs() < connectDeadlineNs) {
        const int ready = ::epoll_wait(epollFd, events.data(), int(events.size()), 100);
        for (int at = 0; at < ready; ++at) {
            auto *station = static_cast<Station *>(events[size_t(at)].data.ptr);
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(station->fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                std::fprintf(stderr, "a station could not connect: %s\n", std::strerror(error));
                return figures;
            }
            epoll_event event{EPOLLIN, {.ptr = station}};
            ::epoll_ctl(epollFd, EPOLL_CTL_MOD, station->fd, &event);
            --connecting;
        }
    }
    if (connecting > 0) {
        std::fprintf(stderr, "%d stations did not connect\n", connecting);
        return figures;
    }

    // Let the server take every station in before the clock starts.
    const std::int64_t startNs = nowNs() + 1'000'000'000;
    const std::int64_t measureFromNs = startNs + 1'000'000'000;
    const std::int64_t measureUntilNs = measureFromNs + std::int64_t(seconds) * 1'000'000'000;
    const std::int64_t endNs = measureUntilNs + 2'000'000'000;
    for (size_t at = 0, talker = 0; at < stations.size(); ++at)
        if (stations[at].talker)
            stations[at].nextSendNs = startNs + blockIntervalNs * qint64(talker++) / channels;

    const int timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event timerEvent{EPOLLIN, {.ptr = nullptr}};
    ::epoll_ctl(epollFd, EPOLL_CTL_ADD, timerFd, &timerEvent);

    std::vector<double> latenciesMs;
    qint64 expected = 0;
    qint64 heard = 0;
    qint64 cpuAtStart = -1;
    qint64 ownCpuAtStart = -1;
    qint64 cpuAtEnd = -1;
    qint64 ownCpuAtEnd = -1;
    qint64 serverRssKb = -1;
    std::vector<char> buffer(64 * 1024 + blockBytes);
    char block[blockBytes];
    std::memset(block, 0x55, sizeof block);
    for (;;) {
        std::int64_t now = nowNs();
        if (now >= endNs)
            break;
        if (cpuAtStart < 0 && now >= measureFromNs) {
            cpuAtStart = cpuTicks(pid);
            ownCpuAtStart = cpuTicks(0);
        }
        if (cpuAtEnd < 0 && now >= measureUntilNs) {
            cpuAtEnd = cpuTicks(pid);
            ownCpuAtEnd = cpuTicks(0);
            serverRssKb = rssKb(pid);
        }
        std::int64_t nextNs = endNs;
        for (Station &station : stations) {
            if (!station.talker)
                continue;
            if (station.nextSendNs <= now && station.nextSendNs < measureUntilNs) {
                const std::int64_t stampNs = nowNs();
                std::memcpy(block, &stampNs, sizeof stampNs);
                ::send(station.fd, block, blockBytes, MSG_NOSIGNAL);
                if (stampNs >= measureFromNs && stampNs < measureUntilNs)
                    expected += station.listeners;
                station.nextSendNs += blockIntervalNs;
            }
            nextNs = std::min(nextNs, station.nextSendNs);
        }
        // Sleep until the next send is due or a block arrives: a generator that
        // spun here would take a core from the server it measures.
        itimerspec due{};
        due.it_value.tv_sec = time_t(nextNs / 1'000'000'000);
        due.it_value.tv_nsec = long(nextNs % 1'000'000'000);
        ::timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &due, nullptr);
        const int ready = ::epoll_wait(epollFd, events.data(), int(events.size()), 100);
        now = nowNs();
        for (int at = 0; at < ready; ++at) {
            if (events[size_t(at)].data.ptr == nullptr) {
                std::uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t got =
                    ::read(timerFd, &expirations, sizeof expirations);
                continue;
            }
            auto &station = *static_cast<Station *>(events[size_t(at)].data.ptr);
            std::memcpy(buffer.data(), station.partial, size_t(station.partialBytes));
            const ssize_t got = ::recv(station.fd, buffer.data() + station.partialBytes,
                                       buffer.size() - blockBytes, 0);
            if (got <= 0) {
                ::epoll_ctl(epollFd, EPOLL_CTL_DEL, station.fd, nullptr);
                continue;
            }
            const size_t total = size_t(station.partialBytes) + size_t(got);
            size_t used = 0;
            for (; total - used >= blockBytes; used += blockBytes) {
                std::int64_t sentNs = 0;
                std::memcpy(&sentNs, buffer.data() + used, sizeof sentNs);
                if (sentNs >= measureFromNs && sentNs < measureUntilNs) {
                    latenciesMs.push_back(double(now - sentNs) / 1e6);
                    ++heard;
                }
            }
            station.partialBytes = int(total - used);
            std::memcpy(station.partial, buffer.data() + used, size_t(station.partialBytes));
        }
    }
    for (const Station &station : stations)
        ::close(station.fd);
    ::close(timerFd);
    ::close(epollFd);
    server.terminate();
    server.waitForFinished(10000);

    const double ticksPerSecond = double(sysconf(_SC_CLK_TCK));
    figures.ok = true;
    figures.lost = expected - heard;
    figures.p50Ms = percentile(latenciesMs, 0.5);
    figures.p99Ms = percentile(latenciesMs, 0.99);
    figures.cpuPercent = 100.0 * double(cpuAtEnd - cpuAtStart) / ticksPerSecond / seconds;
    figures.generatorCpuPercent =
        100.0 * double(ownCpuAtEnd - ownCpuAtStart) / ticksPerSecond / seconds;
    figures.rssMb = double(serverRssKb) / 1024.0;
    return figures;
}

// The median of each figure over the rounds, with the blocks lost in all of them.
Figures medianOf(const std::vector<Figures> &rounds) {
    Figures median;
    median.ok = !rounds.empty() &&
                std::all_of(rounds.begin(), rounds.end(), [](const Figures &f) { return f.ok; });
    if (!median.ok)
        return median;
    const auto middle = [&rounds](double Figures::*figure) {
        std::vector<double> values;
        for (const Figures &round : rounds)
            values.push_back(round.*figure);
        return percentile(values, 0.5);
    };
    for (const Figures &round : rounds)
        median.lost += round.lost;
    median.p50Ms = middle(&Figures::p50Ms);
    median.p99Ms = middle(&Figures::p99Ms);
    median.cpuPercent = middle(&Figures::cpuPercent);
    median.rssMb = middle(&Figures::rssMb);
    median.generatorCpuPercent = middle(&Figures::generatorCpuPercent);
    return median;
}

QByteArray describe(const Figures &figures) {
    if (!figures.ok)
        return "failed";
    return QStringLiteral("lost %1 p50 %2 ms p99 %3 ms cpu %4 % rss %5 MB")
        .arg(figures.lost)
        .arg(figures.p50Ms, 0, 'f', 1)
        .arg(figures.p99Ms, 0, 'f', 1)
        .arg(figures.cpuPercent, 0, 'f', 1)
        .arg(figures.rssMb, 0, 'f', 1)
        .toUtf8();
}

} // namespace

int main(int argc, char *argv[]) {
    int seconds = 10;
    int rounds = 3;
    QList<int> counts{400, 2000, 5000, 10000};
    bool relayOnly = false;
    int threads = std::max(1, int(std::thread::hardware_concurrency()) - 1);
    for (int at = 1; at < argc; ++at) {
        const QByteArray argument(argv[at]);
        if (argument == "--seconds" && at + 1 < argc) {
            seconds = std::max(1, std::atoi(argv[++at]));
        } else if (argument == "--counts" && at + 1 < argc) {
            counts.clear();
            for (const QByteArray &count : QByteArray(argv[++at]).split(','))
                counts.append(std::max(channels * 2, count.toInt()));
        } else if (argument == "--rounds" && at + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++at]));
        } else if (argument == "--relay-only") {
            relayOnly = true;
        } else if (argument == "--threads" && at + 1 < argc) {
            threads = std::max(1, std::atoi(argv[++at]));
        } else {
            std::fprintf(stderr, "usage: bench_relay [--seconds N] [--counts A,B,...] "
                                 "[--rounds N] [--relay-only] [--threads N]\n");
            return 2;
        }
    }
    // Both ends of every station live here: the usual limit of 1024 is far too few.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    const int largest = *std::max_element(counts.begin(), counts.end());
    if (rlim_t(largest) + 100 > limit.rlim_cur) {
        std::fprintf(stderr, "the descriptor limit %llu is too low for %d stations\n",
                     static_cast<unsigned long long>(limit.rlim_cur), largest);
        return 1;
    }

    useCores(true);
    std::printf("relay against the reference: 40 channels, one talker each, a block each 40 ms, "
                "%d s per run, median of %d runs each, on %u cores, relay worker threads: %d\n",
                seconds, rounds, std::thread::hardware_concurrency(), threads);
    for (const int count : counts) {
        std::vector<Figures> relayRounds, referenceRounds;
        for (int round = 0; round < rounds; ++round) {
            // Below the ephemeral ports, where the stations' own ends could take one.
            const int offset = int(QRandomGenerator::global()->bounded(20000, 32000));
            const QString offsetText = QString::number(offset);
            const auto runRelay = [&] {
                relayRounds.push_back(measure(
                    QStringLiteral(MARLOX_RELAY_PATH),
                    {QStringLiteral("--port-offset"), offsetText, QStringLiteral("--log-quiet"),
                     QStringLiteral("--threads"), QString::number(threads)},
                    offset, count, seconds));
            };
            const auto runReference = [&] {
                if (!relayOnly)
                    referenceRounds.push_back(measure(QStringLiteral(MARLOX_REFERENCE_PATH),
                                                      {QStringLiteral("--port-offset"), offsetText},
                                                      offset, count, seconds));
            };
            // Each goes first every other round, so that a drift of the machine
            // falls on both alike.
            if (round % 2 == 0) {
                runRelay();
                runReference();
            } else {
                runReference();
                runRelay();
            }
        }
        const Figures relay = medianOf(relayRounds);
        const Figures reference = medianOf(referenceRounds);
        std::printf("stations %d: relay %s; reference %s\n", count / channels * channels,
                    describe(relay).constData(), describe(reference).constData());
        std::printf("  load generator cpu %.1f %% beside the relay, %.1f %% beside the reference\n",
                    relay.generatorCpuPercent, reference.generatorCpuPercent);
        std::fflush(stdout);
    }
    return 0;
}
