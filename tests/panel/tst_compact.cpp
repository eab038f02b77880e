// The compact push-to-talk window in front of a radio whose servers are
// loopback recorders: what it shows, its keys, the space bar and the way back.

#include "audio/clsWaveOut.h"
#include "compact/Form1.h"
#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "system.h"

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QTest>

using testsupport::RecordingServer;

namespace {

void sendKey(QWidget *target, QEvent::Type type, Qt::Key key, bool autoRepeat = false) {
    QKeyEvent event(type, key, Qt::NoModifier, QString(), autoRepeat);
    QApplication::sendEvent(target, &event);
}

} // namespace

class CompactTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void showsTheChannelWithoutLeadingZero();
    void busyShowsStopAndStillAsksTheRadio();
    void anotherKeysReleaseEndsTheOver();
    void noRefreshWhileKeyed();
    void muteAndChannelKeys();
    void levelBarFollowsTheSendMeter();
    void focusLossEndsTheOver();
    void backToTheFullWindow_data();
    void backToTheFullWindow();
    void dragWithTheLeftButtonOnly();
    void screenReaderSeesEveryKey();

private:
    Form1 &startCompact();

    int m_offset = -1;
    std::vector<std::unique_ptr<RecordingServer>> m_servers;
    std::unique_ptr<testsupport::ProgramFolder> m_folder;
    std::unique_ptr<frmMain> m_radio;
    QList<QWidget *> m_drags;
};

void CompactTest::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no test audio server: run through scripts/test");
    m_offset = testsupport::freePortOffset();
    QVERIFY(m_offset > 0);
    vb::setEndProgramHandler([] {});
    vb::setWindowDragHandler([this](QWidget *window) { m_drags.append(window); });
}

void CompactTest::cleanup() {
    program::unloadCompactWindow();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    program::unloadMonitorWindow();
    program::unloadControlWindow();
    m_radio.reset();
    m_servers.clear();
    m_folder.reset();
    m_drags.clear();
}

Form1 &CompactTest::startCompact() {
    m_folder = std::make_unique<testsupport::ProgramFolder>(
        m_offset, " 23\r\n04\r\n 1\r\n0\r\n0\r\n1\r\nsound_off\r\n");
    m_folder->use();
    for (int port = 325; port <= 344; ++port)
        m_servers.push_back(std::make_unique<RecordingServer>("127.0.0.1", port + m_offset));
    m_radio = std::make_unique<frmMain>(goldSkin());
    m_radio->Form_Load();
    m_radio->show();
    emit m_radio->Label48->Click();
    Form1 &compact = program::compactWindow();
    (void)QTest::qWaitForWindowActive(&compact);
    return compact;
}

void CompactTest::showsTheChannelWithoutLeadingZero() {
    Form1 &compact = startCompact();
    QTRY_VERIFY(m_radio->voiceConnected);
    QCOMPARE(m_radio->Label4->caption(), QString("04"));
    QCOMPARE(compact.Label3->caption(), QString("4"));
    QCOMPARE(compact.Label1->caption(), QString("PTT"));
    QVERIFY(compact.windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(compact.windowTitle().isEmpty());
    QCOMPARE(compact.size(), QSize(180, 86));
    QVERIFY(m_radio->isMinimized());
    QCOMPARE(m_radio->klein, qint16(1));
    QCOMPARE(QApplication::focusWidget(), compact.Command1);
    // Every picture of both skins is there.
    for (vb::Image *image : compact.findChildren<vb::Image *>())
        QVERIFY2(image->hasPicture(), qPrintable(image->objectName()));
}

void CompactTest::busyShowsStopAndStillAsksTheRadio() {
    Form1 &compact = startCompact();
    QTRY_VERIFY(m_radio->voiceConnected);
    m_radio->ProgressBar2->setValue(70);
    QTRY_COMPARE(compact.Label1->caption(), QString("STOP"));
    QVERIFY(compact.Image9->visible());
    QTest::mousePress(compact.Label1, Qt::LeftButton);
    // The radio's key handler ran and refused.
    QCOMPARE(m_radio->Image32->borderStyle(), 1);
    QCOMPARE(m_radio->recordingStarted, qint16(0));
    QCOMPARE(compact.Label1->backColor(), 0xFFu);
    QTest::mouseRelease(compact.Label1, Qt::LeftButton);
    QCOMPARE(compact.Label1->backColor(), Form1::idleColour);
    m_radio->ProgressBar2->setValue(0);
    QTRY_COMPARE(compact.Label1->caption(), QString("PTT"));
    QVERIFY(!compact.Image9->visible());
}

void CompactTest::anotherKeysReleaseEndsTheOver() {
    Form1 &compact = startCompact();
    QTRY_VERIFY(m_radio->voiceConnected);
    sendKey(compact.Command1, QEvent::KeyPress, Qt::Key_Space);
    QCOMPARE(m_radio->recordingStarted, qint16(1));
    QVERIFY(compact.Image4->visible() && !compact.Image3->visible());
    QVERIFY(compact.Image13->visible() && !compact.Image8->visible());
    // A held key repeats; that is no release.
    sendKey(compact.Command1, QEvent::KeyRelease, Qt::Key_Space, true);
    sendKey(compact.Command1, QEvent::KeyPress, Qt::Key_Space, true);
    QCOMPARE(m_radio->recordingStarted, qint16(1));
    sendKey(compact.Command1, QEvent::KeyPress, Qt::Key_A);
    sendKey(compact.Command1, QEvent::KeyRelease, Qt::Key_A);
    QCOMPARE(m_radio->recordingStarted, qint16(0));
    QCOMPARE(compact.Label1->backColor(), Form1::idleColour);
    QVERIFY(compact.Image3->visible() && !compact.Image4->visible());
    QVERIFY(compact.Timer1->running());
}

void CompactTest::noRefreshWhileKeyed() {
    Form1 &compact = startCompact();
    QTRY_VERIFY(m_radio->voiceConnected);
    QTest::mousePress(compact.Image3, Qt::LeftButton);
    QCOMPARE(m_radio->recordingStarted, qint16(1));
    QVERIFY(!compact.Timer1->running());
    m_radio->kanalbild = 17;
    m_radio->ProgressBar2->setValue(70);
    QTest::qWait(50);
    QCOMPARE(compact.Label3->caption(), QString("4"));
    QCOMPARE(compact.Label1->caption(), QString("PTT"));
    QTest::mouseRelease(compact.Image3, Qt::LeftButton);
    QCOMPARE(m_radio->recordingStarted, qint16(0));
    QTRY_COMPARE(compact.Label3->caption(), QString("17"));
    QCOMPARE(compact.Label1->caption(), QString("STOP"));
}

void CompactTest::muteAndChannelKeys() {
    Form1 &compact = startCompact();
    QTRY_VERIFY(m_radio->voiceConnected);
    QTest::mouseClick(compact.Label4, Qt::LeftButton);
    QCOMPARE(m_radio->muted, qint16(1));
    QCOMPARE(compact.Label4->backColor(), 0xFFu);
    QVERIFY(compact.Image6->visible() && !compact.Image5->visible());
    QTest::mouseClick(compact.Label4, Qt::LeftButton);
    QCOMPARE(m_radio->muted, qint16(0));
    QCOMPARE(compact.Label4->backColor(), Form1::idleColour);

    // Muted, then a channel step: the step unmutes and the key shows it.
    QTest::mouseClick(compact.Label4, Qt::LeftButton);
    QTest::mousePress(compact.Label6, Qt::LeftButton);
    QCOMPARE(m_radio->Label4->caption(), QString("05"));
    QVERIFY(compact.Image12->visible() && !compact.Image11->visible());
    QTest::mouseRelease(compact.Label6, Qt::LeftButton);
    QVERIFY(compact.Image11->visible() && !compact.Image12->visible());
    QCOMPARE(m_radio->muted, qint16(0));
    QCOMPARE(compact.Label4->backColor(), Form1::idleColour);
    QTest::mouseClick(compact.Label7, Qt::LeftButton);
    QTest::mouseClick(compact.Label7, Qt::LeftButton);
    QCOMPARE(m_radio->Label4->caption(), QString("03"));
    QTRY_COMPARE(compact.Label3->caption(), QString("3"));
}

void CompactTest::levelBarFollowsTheSendMeter() {
    Form1 &compact = startCompact();
    m_radio->sendMeterOn = 1;
    m_radio->levelSamples.fill(16384);
    m_radio->Timer4_Timer();
    QCOMPARE(compact.ProgressBar1->value(), 50.0f);
    m_radio->levelSamples.fill(0);
    m_radio->Timer4_Timer();
    QCOMPARE(compact.ProgressBar1->value(), 0.0f);
}

void CompactTest::focusLossEndsTheOver() {
    Form1 &compact = startCompact();
    QTRY_VERIFY(m_radio->voiceConnected);
    QVERIFY(QTest::qWaitForWindowActive(&compact));
    sendKey(compact.Command1, QEvent::KeyPress, Qt::Key_Space);
    QCOMPARE(m_radio->recordingStarted, qint16(1));
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QCOMPARE(m_radio->recordingStarted, qint16(0));
    QCOMPARE(m_radio->Label2->backColor(), 0u);
    QCOMPARE(compact.Label1->backColor(), Form1::idleColour);
    QVERIFY(compact.Image3->visible());
    QVERIFY(compact.Timer1->running());
}

void CompactTest::backToTheFullWindow_data() {
    QTest::addColumn<bool>("byOperators");
    QTest::newRow("MAXI key") << false;
    QTest::newRow("operators' command") << true;
}

void CompactTest::backToTheFullWindow() {
    QFETCH(bool, byOperators);
    Form1 &compact = startCompact();
    QPointer<Form1> window(&compact);
    if (byOperators)
        compact.Label11_Click();
    else
        QTest::mouseClick(compact.Label2, Qt::LeftButton);
    QCOMPARE(m_radio->klein, qint16(0));
    QVERIFY(!m_radio->isMinimized());
    QVERIFY(m_radio->isVisible());
    QVERIFY(!program::compactWindowLoaded());
    QTRY_VERIFY(window.isNull());
    // The level no longer goes to a window that is gone; MINI opens a new one.
    m_radio->Timer4_Timer();
    emit m_radio->Label48->Click();
    QVERIFY(program::compactWindowLoaded());
    QVERIFY(program::compactWindow().isVisible());
}

void CompactTest::dragWithTheLeftButtonOnly() {
    Form1 &compact = startCompact();
    for (QWidget *grip : std::initializer_list<QWidget *>{compact.Image1, compact.Label8}) {
        QTest::mousePress(grip, Qt::RightButton);
        QTest::mouseRelease(grip, Qt::RightButton);
        QTest::mousePress(grip, Qt::LeftButton);
        QTest::mouseRelease(grip, Qt::LeftButton);
    }
    QCOMPARE(m_drags, (QList<QWidget *>{&compact, &compact}));
}

void CompactTest::screenReaderSeesEveryKey() {
    Form1 &compact = startCompact();
    QTRY_VERIFY(m_radio->voiceConnected);
    const struct {
        QWidget *control;
        QAccessible::Role role;
        const char *name;
    } rows[] = {
        {compact.Label1, QAccessible::Button, "PTT"},
        {compact.Label2, QAccessible::Button, "MAXI"},
        {compact.Label4, QAccessible::CheckBox, "Mute"},
        {compact.Label6, QAccessible::Button, "Kanal hoch"},
        {compact.Label7, QAccessible::Button, "Kanal runter"},
        {compact.Image3, QAccessible::Button, "Sendetaste"},
        {compact.Command1, QAccessible::Button, "leertaste"},
        {compact.Label3, QAccessible::StaticText, "4"},
        {compact.ProgressBar1, QAccessible::ProgressBar, "Sendepegel"},
        {compact.Image9, QAccessible::Graphic, "Kanal belegt"},
    };
    for (const auto &row : rows) {
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(row.control);
        QVERIFY(face);
        QCOMPARE(face->role(), row.role);
        QCOMPARE(face->text(QAccessible::Name), QString::fromUtf8(row.name));
        const bool key = row.role == QAccessible::Button || row.role == QAccessible::CheckBox;
        QAccessibleActionInterface *actions = face->actionInterface();
        QCOMPARE(actions &&
                     actions->actionNames().contains(QAccessibleActionInterface::pressAction()),
                 key);
    }
    QAccessibleInterface *mute = QAccessible::queryAccessibleInterface(compact.Label4);
    mute->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(m_radio->muted, qint16(1));
    QVERIFY(mute->state().checked);
    QAccessible::queryAccessibleInterface(compact.Label6)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(m_radio->Label4->caption(), QString("05"));
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    CompactTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_compact.moc"
