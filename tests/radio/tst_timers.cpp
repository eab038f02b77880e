// The main window's timers and small keys, driven through their handlers.

#include "chat/mrlxchat.h"
#include "compact/Form1.h"
#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "system.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

using testsupport::ProgramFolder;

class TimersTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void oneMillisecondTimerWakesAtTheClockPaceAtMost();
    void countingTimersStopAtTheirLimit_data();
    void countingTimersStopAtTheirLimit();
    void scanStepsUpAndRelightsTheDisplay();
    void kickedScanKeepsTheChannel();
    void alwaysOnTopKeepsPlaceAndFocus();
    void chatKeyOpensAndCloses();
    void backFromTheCompactWindow();

private:
    frmMain &startRadio();

    std::unique_ptr<ProgramFolder> m_folder;
    std::unique_ptr<frmMain> m_radio;
};

void TimersTest::init() {
    vb::setEndProgramHandler([] {});
}

void TimersTest::cleanup() {
    QApplication::processEvents();
    program::unloadCompactWindow();
    program::unloadChatWindow();
    program::unloadControlWindow();
    m_radio.reset();
    m_folder.reset();
}

// Channel 04 on the display, switched off, no server anywhere.
frmMain &TimersTest::startRadio() {
    m_folder = std::make_unique<ProgramFolder>(testsupport::freePortOffset(),
                                               testsupport::Options().channel("05"));
    m_folder->use();
    m_radio = std::make_unique<frmMain>(goldSkin());
    m_radio->Form_Load();
    return *m_radio;
}

void TimersTest::oneMillisecondTimerWakesAtTheClockPaceAtMost() {
    QObject owner;
    int ticks = 0;
    vb::Timer timer(&owner, "timer", [&ticks] { ++ticks; });
    QElapsedTimer clock;
    clock.start();
    timer.setInterval(1);
    QTest::qWait(500);
    const qint64 elapsedMs = clock.elapsed();
    QVERIFY2(ticks <= elapsedMs / vb::Timer::shortestIntervalMs + 2,
             qPrintable(QString::number(ticks)));
    QVERIFY(ticks >= 10);
}

void TimersTest::countingTimersStopAtTheirLimit_data() {
    QTest::addColumn<QString>("timer");
    QTest::addColumn<int>("limit");
    QTest::newRow("Timer7 volume display") << "Timer7" << 5;
    QTest::newRow("Timer9 hold counter") << "Timer9" << 200;
}

void TimersTest::countingTimersStopAtTheirLimit() {
    QFETCH(QString, timer);
    QFETCH(int, limit);
    frmMain &radio = startRadio();
    const bool volume = timer == "Timer7";
    vb::Timer *running = volume ? radio.Timer7 : radio.Timer9;
    if (volume)
        radio.Image12_Click();
    else
        running->setInterval(1);
    const auto tick = [&] { volume ? radio.Timer7_Timer() : radio.Timer9_Timer(); };
    for (int n = 1; n < limit; ++n)
        tick();
    QVERIFY(running->running());
    if (volume)
        QVERIFY(radio.Label42->visible());
    else
        QCOMPARE(radio.holdTicks, qint16(limit - 1));
    tick();
    QVERIFY(!running->running());
    if (volume) {
        QVERIFY(!radio.Label42->visible());
        QVERIFY(!radio.ProgressBar3->visible());
    } else {
        QCOMPARE(radio.holdTicks, qint16(0));
    }
}

void TimersTest::scanStepsUpAndRelightsTheDisplay() {
    frmMain &radio = startRadio();
    radio.Image12_Click();
    QCOMPARE(radio.Label4->caption(), QString("05"));
    radio.Timer1->setInterval(2000);
    radio.Timer1_Timer();
    radio.Timer1_Timer();
    QCOMPARE(radio.Label4->caption(), QString("07"));
    QCOMPARE(radio.Label4->backColor(), 0x80C0FFu);
    QVERIFY(radio.Timer1->running());
    // Wraps after channel 40.
    radio.Label4->setCaption("40");
    radio.Timer1_Timer();
    QCOMPARE(radio.Label4->caption(), QString("01"));
}

void TimersTest::kickedScanKeepsTheChannel() {
    frmMain &radio = startRadio();
    radio.Image12_Click();
    program::controlWindow().kicken = 1;
    radio.Timer1_Timer();
    QCOMPARE(radio.Label4->caption(), QString("05"));
}

void TimersTest::alwaysOnTopKeepsPlaceAndFocus() {
    frmMain &radio = startRadio();
    radio.show();
    radio.move(120, 80);
    QVERIFY(QTest::qWaitForWindowExposed(&radio));
    const QPoint place = radio.pos();
    const QSize size = radio.size();
    for (int value : {1, 0, 1}) {
        radio.Check1->setValue(value);
        radio.Check1_Click();
        QCOMPARE(radio.windowFlags().testFlag(Qt::WindowStaysOnTopHint), value == 1);
        QVERIFY(radio.windowFlags().testFlag(Qt::FramelessWindowHint));
        QVERIFY(radio.isVisible());
        QCOMPARE(radio.pos(), place);
        QCOMPARE(radio.size(), size);
        QCOMPARE(radio.focusWidget(), radio.senden);
    }
}

void TimersTest::chatKeyOpensAndCloses() {
    frmMain &radio = startRadio();
    radio.ch01_MouseDown();
    QCOMPARE(radio.ch01->foreColor(), 0xFFu);
    QCOMPARE(radio.Image14->borderStyle(), 1);
    radio.ch01_MouseUp();
    // Let go, the caption rests in the key's own ink, readable on its face.
    QCOMPARE(radio.ch01->foreColor(), restingInk(radio.skin(), "ch01"));
    QCOMPARE(radio.Image14->borderStyle(), 0);

    radio.ch01_Click();
    QVERIFY(program::chatWindowLoaded());
    QVERIFY(program::chatWindow().isVisible());
    QVERIFY(radio.Andockench);
    QCOMPARE(radio.chatShown, qint16(1));
    // While kicked the key neither closes nor opens the chat.
    program::controlWindow().kicken = 1;
    radio.ch01_Click();
    QVERIFY(program::chatWindowLoaded());
    program::controlWindow().kicken = 0;
    radio.ch01_Click();
    QVERIFY(!program::chatWindowLoaded());
    QVERIFY(!radio.Andockench);
    QCOMPARE(radio.chatShown, qint16(0));
}

void TimersTest::backFromTheCompactWindow() {
    frmMain &radio = startRadio();
    radio.show();
    program::compactWindow().show();
    radio.klein = 1;
    radio.showMinimized();
    radio.restoreFromCompact();
    QVERIFY(!radio.isMinimized());
    QCOMPARE(radio.klein, qint16(0));
    QApplication::processEvents();
    QVERIFY(!program::compactWindowLoaded());
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    TimersTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_timers.moc"
