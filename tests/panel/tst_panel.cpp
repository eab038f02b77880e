// The front panel's keys, window drag, docking, the keyboard focus, what a
// screen reader is told, and the compact window, on a radio whose servers are
// loopback recorders.

#include "audio/clsWaveOut.h"
#include "chat/mrlxchat.h"
#include "compact/Form1.h"
#include "control/MRLS_Einlog.h"
#include "monitor/Chat.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "system.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>

#include <cmath>

using testsupport::RecordingServer;

namespace {

// Contrast of two colours as screen-reading guidelines count it: 1 to 21.
double contrast(quint32 first, quint32 second) {
    const auto luminance = [](quint32 value) {
        const QColor colour = vb::colourFromValue(value);
        const auto channel = [](double c) {
            return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) +
               0.0722 * channel(colour.blueF());
    };
    const double a = luminance(first);
    const double b = luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

void sendKey(QWidget *target, QEvent::Type type, Qt::Key key, bool autoRepeat = false) {
    QKeyEvent event(type, key, Qt::NoModifier, QString(), autoRepeat);
    QApplication::sendEvent(target, &event);
}

} // namespace

class PanelTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void scanStopAndStyleKeys();
    void resetHeldOverATickStaysOffline_data();
    void resetHeldOverATickStaysOffline();
    void operatorChannel_data();
    void operatorChannel();
    void alarmOnlyOnYes_data();
    void alarmOnlyOnYes();
    void standardButtonsSpeakGerman();
    void keyCaptionsReadOnTheirFaces_data();
    void keyCaptionsReadOnTheirFaces();
    void dragWithTheLeftButtonOnly();
    void dockFollowsTheRadio();
    void spaceBarKeysAfterAClickOnThePanel_data();
    void spaceBarKeysAfterAClickOnThePanel();
    void tabReachesTheKeysButNotTheHiddenSlider();
    void screenReaderSeesEveryKey();

    void miniUnmutesAndShowsTheChannel();
    void compactKeyFollowsTheRadio();
    void compactSpaceBar();

private:
    void startRadio(bool powerOn = true, const Skin &skin = goldSkin());
    Form1 &startCompact();
    QWidget *activate();

    int m_offset = -1;
    std::vector<std::unique_ptr<RecordingServer>> m_servers;
    std::unique_ptr<testsupport::ProgramFolder> m_folder;
    std::unique_ptr<frmMain> m_radio;
    QList<QWidget *> m_drags;
};

void PanelTest::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no test audio server: run through scripts/test");
    m_offset = testsupport::freePortOffset();
    QVERIFY(m_offset > 0);
    vb::setEndProgramHandler([] {});
    vb::setWindowDragHandler([this](QWidget *window) { m_drags.append(window); });
}

void PanelTest::cleanup() {
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

void PanelTest::startRadio(bool powerOn, const Skin &skin) {
    // Stored channel 04: the display shows 03 until the power-on steps up.
    m_folder = std::make_unique<testsupport::ProgramFolder>(m_offset);
    m_folder->use();
    for (int port = 325; port <= 344; ++port)
        m_servers.push_back(std::make_unique<RecordingServer>("127.0.0.1", port + m_offset));
    m_radio = std::make_unique<frmMain>(skin);
    m_radio->Form_Load();
    if (!powerOn)
        return;
    m_radio->Image12_Click();
    QTRY_VERIFY(m_radio->voiceConnected);
}

Form1 &PanelTest::startCompact() {
    startRadio();
    m_radio->show();
    emit m_radio->Label48->Click();
    Form1 &compact = program::compactWindow();
    (void)QTest::qWaitForWindowActive(&compact);
    return compact;
}

QWidget *PanelTest::activate() {
    m_radio->show();
    m_radio->activateWindow();
    if (!QTest::qWaitForWindowActive(m_radio.get()))
        return nullptr;
    return QApplication::focusWidget();
}

void PanelTest::scanStopAndStyleKeys() {
    startRadio();
    frmMain &radio = *m_radio;
    radio.Text1->setText(QStringLiteral("10"));
    radio.Command1_Click();
    emit radio.Label22->Click();
    QCOMPARE(radio.Timer1->interval(), 2000);
    emit radio.Label24->Click();
    QCOMPARE(radio.Timer1->interval(), 0);
    QCOMPARE(radio.Label4->caption(), QString("09"));
    QVERIFY(!radio.Label24->isEnabled());
    QTRY_VERIFY(radio.voiceConnected);
    QCOMPARE(radio.serverPort, 333 + m_offset);

    radio.panelStyle = 5;
    for (int expected = 1; expected <= 5; ++expected) {
        emit radio.Label21->Click();
        QCOMPARE(radio.panelStyle, qint16(expected));
        QVERIFY(radio.Image1[expected - 1]->visible());
    }
}

void PanelTest::resetHeldOverATickStaysOffline_data() {
    QTest::addColumn<bool>("held");
    QTest::newRow("short press reconnects") << false;
    QTest::newRow("held press stays offline") << true;
}

void PanelTest::resetHeldOverATickStaysOffline() {
    QFETCH(bool, held);
    startRadio();
    frmMain &radio = *m_radio;
    QTest::mousePress(radio.Label46, Qt::LeftButton);
    QCOMPARE(radio.Timer9->interval(), 1);
    QCOMPARE(radio.voiceConnected, qint16(0));
    QCOMPARE(radio.Label46->foreColor(), 0xFFu);
    radio.holdTicks = held ? 1 : 0; // the hold counter's tick
    QTest::mouseRelease(radio.Label46, Qt::LeftButton);
    // Back in the dark key's own caption colour.
    QCOMPARE(radio.Label46->foreColor(), 0xe8e8e8u);
    if (held) {
        QTest::qWait(300);
        QCOMPARE(radio.Label3->caption(), QString("ONLINE"));
    } else {
        QTRY_VERIFY(radio.voiceConnected);
    }
}

void PanelTest::operatorChannel_data() {
    QTest::addColumn<QString>("answer");
    QTest::newRow("wrong password") << "Morvelin";
    QTest::newRow("first code") << "morvelin";
    QTest::newRow("second code") << "tendrakolm";
}

void PanelTest::operatorChannel() {
    QFETCH(QString, answer);
    RecordingServer operators("127.0.0.2", 999 + m_offset);
    startRadio(false);
    frmMain &radio = *m_radio;
    QString prompt;
    vb::setInputBoxResponder([&](const vb::InputBoxCall &call) {
        prompt = call.prompt;
        return answer;
    });
    QStringList told;
    vb::setMessageBoxResponder([&](const vb::MessageBoxCall &call) {
        told.append(call.prompt + QString::number(call.style));
        return int(vb::vbOK);
    });
    QTest::mouseDClick(radio.Label12, Qt::LeftButton);
    QCOMPARE(radio.powerState, qint16(1));
    QCOMPARE(prompt, QString("bitte das Passwort eingeben"));
    const bool refused = answer == "Morvelin";
    QCOMPARE(told, refused ? QStringList{"Sie haben hierzu keine Berechtigung16"} : QStringList());
    if (answer != "tendrakolm") {
        QCOMPARE(radio.serverPort, 328 + m_offset);
        return;
    }
    QCOMPARE(radio.Label4->caption(), QString("0"));
    QCOMPARE(radio.Label32->caption(), QString("Easter Egg"));
    QCOMPARE(radio.Label25->caption(), QString("27.000 MHz"));
    QTRY_VERIFY(radio.voiceConnected);
    QCOMPARE(operators.connectionCount(), 1);
}

void PanelTest::alarmOnlyOnYes_data() {
    QTest::addColumn<int>("answer");
    QTest::newRow("yes") << int(vb::vbYes);
    QTest::newRow("no") << int(vb::vbNo);
}

void PanelTest::alarmOnlyOnYes() {
    QFETCH(int, answer);
    RecordingServer control("127.0.0.2", 324 + m_offset);
    startRadio();
    frmMain &radio = *m_radio;
    QTRY_VERIFY(program::controlWindow().WinSock[0]->state() == Winsock::sckConnected);
    QList<vb::MessageBoxCall> asked;
    vb::setMessageBoxResponder([&](const vb::MessageBoxCall &call) {
        asked.append(call);
        return answer;
    });
    QTest::mousePress(radio.Label50, Qt::LeftButton);
    QTest::mouseRelease(radio.Label50, Qt::LeftButton);
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

void PanelTest::dragWithTheLeftButtonOnly() {
    startRadio(false);
    m_radio->show();
    const QStringList grips = {
        "Frame1",       "Frame2",       "Frame3",          "Frame5",  "Frame6",  "Frame9",
        "Image2",       "Image8",       "Image38",         "Label4",  "Label13", "Label15",
        "Label16",      "Label18",      "Label19",         "Label20", "Label25", "Label26",
        "Label30",      "Label32",      "Label49",         "Label67", "Label68", "Label69",
        "ProgressBar1", "ProgressBar2", "lblReceivedBytes"};
    for (const QString &name : grips + QStringList{"Label22", "Image1(0)"}) {
        auto *control = m_radio->findChild<QWidget *>(name);
        QVERIFY2(control, qPrintable(name));
        m_drags.clear();
        QTest::mousePress(control, Qt::RightButton);
        QTest::mouseRelease(control, Qt::RightButton);
        QVERIFY2(m_drags.isEmpty(), qPrintable(name));
        QTest::mousePress(control, Qt::LeftButton);
        QTest::mouseRelease(control, Qt::LeftButton);
        QVERIFY2(m_drags.size() == (grips.contains(name) ? 1 : 0), qPrintable(name));
    }
}

void PanelTest::dockFollowsTheRadio() {
    startRadio(false);
    frmMain &radio = *m_radio;
    radio.show();
    radio.move(100, 50);
    QCoreApplication::processEvents();
    QVERIFY(!program::monitorWindow().isVisible());
    QVERIFY(!program::chatWindowLoaded());
    // Showing a window docks it at once, and each move of the radio takes the
    // docked windows along in its own event, not a timer tick later.
    const auto docked = [&radio] {
        return program::monitorWindow().pos() == QPoint(radio.x() + radio.width(), radio.y()) &&
               program::chatWindow().pos() == QPoint(radio.x(), radio.y() + radio.height());
    };
    radio.Label44_Click();
    radio.ch01_Click();
    QVERIFY(docked());
    radio.move(340, 220);
    QTRY_COMPARE(radio.pos(), QPoint(340, 220));
    QVERIFY(docked());
    // A docked window moved away on its own comes back on Timer8's tick.
    program::monitorWindow().move(0, 0);
    QTRY_VERIFY(docked());
}

void PanelTest::spaceBarKeysAfterAClickOnThePanel_data() {
    QTest::addColumn<QString>("clicked");
    for (const char *name : {"", "Frame1", "Image2", "Label4", "Label13", "Label25", "ProgressBar1",
                             "Image1(0)", "Label23", "Label53", "Label22", "Image5", "Slider1"})
        QTest::newRow(*name ? name : "nothing") << QString(name);
}

void PanelTest::spaceBarKeysAfterAClickOnThePanel() {
    QFETCH(QString, clicked);
    startRadio();
    QCOMPARE(activate(), m_radio->senden);
    if (!clicked.isEmpty()) {
        QTest::mouseClick(m_radio->findChild<QWidget *>(clicked), Qt::LeftButton);
        // The volume slider gives the focus back after its event.
        QTRY_COMPARE(QApplication::focusWidget(), m_radio->senden);
    }
    QTest::keyPress(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(m_radio->recordingStarted, qint16(1));
    QTest::keyRelease(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(m_radio->recordingStarted, qint16(0));
}

void PanelTest::tabReachesTheKeysButNotTheHiddenSlider() {
    startRadio();
    frmMain &radio = *m_radio;
    QCOMPARE(activate(), radio.senden);
    QTest::keyClick(radio.senden, Qt::Key_Up);
    QCOMPARE(radio.Label4->caption(), QString("05"));
    QSet<QWidget *> reached;
    for (int step = 0; step < 8; ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        reached.insert(QApplication::focusWidget());
        // On the mute key the space bar presses it.
        if (QApplication::focusWidget() == radio.Label14 && radio.muted == 0) {
            QTest::keyClick(radio.Label14, Qt::Key_Space);
            QCOMPARE(radio.muted, qint16(1));
        }
    }
    QVERIFY(reached.contains(radio.senden) && reached.contains(radio.Label14));
    for (QWidget *focused : reached)
        QVERIFY2(focused->isVisible(), qPrintable(focused->objectName()));
}

void PanelTest::screenReaderSeesEveryKey() {
    Form1 &compact = startCompact();
    const int button = QAccessible::Button, check = QAccessible::CheckBox;
    const struct {
        QWidget *control;
        int role;
        const char *name;
    } rows[] = {
        {m_radio->senden, button, "P T T"},
        {m_radio->Label9, button, "Kanal hoch"},
        {m_radio->Label10, button, "Kanal runter"},
        {m_radio->Label14, check, "Lautsprecher stumm schalten"},
        {m_radio->Label46, button, "Reset"},
        {m_radio->Label48, button, "MINI"},
        {m_radio->Label50, button, "SOS"},
        {m_radio->Label28, check, "Rogerbeep passiv"},
        {m_radio->Label4, QAccessible::StaticText, "04"},
        {m_radio->Label2, QAccessible::Indicator, "Sendelampe"},
        {m_radio->ProgressBar1, QAccessible::ProgressBar, "Sendepegel"},
        {compact.Label1, button, "PTT"},
        {compact.Label4, check, "Mute"},
        {compact.Label6, button, "Kanal hoch"},
        {compact.Image3, button, "Sendetaste"},
        {compact.Label3, QAccessible::StaticText, "4"},
    };
    for (const auto &row : rows) {
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(row.control);
        QVERIFY2(int(face->role()) == row.role, qPrintable(row.control->objectName()));
        QCOMPARE(face->text(QAccessible::Name), QString::fromUtf8(row.name));
        QAccessibleActionInterface *actions = face->actionInterface();
        const bool pressable =
            actions && actions->actionNames().contains(QAccessibleActionInterface::pressAction());
        QVERIFY2(pressable == (row.role == button || row.role == check),
                 qPrintable(row.control->objectName()));
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

void PanelTest::miniUnmutesAndShowsTheChannel() {
    startRadio();
    m_radio->show();
    m_radio->Label14_Click();
    emit m_radio->Label48->Click();
    QCOMPARE(m_radio->muted, qint16(0));
    QVERIFY(m_radio->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(m_radio->isMinimized());
    QCOMPARE(m_radio->klein, qint16(1));
    Form1 &compact = program::compactWindow();
    QVERIFY(compact.isVisible());
    QVERIFY(compact.windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(compact.Label3->caption(), QString("4"));
    for (vb::Image *image : compact.findChildren<vb::Image *>())
        QVERIFY2(image->hasPicture(), qPrintable(image->objectName()));
    // Dragged by its background or its title, with the left button only.
    for (QWidget *grip : std::initializer_list<QWidget *>{compact.Image1, compact.Label8}) {
        QTest::mousePress(grip, Qt::RightButton);
        QTest::mousePress(grip, Qt::LeftButton);
    }
    QCOMPARE(m_drags, (QList<QWidget *>{&compact, &compact}));
}

void PanelTest::compactKeyFollowsTheRadio() {
    Form1 &compact = startCompact();
    m_radio->ProgressBar2->setValue(70);
    QTRY_COMPARE(compact.Label1->caption(), QString("STOP"));
    QVERIFY(compact.Image9->visible());
    // Pressed while busy, the radio's own key handler decides: it refuses.
    QTest::mousePress(compact.Label1, Qt::LeftButton);
    QCOMPARE(m_radio->Image32->borderStyle(), 1);
    QCOMPARE(m_radio->recordingStarted, qint16(0));
    QTest::mouseRelease(compact.Label1, Qt::LeftButton);
    m_radio->ProgressBar2->setValue(0);
    QTRY_COMPARE(compact.Label1->caption(), QString("PTT"));

    // Nothing is refreshed while the key is held.
    QTest::mousePress(compact.Image3, Qt::LeftButton);
    QCOMPARE(m_radio->recordingStarted, qint16(1));
    m_radio->kanalbild = 17;
    m_radio->ProgressBar2->setValue(70);
    QTest::qWait(50);
    QCOMPARE(compact.Label3->caption(), QString("4"));
    QCOMPARE(compact.Label1->caption(), QString("PTT"));
    QTest::mouseRelease(compact.Image3, Qt::LeftButton);
    QTRY_COMPARE(compact.Label3->caption(), QString("17"));
}

void PanelTest::compactSpaceBar() {
    Form1 &compact = startCompact();
    QVERIFY(QTest::qWaitForWindowActive(&compact));
    QCOMPARE(QApplication::focusWidget(), compact.Command1);
    sendKey(compact.Command1, QEvent::KeyPress, Qt::Key_Space);
    QCOMPARE(m_radio->recordingStarted, qint16(1));
    // A held key repeats; that is no release. Another key's release is.
    sendKey(compact.Command1, QEvent::KeyRelease, Qt::Key_Space, true);
    QCOMPARE(m_radio->recordingStarted, qint16(1));
    sendKey(compact.Command1, QEvent::KeyRelease, Qt::Key_A);
    QCOMPARE(m_radio->recordingStarted, qint16(0));
    QVERIFY(compact.Image3->visible() && compact.Timer1->running());

    // Another window takes the focus while the space bar keys: the over ends.
    sendKey(compact.Command1, QEvent::KeyPress, Qt::Key_Space);
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QCOMPARE(m_radio->recordingStarted, qint16(0));
    QCOMPARE(compact.Label1->backColor(), Form1::idleColour);
    QVERIFY(compact.Timer1->running());
}

// The real boxes, answered through their buttons: the standard buttons
// carry Qt's German texts.
void PanelTest::standardButtonsSpeakGerman() {
    QVERIFY(vb::loadGermanQtTexts());
    QStringList seen;
    QString press;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        QWidget *box = QApplication::activeModalWidget();
        if (!box)
            return;
        for (QAbstractButton *button : box->findChildren<QAbstractButton *>()) {
            if (!button->isVisible())
                continue;
            const QString text = QString(button->text()).remove(u'&');
            seen.append(text);
            if (text == press)
                QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
        }
    });
    answer.start(20);

    press = "Nein";
    QCOMPARE(vb::msgBox("Also: WIRKLICH NACH EINEM ADMIN RUFEN ?",
                        vb::vbYesNo | vb::vbCritical | vb::vbDefaultButton2, "Admin-Alarm"),
             int(vb::vbNo));
    QVERIFY2(seen.contains("Ja") && seen.contains("Nein"), qPrintable(seen.join('|')));
    seen.clear();
    press = "Abbrechen";
    QCOMPARE(vb::inputBox("bitte das Passwort eingeben"), QString());
    QVERIFY2(seen.contains("OK") && seen.contains("Abbrechen"), qPrintable(seen.join('|')));
}

void PanelTest::keyCaptionsReadOnTheirFaces_data() {
    QTest::addColumn<bool>("grey");
    QTest::newRow("gold") << false;
    QTest::newRow("grey") << true;
}

// Every key caption on an opaque key face stays readable in every panel
// style, also after the monitor was switched on and off again and the chat
// key was pressed and let go.
void PanelTest::keyCaptionsReadOnTheirFaces() {
    QFETCH(bool, grey);
    startRadio(false, grey ? greySkin() : goldSkin());
    frmMain &radio = *m_radio;
    radio.Label44_Click();
    radio.Label44_Click();
    QCOMPARE(radio.Label44->caption(), QString("Ein"));
    radio.ch01_MouseDown();
    radio.ch01_MouseUp();
    for (int style = 1; style <= 6; ++style) {
        radio.panelStyle = qint16(style);
        radio.ApplyPanelStyle();
        for (vb::Label *label : radio.findChildren<vb::Label *>()) {
            if (label->accessibleRole() != QAccessible::Button || label->backStyle() == 0 ||
                label->caption().isEmpty() || !label->isEnabled())
                continue;
            QVERIFY2(contrast(label->foreColor(), label->backColor()) >= 3.0,
                     qPrintable(QString("%1 in style %2").arg(label->objectName()).arg(style)));
        }
    }
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    PanelTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_panel.moc"
