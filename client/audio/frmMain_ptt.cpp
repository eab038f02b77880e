// Push-to-talk from the key, the keyboard and the serial port.

#include "audio/clsWaveIn.h"
#include "audio/clsWaveOut.h"
#include "control/MRLS_Einlog.h"
#include "mscomm.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "system.h"

#include <QThread>

namespace {

bool kicked() {
    return program::controlWindow().kicken != 0;
}

bool isArrowKey(int keyCode) {
    return keyCode >= vb::vbKeyLeft && keyCode <= vb::vbKeyDown;
}

} // namespace

// The window sees every key before the control with the focus does, as the
// shortcut keys need. Arrow keys are taken here: on a button they would
// move the focus instead.
bool frmMain::previewKeyDown(int keyCode, int shift) {
    Form_KeyDown(keyCode, shift);
    return isArrowKey(keyCode);
}

void frmMain::applicationDeactivated() {
    endTransmissionOnFocusLoss();
}

void frmMain::focusLeft() {
    endTransmissionOnFocusLoss();
}

void frmMain::endTransmissionOnFocusLoss() {
    if (!watchingFocus())
        return;
    if (recordingStarted)
        senden_KeyUp(vb::vbKeySpace, 0);
    else
        senden_MouseUp(0, 0, 0, 0);
}

// A press ends the mute; playback itself reopens on the release.
void frmMain::endMute() {
    Image4->setVisible(false);
    Image5->setVisible(true);
    Label14->setBackColor(vb::systemGrayText);
    muted = 0;
}

void frmMain::showTransmitLamps(bool transmitting) {
    Label2->setBackColor(transmitting ? vb::vbRed : vb::vbBlack);
    Label1->setBackColor(transmitting ? vb::vbBlack : vb::vbGreen);
}

// The control link reports the channel's activity on its next tick.
void frmMain::announceTransmission() {
    MRLS_Einlog &control = program::controlWindow();
    control.i = 4;
    control.kanalzeig = Label4->caption();
}

// A press while locked changes nothing; one while the channel is busy only
// hides the mute indicator. Otherwise the send meter starts and the mute ends.
bool frmMain::startSendMeter() {
    if (kicked())
        return false;
    Image4->setVisible(false);
    if (ProgressBar2->value() == 70.0f)
        return false;
    Timer4->setInterval(26);
    idleSeconds = 0;
    endMute();
    sendMeterOn = 1;
    return true;
}

void frmMain::senden_KeyDown(int KeyCode, int) {
    if (!kicked())
        Image32->setBorderStyle(1);
    // Any other key than the space bar only starts the meter display.
    if (!startSendMeter() || KeyCode != vb::vbKeySpace)
        return;

    showKeyPressed(true);
    if (transmitAnnounced == 0) {
        transmitAnnounced = 1;
        announceTransmission();
    }
    idleSeconds = 0;
    showTransmitLamps(true);
    if (!m_unattendedKeying)
        watchFocus();

    if (recordingStarted == 0) {
        if (objWaveOut)
            objWaveOut->PlaybackStop();
        if (!kicked() && objWaveIn)
            objWaveIn->RecordStart(voiceFormat);
        recordingStarted = 1;
    }
}

void frmMain::showKeyPressed(bool pressed) {
    Image35->setVisible(!pressed);
    Image36->setVisible(pressed);
    Image32->setBorderStyle(pressed ? 1 : 0);
}

// The mouse's release and the pictures, the once-per-press announcement
// and the capture state besides.
void frmMain::senden_KeyUp(int, int) {
    showKeyPressed(false);
    transmitAnnounced = 0;
    recordingStarted = 0;
    senden_MouseUp(0, 0, 0, 0);
}

void frmMain::senden_MouseDown(int, int, float, float) {
    if (!startSendMeter())
        return;
    showTransmitLamps(true);
    watchFocus();

    if (objWaveOut)
        objWaveOut->PlaybackStop();
    if (!kicked() && objWaveIn)
        objWaveIn->RecordStart(voiceFormat);
    announceTransmission();
}

void frmMain::senden_MouseUp(int, int, float, float) {
    needleRest();
    Label60->setLeftTwips(96);
    Timer4->setInterval(0);
    idleSeconds = 0;
    sendMeterOn = 0;
    showTransmitLamps(false);
    // A mouse release while the keyboard still holds the key leaves the
    // focus watch to the keyboard's release.
    if (!recordingStarted)
        stopWatchingFocus();
    if (objWaveIn)
        objWaveIn->RecordStop();
    // The speaker plays after every release; the mute display says so.
    if (objWaveOut && objWaveOut->PlaybackStart(voiceFormat))
        endMute();
}

void frmMain::Image32_MouseDown() {
    if (kicked())
        return;
    showKeyPressed(true);
    senden_MouseDown(0, 0, 0, 0);
}

void frmMain::Image32_MouseUp() {
    showKeyPressed(false);
    senden_MouseUp(0, 0, 0, 0);
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
    for (int arrow : {vb::vbKeyDown, vb::vbKeyRight, vb::vbKeyUp, vb::vbKeyLeft}) {
        if (keyHeld(arrow)) {
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
    case vb::vbKeyDown:
        Label10_Click();
        break;
    case vb::vbKeyUp:
        Label9_Click();
        break;
    case vb::vbKeyRight:
        Label38_Click();
        break;
    case vb::vbKeyLeft:
        Label39_Click();
        break;
    case vb::vbKeyEscape:
        if (voiceConnected) {
            voiceConnected = 0;
            SaveOptions();
            close();
            vb::endProgram();
        } else {
            Image12_Click();
        }
        break;
    case vb::vbKeyL:
        Label17_Click();
        break;
    case vb::vbKeyR:
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
        senden_KeyDown(vb::vbKeySpace, 0);
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
    senden_KeyDown(vb::vbKeySpace, 0);
    senden_KeyUp(vb::vbKeySpace, 0);
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
