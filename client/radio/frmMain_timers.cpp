// The radio core's timers (scan, docking, hold counter, kick) and the small
// keys: always on top, the chat key and the notice panel's close key.

#include "chat/mrlxchat.h"
#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"

namespace {
// The hold counter ends after this many ticks; the "Reset" key reads it.
constexpr qint16 holdTickLimit = 200;
// Fifteen minutes of one-second ticks lock a kicked station.
constexpr qint16 kickTickLimit = 900;
} // namespace

void frmMain::connectTimersAndSmallKeys() {
    connect(Check1, &vb::CheckBox::Click, this, &frmMain::Check1_Click);
    connect(ch01, &vb::Label::Click, this, &frmMain::ch01_Click);
    connect(ch01, &vb::Label::MouseDown, this, &frmMain::ch01_MouseDown);
    connect(ch01, &vb::Label::MouseUp, this, &frmMain::ch01_MouseUp);
    connect(Command2, &vb::CommandButton::Click, this, &frmMain::Command2_Click);
}

// Scan: every tick is an ordinary step up, blinking the display dark for
// the moment of the step.
void frmMain::Timer1_Timer() {
    Label4->setBackColor(vb::vbBlack);
    Label9_Click();
    quint32 colour = 0;
    if (vb::colourFromText(displayColour, &colour))
        Label4->setBackColor(colour);
}

void frmMain::Timer8_Timer() {
    if (startupDockPending)
        dock();
    if (Andockench)
        dock();
}

// The radio's own moves and the showing of a docked window dock at once, so
// the windows travel together while the radio is dragged; Timer8 ticks only
// to catch a docked window moved on its own.
void frmMain::dockNow() {
    if (Timer8 && Timer8->running())
        Timer8_Timer();
}

void frmMain::moveEvent(QMoveEvent *event) {
    vb::Form::moveEvent(event);
    dockNow();
}

void frmMain::resizeEvent(QResizeEvent *event) {
    vb::Form::resizeEvent(event);
    dockNow();
}

void frmMain::Timer9_Timer() {
    ++holdTicks;
    if (holdTicks >= holdTickLimit) {
        holdTicks = 0;
        Timer9->setInterval(0);
    }
}

// The end of a kick. A second kick restarts the timer but not its count, so
// the lock still ends fifteen minutes after the first.
void frmMain::Timer10_Timer() {
    ++kickTicks;
    if (kickTicks >= kickTickLimit) {
        Image16->setVisible(false);
        Label49->setVisible(false);
        Command2->setVisible(false);
        kickTicks = 0;
        program::controlWindow().kicken = 0;
        Timer10->setInterval(0);
    }
}

void frmMain::Check1_Click() {
    const bool onTop = Check1->value() == 1;
    if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) != onTop) {
        // Changing a window's flags hides it and may let the window system
        // place it anew: put it back where it was, in the state it was.
        const QPoint position = pos();
        const QSize size = this->size();
        const bool wasShown = isVisible();
        const bool wasMinimized = isMinimized();
        setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
        move(position);
        resize(size);
        if (wasMinimized)
            showMinimized();
        else if (wasShown)
            show();
    }
    senden->setFocus();
}

void frmMain::ch01_Click() {
    if (program::controlWindow().kicken)
        return;
    if (chatShown == 0) {
        chatShown = 1;
        program::chatWindow().show();
        Andockench = true;
        dockNow();
    } else {
        chatShown = 0;
        program::unloadChatWindow();
        Andockench = false;
    }
}

void frmMain::ch01_MouseDown() {
    Image14->setBorderStyle(1);
    ch01->setForeColor(vb::vbRed);
}

void frmMain::ch01_MouseUp() {
    Image14->setBorderStyle(0);
    // Black would vanish on the dark key face.
    ch01->setForeColor(restingInk(skin(), ch01->objectName()));
}

// Closes the notice; a kick goes on until Timer10 ends it.
void frmMain::Command2_Click() {
    Image16->setVisible(false);
    Label49->setVisible(false);
    Command2->setVisible(false);
}

void frmMain::showNormalState() {
    if (isMinimized())
        showNormal();
}

void frmMain::restoreFromCompact() {
    showNormalState();
    klein = 0;
    program::unloadCompactWindow();
}
