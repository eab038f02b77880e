// The text chat: its window, its connection to the chat server and the rules
// by which lines enter the history.
//
// On the wire a line is one send of Windows-1252 text without terminator:
//   chat line  "0" + call sign padded to 50 + typed text + two-digit channel
//   join line  "1" + call sign padded to 50
// The receiver takes whatever one arrival brings as one line; the chat
// server shares this framing, so it stays as it is.

#include "chat/mrlxchat.h"

#include "chat/chatarrival.h"
#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "sound.h"
#include "system.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFont>
#include <QSettings>
#include <QTimer>

namespace {

constexpr quint16 chatServerPort = 10040;
const QString noName = QStringLiteral("no name");
const QChar noBreakSpace(0x00A0);
// A line of a few lines' length still travels as one piece through the
// chat server, whose reads are a few kilobytes.
constexpr int longestInput = 1000;

// The faceplate colours of the radio's six panel styles (light, dark, ink),
// so that the chat looks like the part of the radio it hangs under.
const vb::Faceplate goldPlates[6] = {
    {"#f3d27a", "#b8862b", "#6b4a12"}, {"#f4e6c4", "#c9b083", "#7d6a48"},
    {"#d49a5a", "#8c5a26", "#4c2d0d"}, {"#4a3f2a", "#211b10", "#c9a24a"},
    {"#e6946a", "#a5532b", "#5b2710"}, {"#efdcae", "#c4a76b", "#6e5a32"},
};
const vb::Faceplate greyPlates[6] = {
    {"#e4e6e8", "#a4a8ad", "#55595e"}, {"#6c7075", "#33363a", "#c8ccd0"},
    {"#8e9aa6", "#56616c", "#262d33"}, {"#7b7f84", "#44484c", "#d9dde1"},
    {"#9fb4c8", "#5a7389", "#24323f"}, {"#a9aa86", "#6b6c4a", "#2e2f1c"},
};

// Styles count from 1; the radio starts with none chosen yet (0).
const vb::Faceplate &plateFor(bool grey, int style) {
    const int index = style >= 1 && style <= 6 ? style - 1 : 0;
    return grey ? greyPlates[index] : goldPlates[index];
}

quint32 valueOf(const QColor &colour) {
    return quint32(colour.blue()) << 16 | quint32(colour.green()) << 8 | quint32(colour.red());
}

// The call sign is offered once; after that a user sets it from the menu.
const QString offeredKey = QStringLiteral("chat/callSignOffered");

} // namespace

mrlxchat::mrlxchat(frmMain *radio, QWidget *parent)
    : vb::Form(parent), m_radio(radio ? radio : program::mainWindow()) {
    setObjectName(QStringLiteral("mrlxchat"));
    setWindowFlag(Qt::FramelessWindowHint);
    setWindowTitle(QString());
    setAccessibleName(QStringLiteral("MRLX-Chat"));
    setClientSizeTwips(clientWidthTwips, clientHeightTwips);
    createControls();
    m_pointer = std::make_unique<FormPointer>(this);
    loadLinkControl();
    applyLook();
    // The link control's face needs the application to go: a window still
    // loaded at the end goes before the application does.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
            [] { program::unloadChatWindow(); });
}

mrlxchat::~mrlxchat() {
    // A send still waiting returns at once and touches nothing of this window.
    if (m_sendWait)
        m_sendWait->quit();
    for (Winsock *socket : wsckChat)
        socket->disconnect(this);
    txtchat->disconnect(this);
    m_pointer.reset();
    Hyperlink1.reset();
}

void mrlxchat::createControls() {
    Label1 = new vb::Label(this, QStringLiteral("Label1"), QStringLiteral("Rufzeichen:"));
    Label1->setTwipsGeometry(0, 30, 1050, 255);
    Label1->setToolTipText(QStringLiteral("Hier ziehen, um das Fenster zu verschieben"));
    Label2 = new vb::Label(this, QStringLiteral("Label2"));
    Label2->setTwipsGeometry(1080, 30, 1755, 255);
    Label2->setToolTipText(QStringLiteral("Klick: Funkgerät minimieren, rechte Maustaste: Menü"));
    Label2->addPopupMenuItem(QStringLiteral("Rufzeichen ändern …"), [this] { editCallSign(); });
    Label2->addPopupMenuItem(QStringLiteral("Neu verbinden"), [this] {
        cmdcancel_Click();
        cmdconnect_Click();
    });
    Check1 = new vb::CheckBox(this, QStringLiteral("Check1"), QStringLiteral("Sound off"));
    Check1->setTwipsGeometry(7440, 12, 1245, 315);
    Check1->setValue(0);
    Label3 = new vb::Label(
        this, QStringLiteral("Label3"),
        QStringLiteral("MRLX-Chat     Achtung hier empfangene Internetlinks einfach anklicken   "));
    Label3->setTwipsGeometry(0, 330, 8715, 240);

    txtchat = new RichTextBox(this);
    txtchat->setObjectName(QStringLiteral("txtchat"));
    txtchat->setAccessibleName(QStringLiteral("Chatverlauf"));
    txtchat->setReadOnly(true);
    txtchat->setGeometry(vb::pixelsFromTwips(-24), vb::pixelsFromTwips(576),
                         vb::pixelsFromTwips(8736), vb::pixelsFromTwips(2148));
    // Where a new line gets its links formatted before it joins the history;
    // outside the visible area, as the link control shows the box it formats.
    m_newLine = new RichTextBox(this);
    m_newLine->setObjectName(QStringLiteral("newLine"));
    m_newLine->setGeometry(vb::pixelsFromTwips(9000), vb::pixelsFromTwips(1200), 1, 1);
    m_newLine->setFocusPolicy(Qt::NoFocus);
    txtNachricht =
        new vb::TextBox(this, QStringLiteral("txtNachricht"), QStringLiteral("Nachricht"));
    txtNachricht->setTwipsGeometry(-24, 2712, 7260, 312);
    txtNachricht->setMaxLength(longestInput);
    cmdsend = new vb::CommandButton(this, QStringLiteral("cmdsend"), QStringLiteral("Senden"));
    cmdsend->setTwipsGeometry(7248, 2712, 1476, 324);

    // Kept outside the visible area and out of the tab order.
    txtname = new vb::TextBox(this, QStringLiteral("txtname"), QStringLiteral("Rufzeichen"));
    txtname->setTwipsGeometry(9000, 0, 1500, 300);
    cmdconnect =
        new vb::CommandButton(this, QStringLiteral("cmdconnect"), QStringLiteral("Verbinden"));
    cmdconnect->setTwipsGeometry(9000, 400, 1500, 300);
    cmdcancel = new vb::CommandButton(this, QStringLiteral("cmdcancel"), QStringLiteral("Trennen"));
    cmdcancel->setTwipsGeometry(9000, 800, 1500, 300);
    for (QWidget *hidden : std::initializer_list<QWidget *>{txtname, cmdconnect, cmdcancel})
        hidden->setFocusPolicy(Qt::NoFocus);

    Timer2 = new vb::Timer(this, QStringLiteral("Timer2"), [this] { Timer2_Timer(); });

    auto *socket = new Winsock(this);
    socket->setObjectName(QStringLiteral("wsckChat(0)"));
    wsckChat.push_back(socket);
    connect(socket, &Winsock::Connect, this, [this] { wsckChat_Connect(0); });
    connect(socket, &Winsock::DataArrival, this, [this] { wsckChat_DataArrival(0); });
    connect(socket, &Winsock::SendComplete, this, [this] { wsckChat_SendComplete(0); });
    connect(socket, &Winsock::Close, this, [this] { wsckChat_Close(0); });
    connect(socket, &Winsock::Error, this,
            [this](int number, const QString &) { wsckChat_Error(0, number); });

    connect(cmdsend, &vb::CommandButton::Click, this, [this] { cmdsend_Click(); });
    connect(cmdconnect, &vb::CommandButton::Click, this, &mrlxchat::cmdconnect_Click);
    connect(cmdcancel, &vb::CommandButton::Click, this, &mrlxchat::cmdcancel_Click);
    // Enter sends, as the send key does.
    connect(txtNachricht, &QLineEdit::returnPressed, this, [this] { cmdsend_Click(); });
    connect(txtchat, &RichTextBox::MouseMove, this,
            [this](int, int, float x, float y) { txtchat_MouseMove(x, y); });
    connect(txtchat, &RichTextBox::Click, this, &mrlxchat::txtchat_Click);
    connect(Label1, &vb::Label::MouseDown, this,
            [this](int button, int, float, float) { Label1_MouseDown(button); });
    connect(Label2, &vb::Label::Click, this, &mrlxchat::Label2_Click);
}

void mrlxchat::loadLinkControl() {
    // On the first start the library that came with the program registers
    // itself: beside it in the build, in lib/marlox when installed.
    const QString registration =
        com::registerIfNeeded(hyperlink::progId, vb::programLibrary(QStringLiteral("Hyperlink")));
    com::Instance<IHyperlink> created = hyperlink::create();
    if (!created.object) {
        m_linkControlError = created.error.isEmpty() ? registration : created.error;
        return;
    }
    Hyperlink1 = created.object;
    Hyperlink1->InitProperties();
    if (QWidget *face = Hyperlink1->face()) {
        face->setParent(this);
        face->move(vb::pixelsFromTwips(6000), vb::pixelsFromTwips(960));
        face->stackUnder(txtchat);
        face->show();
    }
}

void mrlxchat::Form_Load() {
    // A newcomer is asked for a call sign once, before the load reads it; the
    // load goes on when the question is answered.
    const auto own = radioSettings();
    if (RegRead(callSignPath).isEmpty() && !own->value(offeredKey).toBool()) {
        own->setValue(offeredKey, true);
        QTimer::singleShot(0, this, &mrlxchat::offerCallSign);
        return;
    }
    sendDone = true;
    txtname->setText(RegRead(callSignPath));
    Label2->setCaption(txtname->text());
    Timer2->setInterval(1000);
    cmdconnect_Click();
    if (!Hyperlink1 && !m_linkNoticeShown) {
        m_linkNoticeShown = true;
        showNotice(m_linkControlError + QStringLiteral(" Links werden nicht hervorgehoben."));
    }
    focusInput();
}

void mrlxchat::offerCallSign() {
    askCallSign(true);
}

void mrlxchat::editCallSign() {
    askCallSign(false);
}

void mrlxchat::askCallSign(bool thenLoad) {
    if (m_callSignDialog) {
        m_callSignDialog->raise();
        if (thenLoad)
            connect(m_callSignDialog, &QDialog::finished, this, &mrlxchat::Form_Load);
        return;
    }
    const vb::InputBoxCall question{
        QStringLiteral("Unter welchem Rufzeichen sollen dich die anderen im Chat lesen?"),
        QStringLiteral("Rufzeichen"), RegRead(callSignPath)};
    m_callSignDialog = vb::askText(this, QStringLiteral("callSign"), question, nickWidth,
                                   [this, thenLoad](const QString &answer) {
                                       takeCallSign(answer.left(nickWidth));
                                       if (thenLoad)
                                           Form_Load();
                                   });
}

void mrlxchat::takeCallSign(const QString &callSign) {
    if (trimBlanks(callSign).isEmpty() || callSign == RegRead(callSignPath))
        return;
    RegWrite(callSignPath, callSign);
    txtname->setText(callSign);
    Label2->setCaption(callSign);
    // A call sign goes out with the join line: a link that is up takes
    // it over on a fresh connection, one that is down on the next.
    if (connected) {
        cmdcancel_Click();
        cmdconnect_Click();
    }
}

void mrlxchat::UpdateControls() {
    txtname->setEnabled(!connected);
    cmdconnect->setEnabled(!connected);
    cmdcancel->setEnabled(connected);
    txtNachricht->setEnabled(connected);
    cmdsend->setEnabled(connected);
    txtchat->setEnabled(connected);
    txtchat->setText(QString());
}

QString mrlxchat::channelText() const {
    return m_radio ? m_radio->Label4->caption() : QString();
}

void mrlxchat::focusInput() {
    // Also before the window is shown: the field has the focus when it appears.
    if (txtNachricht->isEnabled())
        txtNachricht->setFocus();
}

void mrlxchat::cmdconnect_Click() {
    if (trimBlanks(txtname->text()).isEmpty())
        txtname->setText(noName);
    // Padded as it goes on the wire: a character that Windows-1252 lacks is
    // one byte there whatever its length here, and the field stays 50 bytes.
    paddedNick = fromWire(toWire(txtname->text()).leftJustified(nickWidth, ' ', true));
    connected = true;
    UpdateControls();
    const Deployment deployment =
        m_radio ? m_radio->deployment : loadDeployment(vb::programFolder());
    const QString host = deployment.chat.trimmed();
    if (host.isEmpty()) {
        connected = false;
        UpdateControls();
        return;
    }
    Winsock *socket = wsckChat[0];
    socket->setRemotePort(quint16(chatServerPort + deployment.portOffset));
    socket->setRemoteHost(host);
    socket->connectTo();
    focusInput();
}

void mrlxchat::cmdcancel_Click() {
    for (size_t index = 0; index < wsckChat.size(); ++index) {
        if (wsckChat[index]->state() != Winsock::sckClosed)
            wsckChat[index]->close();
    }
    while (wsckChat.size() > 1) {
        wsckChat.back()->deleteLater();
        wsckChat.pop_back();
    }
    if (m_sendWait)
        m_sendWait->quit();
    connected = false;
    UpdateControls();
}

void mrlxchat::wsckChat_Connect(int index) {
    if (index == 0)
        SendLine(QStringLiteral("1") + paddedNick, 0);
}

bool mrlxchat::SendLine(const QString &line, int index) {
    sendDone = false;
    if (index < 0 || index >= int(wsckChat.size()))
        return true;
    Winsock *socket = wsckChat[size_t(index)];
    if (socket->state() != Winsock::sckConnected || !socket->sendData(toWire(line)))
        return true;
    // Only one send waits; one made meanwhile (a click, the idle line) goes
    // out and returns, and both are done when the first wait ends.
    if (m_sendWait)
        return true;
    // The wait ends with the completion, the link's end or error, or the bound.
    QEventLoop wait;
    QTimer bound;
    bound.setSingleShot(true);
    connect(&bound, &QTimer::timeout, &wait, &QEventLoop::quit);
    bound.start(sendWaitMs);
    const QPointer<mrlxchat> alive(this);
    m_sendWait = &wait;
    if (!sendDone)
        wait.exec();
    if (!alive)
        return false;
    m_sendWait = nullptr;
    return true;
}

void mrlxchat::wsckChat_SendComplete(int) {
    sendDone = true;
    if (m_sendWait)
        m_sendWait->quit();
}

bool mrlxchat::cmdsend_Click() {
    if (trimBlanks(txtNachricht->text()).isEmpty()) {
        focusInput();
        return true;
    }
    MRLS_Einlog &control = program::controlWindow();
    control.i = 4;
    control.cha = QStringLiteral("C");
    control.kanalzeig = channelText();
    // The channel goes behind the text, never into the field: the field's
    // length limit would cut it off a long line.
    const QString typed = txtNachricht->text() + channelText();
    if (!SendLine(QStringLiteral("0") + paddedNick + typed, 0))
        return false;
    ShowLine(typed, paddedNick);
    txtNachricht->clear();
    focusInput();
    return true;
}

void mrlxchat::wsckChat_DataArrival(int index) {
    if (index < 0 || index >= int(wsckChat.size()))
        return;
    const ChatArrival arrival = readChatArrival(fromWire(wsckChat[size_t(index)]->getData()));
    for (const QString &nick : arrival.joins)
        showNotice(QStringLiteral("Der User ") + nick + QStringLiteral(" betritt den Chat."));
    if (arrival.line)
        ShowLine(arrival.line->text, arrival.line->nick);
}

void mrlxchat::showNotice(const QString &text) {
    ShowLine(text, systemSpeaker);
}

void mrlxchat::ShowLine(const QString &text, const QString &nick) {
    // The system's notices carry no channel and are shown on every channel.
    const bool notice = nick == systemSpeaker;
    const QString channel = channelText().trimmed();
    const bool shown = !text.startsWith(noBreakSpace) &&
                       (notice || (text.size() >= 2 && text.right(2) == channel));
    if (shown) {
        if (!notice && m_radio && m_radio->isMinimized() && m_radio->Andockench &&
            Check1->value() == 0)
            vb::sndPlaySoundA(vb::programFile(QStringLiteral("post.wav")), vb::SND_ASYNC);
        const QString body = notice ? text : text.left(text.size() - 2);
        // Only the new line has its links formatted; the lines before keep
        // theirs. A flood of lines then costs what each line costs, and the
        // oldest lines go so that the history stays small.
        m_newLine->setText(trimBlanks(nick) + QStringLiteral(": ") + body + QStringLiteral("\r\n"));
        if (Hyperlink1)
            Hyperlink1->URLFormat(*m_newLine);
        txtchat->appendText(*m_newLine);
        txtchat->keepLastLines(historyLines, historyCharacters);
    }
    txtchat->setSelStart(txtchat->textLength());
    txtchat->ensureCursorVisible();
    focusInput();
}

void mrlxchat::Timer2_Timer() {
    // Held just past the threshold: a full input field may keep it there all night.
    if (idleTicks <= idleThreshold)
        ++idleTicks;
    if (idleTicks > idleThreshold && txtNachricht->text().isEmpty()) {
        txtNachricht->setText(QString(noBreakSpace));
        if (!cmdsend_Click())
            return;
        idleTicks = 0;
    }
    if (m_radio && m_radio->panelStyle != m_paintedStyle)
        applyLook();
}

void mrlxchat::wsckChat_Close(int index) {
    if (index == 0)
        linkEnded(QStringLiteral("Die Verbindung wurde beendet"));
}

void mrlxchat::wsckChat_Error(int index, int number) {
    // A refused or broken link would otherwise leave the window looking
    // connected while every line is dropped.
    if (index != 0)
        return;
    const bool neverUp = number == Winsock::sckConnectionRefused ||
                         number == Winsock::sckHostNotFound || number == Winsock::sckTimedOut;
    linkEnded(neverUp ? QStringLiteral("Der Chat-Server ist nicht erreichbar.")
                      : QStringLiteral("Die Verbindung wurde beendet"));
}

void mrlxchat::linkEnded(const QString &notice) {
    wsckChat[0]->close();
    if (m_sendWait)
        m_sendWait->quit();
    connected = false;
    UpdateControls();
    showNotice(notice);
}

void mrlxchat::txtchat_MouseMove(float x, float y) {
    if (Hyperlink1)
        Hyperlink1->RichWordOver(*m_pointer, *txtchat, x, y);
    focusInput();
}

void mrlxchat::txtchat_Click() {
    if (Hyperlink1) {
        Hyperlink1->URLLaunch();
        Hyperlink1->URLFormat(*txtchat);
    }
    txtchat->setSelStart(txtchat->textLength());
    txtchat->ensureCursorVisible();
    focusInput();
}

void mrlxchat::Label1_MouseDown(int button) {
    dragWindow(button);
}

void mrlxchat::Label2_Click() {
    if (m_radio)
        m_radio->showMinimized();
}

void mrlxchat::closeEvent(QCloseEvent *event) {
    // A close from the desktop (Alt+F4) does what the radio's chat key does,
    // so that the key's state and the docking follow.
    event->ignore();
    hide();
    if (m_radio) {
        m_radio->Andockench = false;
        m_radio->chatShown = 0;
    }
    program::unloadLater(this);
}

void mrlxchat::applyLook() {
    m_paintedStyle = m_radio ? m_radio->panelStyle : 1;
    const bool grey = m_radio && m_radio->skin().name == QLatin1String("grey");
    const vb::Faceplate &plate = plateFor(grey, m_paintedStyle);
    quint32 lit = 0x80C0FF;
    if (m_radio)
        vb::colourFromText(m_radio->skin().buildColour, &lit);

    QFont small = font();
    small.setPointSizeF(7.5);
    small.setBold(true);
    for (vb::Label *label : {Label1, Label2, Label3})
        label->setFont(small);
    Label1->setBackStyle(0);
    Label1->setForeColor(valueOf(plate.ink));
    // The call sign is lit like the radio's display, the banner printed like its legends.
    Label2->setBackStyle(1);
    Label2->setBackColor(0x404040);
    Label2->setForeColor(lit);
    Label2->setBorderStyle(1);
    Label3->setBackStyle(1);
    Label3->setBackColor(0x1a1a1a);
    Label3->setForeColor(lit);
    Label3->setAlignment(vb::Label::Center);

    Check1->setFont(small);
    QPalette checkPalette = Check1->palette();
    checkPalette.setColor(QPalette::WindowText, plate.ink);
    Check1->setPalette(checkPalette);

    const QColor paper(QRgb(grey ? 0xf1f2f3 : 0xfbf6e6));
    vb::setPaperLook(*txtchat, paper);
    vb::setPaperLook(*txtNachricht, paper);
    vb::setDarkKeyLook(*cmdsend);
    update();
}

void mrlxchat::paintEvent(QPaintEvent *) {
    const bool grey = m_radio && m_radio->skin().name == QLatin1String("grey");
    vb::paintFaceplate(*this, plateFor(grey, m_paintedStyle));
}
