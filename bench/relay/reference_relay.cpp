// The floor the relay is measured against: a minimal single-threaded epoll
// fan-out on the 40 channel ports and the operator port, with no limits, no
// queues and no log. Each whole block goes to every other station of the port
// with one send; what does not fit is lost.
//
//   reference_relay --port-offset N

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int blockBytes = 65;
constexpr int portCount = 41;

struct Connection {
    int fd = -1;
    int port = -1; // index into the ports; -1 for a listening socket
    std::array<char, blockBytes> partial{};
    int partialBytes = 0;
};

} // namespace

int main(int argc, char *argv[]) {
    const int offset =
        argc == 3 && std::strcmp(argv[1], "--port-offset") == 0 ? std::atoi(argv[2]) : 0;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);

    const int epollFd = ::epoll_create1(0);
    std::array<std::vector<std::unique_ptr<Connection>>, portCount> stations;
    std::vector<std::unique_ptr<Connection>> listeners;
    for (int at = 0; at < portCount; ++at) {
        const int port = (at < 40 ? 325 + at : 999) + offset;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(fd, SOMAXCONN) != 0) {
            std::fprintf(stderr, "reference_relay: cannot listen on port %d\n", port);
            return 1;
        }
        auto listener = std::make_unique<Connection>();
        listener->fd = fd;
        epoll_event event{EPOLLIN, {.ptr = listener.get()}};
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
        listeners.push_back(std::move(listener));
    }
    std::fprintf(stderr, "reference_relay: listening\n");

    std::vector<char> buffer(64 * 1024 + blockBytes);
    std::array<epoll_event, 256> events{};
    for (;;) {
        const int count = ::epoll_wait(epollFd, events.data(), int(events.size()), -1);
        for (int at = 0; at < count; ++at) {
            auto *connection = static_cast<Connection *>(events[size_t(at)].data.ptr);
            if (connection->port < 0) {
                const int fd = ::accept4(connection->fd, nullptr, nullptr, SOCK_NONBLOCK);
                if (fd < 0)
                    continue;
                const int on = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                auto station = std::make_unique<Connection>();
                station->fd = fd;
                for (int port = 0; port < portCount; ++port)
                    if (listeners[size_t(port)].get() == connection)
                        station->port = port;
                epoll_event event{EPOLLIN, {.ptr = station.get()}};
                ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
                stations[size_t(station->port)].push_back(std::move(station));
                continue;
            }
            std::memcpy(buffer.data(), connection->partial.data(),
                        size_t(connection->partialBytes));
            const ssize_t got = ::recv(connection->fd, buffer.data() + connection->partialBytes,
                                       buffer.size() - blockBytes, 0);
            auto &others = stations[size_t(connection->port)];
            if (got <= 0) {
                ::close(connection->fd);
                std::erase_if(
                    others, [connection](const auto &other) { return other.get() == connection; });
                continue;
            }
            const size_t total = size_t(connection->partialBytes) + size_t(got);
            const size_t whole = total / blockBytes * blockBytes;
            connection->partialBytes = int(total - whole);
            std::memcpy(connection->partial.data(), buffer.data() + whole,
                        size_t(connection->partialBytes));
            if (whole > 0)
                for (const auto &other : others)
                    if (other.get() != connection)
                        ::send(other->fd, buffer.data(), whole, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }
}
