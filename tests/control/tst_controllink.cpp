#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "system.h"

#include <QApplication>
#include <QTest>

using testsupport::ProgramFolder;
using testsupport::RecordingServer;

class ControlLinkTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void speechReportFollowsStartup();
    void reportsCarryTheChatTagForElevenTicks();
    void alarmWhileTheLinkIsDownIsLost();
    void alarmWhileTheLinkIsUp();
    void watchdogRestartsTheLink();
    void sequencerCountsDownAndSaturates();
    void floodAndGarbageKeepOnlyTheEnd();

private:
    MRLS_Einlog &startRadio();
    void tick(int times);

    int m_offset = 0;
    std::unique_ptr<ProgramFolder> m_folder;
    std::unique_ptr<frmMain> m_radio;
};

void ControlLinkTest::init() {
    m_offset = testsupport::freePortOffset();
    QVERIFY(m_offset > 0);
    vb::setEndProgramHandler([] {});
}

void ControlLinkTest::cleanup() {
    program::unloadControlWindow();
    m_radio.reset();
    m_folder.reset();
}

MRLS_Einlog &ControlLinkTest::startRadio() {
    m_folder = std::make_unique<ProgramFolder>(m_offset);
    m_folder->use();
    m_radio = std::make_unique<frmMain>(goldSkin());
    m_radio->Form_Load();
    return program::controlWindow();
}

void ControlLinkTest::tick(int times) {
    for (int n = 0; n < times; ++n)
        program::controlWindow().starttimer_Timer();
}

void ControlLinkTest::speechReportFollowsStartup() {
    RecordingServer server("127.0.0.2", 324 + m_offset);
    QVERIFY(server.listening());
    MRLS_Einlog &control = startRadio();
    QCOMPARE(control.s, QString("test4"));
    QTRY_COMPARE(control.WinSock[0]->state(), int(Winsock::sckConnected));
    QCOMPARE(server.connectionCount(), 1);

    tick(4);
    QTest::qWait(100);
    // The connection completed after the request returned: no greeting.
    QCOMPARE(server.received(0), QByteArray());
    tick(1);
    // The display before the first step up: one below the stored channel.
    QTRY_COMPARE(server.received(0), QByteArray("test4(03)"));
    tick(10);
    QTest::qWait(100);
    QCOMPARE(server.received(0), QByteArray("test4(03)"));
}

void ControlLinkTest::reportsCarryTheChatTagForElevenTicks() {
    RecordingServer server("127.0.0.2", 324 + m_offset);
    MRLS_Einlog &control = startRadio();
    QTRY_COMPARE(control.WinSock[0]->state(), int(Winsock::sckConnected));
    tick(8);
    QTRY_COMPARE(server.received(0), QByteArray("test4(03)"));
    const auto reports = [&server] { return server.received(0).mid(9); };

    // A chat line and a transmission in the same second give one report.
    control.cha = "C";
    control.kanalzeig = "07";
    control.i = 4;
    control.i = 4;
    tick(1);
    QTRY_COMPARE(reports(), QByteArray("test4C(07)"));
    for (int n = 0; n < 10; ++n)
        control.Timer10_Timer();
    QCOMPARE(control.cha, QString("C"));
    control.i = 4;
    tick(1);
    QTRY_COMPARE(reports(), QByteArray("test4C(07)test4C(07)"));
    // The second report restarted the tag timer.
    for (int n = 0; n < 10; ++n)
        control.Timer10_Timer();
    QCOMPARE(control.cha, QString("C"));
    control.Timer10_Timer();
    QCOMPARE(control.cha, QString());
    QCOMPARE(control.Timer10->interval(), 0);
    control.i = 4;
    tick(1);
    QTRY_COMPARE(reports(), QByteArray("test4C(07)test4C(07)test4(07)"));
}

void ControlLinkTest::alarmWhileTheLinkIsDownIsLost() {
    MRLS_Einlog &control = startRadio();
    control.kanalzeig = "12";
    control.cmdSend1_Click();

    RecordingServer server("127.0.0.2", 324 + m_offset);
    control.Timer1_Timer();
    QTRY_COMPARE(control.WinSock[0]->state(), int(Winsock::sckConnected));
    QTest::qWait(200);
    QCOMPARE(server.allReceived(), QByteArray());
}

void ControlLinkTest::alarmWhileTheLinkIsUp() {
    RecordingServer server("127.0.0.2", 324 + m_offset);
    MRLS_Einlog &control = startRadio();
    QTRY_COMPARE(control.WinSock[0]->state(), int(Winsock::sckConnected));
    control.kanalzeig = "12";
    control.cmdSend1_Click();
    QTRY_COMPARE(server.received(0), QByteArray("test4A12A"));
    QCOMPARE(control.Timer10->interval(), 0);
}

void ControlLinkTest::watchdogRestartsTheLink() {
    MRLS_Einlog &control = startRadio();
    QTest::qWait(100);
    QVERIFY(control.WinSock[0]->state() != Winsock::sckConnected);

    auto server = std::make_unique<RecordingServer>("127.0.0.2", 324 + m_offset);
    control.Timer1_Timer();
    QTRY_COMPARE(control.WinSock[0]->state(), int(Winsock::sckConnected));
    QCOMPARE(server->connectionCount(), 1);

    // A link that is up is left alone.
    control.Timer1_Timer();
    QCOMPARE(server->connectionCount(), 1);

    // A dropped link is started again; an attempt still under way at the
    // next tick is dropped and made anew.
    server->closeAll();
    QTRY_VERIFY(control.WinSock[0]->state() != Winsock::sckConnected);
    control.Timer1_Timer();
    QVERIFY(control.WinSock[0]->state() != Winsock::sckConnected);
    control.Timer1_Timer();
    QTRY_COMPARE(control.WinSock[0]->state(), int(Winsock::sckConnected));
    QTRY_VERIFY(server->connectionCount() >= 2);
}

void ControlLinkTest::sequencerCountsDownAndSaturates() {
    MRLS_Einlog &control = startRadio();
    tick(1);
    QCOMPARE(control.Label1->caption(), QString("Programmstart 6 Sek."));
    tick(8);
    QCOMPARE(control.Label1->caption(), QString("Programmstart -2 Sek."));
    QVERIFY(m_radio->isVisible());
    control.i = 32767;
    tick(3);
    QCOMPARE(control.i, qint16(32767));
}

void ControlLinkTest::floodAndGarbageKeepOnlyTheEnd() {
    RecordingServer server("127.0.0.2", 324 + m_offset);
    MRLS_Einlog &control = startRadio();
    QTRY_COMPARE(server.connectionCount(), 1);
    QByteArray flood(10 * 1024 * 1024, '\x9c');
    flood += "abcd7(04)";
    server.connection(0)->write(flood);
    QTRY_VERIFY(control.strMess.endsWith("abcd7(04)"));
    QVERIFY(control.strMess.size() <= MRLS_Einlog::longestMessage);

    server.connection(0)->write(QByteArray("\x00\x01\xff\x80", 4));
    QTRY_COMPARE(control.strMess, QString() + QChar(0) + QChar(1) + QChar(0xff) + QChar(0x20ac));
    server.connection(0)->abort();
    QTRY_VERIFY(control.WinSock[0]->state() != Winsock::sckConnected);
    control.Timer1_Timer();
    QTRY_COMPARE(control.WinSock[0]->state(), int(Winsock::sckConnected));
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    ControlLinkTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_controllink.moc"
