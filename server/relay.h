#pragma once

#include "admission.h"
#include "banlist.h"
#include "stationlimits.h"
#include "stations.h"
#include "voicerelay.h"

#include <QByteArrayView>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class EventLog;
class OperatorConsole;

// Relays each received piece of text unchanged between the stations of the
// chat port, and the stations' own messages between those of the control port;
// runs the operators' console. Speech has a relay of its own (VoiceRelay).
class Relay : public QObject {
    Q_OBJECT
public:
    struct Options {
        QHostAddress listenAddress = QHostAddress::LocalHost;
        int portOffset = 0;
        bool quiet = false;
        // Output waiting for a slow reader beyond this is dropped for that reader.
        qint64 maxPendingBytes = 8 * 1024;
        int maxStationsPerPort = 1000;
        // Shared with the voice ports; none when null.
        AddressLimits *limits = nullptr;
        // Connections held on every port against the relay's descriptors, shared
        // with the voice ports likewise; none when null.
        ConnectionBudget *budget = nullptr;
        // Lines go to standard error when null.
        EventLog *log = nullptr;
        // Only stations from these addresses may send operator commands on the
        // control port; everyone else may send only greetings, activity reports
        // and alarms.
        QList<QHostAddress> operators;
        // The operator console's socket; empty for none.
        QString consolePath;
        // Where bans are kept across restarts; empty to keep them in memory.
        QString banFile;
        int banMinutes = 60;
        // Called when an address is banned, for the ports this relay does not own.
        std::function<void(const QHostAddress &)> onBanned;
        // What the voice ports show in the operators' stations table; none when null.
        std::function<std::vector<VoiceRelay::Note>()> voiceNotes;
    };

    explicit Relay(Options options, QObject *parent = nullptr);
    ~Relay() override;

    // Listens on the control and chat ports and the console; false with a reason
    // when one of them cannot be bound or the ban file cannot be read.
    bool start(QString *error);

    const StationTable &stations() const { return m_stations; }
    std::vector<VoiceRelay::Note> voiceNotes() const {
        return m_options.voiceNotes ? m_options.voiceNotes() : std::vector<VoiceRelay::Note>{};
    }

    // A chat station may send this many lines a second, and a few more at once;
    // what is beyond is dropped. A piece of text counts a line for every
    // `chatLineBytes` begun.
    static constexpr double chatLinesPerSecond = 3;
    static constexpr double chatLineBurst = 8;
    static constexpr qint64 chatLineBytes = 256;
    // A radio reports at most once a second (its report sequencer ticks once a
    // second); a station is held to that, with a few more at once for an alarm
    // or a quick change of channel. Operators are not held.
    static constexpr double reportsPerSecond = 1;
    static constexpr double reportBurst = 4;
    // And all stations of one address together (a few radios behind one router),
    // so that connecting anew gives no fresh allowance.
    static constexpr double addressReportsPerSecond = 4;
    static constexpr double addressReportBurst = 8;
    // Safe to consult from any thread.
    BanList &bans() { return m_bans; }
    // Sends `text` on the identity's control connection only; false when it has none.
    bool sendToStation(const QByteArray &identity, const QByteArray &text);
    // Sends `text` to every station on the control port; returns how many.
    int sendToAll(const QByteArray &text);
    // Bans the address for the configured time and closes its connections on
    // every port, after what was already written to them. False with a reason
    // when the ban could not be kept in the file.
    bool banAddress(const QHostAddress &address, QString *error);

private:
    enum class Kind { Control, Chat };
    struct Station;
    struct Room : StationPort {
        Kind kind;
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
        // Control port: the identity of the first report or alarm, and the start
        // of a message whose rest has not arrived yet.
        QByteArray identity;
        QByteArray pendingMessage;
        QElapsedTimer pendingSince;
        // What the station may send: chat lines, or reports and alarms.
        RateAllowance allowance{0, 0};
        qint64 overRate = 0;
        // Beyond its rate a station is not read for a while: what it sends
        // meanwhile waits in the system's buffers and then holds the sender up,
        // instead of costing the relay a parse of every byte.
        bool resting = false;
        // A refused identity is logged once per connection.
        bool identityRefusalLogged = false;
    };

    void acceptStations(Room &room);
    // Stops accepting on the room for a moment, and for as long as the
    // connections have their fill.
    void restAccepting(Room &room);
    void readFrom(Station &station);
    void rest(Station &station);
    void forward(const Station &sender, const char *data, qint64 size);
    void forwardStationMessages(Station &sender, const char *data, qint64 size);
    void acceptStationMessage(Station &sender, QByteArrayView message);
    void closeStation(Station &station);
    void removeStation(QTcpSocket *socket);
    void log(const QString &line, int port = -1, const QString &where = {}) const;
    void logRefusedBanned();
    void logRefusedIdentity(Station &sender, const QByteArray &identity, StationTable::Noted why);

    Options m_options;
    std::vector<std::unique_ptr<Room>> m_rooms;
    StationTable m_stations;
    BanList m_bans;
    Admission m_admission;
    std::unique_ptr<OperatorConsole> m_console;
    // Connections refused for a ban since the last log line about them.
    int m_refusedBanned = 0;
    QString m_lastRefusedBanned;
    QTimer m_banLogTimer;
    // One read buffer for all stations: the relay runs on one thread.
    std::array<char, 4096> m_readBuffer{};
    // The clock of the stations' allowances.
    QElapsedTimer m_clock;
    // The control stations of each address and their shared allowance.
    struct AddressShare {
        int stations = 0;
        RateAllowance allowance{addressReportsPerSecond, addressReportBurst};
    };
    QHash<QByteArray, AddressShare> m_addressShares;
};
