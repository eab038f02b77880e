#include "winsock.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

namespace {

// Records every event of a socket control and fails the test if one fires while
// a call into the control is still running.
struct EventLog {
    explicit EventLog(Winsock &socket) : socket(socket) {
        QObject::connect(&socket, &Winsock::Connect, [this] { note("Connect"); });
        QObject::connect(&socket, &Winsock::DataArrival, [this](qint64 bytesTotal) {
            note("DataArrival");
            arrivalTotals.append(bytesTotal);
            if (readOnArrival)
                received += this->socket.getData();
        });
        QObject::connect(&socket, &Winsock::SendComplete, [this] { note("SendComplete"); });
        QObject::connect(&socket, &Winsock::Close, [this] { note("Close"); });
        QObject::connect(&socket, &Winsock::Error, [this](int number, const QString &) {
            note("Error");
            errorNumbers.append(number);
        });
    }
    void note(const char *event) {
        if (insideCall)
            reentered = true;
        events.append(QString::fromLatin1(event));
    }
    template <typename Call> void call(Call &&body) {
        insideCall = true;
        body();
        insideCall = false;
    }
    int count(const char *event) const { return int(events.count(QString::fromLatin1(event))); }
    bool waitFor(const char *event, int times = 1, int timeoutMs = 5000) {
        return QTest::qWaitFor([&] { return count(event) >= times; }, timeoutMs);
    }

    Winsock &socket;
    QStringList events;
    QList<qint64> arrivalTotals;
    QList<int> errorNumbers;
    QByteArray received;
    bool readOnArrival = true;
    bool insideCall = false;
    bool reentered = false;
};

// The server side of one connection, accepted from a listening test server.
QTcpSocket *acceptPeer(QTcpServer &server) {
    if (!server.hasPendingConnections() && !server.waitForNewConnection(5000))
        return nullptr;
    return server.nextPendingConnection();
}

// Connects the control to the test server, which listens on the loopback
// address from the first call on, and hands over the server's side in peer.
void connectPeer(QTcpServer &server, Winsock &socket, EventLog &log,
                 std::unique_ptr<QTcpSocket> &peer) {
    if (!server.isListening())
        QVERIFY(server.listen(QHostAddress::LocalHost));
    const int connects = log.count("Connect") + 1;
    socket.connectTo(QStringLiteral("127.0.0.1"), server.serverPort());
    QVERIFY(log.waitFor("Connect", connects));
    peer.reset(acceptPeer(server));
    QVERIFY(peer);
}

quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

} // namespace

class TestWinsock : public QObject {
    Q_OBJECT
private slots:
    void connectsAndExchangesBytes();
    void sendCompletesPerSend();
    void peerCloseDeliversDataThenClose();
    void refusedConnectionEndsInError();
    void closeWhileConnectingDropsEverything();
    void reconnectsAfterClose();
    void connectToWhileConnectedStartsOver();
    void slowReaderLosesNothing();
    void wireTextIsWindows1252_data();
    void wireTextIsWindows1252();
    void everyByteSurvivesTheWire();
};

void TestWinsock::connectsAndExchangesBytes() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    Winsock socket;
    EventLog log(socket);
    QCOMPARE(socket.state(), int(Winsock::sckClosed));

    // A host name goes through the background lookup.
    log.call([&] { socket.connectTo(QStringLiteral("localhost"), server.serverPort()); });
    QVERIFY(socket.state() == Winsock::sckResolvingHost ||
            socket.state() == Winsock::sckConnecting || socket.state() == Winsock::sckConnected);
    QVERIFY(log.events.isEmpty());
    QVERIFY(log.waitFor("Connect"));
    QCOMPARE(socket.state(), int(Winsock::sckConnected));
    QCOMPARE(socket.remoteHost(), QStringLiteral("localhost"));
    QCOMPARE(socket.remotePort(), server.serverPort());
    QVERIFY(socket.localPort() != 0);

    std::unique_ptr<QTcpSocket> peer(acceptPeer(server));
    QVERIFY(peer);
    QByteArray sent;
    for (int piece = 0; piece < 5; ++piece) {
        const QByteArray bytes(65 + piece, char(0x80 + piece));
        sent += bytes;
        peer->write(bytes);
        QVERIFY(peer->waitForBytesWritten(1000));
    }
    QVERIFY(QTest::qWaitFor([&] { return log.received.size() >= sent.size(); }, 5000));
    QCOMPARE(log.received, sent);
    // Each arrival announces exactly what getData then hands over.
    qint64 announced = 0;
    for (const qint64 total : std::as_const(log.arrivalTotals))
        announced += total;
    QCOMPARE(announced, qint64(sent.size()));
    QCOMPARE(socket.bytesReceived(), 0);
    QVERIFY(!log.reentered);
}

void TestWinsock::sendCompletesPerSend() {
    QTcpServer server;
    Winsock socket;
    EventLog log(socket);
    QVERIFY(!socket.sendData("early"));
    std::unique_ptr<QTcpSocket> peer;
    connectPeer(server, socket, log, peer);
    QVERIFY(peer);

    const QByteArray block(65, '\x5a');
    log.call([&] {
        for (int send = 0; send < 3; ++send)
            QVERIFY(socket.sendData(block));
    });
    QCOMPARE(log.count("SendComplete"), 0);
    QVERIFY(log.waitFor("SendComplete", 3));
    QByteArray atPeer;
    QVERIFY(QTest::qWaitFor(
        [&] {
            atPeer += peer->readAll();
            return atPeer.size() >= 3 * 65;
        },
        5000));
    QCOMPARE(atPeer, block + block + block);
    QTest::qWait(50);
    QCOMPARE(log.count("SendComplete"), 3);
    QVERIFY(!log.reentered);
}

void TestWinsock::peerCloseDeliversDataThenClose() {
    QTcpServer server;
    Winsock socket;
    EventLog log(socket);
    std::unique_ptr<QTcpSocket> peer;
    connectPeer(server, socket, log, peer);
    QVERIFY(peer);

    peer->write("last words");
    peer->disconnectFromHost();
    QVERIFY(log.waitFor("Close"));
    QCOMPARE(log.received, QByteArray("last words"));
    QVERIFY(log.events.indexOf(QStringLiteral("DataArrival")) <
            log.events.indexOf(QStringLiteral("Close")));
    QCOMPARE(socket.state(), int(Winsock::sckClosing));
    QVERIFY(!socket.sendData("too late"));

    log.call([&] { socket.close(); });
    QCOMPARE(socket.state(), int(Winsock::sckClosed));
    log.call([&] { socket.close(); });
    QCOMPARE(socket.state(), int(Winsock::sckClosed));
    const int eventsAtClose = int(log.events.size());
    QTest::qWait(100);
    QCOMPARE(int(log.events.size()), eventsAtClose);
    QVERIFY(!log.reentered);
}

void TestWinsock::refusedConnectionEndsInError() {
    Winsock socket;
    EventLog log(socket);
    log.call([&] { socket.connectTo(QStringLiteral("127.0.0.1"), closedPort()); });
    QVERIFY(QTest::qWaitFor([&] { return log.count("Error") + log.count("Close") > 0; }, 5000));
    QCOMPARE(log.count("Connect"), 0);
    if (log.count("Error") > 0) {
        QCOMPARE(socket.state(), int(Winsock::sckError));
        QCOMPARE(log.errorNumbers.value(0), int(Winsock::sckConnectionRefused));
    } else {
        QCOMPARE(socket.state(), int(Winsock::sckClosing));
    }
    socket.close();
    QCOMPARE(socket.state(), int(Winsock::sckClosed));
    QVERIFY(!log.reentered);
}

void TestWinsock::closeWhileConnectingDropsEverything() {
    Winsock socket;
    EventLog log(socket);
    // A documentation address: nothing answers there, or the route is missing.
    socket.connectTo(QStringLiteral("192.0.2.1"), 325);
    const int state = socket.state();
    QVERIFY2(state == Winsock::sckResolvingHost || state == Winsock::sckConnecting ||
                 state == Winsock::sckError,
             qPrintable(QString::number(state)));
    socket.close();
    QCOMPARE(socket.state(), int(Winsock::sckClosed));
    QTest::qWait(200);
    QVERIFY2(log.events.isEmpty(), qPrintable(log.events.join(u' ')));
    QCOMPARE(socket.state(), int(Winsock::sckClosed));
}

void TestWinsock::reconnectsAfterClose() {
    QTcpServer server;
    Winsock socket;
    EventLog log(socket);
    std::unique_ptr<QTcpSocket> first;
    connectPeer(server, socket, log, first);
    QVERIFY(first);
    // Bytes that reached the control unread are dropped with the connection.
    log.readOnArrival = false;
    first->write("old");
    QVERIFY(log.waitFor("DataArrival"));
    QCOMPARE(socket.bytesReceived(), 3);
    socket.close();
    log.readOnArrival = true;
    QCOMPARE(socket.bytesReceived(), 0);

    std::unique_ptr<QTcpSocket> second;
    connectPeer(server, socket, log, second);
    QVERIFY(second);
    second->write("new");
    QVERIFY(QTest::qWaitFor([&] { return log.received.endsWith("new"); }, 5000));
    QVERIFY(!log.received.contains("old"));
    QVERIFY(
        QTest::qWaitFor([&] { return first->state() != QAbstractSocket::ConnectedState; }, 5000));
}

void TestWinsock::connectToWhileConnectedStartsOver() {
    QTcpServer server;
    Winsock socket;
    EventLog log(socket);
    std::unique_ptr<QTcpSocket> first;
    connectPeer(server, socket, log, first);
    QVERIFY(first);
    log.call([&] { socket.connectTo(QStringLiteral("127.0.0.1"), server.serverPort()); });
    QVERIFY(log.waitFor("Connect", 2));
    QCOMPARE(socket.state(), int(Winsock::sckConnected));
    // The first connection was ours to end: no Close or Error for it.
    QCOMPARE(log.count("Close") + log.count("Error"), 0);
    QVERIFY(!log.reentered);
}

void TestWinsock::slowReaderLosesNothing() {
    QTcpServer server;
    Winsock socket;
    EventLog log(socket);
    log.readOnArrival = false;
    std::unique_ptr<QTcpSocket> peer;
    connectPeer(server, socket, log, peer);
    QVERIFY(peer);

    // More than the control holds while nobody reads: the rest waits in TCP.
    QByteArray sent(6 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype at = 0; at < sent.size(); ++at)
        sent[at] = char(at * 7 + at / 65536);
    peer->write(sent);
    QTest::qWait(300);
    QVERIFY(socket.bytesReceived() > 0);
    QVERIFY(socket.bytesReceived() <= 4 * 1024 * 1024);

    QByteArray received;
    QVERIFY(QTest::qWaitFor(
        [&] {
            received += socket.getData();
            return received.size() >= sent.size();
        },
        10000));
    QCOMPARE(received.size(), sent.size());
    QVERIFY(received == sent);
}

void TestWinsock::wireTextIsWindows1252_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("euro") << QStringLiteral("\u20ac") << QByteArray("\x80");
    QTest::newRow("low quote") << QStringLiteral("\u201a") << QByteArray("\x82");
    QTest::newRow("ellipsis") << QStringLiteral("\u2026") << QByteArray("\x85");
    QTest::newRow("s caron") << QStringLiteral("\u0160") << QByteArray("\x8a");
    QTest::newRow("trade mark") << QStringLiteral("\u2122") << QByteArray("\x99");
    QTest::newRow("y diaeresis") << QStringLiteral("\u0178") << QByteArray("\x9f");
    QTest::newRow("no-break space") << QStringLiteral("\u00a0") << QByteArray("\xa0");
    QTest::newRow("german") << QStringLiteral("Schlie\u00dfen gr\u00fc\u00df")
                            << QByteArray("Schlie\xdf"
                                          "en gr\xfc\xdf");
}

void TestWinsock::wireTextIsWindows1252() {
    QFETCH(QString, text);
    QFETCH(QByteArray, wire);
    QCOMPARE(toWire(text), wire);
    QCOMPARE(fromWire(wire), text);
}

void TestWinsock::everyByteSurvivesTheWire() {
    QByteArray all;
    for (int byte = 0; byte < 256; ++byte)
        all.append(char(byte));
    QCOMPARE(toWire(fromWire(all)), all);
    // Characters the code page lacks, one '?' each, even outside the basic plane.
    QCOMPARE(toWire(QStringLiteral("a\u0080\u65e5\U0001F4FBb")), QByteArray("a???b"));
}

QTEST_GUILESS_MAIN(TestWinsock)
#include "test_winsock.moc"
