#include "relay.h"

#include "deployment.h"
#include "eventlog.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Text pieces are read in this size; a real message is a few dozen bytes.
constexpr qint64 textChunkBytes = 4096;
// After running out of descriptors a port rests this long before accepting again.
constexpr int acceptPauseMs = 100;
// Qt stops reading from a flooding station once this much waits unread.
constexpr qint64 stationReadBufferBytes = 64 * 1024;

QHostAddress peerAddress(const QTcpSocket &socket) {
    const QHostAddress address = socket.peerAddress();
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ipv4) : address;
}

QString peerText(const QTcpSocket &socket) {
    return peerAddress(socket).toString() + u':' + QString::number(socket.peerPort());
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isAlphanumeric(char c) {
    return isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A channel text as the stations send it: "01" to "40", or "0" before the first
// step and on the operator channel. Returns its length, or 0.
qsizetype channelLength(QByteArrayView text) {
    if (text.size() >= 2 && isDigit(text[0]) && isDigit(text[1])) {
        const int channel = (text[0] - '0') * 10 + (text[1] - '0');
        if (channel >= 1 && channel <= 40)
            return 2;
    }
    return !text.isEmpty() && text[0] == '0' ? 1 : 0;
}

} // namespace

Relay::Relay(Options options, QObject *parent) : QObject(parent), m_options(options) {
    for (QHostAddress &address : m_options.operators) {
        bool mapped = false;
        const quint32 ipv4 = address.toIPv4Address(&mapped);
        if (mapped)
            address = QHostAddress(ipv4);
    }
    const auto addRoom = [this](Kind kind, int basePort, const QString &name) {
        auto room = std::make_unique<Room>();
        room->kind = kind;
        room->port = quint16(basePort + m_options.portOffset);
        room->name = name;
        m_rooms.push_back(std::move(room));
    };
    addRoom(Kind::Control, Deployment::controlBasePort, QStringLiteral("control"));
    addRoom(Kind::Chat, Deployment::chatBasePort, QStringLiteral("chat"));
}

Relay::~Relay() {
    // Sockets are children of the relay; silence them before they go.
    for (auto &room : m_rooms)
        for (auto &station : room->stations)
            station->socket->disconnect(this);
    for (auto &room : m_rooms) {
        room->acceptNotifier.reset();
        if (room->listenFd >= 0)
            ::close(room->listenFd);
    }
}

bool Relay::start(QString *error) {
    for (auto &room : m_rooms) {
        QString reason;
        room->listenFd = openListeningSocket(m_options.listenAddress, room->port, &reason);
        if (room->listenFd < 0) {
            if (error)
                *error = QStringLiteral("cannot listen on %1 port %2 (%3): %4")
                             .arg(m_options.listenAddress.toString())
                             .arg(room->port)
                             .arg(room->name, reason);
            return false;
        }
        Room *target = room.get();
        room->acceptNotifier =
            std::make_unique<QSocketNotifier>(room->listenFd, QSocketNotifier::Read);
        connect(room->acceptNotifier.get(), &QSocketNotifier::activated, this,
                [this, target] { acceptStations(*target); });
    }
    return true;
}

void Relay::acceptStations(Room &room) {
    while (QTcpSocket *socket = nextConnection(room)) {
        const QString peer = peerText(*socket);
        if (int(room.stations.size()) >= m_options.maxStationsPerPort) {
            log(QStringLiteral("refused %1 on port %2 (%3): full")
                    .arg(peer)
                    .arg(room.port)
                    .arg(room.name));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const AddressKey address = addressKey(peerAddress(*socket));
        if (m_options.limits && !m_options.limits->acquire(address, room.port)) {
            log(QStringLiteral("refused %1 on port %2 (%3): too many connections from this "
                               "address")
                    .arg(peer)
                    .arg(room.port)
                    .arg(room.name));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto station = std::make_unique<Station>();
        station->room = &room;
        station->socket = socket;
        station->peer = peer;
        station->address = address;
        station->mayCommand = room.kind != Kind::Control || m_options.operators.isEmpty() ||
                              m_options.operators.contains(peerAddress(*socket));
        socket->setReadBufferSize(stationReadBufferBytes);
        // Stations that vanish without a word are found and removed in time.
        setShortKeepAlive(int(socket->socketDescriptor()));
        // Speech must not wait for acknowledgements, and each text message should
        // leave in a segment of its own.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        Station *raw = station.get();
        connect(socket, &QIODevice::readyRead, this, [this, raw] { readFrom(*raw); });
        // Queued, so that a station never leaves while the relay walks the list.
        connect(
            socket, &QAbstractSocket::disconnected, socket,
            [this, socket] { removeStation(socket); }, Qt::QueuedConnection);
        room.stations.push_back(std::move(station));
        const QString where = QStringLiteral("on port %1 (%2), %3 connected")
                                  .arg(room.port)
                                  .arg(room.name)
                                  .arg(room.stations.size());
        log(QStringLiteral("connect %1 %2").arg(peer, where), room.port, where);
        // Bytes may have come with the connection itself.
        if (socket->bytesAvailable() > 0)
            readFrom(*raw);
    }
}

QTcpSocket *Relay::nextConnection(Room &room) {
    const int fd = ::accept4(room.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors the connection stays in the backlog and the port would
        // wake us again at once: rest a moment instead of spinning.
        if (isOutOfDescriptors(errno)) {
            room.acceptNotifier->setEnabled(false);
            log(QStringLiteral("accepting paused on port %1 (%2): %3")
                    .arg(room.port)
                    .arg(room.name, QString::fromLocal8Bit(std::strerror(errno))));
            QTimer::singleShot(acceptPauseMs, this,
                               [&room] { room.acceptNotifier->setEnabled(true); });
        }
        return nullptr;
    }
    auto socket = std::make_unique<QTcpSocket>(this);
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        return nullptr;
    }
    return socket.release();
}

void Relay::readFrom(Station &station) {
    QTcpSocket &socket = *station.socket;
    for (;;) {
        const qint64 got = socket.read(m_readBuffer.data(), textChunkBytes);
        if (got <= 0)
            return;
        if (station.mayCommand)
            forward(station, m_readBuffer.data(), got);
        else
            forwardStationMessages(station, m_readBuffer.data(), got);
    }
}

void Relay::forward(const Station &sender, const char *data, qint64 size) {
    // Control stations hear every message, their own included: the activity
    // panel of the sending station then shows its own channel as well.
    const bool echo = sender.room->kind == Kind::Control;
    for (auto &station : sender.room->stations) {
        if ((!echo && station.get() == &sender) ||
            station->socket->state() != QAbstractSocket::ConnectedState)
            continue;
        if (station->socket->bytesToWrite() + size > m_options.maxPendingBytes) {
            station->droppedBytes += size;
            continue;
        }
        station->socket->write(data, size);
    }
}

qsizetype Relay::stationMessageLength(QByteArrayView text) {
    if (text.startsWith("hallo"))
        return 5;
    if (text.size() < 7 || !std::all_of(text.begin(), text.begin() + 4, isAlphanumeric) ||
        !isDigit(text[4]))
        return 0;
    qsizetype at = 5;
    if (text[at] == 'A') {
        const qsizetype channel = channelLength(text.sliced(at + 1));
        at += 1 + channel;
        return channel > 0 && at < text.size() && text[at] == 'A' ? at + 1 : 0;
    }
    if (text[at] == 'C')
        ++at;
    if (at >= text.size() || text[at] != '(')
        return 0;
    const qsizetype channel = channelLength(text.sliced(at + 1));
    at += 1 + channel;
    return channel > 0 && at < text.size() && text[at] == ')' ? at + 1 : 0;
}

void Relay::forwardStationMessages(Station &sender, const char *data, qint64 size) {
    // Messages sent close together may arrive as one piece: pass each on by
    // itself, or none of the piece when any part of it is not a station's message.
    const QByteArrayView piece(data, size);
    qsizetype at = 0;
    while (at < piece.size()) {
        const qsizetype length = stationMessageLength(piece.sliced(at));
        if (length == 0) {
            ++sender.refusedMessages;
            return;
        }
        at += length;
    }
    for (at = 0; at < piece.size();) {
        const qsizetype length = stationMessageLength(piece.sliced(at));
        forward(sender, data + at, length);
        at += length;
    }
}

void Relay::removeStation(QTcpSocket *socket) {
    for (auto &room : m_rooms) {
        auto &stations = room->stations;
        const auto found = std::find_if(stations.begin(), stations.end(),
                                        [socket](const auto &s) { return s->socket == socket; });
        if (found == stations.end())
            continue;
        const std::unique_ptr<Station> station = std::move(*found);
        stations.erase(found);
        if (m_options.limits)
            m_options.limits->release(station->address, room->port);
        const QString where = QStringLiteral("on port %1 (%2), %3 connected")
                                  .arg(room->port)
                                  .arg(room->name)
                                  .arg(stations.size());
        QString line = QStringLiteral("disconnect %1 %2").arg(station->peer, where);
        if (station->refusedMessages > 0)
            line += QStringLiteral(", %1 commands refused").arg(station->refusedMessages);
        if (station->droppedBytes > 0)
            line +=
                QStringLiteral(", %1 bytes dropped for slow reading").arg(station->droppedBytes);
        log(line, room->port, where);
        socket->disconnect(this);
        socket->deleteLater();
        return;
    }
}

void Relay::log(const QString &line, int port, const QString &where) const {
    if (m_options.log)
        return m_options.log->write(line, port, where);
    if (m_options.quiet)
        return;
    std::fprintf(stderr, "marlox-relay: %s\n", qPrintable(line));
    std::fflush(stderr);
}
