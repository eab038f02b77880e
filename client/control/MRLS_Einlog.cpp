#include "control/MRLS_Einlog.h"

#include "radio/frmMain.h"
#include "radio/program.h"

#include <limits>

MRLS_Einlog::MRLS_Einlog(QWidget *parent) : QWidget(parent) {
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
    Abschalttimer = new vb::Timer(this, QStringLiteral("Abschalttimer"), [] {});
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

void MRLS_Einlog::WinSock_DataArrival(int Index, qint64) {
    QString message = fromWire(WinSock[Index]->getData());
    if (message.size() > longestMessage)
        message = message.right(longestMessage);
    strMess = message;
    emit messageStored(strMess);
}
