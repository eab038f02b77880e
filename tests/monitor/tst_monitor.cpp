// The activity panel: its feed from the control link, the decay, the
// channel pick, what a screen reader finds, and its life beside the radio.

#include "activitycontrols.h"
#include "control/MRLS_Einlog.h"
#include "monitor/Chat.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "system.h"

#include <QAccessible>
#include <QApplication>
#include <QTest>

using testsupport::ProgramFolder;
using testsupport::RecordingServer;

class MonitorTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void reportFillsItsChannelsBar_data();
    void reportFillsItsChannelsBar();
    void barsDrainOverThirtySeconds();
    void reportsBackToBackFillBothBars();
    void repeatedReportRefillsThroughTheLink();
    void pickTunesTheRadio_data();
    void pickTunesTheRadio();
    void screenReaderFindsBarsAndNumbers();
    void monitorKeyShowsAndHides();
    void faceplateFollowsThePanelStyle();
    void windowMayGoAtAnyTime();

private:
    void store(const QString &message);
    QList<float> fills() const;

    int m_offset = 0;
    std::unique_ptr<ProgramFolder> m_folder;
    std::unique_ptr<frmMain> m_radio;
    Chat *m_monitor = nullptr;
};

void MonitorTest::init() {
    m_offset = testsupport::freePortOffset();
    QVERIFY(m_offset > 0);
    vb::setEndProgramHandler([] {});
    m_folder = std::make_unique<ProgramFolder>(m_offset);
    m_folder->use();
    m_radio = std::make_unique<frmMain>(goldSkin());
    m_radio->Form_Load();
    m_monitor = &program::monitorWindow();
}

void MonitorTest::cleanup() {
    program::unloadMonitorWindow();
    program::unloadControlWindow();
    m_radio.reset();
    m_folder.reset();
}

// One data arrival on the control link, as its dispatcher passes it on.
void MonitorTest::store(const QString &message) {
    MRLS_Einlog &control = program::controlWindow();
    control.strMess = message;
    emit control.messageStored(message);
}

QList<float> MonitorTest::fills() const {
    QList<float> values;
    for (const vb::ActivityBar *bar : m_monitor->ProgressBar1)
        values.append(bar->value());
    return values;
}

void MonitorTest::reportFillsItsChannelsBar_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("channel"); // 0: no bar fills

    QTest::newRow("speech report") << "test4(04)" << 4;
    QTest::newRow("chat report, last channel") << "test4C(40)" << 40;
    QTest::newRow("first channel") << "ab1cd(01)" << 1;
    QTest::newRow("token alone") << "(12)" << 12;
    QTest::newRow("channel 00") << "test4(00)" << 0;
    QTest::newRow("above 40") << "test4(41)" << 0;
    QTest::newRow("far above 40") << "test4(99)" << 0;
    QTest::newRow("no opening parenthesis") << "test404)" << 0;
    QTest::newRow("three characters") << "04)" << 0;
    QTest::newRow("admin alarm") << "test4A04A" << 0;
    QTest::newRow("letter for a digit") << "test4(0a)" << 0;
    QTest::newRow("token not at the end") << "test4(04)x" << 0;
    QTest::newRow("operator command") << "test4Na-0" << 0;
    QTest::newRow("empty") << "" << 0;
}

void MonitorTest::reportFillsItsChannelsBar() {
    QFETCH(QString, message);
    QFETCH(int, channel);
    QVERIFY(!m_monitor->Timer3->running());

    store(message);
    QList<float> expected(Chat::channelCount, 0.0f);
    if (channel > 0)
        expected[channel - 1] = 100.0f;
    QCOMPARE(fills(), expected);
    QCOMPARE(m_monitor->lastSeenMessage, message);
    // Any message starts the decay, a report or not.
    QVERIFY(m_monitor->Timer3->running());
    QCOMPARE(m_monitor->Timer3->interval(), Chat::decayIntervalMs);
}

void MonitorTest::barsDrainOverThirtySeconds() {
    store("test4(04)");
    // 100 ticks of 300 ms are the 30 seconds the title speaks of.
    QCOMPARE(Chat::decayIntervalMs * 100, 30000);
    for (int n = 0; n < 50; ++n)
        m_monitor->Timer3_Timer();
    QCOMPARE(m_monitor->ProgressBar1[3]->value(), 50.0f);
    for (int n = 0; n < 49; ++n)
        m_monitor->Timer3_Timer();
    QCOMPARE(m_monitor->ProgressBar1[3]->value(), 1.0f);
    m_monitor->Timer3_Timer();
    QCOMPARE(m_monitor->ProgressBar1[3]->value(), 0.0f);
    for (int n = 0; n < 5; ++n)
        m_monitor->Timer3_Timer();
    QCOMPARE(fills(), QList<float>(Chat::channelCount, 0.0f));

    // A further report while the decay runs leaves its rhythm alone.
    store("test4(05)");
    QCOMPARE(m_monitor->Timer3->interval(), Chat::decayIntervalMs);
    QCOMPARE(m_monitor->ProgressBar1[4]->value(), 100.0f);
}

void MonitorTest::reportsBackToBackFillBothBars() {
    // Two data arrivals, no event in between: both channels light.
    store("abcd1(03)");
    store("efgh2(17)");
    QCOMPARE(m_monitor->ProgressBar1[2]->value(), 100.0f);
    QCOMPARE(m_monitor->ProgressBar1[16]->value(), 100.0f);
    QCOMPARE(m_monitor->lastSeenMessage, QString("efgh2(17)"));
}

void MonitorTest::repeatedReportRefillsThroughTheLink() {
    // The control link restarts on its watchdog tick; the server is up now.
    RecordingServer server("127.0.0.2", 324 + m_offset);
    QVERIFY(server.listening());
    MRLS_Einlog &control = program::controlWindow();
    control.Timer1_Timer();
    QTRY_COMPARE(control.WinSock[0]->state(), int(Winsock::sckConnected));
    QTRY_VERIFY(server.connection(0));

    // The decay runs for real here: a bar read a tick after its report shows 99.
    const auto bar = [this] { return m_monitor->ProgressBar1[6]->value(); };
    server.connection(0)->write("abcd1(07)");
    QTRY_VERIFY(bar() > 95.0f);
    for (int n = 0; n < 30; ++n)
        m_monitor->Timer3_Timer();
    QVERIFY(bar() <= 70.0f);
    // The same station on the same channel again: the same text refills.
    server.connection(0)->write("abcd1(07)");
    QTRY_VERIFY(bar() > 95.0f);
}

void MonitorTest::pickTunesTheRadio_data() {
    QTest::addColumn<QString>("via");
    QTest::addColumn<bool>("kicked");
    for (const char *via : {"number", "bar", "screen reader"}) {
        QTest::addRow("%s", via) << via << false;
        QTest::addRow("%s while kicked", via) << via << true;
    }
}

void MonitorTest::pickTunesTheRadio() {
    QFETCH(QString, via);
    QFETCH(bool, kicked);
    m_monitor->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_monitor));
    program::controlWindow().kicken = kicked ? 1 : 0;
    const QString before = m_radio->Label4->caption();
    store("test4(07)");
    // Held still, so that only the pick could change the bars.
    m_monitor->Timer3->setInterval(0);
    const QList<float> filled = fills();

    if (via == "number") {
        QTest::mouseClick(m_monitor->Label4[6], Qt::LeftButton);
    } else if (via == "bar") {
        QTest::mouseClick(m_monitor->ProgressBar1[6], Qt::LeftButton);
    } else {
        QAccessibleInterface *number = QAccessible::queryAccessibleInterface(m_monitor->Label4[6]);
        QVERIFY(number && number->actionInterface());
        number->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    }

    QCOMPARE(m_radio->Text1->text(), QString("07"));
    if (kicked) {
        QCOMPARE(m_radio->Label4->caption(), before);
    } else {
        QCOMPARE(m_radio->Label4->caption(), QString("07"));
        QCOMPARE(m_radio->kanalbild, qint16(7));
    }
    // The pick leaves the bars and the panel as they were.
    QCOMPARE(fills(), filled);
    QVERIFY(m_monitor->isVisible());
}

void MonitorTest::screenReaderFindsBarsAndNumbers() {
    store("test4(09)");
    for (int k = 0; k < Chat::channelCount; ++k) {
        const QString number = QStringLiteral("%1").arg(k + 1, 2, 10, QLatin1Char('0'));
        QAccessibleInterface *bar =
            QAccessible::queryAccessibleInterface(m_monitor->ProgressBar1[k]);
        QVERIFY(bar);
        QCOMPARE(bar->role(), QAccessible::ProgressBar);
        QCOMPARE(bar->text(QAccessible::Name), QStringLiteral("Kanal ") + number);
        QVERIFY(bar->valueInterface());
        // The decay may have run a tick meanwhile: the value is the bar's fill.
        const double fill = m_monitor->ProgressBar1[k]->value();
        QCOMPARE(bar->valueInterface()->currentValue().toDouble(), fill);
        QVERIFY(k == 8 ? fill > 90 : fill == 0);
        QCOMPARE(bar->valueInterface()->maximumValue().toDouble(), 100.0);

        QAccessibleInterface *label = QAccessible::queryAccessibleInterface(m_monitor->Label4[k]);
        QVERIFY(label);
        QCOMPARE(label->role(), QAccessible::Button);
        QCOMPARE(label->text(QAccessible::Name), number);
        QVERIFY(label->actionInterface()->actionNames().contains(
            QAccessibleActionInterface::pressAction()));
    }
    // The value follows the decay.
    m_monitor->Timer3_Timer();
    QAccessibleInterface *bar = QAccessible::queryAccessibleInterface(m_monitor->ProgressBar1[8]);
    QCOMPARE(bar->valueInterface()->currentValue().toDouble(), 99.0);
}

void MonitorTest::monitorKeyShowsAndHides() {
    program::unloadMonitorWindow();
    emit m_radio->Label44->Click();
    QVERIFY(program::monitorWindowLoaded());
    Chat &monitor = program::monitorWindow();
    QVERIFY(monitor.isVisible());
    QCOMPARE(m_radio->monitorShown, qint16(1));
    QCOMPARE(m_radio->Label44->caption(), QString("Aus"));
    QCOMPARE(m_radio->Image17->borderStyle(), 1);
    QCOMPARE(m_radio->Label44->foreColor(), 255u);

    emit m_radio->Label44->Click();
    QVERIFY(!monitor.isVisible());
    QCOMPARE(m_radio->monitorShown, qint16(0));
    QCOMPARE(m_radio->Label44->caption(), QString("Ein"));
    QCOMPARE(m_radio->Image17->borderStyle(), 0);
    // Back to the key's own resting ink: black would vanish on its dark face.
    QCOMPARE(m_radio->Label44->foreColor(), restingInk(m_radio->skin(), "Label44"));
    QVERIFY(m_radio->Label44->foreColor() != m_radio->Label44->backColor());

    // Hidden, the panel goes on listening.
    store("test4(22)");
    QCOMPARE(monitor.ProgressBar1[21]->value(), 100.0f);
    QVERIFY(monitor.Timer3->running());

    // Closed by the window system: the key follows.
    emit m_radio->Label44->Click();
    QVERIFY(monitor.isVisible());
    monitor.close();
    QVERIFY(!monitor.isVisible());
    QCOMPARE(m_radio->monitorShown, qint16(0));
    QCOMPARE(m_radio->Label44->caption(), QString("Ein"));
}

void MonitorTest::faceplateFollowsThePanelStyle() {
    // The faceplate shows below the hint line: light gold in the first
    // style, dark in the fourth (black-gold).
    const auto plateLightness = [this] {
        return m_monitor->grab().toImage().pixelColor(150, 202).lightness();
    };
    QVERIFY(plateLightness() > 150);
    m_radio->panelStyle = 4;
    m_radio->ApplyPanelStyle();
    QVERIFY(plateLightness() < 100);

    // A panel loaded later starts in the radio's style.
    program::unloadMonitorWindow();
    m_monitor = &program::monitorWindow();
    QVERIFY(plateLightness() < 100);
    m_radio->panelStyle = 1;
    m_radio->ApplyPanelStyle();
    QVERIFY(plateLightness() > 150);
}

void MonitorTest::windowMayGoAtAnyTime() {
    // Loaded hidden, then shown and moved where the radio wants it.
    QVERIFY(!m_monitor->isVisible());
    m_monitor->move(321, 123);
    m_monitor->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_monitor));
    QCOMPARE(m_monitor->pos(), QPoint(321, 123));

    // Switch-off while the decay runs and the screen reader holds the bars.
    store("test4(04)");
    QVERIFY(QAccessible::queryAccessibleInterface(m_monitor->ProgressBar1[3]));
    program::unloadMonitorWindow();
    QVERIFY(!program::monitorWindowLoaded());
    store("test4(05)");
    QTest::qWait(2 * Chat::decayIntervalMs);

    // Loaded again, it listens again; the control link may then go first.
    Chat &again = program::monitorWindow();
    store("test4(06)");
    QCOMPARE(again.ProgressBar1[5]->value(), 100.0f);
    program::unloadControlWindow();
    again.Timer3_Timer();
    program::unloadMonitorWindow();

    // After a ban the radio may still place its panel once more: that must
    // not bring back the link to the operators.
    program::monitorWindow();
    QVERIFY(!program::controlWindowLoaded());
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    MonitorTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_monitor.moc"
