#pragma once

#include <QHostAddress>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class AddressLimits;
class ConnectionBudget;
class EventLog;

// Relays speech on the channel ports and the operator port: each whole 65-byte
// block of the station that holds a channel goes to every other station on its
// port, and never back to the sender. Runs on worker threads of its own, each
// owning a share of the ports, directly on non-blocking sockets and epoll, so
// that one busy channel never delays another and the control and chat ports
// never delay speech.
class VoiceRelay {
public:
    static constexpr int blockBytes = 65;
    // About a second of speech waits for a slow listener; older blocks make room.
    static constexpr int queueBlocks = 25;
    // A listener that has had to lose blocks and stayed nearly full this long goes.
    static constexpr int behindLimitMs = 10000;
    // As on the air, one station speaks at a time: the one whose block came first
    // keeps the channel until this long passes without its blocks.
    static constexpr int holdMs = 500;
    // Speech is 25 blocks a second; a little more passes, and two seconds at once
    // for a station whose sound card delivered a backlog, but no flood.
    static constexpr int blocksPerSecond = 30;
    static constexpr int burstBlocks = 50;

    struct Port {
        quint16 port = 0;
        QString name;
    };

    struct Options {
        QHostAddress listenAddress = QHostAddress::LocalHost;
        std::vector<Port> ports;
        int threads = 1;
        int maxStationsPerPort = 1000;
        // Shared with the other ports of the relay; none when null.
        AddressLimits *limits = nullptr;
        // Connections held on every port of the relay, against its descriptors;
        // shared likewise, none when null.
        ConnectionBudget *budget = nullptr;
        // No log when null.
        EventLog *log = nullptr;
        // Asked on every accept, from the worker threads, so it must be safe to call
        // from any thread (and must not call dropAddress); true turns the station away.
        std::function<bool(const QHostAddress &)> refuse;
    };

    // The 40 channel ports and the operator port, shifted by the offset.
    static std::vector<Port> networkPorts(int portOffset);

    explicit VoiceRelay(Options options);
    ~VoiceRelay();
    VoiceRelay(const VoiceRelay &) = delete;
    VoiceRelay &operator=(const VoiceRelay &) = delete;

    // Listens on every port and starts the workers; false with a reason when a
    // port cannot be bound.
    bool start(QString *error);

    // Safe from any thread: disconnects every station of `address` on the voice
    // ports and returns how many there were.
    int dropAddress(const QHostAddress &address);

private:
    class Worker;

    Options m_options;
    std::vector<std::unique_ptr<Worker>> m_workers;
    bool m_started = false;
};
