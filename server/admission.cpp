#include "admission.h"

#include "sockets.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

QString cannotListen(const QHostAddress &address, const StationPort &port, const QString &reason) {
    return QStringLiteral("cannot listen on %1 port %2 (%3): %4")
        .arg(address.toString())
        .arg(port.port)
        .arg(port.name, reason);
}

Admission::Arrival Admission::accept(int listenFd, const StationPort &port, bool *rest) {
    *rest = false;
    // The place is taken first, so that all ports together never go beyond it.
    if (m_options.budget && !m_options.budget->take()) {
        *rest = true;
        return {};
    }
    sockaddr_storage peer{};
    int fd = -1;
    do {
        socklen_t length = sizeof peer;
        fd = ::accept4(listenFd, reinterpret_cast<sockaddr *>(&peer), &length,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
        // A connection that gave up while waiting leaves room for the next.
    } while (fd < 0 && (errno == EINTR || errno == ECONNABORTED || errno == EPROTO));
    if (fd < 0) {
        const int error = errno;
        giveBackPlace();
        if (isOutOfDescriptors(error)) {
            m_options.log(QStringLiteral("accepting paused on port %1 (%2): %3")
                              .arg(port.port)
                              .arg(port.name, errorText(error)),
                          -1, {});
            *rest = true;
        }
        return {};
    }
    const auto *address = reinterpret_cast<const sockaddr *>(&peer);
    Arrival arrival;
    arrival.fd = fd;
    arrival.address = plainAddress(QHostAddress(address));
    arrival.key = addressKey(address);
    const quint16 peerPort =
        ntohs(peer.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port
                                         : reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
    arrival.peer = arrival.address.toString() + u':' + QString::number(peerPort);
    return arrival;
}

bool Admission::admit(const Arrival &arrival, const StationPort &port, std::size_t stations) {
    QString why;
    if (m_options.barred && m_options.barred(arrival.address))
        why = QStringLiteral("not admitted");
    else if (stations >= std::size_t(m_options.maxStationsPerPort))
        why = QStringLiteral("full");
    else if (m_options.limits && !m_options.limits->acquire(arrival.key, port.port))
        why = QStringLiteral("too many connections from this address");
    if (!why.isEmpty()) {
        refuse(arrival, port, why);
        return false;
    }
    // Stations that vanish without a word are found and removed in time. Speech
    // must not wait for acknowledgements, and each text message should leave in
    // a segment of its own.
    setShortKeepAlive(arrival.fd);
    const int on = 1;
    ::setsockopt(arrival.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

void Admission::refuse(const Arrival &arrival, const StationPort &port, const QString &why) {
    ::close(arrival.fd);
    giveBackPlace();
    if (!why.isEmpty())
        m_options.log(QStringLiteral("refused %1 on port %2 (%3): %4")
                          .arg(arrival.peer)
                          .arg(port.port)
                          .arg(port.name, why),
                      -1, {});
}

void Admission::withdraw(const Arrival &arrival, const StationPort &port, const QString &why) {
    if (m_options.limits)
        m_options.limits->release(arrival.key, port.port);
    refuse(arrival, port, why);
}

void Admission::joined(const QString &peer, const StationPort &port, std::size_t stations) {
    logPortState(QStringLiteral("connect ") + peer, port, stations);
}

void Admission::left(const QString &peer, const AddressKey &key, const StationPort &port,
                     std::size_t stations, const QString &details) {
    giveBackPlace();
    if (m_options.limits)
        m_options.limits->release(key, port.port);
    logPortState(QStringLiteral("disconnect ") + peer, port, stations, details);
}

void Admission::giveBackPlace() {
    if (m_options.budget)
        m_options.budget->give();
}

void Admission::logPortState(const QString &what, const StationPort &port, std::size_t stations,
                             const QString &details) const {
    const QString where =
        QStringLiteral("on port %1 (%2), %3 connected").arg(port.port).arg(port.name).arg(stations);
    m_options.log(what + u' ' + where + details, port.port, where);
}
