#include "voicerelay.h"

#include "blockreframer.h"
#include "deployment.h"
#include "eventlog.h"
#include "stationlimits.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <latch>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int queueSlots = VoiceRelay::queueBlocks + 1; // one more for a half-sent block
// One read per wake-up takes up to this much; a speaker sends 65 bytes every 40 ms.
constexpr size_t readBytes = 64 * 1024;
// The kernel's share of a listener's backlog; our queue holds the rest.
constexpr int sendBufferBytes = 4096;
constexpr int acceptsPerWakeUp = 64;
constexpr int pauseAfterDescriptorShortageMs = 100;
constexpr int housekeepingMs = 250;

std::int64_t monotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

enum class EndpointKind { Wake, Listener, Station };

struct Endpoint {
    explicit Endpoint(EndpointKind kind) : kind(kind) {}
    const EndpointKind kind;
};

struct Channel;

struct Station : Endpoint {
    Station() : Endpoint(EndpointKind::Station) {}

    int fd = -1;
    Channel *channel = nullptr;
    size_t index = 0;
    AddressKey address{};
    QString peer;
    BlockReframer<VoiceRelay::blockBytes> reframer;
    // Blocks waiting for this listener, oldest first; made on first need, since
    // most listeners take everything at once.
    std::unique_ptr<char[]> queue;
    int queueHead = 0;
    int queueCount = 0;
    int headSentBytes = 0;
    bool watchingWritable = false;
    // Since when blocks have been dropped for this listener without its queue
    // draining to half; 0 while it keeps up.
    std::int64_t behindSinceMs = 0;
    // Token bucket in thousandths of a block.
    std::int64_t tokens = std::int64_t(VoiceRelay::burstBlocks) * 1000;
    std::int64_t refilledMs = 0;
    std::int64_t droppedForListener = 0;
    std::int64_t heldBack = 0;
    std::int64_t overRate = 0;
    bool closing = false;
    QString closeReason;
};

struct Listener : Endpoint {
    Listener() : Endpoint(EndpointKind::Listener) {}
    int fd = -1;
    Channel *channel = nullptr;
    std::int64_t pausedUntilMs = 0;
};

struct Channel {
    quint16 port = 0;
    QString name;
    Listener listener;
    std::vector<std::unique_ptr<Station>> stations;
    Station *speaker = nullptr;
    std::int64_t speakerLastMs = 0;

    QString where() const {
        return QStringLiteral("on port %1 (%2), %3 connected")
            .arg(port)
            .arg(name)
            .arg(stations.size());
    }
};

} // namespace

class VoiceRelay::Worker {
public:
    explicit Worker(const Options &options) : m_options(options) {
        m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
        m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = &m_wake;
        ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_wakeFd, &event);
        m_readBuffer = std::make_unique<char[]>(readBytes + blockBytes);
    }

    ~Worker() {
        stop();
        for (auto &channel : m_channels) {
            for (auto &station : channel->stations)
                ::close(station->fd);
            if (channel->listener.fd >= 0)
                ::close(channel->listener.fd);
        }
        ::close(m_wakeFd);
        ::close(m_epollFd);
    }

    bool usable() const { return m_epollFd >= 0 && m_wakeFd >= 0; }

    bool listen(const QHostAddress &address, const Port &port, QString *error) {
        auto channel = std::make_unique<Channel>();
        channel->port = port.port;
        channel->name = port.name;
        channel->listener.channel = channel.get();
        QString reason;
        const int fd = openListeningSocket(address, port.port, &reason);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = &channel->listener;
        if (fd >= 0 && ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
            reason = errorText(errno);
            ::close(fd);
        }
        if (!reason.isEmpty()) {
            if (error)
                *error = QStringLiteral("cannot listen on %1 port %2 (%3): %4")
                             .arg(address.toString())
                             .arg(port.port)
                             .arg(port.name, reason);
            return false;
        }
        channel->listener.fd = fd;
        m_channels.push_back(std::move(channel));
        return true;
    }

    void startThread() {
        m_thread = std::thread([this] { run(); });
    }

    void stop() {
        if (!m_thread.joinable())
            return;
        m_stopping = true;
        wake();
        m_thread.join();
    }

    // Runs `task` on the worker's thread between two rounds of events.
    void post(std::function<void()> task) {
        {
            const std::lock_guard lock(m_taskMutex);
            m_tasks.push_back(std::move(task));
        }
        wake();
    }

    int dropAddress(const AddressKey &address) {
        int dropped = 0;
        for (auto &channel : m_channels)
            for (auto &station : channel->stations)
                if (station->address == address && !station->closing) {
                    markClosing(*station, QStringLiteral("dropped by operator"));
                    ++dropped;
                }
        closeMarked();
        return dropped;
    }

private:
    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
    }

    void log(const QString &line, int port = -1, const QString &state = {}) {
        if (m_options.log)
            m_options.log->write(line, port, state);
    }

    void run() {
        std::array<epoll_event, 256> events{};
        std::int64_t nextHousekeepingMs = 0;
        while (!m_stopping) {
            const int timeoutMs =
                m_pausedListeners > 0 ? pauseAfterDescriptorShortageMs / 2 : housekeepingMs;
            const int count = ::epoll_wait(m_epollFd, events.data(), int(events.size()), timeoutMs);
            m_nowMs = monotonicMs();
            for (int at = 0; at < count; ++at) {
                auto *endpoint = static_cast<Endpoint *>(events[size_t(at)].data.ptr);
                const std::uint32_t ready = events[size_t(at)].events;
                if (endpoint->kind == EndpointKind::Wake) {
                    std::uint64_t value = 0;
                    [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &value, sizeof value);
                } else if (endpoint->kind == EndpointKind::Listener) {
                    acceptFrom(*static_cast<Listener *>(endpoint)->channel);
                } else {
                    auto &station = *static_cast<Station *>(endpoint);
                    if (station.closing)
                        continue;
                    if (ready & EPOLLERR) {
                        markClosing(station, {});
                        continue;
                    }
                    if (ready & EPOLLOUT)
                        flush(station);
                    if ((ready & (EPOLLIN | EPOLLHUP)) && !station.closing)
                        readFrom(station);
                }
            }
            closeMarked();
            runTasks();
            if (m_pausedListeners > 0)
                resumeRestedListeners();
            if (m_nowMs >= nextHousekeepingMs) {
                housekeeping();
                nextHousekeepingMs = m_nowMs + housekeepingMs;
            }
        }
    }

    void runTasks() {
        std::vector<std::function<void()>> tasks;
        {
            const std::lock_guard lock(m_taskMutex);
            tasks.swap(m_tasks);
        }
        for (auto &task : tasks)
            task();
    }

    void acceptFrom(Channel &channel) {
        ConnectionBudget *const budget = m_options.budget;
        for (int round = 0; round < acceptsPerWakeUp; ++round) {
            // The place is taken first, so that the workers and the control ports
            // together never go beyond it.
            if (budget && !budget->take())
                return pauseAccepting(channel);
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            const int fd = ::accept4(channel.listener.fd, reinterpret_cast<sockaddr *>(&peer),
                                     &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                admit(channel, fd, peer);
                continue;
            }
            const int error = errno;
            if (budget)
                budget->give();
            if (error == EINTR || error == ECONNABORTED || error == EPROTO)
                continue;
            if (isOutOfDescriptors(error)) {
                if (channel.listener.pausedUntilMs == 0)
                    log(QStringLiteral("accepting paused on port %1 (%2): %3")
                            .arg(channel.port)
                            .arg(channel.name, errorText(error)));
                pauseAccepting(channel);
            }
            return;
        }
    }

    void pauseAccepting(Channel &channel) {
        Listener &listener = channel.listener;
        if (listener.pausedUntilMs != 0)
            return;
        epoll_event event{};
        event.data.ptr = &listener;
        ::epoll_ctl(m_epollFd, EPOLL_CTL_MOD, listener.fd, &event);
        listener.pausedUntilMs = m_nowMs + pauseAfterDescriptorShortageMs;
        ++m_pausedListeners;
    }

    void resumeAccepting(Listener &listener) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = &listener;
        ::epoll_ctl(m_epollFd, EPOLL_CTL_MOD, listener.fd, &event);
        listener.pausedUntilMs = 0;
        --m_pausedListeners;
    }

    void admit(Channel &channel, int fd, const sockaddr_storage &peer) {
        const auto *peerAddress = reinterpret_cast<const sockaddr *>(&peer);
        const QHostAddress address = plainAddress(QHostAddress(peerAddress));
        const quint16 peerPort = ntohs(
            peer.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port
                                       : reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
        const QString peerText = address.toString() + u':' + QString::number(peerPort);
        const AddressKey key = addressKey(peerAddress);
        const auto refuse = [&](const QString &why) {
            ::close(fd);
            if (m_options.budget)
                m_options.budget->give();
            log(QStringLiteral("refused %1 on port %2 (%3): %4")
                    .arg(peerText)
                    .arg(channel.port)
                    .arg(channel.name, why));
        };
        if (m_options.refuse && m_options.refuse(address))
            return refuse(QStringLiteral("not admitted"));
        if (int(channel.stations.size()) >= m_options.maxStationsPerPort)
            return refuse(QStringLiteral("full"));
        if (m_options.limits && !m_options.limits->acquire(key, channel.port))
            return refuse(QStringLiteral("too many connections from this address"));

        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes);
        setShortKeepAlive(fd);
        auto station = std::make_unique<Station>();
        station->fd = fd;
        station->channel = &channel;
        station->index = channel.stations.size();
        station->address = key;
        station->peer = peerText;
        station->refilledMs = m_nowMs;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = station.get();
        if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
            if (m_options.limits)
                m_options.limits->release(key, channel.port);
            return refuse(errorText(errno));
        }
        channel.stations.push_back(std::move(station));
        const QString where = channel.where();
        log(QStringLiteral("connect %1 %2").arg(peerText, where), channel.port, where);
    }

    void readFrom(Station &station) {
        char *buffer = m_readBuffer.get();
        const ssize_t got = ::recv(station.fd, station.reframer.prepare(buffer), readBytes, 0);
        if (got == 0)
            return markClosing(station, {});
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                markClosing(station, errorText(errno));
            return;
        }
        const size_t whole = station.reframer.complete(buffer, size_t(got));
        // Keep the blocks this station may send, packed at the front of the buffer,
        // so that they go to each listener in one call.
        size_t kept = 0;
        for (size_t at = 0; at < whole; at += blockBytes) {
            if (!mayPass(station))
                continue;
            if (kept != at)
                std::memmove(buffer + kept, buffer + at, blockBytes);
            kept += blockBytes;
        }
        if (kept == 0)
            return;
        for (auto &listener : station.channel->stations)
            if (listener.get() != &station && !listener->closing)
                deliver(*listener, buffer, kept);
    }

    // One speaker at a time, and no faster than speech.
    bool mayPass(Station &station) {
        Channel &channel = *station.channel;
        if (channel.speaker && channel.speaker != &station &&
            m_nowMs - channel.speakerLastMs < holdMs) {
            ++station.heldBack;
            return false;
        }
        const std::int64_t elapsedMs = m_nowMs - station.refilledMs;
        if (elapsedMs > 0) {
            station.tokens = std::min<std::int64_t>(std::int64_t(burstBlocks) * 1000,
                                                    station.tokens + elapsedMs * blocksPerSecond);
            station.refilledMs = m_nowMs;
        }
        if (station.tokens < 1000) {
            ++station.overRate;
            return false;
        }
        station.tokens -= 1000;
        channel.speaker = &station;
        channel.speakerLastMs = m_nowMs;
        return true;
    }

    void deliver(Station &listener, const char *data, size_t size) {
        size_t sent = 0;
        if (listener.queueCount == 0) {
            const ssize_t written = ::send(listener.fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (written == ssize_t(size))
                return;
            if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return markClosing(listener, errorText(errno));
            sent = written > 0 ? size_t(written) : 0;
            watchWritable(listener, true);
        }
        enqueue(listener, data + sent / blockBytes * blockBytes,
                size - sent / blockBytes * blockBytes, int(sent % blockBytes));
    }

    char *slot(Station &station, int index) {
        return station.queue.get() + size_t(index % queueSlots) * blockBytes;
    }

    // `headSent` bytes of the first block already went out; only when the queue is empty.
    void enqueue(Station &listener, const char *data, size_t size, int headSent) {
        if (!listener.queue)
            listener.queue = std::make_unique<char[]>(size_t(queueSlots) * blockBytes);
        for (size_t at = 0; at < size; at += blockBytes) {
            const int limit = queueBlocks + (listener.headSentBytes > 0 ? 1 : 0);
            if (listener.queueCount >= limit)
                dropOldest(listener);
            std::memcpy(slot(listener, listener.queueHead + listener.queueCount), data + at,
                        blockBytes);
            if (++listener.queueCount == 1)
                listener.headSentBytes = at == 0 ? headSent : 0;
        }
    }

    void dropOldest(Station &listener) {
        // A block that went out in part must be finished, or the stream loses its
        // alignment; the one after it goes instead.
        if (listener.headSentBytes > 0)
            std::memcpy(slot(listener, listener.queueHead + 1), slot(listener, listener.queueHead),
                        blockBytes);
        listener.queueHead = (listener.queueHead + 1) % queueSlots;
        --listener.queueCount;
        ++listener.droppedForListener;
        if (listener.behindSinceMs == 0)
            listener.behindSinceMs = m_nowMs;
    }

    void flush(Station &listener) {
        if (listener.queueCount == 0)
            return watchWritable(listener, false);
        const int contiguous = std::min(listener.queueCount, queueSlots - listener.queueHead);
        std::array<iovec, 2> parts{};
        parts[0].iov_base = slot(listener, listener.queueHead) + listener.headSentBytes;
        parts[0].iov_len = size_t(contiguous) * blockBytes - size_t(listener.headSentBytes);
        parts[1].iov_base = listener.queue.get();
        parts[1].iov_len = size_t(listener.queueCount - contiguous) * blockBytes;
        msghdr message{};
        message.msg_iov = parts.data();
        message.msg_iovlen = parts[1].iov_len > 0 ? 2 : 1;
        const ssize_t written = ::sendmsg(listener.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                markClosing(listener, errorText(errno));
            return;
        }
        const size_t done = size_t(listener.headSentBytes) + size_t(written);
        const int blocksDone = int(done / blockBytes);
        listener.queueHead = (listener.queueHead + blocksDone) % queueSlots;
        listener.queueCount -= blocksDone;
        listener.headSentBytes = int(done % blockBytes);
        // Half a second of room again counts as caught up.
        if (listener.queueCount <= queueBlocks / 2)
            listener.behindSinceMs = 0;
        if (listener.queueCount == 0) {
            listener.queueHead = 0;
            listener.headSentBytes = 0;
            watchWritable(listener, false);
        }
    }

    void watchWritable(Station &station, bool on) {
        if (station.watchingWritable == on)
            return;
        station.watchingWritable = on;
        epoll_event event{};
        event.events = EPOLLIN | (on ? EPOLLOUT : 0u);
        event.data.ptr = &station;
        ::epoll_ctl(m_epollFd, EPOLL_CTL_MOD, station.fd, &event);
    }

    // Stations go only between rounds of events, never while a list of them is walked.
    void markClosing(Station &station, const QString &reason) {
        if (station.closing)
            return;
        station.closing = true;
        station.closeReason = reason;
        m_closing.push_back(&station);
    }

    void closeMarked() {
        for (Station *station : m_closing)
            remove(*station);
        m_closing.clear();
    }

    void remove(Station &station) {
        Channel &channel = *station.channel;
        ::close(station.fd);
        if (m_options.budget)
            m_options.budget->give();
        if (m_options.limits)
            m_options.limits->release(station.address, channel.port);
        if (channel.speaker == &station)
            channel.speaker = nullptr;
        QString details;
        if (!station.closeReason.isEmpty())
            details += QStringLiteral(", ") + station.closeReason;
        if (station.droppedForListener > 0)
            details += QStringLiteral(", %1 blocks dropped for slow reading")
                           .arg(station.droppedForListener);
        if (station.heldBack > 0)
            details += QStringLiteral(", %1 blocks held back while another station spoke")
                           .arg(station.heldBack);
        if (station.overRate > 0)
            details +=
                QStringLiteral(", %1 blocks beyond the speech rate dropped").arg(station.overRate);
        const QString peer = station.peer;
        const size_t index = station.index;
        if (index + 1 != channel.stations.size()) {
            channel.stations[index] = std::move(channel.stations.back());
            channel.stations[index]->index = index;
        }
        channel.stations.pop_back();
        const QString where = channel.where();
        log(QStringLiteral("disconnect %1 %2%3").arg(peer, where, details), channel.port, where);
    }

    void resumeRestedListeners() {
        // While the connections have their fill the ports rest on, without a
        // fruitless wake for each of them.
        const bool full = m_options.budget && m_options.budget->full();
        for (auto &channel : m_channels) {
            Listener &listener = channel->listener;
            if (listener.pausedUntilMs == 0 || m_nowMs < listener.pausedUntilMs)
                continue;
            if (full)
                listener.pausedUntilMs = m_nowMs + pauseAfterDescriptorShortageMs;
            else
                resumeAccepting(listener);
        }
    }

    void housekeeping() {
        for (auto &channel : m_channels) {
            for (auto &station : channel->stations)
                if (station->behindSinceMs != 0 &&
                    m_nowMs - station->behindSinceMs >= behindLimitMs)
                    markClosing(
                        *station,
                        QStringLiteral("too slow a reader for %1 s").arg(behindLimitMs / 1000));
        }
        closeMarked();
    }

    const Options &m_options;
    int m_epollFd = -1;
    int m_wakeFd = -1;
    Endpoint m_wake{EndpointKind::Wake};
    std::vector<std::unique_ptr<Channel>> m_channels;
    std::vector<Station *> m_closing;
    std::unique_ptr<char[]> m_readBuffer;
    std::int64_t m_nowMs = monotonicMs();
    int m_pausedListeners = 0;
    std::atomic<bool> m_stopping{false};
    std::mutex m_taskMutex;
    std::vector<std::function<void()>> m_tasks;
    std::thread m_thread;
};

std::vector<VoiceRelay::Port> VoiceRelay::networkPorts(int portOffset) {
    std::vector<Port> ports;
    for (int channel = 1; channel <= 40; ++channel)
        ports.push_back({quint16(Deployment::controlBasePort + channel + portOffset),
                         QStringLiteral("channel %1").arg(channel)});
    ports.push_back(
        {quint16(Deployment::operatorBasePort + portOffset), QStringLiteral("operator channel")});
    return ports;
}

VoiceRelay::VoiceRelay(Options options) : m_options(std::move(options)) {
    const int threads = std::clamp(m_options.threads, 1, std::max(1, int(m_options.ports.size())));
    for (int at = 0; at < threads; ++at)
        m_workers.push_back(std::make_unique<Worker>(m_options));
}

VoiceRelay::~VoiceRelay() {
    for (auto &worker : m_workers)
        worker->stop();
}

bool VoiceRelay::start(QString *error) {
    for (const auto &worker : m_workers)
        if (!worker->usable()) {
            if (error)
                *error =
                    QStringLiteral("cannot set up the voice workers: %1").arg(errorText(errno));
            return false;
        }
    // Neighbouring channels go to different workers: the busy ones are often
    // next to each other.
    for (size_t at = 0; at < m_options.ports.size(); ++at)
        if (!m_workers[at % m_workers.size()]->listen(m_options.listenAddress, m_options.ports[at],
                                                      error))
            return false;
    for (auto &worker : m_workers)
        worker->startThread();
    m_started = true;
    return true;
}

int VoiceRelay::dropAddress(const QHostAddress &address) {
    if (!m_started)
        return 0;
    const AddressKey key = addressKey(address);
    std::atomic<int> dropped{0};
    std::latch done(std::ptrdiff_t(m_workers.size()));
    for (auto &worker : m_workers) {
        Worker *target = worker.get();
        target->post([&, target] {
            dropped += target->dropAddress(key);
            done.count_down();
        });
    }
    done.wait();
    return dropped;
}
