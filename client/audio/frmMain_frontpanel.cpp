// The front panel's keys besides channel, push-to-talk and volume.

#include "audio/clsWaveIn.h"
#include "audio/clsWaveOut.h"
#include "compact/Form1.h"
#include "control/MRLS_Einlog.h"
#include "radio/channelplan.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "system.h"

#include <QDesktopServices>
#include <QUrl>

namespace {

bool kicked() {
    return program::controlWindow().kicken != 0;
}

// A key's caption colour at rest. The panel draws its keys dark, so the
// black of a plain label would hide the caption once the key is let go.
quint32 restingInk(const Skin &skin, const vb::Label *key) {
    return restingInk(skin, key->objectName());
}

} // namespace

void frmMain::Image12_Click() {
    displayColour = m_skin.buildColour;
    Label67->setForeColor(vb::vbGreen);
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

void frmMain::Image11_Click() {
    if (kicked())
        return;
    Image38->setVisible(false);
    Image37->setVisible(true);
    Label67->setForeColor(vb::vbWhite);
    Image36->setVisible(true);
    Timer6->setInterval(0);
    Image12->setVisible(true);
    Image11->setVisible(false);
    Label11_Click();
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
        Label14->setBackColor(vb::vbRed);
        Image4->setVisible(true);
        idleSeconds = 1;
        Image5->setVisible(false);
        muted = 1;
    }
}

// Scan: Timer1 steps up every 2 s until STOP, which steps back one.
void frmMain::Label22_Click() {
    Label24->setEnabled(true);
    Timer1->setInterval(2000);
}

void frmMain::Label24_Click() {
    Timer1->setInterval(0);
    Label4->setBackColor(vb::vbBlack);
    Label10_Click();
    Label24->setEnabled(false);
    Label4->setCaption(ChannelPlan::displayText(kanalbild));
}

void frmMain::Label21_Click() {
    ++panelStyle;
    if (panelStyle > 5)
        panelStyle = 1;
    ApplyPanelStyle();
}

void frmMain::Label4_DblClick() {
    Frame7->setVisible(true);
    Frame7->raise();
    Text1->clear();
    Text1->setFocus();
}

void frmMain::Label43_Click() {
    Image14->setVisible(false);
    Image14->setBorderStyle(1);
    Label4_DblClick();
}

void frmMain::Text1_KeyDown(int KeyCode, int) {
    if (KeyCode == vb::vbKeyReturn)
        Command1_Click();
}

// Reset: held for a tick of the hold counter or more, the key only takes the
// link down; the link watchdog brings it back.
void frmMain::Label46_MouseDown() {
    Timer9->setInterval(1);
    rxSweep = 0;
    if (holdTicks < 1) {
        Image4->setVisible(false);
        Label5_Click();
        Label46->setForeColor(vb::vbRed);
        Image18->setBorderStyle(1);
    }
}

void frmMain::Label46_MouseUp() {
    Label46->setForeColor(restingInk(m_skin, Label46));
    Image18->setBorderStyle(0);
    if (holdTicks < 1)
        Label3_Click();
}

void frmMain::Label48_Click() {
    if (kicked())
        return;
    if (powerState == 0)
        Image12_Click();
    if (muted == 1)
        Label14_Click();
    Check1->setValue(1);
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    klein = 1;
    Form1 &compact = program::compactWindow();
    compact.show();
    showMinimized();
    compact.activateWindow();
}

void frmMain::Label48_MouseDown() {
    if (!kicked())
        Label48->setForeColor(vb::vbRed);
}

void frmMain::Label48_MouseUp() {
    Label48->setForeColor(restingInk(m_skin, Label48));
}

void frmMain::Label50_MouseDown() {
    if (kicked())
        return;
    Image30->setBorderStyle(1);
    Label50->setForeColor(vb::vbRed);
}

void frmMain::Label50_MouseUp() {
    if (kicked())
        return;
    Label50->setForeColor(restingInk(m_skin, Label50));
    Image30->setBorderStyle(0);
    const QString question = QStringLiteral("ACHTUNG ! Bitte nur nach einem Admin rufen,\r\n"
                                            "wenn auch ein Störer auf diesem Kanal ist.\r\n"
                                            "Der Admin wird sich nicht melden, jedoch wird\r\n"
                                            "er dafür sorgen, dass der Störer verbannt wird\r\n"
                                            "Also: WIRKLICH NACH EINEM ADMIN RUFEN ?");
    const int answer = vb::msgBox(question, vb::vbYesNo | vb::vbCritical | vb::vbDefaultButton2,
                                  QStringLiteral("Admin-Alarm"));
    if (answer != vb::vbYes)
        return;
    MRLS_Einlog &control = program::controlWindow();
    control.kanalzeig = Label4->caption();
    control.cmdSend1_Click();
}

// The bare transmit key: no lock, busy test, meter or announcement.
void frmMain::Label8_MouseDown() {
    showTransmitLamps(true);
    if (objWaveOut)
        objWaveOut->PlaybackStop();
    if (objWaveIn)
        objWaveIn->RecordStart(voiceFormat);
}

void frmMain::Label8_MouseUp() {
    showTransmitLamps(false);
    if (objWaveIn)
        objWaveIn->RecordStop();
    if (objWaveOut)
        objWaveOut->PlaybackStart(voiceFormat);
}

void frmMain::Image7_Click() {
    vb::openSoundSettings();
}

void frmMain::Image3_Click() {
    const QUrl homepage(deployment.homepage);
    if (homepage.scheme() == u"http" || homepage.scheme() == u"https")
        QDesktopServices::openUrl(homepage);
}

void frmMain::Label12_DblClick() {
    Image12_Click();
    enteredPassword = vb::inputBox(QStringLiteral("bitte das Passwort eingeben"),
                                   vb::applicationTitle(), QString());
    if (enteredPassword == QLatin1String("morvelin"))
        return;
    if (enteredPassword == QLatin1String("tendrakolm")) {
        Label4->setCaption(QStringLiteral("0"));
        Label32->setCaption(QStringLiteral("Easter Egg"));
        Label5_Click();
        serverHost = deployment.second;
        serverPort = deployment.operatorPort();
        Label3_Click();
        Label25->setCaption(QStringLiteral("27.000 MHz"));
        return;
    }
    vb::msgBox(QStringLiteral("Sie haben hierzu keine Berechtigung"), vb::vbCritical,
               vb::applicationTitle());
}

void frmMain::panelDrag_MouseDown(int Button) {
    dragWindow(Button);
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
    connect(senden, &vb::CommandButton::LostFocus, this, &frmMain::senden_LostFocus);
    setKeyPreview();
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
    connectFrontPanel();
    describeForScreenReaders();
}

void frmMain::connectFrontPanel() {
    connect(Image11, &vb::Image::Click, this, &frmMain::Image11_Click);
    connect(Label22, &vb::Label::Click, this, &frmMain::Label22_Click);
    connect(Label24, &vb::Label::Click, this, &frmMain::Label24_Click);
    connect(Label21, &vb::Label::Click, this, &frmMain::Label21_Click);
    connect(Label4, &vb::Label::DblClick, this, &frmMain::Label4_DblClick);
    connect(Label43, &vb::Label::Click, this, &frmMain::Label43_Click);
    connect(Text1, &vb::TextBox::KeyDown, this, &frmMain::Text1_KeyDown);
    connect(Label46, &vb::Label::MouseDown, this, &frmMain::Label46_MouseDown);
    connect(Label46, &vb::Label::MouseUp, this, &frmMain::Label46_MouseUp);
    connect(Label48, &vb::Label::Click, this, &frmMain::Label48_Click);
    connect(Label48, &vb::Label::MouseDown, this, &frmMain::Label48_MouseDown);
    connect(Label48, &vb::Label::MouseUp, this, &frmMain::Label48_MouseUp);
    connect(Label50, &vb::Label::MouseDown, this, &frmMain::Label50_MouseDown);
    connect(Label50, &vb::Label::MouseUp, this, &frmMain::Label50_MouseUp);
    connect(Label8, &vb::Label::MouseDown, this, &frmMain::Label8_MouseDown);
    connect(Label8, &vb::Label::MouseUp, this, &frmMain::Label8_MouseUp);
    connect(Image7, &vb::Image::Click, this, &frmMain::Image7_Click);
    connect(Image3, &vb::Image::Click, this, &frmMain::Image3_Click);
    connect(Label12, &vb::Label::DblClick, this, &frmMain::Label12_DblClick);
    for (vb::ClickableControl *grip : std::initializer_list<vb::ClickableControl *>{
             Frame1,  Frame2,  Frame3,  Frame5,           Frame6,       Frame9,      Image2,
             Image8,  Image38, Label4,  Label13,          Label15,      Label16,     Label18,
             Label19, Label20, Label25, Label26,          Label30,      Label32,     Label49,
             Label67, Label68, Label69, lblReceivedBytes, ProgressBar1, ProgressBar2})
        connect(grip, &vb::ClickableControl::MouseDown, this,
                [this](int Button, int, float, float) { panelDrag_MouseDown(Button); });

    // The space bar keys the radio from the start, whatever part of the
    // panel was clicked: the labels and pictures take no focus, and the
    // sound-settings slider that has no place on the panel is left out.
    Slider2->setFocusPolicy(Qt::NoFocus);
    Slider2->hide();
    senden->setFocus();
    // The key L is taken back by the push-to-talk key that holds the focus;
    // from the keyboard the mute key is reached with Tab instead.
    Label14->setFocusPolicy(Qt::TabFocus);
}

void frmMain::describeForScreenReaders() {
    for (vb::Label *key : {Label3, Label5, Label9, Label10, Label11, Label22, Label24, Label8,
                           Label36, Label21, Label43, Label38, Label39, Label46, Label48, Label50})
        key->setAccessibleRole(QAccessible::Button);
    for (vb::Image *key : {Image3, Image7, Image11, Image12, Image32})
        key->setAccessibleRole(QAccessible::Button);
    Label14->setAccessibleRole(QAccessible::CheckBox);
    Label14->setAccessibleChecked([this] { return muted == 1; });
    Label17->setAccessibleRole(QAccessible::CheckBox);
    Label17->setAccessibleChecked([this] { return muted == 1; });
    Label28->setAccessibleRole(QAccessible::CheckBox);
    Label28->setAccessibleChecked([this] { return rogerBeep == 1; });
    Label44->setAccessibleRole(QAccessible::CheckBox);
    Label44->setAccessibleChecked([this] { return monitorShown == 1; });
    ch01->setAccessibleRole(QAccessible::CheckBox);
    ch01->setAccessibleChecked([this] { return chatShown == 1; });
    Label3->setAccessibleDescription(QStringLiteral("Verbindung herstellen"));
    Label5->setAccessibleDescription(QStringLiteral("Verbindung trennen"));
    Label22->setAccessibleDescription(QStringLiteral("Suchlauf starten"));
    Label24->setAccessibleDescription(QStringLiteral("Suchlauf anhalten"));
    Label8->setAccessibleDescription(QStringLiteral("Senden ohne Anzeige, solange gedrückt"));
    Image32->setAccessibleName(QStringLiteral("Sendetaste"));
    Label38->setAccessibleDescription(QStringLiteral("Pfeil rechts"));
    Label39->setAccessibleDescription(QStringLiteral("Pfeil links"));
    Label9->setAccessibleDescription(QStringLiteral("Pfeil hoch"));
    Label10->setAccessibleDescription(QStringLiteral("Pfeil runter"));
    Label14->setAccessibleDescription(QStringLiteral("Taste L"));
    Label28->setAccessibleDescription(QStringLiteral("Taste R"));

    // Lamps and displays: their caption where they show text, else what they show.
    const std::pair<vb::ClickableControl *, const char *> shown[] = {
        {Label4, "Kanal"},
        {Label25, "Frequenz"},
        {Label32, "Kanalname"},
        {Label26, "Kanalanzeige"},
        {lblReceivedBytes, "Empfangene Bytes"},
        {Label16, "Verbindungsstatus"},
        {Label34, "Lautstärke"},
        {Label1, "Empfangslampe"},
        {Label2, "Sendelampe"},
        {Label31, "Belegt-Lampe"},
        {Label6, "Verbindungslampe"},
        {Label7, "Getrennt-Lampe"},
        {Label29, "Rogerbeep-Lampe"},
        {Image37, "Betriebslampe aus"},
        {Image38, "Betriebslampe ein"},
        {Image35, "Empfang"},
        {Image36, "Senden"},
        {Image31, "Kanal belegt"},
        {Image4, "Lautsprecher stumm"},
        {Image5, "Lautsprecher an"},
        {Image13, "Rogerbeep ein"},
        {ProgressBar1, "Sendepegel"},
        {ProgressBar2, "Empfangsanzeige"},
        {ProgressBar3, "Lautstärke"},
        {Image2, "S-Meter"},
    };
    for (const auto &[control, what] : shown) {
        if (auto *label = qobject_cast<vb::Label *>(control); label && !label->caption().isEmpty())
            label->setAccessibleDescription(QString::fromUtf8(what));
        else
            control->setAccessibleName(QString::fromUtf8(what));
    }
    for (vb::Label *lamp : {Label1, Label2, Label31, Label6, Label7, Label29})
        lamp->setAccessibleRole(QAccessible::Indicator);
}
