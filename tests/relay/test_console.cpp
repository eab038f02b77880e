// The operator console and the control port's guard, against the real relay
// and marlox-operator on loopback.
#include "relayprocess.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <QElapsedTimer>

#include <csignal>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::readLog;
using testsupport::startRelay;

namespace {

constexpr int controlBase = 324;
constexpr int chatBase = 10040;
const QHostAddress otherAddress(QStringLiteral("127.0.0.2"));

using Station = std::unique_ptr<QTcpSocket>;
using testsupport::readExactly;
using testsupport::staysSilent;

// True when the relay closes the connection (or never lets it open) without a word.
bool isTurnedAway(QTcpSocket &socket) {
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(3000);
    return socket.state() == QAbstractSocket::UnconnectedState && socket.bytesAvailable() == 0;
}

struct Result {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestConsole : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void consoleIsPrivate();
    void commandReachesOneStation_data();
    void commandReachesOneStation();
    void noticeReachesEveryStation_data();
    void noticeReachesEveryStation();
    void refusesWhatItCannotDo_data();
    void refusesWhatItCannotDo();
    void helpListsCommands();
    void stationsAreListed();
    void stationsCannotCommand_data();
    void stationsCannotCommand();
    void greetingsStayWithTheRelay();
    void connectionKeepsItsIdentity();
    void splitMessagesAreJoined_data();
    void splitMessagesAreJoined();
    void lateRestIsRefused();
    void chatLinesPassUnchanged_data();
    void chatLinesPassUnchanged();
    void banClosesAndRefusesEveryPort();
    void operatorsRunTwoStations();
    void identityStaysWithItsFirstConnection_data();
    void identityStaysWithItsFirstConnection();
    void floodsAreHeldToRate_data();
    void floodsAreHeldToRate();
    void madeUpIdentitiesStayFew();
    void consoleFolderPreparedByOthers_data();
    void consoleFolderPreparedByOthers();
    void operatorTalksOnlyToItsOwnUser();

private:
    Station station(int base, const QHostAddress &from = QHostAddress::LocalHost);
    Result runOperator(const QStringList &arguments);
    // A station on the control port that has reported once, seen by `witness`.
    Station reportingStation(const QByteArray &identity, QTcpSocket &witness,
                             const QHostAddress &from = QHostAddress::LocalHost);

    QTemporaryDir m_dir;
    QProcess m_relay;
    QString m_logPath;
    QString m_consolePath;
    int m_offset = 0;
};

void TestConsole::initTestCase() {
    QVERIFY(m_dir.isValid());
    m_logPath = m_dir.filePath(QStringLiteral("relay.log"));
    m_consolePath = m_dir.filePath(QStringLiteral("console"));
    // Every station here comes from one address, and a closed one may still
    // count for a moment: the address limits have tests of their own.
    m_offset = startRelay(m_relay, m_logPath,
                          {QStringLiteral("--console"), m_consolePath,
                           QStringLiteral("--per-address"), QStringLiteral("0"),
                           QStringLiteral("--per-address-total"), QStringLiteral("0")});
    QVERIFY(m_offset >= 0);
}

void TestConsole::cleanupTestCase() {
    m_relay.terminate();
    QVERIFY(m_relay.waitForFinished(10000));
    QCOMPARE(m_relay.exitCode(), 0);
    // The socket goes with the relay.
    QVERIFY(!QFile::exists(m_consolePath));
}

Station TestConsole::station(int base, const QHostAddress &from) {
    auto socket = std::make_unique<QTcpSocket>();
    if (from != QHostAddress::LocalHost)
        socket->bind(from);
    socket->connectToHost(QHostAddress::LocalHost, quint16(base + m_offset));
    socket->waitForConnected(5000);
    return socket;
}

Result TestConsole::runOperator(const QStringList &arguments) {
    QProcess tool;
    tool.start(QStringLiteral(MARLOX_OPERATOR_PATH),
               QStringList{QStringLiteral("--console"), m_consolePath} + arguments);
    Result result;
    if (!tool.waitForFinished(15000))
        return result;
    result.status = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    result.out = tool.readAllStandardOutput();
    result.err = tool.readAllStandardError();
    return result;
}

Station TestConsole::reportingStation(const QByteArray &identity, QTcpSocket &witness,
                                      const QHostAddress &from) {
    Station socket = station(controlBase, from);
    const QByteArray report = identity + "(04)";
    socket->write(report);
    socket->flush();
    if (readExactly(witness, report.size()) != report)
        qWarning("report of %s did not arrive", identity.constData());
    readExactly(*socket, report.size());
    return socket;
}

void TestConsole::consoleIsPrivate() {
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(m_consolePath).constData(), &info), 0);
    QVERIFY(S_ISSOCK(info.st_mode));
    QCOMPARE(info.st_mode & 0777, mode_t(0600));
}

void TestConsole::commandReachesOneStation_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("word");
    QTest::newRow("warn") << "warn" << QByteArray("Na-0");
    QTest::newRow("stuck") << "stuck" << QByteArray("Na-1");
    QTest::newRow("soundcard") << "soundcard" << QByteArray("Na-2");
    QTest::newRow("sos") << "sos" << QByteArray("Na-3");
    QTest::newRow("adminchannel") << "adminchannel" << QByteArray("Na-4");
    QTest::newRow("kick") << "kick" << QByteArray("aozl");
    QTest::newRow("off") << "off" << QByteArray("gimx");
}

void TestConsole::commandReachesOneStation() {
    QFETCH(QString, command);
    QFETCH(QByteArray, word);
    Station witness = station(controlBase);
    Station a = reportingStation("ABCD1", *witness);
    Station b = reportingStation("EFGH2", *witness);
    readExactly(*a, 9);

    const Result result = runOperator({command, QStringLiteral("ABCD1")});
    QCOMPARE(result.status, 0);
    QCOMPARE(readExactly(*a, 9), "ABCD1" + word);
    QVERIFY(staysSilent(*b));
    QVERIFY(staysSilent(*witness, 0));
}

void TestConsole::noticeReachesEveryStation_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("news") << "news" << QByteArray("*****alle");
    QTest::newRow("meeting") << "meeting" << QByteArray("*****all1");
}

void TestConsole::noticeReachesEveryStation() {
    QFETCH(QString, command);
    QFETCH(QByteArray, message);
    Station silent = station(controlBase);
    Station witness = station(controlBase);
    Station a = reportingStation("ABCD1", *witness);
    readExactly(*silent, 9);
    const Result result = runOperator({command});
    QCOMPARE(result.status, 0);
    for (QTcpSocket *socket : {silent.get(), witness.get(), a.get()})
        QCOMPARE(readExactly(*socket, message.size()), message);
}

void TestConsole::refusesWhatItCannotDo_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("unknown command")
        << QStringList{"dance", "ABCD1"} << QByteArray("unknown command: dance");
    QTest::newRow("unknown identity")
        << QStringList{"kick", "ZZZZ9"} << QByteArray("unknown station: ZZZZ9");
    QTest::newRow("identity missing") << QStringList{"warn"} << QByteArray("needs the identity");
    QTest::newRow("identity too many")
        << QStringList{"news", "ABCD1"} << QByteArray("takes no identity");
    QTest::newRow("no command") << QStringList{} << QByteArray("no command");
    QTest::newRow("station gone") << QStringList{"warn", "GONE7"}
                                  << QByteArray("GONE7 is not connected");
}

void TestConsole::refusesWhatItCannotDo() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    {
        Station witness = station(controlBase);
        Station gone = reportingStation("GONE7", *witness);
    }
    QTest::qWait(100);
    const Result result = runOperator(arguments);
    QCOMPARE(result.status, 1);
    QVERIFY2(result.err.contains(message), result.err.constData());

    QProcess tool;
    tool.start(QStringLiteral(MARLOX_OPERATOR_PATH),
               {QStringLiteral("--console"), m_dir.filePath(QStringLiteral("nothing")),
                QStringLiteral("stations")});
    QVERIFY(tool.waitForFinished(15000));
    QCOMPARE(tool.exitCode(), 1);
}

void TestConsole::helpListsCommands() {
    const Result result = runOperator({QStringLiteral("--help")});
    QCOMPARE(result.status, 0);
    for (const char *command : {"stations", "warn", "stuck", "soundcard", "sos", "adminchannel",
                                "kick", "off", "ban", "news", "meeting"})
        QVERIFY2(result.out.contains(QByteArray("  ") + command + ' '), command);
}

void TestConsole::stationsAreListed() {
    Station witness = station(controlBase);
    Station a = reportingStation("LIST1", *witness);
    a->write("LIST1C(17)");
    a->flush();
    QCOMPARE(readExactly(*witness, 10), QByteArray("LIST1C(17)"));
    const Result result = runOperator({QStringLiteral("stations")});
    QCOMPARE(result.status, 0);
    const QList<QByteArray> row = result.out.mid(result.out.indexOf("\nLIST1"))
                                      .trimmed()
                                      .split('\n')
                                      .first()
                                      .simplified()
                                      .split(' ');
    QCOMPARE(row.value(0), QByteArray("LIST1"));
    QCOMPARE(row.value(1), QByteArray("127.0.0.1"));
    QCOMPARE(row.value(2), QByteArray("17"));
    QVERIFY(row.value(3).toInt() <= 2);
    QCOMPARE(row.value(4), QByteArray("connected"));
}

void TestConsole::stationsCannotCommand_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("warning") << QByteArray("VICT1Na-0");
    QTest::newRow("ban") << QByteArray("VICT1bann");
    QTest::newRow("switch-off after a report") << QByteArray("ATTK1(04)VICT1gimx");
    QTest::newRow("notice to all") << QByteArray("12345alle");
    QTest::newRow("notice behind a greeting") << QByteArray("halloalle");
}

void TestConsole::stationsCannotCommand() {
    QFETCH(QByteArray, message);
    Station witness = station(controlBase);
    Station victim = reportingStation("VICT1", *witness);
    Station attacker = station(controlBase);
    attacker->write(message);
    QVERIFY(attacker->waitForBytesWritten(5000));
    QVERIFY(staysSilent(*victim, 300));
    QVERIFY(staysSilent(*witness, 0));
    QVERIFY(staysSilent(*attacker, 0));
}

void TestConsole::greetingsStayWithTheRelay() {
    Station witness = station(controlBase);
    Station a = station(controlBase);
    a->write("hallo");
    a->flush();
    QVERIFY(staysSilent(*witness));
    // What a radio sends on connecting, and what an attacker hides behind it.
    a->write("halloalle1(01)");
    a->flush();
    QCOMPARE(readExactly(*witness, 9), QByteArray("alle1(01)"));
    QVERIFY(staysSilent(*witness));
}

void TestConsole::connectionKeepsItsIdentity() {
    Station witness = station(controlBase);
    Station a = reportingStation("KEEP1", *witness);
    a->write("FAKE2(04)");
    a->flush();
    QVERIFY(staysSilent(*witness));
    // A connection from elsewhere cannot take an identity that is in use.
    Station thief = station(controlBase, otherAddress);
    thief->write("KEEP1A04A");
    thief->flush();
    QVERIFY(staysSilent(*witness));
    a->write("KEEP1A04A");
    a->flush();
    QCOMPARE(readExactly(*witness, 9), QByteArray("KEEP1A04A"));

    // Nor one from the same address while the first is still there; once it
    // has left, the next claimant has it, and keeps it.
    Station back = station(controlBase);
    back->write("KEEP1(05)");
    back->flush();
    QVERIFY(staysSilent(*witness));
    a.reset();
    QTest::qWait(300);
    back->write("KEEP1(05)");
    back->flush();
    QCOMPARE(readExactly(*witness, 9), QByteArray("KEEP1(05)"));
    thief->write("KEEP1(06)");
    thief->flush();
    QVERIFY(staysSilent(*witness));
}

void TestConsole::splitMessagesAreJoined_data() {
    QTest::addColumn<QByteArray>("messages");
    QTest::addColumn<int>("cut");
    QTest::addColumn<QByteArray>("heard");
    for (int cut = 1; cut < 10; ++cut)
        QTest::addRow("chat report cut at %d", cut)
            << QByteArray("SPLT1C(04)") << cut << QByteArray("SPLT1C(04)");
    QTest::newRow("alarm") << QByteArray("SPLT1A07A") << 7 << QByteArray("SPLT1A07A");
    QTest::newRow("channel 0") << QByteArray("SPLT1(0)") << 7 << QByteArray("SPLT1(0)");
    QTest::newRow("greeting and report")
        << QByteArray("halloSPLT1(12)") << 3 << QByteArray("SPLT1(12)");
    QTest::newRow("two reports") << QByteArray("SPLT1(12)SPLT1C(12)") << 12
                                 << QByteArray("SPLT1(12)SPLT1C(12)");
}

void TestConsole::splitMessagesAreJoined() {
    QFETCH(QByteArray, messages);
    QFETCH(int, cut);
    QFETCH(QByteArray, heard);
    Station witness = station(controlBase);
    Station a = station(controlBase);
    a->write(messages.left(cut));
    QVERIFY(a->waitForBytesWritten(5000));
    QTest::qWait(150);
    a->write(messages.mid(cut));
    a->flush();
    QCOMPARE(readExactly(*witness, heard.size()), heard);
    QVERIFY(staysSilent(*witness, 100));
}

void TestConsole::lateRestIsRefused() {
    Station witness = station(controlBase);
    Station a = station(controlBase);
    a->write("LATE1(0");
    QVERIFY(a->waitForBytesWritten(5000));
    QTest::qWait(1300);
    a->write("4)LATE1(05)");
    a->flush();
    QVERIFY(staysSilent(*witness, 300));
    a->write("LATE1(06)");
    a->flush();
    QCOMPARE(readExactly(*witness, 9), QByteArray("LATE1(06)"));
}

void TestConsole::chatLinesPassUnchanged_data() {
    QTest::addColumn<QByteArray>("line");
    const QByteArray nick = QByteArray("  Sepp").leftJustified(50, ' ');
    QTest::newRow("idle line") << "0" + nick +
                                      "\xa0"
                                      "07";
    QTest::newRow("join line") << "1" + nick;
    QByteArray longText;
    for (int at = 0; longText.size() < 400; ++at)
        longText += "Gr\xfc\xdf Gott \x80\xa0 https://example.org/" + QByteArray::number(at) + ' ';
    QTest::newRow("long line") << "0" + nick + longText + "07";
}

void TestConsole::chatLinesPassUnchanged() {
    QFETCH(QByteArray, line);
    Station a = station(chatBase);
    Station b = station(chatBase);
    Station c = station(chatBase);
    // The relay takes the three in turn before it reads from the first.
    QTest::qWait(50);
    a->write(line);
    a->flush();
    QCOMPARE(readExactly(*b, line.size()), line);
    QCOMPARE(readExactly(*c, line.size()), line);
    QVERIFY(staysSilent(*a));
}

void TestConsole::banClosesAndRefusesEveryPort() {
    QProcess relay;
    const QString logPath = m_dir.filePath(QStringLiteral("ban.log"));
    const QString consolePath = m_dir.filePath(QStringLiteral("ban-console"));
    const QString banFile = m_dir.filePath(QStringLiteral("bans.txt"));
    const QStringList options = {QStringLiteral("--console"),     consolePath,
                                 QStringLiteral("--ban-file"),    banFile,
                                 QStringLiteral("--ban-minutes"), QStringLiteral("5")};
    const int mainOffset = m_offset;
    const QString mainConsole = m_consolePath;
    m_offset = startRelay(relay, logPath, options);
    m_consolePath = consolePath;
    const auto restore = qScopeGuard([&] {
        m_offset = mainOffset;
        m_consolePath = mainConsole;
        relay.terminate();
        relay.waitForFinished(10000);
    });
    QVERIFY(m_offset >= 0);

    Station witness = station(controlBase);
    Station good = reportingStation("GOOD1", *witness);
    Station bad = reportingStation("EVIL2", *witness, otherAddress);
    Station badVoice = station(controlBase + 5, otherAddress);
    Station badChat = station(chatBase, otherAddress);
    Station goodVoice = station(controlBase + 5);
    QVERIFY(testsupport::waitForStations(logPath, controlBase + 5 + m_offset, 2));
    readExactly(*good, 9);
    QCOMPARE(readExactly(*witness, 0), QByteArray());

    Result result = runOperator({QStringLiteral("ban"), QStringLiteral("EVIL2")});
    QCOMPARE(result.status, 0);
    QVERIFY2(result.out.contains("127.0.0.2 banned until"), result.out.constData());
    QCOMPARE(readExactly(*bad, 9), QByteArray("EVIL2bann"));
    for (QTcpSocket *socket : {bad.get(), badVoice.get(), badChat.get()})
        QVERIFY(socket->state() == QAbstractSocket::UnconnectedState ||
                socket->waitForDisconnected(5000));
    QVERIFY(staysSilent(*good, 0));
    QVERIFY(staysSilent(*witness, 0));

    result = runOperator({QStringLiteral("stations")});
    const QString table = QString::fromUtf8(result.out);
    const QStringList lines = table.split(u'\n');
    QVERIFY2(
        lines.filter(QStringLiteral("EVIL2")).value(0).contains(QStringLiteral("banned until")),
        result.out.constData());
    QVERIFY(!lines.filter(QStringLiteral("GOOD1")).value(0).contains(QStringLiteral("banned")));

    // Still refused after a restart, on every kind of port; other stations go on.
    relay.terminate();
    QVERIFY(relay.waitForFinished(10000));
    QVERIFY(QFile(banFile).exists());
    m_offset = startRelay(relay, logPath, options);
    QVERIFY(m_offset >= 0);
    for (const int base : {controlBase, controlBase + 5, 999, chatBase}) {
        Station refused = station(base, otherAddress);
        QVERIFY2(isTurnedAway(*refused), qPrintable(QString::number(base)));
    }
    QVERIFY(readLog(logPath).contains("banned connection"));
    Station witnessAgain = station(controlBase);
    Station goodAgain = reportingStation("GOOD1", *witnessAgain);
    QVERIFY(goodAgain->state() == QAbstractSocket::ConnectedState);

    // Operators can lift a ban by address once the station is no longer known.
    result = runOperator({QStringLiteral("unban"), QStringLiteral("127.0.0.2")});
    QCOMPARE(result.status, 0);
    Station back = reportingStation("EVIL2", *witnessAgain, otherAddress);
    QVERIFY(back->state() == QAbstractSocket::ConnectedState);
}

// Two stations stood in for by sockets, each with its control link and the
// voice link of channel 07, the way two radios are online through the relay.
void TestConsole::operatorsRunTwoStations() {
    Station witness = station(controlBase);
    Station a = reportingStation("AAAA1", *witness);
    Station b = reportingStation("BBBB2", *witness, otherAddress);
    readExactly(*a, 9);
    Station aVoice = station(controlBase + 7);
    Station bVoice = station(controlBase + 7, otherAddress);
    const QByteArray block(65, char(0x5a));
    // B talks until A hears it: A's link may still be on its way in.
    QVERIFY(QTest::qWaitFor(
        [&] {
            bVoice->write(block);
            bVoice->flush();
            return aVoice->waitForReadyRead(100);
        },
        5000));

    // The kick reaches A alone; B still talks to A.
    QCOMPARE(runOperator({QStringLiteral("kick"), QStringLiteral("AAAA1")}).status, 0);
    QCOMPARE(readExactly(*a, 9), QByteArray("AAAA1aozl"));
    QVERIFY(staysSilent(*b, 0));
    QTest::qWait(100);
    aVoice->readAll();
    bVoice->write(block);
    bVoice->flush();
    QCOMPARE(readExactly(*aVoice, 65), block);

    // A station that writes a command word reaches nobody.
    a->write("BBBB2bann");
    a->flush();
    QVERIFY(staysSilent(*b, 300));
    QVERIFY(staysSilent(*witness, 0));

    // The ban closes B's program and every link of B's, and keeps B out.
    QCOMPARE(runOperator({QStringLiteral("ban"), QStringLiteral("BBBB2")}).status, 0);
    QCOMPARE(readExactly(*b, 9), QByteArray("BBBB2bann"));
    for (QTcpSocket *socket : {b.get(), bVoice.get()})
        QVERIFY(socket->state() == QAbstractSocket::UnconnectedState ||
                socket->waitForDisconnected(5000));
    for (const int base : {controlBase, controlBase + 7}) {
        Station again = station(base, otherAddress);
        QVERIFY(isTurnedAway(*again));
    }
    QVERIFY(staysSilent(*a, 0));
    a->write("AAAA1(07)");
    a->flush();
    QCOMPARE(readExactly(*witness, 9), QByteArray("AAAA1(07)"));
    QCOMPARE(runOperator({QStringLiteral("unban"), QStringLiteral("BBBB2")}).status, 0);
}

void TestConsole::identityStaysWithItsFirstConnection_data() {
    QTest::addColumn<QHostAddress>("from");
    QTest::newRow("same address") << QHostAddress(QHostAddress::LocalHost);
    QTest::newRow("other address") << otherAddress;
}

void TestConsole::identityStaysWithItsFirstConnection() {
    QFETCH(QHostAddress, from);
    Station witness = station(controlBase);
    Station victim = reportingStation("VICT1", *witness);
    Station thief = station(controlBase, from);
    thief->write("VICT1(05)");
    thief->flush();
    QVERIFY(staysSilent(*witness, 300));
    QVERIFY(staysSilent(*thief, 0));
    QVERIFY(QTest::qWaitFor([&] { return readLog(m_logPath).contains("refused identity VICT1"); }));

    // The operator's word reaches the real station, and the listing still names it.
    const Result kick = runOperator({QStringLiteral("kick"), QStringLiteral("VICT1")});
    QCOMPARE(kick.status, 0);
    QCOMPARE(readExactly(*victim, 9), QByteArray("VICT1aozl"));
    QVERIFY(staysSilent(*thief));
    const Result listing = runOperator({QStringLiteral("stations")});
    const QByteArray row = listing.out.mid(listing.out.indexOf("\nVICT1")).trimmed();
    QVERIFY2(row.startsWith("VICT1") && row.split('\n').first().contains("connected"),
             listing.out.constData());
    // The victim goes on reporting.
    victim->write("VICT1(06)");
    victim->flush();
    QCOMPARE(readExactly(*witness, 9), QByteArray("VICT1(06)"));

    // Once the first has left, the identity is free.
    victim.reset();
    QTest::qWait(300);
    thief->write("VICT1(07)");
    thief->flush();
    QCOMPARE(readExactly(*witness, 9), QByteArray("VICT1(07)"));
}

void TestConsole::floodsAreHeldToRate_data() {
    QTest::addColumn<int>("base");
    QTest::addColumn<double>("perSecond");
    QTest::addColumn<int>("burst");
    QTest::addColumn<int>("goodIntervalMs");
    QTest::newRow("station reports") << controlBase << 1.0 << 4 << 1100;
    QTest::newRow("chat lines") << chatBase << 3.0 << 8 << 400;
}

void TestConsole::floodsAreHeldToRate() {
    QFETCH(int, base);
    QFETCH(double, perSecond);
    QFETCH(int, burst);
    QFETCH(int, goodIntervalMs);
    const bool chat = base == chatBase;
    const auto message = [chat](const QByteArray &who, int number) {
        return chat ? "0" + who.leftJustified(50, ' ') + "line " + QByteArray::number(number) + "05"
                    : who + "(" + QByteArray::number(number % 40 + 1).rightJustified(2, '0') + ")";
    };
    Station witness = station(base);
    Station good = station(base);
    Station flooder = station(base, otherAddress);
    QTest::qWait(100);

    // The flooder sends a message every 10 ms for 3 s; a well-behaved station
    // goes on at a human pace meanwhile.
    QElapsedTimer timer;
    timer.start();
    QByteArray goodSent;
    int flooded = 0;
    qint64 nextGood = 0;
    while (timer.elapsed() < 3000) {
        if (timer.elapsed() >= nextGood) {
            const QByteArray line = message("GOOD1", int(goodSent.size()));
            goodSent += line;
            good->write(line);
            good->flush();
            nextGood += goodIntervalMs;
        }
        flooder->write(message("FLOD1", flooded++));
        flooder->flush();
        QTest::qWait(10);
    }
    const double seconds = double(timer.elapsed()) / 1000.0;
    QByteArray heard;
    while (!staysSilent(*witness, 500))
        heard += witness->readAll();
    const int goodHeard = int(heard.count(chat ? "0GOOD1" : "GOOD1("));
    const int floodHeard = int(heard.count(chat ? "0FLOD1" : "FLOD1("));
    qInfo("%d of %d flooded messages passed, %d of the well-behaved station's", floodHeard, flooded,
          goodHeard);
    QCOMPARE(goodHeard, int(goodSent.count(chat ? "0GOOD1" : "GOOD1(")));
    QVERIFY(floodHeard >= burst);
    QVERIFY(floodHeard <= burst + int(perSecond * (seconds + 2)) + 2);
    // The drop is counted.
    flooder.reset();
    QVERIFY(QTest::qWaitFor([&] {
        return readLog(m_logPath).contains(chat ? "chat pieces beyond the rate dropped"
                                                : "reports beyond the rate dropped");
    }));
}

void TestConsole::madeUpIdentitiesStayFew() {
    Station witness = station(controlBase);
    Station good = reportingStation("GOOD1", *witness);
    // One address, a new identity on every connection.
    for (int number = 0; number < 300; ++number) {
        Station liar = station(controlBase, otherAddress);
        liar->write(QByteArray::number(number).rightJustified(4, '0') + "7(05)");
        QVERIFY(liar->waitForBytesWritten(5000));
        if (number % 50 == 49)
            QTest::qWait(50);
    }
    QTest::qWait(300);
    const Result listing = runOperator({QStringLiteral("stations")});
    QCOMPARE(listing.status, 0);
    const int fromLiar = int(listing.out.count(" 127.0.0.2 "));
    QVERIFY2(fromLiar > 0 && fromLiar <= 8, listing.out.constData());
    QVERIFY(listing.out.contains("\nGOOD1"));
    while (!staysSilent(*witness, 100))
        witness->readAll();
    good->write("GOOD1(09)");
    good->flush();
    QCOMPARE(readExactly(*witness, 9), QByteArray("GOOD1(09)"));
}

void TestConsole::consoleFolderPreparedByOthers_data() {
    QTest::addColumn<QString>("prepared");
    QTest::addColumn<QByteArray>("refusal");
    QTest::newRow("nothing there") << "none" << QByteArray();
    QTest::newRow("open to everyone") << "mode 777" << QByteArray("others may use it (mode 777)");
    QTest::newRow("another user's") << "other owner" << QByteArray("belongs to another user");
    QTest::newRow("symbolic link") << "link" << QByteArray("is a symbolic link");
}

void TestConsole::consoleFolderPreparedByOthers() {
    QFETCH(QString, prepared);
    QFETCH(QByteArray, refusal);
    if (prepared == QLatin1String("other owner") && ::getuid() != 0)
        QSKIP("only root can make a folder for another user");
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString folder = temp.filePath(QStringLiteral("marlox-relay-%1").arg(::getuid()));
    const QByteArray name = QFile::encodeName(folder);
    if (prepared == QLatin1String("mode 777")) {
        QCOMPARE(::mkdir(name.constData(), 0700), 0);
        QCOMPARE(::chmod(name.constData(), 0777), 0);
    } else if (prepared == QLatin1String("other owner")) {
        QCOMPARE(::mkdir(name.constData(), 0700), 0);
        QCOMPARE(::chown(name.constData(), 65534, 65534), 0);
    } else if (prepared == QLatin1String("link")) {
        const QByteArray target = QFile::encodeName(temp.filePath(QStringLiteral("elsewhere")));
        QCOMPARE(::mkdir(target.constData(), 0700), 0);
        QCOMPARE(::symlink(target.constData(), name.constData()), 0);
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    environment.insert(QStringLiteral("TMPDIR"), temp.path());

    QProcess relay;
    relay.setProcessEnvironment(environment);
    const QString logPath = temp.filePath(QStringLiteral("relay.log"));
    if (!refusal.isEmpty()) {
        relay.setStandardErrorFile(logPath);
        relay.start(QStringLiteral(MARLOX_RELAY_PATH),
                    {QStringLiteral("--port-offset"), QStringLiteral("23456")});
        QVERIFY(relay.waitForFinished(10000));
        QCOMPARE(relay.exitCode(), 2);
        const QByteArray said = readLog(logPath);
        QVERIFY2(said.contains("will not keep the console in " + name) && said.contains(refusal),
                 said.constData());
        return;
    }
    const int offset = startRelay(relay, logPath);
    QVERIFY(offset >= 0);
    struct stat info = {};
    QCOMPARE(::lstat(name.constData(), &info), 0);
    QVERIFY(S_ISDIR(info.st_mode));
    QCOMPARE(info.st_mode & 0777, mode_t(0700));
    // The operator finds the console there by itself.
    QProcess tool;
    tool.setProcessEnvironment(environment);
    tool.start(
        QStringLiteral(MARLOX_OPERATOR_PATH),
        {QStringLiteral("--port-offset"), QString::number(offset), QStringLiteral("stations")});
    QVERIFY(tool.waitForFinished(15000));
    QCOMPARE(tool.exitCode(), 0);
    QVERIFY(tool.readAllStandardOutput().startsWith("IDENTITY"));
    relay.terminate();
    QVERIFY(relay.waitForFinished(10000));
}

void TestConsole::operatorTalksOnlyToItsOwnUser() {
    if (::getuid() != 0)
        QSKIP("only root can answer as another user");
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QCOMPARE(::chmod(QFile::encodeName(temp.path()).constData(), 0777), 0);
    const QByteArray path = QFile::encodeName(temp.filePath(QStringLiteral("fake.console")));
    int ready[2];
    QCOMPARE(::pipe(ready), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // A fake console of another user, answering as the relay would.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        if (::bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::chmod(path.constData(), 0666) != 0 || ::listen(server, 1) != 0)
            ::_exit(4);
        char received[256];
        [[maybe_unused]] ssize_t done = ::write(ready[1], "r", 1);
        const int client = ::accept(server, nullptr, nullptr);
        pollfd wait = {client, POLLIN, 0};
        ::poll(&wait, 1, 3000);
        const ssize_t got = ::read(client, received, sizeof received);
        done = ::write(client, "ok\nfake reply\n", 14);
        const char told = got > 0 ? 'c' : 'n';
        done = ::write(ready[1], &told, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    QCOMPARE(::read(ready[0], &byte, 1), ssize_t(1));
    QProcess tool;
    tool.start(QStringLiteral(MARLOX_OPERATOR_PATH),
               {QStringLiteral("--console"), QFile::decodeName(path), QStringLiteral("ban"),
                QStringLiteral("ABCD1")});
    QVERIFY(tool.waitForFinished(15000));
    const QByteArray out = tool.readAllStandardOutput();
    const QByteArray err = tool.readAllStandardError();
    QCOMPARE(tool.exitCode(), 1);
    QVERIFY(!out.contains("fake reply"));
    QVERIFY2(err.contains("belongs to another user (uid 65534)"), err.constData());
    // The fake console heard no command.
    QCOMPARE(::read(ready[0], &byte, 1), ssize_t(1));
    QCOMPARE(byte, 'n');
    ::close(ready[0]);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

QTEST_GUILESS_MAIN(TestConsole)
#include "test_console.moc"
