#pragma once

#include "stationlimits.h"

#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTcpSocket>

#include <array>
#include <memory>
#include <vector>

class EventLog;

// Relays each received piece of text unchanged between the stations of the
// control port and of the chat port. Speech has a relay of its own (VoiceRelay).
class Relay : public QObject {
    Q_OBJECT
public:
    struct Options {
        QHostAddress listenAddress = QHostAddress::LocalHost;
        int portOffset = 0;
        bool quiet = false;
        // Output waiting for a slow reader beyond this is dropped for that reader.
        qint64 maxPendingBytes = 256 * 1024;
        int maxStationsPerPort = 1000;
        // Shared with the voice ports; none when null.
        AddressLimits *limits = nullptr;
        // Lines go to standard error when null.
        EventLog *log = nullptr;
        // When not empty, only stations from these addresses may send operator
        // commands on the control port; everyone else may send only greetings,
        // activity reports and alarms.
        QList<QHostAddress> operators;
    };

    // Length of the greeting, report or alarm at the start of `text`, or 0.
    static qsizetype stationMessageLength(QByteArrayView text);

    explicit Relay(Options options, QObject *parent = nullptr);
    ~Relay() override;

    // Listens on the control and chat ports; false with a reason when one of them
    // cannot be bound.
    bool start(QString *error);

private:
    enum class Kind { Control, Chat };
    struct Station;
    struct Room {
        Kind kind;
        quint16 port;
        QString name;
        int listenFd = -1;
        std::unique_ptr<QSocketNotifier> acceptNotifier;
        std::vector<std::unique_ptr<Station>> stations;
    };
    struct Station {
        Room *room = nullptr;
        QTcpSocket *socket = nullptr;
        QString peer;
        AddressKey address{};
        qint64 droppedBytes = 0;
        bool mayCommand = true;
        qint64 refusedMessages = 0;
    };

    void acceptStations(Room &room);
    // The next waiting station of the room, or null.
    QTcpSocket *nextConnection(Room &room);
    void readFrom(Station &station);
    void forward(const Station &sender, const char *data, qint64 size);
    void forwardStationMessages(Station &sender, const char *data, qint64 size);
    void removeStation(QTcpSocket *socket);
    void log(const QString &line, int port = -1, const QString &where = {}) const;

    Options m_options;
    std::vector<std::unique_ptr<Room>> m_rooms;
    // One read buffer for all stations: the relay runs on one thread.
    std::array<char, 4096> m_readBuffer{};
};
