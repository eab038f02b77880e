// The relay's reading of a piece from the control port: every message it
// finds lies inside the piece, splitting a piece never loops, and what is
// left over is kept as a message's start only when it is short.

#include "stations.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArrayView piece(reinterpret_cast<const char *>(data), qsizetype(size));
    qsizetype at = 0;
    while (at < piece.size()) {
        const qsizetype length = StationMessage::length(piece.sliced(at));
        if (length < 0 || length > piece.size() - at)
            std::abort();
        if (length == 0)
            break;
        at += length;
    }
    if (StationMessage::isStart(piece.sliced(at)) &&
        (piece.size() - at >= StationMessage::longest || StationMessage::length(piece.sliced(at))))
        std::abort();
    return 0;
}
