// Channel steps and direct channel entry. Every change of channel is one
// step up or down: the display follows the channel plan and the voice link
// is taken down and built up again towards the new channel.

#include "control/MRLS_Einlog.h"
#include "radio/channelplan.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "system.h"

#include "sound.h"

namespace {

// The leading whole number of a text, 0 when it starts with none, as the
// display and the entry field are read.
int leadingNumber(const QString &text) {
    const QString t = text.trimmed();
    int end = 0;
    if (end < t.size() && (t[end] == QLatin1Char('-') || t[end] == QLatin1Char('+')))
        ++end;
    while (end < t.size() && t[end].isDigit() && end < 9)
        ++end;
    return t.left(end).toInt();
}

} // namespace

void frmMain::Label9_Click() {
    channelStep(+1);
}

void frmMain::Label10_Click() {
    channelStep(-1);
}

void frmMain::channelStep(int direction) {
    displayColour = m_skin.buildColour;
    if (!program::controlWindow().kicken) {
        if (Image4->visible())
            Label14_Click();
        Timer6->setInterval(4000);
        if (powerState != 1) {
            Image12->setVisible(false);
            Image11->setVisible(true);
            Label3_Click();
            powerState = 1;
        }
        senden->setCaption(QStringLiteral("Bitte warten..."));

        kanalbild = qint16(leadingNumber(Label4->caption()) + direction);
        if (kanalbild > ChannelPlan::channelCount)
            kanalbild = 1;
        if (kanalbild < 1)
            kanalbild = ChannelPlan::channelCount;
        Label4->setCaption(ChannelPlan::displayText(kanalbild));

        if (const ChannelEntry *channel = ChannelPlan::lookup(Label4->caption())) {
            Label32->setCaption(channel->name);
            Label25->setCaption(channel->frequency);
            Label5_Click();
            serverHost =
                channel->server == ChannelServer::First ? deployment.first : deployment.second;
            serverPort = channelPorts[channel->number - 1];
            Label3_Click();
        }
        senden->setCaption(QStringLiteral("P T T"));
    }
    // A kicked station still hears the channel announced.
    if (soundOption == QLatin1String("sound_on"))
        vb::sndPlaySoundA(vb::programFile(ChannelPlan::announcementFile(kanalbild)), vb::SND_ASYNC);
}

void frmMain::Command1_Click() {
    if (program::controlWindow().kicken)
        return;
    Frame7->setVisible(false);
    Image14->setBorderStyle(0);
    if (Text1->text().isEmpty())
        Text1->setText(QStringLiteral("04"));
    const int wanted = std::clamp(leadingNumber(Text1->text()) - 1, 0, ChannelPlan::channelCount);
    Image14->setVisible(true);
    Label4->setCaption(QString::number(wanted));
    Label9_Click();
    senden->setFocus();
}

void frmMain::Label9_MouseDown() {
    Image26->setVisible(true);
    Image19->setVisible(false);
}

void frmMain::Label9_MouseUp() {
    Image26->setVisible(false);
    Image19->setVisible(true);
}

void frmMain::Label10_MouseDown() {
    Image27->setVisible(true);
    Image20->setVisible(false);
}

void frmMain::Label10_MouseUp() {
    Image27->setVisible(false);
    Image20->setVisible(true);
}
