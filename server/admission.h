#pragma once

#include "stationlimits.h"

#include <QHostAddress>
#include <QString>

#include <cstddef>
#include <functional>

// A port stations connect to, as the log names it.
struct StationPort {
    quint16 port = 0;
    QString name;
};

// "cannot listen on ADDRESS port PORT (NAME): REASON"
QString cannotListen(const QHostAddress &address, const StationPort &port, const QString &reason);

// The door of every station port, the control and chat ports and the voice
// ports alike: a connection takes its place against the relay's descriptors
// before it is accepted, is held to the port's and its address's limits, and
// comes and goes on the log in the same words whichever port it uses. Each
// thread that owns ports has one of its own.
class Admission {
public:
    struct Options {
        int maxStationsPerPort = 1000;
        // Shared by every port of the relay; none when null.
        AddressLimits *limits = nullptr;
        ConnectionBudget *budget = nullptr;
        // True turns an address away as "not admitted"; none when empty.
        std::function<bool(const QHostAddress &)> barred;
        // `where` is the port's state after the line, for the log's summary.
        std::function<void(const QString &line, int port, const QString &where)> log;
    };

    // An accepted connection, not yet a station.
    struct Arrival {
        int fd = -1;
        // IPv4 as plain IPv4, without an IPv6 scope.
        QHostAddress address;
        // "ADDRESS:PORT" for the log.
        QString peer;
        AddressKey key{};
    };

    explicit Admission(Options options) : m_options(std::move(options)) {}

    // Takes a place and accepts the next connection waiting on `listenFd`. No
    // arrival (fd -1) when none waits, or when the port should rest a moment:
    // `*rest` is then set, for want of a place or of descriptors.
    Arrival accept(int listenFd, const StationPort &port, bool *rest);
    // Whether the arrival may join the port's `stations`; when it may not, it
    // is refused. An admitted arrival holds its address's place on the port
    // until it leaves, and its socket is set up as every station's is.
    bool admit(const Arrival &arrival, const StationPort &port, std::size_t stations);
    // Closes an arrival and gives back its place; tells why on the log unless
    // `why` is empty.
    void refuse(const Arrival &arrival, const StationPort &port, const QString &why);
    // Refuses an admitted arrival that could not be made a station after all.
    void withdraw(const Arrival &arrival, const StationPort &port, const QString &why);
    // Logs a station's coming; `stations` counts it.
    void joined(const QString &peer, const StationPort &port, std::size_t stations);
    // Gives back the places of a station whose socket has been closed, and logs
    // its going with `details` (", ..." or empty); `stations` no longer counts it.
    void left(const QString &peer, const AddressKey &key, const StationPort &port,
              std::size_t stations, const QString &details);

private:
    void giveBackPlace();
    // "WHAT PEER on port PORT (NAME), N connected" and what follows.
    void logPortState(const QString &what, const StationPort &port, std::size_t stations,
                      const QString &details = {}) const;

    const Options m_options;
};
