#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <memory>

class Relay;

// The operators' console: a Unix domain socket that only the relay's user may
// open (mode 0600), one command a connection (see consolecommands.h).
class OperatorConsole : public QObject {
    Q_OBJECT
public:
    OperatorConsole(Relay &relay, QString path, QObject *parent = nullptr);
    ~OperatorConsole() override;

    // False with a reason when the socket cannot be made, or another relay
    // answers on it. A socket file left behind by a relay that died is replaced.
    bool start(QString *error);

    // The answer to one command line: first line "ok" or "error", then the text.
    QByteArray run(const QByteArray &line);

private:
    void accept();
    QByteArray stationsTable() const;

    Relay &m_relay;
    QString m_path;
    std::unique_ptr<QLocalServer> m_server;
};
