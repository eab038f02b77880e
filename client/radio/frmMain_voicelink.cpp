// Going online and offline on the current channel's voice link, and the
// speech that travels on it.

#include "audio/clsWaveIn.h"
#include "audio/clsWaveOut.h"
#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"

#include <QLocale>

namespace {

// The received-bytes display groups digits the way the user's settings do.
QString groupedCount(double count) {
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(qlonglong(count));
}

quint32 colourOf(const QString &text) {
    quint32 colour = 0;
    vb::colourFromText(text, &colour);
    return colour;
}

} // namespace

void frmMain::Label3_Click() {
    Timer4->setInterval(0);
    Label32->setVisible(true);

    Label3->setEnabled(false);
    Label3->setBackColor(vb::vbGreen);
    Timer3->setInterval(1000);
    Label3->setCaption(QStringLiteral("Verbunden"));

    const quint32 lit = colourOf(displayColour);
    Label25->setBackColor(lit);
    Label25->setForeColor(vb::vbBlack);
    Label25->setVisible(true);
    lblReceivedBytes->setBackStyle(1);
    lblReceivedBytes->setBackColor(lit);
    lblReceivedBytes->setForeColor(0x4040);
    lblReceivedBytes->setVisible(true);
    for (vb::Label *display : {Label4, Label26}) {
        display->setVisible(true);
        display->setBackColor(lit);
    }
    Label1->setBackColor(vb::vbGreen);
    Label6->setBackColor(vb::vbRed);
    Label7->setBackColor(vb::vbBlack);

    // After sign-off the audio objects are gone and the radio stays offline.
    if (!objWaveIn || !objWaveOut)
        return;
    // Capture is opened only to prove the device works; it runs while the
    // push-to-talk key is held. Playback stays open. Without a sound device
    // the link comes up all the same: reception still shows on the panel,
    // and every reconnect tries the devices again.
    objWaveIn->RecordStart(voiceFormat);
    objWaveOut->PlaybackStart(voiceFormat);
    objWaveIn->RecordStop();
    Label16->setCaption(QStringLiteral("VERBUNDEN"));
    wskChat->close();
    wskChat->connectTo(serverHost, quint16(serverPort));
}

void frmMain::Label5_Click() {
    Timer4->setInterval(0);

    Label3->setEnabled(true);
    Label3->setBackColor(vb::systemGrayText);
    Label3->setCaption(QStringLiteral("ONLINE"));

    const quint32 lit = colourOf(displayColour);
    lblReceivedBytes->setBackStyle(0);
    lblReceivedBytes->setBackColor(lit);
    lblReceivedBytes->setForeColor(lit);
    lblReceivedBytes->setVisible(false);
    Label4->setVisible(false);
    Label26->setVisible(false);
    Label25->setBackColor(0x404040);
    Label25->setForeColor(0x404040);

    voiceConnected = 0;
    wskChat->close();
    Label6->setBackColor(vb::vbBlack);
    Label7->setBackColor(vb::vbRed);

    // After sign-off the audio objects are gone and going offline ends here.
    if (!objWaveIn || !objWaveOut)
        return;
    objWaveOut->PlaybackStop();
    objWaveIn->RecordStop();
    Label16->setCaption(QStringLiteral("GETRENNT"));
}

void frmMain::wskChat_Connect() {
    receiveBuffer.clear();
    receivedBytes = 0;
    lblReceivedBytes->setCaption(groupedCount(receivedBytes));
    voiceConnected = -1;
    Label16->setCaption(QStringLiteral("VERBUNDEN"));
    // A link that dropped during an over took capture down with it; if the
    // key is still held, the over goes on on the new link. A station kicked
    // meanwhile stays off the air, as a fresh key press would.
    if (Label2->backColor() == vb::vbRed && program::controlWindow().kicken == 0 && objWaveIn &&
        objWaveOut && !objWaveIn->device()) {
        objWaveOut->PlaybackStop();
        objWaveIn->RecordStart(voiceFormat);
    }
}

void frmMain::wskChat_Close() {
    Label5_Click();
}

void frmMain::wskChat_Error(int, const QString &) {
    Label5_Click();
}

void frmMain::wskChat_DataArrival(qint64) {
    const QByteArray arrived = wskChat->getData();
    receivedBytes += double(arrived.size());
    receiveBuffer += arrived;

    // Every whole block is played as soon as it is here; holding the last
    // one back would cut the end off every transmission.
    qsizetype played = 0;
    while (receiveBuffer.size() - played >= wave::gsmBlockBytes) {
        if (objWaveOut)
            objWaveOut->PlayBuffer(receiveBuffer.constData() + played, wave::gsmBlockBytes);
        played += wave::gsmBlockBytes;
    }
    receiveBuffer.remove(0, played);

    lblReceivedBytes->setCaption(groupedCount(receivedBytes));
    Timer5->setInterval(500);
    if (Label2->backColor() != vb::vbRed) {
        Label31->setBackColor(vb::vbRed);
        senden->setCaption(QStringLiteral("Bitte warten"));
        ProgressBar2->setValue(70);
        Image32->setVisible(false);
        Image31->setVisible(true);
        Timer11->setInterval(2);
    }
    Label63->setCaption(QString::number(rxSweep));
}

void frmMain::Timer6_Timer() {
    if (wskChat->state() != Winsock::sckConnected)
        Label3_Click();
}
