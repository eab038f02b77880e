// The chat window's reading of one arrival from the chat server, through the
// wire's decoding: the call signs are the trimmed width of the field, the
// line's text is the end of the arrival, and nothing is read twice.

#include "chat/chatarrival.h"
#include "winsock.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString arrival =
        fromWire(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    const ChatArrival read = readChatArrival(arrival);

    const auto trimmedCallSign = [](const QString &nick) {
        return nick.size() <= chatNickWidth && !nick.startsWith(u' ') && !nick.endsWith(u' ');
    };
    for (const QString &nick : read.joins)
        if (!trimmedCallSign(nick))
            std::abort();
    // Every join line but a last cut-short one takes its whole width.
    const qsizetype joinLength = 1 + chatNickWidth;
    if (read.joins.size() > 1 && (read.joins.size() - 1) * joinLength >= arrival.size())
        std::abort();
    if (read.line) {
        if (!trimmedCallSign(read.line->nick) || !arrival.endsWith(read.line->text))
            std::abort();
        // A chat line follows whole join lines and starts with its kind.
        const qsizetype start = read.joins.size() * joinLength;
        if (start >= arrival.size() || arrival.at(start) != u'0' ||
            arrival.size() - start < 1 + read.line->text.size())
            std::abort();
    }
    return 0;
}
