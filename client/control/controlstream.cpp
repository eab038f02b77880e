#include "control/controlstream.h"

#include <algorithm>
#include <vector>

namespace {

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

bool isIdentityCharacter(QChar c) {
    return isDigit(c) || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

constexpr int identityLength = 5;

// What a channel text at `at` is: its length when it is "01" to "40" or "0",
// 0 when it is none, -1 when the text ends before that is known.
int channelAt(const QString &text, qsizetype at) {
    const qsizetype left = text.size() - at;
    if (left <= 0)
        return -1;
    if (!isDigit(text[at]))
        return 0;
    if (left == 1)
        return -1;
    if (isDigit(text[at + 1])) {
        const int channel = (text[at].unicode() - '0') * 10 + (text[at + 1].unicode() - '0');
        if (channel >= 1 && channel <= 40)
            return 2;
    }
    return text[at] == u'0' ? 1 : 0;
}

} // namespace

int ControlStream::reportAt(const QString &text, qsizetype at) {
    qsizetype pos = at;
    for (int n = 0; n < identityLength; ++n, ++pos) {
        if (pos >= text.size())
            return -1;
        const QChar c = text[pos];
        if (n < identityLength - 1 ? !isIdentityCharacter(c) : !isDigit(c))
            return 0;
    }
    // Then the kind: none, one character ("C" for chat; the relay's
    // activity messages may carry a signal value there), or the alarm's "A"
    // before the channel.
    if (pos >= text.size())
        return -1;
    bool alarm = false;
    if (text[pos] != u'(') {
        alarm = text[pos] == u'A';
        ++pos;
        if (pos >= text.size())
            return -1;
        alarm = alarm && text[pos] != u'(';
    }
    if (!alarm) {
        if (text[pos] != u'(')
            return 0;
        ++pos;
    }
    // "(0" may still become "(04)"; wait for the rest before deciding.
    if (text.size() - pos < 2 && channelAt(text, pos) != 0)
        return -1;
    const int channel = channelAt(text, pos);
    if (channel <= 0)
        return channel;
    pos += channel;
    if (pos >= text.size())
        return -1;
    if (text[pos] != (alarm ? u'A' : u')'))
        return 0;
    return int(pos + 1 - at);
}

QStringList ControlStream::take(const QString &arrival) {
    QStringList messages;
    // A report cut off at the end of the last arrival goes on here: the
    // relay writes whole messages, one after the other.
    const QString text = m_pending + arrival;
    m_pending.clear();

    // reportsFrom[q]: a whole report starts at q, and after it stand only
    // whole reports, the last one possibly still waiting for its rest.
    const qsizetype size = text.size();
    std::vector<bool> reportsFrom(size_t(size) + 1, false);
    for (qsizetype q = size - 1; q >= 0; --q) {
        const int length = reportAt(text, q);
        if (length <= 0)
            continue;
        const qsizetype next = q + length;
        reportsFrom[size_t(q)] =
            next == size || reportsFrom[size_t(next)] || reportAt(text, next) == -1;
    }

    qsizetype at = 0;
    while (at < size) {
        const int length = reportAt(text, at);
        if (length > 0) {
            messages.append(text.mid(at, length));
            at += length;
            continue;
        }
        if (length == -1) {
            m_pending = text.mid(at);
            break;
        }
        qsizetype end = at + 1;
        while (end < size && !reportsFrom[size_t(end)])
            ++end;
        messages.append(text.mid(at, std::min<qsizetype>(end - at, longestMessage)));
        at = end;
    }
    return messages;
}
