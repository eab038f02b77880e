#include "radiofixture.h"

#include "system.h"

#include <QDir>
#include <QRandomGenerator>

namespace testsupport {

void isolateUserSettings() {
    static QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
}

ProgramFolder::ProgramFolder(int portOffset, const QByteArray &options) {
    writeFile("marlox.ini", "[servers]\nfirst=127.0.0.1\nsecond=127.0.0.2\nchat=127.0.0.1\n"
                            "port_offset=" +
                                QByteArray::number(portOffset) + "\n[station]\nidentity=test4\n");
    if (!options.isEmpty())
        writeFile("optionen.txt", options);
}

void ProgramFolder::writeFile(const QString &name, const QByteArray &content) const {
    QFile file(QDir(m_dir.path()).filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
}

void ProgramFolder::use() const {
    vb::setProgramFolder(m_dir.path());
}

int freePortOffset() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int offset = 20000 + int(QRandomGenerator::global()->bounded(30000));
        bool free = true;
        for (int port : {324, 999}) {
            for (const char *address : {"127.0.0.1", "127.0.0.2"}) {
                QTcpServer probe;
                free = free && probe.listen(QHostAddress(QString(address)), quint16(port + offset));
            }
        }
        for (int port = 325; free && port <= 364; ++port) {
            for (const char *address : {"127.0.0.1", "127.0.0.2"}) {
                QTcpServer probe;
                free = free && probe.listen(QHostAddress(QString(address)), quint16(port + offset));
            }
        }
        if (free)
            return offset;
    }
    return 0;
}

RecordingServer::RecordingServer(const QString &address, int port) {
    m_server.listen(QHostAddress(address), quint16(port));
    QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            const size_t index = m_connections.size();
            m_connections.push_back(socket);
            m_received.emplace_back();
            QObject::connect(socket, &QTcpSocket::readyRead, this,
                             [this, socket, index] { m_received[index] += socket->readAll(); });
        }
    });
}

QTcpSocket *RecordingServer::connection(int index) const {
    return index < int(m_connections.size()) ? m_connections[size_t(index)] : nullptr;
}

QByteArray RecordingServer::received(int index) const {
    return index < int(m_received.size()) ? m_received[size_t(index)] : QByteArray();
}

QByteArray RecordingServer::allReceived() const {
    QByteArray all;
    for (const QByteArray &bytes : m_received)
        all += bytes;
    return all;
}

void RecordingServer::closeAll() {
    for (QTcpSocket *socket : m_connections)
        socket->disconnectFromHost();
}

} // namespace testsupport
