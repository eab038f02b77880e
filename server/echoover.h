#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One station's over on an echo channel: the blocks it sends are kept, up to
// a longest over, and once they have stopped for the hold time they are
// handed back one by one at the speech rate. Nothing is kept once the over
// has been played back.
class EchoOver {
public:
    static constexpr int blockBytes = 65;
    static constexpr int blockMs = 40;
    static constexpr int longestMs = 60 * 1000;
    static constexpr int longestBlocks = longestMs / blockMs;

    explicit EchoOver(int holdMs) : m_holdMs(holdMs) {}

    // Keeps a block that arrived at `nowMs`; beyond the longest over it is only
    // counted. False while the over plays back: the station hears, it cannot send.
    bool take(const char *block, std::int64_t nowMs);

    // Hands the blocks due by `nowMs` to `send(data, bytes)` in one piece;
    // starts the playback once the station has been silent for the hold time,
    // and lets go of the over once it has all been sent.
    template <typename Send> void playDue(std::int64_t nowMs, Send &&send) {
        std::size_t bytes = 0;
        if (const char *first = due(nowMs, &bytes))
            send(first, bytes);
        if (m_finished)
            forget();
    }

    // When due() next has something to do; -1 while nothing waits.
    std::int64_t nextMs() const;

    bool playing() const { return m_playStartMs >= 0; }
    bool idle() const { return m_blocks.empty() && !playing(); }
    std::size_t keptBlocks() const { return m_blocks.size() / blockBytes; }
    std::int64_t droppedBeyondLongest() const { return m_droppedBeyondLongest; }

private:
    const char *due(std::int64_t nowMs, std::size_t *size);
    void forget();

    const int m_holdMs;
    std::vector<char> m_blocks;
    std::size_t m_playedBlocks = 0;
    std::int64_t m_lastTakenMs = 0;
    std::int64_t m_playStartMs = -1;
    std::int64_t m_droppedBeyondLongest = 0;
    bool m_finished = false;
};
