// The front panel's keys besides channel, push-to-talk and volume.

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

void frmMain::Label14_Click() {}

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
}
