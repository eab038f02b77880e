#include "sockets.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

namespace {

// The listen address as a socket address; dual-stack when it is "any".
socklen_t socketAddress(const QHostAddress &address, quint16 port, sockaddr_storage *storage,
                        bool *dualStack) {
    *storage = {};
    *dualStack = false;
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (isIpv4 && address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(ipv4);
        return sizeof(sockaddr_in);
    }
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    if (address == QHostAddress::Any || address == QHostAddress::AnyIPv6) {
        in6->sin6_addr = in6addr_any;
        *dualStack = address == QHostAddress::Any;
    } else {
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
    }
    return sizeof(sockaddr_in6);
}

} // namespace

int openListeningSocket(const QHostAddress &address, quint16 port, QString *reason) {
    sockaddr_storage storage{};
    bool dualStack = false;
    const socklen_t length = socketAddress(address, port, &storage, &dualStack);
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        const int on = 1;
        const int off = 0;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (storage.ss_family == AF_INET6)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, dualStack ? &off : &on, sizeof on);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&storage), length) == 0 &&
            ::listen(fd, SOMAXCONN) == 0)
            return fd;
    }
    const int failure = errno;
    if (fd >= 0)
        ::close(fd);
    if (reason)
        *reason = errorText(failure);
    return -1;
}

bool isOutOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

long raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return long(limit.rlim_cur);
}

void setShortKeepAlive(int socketDescriptor) {
    const int on = 1;
    const int idleSeconds = 60;
    const int intervalSeconds = 10;
    const int probes = 3;
    ::setsockopt(socketDescriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(socketDescriptor, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(socketDescriptor, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds,
                 sizeof intervalSeconds);
    ::setsockopt(socketDescriptor, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}
