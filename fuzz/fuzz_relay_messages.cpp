// The relay's reading of a piece from the control port: every message it
// finds lies inside the piece, and splitting a piece never loops.

#include "relay.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArrayView piece(reinterpret_cast<const char *>(data), qsizetype(size));
    qsizetype at = 0;
    while (at < piece.size()) {
        const qsizetype length = Relay::stationMessageLength(piece.sliced(at));
        if (length < 0 || length > piece.size() - at)
            std::abort();
        if (length == 0)
            break;
        at += length;
    }
    return 0;
}
