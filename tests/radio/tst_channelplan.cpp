#include "radio/channelplan.h"

#include <QTest>

class ChannelPlanTest : public QObject {
    Q_OBJECT
private slots:
    void everyChannel_data();
    void everyChannel();
    void textsThatSelectNoChannel_data();
    void textsThatSelectNoChannel();
    void operatorChannel();
    void announcementFiles();
};

void ChannelPlanTest::everyChannel_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("display");
    QTest::addColumn<QString>("frequency");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("firstServer");
    QTest::addColumn<int>("port");

    // The band as it is broadcast to the users, gaps and the 23-25 swap included.
    const char *frequencies[40] = {
        "26.965", "26.975", "26.985", "27.005", "27.015", "27.025", "27.035", "27.055",
        "27.065", "27.075", "27.085", "27.105", "27.115", "27.125", "27.135", "27.155",
        "27.165", "27.175", "27.185", "27.205", "27.215", "27.225", "27.255", "27.235",
        "27.245", "27.265", "27.275", "27.285", "27.295", "27.305", "27.315", "27.325",
        "27.335", "27.345", "27.355", "27.365", "27.375", "27.385", "27.395", "27.405"};
    const QMap<int, QString> names = {{4, "Anrufkanal"},   {11, "Gateways"}, {24, "Daten-Kanal"},
                                      {25, "Daten-Kanal"}, {29, "Gateways"}, {34, "Gateways"},
                                      {39, "Gateways"}};
    const char *displays[40] = {"01", "02", "03", "04", "05", "06", "07", "08", "09", "10",
                                "11", "12", "13", "14", "15", "16", "17", "18", "19", "20",
                                "21", "22", "23", "24", "25", "26", "27", "28", "29", "30",
                                "31", "32", "33", "34", "35", "36", "37", "38", "39", "40"};
    for (int n = 1; n <= 40; ++n) {
        QTest::addRow("channel %d", n)
            << n << QString(displays[n - 1]) << QString(frequencies[n - 1]) + " MHz"
            << names.value(n) << (n <= 20) << 324 + n;
    }
}

void ChannelPlanTest::everyChannel() {
    QFETCH(int, number);
    QFETCH(QString, display);
    QFETCH(QString, frequency);
    QFETCH(QString, name);
    QFETCH(bool, firstServer);
    QFETCH(int, port);

    QCOMPARE(ChannelPlan::displayText(number), display);
    const ChannelEntry *entry = ChannelPlan::lookup(display);
    QVERIFY(entry);
    QCOMPARE(int(entry->number), number);
    QCOMPARE(entry->display, display);
    QCOMPARE(entry->frequency, frequency);
    QCOMPARE(entry->name, name);
    QCOMPARE(entry->server == ChannelServer::First, firstServer);
    QCOMPARE(int(entry->port), port);
}

void ChannelPlanTest::textsThatSelectNoChannel_data() {
    QTest::addColumn<QString>("display");
    for (const char *text : {"00", "41", "", "0", "4", " 4", "04 ", "1", "-1", "99", "ab"})
        QTest::addRow("\"%s\"", text) << QString(text);
}

void ChannelPlanTest::textsThatSelectNoChannel() {
    QFETCH(QString, display);
    QVERIFY(!ChannelPlan::lookup(display));
}

void ChannelPlanTest::operatorChannel() {
    const ChannelEntry &entry = ChannelPlan::operatorChannel();
    QCOMPARE(entry.display, QString("0"));
    QCOMPARE(entry.name, QString("Easter Egg"));
    QCOMPARE(entry.frequency, QString("27.000 MHz"));
    QCOMPARE(entry.server, ChannelServer::Second);
    QCOMPARE(int(entry.port), 999);
    // Stepping never reaches it: the lookup of its display finds no channel.
    QVERIFY(!ChannelPlan::lookup(entry.display));
}

void ChannelPlanTest::announcementFiles() {
    QCOMPARE(ChannelPlan::announcementFile(4), QString("wave-zahlen/4.wav"));
    QCOMPARE(ChannelPlan::announcementFile(40), QString("wave-zahlen/40.wav"));
}

QTEST_APPLESS_MAIN(ChannelPlanTest)
#include "tst_channelplan.moc"
