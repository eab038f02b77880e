#pragma once

#include <array>
#include <cstddef>
#include <cstring>

// Cuts a stream that arrives in pieces of any size into whole blocks. The
// start of a block whose rest has not arrived yet waits here and is put in
// front of the next piece, so each read hands on whole blocks only, straight
// from the caller's buffer.
template <std::size_t BlockBytes> class BlockReframer {
public:
    // Puts the waiting start of a block at the front of `buffer` and returns
    // where the next piece is to be read to. The buffer needs room for the
    // piece and BlockBytes - 1 more.
    char *prepare(char *buffer) const {
        std::memcpy(buffer, m_partial.data(), m_partialBytes);
        return buffer + m_partialBytes;
    }

    // After `got` bytes were read to where prepare() said: returns how many
    // bytes at the front of `buffer` are whole blocks, and keeps the rest
    // for the next piece.
    std::size_t complete(const char *buffer, std::size_t got) {
        const std::size_t total = m_partialBytes + got;
        const std::size_t whole = total / BlockBytes * BlockBytes;
        m_partialBytes = total - whole;
        std::memcpy(m_partial.data(), buffer + whole, m_partialBytes);
        return whole;
    }

    std::size_t waitingBytes() const { return m_partialBytes; }
    const char *waiting() const { return m_partial.data(); }

private:
    std::array<char, BlockBytes> m_partial{};
    std::size_t m_partialBytes = 0;
};
