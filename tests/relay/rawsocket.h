#pragma once

// Stations as the relay sees them on the network: plain sockets, without Qt's
// buffering in between, from any address of 127.0.0.0/8.

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

inline std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A raw socket connected from `source` (any address of 127.0.0.0/8) to the port
// on 127.0.0.1, or -1. `receiveBuffer` > 0 shrinks the kernel's receive buffer
// first, as a listener that barely reads would have.
inline int connectFrom(const char *source, quint16 port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when the relay closed the connection within `timeoutMs`; whatever it
// sent before is passed over.
inline bool closedByRelay(int fd, int timeoutMs = 2000) {
    const std::int64_t endNs = nowNs() + std::int64_t(timeoutMs) * 1'000'000;
    for (;;) {
        const std::int64_t leftMs = (endNs - nowNs()) / 1'000'000;
        pollfd entry{fd, POLLIN, 0};
        if (leftMs < 0 || ::poll(&entry, 1, int(leftMs)) <= 0)
            return false;
        char buffer[4096];
        if (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0)
            return true;
    }
}

inline bool sendAll(int fd, const QByteArray &bytes) {
    return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}

inline QByteArray receive(int fd, qsizetype size, int timeoutMs = 3000) {
    QByteArray data;
    const std::int64_t endNs = nowNs() + std::int64_t(timeoutMs) * 1'000'000;
    while (data.size() < size && nowNs() < endNs) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0)
            continue;
        char buffer[4096];
        const ssize_t got =
            ::recv(fd, buffer, size_t(std::min<qsizetype>(sizeof buffer, size - data.size())), 0);
        if (got <= 0)
            break;
        data.append(buffer, got);
    }
    return data;
}
