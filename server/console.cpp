#include "console.h"

#include "consolecommands.h"
#include "relay.h"

#include <QFile>
#include <QLocalSocket>
#include <QTimer>

namespace {

// A command line is a word and an identity; anything longer is not one.
constexpr qint64 maxLineBytes = 256;
// A console client that neither sends a line nor reads its answer is dropped.
constexpr int clientTimeoutMs = 5000;

QByteArray answer(bool ok, const QString &text) {
    QByteArray reply = ok ? "ok\n" : "error\n";
    reply += text.toUtf8();
    if (!reply.endsWith('\n'))
        reply += '\n';
    return reply;
}

} // namespace

OperatorConsole::OperatorConsole(Relay &relay, QString path, QObject *parent)
    : QObject(parent), m_relay(relay), m_path(std::move(path)) {}

OperatorConsole::~OperatorConsole() = default;

bool OperatorConsole::start(QString *error) {
    m_server = std::make_unique<QLocalServer>();
    // Qt binds in a private folder and sets the mode before moving the socket
    // into place, so nobody else can connect in between.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_path)) {
        QLocalSocket probe;
        probe.connectToServer(m_path);
        if (probe.waitForConnected(1000)) {
            if (error)
                *error = QStringLiteral("another relay answers on the console %1").arg(m_path);
            return false;
        }
        QLocalServer::removeServer(m_path);
        if (!m_server->listen(m_path)) {
            if (error)
                *error = QStringLiteral("cannot open the console %1: %2")
                             .arg(m_path, m_server->errorString());
            return false;
        }
    }
    // Qt leaves it at 0700; a socket has no use for the execute bit.
    QFile::setPermissions(m_server->fullServerName(), QFile::ReadOwner | QFile::WriteOwner);
    connect(m_server.get(), &QLocalServer::newConnection, this, &OperatorConsole::accept);
    return true;
}

void OperatorConsole::accept() {
    while (QLocalSocket *client = m_server->nextPendingConnection()) {
        client->setParent(this);
        auto *timeout = new QTimer(client);
        timeout->setSingleShot(true);
        connect(timeout, &QTimer::timeout, client, &QLocalSocket::abort);
        timeout->start(clientTimeoutMs);
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            if (!client->canReadLine()) {
                if (client->bytesAvailable() > maxLineBytes)
                    client->abort();
                return;
            }
            // One command a connection.
            QObject::disconnect(client, &QLocalSocket::readyRead, this, nullptr);
            const QByteArray line = client->readLine(maxLineBytes + 1);
            client->write(run(line.trimmed()));
            client->disconnectFromServer();
        });
    }
}

QByteArray OperatorConsole::run(const QByteArray &line) {
    const QList<QByteArray> words = line.simplified().split(' ');
    const QString name = QString::fromUtf8(words.value(0));
    const ConsoleCommands::Command *command = ConsoleCommands::find(name);
    if (!command)
        return answer(false, QStringLiteral("unknown command: %1").arg(name));
    if (command->perStation != (words.size() == 2))
        return answer(false, command->perStation
                                 ? QStringLiteral("%1 needs a station identity").arg(name)
                                 : QStringLiteral("%1 takes no identity").arg(name));
    if (name == QLatin1String("stations"))
        return answer(true, QString::fromUtf8(stationsTable()));
    if (!command->perStation) {
        const int reached = m_relay.sendToAll(ConsoleCommands::filler + QByteArray(command->word));
        return answer(true, QStringLiteral("%1 sent to %2 stations").arg(name).arg(reached));
    }

    const QByteArray identity = words[1];
    const StationTable::Entry *station = m_relay.stations().find(identity);
    QHostAddress address;
    // A ban outlives the relay's memory of the station: lift it by address then.
    // A station that only grabs speech channels has no identity: ban its address.
    if (!station && !((name == QLatin1String("unban") || name == QLatin1String("ban")) &&
                      address.setAddress(QString::fromUtf8(identity))))
        return answer(false,
                      QStringLiteral("unknown station: %1").arg(QString::fromUtf8(identity)));
    if (station)
        address = station->address;
    if (name == QLatin1String("unban")) {
        QString error;
        if (!m_relay.bans().unban(address, &error))
            return answer(false, error.isEmpty()
                                     ? QStringLiteral("%1 is not banned").arg(address.toString())
                                     : error);
        return answer(true, QStringLiteral("ban of %1 lifted").arg(address.toString()));
    }
    const bool sent = m_relay.sendToStation(identity, identity + command->word);
    if (name == QLatin1String("ban")) {
        QString error;
        const bool saved = m_relay.banAddress(address, &error);
        QString text = QStringLiteral("%1 banned until %2 UTC")
                           .arg(address.toString(), m_relay.bans().bannedUntil(address).toString(
                                                        QStringLiteral("yyyy-MM-dd HH:mm")));
        if (!sent)
            text += QStringLiteral("; the station was not connected");
        if (!saved)
            return answer(false, text + QStringLiteral(", but ") + error);
        return answer(true, text);
    }
    if (!sent)
        return answer(
            false, QStringLiteral("station %1 is not connected").arg(QString::fromUtf8(identity)));
    return answer(true, QStringLiteral("%1 sent to %2").arg(name, QString::fromUtf8(identity)));
}

QByteArray OperatorConsole::stationsTable() const {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QByteArray table =
        QByteArray("IDENTITY").leftJustified(10) + QByteArray("ADDRESS").leftJustified(40) +
        QByteArray("CHANNEL").leftJustified(9) + QByteArray("IDLE S").leftJustified(8) + "STATE\n";
    const auto row = [](const QByteArray &identity, const QHostAddress &address,
                        const QByteArray &channel, const QByteArray &idle,
                        const QByteArray &state) {
        return identity.leftJustified(10) + address.toString().toLatin1().leftJustified(40) +
               channel.leftJustified(9) + idle.leftJustified(8) + state + '\n';
    };
    // The voice ports add the echo stations, and flag stations that grab channels
    // without speaking: on their identity's line, or on a line of their own.
    const std::vector<VoiceRelay::Note> voice = m_relay.voiceNotes();
    std::vector<bool> listed(voice.size(), false);
    const auto grabbing = [](const VoiceRelay::Note &note) {
        return QByteArray(", grabs channel ") +
               QByteArray::number(note.channel).rightJustified(2, '0') + " without speaking (" +
               QByteArray::number(note.count) + " blocks in the last " +
               QByteArray::number(note.reviewSeconds) + " s)";
    };
    for (const StationTable::Entry &station : m_relay.stations().entries()) {
        QByteArray state = station.connection ? "connected" : "gone";
        for (size_t at = 0; at < voice.size(); ++at)
            if (!voice[at].echoStation && voice[at].address == station.address) {
                state += grabbing(voice[at]);
                listed[at] = true;
            }
        const QDateTime until = m_relay.bans().bannedUntil(station.address);
        if (until.isValid())
            state += ", banned until " +
                     until.toString(QStringLiteral("yyyy-MM-dd HH:mm")).toLatin1() + " UTC";
        table += row(station.identity, station.address,
                     station.channel.isEmpty() ? QByteArray("-") : station.channel,
                     QByteArray::number(station.lastMessage.secsTo(now)), state);
    }
    for (size_t at = 0; at < voice.size(); ++at) {
        const VoiceRelay::Note &note = voice[at];
        const QByteArray channel = QByteArray::number(note.channel).rightJustified(2, '0');
        if (note.echoStation)
            table += row("(echo)", note.address, channel,
                         note.idleMs < 0 ? QByteArray("-") : QByteArray::number(note.idleMs / 1000),
                         "echo station, " + QByteArray::number(note.count) +
                             " stations' overs kept or playing back");
        else if (!listed[at])
            table += row("-", note.address, channel, "-", "connected" + grabbing(note));
    }
    return table;
}
