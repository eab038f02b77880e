#pragma once

#include <QHostAddress>

#include <array>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

struct sockaddr;

// An address as 16 bytes, IPv4 in its IPv6-mapped form, so that a station counts
// as the same whichever way the socket reports it.
using AddressKey = std::array<std::uint8_t, 16>;

AddressKey addressKey(const QHostAddress &address);
AddressKey addressKey(const sockaddr *address);
// IPv4-mapped addresses come back as plain IPv4.
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

// A non-blocking socket listening on the address and port, or -1 with the reason.
int openListeningSocket(const QHostAddress &address, quint16 port, QString *reason);

// An accept failed for want of descriptors or memory: it fails again at once
// while the connection waits in the backlog, so the port must rest a moment.
bool isOutOfDescriptors(int error);

// Raises the soft limit of open descriptors to the hard one; returns the limit
// in force afterwards.
long raiseDescriptorLimit();

// Keep-alive probes after 60 s of silence, so that stations that vanished
// without a word (power cut, lost line) do not hold their places for hours.
void setShortKeepAlive(int socketDescriptor);
