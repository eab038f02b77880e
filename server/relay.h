#pragma once

#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <array>
#include <memory>
#include <vector>

// Relays between the stations of each port: speech in whole 65-byte blocks on
// the channel and operator ports, and each received piece of text unchanged on
// the control and chat ports.
class Relay : public QObject {
    Q_OBJECT
public:
    static constexpr int blockBytes = 65;

    struct Options {
        QHostAddress listenAddress = QHostAddress::LocalHost;
        int portOffset = 0;
        bool quiet = false;
        // Output waiting for a slow reader beyond this is dropped for that reader.
        qint64 maxPendingBytes = 256 * 1024;
        int maxStationsPerPort = 100;
        // When not empty, only stations from these addresses may send operator
        // commands on the control port; everyone else may send only greetings,
        // activity reports and alarms.
        QList<QHostAddress> operators;
    };

    // Length of the greeting, report or alarm at the start of `text`, or 0.
    static qsizetype stationMessageLength(QByteArrayView text);

    explicit Relay(Options options, QObject *parent = nullptr);
    ~Relay() override;

    // Listens on all 43 ports; false with a reason when one of them cannot be bound.
    bool start(QString *error);

private:
    enum class Kind { Voice, Control, Chat };
    struct Station;
    struct Room {
        Kind kind;
        quint16 port;
        QString name;
        std::unique_ptr<QTcpServer> server;
        std::vector<std::unique_ptr<Station>> stations;
    };
    struct Station {
        Room *room = nullptr;
        QTcpSocket *socket = nullptr;
        QString peer;
        // The start of a block whose rest has not arrived yet.
        std::array<char, blockBytes> partial{};
        int partialBytes = 0;
        qint64 droppedBytes = 0;
        bool mayCommand = true;
        qint64 refusedMessages = 0;
    };

    void acceptStations(Room &room);
    void readFrom(Station &station);
    void forward(const Station &sender, const char *data, qint64 size);
    void forwardStationMessages(Station &sender, const char *data, qint64 size);
    void removeStation(QTcpSocket *socket);
    void log(const QString &line) const;

    Options m_options;
    std::vector<std::unique_ptr<Room>> m_rooms;
    // One read buffer for all stations: the relay runs on one thread.
    std::array<char, blockBytes * 256> m_readBuffer{};
};
