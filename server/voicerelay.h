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
    // As on the air, one station speaks at a time: the one that speaks holds the
    // channel until this long passes without its blocks.
    static constexpr int holdMs = 500;
    // Holding costs what speaking costs: a station holds the channel only while
    // its last `speakingBlocks` blocks came within `speakingWindowMs`, which speech
    // does with the hold time to spare, or while the over it has just begun keeps
    // to about the speech rate. A station that sends less still reaches the
    // others while nobody speaks, but keeps nobody off.
    static constexpr int speakingBlocks = 8;
    static constexpr int speakingWindowMs = holdMs + (speakingBlocks - 1) * 40;
    // The longest over, as a repeater's time-out: after it the station's blocks
    // are dropped until it has been silent for the hold time.
    static constexpr int longestOverMs = 3 * 60 * 1000;
    // Stations whose blocks, within one review, mostly took a channel that
    // nobody spoke on or tried to break into someone's over, rather than
    // speaking, and more than this many a minute.
    static constexpr int grabReviewMs = 60 * 1000;
    static constexpr int grabsPerMinuteToShow = 50;
    // Speech is 25 blocks a second; a little more passes, and two seconds at once
    // for a station whose sound card delivered a backlog, but no flood.
    static constexpr int blocksPerSecond = 30;
    static constexpr int burstBlocks = 50;

    struct Port {
        quint16 port = 0;
        QString name;
        // 1 to 40, or 0 for the operator channel.
        int channel = 0;
        // The relay plays each station's over back to it alone on this port.
        bool echo = false;
    };

    // What the operators are shown about the voice ports: each echo station, and
    // each station that grabs a channel without speaking.
    struct Note {
        QHostAddress address;
        int channel = 0;
        bool echoStation = false;
        // Echo station: stations whose over is being kept or played back.
        // Grabbing station: its blocks that grabbed in the last review.
        int count = 0;
        int reviewSeconds = 0;
        // Echo station: milliseconds since it last played back, -1 for never.
        std::int64_t idleMs = -1;
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
        // The relay's clock runs this many times faster than real time: lets a
        // test cover minutes in seconds.
        int clockSpeedup = 1;
        int overTimeOutMs = longestOverMs;
        int grabReviewPeriodMs = grabReviewMs;
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

    // Safe from any thread: the echo stations and the stations that grab channels.
    std::vector<Note> notes();

private:
    class Worker;

    Options m_options;
    std::vector<std::unique_ptr<Worker>> m_workers;
    bool m_started = false;
};
