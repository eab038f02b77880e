#include "relay.h"

#include "console.h"
#include "deployment.h"
#include "eventlog.h"
#include "sockets.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

// Text pieces are read in this size; a real message is a few dozen bytes.
constexpr qint64 textChunkBytes = 4096;
// A station beyond its rate is not read for this long.
constexpr int restMs = 500;
// Out of descriptors or places, a port rests this long before accepting again.
constexpr int acceptPauseMs = 100;
// Qt stops reading from a flooding station once this much waits unread.
constexpr qint64 stationReadBufferBytes = 64 * 1024;

QHostAddress peerAddress(const QTcpSocket &socket) {
    return BanList::normalized(socket.peerAddress());
}

QByteArray shareKey(const AddressKey &address) {
    return QByteArray(reinterpret_cast<const char *>(address.data()), qsizetype(address.size()));
}

// As the log names a station: "ADDRESS:PORT".
QString peerText(const QTcpSocket &socket) {
    return peerAddress(socket).toString() + u':' + QString::number(socket.peerPort());
}

} // namespace

Relay::Relay(Options options, QObject *parent)
    : QObject(parent), m_options(options), m_bans(m_options.banFile),
      m_admission({m_options.maxStationsPerPort,
                   m_options.limits,
                   m_options.budget,
                   {},
                   [this](const QString &line, int port, const QString &where) {
                       log(line, port, where);
                   }}) {
    for (QHostAddress &address : m_options.operators)
        address = BanList::normalized(address);
    const auto addRoom = [this](Kind kind, int basePort, const QString &name) {
        auto room = std::make_unique<Room>();
        room->kind = kind;
        room->port = quint16(basePort + m_options.portOffset);
        room->name = name;
        m_rooms.push_back(std::move(room));
    };
    addRoom(Kind::Control, Deployment::controlBasePort, QStringLiteral("control"));
    addRoom(Kind::Chat, Deployment::chatBasePort, QStringLiteral("chat"));
    m_clock.start();
    m_banLogTimer.setInterval(1000);
    m_banLogTimer.setSingleShot(true);
    connect(&m_banLogTimer, &QTimer::timeout, this, [this] {
        if (m_refusedBanned == 0)
            return;
        logRefusedBanned();
        m_banLogTimer.start();
    });
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

void Relay::logRefusedBanned() {
    log(QStringLiteral("refused %1 banned connection(s), the last %2")
            .arg(m_refusedBanned)
            .arg(m_lastRefusedBanned));
    m_refusedBanned = 0;
}

bool Relay::start(QString *error) {
    if (!m_bans.load(error))
        return false;
    for (auto &room : m_rooms) {
        QString reason;
        room->listenFd = openListeningSocket(m_options.listenAddress, room->port, &reason);
        if (room->listenFd < 0) {
            if (error)
                *error = cannotListen(m_options.listenAddress, *room, reason);
            return false;
        }
        Room *target = room.get();
        room->acceptNotifier =
            std::make_unique<QSocketNotifier>(room->listenFd, QSocketNotifier::Read);
        connect(room->acceptNotifier.get(), &QSocketNotifier::activated, this,
                [this, target] { acceptStations(*target); });
    }
    if (!m_options.consolePath.isEmpty()) {
        m_console = std::make_unique<OperatorConsole>(*this, m_options.consolePath);
        if (!m_console->start(error))
            return false;
    }
    return true;
}

void Relay::acceptStations(Room &room) {
    for (;;) {
        bool rest = false;
        const Admission::Arrival arrival = m_admission.accept(room.listenFd, room, &rest);
        if (arrival.fd < 0) {
            // Without a place the connection stays in the backlog and the port
            // would wake us again at once: rest instead of spinning.
            if (rest)
                restAccepting(room);
            return;
        }
        if (m_bans.isBanned(arrival.address)) {
            // A banned station may come back in a loop: one line a second at most.
            ++m_refusedBanned;
            m_lastRefusedBanned = QStringLiteral("%1 on port %2 (%3)")
                                      .arg(arrival.peer)
                                      .arg(room.port)
                                      .arg(room.name);
            if (!m_banLogTimer.isActive()) {
                logRefusedBanned();
                m_banLogTimer.start();
            }
            m_admission.refuse(arrival, room, {});
            continue;
        }
        if (!m_admission.admit(arrival, room, room.stations.size()))
            continue;
        auto owned = std::make_unique<QTcpSocket>(this);
        if (!owned->setSocketDescriptor(arrival.fd)) {
            m_admission.withdraw(arrival, room, owned->errorString());
            continue;
        }
        QTcpSocket *socket = owned.release();
        auto station = std::make_unique<Station>();
        station->room = &room;
        station->socket = socket;
        station->peer = arrival.peer;
        station->address = arrival.key;
        station->mayCommand =
            room.kind != Kind::Control || m_options.operators.contains(arrival.address);
        station->allowance = room.kind == Kind::Chat
                                 ? RateAllowance(chatLinesPerSecond, chatLineBurst)
                                 : RateAllowance(reportsPerSecond, reportBurst);
        socket->setReadBufferSize(stationReadBufferBytes);
        Station *raw = station.get();
        connect(socket, &QIODevice::readyRead, this, [this, raw] { readFrom(*raw); });
        // Queued, so that a station never leaves while the relay walks the list.
        connect(
            socket, &QAbstractSocket::disconnected, socket,
            [this, socket] { removeStation(socket); }, Qt::QueuedConnection);
        if (room.kind == Kind::Control)
            ++m_addressShares[shareKey(arrival.key)].stations;
        room.stations.push_back(std::move(station));
        m_admission.joined(arrival.peer, room, room.stations.size());
        // Bytes may have come with the connection itself.
        if (socket->bytesAvailable() > 0)
            readFrom(*raw);
    }
}

void Relay::restAccepting(Room &room) {
    room.acceptNotifier->setEnabled(false);
    QTimer::singleShot(acceptPauseMs, this, [this, &room] {
        if (m_options.budget && m_options.budget->full())
            restAccepting(room);
        else
            room.acceptNotifier->setEnabled(true);
    });
}

void Relay::rest(Station &station) {
    if (station.resting)
        return;
    station.resting = true;
    QTcpSocket *socket = station.socket;
    Room *room = station.room;
    // The station may have left meanwhile: look for it again.
    QTimer::singleShot(restMs, socket, [this, room, socket] {
        for (auto &candidate : room->stations)
            if (candidate->socket == socket) {
                candidate->resting = false;
                // Chat that piled up meanwhile is beyond the rate as well:
                // passed on, it would arrive as long pieces of many lines.
                if (room->kind == Kind::Chat && socket->bytesAvailable() > 0) {
                    socket->readAll();
                    ++candidate->overRate;
                }
                readFrom(*candidate);
                return;
            }
    });
}

void Relay::readFrom(Station &station) {
    QTcpSocket &socket = *station.socket;
    for (;;) {
        // A station that closed at once leaves a socket that is no longer open;
        // reading it would only put a warning on the log for every such station.
        if (station.resting || !socket.isReadable())
            return;
        const qint64 got = socket.read(m_readBuffer.data(), textChunkBytes);
        if (got <= 0)
            return;
        const QByteArrayView piece(m_readBuffer.data(), got);
        if (station.room->kind == Kind::Chat) {
            // A long piece costs at most a full allowance, or it could never pass.
            const double lines = std::min(double(1 + (got - 1) / chatLineBytes), chatLineBurst);
            if (station.allowance.take(m_clock.elapsed(), lines)) {
                forward(station, piece.data(), piece.size());
                continue;
            }
            rest(station);
            if (station.overRate++ == 0)
                log(QStringLiteral("chat of %1 beyond %2 lines a second: the rest is dropped")
                        .arg(station.peer)
                        .arg(chatLinesPerSecond));
        } else if (!station.mayCommand) {
            forwardStationMessages(station, piece.data(), piece.size());
        } else if (piece == "hallo") {
            continue;
        } else if (StationMessage::length(piece) == piece.size()) {
            acceptStationMessage(station, piece);
        } else {
            forward(station, piece.data(), piece.size());
        }
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
        // Text goes to the system at once, so that what waits here is only
        // what a slow reader has not taken.
        station->socket->flush();
    }
}

void Relay::forwardStationMessages(Station &sender, const char *data, qint64 size) {
    // Messages sent close together may arrive as one piece, and one message may
    // arrive in two: pass each on by itself, and keep a cut-off start for its
    // rest. A piece with anything else in it is refused whole.
    if (!sender.pendingMessage.isEmpty() && sender.pendingSince.elapsed() > 1000) {
        sender.pendingMessage.clear();
        ++sender.refusedMessages;
    }
    const QByteArray joined = sender.pendingMessage + QByteArray::fromRawData(data, size);
    sender.pendingMessage.clear();
    const QByteArrayView piece(joined);
    QList<QByteArrayView> messages;
    qsizetype at = 0;
    while (at < piece.size()) {
        const qsizetype length = StationMessage::length(piece.sliced(at));
        if (length == 0)
            break;
        messages.append(piece.sliced(at, length));
        at += length;
    }
    if (at < piece.size()) {
        if (!StationMessage::isStart(piece.sliced(at))) {
            ++sender.refusedMessages;
            return;
        }
        sender.pendingMessage = piece.sliced(at).toByteArray();
        sender.pendingSince.start();
    }
    for (const QByteArrayView message : messages)
        acceptStationMessage(sender, message);
}

void Relay::acceptStationMessage(Station &sender, QByteArrayView message) {
    const QHostAddress address = peerAddress(*sender.socket);
    // Greetings are for the relay alone: passed on, they could be read as
    // part of a notice to all.
    if (message == "hallo") {
        if (!sender.identity.isEmpty())
            m_stations.note(sender.identity, sender.socket, address, {});
        return;
    }
    // A connection speaks for one station: the one it named first.
    const QByteArray identity = message.first(5).toByteArray();
    if (sender.identity.isEmpty())
        sender.identity = identity;
    if (identity != sender.identity) {
        ++sender.refusedMessages;
        return;
    }
    if (!sender.mayCommand) {
        const qint64 now = m_clock.elapsed();
        const auto share = m_addressShares.find(shareKey(sender.address));
        if (!sender.allowance.take(now) ||
            (share != m_addressShares.end() && !share->allowance.take(now))) {
            ++sender.overRate;
            rest(sender);
            return;
        }
    }
    // A holder whose connection is closing, but not yet removed, has left.
    const StationTable::Entry *holder = m_stations.find(identity);
    if (holder && holder->connection && holder->connection != sender.socket &&
        holder->connection->state() != QAbstractSocket::ConnectedState)
        m_stations.release(holder->connection);
    const StationTable::Noted noted =
        m_stations.note(identity, sender.socket, address, StationMessage::channel(message));
    if (noted != StationTable::Noted::Yes) {
        ++sender.refusedMessages;
        logRefusedIdentity(sender, identity, noted);
        return;
    }
    forward(sender, message.data(), message.size());
}

void Relay::logRefusedIdentity(Station &sender, const QByteArray &identity,
                               StationTable::Noted why) {
    if (sender.identityRefusalLogged)
        return;
    sender.identityRefusalLogged = true;
    QString reason;
    switch (why) {
    case StationTable::Noted::HeldElsewhere: {
        const StationTable::Entry *holder = m_stations.find(identity);
        reason = holder && holder->connection
                     ? QStringLiteral("held by %1").arg(peerText(*holder->connection))
                     : QStringLiteral("held by another connection");
        break;
    }
    case StationTable::Noted::AddressFull:
        reason = QStringLiteral("the address has %1 identities already")
                     .arg(StationTable::maxPerAddress);
        break;
    case StationTable::Noted::TableFull:
    case StationTable::Noted::Yes:
        reason = QStringLiteral("the table of stations is full");
        break;
    }
    log(QStringLiteral("refused identity %1 from %2: %3")
            .arg(QString::fromLatin1(identity), sender.peer, reason));
}

bool Relay::sendToStation(const QByteArray &identity, const QByteArray &text) {
    const StationTable::Entry *entry = m_stations.find(identity);
    if (!entry || !entry->connection ||
        entry->connection->state() != QAbstractSocket::ConnectedState)
        return false;
    entry->connection->write(text);
    return true;
}

int Relay::sendToAll(const QByteArray &text) {
    int reached = 0;
    for (auto &room : m_rooms) {
        if (room->kind != Kind::Control)
            continue;
        for (auto &station : room->stations) {
            if (station->socket->state() != QAbstractSocket::ConnectedState)
                continue;
            station->socket->write(text);
            ++reached;
        }
    }
    return reached;
}

bool Relay::banAddress(const QHostAddress &address, QString *error) {
    const bool saved = m_bans.ban(address, m_options.banMinutes, error);
    const QHostAddress banned = BanList::normalized(address);
    log(QStringLiteral("banned %1 for %2 minutes")
            .arg(banned.toString())
            .arg(m_options.banMinutes));
    for (auto &room : m_rooms)
        for (auto &station : room->stations)
            if (peerAddress(*station->socket) == banned)
                closeStation(*station);
    if (m_options.onBanned)
        m_options.onBanned(banned);
    return saved;
}

void Relay::closeStation(Station &station) {
    // Text already written (the ban itself) still goes out before the close,
    // unless the station will not read it.
    QTcpSocket *socket = station.socket;
    socket->disconnectFromHost();
    QTimer::singleShot(2000, socket, [socket] { socket->abort(); });
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
        m_stations.release(socket);
        if (room->kind == Kind::Control) {
            const auto share = m_addressShares.find(shareKey(station->address));
            if (share != m_addressShares.end() && --share->stations <= 0)
                m_addressShares.erase(share);
        }
        QString details;
        if (station->refusedMessages > 0)
            details += QStringLiteral(", %1 commands refused").arg(station->refusedMessages);
        if (station->droppedBytes > 0)
            details +=
                QStringLiteral(", %1 bytes dropped for slow reading").arg(station->droppedBytes);
        if (station->overRate > 0)
            details +=
                room->kind == Kind::Chat
                    ? QStringLiteral(", %1 chat pieces beyond the rate dropped")
                          .arg(station->overRate)
                    : QStringLiteral(", %1 reports beyond the rate dropped").arg(station->overRate);
        m_admission.left(station->peer, station->address, *room, stations.size(), details);
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
