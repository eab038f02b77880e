// The relay's bookkeeping in process: the table of station identities, the
// allowance that holds a station to a rate, the log that folds bursts, and the
// file that keeps the bans.
#include "banlist.h"
#include "eventlog.h"
#include "stationlimits.h"
#include "stations.h"

#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

namespace {

// Stands for a connection: the table only compares the pointers.
QTcpSocket *connection(quintptr number) {
    return reinterpret_cast<QTcpSocket *>(number * 16);
}

QByteArray identity(int number) {
    return "ID" + QByteArray::number(number % 100).rightJustified(2, '0') +
           QByteArray::number(number / 100 % 10);
}

QHostAddress ipv4(quint32 number) {
    return QHostAddress(0x0a000000u + number);
}

} // namespace

class TestStationTable : public QObject {
    Q_OBJECT
private slots:
    void identityBelongsToItsFirstConnection_data();
    void identityBelongsToItsFirstConnection();
    void identitiesPerAddressAreBounded_data();
    void identitiesPerAddressAreBounded();
    void goneIdentitiesAreForgotten();
    void floodOfAddressesStaysBounded();
    void allowanceHoldsToRate_data();
    void allowanceHoldsToRate();
    void stateChangesAreNeverFolded();
    void bansSurviveARestartOrSayWhyNot();
};

void TestStationTable::identityBelongsToItsFirstConnection_data() {
    QTest::addColumn<QString>("second");
    QTest::newRow("same address") << "10.0.0.1";
    QTest::newRow("other address") << "10.0.0.9";
    QTest::newRow("same address, IPv6") << "::ffff:10.0.0.1";
}

void TestStationTable::identityBelongsToItsFirstConnection() {
    QFETCH(QString, second);
    StationTable table;
    const QHostAddress first(QStringLiteral("10.0.0.1"));
    QCOMPARE(table.note("VICT1", connection(1), first, "05"), StationTable::Noted::Yes);
    QCOMPARE(table.note("VICT1", connection(2), QHostAddress(second), "07"),
             StationTable::Noted::HeldElsewhere);
    QCOMPARE(table.find("VICT1")->connection, connection(1));
    QCOMPARE(table.find("VICT1")->channel, QByteArray("05"));
    // One connection speaks for one identity.
    QCOMPARE(table.note("OTHR2", connection(1), first, "05"), StationTable::Noted::HeldElsewhere);
    QVERIFY(!table.find("OTHR2"));

    // Once the first has left, the identity is free again.
    table.release(connection(1));
    QCOMPARE(table.find("VICT1")->connection, nullptr);
    QCOMPARE(table.note("VICT1", connection(2), QHostAddress(second), "07"),
             StationTable::Noted::Yes);
    QCOMPARE(table.find("VICT1")->connection, connection(2));
    QCOMPARE(table.size(), 1);
}

void TestStationTable::identitiesPerAddressAreBounded_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("sameGroup");
    QTest::newRow("IPv4") << "10.0.0.1"
                          << "10.0.0.1";
    QTest::newRow("IPv6 in one /64") << "2001:db8:1:2::1"
                                     << "2001:db8:1:2:ffff::77";
}

void TestStationTable::identitiesPerAddressAreBounded() {
    QFETCH(QString, address);
    QFETCH(QString, sameGroup);
    StationTable table;
    // A well-behaved station elsewhere.
    QCOMPARE(table.note("GOOD1", connection(99999), QHostAddress(QStringLiteral("10.9.9.9")), "05"),
             StationTable::Noted::Yes);
    // Made-up identities, one connection each, every one gone at once.
    for (int number = 0; number < 1000; ++number) {
        const QHostAddress from(number % 2 ? address : sameGroup);
        QCOMPARE(table.note(identity(number), connection(number + 1), from, "01"),
                 StationTable::Noted::Yes);
        table.release(connection(number + 1));
    }
    QCOMPARE(table.size(), StationTable::maxPerAddress + 1);
    // The newest are kept, the well-behaved one too.
    QVERIFY(table.find(identity(999)));
    QVERIFY(!table.find(identity(0)));
    QVERIFY(table.find("GOOD1"));

    // Live identities are not pushed out: with all of them live the next is refused.
    StationTable live;
    for (int number = 0; number < StationTable::maxPerAddress; ++number)
        QCOMPARE(live.note(identity(number), connection(number + 1), QHostAddress(address), "01"),
                 StationTable::Noted::Yes);
    QCOMPARE(live.note("LAST9", connection(500), QHostAddress(sameGroup), "01"),
             StationTable::Noted::AddressFull);
    QVERIFY(!live.find("LAST9"));
    // Another address is not affected.
    QCOMPARE(live.note("LAST9", connection(500), QHostAddress(QStringLiteral("10.7.7.7")), "01"),
             StationTable::Noted::Yes);
    // One leaves, and the address has room again.
    live.release(connection(1));
    QCOMPARE(live.note("NEXT9", connection(501), QHostAddress(address), "01"),
             StationTable::Noted::Yes);
    QVERIFY(!live.find(identity(0)));
}

void TestStationTable::goneIdentitiesAreForgotten() {
    qint64 nowMs = 0;
    StationTable table([&nowMs] { return nowMs; });
    const QHostAddress address(QStringLiteral("10.0.0.1"));
    QCOMPARE(table.note("GONE1", connection(1), address, "05"), StationTable::Noted::Yes);
    QCOMPARE(table.note("STAY2", connection(2), address, "06"), StationTable::Noted::Yes);
    table.release(connection(1));
    nowMs = StationTable::forgetAfterSecs * 1000 - 1;
    QCOMPARE(table.note("STAY2", connection(2), address, {}), StationTable::Noted::Yes);
    QVERIFY(table.find("GONE1"));
    nowMs += 1;
    // A live identity stays however long it has been silent.
    nowMs += 24 * 3600 * 1000;
    QCOMPARE(table.note("NEW03", connection(3), address, "07"), StationTable::Noted::Yes);
    QVERIFY(!table.find("GONE1"));
    QVERIFY(table.find("STAY2"));
    QCOMPARE(table.entries().size(), 2);
    // A gone identity that comes back before it is forgotten is live again.
    table.release(connection(3));
    nowMs += 1000;
    QCOMPARE(table.note("NEW03", connection(4), address, "08"), StationTable::Noted::Yes);
    nowMs += StationTable::forgetAfterSecs * 1000;
    table.release(connection(2));
    QVERIFY(table.find("NEW03"));
}

void TestStationTable::floodOfAddressesStaysBounded() {
    // 25 000 connections from as many addresses, each with a made-up identity.
    StationTable table;
    const QHostAddress goodAddress(QStringLiteral("192.168.1.5"));
    QCOMPARE(table.note("GOOD1", connection(1), goodAddress, "05"), StationTable::Noted::Yes);
    for (int number = 0; number < 25000; ++number) {
        const QByteArray made = "X" + QByteArray::number(number).rightJustified(5, '0');
        QCOMPARE(table.note(made, connection(number + 2), ipv4(quint32(number)), "01"),
                 StationTable::Noted::Yes);
        table.release(connection(number + 2));
        QVERIFY(table.size() <= StationTable::maxEntries);
    }
    QCOMPARE(table.size(), StationTable::maxEntries);
    QCOMPARE(table.find("GOOD1")->connection, connection(1));
    QCOMPARE(table.entries().size(), StationTable::maxEntries);
    // A table full of live identities refuses a new one rather than drop a live one.
    StationTable full;
    for (int number = 0; number < StationTable::maxEntries; ++number)
        full.note("L" + QByteArray::number(number), connection(number + 1), ipv4(quint32(number)),
                  "01");
    QCOMPARE(full.note("LATE9", connection(99999), goodAddress, "01"),
             StationTable::Noted::TableFull);
    QCOMPARE(full.size(), StationTable::maxEntries);
}

void TestStationTable::allowanceHoldsToRate_data() {
    QTest::addColumn<double>("perSecond");
    QTest::addColumn<double>("burst");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<double>("cost");
    QTest::addColumn<int>("expected");
    // 100 attempts each.
    QTest::newRow("flood of reports") << 1.0 << 4.0 << 0 << 1.0 << 4;
    QTest::newRow("reports every 100 ms") << 1.0 << 4.0 << 100 << 1.0 << 4 + 9;
    QTest::newRow("radio's own pace") << 1.0 << 4.0 << 1000 << 1.0 << 100;
    QTest::newRow("chat flood") << 3.0 << 8.0 << 20 << 1.0 << 8 + 5;
    QTest::newRow("long chat pieces") << 3.0 << 8.0 << 0 << 8.0 << 1;
    QTest::newRow("person typing") << 3.0 << 8.0 << 2000 << 1.0 << 100;
}

void TestStationTable::allowanceHoldsToRate() {
    QFETCH(double, perSecond);
    QFETCH(double, burst);
    QFETCH(int, intervalMs);
    QFETCH(double, cost);
    QFETCH(int, expected);
    RateAllowance allowance(perSecond, burst);
    int passed = 0;
    for (int attempt = 0; attempt < 100; ++attempt)
        passed += allowance.take(qint64(attempt) * intervalMs + 5000, cost) ? 1 : 0;
    QCOMPARE(passed, expected);
}

void TestStationTable::stateChangesAreNeverFolded() {
    QTemporaryFile capture;
    QVERIFY(capture.open());
    std::fflush(stderr);
    const int savedStderr = ::dup(2);
    QVERIFY(::dup2(capture.handle(), 2) >= 0);
    const QStringList kept = {
        QStringLiteral("accepting paused on every port: 900 connections held, the last 32 "
                       "descriptors kept in reserve"),
        QStringLiteral("accepting paused on port 349 (channel 25): Too many open files"),
        QStringLiteral("banned 127.0.0.9 for 60 minutes"),
        QStringLiteral("disconnect 127.0.0.1:5000 on port 329 (channel 5), 3 connected, too "
                       "slow a reader for 10 s"),
        QStringLiteral("accepting again on every port: 800 connections held"),
    };
    {
        EventLog log(false, 5);
        for (int line = 0; line < 200; ++line) {
            log.write(QStringLiteral("connect 127.0.0.1:%1 on port 329").arg(line), 329,
                      QStringLiteral("on port 329 (channel 5), %1 connected").arg(line));
            if (line % 40 == 39)
                log.write(kept[line / 40]);
        }
    }
    std::fflush(stderr);
    ::dup2(savedStderr, 2);
    ::close(savedStderr);
    capture.seek(0);
    const QString text = QString::fromLocal8Bit(capture.readAll());
    for (const QString &line : kept)
        QVERIFY2(text.contains(line), qPrintable(line));
    // The ordinary lines were still folded.
    QVERIFY(text.contains(QStringLiteral("not shown")));
    QVERIFY(text.count(QStringLiteral(": connect ")) < 20);
    QVERIFY(!EventLog::tellsStateChange(QStringLiteral("connect 127.0.0.1:5 on port 324")));
}

// A ban is written to the file at once and read back by the next relay; where
// the file cannot be written the operator is told which, and the ban still
// holds until the relay stops.
void TestStationTable::bansSurviveARestartOrSayWhyNot() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString error;
    const QHostAddress banned(QStringLiteral("192.0.2.7"));
    BanList written(dir.filePath(QStringLiteral("bans.txt")));
    QVERIFY2(written.ban(banned, 60, &error), qPrintable(error));
    BanList restarted(dir.filePath(QStringLiteral("bans.txt")));
    QVERIFY2(restarted.load(&error), qPrintable(error));
    QVERIFY(restarted.isBanned(QHostAddress(QStringLiteral("::ffff:192.0.2.7"))));
    QVERIFY(!restarted.isBanned(QHostAddress(QStringLiteral("192.0.2.8"))));

    const QString unwritable = dir.filePath(QStringLiteral("missing/bans.txt"));
    BanList lost(unwritable);
    QVERIFY(!lost.ban(banned, 60, &error));
    QVERIFY2(error.startsWith(QStringLiteral("cannot write %1: ").arg(unwritable)),
             qPrintable(error));
    QVERIFY(lost.isBanned(banned));
}

QTEST_GUILESS_MAIN(TestStationTable)
#include "test_stationtable.moc"
