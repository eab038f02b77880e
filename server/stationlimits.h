#pragma once

#include <QHostAddress>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

class EventLog;
struct sockaddr;

// An address as 16 bytes, IPv4 in its IPv6-mapped form, so that a station counts
// as the same whichever way the socket reports it.
using AddressKey = std::array<std::uint8_t, 16>;

AddressKey addressKey(const QHostAddress &address);
AddressKey addressKey(const sockaddr *address);
// IPv4-mapped addresses come back as plain IPv4, IPv6 ones without a scope.
QHostAddress plainAddress(const QHostAddress &address);

// Connections held by each remote address, per port and on all ports together,
// shared by every thread of the relay: without a bound a few silent stations
// could fill every port.
class AddressLimits {
public:
    // 0 means no limit.
    AddressLimits(int perPort, int total) : m_perPort(perPort), m_total(total) {}

    // Takes a place for one more connection; false when the address has its fill.
    bool acquire(const AddressKey &address, quint16 port);
    void release(const AddressKey &address, quint16 port);

private:
    struct Hash {
        size_t operator()(const AddressKey &key) const;
    };
    struct Held {
        int total = 0;
        std::vector<std::pair<quint16, int>> perPort;
    };

    const int m_perPort;
    const int m_total;
    std::mutex m_mutex;
    std::unordered_map<AddressKey, Held, Hash> m_held;
};

// What one station may send in a while: `perSecond` on average, and up to
// `burst` at once after a quiet spell.
class RateAllowance {
public:
    RateAllowance(double perSecond, double burst)
        : m_perSecond(perSecond), m_burst(burst), m_left(burst) {}

    // Takes `cost` from the allowance at `nowMs` (a steady clock); false, and
    // nothing taken, when not that much is left.
    bool take(qint64 nowMs, double cost = 1);

private:
    double m_perSecond;
    double m_burst;
    double m_left;
    qint64 m_lastMs = -1;
};

// Connections held on every port together, against the descriptor limit: the
// last descriptors are never given to stations, so that the log, the ban file,
// the console and the runtime libraries always have some, however many
// connections a flood brings. Shared by every thread of the relay.
class ConnectionBudget {
public:
    // Descriptors kept out of the stations' reach.
    static constexpr int reserve = 32;

    // `descriptorLimit` is the soft limit of open descriptors, below 0 for none;
    // no log when `log` is null.
    ConnectionBudget(long descriptorLimit, EventLog *log);

    // Sets aside the descriptors the relay holds for itself (listening sockets,
    // the workers' own): call once every port is open.
    void countOwnDescriptors();

    // A place for one more connection, taken before it is accepted; false when
    // the connections have their fill, and the port should rest until some go.
    bool take();
    // Gives back a place once its connection is closed, or was never made.
    void give();
    bool full() const {
        return m_held.load(std::memory_order_relaxed) >= m_capacity.load(std::memory_order_relaxed);
    }

private:
    void log(const QString &line) const;

    const long m_descriptorLimit;
    EventLog *const m_log;
    std::atomic<int> m_capacity;
    std::atomic<int> m_held{0};
    // Between the first refusal and room enough again, so that the pause is
    // told once, not for every station turned away or every wake of a port.
    std::atomic<bool> m_paused{false};
};
