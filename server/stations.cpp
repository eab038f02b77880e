#include "stations.h"

#include <QElapsedTimer>

#include <algorithm>

StationTable::StationTable(Clock clock) : m_clock(std::move(clock)) {
    if (!m_clock) {
        auto timer = std::make_shared<QElapsedTimer>();
        timer->start();
        m_clock = [timer] { return timer->elapsed(); };
    }
}

QByteArray StationTable::addressGroup(const QHostAddress &address) {
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (isIpv4)
        return QByteArray::number(ipv4);
    // One IPv6 subscriber usually has a whole /64 to choose addresses from.
    const Q_IPV6ADDR ipv6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(ipv6.c), 8);
}

StationTable::Noted StationTable::note(const QByteArray &identity, QTcpSocket *connection,
                                       const QHostAddress &address, const QByteArray &channel) {
    forgetExpired();
    auto found = m_entries.find(identity);
    if (found != m_entries.end() && found->connection && found->connection != connection)
        return Noted::HeldElsewhere;
    // A connection speaks for one identity only.
    const auto held = m_byConnection.constFind(connection);
    if (held != m_byConnection.cend() && *held != identity)
        return Noted::HeldElsewhere;

    const QByteArray group = addressGroup(address);
    if (found == m_entries.end() || found->addressGroup != group) {
        // One more identity for this address: make room among its gone ones.
        int &count = m_countByGroup[group];
        if (count >= maxPerAddress) {
            const auto gone = m_goneByGroup.constFind(group);
            bool madeRoom = false;
            if (gone != m_goneByGroup.cend()) {
                // The identity itself may be the address's longest gone.
                const std::set<GoneKey> order = *gone;
                madeRoom = forgetOldest(order);
            }
            if (!madeRoom) {
                if (count == 0)
                    m_countByGroup.remove(group);
                return Noted::AddressFull;
            }
            found = m_entries.find(identity);
        }
        if (found == m_entries.end() && m_entries.size() >= maxEntries && !forgetOldest(m_gone)) {
            if (m_countByGroup.value(group) == 0)
                m_countByGroup.remove(group);
            return Noted::TableFull;
        }
        if (found != m_entries.end()) {
            // A gone identity comes back from another address.
            markLive(*found);
            if (--m_countByGroup[found->addressGroup] <= 0)
                m_countByGroup.remove(found->addressGroup);
            found->addressGroup = group;
        } else {
            found = m_entries.insert(identity, Entry{identity, {}, {}, {}, nullptr, -1, group});
        }
        ++m_countByGroup[group];
    }
    markLive(*found);
    found->address = address;
    found->connection = connection;
    m_byConnection.insert(connection, identity);
    if (!channel.isEmpty())
        found->channel = channel;
    found->lastMessage = QDateTime::currentDateTimeUtc();
    return Noted::Yes;
}

void StationTable::markLive(Entry &entry) {
    if (entry.goneAtMs < 0)
        return;
    const GoneKey key{entry.goneAtMs, entry.identity};
    m_gone.erase(key);
    const auto order = m_goneByGroup.find(entry.addressGroup);
    if (order != m_goneByGroup.end()) {
        order->erase(key);
        if (order->empty())
            m_goneByGroup.erase(order);
    }
    entry.goneAtMs = -1;
}

void StationTable::release(QTcpSocket *connection) {
    const auto held = m_byConnection.constFind(connection);
    if (held == m_byConnection.cend())
        return;
    const auto found = m_entries.find(*held);
    m_byConnection.erase(held);
    if (found == m_entries.end() || found->connection != connection)
        return;
    found->connection = nullptr;
    found->goneAtMs = m_clock();
    const GoneKey key{found->goneAtMs, found->identity};
    m_gone.insert(key);
    m_goneByGroup[found->addressGroup].insert(key);
    forgetExpired();
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

void StationTable::forget(QHash<QByteArray, Entry>::iterator entry) {
    markLive(*entry);
    if (--m_countByGroup[entry->addressGroup] <= 0)
        m_countByGroup.remove(entry->addressGroup);
    m_entries.erase(entry);
}

bool StationTable::forgetOldest(const std::set<GoneKey> &order) {
    if (order.empty())
        return false;
    const auto found = m_entries.find(order.begin()->second);
    if (found == m_entries.end())
        return false;
    forget(found);
    return true;
}

void StationTable::forgetExpired() {
    const qint64 cutoff = m_clock() - forgetAfterSecs * 1000;
    while (!m_gone.empty() && m_gone.begin()->first <= cutoff)
        if (!forgetOldest(m_gone))
            break;
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
