// The front panel's keys, window drag, docking, the keyboard focus and what
// a screen reader is told, on a radio whose servers are loopback recorders.

#include "audio/clsWaveOut.h"
#include "chat/mrlxchat.h"
#include "compact/Form1.h"
#include "control/MRLS_Einlog.h"
#include "monitor/Chat.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "system.h"

#include <QAccessible>
#include <QApplication>
#include <QDesktopServices>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using testsupport::RecordingServer;

namespace {

bool playbackOpen(frmMain &radio) {
    const QByteArray silence(65, '\0');
    return radio.objWaveOut->PlayBuffer(silence.constData(), 65);
}

// The caption colour of the panel's dark keys.
constexpr quint32 keyInk = 0xe8e8e8;

QAccessibleInterface *accessibleOf(QObject *object) {
    return QAccessible::queryAccessibleInterface(object);
}

} // namespace

// Receives the addresses the desktop is asked to open.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class FrontPanelTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void muteThenTransmitLeavesTheSpeakerOn();
    void muteThenMiniUnmutesFirst();
    void stopDuringScanShowsTheChannelBelow();
    void styleKeyCyclesThroughFiveStyles();
    void resetKey_data();
    void resetKey();
    void powerOffSignsOff();
    void bareTransmitKeyIgnoresBusy();
    void directEntry();
    void operatorChannel_data();
    void operatorChannel();
    void alarmOnlyOnYes_data();
    void alarmOnlyOnYes();
    void dragWithTheLeftButtonOnly();
    void dockFollowsTheRadio();
    void mixer_data();
    void mixer();
    void homepage();

    void spaceBarKeysAfterAClickOnThePanel_data();
    void spaceBarKeysAfterAClickOnThePanel();
    void tabSkipsTheHiddenSlider();
    void keyboardAlone();
    void screenReaderSeesEveryKey();
    void screenReaderPressesKeys();

private:
    void startRadio(bool powerOn = true);
    RecordingServer &serverFor(const QString &address, int basePort);
    QWidget *activate();

    int m_offset = -1;
    std::vector<std::unique_ptr<RecordingServer>> m_servers;
    std::unique_ptr<testsupport::ProgramFolder> m_folder;
    std::unique_ptr<frmMain> m_radio;
    QList<QWidget *> m_drags;
};

void FrontPanelTest::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no test audio server: run through scripts/test");
    m_offset = testsupport::freePortOffset();
    QVERIFY(m_offset > 0);
    vb::setEndProgramHandler([] {});
    vb::setWindowDragHandler([this](QWidget *window) { m_drags.append(window); });
}

void FrontPanelTest::cleanup() {
    vb::setMessageBoxResponder({});
    vb::setInputBoxResponder({});
    program::unloadCompactWindow();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    program::unloadChatWindow();
    program::unloadMonitorWindow();
    program::unloadControlWindow();
    m_radio.reset();
    m_servers.clear();
    m_folder.reset();
    m_drags.clear();
}

RecordingServer &FrontPanelTest::serverFor(const QString &address, int basePort) {
    m_servers.push_back(std::make_unique<RecordingServer>(address, basePort + m_offset));
    return *m_servers.back();
}

void FrontPanelTest::startRadio(bool powerOn) {
    // Stored channel 04: the display shows 03 until the power-on steps up.
    m_folder = std::make_unique<testsupport::ProgramFolder>(
        m_offset, " 23\r\n04\r\n 1\r\n0\r\n0\r\n1\r\nsound_off\r\n");
    m_folder->use();
    for (int port = 325; port <= 344; ++port)
        serverFor("127.0.0.1", port);
    m_radio = std::make_unique<frmMain>(goldSkin());
    m_radio->Form_Load();
    if (!powerOn)
        return;
    m_radio->Image12_Click();
    QTRY_VERIFY(m_radio->voiceConnected);
}

QWidget *FrontPanelTest::activate() {
    m_radio->show();
    m_radio->activateWindow();
    if (!QTest::qWaitForWindowActive(m_radio.get()))
        return nullptr;
    return QApplication::focusWidget();
}

void FrontPanelTest::muteThenTransmitLeavesTheSpeakerOn() {
    startRadio();
    frmMain &radio = *m_radio;
    radio.Label14_Click();
    QCOMPARE(radio.muted, qint16(1));
    QVERIFY(!playbackOpen(radio));
    radio.senden_KeyDown(32, 0);
    radio.senden_KeyUp(32, 0);
    QCOMPARE(radio.muted, qint16(0));
    QCOMPARE(radio.Label14->backColor(), vb::systemGrayText);
    QVERIFY(playbackOpen(radio));
    radio.Label14_Click();
    QCOMPARE(radio.muted, qint16(1));
    QCOMPARE(radio.Label14->backColor(), 0xFFu);
}

void FrontPanelTest::muteThenMiniUnmutesFirst() {
    startRadio();
    frmMain &radio = *m_radio;
    radio.show();
    radio.Label14_Click();
    radio.Label48_Click();
    QCOMPARE(radio.muted, qint16(0));
    QVERIFY(playbackOpen(radio));
    QCOMPARE(radio.klein, qint16(1));
    QCOMPARE(radio.Check1->value(), 1);
    QVERIFY(radio.windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(radio.isMinimized());
    QVERIFY(program::compactWindowLoaded());
    QVERIFY(program::compactWindow().isVisible());
}

void FrontPanelTest::stopDuringScanShowsTheChannelBelow() {
    startRadio();
    frmMain &radio = *m_radio;
    radio.Text1->setText(QStringLiteral("10"));
    radio.Command1_Click();
    QCOMPARE(radio.Label4->caption(), QString("10"));
    radio.Label24->setEnabled(false);
    radio.Label22_Click();
    QCOMPARE(radio.Timer1->interval(), 2000);
    QVERIFY(radio.Label24->isEnabled());
    radio.Label24_Click();
    QCOMPARE(radio.Timer1->interval(), 0);
    QCOMPARE(radio.Label4->caption(), QString("09"));
    QCOMPARE(radio.kanalbild, qint16(9));
    QVERIFY(!radio.Label24->isEnabled());
    QTRY_VERIFY(radio.voiceConnected);
    QCOMPARE(radio.serverPort, 333 + m_offset);
}

void FrontPanelTest::styleKeyCyclesThroughFiveStyles() {
    startRadio(false);
    frmMain &radio = *m_radio;
    radio.panelStyle = 5;
    for (int expected = 1; expected <= 5; ++expected) {
        emit radio.Label21->Click();
        QCOMPARE(radio.panelStyle, qint16(expected));
        for (int index = 0; index < int(radio.Image1.size()); ++index)
            QCOMPARE(radio.Image1[index]->visible(), index == expected - 1);
    }
}

void FrontPanelTest::resetKey_data() {
    QTest::addColumn<bool>("heldOverATick");
    QTest::newRow("short press reconnects") << false;
    QTest::newRow("held press stays offline") << true;
}

void FrontPanelTest::resetKey() {
    QFETCH(bool, heldOverATick);
    startRadio();
    frmMain &radio = *m_radio;
    QTest::mousePress(radio.Label46, Qt::LeftButton);
    QCOMPARE(radio.Timer9->interval(), 1);
    QCOMPARE(radio.rxSweep, qint16(0));
    QCOMPARE(radio.voiceConnected, qint16(0));
    QCOMPARE(radio.Label16->caption(), QString("GETRENNT"));
    QCOMPARE(radio.Label46->foreColor(), 0xFFu);
    QCOMPARE(radio.Image18->borderStyle(), 1);
    // The hold counter's tick.
    radio.holdTicks = heldOverATick ? 1 : 0;
    QTest::mouseRelease(radio.Label46, Qt::LeftButton);
    QCOMPARE(radio.Label46->foreColor(), keyInk);
    QCOMPARE(radio.Image18->borderStyle(), 0);
    if (heldOverATick) {
        QTest::qWait(300);
        QCOMPARE(radio.voiceConnected, qint16(0));
        QCOMPARE(radio.Label3->caption(), QString("ONLINE"));
    } else {
        QTRY_VERIFY(radio.voiceConnected);
    }
}

void FrontPanelTest::powerOffSignsOff() {
    startRadio();
    frmMain &radio = *m_radio;
    program::controlWindow().kicken = 1;
    emit radio.Image11->Click();
    QVERIFY(radio.voiceConnected);
    program::controlWindow().kicken = 0;
    emit radio.Image11->Click();
    QCOMPARE(radio.Label11->caption(), QString("Bye Bye"));
    QCOMPARE(radio.voiceConnected, qint16(0));
    QCOMPARE(radio.Timer6->interval(), 0);
    QVERIFY(radio.Image12->visible());
    QVERIFY(!radio.Image11->visible());
    QVERIFY(radio.Image37->visible());
    QVERIFY(!radio.Image38->visible());
    QCOMPARE(radio.Label67->foreColor(), 0xFFFFFFu);
}

void FrontPanelTest::bareTransmitKeyIgnoresBusy() {
    startRadio();
    frmMain &radio = *m_radio;
    radio.ProgressBar2->setValue(70);
    QTest::mousePress(radio.Label8, Qt::LeftButton);
    QCOMPARE(radio.Label2->backColor(), 0xFFu);
    QCOMPARE(radio.Label1->backColor(), 0u);
    QVERIFY(!playbackOpen(radio));
    QTest::mouseRelease(radio.Label8, Qt::LeftButton);
    QCOMPARE(radio.Label2->backColor(), 0u);
    QCOMPARE(radio.Label1->backColor(), 65280u);
    QVERIFY(playbackOpen(radio));
}

void FrontPanelTest::directEntry() {
    startRadio();
    frmMain &radio = *m_radio;
    QVERIFY(activate());
    emit radio.Label43->Click();
    QVERIFY(!radio.Image14->visible());
    QVERIFY(radio.Frame7->visible());
    QCOMPARE(QApplication::focusWidget(), radio.Text1);
    QTest::keyClicks(radio.Text1, QStringLiteral("12"));
    QTest::keyClick(radio.Text1, Qt::Key_Return);
    QCOMPARE(radio.Label4->caption(), QString("12"));
    QVERIFY(!radio.Frame7->visible());
    QCOMPARE(QApplication::focusWidget(), radio.senden);

    radio.Text1->setText(QStringLiteral("stale"));
    QTest::mouseDClick(radio.Label4, Qt::LeftButton);
    QVERIFY(radio.Frame7->visible());
    QVERIFY(radio.Text1->text().isEmpty());
}

void FrontPanelTest::operatorChannel_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("operatorChannel");
    QTest::newRow("wrong password") << "Morvelin" << true << false;
    QTest::newRow("cancelled") << "" << true << false;
    QTest::newRow("first code") << "morvelin" << false << false;
    QTest::newRow("second code") << "tendrakolm" << false << true;
}

void FrontPanelTest::operatorChannel() {
    QFETCH(QString, answer);
    QFETCH(bool, refused);
    QFETCH(bool, operatorChannel);
    RecordingServer &operators = serverFor("127.0.0.2", 999);
    startRadio(false);
    frmMain &radio = *m_radio;
    QList<vb::InputBoxCall> asked;
    vb::setInputBoxResponder([&](const vb::InputBoxCall &call) {
        asked.append(call);
        return answer;
    });
    QList<vb::MessageBoxCall> told;
    vb::setMessageBoxResponder([&](const vb::MessageBoxCall &call) {
        told.append(call);
        return int(vb::vbOK);
    });
    QTest::mouseDClick(radio.Label12, Qt::LeftButton);
    QCOMPARE(radio.powerState, qint16(1));
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked[0].prompt, QString("bitte das Passwort eingeben"));
    QCOMPARE(asked[0].title, vb::applicationTitle());
    QVERIFY(asked[0].defaultText.isEmpty());
    QCOMPARE(told.size(), refused ? 1 : 0);
    if (refused) {
        QCOMPARE(told[0].prompt, QString("Sie haben hierzu keine Berechtigung"));
        QCOMPARE(told[0].style, int(vb::vbCritical));
    }
    if (operatorChannel) {
        QCOMPARE(radio.Label4->caption(), QString("0"));
        QCOMPARE(radio.Label32->caption(), QString("Easter Egg"));
        QCOMPARE(radio.Label25->caption(), QString("27.000 MHz"));
        QCOMPARE(radio.serverHost, QString("127.0.0.2"));
        QCOMPARE(radio.serverPort, 999 + m_offset);
        QTRY_VERIFY(radio.voiceConnected);
        QCOMPARE(operators.connectionCount(), 1);
    } else {
        QCOMPARE(radio.Label4->caption(), QString("04"));
        QCOMPARE(radio.serverPort, 328 + m_offset);
        QTest::qWait(100);
        QCOMPARE(operators.connectionCount(), 0);
    }
}

void FrontPanelTest::alarmOnlyOnYes_data() {
    QTest::addColumn<int>("answer");
    QTest::newRow("yes") << int(vb::vbYes);
    QTest::newRow("no") << int(vb::vbNo);
}

void FrontPanelTest::alarmOnlyOnYes() {
    QFETCH(int, answer);
    RecordingServer &control = serverFor("127.0.0.2", 324);
    startRadio();
    frmMain &radio = *m_radio;
    QTRY_VERIFY(program::controlWindow().WinSock[0]->state() == Winsock::sckConnected);
    QTRY_COMPARE(control.connectionCount(), 1);
    QList<vb::MessageBoxCall> asked;
    vb::setMessageBoxResponder([&](const vb::MessageBoxCall &call) {
        asked.append(call);
        return answer;
    });
    QTest::mousePress(radio.Label50, Qt::LeftButton);
    QCOMPARE(radio.Label50->foreColor(), 0xFFu);
    QCOMPARE(radio.Image30->borderStyle(), 1);
    QTest::mouseRelease(radio.Label50, Qt::LeftButton);
    QCOMPARE(radio.Label50->foreColor(), keyInk);
    QCOMPARE(radio.Image30->borderStyle(), 0);
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked[0].title, QString("Admin-Alarm"));
    QCOMPARE(asked[0].style, 0x114);
    QCOMPARE(asked[0].prompt,
             QString("ACHTUNG ! Bitte nur nach einem Admin rufen,\r\nwenn auch ein Störer auf "
                     "diesem Kanal ist.\r\nDer Admin wird sich nicht melden, jedoch wird\r\ner "
                     "dafür sorgen, dass der Störer verbannt wird\r\nAlso: WIRKLICH NACH EINEM "
                     "ADMIN RUFEN ?"));
    if (answer == vb::vbYes) {
        QTRY_VERIFY(control.allReceived().contains("test4A04A"));
    } else {
        QTest::qWait(200);
        QVERIFY(!control.allReceived().contains("test4A"));
    }
}

void FrontPanelTest::dragWithTheLeftButtonOnly() {
    startRadio(false);
    m_radio->show();
    const QStringList grips = {
        "Frame1",           "Frame2",       "Frame3",      "Frame5",  "Frame6",  "Frame9",
        "Image2",           "Image8",       "Image38",     "Label4",  "Label13", "Label15",
        "Label16",          "Label18",      "Label19",     "Label20", "Label25", "Label26",
        "Label30",          "Label32",      "Label49",     "Label67", "Label68", "Label69",
        "lblReceivedBytes", "ProgressBar1", "ProgressBar2"};
    for (const QString &name : grips + QStringList{"Label22", "Image1(0)", "Label14"}) {
        auto *control = m_radio->findChild<QWidget *>(name);
        QVERIFY2(control, qPrintable(name));
        m_drags.clear();
        QTest::mousePress(control, Qt::RightButton);
        QTest::mouseRelease(control, Qt::RightButton);
        QTest::mousePress(control, Qt::MiddleButton);
        QTest::mouseRelease(control, Qt::MiddleButton);
        QVERIFY2(m_drags.isEmpty(), qPrintable(name));
        QTest::mousePress(control, Qt::LeftButton);
        QTest::mouseRelease(control, Qt::LeftButton);
        const bool grip = grips.contains(name);
        QVERIFY2(m_drags.size() == (grip ? 1 : 0), qPrintable(name));
        QVERIFY(!grip || m_drags[0] == m_radio.get());
    }
}

void FrontPanelTest::dockFollowsTheRadio() {
    startRadio(false);
    frmMain &radio = *m_radio;
    radio.show();
    for (const QPoint &at : {QPoint(100, 50), QPoint(340, 220)}) {
        radio.move(at);
        radio.dock();
        Chat &monitor = program::monitorWindow();
        QVERIFY(!monitor.isVisible());
        QCOMPARE(monitor.pos(), QPoint(at.x() + radio.width(), at.y()));
        QVERIFY(!program::chatWindowLoaded());
    }
    program::chatWindow();
    radio.Andockench = true;
    radio.dock();
    QCOMPARE(program::chatWindow().pos(), QPoint(340, 220 + radio.height()));
    radio.move(10, 20);
    radio.dock();
    QCOMPARE(program::chatWindow().pos(), QPoint(10, 20 + radio.height()));
    QCOMPARE(program::monitorWindow().pos(), QPoint(10 + radio.width(), 20));
}

void FrontPanelTest::mixer_data() {
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QString>("desktop");
    QTest::addColumn<QString>("expected");
    QTest::newRow("pavucontrol first")
        << QStringList{"pavucontrol", "gnome-control-center"} << "GNOME"
        << "pavucontrol";
    QTest::newRow("desktop's own panel") << QStringList{"gnome-control-center"} << "ubuntu:GNOME"
                                         << "gnome-control-center sound";
    QTest::newRow("another desktop's panel")
        << QStringList{"gnome-control-center"} << "KDE" << QString();
    QTest::newRow("none") << QStringList{} << "GNOME" << QString();
}

void FrontPanelTest::mixer() {
    QFETCH(QStringList, installed);
    QFETCH(QString, desktop);
    QFETCH(QString, expected);
    startRadio(false);
    QTemporaryDir bin;
    const QString ran = bin.filePath("ran");
    for (const QString &program : installed) {
        QFile script(bin.filePath(program));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\necho \"${0##*/} $*\" >> '" + ran.toUtf8() + "'\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QByteArray path = qgetenv("PATH");
    const QByteArray desktopBefore = qgetenv("XDG_CURRENT_DESKTOP");
    qputenv("PATH", bin.path().toUtf8());
    qputenv("XDG_CURRENT_DESKTOP", desktop.toUtf8());
    vb::setMessageBoxResponder([](const vb::MessageBoxCall &) { return int(vb::vbOK); });
    emit m_radio->Image7->Click();
    // The sound-settings slider explains itself and opens the same mixer.
    emit m_radio->Slider2->Scroll();
    qputenv("PATH", path);
    qputenv("XDG_CURRENT_DESKTOP", desktopBefore);
    if (expected.isEmpty()) {
        QTest::qWait(200);
        QVERIFY(!QFile::exists(ran));
        return;
    }
    const auto started = [&ran] {
        QFile log(ran);
        if (!log.open(QIODevice::ReadOnly))
            return QStringList();
        return QString::fromUtf8(log.readAll()).trimmed().split(QRegularExpression(" *\n"));
    };
    QTRY_COMPARE(started().size(), 2);
    QCOMPARE(started(), (QStringList{expected, expected}));
}

void FrontPanelTest::homepage() {
    startRadio(false);
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
    emit m_radio->Image3->Click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(recorder.opened, QList<QUrl>{QUrl(m_radio->deployment.homepage)});
}

void FrontPanelTest::spaceBarKeysAfterAClickOnThePanel_data() {
    QTest::addColumn<QString>("clicked");
    for (const char *name :
         {"", "Frame1", "Image2", "Label4", "Label13", "Label25", "Label32", "ProgressBar1",
          "Image1(0)", "Label23", "Label45", "Label53", "Label22", "Label17", "Image5", "Slider1"})
        QTest::newRow(*name ? name : "nothing") << QString(name);
}

void FrontPanelTest::spaceBarKeysAfterAClickOnThePanel() {
    QFETCH(QString, clicked);
    startRadio();
    QCOMPARE(activate(), m_radio->senden);
    if (!clicked.isEmpty()) {
        auto *control = m_radio->findChild<QWidget *>(clicked);
        QVERIFY(control);
        QTest::mouseClick(control, Qt::LeftButton);
        // The sliders and the box give the focus back after their event.
        QTRY_COMPARE(QApplication::focusWidget(), m_radio->senden);
    }
    QTest::keyPress(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(m_radio->recordingStarted, qint16(1));
    QCOMPARE(m_radio->Label2->backColor(), 0xFFu);
    QTest::keyRelease(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(m_radio->recordingStarted, qint16(0));
}

void FrontPanelTest::tabSkipsTheHiddenSlider() {
    startRadio();
    QCOMPARE(activate(), m_radio->senden);
    QSet<QWidget *> reached;
    for (int step = 0; step < 12; ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        reached.insert(QApplication::focusWidget());
    }
    QVERIFY(reached.contains(m_radio->senden));
    QVERIFY(reached.contains(m_radio->Slider1));
    QVERIFY(!reached.contains(m_radio->Slider2));
    for (QWidget *focused : reached)
        QVERIFY2(focused && focused->isVisible(), focused ? qPrintable(focused->objectName()) : "");
}

void FrontPanelTest::keyboardAlone() {
    startRadio();
    QCOMPARE(activate(), m_radio->senden);
    frmMain &radio = *m_radio;
    auto key = [](Qt::Key code) { QTest::keyClick(QApplication::focusWidget(), code); };
    QTest::keyPress(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(radio.recordingStarted, qint16(1));
    QTest::keyRelease(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(radio.recordingStarted, qint16(0));
    key(Qt::Key_Up);
    QCOMPARE(radio.Label4->caption(), QString("05"));
    key(Qt::Key_Down);
    key(Qt::Key_Down);
    QCOMPARE(radio.Label4->caption(), QString("03"));
    // Tab reaches the mute key; the space bar or Enter presses it.
    while (QApplication::focusWidget() != radio.Label14) {
        key(Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget() != radio.senden);
    }
    key(Qt::Key_Space);
    QCOMPARE(radio.muted, qint16(1));
    key(Qt::Key_Return);
    QCOMPARE(radio.muted, qint16(0));
    QCOMPARE(radio.recordingStarted, qint16(0));
    // Back to the push-to-talk key.
    while (QApplication::focusWidget() != radio.senden)
        key(Qt::Key_Tab);
    QTest::keyPress(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(radio.recordingStarted, qint16(1));
    QTest::keyRelease(QApplication::focusWidget(), Qt::Key_Space);
}

void FrontPanelTest::screenReaderSeesEveryKey() {
    startRadio(false);
    m_radio->show();
    const int button = QAccessible::Button;
    const int check = QAccessible::CheckBox;
    const int text = QAccessible::StaticText;
    const int lamp = QAccessible::Indicator;
    const struct {
        const char *element;
        int role;
        const char *name;
    } rows[] = {
        {"senden", button, "P T T"},
        {"Image32", button, "Sendetaste"},
        {"Label9", button, "Kanal hoch"},
        {"Label10", button, "Kanal runter"},
        {"Label14", check, "Lautsprecher stumm schalten"},
        {"Label17", check, "mute"},
        {"Label3", button, "ONLINE"},
        {"Label5", button, "OFFLINE"},
        {"Label11", button, "Beenden"},
        {"Label22", button, "START"},
        {"Label24", button, "STOP"},
        {"Label8", button, "0"},
        {"Label36", button, "speichern"},
        {"Label21", button, "Farbe"},
        {"Label43", button, "Direkte manuelle Kanaleingabe"},
        {"Label38", button, "Lauter"},
        {"Label39", button, "Leiser"},
        {"Label28", check, "Rogerbeep passiv"},
        {"Label44", check, "Ein"},
        {"Label46", button, "Reset"},
        {"Label48", button, "MINI"},
        {"Label50", button, "SOS"},
        {"ch01", check, "Chat"},
        {"Image3", button, "Homepage"},
        {"Image7", button, "Audio-Mischpult"},
        {"Image12", button, "Einschalten"},
        {"Image11", button, "Ausschalten"},
        {"Label4", text, "03"},
        {"Label25", text, "27.005 MHz"},
        {"Label16", text, "GETRENNT"},
        {"lblReceivedBytes", text, "0"},
        {"Label1", lamp, "Empfangslampe"},
        {"Label2", lamp, "Sendelampe"},
        {"Label31", lamp, "Belegt-Lampe"},
        {"Label6", lamp, "Verbindungslampe"},
        {"Label29", lamp, "Rogerbeep-Lampe"},
        {"ProgressBar1", QAccessible::ProgressBar, "Sendepegel"},
        {"ProgressBar2", QAccessible::ProgressBar, "Empfangsanzeige"},
        {"Slider1", QAccessible::Slider, "Lautstärke"},
    };
    for (const auto &row : rows) {
        QObject *control = m_radio->findChild<QWidget *>(row.element);
        QVERIFY2(control, row.element);
        QAccessibleInterface *face = accessibleOf(control);
        QVERIFY(face);
        QVERIFY2(int(face->role()) == row.role, row.element);
        QCOMPARE(face->text(QAccessible::Name), QString::fromUtf8(row.name));
        const bool key = row.role == QAccessible::Button || row.role == QAccessible::CheckBox;
        QAccessibleActionInterface *actions = face->actionInterface();
        const bool pressable =
            actions && actions->actionNames().contains(QAccessibleActionInterface::pressAction());
        QVERIFY2(pressable == key, row.element);
    }
}

void FrontPanelTest::screenReaderPressesKeys() {
    startRadio();
    frmMain &radio = *m_radio;
    QAccessibleInterface *mute = accessibleOf(radio.Label14);
    QVERIFY(!mute->state().checked);
    mute->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(radio.muted, qint16(1));
    QVERIFY(mute->state().checked);
    accessibleOf(radio.Label9)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(radio.Label4->caption(), QString("05"));
    QCOMPARE(radio.muted, qint16(0));
    accessibleOf(radio.Label22)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(radio.Timer1->interval(), 2000);
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    FrontPanelTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_frontpanel.moc"
