#include "control/MRLS_Einlog.h"

#include "radio/frmMain.h"
#include "radio/program.h"
#include "sound.h"
#include "system.h"

#include <QFileInfo>
#include <limits>

MRLS_Einlog::MRLS_Einlog(QWidget *parent) : vb::Form(parent) {
    setObjectName(QStringLiteral("MRLS_Einlog"));
    setWindowTitle(QStringLiteral("MRLS"));
    resize(vb::pixelsFromTwips(2004), vb::pixelsFromTwips(1452));

    auto *socket = new Winsock(this);
    socket->setObjectName(QStringLiteral("WinSock(0)"));
    WinSock.push_back(socket);
    connect(socket, &Winsock::DataArrival, this,
            [this](qint64 bytesTotal) { WinSock_DataArrival(0, bytesTotal); });

    Image3 = new vb::Image(this, QStringLiteral("Image3"));
    Image3->setTwipsGeometry(0, 0, 1992, 1164);
    Label1 = new vb::Label(this, QStringLiteral("Label1"));
    Label1->setTwipsGeometry(0, 1164, 2004, 288);

    Timer1 = new vb::Timer(this, QStringLiteral("Timer1"), [this] { Timer1_Timer(); });
    starttimer = new vb::Timer(this, QStringLiteral("starttimer"), [this] { starttimer_Timer(); });
    Timer10 = new vb::Timer(this, QStringLiteral("Timer10"), [this] { Timer10_Timer(); });
    Abschalttimer =
        new vb::Timer(this, QStringLiteral("Abschalttimer"), [this] { Abschalttimer_Timer(); });
    Timer1->setInterval(1000);
}

MRLS_Einlog::~MRLS_Einlog() = default;

void MRLS_Einlog::Form_Load() {
    const frmMain *radio = program::mainWindow();
    s = radio ? radio->deployment.identity : stationIdentity(QString());
    starttimer->setInterval(1000);
    controlHost = radio ? radio->deployment.second : QStringLiteral("localhost");
    controlPort = radio ? radio->deployment.controlPort() : Deployment::controlBasePort;
    kanalzeig = QStringLiteral("0");
    ConnectControl();

    notices = {
        QStringLiteral("Achtung!! Hiermit bist du verwarnt!\r\nWenn du dich weiterhin so "
                       "benimmst, wirst du von der Plattform gebannt.\r\nDas Admin-Team"),
        QStringLiteral("Achtung !! Du wurdest soeben gekickt. Deine Sendetaste sowie die "
                       "Beendentaste ist nun für\r\n15 Minuten gesperrt"),
        QStringLiteral("Achtung !!\r\nDeine PTT-Taste klemmt!  Bitte kümmere dich darum."),
        QStringLiteral("Achtung !! Du hast Probleme mit der Soundkarte. Diese verursacht "
                       "Störungen. Bitte kümmere dich darum."),
        QStringLiteral("Achtung !! Du hast soeben die SOS-Taste grundlos gedrückt. Bei "
                       "Zuwiderhandlung werden wir einschreiten."),
        QStringLiteral("Komm mal bitte auf den Adminkanal"),
        QStringLiteral("Es gibt Neuigkeiten auf unserer Homepage!!! Bitte klick auf den "
                       "Info-Button (das blaue I oben neben dem Lautsprecher)"),
        QStringLiteral("Heute Abend beantwortet Quirin Zell wieder Fragen zum Programm. Das "
                       "Meeting findet ab 20.30 Uhr auf Kanal 15 statt."),
        QStringLiteral("\r\nDein Gerät wurde soeben von einem Admin ausgeschaltet "
                       "!!!\r\n\r\nDas Adminteam"),
    };
}

bool MRLS_Einlog::linkUp() const {
    return WinSock[0]->state() == Winsock::sckConnected;
}

void MRLS_Einlog::send(const QString &message) {
    // Nothing is queued: a report made while the link is down is lost.
    if (linkUp())
        WinSock[0]->sendData(toWire(message));
}

void MRLS_Einlog::ConnectControl() {
    WinSock[0]->close();
    m_stream.clear();
    WinSock[0]->setRemotePort(quint16(controlPort));
    WinSock[0]->setRemoteHost(controlHost);
    WinSock[0]->connectTo();
    if (linkUp())
        WinSock[0]->sendData(toWire(QStringLiteral("hallo")));
}

void MRLS_Einlog::Timer1_Timer() {
    if (!linkUp())
        ConnectControl();
}

void MRLS_Einlog::starttimer_Timer() {
    if (i < std::numeric_limits<qint16>::max())
        ++i;
    countdown = qint16(7 - i);
    Label1->setCaption(QStringLiteral("Programmstart ") + QString::number(countdown) +
                       QStringLiteral(" Sek."));
    if (i == 5)
        Image1_Click();
    if (i == 7) {
        hide();
        if (frmMain *radio = program::mainWindow())
            radio->show();
    }
}

void MRLS_Einlog::Image1_Click() {
    cmdsend_Click();
}

void MRLS_Einlog::cmdsend_Click() {
    tagClearTicks = 0;
    Timer10->setInterval(1000);
    send(s + cha + QStringLiteral("(") + kanalzeig + QStringLiteral(")"));
}

void MRLS_Einlog::Timer10_Timer() {
    tagClearTicks += 1;
    if (tagClearTicks > 10) {
        Timer10->setInterval(0);
        cha.clear();
    }
}

void MRLS_Einlog::cmdSend1_Click() {
    send(s + QStringLiteral("A") + kanalzeig + QStringLiteral("A"));
}

// One row of the operators' command table. "Whole" rows are addressed to
// this station (identity + word); the others are notices to all, whose word
// stands after any five characters.
struct MRLS_Einlog::CommandRow {
    enum Match { Whole, AtSix };
    enum Action { Notice, Kick, SwitchOff, Ban };
    const char *word;
    Match match;
    bool sound;
    bool backToFullWindow;
    bool closeButton;
    quint32 panelColour;
    int notice; // 1 to 9
    Action action;
};

namespace {
// The broadcast word stands at characters 6 to 9.
constexpr int broadcastWordAt = 5;
constexpr int commandWordLength = 4;
// The switch-off closes the windows on the eleventh tick of Abschalttimer.
constexpr qint16 switchOffTickLimit = 10;
} // namespace

void MRLS_Einlog::WinSock_DataArrival(int Index, qint64) {
    // Each message on its own: a report joined to the one before must not
    // slide a station's identity to where the notices to all are read.
    const QStringList messages = m_stream.take(fromWire(WinSock[Index]->getData()));
    for (const QString &message : messages) {
        dispatch(message);
        if (m_closing)
            return;
    }
}

void MRLS_Einlog::dispatch(QString message) {
    // The command words stand at the start; a cut never moves them.
    if (message.size() > longestMessage)
        message.truncate(longestMessage);
    strMess = message;
    emit messageStored(strMess);

    using Row = CommandRow;
    static const CommandRow rows[] = {
        {"Na-0", Row::Whole, true, true, true, vb::vbRed, 1, Row::Notice},
        {"Na-1", Row::Whole, true, true, true, vb::vbRed, 3, Row::Notice},
        {"Na-2", Row::Whole, true, false, true, vb::vbRed, 4, Row::Notice},
        {"Na-3", Row::Whole, true, true, true, vb::vbRed, 5, Row::Notice},
        {"Na-4", Row::Whole, true, true, true, vb::vbRed, 6, Row::Notice},
        {"alle", Row::AtSix, false, false, true, vb::vbBlack, 7, Row::Notice},
        {"all1", Row::AtSix, false, false, true, vb::vbBlack, 8, Row::Notice},
        {"aozl", Row::Whole, true, true, false, vb::vbRed, 2, Row::Kick},
        {"gimx", Row::Whole, true, true, false, vb::vbRed, 9, Row::SwitchOff},
        {"bann", Row::Whole, false, false, false, vb::vbRed, 0, Row::Ban},
    };
    // Every row is checked, so one message may act more than once; nothing
    // runs after a ban.
    for (const CommandRow &row : rows) {
        if (!matches(row))
            continue;
        switch (row.action) {
        case Row::Notice:
            showNotice(row);
            break;
        case Row::Kick:
            kick();
            break;
        case Row::SwitchOff:
            switchOff();
            break;
        case Row::Ban:
            ban();
            return;
        }
    }
    readSMeter();
}

bool MRLS_Einlog::matches(const CommandRow &row) const {
    const QLatin1String word(row.word);
    if (row.match == CommandRow::Whole)
        return strMess == s + word;
    return strMess.mid(broadcastWordAt, commandWordLength) == word;
}

void MRLS_Einlog::showNotice(const CommandRow &row) {
    if (row.sound)
        PlayWarningSound();
    warntext = notices[row.notice - 1];
    frmMain *radio = program::mainWindow();
    if (!radio)
        return;
    if (row.backToFullWindow && radio->klein == 1)
        radio->restoreFromCompact();
    radio->showNormalState();
    radio->Image16->setVisible(true);
    if (row.closeButton)
        radio->Command2->setVisible(true);
    radio->Label49->setVisible(true);
    radio->Label49->setBackColor(row.panelColour);
    radio->Label49->setCaption(warntext);
}

void MRLS_Einlog::kick() {
    PlayWarningSound();
    warntext = notices[1];
    frmMain *radio = program::mainWindow();
    if (radio && radio->klein == 1)
        radio->restoreFromCompact();
    if (radio)
        radio->showNormalState();
    kicken = 1;
    if (!radio)
        return;
    radio->Timer10->setInterval(1000);
    // No close button of its own: one still shown from an earlier notice stays.
    radio->Image16->setVisible(true);
    radio->Label49->setVisible(true);
    radio->Label49->setBackColor(vb::vbRed);
    radio->Label49->setCaption(warntext);
}

void MRLS_Einlog::switchOff() {
    frmMain *radio = program::mainWindow();
    if (radio && radio->klein == 1)
        radio->restoreFromCompact();
    Abschalttimer->setInterval(1000);
    PlayWarningSound();
    warntext = notices[8];
    if (!radio)
        return;
    radio->showNormalState();
    radio->Image16->setVisible(true);
    radio->Label49->setVisible(true);
    radio->Label49->setBackColor(vb::vbRed);
    radio->Check1_Click();
    radio->Label49->setCaption(warntext);
}

// Once started, nothing cancels a switch-off.
void MRLS_Einlog::Abschalttimer_Timer() {
    ++switchOffTicks;
    if (switchOffTicks > switchOffTickLimit)
        closeAllWindows();
}

void MRLS_Einlog::ban() {
    frmMain *radio = program::mainWindow();
    if (radio && radio->klein == 1)
        program::unloadCompactWindow();
    closeAllWindows();
}

void MRLS_Einlog::closeAllWindows() {
    frmMain *radio = program::mainWindow();
    if (radio) {
        // The windows go; nothing may dock or show them again meanwhile.
        radio->chatShown = 0;
        radio->Andockench = false;
        radio->monitorShown = 0;
        radio->Timer8->setInterval(0);
    }
    program::unloadChatWindow();
    program::unloadMonitorWindow();
    // With the voice link up the main window signs off instead of closing
    // and the program ends two seconds later.
    if (radio)
        radio->close();
    closeThisWindow();
}

void MRLS_Einlog::closeThisWindow() {
    m_closing = true;
    Timer1->setInterval(0);
    starttimer->setInterval(0);
    Timer10->setInterval(0);
    Abschalttimer->setInterval(0);
    WinSock[0]->close();
    hide();
    // This window is on the call stack (a tick or a data arrival of its
    // own): it is unloaded once that has returned.
    program::unloadLater(this);
}

void MRLS_Einlog::readSMeter() {
    const frmMain *radio = program::mainWindow();
    if (!radio)
        return;
    if (strMess.right(4) == QStringLiteral("(") + radio->Label4->caption() + QStringLiteral(")")) {
        smeterhilf = strMess.right(5);
        smeterwert = smeterhilf.left(1);
    }
}

// A missing sound file is silent: no beep, no message.
void MRLS_Einlog::PlayWarningSound() {
    const QString path = vb::programFile(QStringLiteral("warnung.wav"));
    if (QFileInfo(path).isFile())
        vb::sndPlaySoundA(path, vb::SND_ASYNC);
}
