#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

class QTcpSocket;

namespace testsupport {

QByteArray readLog(const QString &path);

// Starts the relay server on a random port offset, its log going to
// `logPath`; another program may hold one of its ports, so it tries again
// elsewhere. Returns the offset, or -1.
int startRelay(QProcess &relay, const QString &logPath, const QStringList &options = {});

// Waits until the relay's log says `count` stations are connected on `port`.
bool waitForStations(const QString &logPath, int port, int count);

// Reads until `size` bytes have come or `timeoutMs` has passed.
QByteArray readExactly(QTcpSocket &socket, qint64 size, int timeoutMs = 5000);

// True when nothing (more) arrives within `ms`.
bool staysSilent(QTcpSocket &socket, int ms = 200);

} // namespace testsupport
