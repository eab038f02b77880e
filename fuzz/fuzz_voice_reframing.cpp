// The speech relay's cutting of what a station sends into whole blocks: fed
// in pieces of any size, the blocks handed on and the bytes still waiting
// are the stream, byte for byte.

#include "blockreframer.h"
#include "voicerelay.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {
constexpr std::size_t blockBytes = VoiceRelay::blockBytes;
}

// Each piece is one byte giving its length (0 to 255, so pieces are shorter
// and longer than a block) and then that many bytes of the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    BlockReframer<blockBytes> reframer;
    std::vector<char> stream;
    std::vector<char> handedOn;
    size_t at = 0;
    while (at < size) {
        const size_t piece = std::min<size_t>(data[at], size - at - 1);
        ++at;
        // Exactly the room the relay promises, so a write past it is caught.
        const auto buffer = std::make_unique<char[]>(piece + blockBytes - 1);
        char *readTo = reframer.prepare(buffer.get());
        if (readTo < buffer.get() || readTo > buffer.get() + blockBytes - 1)
            std::abort();
        std::memcpy(readTo, data + at, piece);
        stream.insert(stream.end(), data + at, data + at + piece);
        at += piece;
        const size_t whole = reframer.complete(buffer.get(), piece);
        if (whole % blockBytes != 0 || whole > size_t(readTo - buffer.get()) + piece ||
            reframer.waitingBytes() >= blockBytes)
            std::abort();
        handedOn.insert(handedOn.end(), buffer.get(), buffer.get() + whole);
    }
    handedOn.insert(handedOn.end(), reframer.waiting(),
                    reframer.waiting() + reframer.waitingBytes());
    if (handedOn != stream)
        std::abort();
    return 0;
}
