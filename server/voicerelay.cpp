#include "voicerelay.h"

#include "admission.h"
#include "blockreframer.h"
#include "deployment.h"
#include "echoover.h"
#include "eventlog.h"
#include "sockets.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <latch>
#include <limits>
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
// How long the first block of an over holds the channel before the next is due.
constexpr int overStartGraceMs = 60;

std::int64_t monotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
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
    QHostAddress host;
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
    // When its last block came, passed or not, and when its over began: an over
    // goes on until the station is silent for the hold time.
    std::int64_t lastSentMs = std::numeric_limits<std::int64_t>::min() / 2;
    std::int64_t overStartMs = 0;
    int overPassed = 0;
    std::int64_t timedOut = 0;
    // When its last few blocks reached the others, newest at passedNext - 1.
    std::array<std::int64_t, VoiceRelay::speakingBlocks> passedMs{};
    int passedNext = 0;
    int passedCount = 0;
    // Blocks since the last review that spoke (while holding the channel) and
    // that only grabbed it; grabbing is what the operators were last told.
    int spokenInReview = 0;
    int grabsInReview = 0;
    int grabsShown = 0;
    // On an echo channel: its over, made on its first block there.
    std::unique_ptr<EchoOver> echo;
    bool echoListed = false;
    std::int64_t droppedDuringEcho = 0;
    bool closing = false;
    QString closeReason;
};

struct Listener : Endpoint {
    Listener() : Endpoint(EndpointKind::Listener) {}
    int fd = -1;
    Channel *channel = nullptr;
    std::int64_t pausedUntilMs = 0;
};

struct Channel : StationPort {
    int number = 0;
    bool echo = false;
    std::int64_t lastEchoMs = -1;
    Listener listener;
    std::vector<std::unique_ptr<Station>> stations;
    Station *speaker = nullptr;
};

} // namespace

class VoiceRelay::Worker {
public:
    explicit Worker(const Options &options)
        : m_options(options),
          m_admission({options.maxStationsPerPort, options.limits, options.budget, options.refuse,
                       [this](const QString &line, int port, const QString &where) {
                           log(line, port, where);
                       }}),
          m_speedup(std::max(1, options.clockSpeedup)) {
        m_nowMs = clockMs();
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
        channel->number = port.channel;
        channel->echo = port.echo;
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
                *error = cannotListen(address, *channel, reason);
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

    void addNotes(const QHostAddress &relayAddress, std::vector<Note> &notes) const {
        for (const auto &channel : m_channels) {
            if (channel->echo) {
                Note note{relayAddress, channel->number, true, 0, -1};
                for (const auto &station : channel->stations)
                    note.count += station->echo && !station->echo->idle() ? 1 : 0;
                if (channel->lastEchoMs >= 0)
                    note.idleMs = (m_nowMs - channel->lastEchoMs) / m_speedup;
                notes.push_back(note);
            }
            for (const auto &station : channel->stations)
                if (station->grabsShown > 0)
                    notes.push_back({station->host, channel->number, false, station->grabsShown, -1,
                                     m_options.grabReviewPeriodMs / 1000});
        }
    }

private:
    enum class Verdict { Drop, HeldBack, Pass };

    std::int64_t clockMs() const { return monotonicMs() * m_speedup; }

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
            std::int64_t wakeMs = std::max(nextHousekeepingMs, m_nowMs);
            if (m_pausedListeners > 0)
                wakeMs = std::min(wakeMs, m_nowMs + pauseAfterDescriptorShortageMs / 2);
            for (const Station *station : m_echoing)
                if (const std::int64_t next = station->echo->nextMs(); next >= 0)
                    wakeMs = std::min(wakeMs, next);
            // In real milliseconds, rounded up so that nothing is woken for too early.
            const int timeoutMs = int(std::clamp<std::int64_t>(
                (wakeMs - clockMs() + m_speedup - 1) / m_speedup, 0, housekeepingMs));
            const int count = ::epoll_wait(m_epollFd, events.data(), int(events.size()), timeoutMs);
            m_nowMs = clockMs();
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
            playEchoes();
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
        for (int round = 0; round < acceptsPerWakeUp; ++round) {
            bool rest = false;
            const Admission::Arrival arrival =
                m_admission.accept(channel.listener.fd, channel, &rest);
            if (arrival.fd < 0)
                return rest ? pauseAccepting(channel) : void();
            if (m_admission.admit(arrival, channel, channel.stations.size()))
                join(channel, arrival);
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

    void join(Channel &channel, const Admission::Arrival &arrival) {
        const int fd = arrival.fd;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes);
        auto station = std::make_unique<Station>();
        station->fd = fd;
        station->channel = &channel;
        station->index = channel.stations.size();
        station->address = arrival.key;
        station->host = arrival.address;
        station->peer = arrival.peer;
        station->refilledMs = m_nowMs;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = station.get();
        if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) != 0)
            return m_admission.withdraw(arrival, channel, errorText(errno));
        channel.stations.push_back(std::move(station));
        m_admission.joined(arrival.peer, channel, channel.stations.size());
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
            const Verdict verdict = judge(station);
            if (verdict != Verdict::Drop && station.channel->echo)
                keepForEcho(station, buffer + at);
            if (verdict != Verdict::Pass)
                continue;
            if (kept != at)
                std::memmove(buffer + kept, buffer + at, blockBytes);
            kept += blockBytes;
        }
        if (kept == 0)
            return;
        for (auto &listener : station.channel->stations)
            if (listener.get() != &station && !listener->closing &&
                !(listener->echo && listener->echo->playing()))
                deliver(*listener, buffer, kept);
    }

    // One speaker at a time, and no faster than speech. A block held back for
    // another speaker still reaches the echo station, which hears each station
    // on its own.
    Verdict judge(Station &station) {
        Channel &channel = *station.channel;
        // The echo station is talking to it: as on the air, it cannot send.
        if (station.echo && station.echo->playing()) {
            ++station.droppedDuringEcho;
            return Verdict::Drop;
        }
        if (m_nowMs - station.lastSentMs >= holdMs) {
            station.overStartMs = m_nowMs;
            station.overPassed = 0;
        }
        station.lastSentMs = m_nowMs;
        if (m_nowMs - station.overStartMs >= m_options.overTimeOutMs) {
            ++station.timedOut;
            return Verdict::Drop;
        }
        if (channel.speaker && channel.speaker != &station && holds(*channel.speaker)) {
            ++station.heldBack;
            ++station.grabsInReview;
            return channel.echo && takeToken(station) ? Verdict::HeldBack : Verdict::Drop;
        }
        if (!takeToken(station))
            return Verdict::Drop;
        channel.speaker = &station;
        station.passedMs[size_t(station.passedNext)] = m_nowMs;
        station.passedNext = (station.passedNext + 1) % speakingBlocks;
        station.passedCount = std::min(station.passedCount + 1, speakingBlocks);
        ++station.overPassed;
        if (holds(station))
            ++station.spokenInReview;
        else
            ++station.grabsInReview;
        return Verdict::Pass;
    }

    bool takeToken(Station &station) {
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
        return true;
    }

    // Whether the station speaks: its last blocks came at about the speech rate,
    // the newest within the hold time, and its over is not past the longest.
    bool holds(const Station &station) const {
        if (station.passedCount == 0)
            return false;
        const size_t oldest = size_t(station.passedNext);
        const size_t newest = size_t((station.passedNext + speakingBlocks - 1) % speakingBlocks);
        if (m_nowMs - station.passedMs[newest] >= holdMs ||
            m_nowMs - station.overStartMs >= m_options.overTimeOutMs)
            return false;
        if (station.passedCount == speakingBlocks &&
            m_nowMs - station.passedMs[oldest] < speakingWindowMs)
            return true;
        // An over that has only begun holds while its blocks keep to about the
        // speech rate from its first on: no single block of a trickle does.
        return station.overPassed > 0 && station.overPassed < speakingBlocks &&
               m_nowMs - station.overStartMs <=
                   std::int64_t(station.overPassed - 1) * 40 * 5 / 3 + overStartGraceMs;
    }

    void keepForEcho(Station &station, const char *block) {
        if (!station.echo)
            station.echo = std::make_unique<EchoOver>(holdMs);
        station.echo->take(block, m_nowMs);
        if (!station.echoListed) {
            station.echoListed = true;
            m_echoing.push_back(&station);
        }
    }

    void playEchoes() {
        for (size_t at = 0; at < m_echoing.size();) {
            Station &station = *m_echoing[at];
            station.echo->playDue(m_nowMs, [&](const char *data, size_t size) {
                station.channel->lastEchoMs = m_nowMs;
                if (!station.closing)
                    deliver(station, data, size);
            });
            if (!station.echo->idle()) {
                ++at;
                continue;
            }
            station.echoListed = false;
            m_echoing[at] = m_echoing.back();
            m_echoing.pop_back();
        }
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
        if (channel.speaker == &station)
            channel.speaker = nullptr;
        if (station.echoListed)
            std::erase(m_echoing, &station);
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
        if (station.timedOut > 0)
            details += QStringLiteral(", %1 blocks dropped after the longest over of %2 s")
                           .arg(station.timedOut)
                           .arg(m_options.overTimeOutMs / 1000);
        if (station.echo && station.echo->droppedBeyondLongest() > 0)
            details += QStringLiteral(", %1 blocks beyond the echo's %2 s dropped")
                           .arg(station.echo->droppedBeyondLongest())
                           .arg(EchoOver::longestMs / 1000);
        if (station.droppedDuringEcho > 0)
            details += QStringLiteral(", %1 blocks dropped while its echo played")
                           .arg(station.droppedDuringEcho);
        const QString peer = station.peer;
        const AddressKey key = station.address;
        const size_t index = station.index;
        if (index + 1 != channel.stations.size()) {
            channel.stations[index] = std::move(channel.stations.back());
            channel.stations[index]->index = index;
        }
        channel.stations.pop_back();
        m_admission.left(peer, key, channel, channel.stations.size(), details);
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
        const bool review = m_nowMs >= m_nextReviewMs;
        if (review)
            m_nextReviewMs = m_nowMs + m_options.grabReviewPeriodMs;
        for (auto &channel : m_channels) {
            if (review)
                for (auto &station : channel->stations)
                    reviewGrabs(*station);
            for (auto &station : channel->stations)
                if (station->behindSinceMs != 0 &&
                    m_nowMs - station->behindSinceMs >= behindLimitMs)
                    markClosing(
                        *station,
                        QStringLiteral("too slow a reader for %1 s").arg(behindLimitMs / 1000));
        }
        closeMarked();
    }

    // A station that mostly took the channel without speaking is shown to the
    // operators until a review finds it speaking or silent again.
    void reviewGrabs(Station &station) {
        const int grabsToShow = std::max(
            1, int(std::int64_t(grabsPerMinuteToShow) * m_options.grabReviewPeriodMs / 60000));
        const bool grabbing =
            station.grabsInReview >= grabsToShow && station.grabsInReview > station.spokenInReview;
        if (grabbing && station.grabsShown == 0) {
            const Channel &channel = *station.channel;
            log(QStringLiteral("%1 on port %2 (%3) grabs the channel without speaking: %4 of %5 "
                               "blocks in the last %6 s")
                    .arg(station.peer)
                    .arg(channel.port)
                    .arg(channel.name)
                    .arg(station.grabsInReview)
                    .arg(station.grabsInReview + station.spokenInReview)
                    .arg(m_options.grabReviewPeriodMs / 1000));
        }
        station.grabsShown = grabbing ? station.grabsInReview : 0;
        station.grabsInReview = 0;
        station.spokenInReview = 0;
    }

    const Options &m_options;
    Admission m_admission;
    const std::int64_t m_speedup;
    int m_epollFd = -1;
    int m_wakeFd = -1;
    Endpoint m_wake{EndpointKind::Wake};
    std::vector<std::unique_ptr<Channel>> m_channels;
    std::vector<Station *> m_closing;
    // Stations on an echo channel whose over is kept or playing.
    std::vector<Station *> m_echoing;
    std::int64_t m_nextReviewMs = 0;
    std::unique_ptr<char[]> m_readBuffer;
    std::int64_t m_nowMs = 0;
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
                         QStringLiteral("channel %1").arg(channel), channel});
    ports.push_back({quint16(Deployment::operatorBasePort + portOffset),
                     QStringLiteral("operator channel"), 0});
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

std::vector<VoiceRelay::Note> VoiceRelay::notes() {
    std::vector<Note> notes;
    if (!m_started)
        return notes;
    std::mutex mutex;
    std::latch done(std::ptrdiff_t(m_workers.size()));
    for (auto &worker : m_workers) {
        Worker *target = worker.get();
        target->post([&, target] {
            std::vector<Note> found;
            target->addNotes(m_options.listenAddress, found);
            {
                const std::lock_guard lock(mutex);
                notes.insert(notes.end(), found.begin(), found.end());
            }
            done.count_down();
        });
    }
    done.wait();
    std::sort(notes.begin(), notes.end(),
              [](const Note &a, const Note &b) { return a.channel < b.channel; });
    return notes;
}
