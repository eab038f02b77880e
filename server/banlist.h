#pragma once

#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QString>

// Addresses the operators have banned, each until a moment in UTC. Safe to
// consult from any thread; with a file, every change is written at once so
// that a restart keeps the bans.
class BanList {
public:
    // Without a file the bans last until the relay stops.
    explicit BanList(QString filePath = {});

    // Reads the file; a missing file is an empty list. False with a reason when
    // it exists but cannot be read. Damaged lines and expired bans are skipped.
    bool load(QString *error);

    // Bans until now + `minutes`; a longer ban already in place is kept. False
    // with a reason when the file cannot be written (the ban holds in memory).
    bool ban(const QHostAddress &address, int minutes, QString *error = nullptr);
    // False when the address was not banned.
    bool unban(const QHostAddress &address, QString *error = nullptr);
    bool isBanned(const QHostAddress &address) const;
    // The end of the address's ban, or an invalid time when it is not banned.
    QDateTime bannedUntil(const QHostAddress &address) const;

    // IPv4 addresses that arrive mapped into IPv6 count as IPv4.
    static QHostAddress normalized(const QHostAddress &address);

private:
    bool saveLocked(QString *error) const;

    QString m_filePath;
    mutable QMutex m_mutex;
    QHash<QString, QDateTime> m_until;
};
