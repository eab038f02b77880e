#pragma once

// What the radio tests share: a program folder of their own with options and
// deployment settings, and servers on loopback at the ports the radio uses.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <memory>
#include <vector>

namespace testsupport {

// Keeps the user's own settings out of the tests; call before QApplication.
void isolateUserSettings();

// A program folder with marlox.ini pointing at loopback and an options file.
class ProgramFolder {
public:
    explicit ProgramFolder(int portOffset, const QByteArray &options = {});
    QString path() const { return m_dir.path(); }
    void writeFile(const QString &name, const QByteArray &content) const;
    // Makes it the current program's folder.
    void use() const;

private:
    QTemporaryDir m_dir;
};

// A port offset whose ports for the control link, the 40 channels and the
// operator channel are all free on 127.0.0.1 and 127.0.0.2 right now.
int freePortOffset();

// A loopback server that keeps every connection and what each one sent.
class RecordingServer : public QObject {
public:
    RecordingServer(const QString &address, int port);
    bool listening() const { return m_server.isListening(); }
    QTcpSocket *connection(int index) const;
    int connectionCount() const { return int(m_connections.size()); }
    QByteArray received(int index) const;
    QByteArray allReceived() const;
    void closeAll();

private:
    QTcpServer m_server;
    std::vector<QTcpSocket *> m_connections;
    std::vector<QByteArray> m_received;
};

} // namespace testsupport
