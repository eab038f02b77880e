#include "radiofixture.h"

#include "deployment.h"
#include "radio/channelplan.h"
#include "system.h"

#include <QDir>
#include <QRandomGenerator>

namespace testsupport {

void isolateUserSettings() {
    static QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
}

// Panel style 1, the window at the screen's corner, serial port 1.
QByteArray Options::text() const {
    return m_volume + "\r\n" + m_channel + "\r\n 1\r\n0\r\n0\r\n1\r\n" +
           (m_soundOn ? "sound_on" : "sound_off") + "\r\n";
}

QByteArray Servers::text() const {
    QByteArray ini = "[servers]\nfirst=" + m_first + "\nsecond=" + m_second +
                     "\nport_offset=" + QByteArray::number(m_portOffset) + "\n";
    if (!m_identity.isEmpty())
        ini += "[station]\nidentity=" + m_identity + "\n";
    return ini;
}

ProgramFolder::ProgramFolder(const Servers &servers, const Options &options) {
    writeFile("marlox.ini", servers.text());
    writeFile("optionen.txt", options.text());
}

ProgramFolder::ProgramFolder(int portOffset, const Options &options)
    : ProgramFolder(Servers(portOffset).second("127.0.0.2").identity("test4"), options) {}

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
        Deployment ports;
        ports.portOffset = 20000 + int(QRandomGenerator::global()->bounded(30000));
        std::vector<quint16> wanted{ports.controlPort(), ports.operatorPort()};
        for (int channel = 1; channel <= ChannelPlan::channelCount; ++channel)
            wanted.push_back(ports.channelPort(channel));
        bool free = true;
        for (quint16 port : wanted) {
            for (const char *address : {"127.0.0.1", "127.0.0.2"}) {
                QTcpServer probe;
                free = free && probe.listen(QHostAddress(QString(address)), port);
            }
        }
        if (free)
            return ports.portOffset;
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
