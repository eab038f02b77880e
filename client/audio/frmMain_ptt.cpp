// Push-to-talk from the key, the keyboard and the serial port.

#include "audio/clsWaveIn.h"
#include "audio/clsWaveOut.h"
#include "control/MRLS_Einlog.h"
#include "mscomm.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "system.h"

#include <QApplication>
#include <QKeyEvent>
#include <QThread>
#include <QWindow>

namespace {

constexpr int spaceKey = 32;
constexpr quint32 red = 0xFF;
constexpr quint32 green = 0xFF00;

bool kicked() {
    return program::controlWindow().kicken != 0;
}

} // namespace

// The window sees every key before the control with the focus does, as the
// shortcut keys need. Arrow keys are taken here: on a button they would
// move the focus instead.
class frmMain::KeyPreview : public QObject {
public:
    explicit KeyPreview(frmMain *window) : m_window(window) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        // A key released while another window is active is never seen here:
        // the window holds no key once it loses activation.
        if (event->type() == QEvent::WindowDeactivate && watched == m_window)
            m_window->forgetHeldKeys();
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
            return false;
        // A key event travels up from the focus widget; look at it once.
        QWidget *first = QApplication::focusWidget();
        if (first ? watched != first : watched != m_window)
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        const int code = vb::keyCodeFromQt(key->key());
        if (event->type() == QEvent::KeyRelease) {
            if (!key->isAutoRepeat() && code > 0 && code < 256)
                m_window->m_keyDown[code] = false;
            return false;
        }
        if (code > 0 && code < 256)
            m_window->m_keyDown[code] = true;
        m_window->Form_KeyDown(code, vb::shiftValue(key->modifiers()));
        return code >= 37 && code <= 40;
    }

private:
    frmMain *m_window;
};

void frmMain::installKeyPreview() {
    m_keyPreview = std::make_unique<KeyPreview>(this);
    QObject *preview = m_keyPreview.get();
    installEventFilter(preview);
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(preview);

    connect(senden, &vb::CommandButton::LostFocus, preview, [this] { senden_LostFocus(); });
    connect(qApp, &QGuiApplication::applicationStateChanged, preview,
            [this](Qt::ApplicationState state) {
                if (state != Qt::ApplicationActive) {
                    forgetHeldKeys();
                    endTransmissionOnFocusLoss();
                }
            });
    connect(qApp, &QGuiApplication::focusWindowChanged, preview, [this](QWindow *window) {
        if (!m_releaseOnFocusLoss)
            return;
        // A click into a window of ours from outside keys before the window
        // gets the focus; the window that then gets it holds the key.
        if (!m_keyingWindow && window) {
            m_keyingWindow = window;
            return;
        }
        if (window != m_keyingWindow)
            endTransmissionOnFocusLoss();
    });
}

void frmMain::endTransmissionOnFocusLoss() {
    if (!m_releaseOnFocusLoss)
        return;
    if (recordingStarted)
        senden_KeyUp(spaceKey, 0);
    else
        senden_MouseUp(0, 0, 0, 0);
}

// The speaker plays after every release; the mute display says so.
void frmMain::showSpeakerOn() {
    Image4->setVisible(false);
    Image5->setVisible(true);
    Label14->setBackColor(vb::systemGrayText);
    muted = 0;
}

void frmMain::senden_KeyDown(int KeyCode, int) {
    if (kicked())
        return;
    Image4->setVisible(false);
    Image32->setBorderStyle(1);
    if (ProgressBar2->value() == 70.0f)
        return;

    Timer4->setInterval(26);
    idleSeconds = 0;
    Image4->setVisible(false);
    Image5->setVisible(true);
    Label14->setBackColor(vb::systemGrayText);
    muted = 0;
    sendMeterOn = 1;
    if (KeyCode != spaceKey)
        return;

    Image35->setVisible(false);
    Image36->setVisible(true);
    if (transmitAnnounced == 0) {
        transmitAnnounced = 1;
        MRLS_Einlog &control = program::controlWindow();
        control.i = 4;
        control.kanalzeig = Label4->caption();
    }
    idleSeconds = 0;
    Label2->setBackColor(red);
    Label1->setBackColor(0);
    if (!m_unattendedKeying) {
        m_releaseOnFocusLoss = true;
        m_keyingWindow = QGuiApplication::focusWindow();
    }

    if (recordingStarted == 0) {
        if (objWaveOut)
            objWaveOut->PlaybackStop();
        if (!kicked() && objWaveIn)
            objWaveIn->RecordStart(voiceFormat);
        recordingStarted = 1;
    }
}

void frmMain::senden_KeyUp(int, int) {
    needleRest();
    Image35->setVisible(true);
    Image36->setVisible(false);
    Image32->setBorderStyle(0);
    transmitAnnounced = 0;
    Label60->setLeftTwips(96);
    Timer4->setInterval(0);
    idleSeconds = 0;
    sendMeterOn = 0;
    Label2->setBackColor(0);
    Label1->setBackColor(green);
    recordingStarted = 0;
    m_releaseOnFocusLoss = false;
    if (objWaveIn)
        objWaveIn->RecordStop();
    if (objWaveOut && objWaveOut->PlaybackStart(voiceFormat))
        showSpeakerOn();
}

void frmMain::senden_MouseDown(int, int, float, float) {
    if (kicked())
        return;
    Image4->setVisible(false);
    if (ProgressBar2->value() == 70.0f)
        return;

    sendMeterOn = 1;
    Timer4->setInterval(26);
    Image4->setVisible(false);
    Image5->setVisible(true);
    Label14->setBackColor(vb::systemGrayText);
    muted = 0;
    idleSeconds = 0;
    Label2->setBackColor(red);
    Label1->setBackColor(0);
    m_releaseOnFocusLoss = true;
    m_keyingWindow = QGuiApplication::focusWindow();

    if (objWaveOut)
        objWaveOut->PlaybackStop();
    if (!kicked() && objWaveIn)
        objWaveIn->RecordStart(voiceFormat);
    MRLS_Einlog &control = program::controlWindow();
    control.i = 4;
    control.kanalzeig = Label4->caption();
}

void frmMain::senden_MouseUp(int, int, float, float) {
    needleRest();
    Label60->setLeftTwips(96);
    Timer4->setInterval(0);
    idleSeconds = 0;
    sendMeterOn = 0;
    Label2->setBackColor(0);
    Label1->setBackColor(green);
    // A mouse release while the keyboard still holds the key leaves the
    // focus watch to the keyboard's release.
    if (!recordingStarted)
        m_releaseOnFocusLoss = false;
    if (objWaveIn)
        objWaveIn->RecordStop();
    if (objWaveOut && objWaveOut->PlaybackStart(voiceFormat))
        showSpeakerOn();
}

void frmMain::Image32_MouseDown() {
    if (kicked())
        return;
    Image35->setVisible(false);
    Image36->setVisible(true);
    Image32->setBorderStyle(1);
    senden_MouseDown(0, 0, 0, 0);
}

void frmMain::Image32_MouseUp() {
    Image35->setVisible(true);
    Image36->setVisible(false);
    Image32->setBorderStyle(0);
    senden_MouseUp(0, 0, 0, 0);
}

void frmMain::forgetHeldKeys() {
    m_keyDown.fill(false);
}

void frmMain::senden_LostFocus() {
    // The focus leaves with the window: what the table says is held may
    // have been released elsewhere.
    if (!isActiveWindow())
        forgetHeldKeys();
    GetCursorKeys(senden);
}

bool frmMain::GetCursorKeys(QWidget *control) {
    int keyCode = 0;
    for (int arrow : {40, 39, 38, 37}) {
        if (m_keyDown[arrow]) {
            keyCode = arrow;
            break;
        }
    }
    if (keyCode != 0 && control)
        control->setFocus();
    Form_KeyDown(keyCode, 0);
    return keyCode != 0;
}

void frmMain::Form_KeyDown(int KeyCode, int) {
    switch (KeyCode) {
    case 40:
        Label10_Click();
        break;
    case 38:
        Label9_Click();
        break;
    case 39:
        Label38_Click();
        break;
    case 37:
        Label39_Click();
        break;
    case 27:
        if (voiceConnected) {
            voiceConnected = 0;
            SaveOptions();
            close();
            vb::endProgram();
        } else {
            Image12_Click();
        }
        break;
    case 76:
        Label17_Click();
        break;
    case 82:
        Label28_Click();
        break;
    default:
        break;
    }
}

void frmMain::openSerialPort() {
    if (!MSComm1) {
        MSComm1 = new vb::MSComm(this);
        connect(MSComm1, &vb::MSComm::OnComm, this, &frmMain::MSComm1_OnComm);
    }
    MSComm1->setPortOpen(false);
    MSComm1->setCommPort(comPort);
    MSComm1->setDTREnable(true);
    MSComm1->setRTSEnable(true);
    MSComm1->setPortOpen(true);
}

void frmMain::MSComm1_OnComm() {
    // A pedal holds the key for as long as it likes, whatever has the focus.
    m_unattendedKeying = true;
    if (MSComm1->DSRHolding())
        senden_KeyDown(spaceKey, 0);
    else
        senden_KeyUp(0, 0);
    m_unattendedKeying = false;
    if (MSComm1->CTSHolding()) {
        QThread::msleep(400);
        Label9_Click();
    }
    if (MSComm1->CDHolding()) {
        QThread::msleep(400);
        Label10_Click();
    }
}

void frmMain::Timer3_Timer() {
    const bool wasMuted = Image4->visible();
    ++idleSeconds;
    if (idleSeconds != 700)
        return;
    m_unattendedKeying = true;
    senden_KeyDown(spaceKey, 0);
    senden_KeyUp(spaceKey, 0);
    m_unattendedKeying = false;
    Image4->setVisible(false);
    Image5->setVisible(true);
    muted = 1;
    Label17_Click();
    idleSeconds = 0;
    if (wasMuted)
        Label14_Click();
}

void frmMain::Label17_Click() {
    Label14_Click();
}
