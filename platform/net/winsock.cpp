#include "winsock.h"

#include <QMetaObject>

#include <algorithm>
#include <array>

namespace {

// Qt stops reading from the system once this much waits in its own buffer, and
// the control stops pulling once its inbox holds this much: a window that does
// not read throttles the peer through TCP instead of filling memory.
constexpr qint64 socketReadBufferBytes = 256 * 1024;
constexpr qint64 inboxLimitBytes = 4 * 1024 * 1024;

int errorNumber(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return Winsock::sckConnectionRefused;
    case QAbstractSocket::HostNotFoundError:
        return Winsock::sckHostNotFound;
    case QAbstractSocket::SocketTimeoutError:
        return Winsock::sckTimedOut;
    case QAbstractSocket::NetworkError:
        return Winsock::sckConnectionReset;
    case QAbstractSocket::SocketResourceError:
        return Winsock::sckNoBufferSpace;
    case QAbstractSocket::AddressInUseError:
        return Winsock::sckAddressInUse;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return Winsock::sckAddressNotAvailable;
    case QAbstractSocket::TemporaryError:
        return Winsock::sckNetworkDown;
    default:
        return Winsock::sckConnectionAborted;
    }
}

// Bytes 0x80 to 0x9F of Windows-1252; the five unassigned ones keep their C1
// code point so that any byte string survives fromWire and toWire unchanged.
constexpr std::array<char16_t, 32> cp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

Winsock::Winsock(QObject *parent) : QObject(parent) {}

Winsock::~Winsock() {
    if (m_socket)
        m_socket->disconnect(this);
}

quint16 Winsock::localPort() const {
    return m_socket ? m_socket->localPort() : 0;
}

void Winsock::connectTo(const QString &host, quint16 port) {
    close();
    m_remoteHost = host;
    m_remotePort = port;
    m_state = sckResolvingHost;
    auto *socket = new QTcpSocket(this);
    m_socket = socket;
    socket->setReadBufferSize(socketReadBufferBytes);
    connect(socket, &QAbstractSocket::stateChanged, this, &Winsock::onStateChanged);
    connect(socket, &QAbstractSocket::connected, this, &Winsock::onConnected);
    connect(socket, &QIODevice::readyRead, this, &Winsock::onReadyRead);
    connect(socket, &QIODevice::bytesWritten, this, &Winsock::onBytesWritten);
    connect(socket, &QAbstractSocket::disconnected, this, &Winsock::onDisconnected);
    connect(socket, &QAbstractSocket::errorOccurred, this, &Winsock::onErrorOccurred);
    socket->connectToHost(host, port);
}

void Winsock::close() {
    ++m_generation;
    dropSocket();
    m_state = sckClosed;
    m_inbox.clear();
    m_dataArrivalPending = false;
    m_bytesQueued = 0;
    m_bytesWritten = 0;
    m_sendEnds.clear();
}

bool Winsock::sendData(const QByteArray &data) {
    if (m_state != sckConnected || !m_socket)
        return false;
    if (!data.isEmpty()) {
        if (m_socket->write(data) != data.size())
            return false;
        m_bytesQueued += data.size();
        m_sendEnds.push_back(m_bytesQueued);
    } else {
        post([this] { emit SendComplete(); });
    }
    return true;
}

QByteArray Winsock::getData() {
    QByteArray data;
    data.swap(m_inbox);
    // Whatever was held back while the inbox was full comes in now.
    if (m_socket && m_socket->bytesAvailable() > 0)
        onReadyRead();
    return data;
}

void Winsock::post(std::function<void()> event) {
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, event = std::move(event)] {
            if (generation == m_generation)
                event();
        },
        Qt::QueuedConnection);
}

void Winsock::onStateChanged(QAbstractSocket::SocketState socketState) {
    // Only the attempt's progress is taken from Qt; connected, closing and error
    // are set by their own handlers so that a later Unconnected does not hide them.
    if (socketState == QAbstractSocket::HostLookupState)
        m_state = sckResolvingHost;
    else if (socketState == QAbstractSocket::ConnectingState)
        m_state = sckConnecting;
}

void Winsock::onConnected() {
    m_state = sckConnected;
    // A block every 40 ms must not wait for the acknowledgement of the one before,
    // and a message sent alone should travel alone.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    post([this] { emit Connect(); });
}

void Winsock::onReadyRead() {
    pullIncoming();
    if (m_inbox.isEmpty() || m_dataArrivalPending)
        return;
    m_dataArrivalPending = true;
    post([this] {
        m_dataArrivalPending = false;
        if (!m_inbox.isEmpty())
            emit DataArrival(m_inbox.size());
    });
}

void Winsock::onBytesWritten(qint64 bytes) {
    m_bytesWritten += bytes;
    while (!m_sendEnds.empty() && m_sendEnds.front() <= m_bytesWritten) {
        m_sendEnds.pop_front();
        post([this] { emit SendComplete(); });
    }
}

void Winsock::onDisconnected() {
    if (m_state == sckClosing || m_state == sckError)
        return;
    onErrorOccurred(QAbstractSocket::RemoteHostClosedError);
}

void Winsock::onErrorOccurred(QAbstractSocket::SocketError socketError) {
    if (m_state == sckClosing || m_state == sckError || !m_socket)
        return;
    // What arrived before the end is still handed over, ahead of the end event.
    if (m_socket->bytesAvailable() > 0) {
        m_inbox.append(m_socket->readAll());
        onReadyRead();
    }
    if (socketError == QAbstractSocket::RemoteHostClosedError) {
        m_state = sckClosing;
        post([this] { emit Close(); });
        return;
    }
    m_state = sckError;
    const int number = errorNumber(socketError);
    const QString description = m_socket->errorString();
    post([this, number, description] { emit Error(number, description); });
}

void Winsock::pullIncoming() {
    if (!m_socket)
        return;
    const qint64 count = std::min(m_socket->bytesAvailable(), inboxLimitBytes - m_inbox.size());
    if (count > 0)
        m_inbox.append(m_socket->read(count));
}

void Winsock::dropSocket() {
    if (!m_socket)
        return;
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

QByteArray toWire(const QString &text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const char32_t codePoint : text.toUcs4()) {
        if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
            bytes.append(char(codePoint));
            continue;
        }
        const auto found = std::find(cp1252High.begin(), cp1252High.end(), codePoint);
        bytes.append(found == cp1252High.end() ? '?' : char(0x80 + (found - cp1252High.begin())));
    }
    return bytes;
}

QString fromWire(const QByteArray &bytes) {
    QString text;
    text.reserve(bytes.size());
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        text.append(value >= 0x80 && value < 0xA0 ? QChar(cp1252High[value - 0x80]) : QChar(value));
    }
    return text;
}
