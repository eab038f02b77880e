#include "relayprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>

namespace testsupport {

QByteArray readLog(const QString &path) {
    QFile log(path);
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

int startRelay(QProcess &relay, const QString &logPath, const QStringList &options) {
    relay.setStandardErrorFile(logPath);
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int offset = int(QRandomGenerator::global()->bounded(20000, 50000));
        relay.start(QStringLiteral(MARLOX_RELAY_PATH),
                    QStringList{QStringLiteral("--port-offset"), QString::number(offset)} +
                        options);
        if (!relay.waitForStarted())
            return -1;
        const bool listening = QTest::qWaitFor(
            [&] {
                return relay.state() != QProcess::Running ||
                       readLog(logPath).contains("listening on");
            },
            10000);
        if (listening && relay.state() == QProcess::Running)
            return offset;
        relay.kill();
        relay.waitForFinished();
    }
    return -1;
}

bool waitForStations(const QString &logPath, int port, int count) {
    // A connect line, or the count in the line that stands for the lines the
    // relay folded when many came in one second.
    const QRegularExpression stations(
        QStringLiteral("on port %1 \\([^)]*\\), %2 connected").arg(port).arg(count));
    return QTest::qWaitFor(
        [&] { return stations.match(QString::fromUtf8(readLog(logPath))).hasMatch(); }, 10000);
}

QByteArray readExactly(QTcpSocket &socket, qint64 size, int timeoutMs) {
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (data.size() < size && timer.elapsed() < timeoutMs) {
        if (socket.bytesAvailable() == 0)
            socket.waitForReadyRead(int(std::max<qint64>(1, timeoutMs - timer.elapsed())));
        data += socket.read(size - data.size());
    }
    return data;
}

bool staysSilent(QTcpSocket &socket, int ms) {
    if (socket.bytesAvailable() > 0)
        return false;
    socket.waitForReadyRead(ms);
    return socket.bytesAvailable() == 0;
}

} // namespace testsupport
