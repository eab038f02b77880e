#include "banlist.h"

#include "stationlimits.h"

#include <QFile>
#include <QMutexLocker>
#include <QSaveFile>

// The file holds one ban a line: the address, a blank, and the end of the ban
// in ISO 8601 UTC, e.g. "192.0.2.7 2026-12-09T21:30:00Z".

BanList::BanList(QString filePath) : m_filePath(std::move(filePath)) {}

QHostAddress BanList::normalized(const QHostAddress &address) {
    return plainAddress(address);
}

bool BanList::load(QString *error) {
    if (m_filePath.isEmpty())
        return true;
    QFile file(m_filePath);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(m_filePath, file.errorString());
        return false;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QMutexLocker lock(&m_mutex);
    m_until.clear();
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().trimmed().split(' ');
        if (fields.size() != 2)
            continue;
        QHostAddress address;
        const QDateTime until =
            QDateTime::fromString(QString::fromLatin1(fields[1]), Qt::ISODate).toUTC();
        if (!address.setAddress(QString::fromLatin1(fields[0])) || !until.isValid() || until <= now)
            continue;
        m_until.insert(normalized(address).toString(), until);
    }
    return true;
}

bool BanList::ban(const QHostAddress &address, int minutes, QString *error) {
    const QDateTime until = QDateTime::currentDateTimeUtc().addSecs(qint64(minutes) * 60);
    QMutexLocker lock(&m_mutex);
    QDateTime &entry = m_until[normalized(address).toString()];
    if (!entry.isValid() || entry < until)
        entry = until;
    return saveLocked(error);
}

bool BanList::unban(const QHostAddress &address, QString *error) {
    QMutexLocker lock(&m_mutex);
    if (m_until.remove(normalized(address).toString()) == 0)
        return false;
    return saveLocked(error);
}

bool BanList::isBanned(const QHostAddress &address) const {
    return bannedUntil(address).isValid();
}

QDateTime BanList::bannedUntil(const QHostAddress &address) const {
    QMutexLocker lock(&m_mutex);
    const auto found = m_until.constFind(normalized(address).toString());
    if (found == m_until.cend() || *found <= QDateTime::currentDateTimeUtc())
        return {};
    return *found;
}

bool BanList::saveLocked(QString *error) const {
    if (m_filePath.isEmpty())
        return true;
    QSaveFile file(m_filePath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (auto it = m_until.cbegin(); it != m_until.cend(); ++it)
            if (*it > now)
                file.write(it.key().toLatin1() + ' ' + it->toString(Qt::ISODate).toLatin1() + '\n');
        if (file.commit())
            return true;
    }
    if (error)
        *error = QStringLiteral("cannot write %1: %2").arg(m_filePath, file.errorString());
    return false;
}
