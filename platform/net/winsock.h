#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

#include <deque>
#include <functional>

// The TCP client socket control of the windows: numbered states and events that
// always arrive on the event loop, after the call that caused them has returned.
class Winsock : public QObject {
    Q_OBJECT
public:
    // The numbers the windows compare state() with.
    enum State {
        sckClosed = 0,
        sckResolvingHost = 4,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9,
    };

    // Error numbers passed with Error(), as the windows' socket layer knew them.
    enum ErrorNumber {
        sckAddressInUse = 10048,
        sckAddressNotAvailable = 10049,
        sckNetworkDown = 10050,
        sckConnectionAborted = 10053,
        sckConnectionReset = 10054,
        sckNoBufferSpace = 10055,
        sckTimedOut = 10060,
        sckConnectionRefused = 10061,
        sckHostNotFound = 11001,
    };

    explicit Winsock(QObject *parent = nullptr);
    ~Winsock() override;

    QString remoteHost() const { return m_remoteHost; }
    quint16 remotePort() const { return m_remotePort; }
    void setRemoteHost(const QString &host) { m_remoteHost = host; }
    void setRemotePort(quint16 port) { m_remotePort = port; }
    quint16 localPort() const;

    // Closes first when needed; the system picks the local port. The host lookup
    // runs in the background.
    void connectTo(const QString &host, quint16 port);
    void connectTo() { connectTo(m_remoteHost, m_remotePort); }
    // Harmless in any state; drops every event not yet delivered.
    void close();
    // One binary send; false (and nothing sent) unless connected.
    bool sendData(const QByteArray &data);
    // Returns and removes everything that has arrived so far.
    QByteArray getData();
    qint64 bytesReceived() const { return m_inbox.size(); }
    int state() const { return m_state; }

signals:
    void Connect();
    void DataArrival(qint64 bytesTotal);
    void SendComplete();
    void Close();
    void Error(int number, const QString &description);

private:
    void post(std::function<void()> event);
    void onStateChanged(QAbstractSocket::SocketState socketState);
    void onConnected();
    void onReadyRead();
    void onBytesWritten(qint64 bytes);
    void onDisconnected();
    void onErrorOccurred(QAbstractSocket::SocketError socketError);
    void pullIncoming();
    void dropSocket();

    QPointer<QTcpSocket> m_socket;
    QString m_remoteHost;
    quint16 m_remotePort = 0;
    int m_state = sckClosed;
    // Bumped by every connect and close, so that events of an earlier connection
    // that are still queued are dropped instead of reaching the window.
    quint64 m_generation = 0;
    QByteArray m_inbox;
    bool m_dataArrivalPending = false;
    qint64 m_bytesQueued = 0;
    qint64 m_bytesWritten = 0;
    std::deque<qint64> m_sendEnds;
};

// Text on the wire is single-byte Windows-1252; characters it cannot carry become '?'.
QByteArray toWire(const QString &text);
QString fromWire(const QByteArray &bytes);
