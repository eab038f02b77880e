#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>

#include <functional>
#include <set>
#include <utility>

class QTcpSocket;

// The control stations the relay has heard, by the identity in front of their
// reports and alarms, with the connection that currently speaks for each. Every
// operation is cheap however full the table is: made-up identities by the
// thousand must not hold up the relay.
class StationTable {
public:
    struct Entry {
        QByteArray identity;
        QHostAddress address;
        QByteArray channel;
        QDateTime lastMessage;
        // The live control connection holding the identity, or null once it left.
        QTcpSocket *connection = nullptr;
        // When the connection left, on the table's clock; -1 while it is live.
        qint64 goneAtMs = -1;
        // The address, or its /64 network for IPv6: what counts against the
        // bound per address.
        QByteArray addressGroup;
    };

    enum class Noted {
        Yes,
        // Another live connection holds the identity.
        HeldElsewhere,
        // The address has its fill of identities, all of them live.
        AddressFull,
        // The table is full of live identities.
        TableFull,
    };

    // Identities are forgotten this long after their connection left.
    static constexpr qint64 forgetAfterSecs = 15 * 60;
    // At most this many identities are kept; the longest gone go first.
    static constexpr int maxEntries = 5000;
    // At most this many identities per address (or IPv6 /64 network); the
    // address's longest gone go first.
    static constexpr int maxPerAddress = 8;

    // Milliseconds on a steady clock; replaceable to try the forgetting.
    using Clock = std::function<qint64()>;
    explicit StationTable(Clock clock = {});

    // Records a message of `identity` on `connection`. Nothing is recorded unless
    // the answer is Yes: an identity belongs to its first live connection until
    // that connection leaves, whatever the address of a second one. `channel` is
    // the channel text of a report or alarm, empty for a greeting.
    Noted note(const QByteArray &identity, QTcpSocket *connection, const QHostAddress &address,
               const QByteArray &channel);
    // The connection is gone: its identity stays listed without it for a while.
    void release(QTcpSocket *connection);

    const Entry *find(const QByteArray &identity) const;
    // Every entry, ordered by identity.
    QList<Entry> entries() const;
    int size() const { return int(m_entries.size()); }

    static QByteArray addressGroup(const QHostAddress &address);

private:
    using GoneKey = std::pair<qint64, QByteArray>;
    void forget(QHash<QByteArray, Entry>::iterator entry);
    void forgetExpired();
    // Forgets the longest gone of `order`; false when it is empty.
    bool forgetOldest(const std::set<GoneKey> &order);
    void markLive(Entry &entry);

    Clock m_clock;
    QHash<QByteArray, Entry> m_entries;
    QHash<QTcpSocket *, QByteArray> m_byConnection;
    // Gone identities by the time they went, in all and per address group.
    std::set<GoneKey> m_gone;
    QHash<QByteArray, std::set<GoneKey>> m_goneByGroup;
    QHash<QByteArray, int> m_countByGroup;
};

// The grammar of what a station sends on the control port: the greeting
// "hallo", reports "XXXX9(04)" or "XXXX9C(04)" and alarms "XXXX9A04A"; the
// identity is four letters or digits and a digit, the channel "01" to "40",
// or "0" before the radio's first channel step.
namespace StationMessage {
constexpr qsizetype longest = 10;
// Length of the message at the start of `text`, or 0.
qsizetype length(QByteArrayView text);
// True when `text` is the beginning of a message, cut short.
bool isStart(QByteArrayView text);
// The channel text of a whole report or alarm.
QByteArray channel(QByteArrayView message);
} // namespace StationMessage
