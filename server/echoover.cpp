#include "echoover.h"

#include <algorithm>

bool EchoOver::take(const char *block, std::int64_t nowMs) {
    if (playing())
        return false;
    m_lastTakenMs = nowMs;
    if (keptBlocks() >= std::size_t(longestBlocks)) {
        ++m_droppedBeyondLongest;
        return true;
    }
    // Room for a few seconds at a time: a short test over stays small, a long
    // one grows to the longest over and no further.
    if (m_blocks.capacity() == m_blocks.size())
        m_blocks.reserve(std::min<std::size_t>(m_blocks.size() + std::size_t(blockBytes) * 250,
                                               std::size_t(blockBytes) * longestBlocks));
    m_blocks.insert(m_blocks.end(), block, block + blockBytes);
    return true;
}

std::int64_t EchoOver::nextMs() const {
    if (playing())
        return m_playStartMs + std::int64_t(m_playedBlocks) * blockMs;
    return m_blocks.empty() ? -1 : m_lastTakenMs + m_holdMs;
}

const char *EchoOver::due(std::int64_t nowMs, std::size_t *size) {
    *size = 0;
    if (!playing()) {
        if (m_blocks.empty() || nowMs - m_lastTakenMs < m_holdMs)
            return nullptr;
        // Timed from the last block, not from when the worker woke, so that a
        // late wake-up does not stretch the pause.
        m_playStartMs = m_lastTakenMs + m_holdMs;
        m_playedBlocks = 0;
    }
    const std::size_t total = keptBlocks();
    const std::size_t dueBlocks =
        std::min<std::size_t>(total, std::size_t((nowMs - m_playStartMs) / blockMs + 1));
    const char *first = m_blocks.data() + m_playedBlocks * blockBytes;
    *size = (dueBlocks - std::min(dueBlocks, m_playedBlocks)) * blockBytes;
    m_playedBlocks = std::max(m_playedBlocks, dueBlocks);
    m_finished = m_playedBlocks == total;
    return *size > 0 ? first : nullptr;
}

void EchoOver::forget() {
    std::vector<char>().swap(m_blocks);
    m_playedBlocks = 0;
    m_playStartMs = -1;
    m_finished = false;
}
