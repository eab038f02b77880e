#include "stations.h"

#include <algorithm>

bool StationTable::note(const QByteArray &identity, QTcpSocket *connection,
                        const QHostAddress &address, const QByteArray &channel) {
    auto found = m_entries.find(identity);
    // A radio that comes back from the same address takes its identity over at
    // once: its old connection may be dead without the relay knowing yet.
    if (found != m_entries.end() && found->connection && found->connection != connection &&
        found->address != address)
        return false;
    if (found == m_entries.end()) {
        if (m_entries.size() >= maxEntries)
            forgetOld();
        found = m_entries.insert(identity, Entry{identity, {}, {}, {}, nullptr});
    }
    found->address = address;
    found->connection = connection;
    if (!channel.isEmpty())
        found->channel = channel;
    found->lastMessage = QDateTime::currentDateTimeUtc();
    return true;
}

void StationTable::release(QTcpSocket *connection) {
    for (Entry &entry : m_entries)
        if (entry.connection == connection)
            entry.connection = nullptr;
}

const StationTable::Entry *StationTable::find(const QByteArray &identity) const {
    const auto found = m_entries.constFind(identity);
    return found == m_entries.cend() ? nullptr : &*found;
}

QList<StationTable::Entry> StationTable::entries() const {
    QList<Entry> list(m_entries.cbegin(), m_entries.cend());
    std::sort(list.begin(), list.end(),
              [](const Entry &a, const Entry &b) { return a.identity < b.identity; });
    return list;
}

void StationTable::forgetOld() {
    const QDateTime cutoff = QDateTime::currentDateTimeUtc().addSecs(-forgetAfterSecs);
    m_entries.removeIf([&](const auto &item) {
        return !item.value().connection && item.value().lastMessage < cutoff;
    });
    // Still full: an address is making up identities; drop the longest silent
    // of those that have gone.
    while (m_entries.size() >= maxEntries) {
        auto oldest = m_entries.end();
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
            if (!it->connection &&
                (oldest == m_entries.end() || it->lastMessage < oldest->lastMessage))
                oldest = it;
        if (oldest == m_entries.end())
            return;
        m_entries.erase(oldest);
    }
}

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isAlphanumeric(char c) {
    return isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A channel text at the start of `text`: "01" to "40" or "0". Returns its length, or 0.
qsizetype channelLength(QByteArrayView text) {
    if (text.size() >= 2 && isDigit(text[0]) && isDigit(text[1])) {
        const int channel = (text[0] - '0') * 10 + (text[1] - '0');
        if (channel >= 1 && channel <= 40)
            return 2;
    }
    return !text.isEmpty() && text[0] == '0' ? 1 : 0;
}

bool isIdentityStart(QByteArrayView text) {
    for (qsizetype at = 0; at < std::min<qsizetype>(text.size(), 5); ++at)
        if (at < 4 ? !isAlphanumeric(text[at]) : !isDigit(text[at]))
            return false;
    return true;
}

} // namespace

namespace StationMessage {

qsizetype length(QByteArrayView text) {
    if (text.startsWith("hallo"))
        return 5;
    if (text.size() < 7 || !isIdentityStart(text.first(5)))
        return 0;
    qsizetype at = 5;
    if (text[at] == 'A') {
        const qsizetype channel = channelLength(text.sliced(at + 1));
        at += 1 + channel;
        return channel > 0 && at < text.size() && text[at] == 'A' ? at + 1 : 0;
    }
    if (text[at] == 'C')
        ++at;
    if (at >= text.size() || text[at] != '(')
        return 0;
    const qsizetype channel = channelLength(text.sliced(at + 1));
    at += 1 + channel;
    return channel > 0 && at < text.size() && text[at] == ')' ? at + 1 : 0;
}

bool isStart(QByteArrayView text) {
    if (text.isEmpty() || text.size() >= longest)
        return false;
    if (QByteArrayView("hallo").startsWith(text) && text.size() < 5)
        return true;
    if (!isIdentityStart(text))
        return false;
    if (text.size() <= 5)
        return true;
    // Few enough forms to try them all with this identity.
    const QByteArray identity = text.first(5).toByteArray();
    for (int number = 0; number <= 40; ++number) {
        const QByteArray channel =
            number == 0 ? QByteArray("0") : QByteArray::number(number).rightJustified(2, '0');
        for (const QByteArray &whole :
             {identity + '(' + channel + ')', identity + "C(" + channel + ')',
              identity + 'A' + channel + 'A'})
            if (whole.size() > text.size() && whole.startsWith(text))
                return true;
    }
    return false;
}

QByteArray channel(QByteArrayView message) {
    if (message.size() > 7 && message[5] == 'A')
        return message.sliced(6, message.size() - 7).toByteArray();
    const qsizetype open = message.indexOf('(');
    return open < 0 ? QByteArray()
                    : message.sliced(open + 1, message.size() - open - 2).toByteArray();
}

} // namespace StationMessage
