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

// Sets a builder's field and returns the builder.
template <typename Builder, typename Value>
Builder &assign(Builder &builder, Value &field, const Value &value) {
    field = value;
    return builder;
}

// The seven lines of optionen.txt: a radio on channel 4 with the sound off;
// a test names only what it changes: Options().channel("07").soundOn().
class Options {
public:
    Options &volume(const QByteArray &text) { return assign(*this, m_volume, text); }
    Options &channel(const QByteArray &text) { return assign(*this, m_channel, text); }
    Options &soundOn(bool on = true) { return assign(*this, m_soundOn, on); }
    QByteArray text() const;

private:
    QByteArray m_volume = " 23";
    QByteArray m_channel = "04";
    bool m_soundOn = false;
};

// marlox.ini. By default both channel servers are on 127.0.0.1, where the
// relay listens; the chat server follows the first, and the station takes
// the identity kept in the user's settings.
class Servers {
public:
    explicit Servers(int portOffset) : m_portOffset(portOffset) {}
    Servers &first(const QByteArray &host) { return assign(*this, m_first, host); }
    Servers &second(const QByteArray &host) { return assign(*this, m_second, host); }
    Servers &identity(const QByteArray &name) { return assign(*this, m_identity, name); }
    QByteArray text() const;

private:
    int m_portOffset;
    QByteArray m_first = "127.0.0.1";
    QByteArray m_second = "127.0.0.1";
    QByteArray m_identity;
};

// A program folder with marlox.ini pointing at loopback and an options file.
class ProgramFolder {
public:
    ProgramFolder(const Servers &servers, const Options &options = {});
    // For tests with recording servers of their own: the second server (the
    // control link, the operator channel) on 127.0.0.2 so that the two can be
    // told apart, and the station named test4.
    explicit ProgramFolder(int portOffset, const Options &options = {});
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
