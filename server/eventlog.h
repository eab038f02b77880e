#pragma once

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

// The relay's log, written on a thread of its own so that a slow terminal or a
// full pipe never holds up speech. A burst is folded: beyond a few lines a second
// the rest are only counted, and at the end of the second one line says how many
// were left out and where each port they concerned stands now. Lines that say
// the relay changed state (accepting paused or again, a station dropped as too
// slow, a ban) are never folded.
class EventLog {
public:
    explicit EventLog(bool quiet, int linesPerSecond = 20);
    ~EventLog();
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;

    // Safe from any thread. `state` is how the line leaves its port ("on port 325
    // (channel 1), 3 connected"), kept under `port` for the summary of a folded burst.
    void write(const QString &line, int port = -1, const QString &state = {});

    // True for the lines that are never folded.
    static bool tellsStateChange(const QString &line);

private:
    void run();
    void writeLine(const QString &line) const;

    const bool m_quiet;
    const int m_linesPerSecond;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::vector<QString> m_pending;
    std::int64_t m_windowStartMs = 0;
    int m_linesInWindow = 0;
    std::int64_t m_folded = 0;
    std::map<int, QString> m_foldedStates;
    std::thread m_thread;
};
