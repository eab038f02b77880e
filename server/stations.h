#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>

class QTcpSocket;

// The control stations the relay has heard, by the identity in front of their
// reports and alarms, with the connection that currently speaks for each.
class StationTable {
public:
    struct Entry {
        QByteArray identity;
        QHostAddress address;
        QByteArray channel;
        QDateTime lastMessage;
        // The live control connection holding the identity, or null once it left.
        QTcpSocket *connection = nullptr;
    };

    // Identities not heard from for this long, and without a connection, are forgotten.
    static constexpr qint64 forgetAfterSecs = 24 * 3600;
    // At most this many identities are kept; the longest silent go first.
    static constexpr int maxEntries = 20000;

    // Records a message of `identity` on `connection`. False, and nothing
    // recorded, while a live connection from another address holds the identity. `channel` is
    // the channel text of a report or alarm, empty for a greeting.
    bool note(const QByteArray &identity, QTcpSocket *connection, const QHostAddress &address,
              const QByteArray &channel);
    // The connection is gone: its identity stays listed without it.
    void release(QTcpSocket *connection);

    const Entry *find(const QByteArray &identity) const;
    // Every entry, ordered by identity.
    QList<Entry> entries() const;

private:
    void forgetOld();

    QHash<QByteArray, Entry> m_entries;
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
