// Two radios and the relay: one keys on channel 12, and the other's activity
// panel lights channel 12 from the report its control link passes on, then
// drains it. The talking radio runs in a process of its own (ptt_station).

#include "activitycontrols.h"
#include "airsupport.h"
#include "control/MRLS_Einlog.h"
#include "monitor/Chat.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "relayprocess.h"
#include "system.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

class MonitorAirTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void keyingOnOneRadioLightsTheOthersPanel();

private:
    std::unique_ptr<testsupport::ProgramFolder> folder(const QByteArray &channel);

    QTemporaryDir m_logs;
    QProcess m_relay;
    int m_offset = -1;
};

void MonitorAirTest::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no test audio server: run through scripts/test");
    m_offset = testsupport::startRelay(m_relay, m_logs.filePath("relay.log"));
    QVERIFY(m_offset > 0);
    vb::setEndProgramHandler([] {});
}

void MonitorAirTest::cleanupTestCase() {
    program::unloadMonitorWindow();
    program::unloadControlWindow();
    m_relay.terminate();
    m_relay.waitForFinished();
}

std::unique_ptr<testsupport::ProgramFolder> MonitorAirTest::folder(const QByteArray &channel) {
    return std::make_unique<testsupport::ProgramFolder>(testsupport::Servers(m_offset),
                                                        testsupport::Options().channel(channel));
}

void MonitorAirTest::keyingOnOneRadioLightsTheOthersPanel() {
    const auto talkerFolder = folder("12");
    air::Station talker;
    QVERIFY(talker.start(QStringLiteral(PTT_STATION), talkerFolder->path()));

    const auto listenerFolder = folder("30");
    listenerFolder->use();
    frmMain listener(goldSkin());
    listener.Form_Load();
    listener.Image12_Click();
    QTRY_VERIFY(listener.voiceConnected);
    listener.Label44_Click();
    Chat &monitor = program::monitorWindow();
    QVERIFY(monitor.isVisible());
    QVERIFY(testsupport::waitForStations(m_logs.filePath("relay.log"), 324 + m_offset, 2));

    // What the panel shows the moment each report is stored; the decay runs
    // for real meanwhile, so a later look may find a tick taken off.
    QElapsedTimer sinceKeyed;
    float reportFill = -1;
    qint64 reportMs = -1;
    connect(&program::controlWindow(), &MRLS_Einlog::messageStored, &monitor,
            [&](const QString &message) {
                if (message.endsWith("(12)") && reportFill < 0) {
                    reportFill = monitor.ProgressBar1[11]->value();
                    reportMs = sinceKeyed.isValid() ? sinceKeyed.elapsed() : -1;
                }
            });

    // Both radios report once after start-up, each with the channel below
    // its stored one: the talker's (11) shows that the path is there.
    QTRY_VERIFY_WITH_TIMEOUT(monitor.ProgressBar1[10]->value() > 0.0f, 10000);
    QCOMPARE(reportFill, -1.0f);
    QCOMPARE(monitor.ProgressBar1[11]->value(), 0.0f);

    sinceKeyed.start();
    QVERIFY(talker.command("press", "keyed"));
    // The talker's report leaves on its sequencer's next one-second tick.
    QTRY_VERIFY_WITH_TIMEOUT(reportFill >= 0, 3000);
    qInfo("channel 12 lit %lld ms after the key went down", reportMs);
    QCOMPARE(reportFill, 100.0f);
    QVERIFY(reportMs >= 0 && reportMs < 2000);
    QCOMPARE(listener.kanalbild, qint16(30));

    // Then 30 s of decay, 100 ticks of 300 ms: those not yet taken by the
    // running timer are taken here.
    QCOMPARE(monitor.Timer3->interval(), 300);
    const int ticksLeft = int(monitor.ProgressBar1[11]->value());
    QVERIFY(ticksLeft > 90);
    for (int n = 1; n < ticksLeft; ++n)
        monitor.Timer3_Timer();
    QCOMPARE(monitor.ProgressBar1[11]->value(), 1.0f);
    monitor.Timer3_Timer();
    QCOMPARE(monitor.ProgressBar1[11]->value(), 0.0f);
    QVERIFY(talker.command("release", "released"));
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    MonitorAirTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_monitorair.moc"
