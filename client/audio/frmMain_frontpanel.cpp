// The front panel's keys besides channel, push-to-talk and volume.

#include "audio/clsWaveOut.h"
#include "radio/frmMain.h"

void frmMain::Image12_Click() {
    displayColour = m_skin.buildColour;
    Label67->setForeColor(65280);
    Image38->setVisible(true);
    Image37->setVisible(false);
    Image36->setVisible(false);
    if (powerState == 0) {
        Timer6->setInterval(4000);
        Image12->setVisible(false);
        Image11->setVisible(true);
        Label3_Click();
        Label9_Click();
        powerState = 1;
        volTicks = 0;
        Label42->setVisible(true);
        ProgressBar3->setVisible(true);
        Timer7->setInterval(1000);
    }
}

void frmMain::Label36_Click() {
    SaveOptions();
}

// Muting closes the playback device; received speech is dropped meanwhile.
void frmMain::Label14_Click() {
    if (muted == 1) {
        Image4->setVisible(false);
        Image5->setVisible(true);
        if (objWaveOut)
            objWaveOut->PlaybackStart(voiceFormat);
        Label14->setBackColor(vb::systemGrayText);
        muted = 0;
    } else {
        if (objWaveOut)
            objWaveOut->PlaybackStop();
        Label14->setBackColor(0xFF);
        Image4->setVisible(true);
        idleSeconds = 1;
        Image5->setVisible(false);
        muted = 1;
    }
}

void frmMain::Timer7_Timer() {
    ++volTicks;
    if (volTicks >= 5) {
        Label42->setVisible(false);
        ProgressBar3->setVisible(false);
        Timer7->setInterval(0);
    }
}

void frmMain::connectHandlers() {
    connect(Label11, &vb::Label::Click, this, &frmMain::Label11_Click);
    connect(Label36, &vb::Label::Click, this, &frmMain::Label36_Click);
    connect(Image12, &vb::Image::Click, this, &frmMain::Image12_Click);
    connect(Label3, &vb::Label::Click, this, &frmMain::Label3_Click);
    connect(Label5, &vb::Label::Click, this, &frmMain::Label5_Click);
    connect(Label9, &vb::Label::Click, this, &frmMain::Label9_Click);
    connect(Label10, &vb::Label::Click, this, &frmMain::Label10_Click);
    connect(Label9, &vb::Label::MouseDown, this, &frmMain::Label9_MouseDown);
    connect(Label9, &vb::Label::MouseUp, this, &frmMain::Label9_MouseUp);
    connect(Label10, &vb::Label::MouseDown, this, &frmMain::Label10_MouseDown);
    connect(Label10, &vb::Label::MouseUp, this, &frmMain::Label10_MouseUp);
    connect(Command1, &vb::CommandButton::Click, this, &frmMain::Command1_Click);
    connect(wskChat, &Winsock::Connect, this, &frmMain::wskChat_Connect);
    connect(wskChat, &Winsock::Close, this, &frmMain::wskChat_Close);
    connect(wskChat, &Winsock::Error, this, &frmMain::wskChat_Error);
    connect(wskChat, &Winsock::DataArrival, this, &frmMain::wskChat_DataArrival);
    // Push-to-talk
    connect(senden, &vb::CommandButton::KeyDown, this, &frmMain::senden_KeyDown);
    connect(senden, &vb::CommandButton::KeyUp, this, &frmMain::senden_KeyUp);
    connect(senden, &vb::CommandButton::MouseDown, this, &frmMain::senden_MouseDown);
    connect(senden, &vb::CommandButton::MouseUp, this, &frmMain::senden_MouseUp);
    connect(Image32, &vb::Image::MouseDown, this, &frmMain::Image32_MouseDown);
    connect(Image32, &vb::Image::MouseUp, this, &frmMain::Image32_MouseUp);
    connect(Label14, &vb::Label::Click, this, &frmMain::Label14_Click);
    connect(Label17, &vb::Label::Click, this, &frmMain::Label17_Click);
    connect(Label44, &vb::Label::Click, this, &frmMain::Label44_Click);
    installKeyPreview();
    // The radio starts with the speaker on, the key free and the meter's
    // pressed-key pictures up; the panel shows only the pictures that say so.
    Image4->setVisible(false);
    Image5->setVisible(true);
    Image31->setVisible(false);
    Image13->setVisible(false);
    Image28->setVisible(false);
    Image29->setVisible(false);
    // Levels and volume
    connect(Label28, &vb::Label::Click, this, &frmMain::Label28_Click);
    connect(Label38, &vb::Label::Click, this, &frmMain::Label38_Click);
    connect(Label39, &vb::Label::Click, this, &frmMain::Label39_Click);
    connect(Label38, &vb::Label::MouseDown, this, &frmMain::Label38_MouseDown);
    connect(Label38, &vb::Label::MouseUp, this, &frmMain::Label38_MouseUp);
    connect(Label39, &vb::Label::MouseDown, this, &frmMain::Label39_MouseDown);
    connect(Label39, &vb::Label::MouseUp, this, &frmMain::Label39_MouseUp);
    connect(Slider1, &vb::Slider::Scroll, this, &frmMain::Slider1_Scroll);
    connect(Slider2, &vb::Slider::Scroll, this, &frmMain::Slider2_Scroll);
}
