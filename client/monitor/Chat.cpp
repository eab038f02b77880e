#include "monitor/Chat.h"

#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <algorithm>

// The artwork sits in this static library; without a reference from here the
// linker leaves its registration out of the program.
static void loadArtwork() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(monitor);
        return true;
    }();
    (void)loaded;
}

namespace {

constexpr int windowWidthTwips = 4404;
constexpr int windowHeightTwips = 3120;
constexpr quint32 stripColour = 0x4040; // dark olive behind every caption
constexpr quint32 white = 0xFFFFFF;
constexpr int rowSize = 20;
constexpr int columnTwips = 216;

QString twoDigits(int channel) {
    return QStringLiteral("%1").arg(channel, 2, 10, QLatin1Char('0'));
}

// The channel a message names by its last four characters, "(01)" to
// "(40)"; 0 for every other ending.
int channelOfToken(const QString &message) {
    const QString token = message.right(4);
    if (token.size() != 4 || token[0] != QLatin1Char('(') || token[3] != QLatin1Char(')'))
        return 0;
    const auto digit = [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9') ? c.unicode() - u'0' : -1;
    };
    const int tens = digit(token[1]);
    const int ones = digit(token[2]);
    if (tens < 0 || ones < 0)
        return 0;
    const int channel = tens * 10 + ones;
    return channel >= 1 && channel <= Chat::channelCount ? channel : 0;
}

void styleCaption(vb::Label *label, quint32 foreColour, double fontPt) {
    label->setBackColor(stripColour);
    label->setForeColor(foreColour);
    label->setAlignment(vb::Label::Center);
    QFont font(QStringLiteral("DejaVu Sans Condensed"));
    font.setPointSizeF(fontPt);
    font.setBold(true);
    label->setFont(font);
}

} // namespace

Chat::Chat(QWidget *parent) : vb::Form(parent) {
    setObjectName(QStringLiteral("Chat"));
    // A satellite of the borderless radio: no frame of its own, no place in
    // the task bar; the radio keeps it at its right edge.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setWindowTitle(QStringLiteral("Aktiv-Monitor"));
    setAccessibleName(QStringLiteral("Aktiv-Monitor"));
    // The radio keeps the focus; the panel's tips show all the same.
    setAttribute(Qt::WA_AlwaysShowToolTips);
    setClientSizeTwips(windowWidthTwips, windowHeightTwips);
    QPalette casing = palette();
    casing.setColor(QPalette::Window, QColor(0x10, 0x10, 0x10));
    setPalette(casing);
    setAutoFillBackground(true);
    vb::installActivityAccessibility();
    createControls();
}

// Switch-off, ban and program end take the window down at any moment; the
// connection to the control link and the timer go with it.
Chat::~Chat() = default;

void Chat::createControls() {
    loadArtwork();
    frmMain *radio = program::mainWindow();
    m_skinName = radio ? radio->skin().name : QStringLiteral("gold");

    // The panel wears the faceplate the radio shows, and changes with it.
    Image1 = new vb::Image(this, QStringLiteral("Image1"));
    Image1->setTwipsGeometry(-24, -36, 4428, 3108);
    int style = 0;
    if (radio) {
        for (int index = 0; index < int(radio->Image1.size()); ++index) {
            radio->Image1[index]->installEventFilter(this);
            if (!radio->Image1[index]->isHidden())
                style = index;
        }
    }
    showPanelStyle(style);

    // The frame groups the panel for assistive technology; its border and
    // caption are part of the artwork and the title line.
    Frame1 = new vb::Frame(this, QStringLiteral("Frame1"),
                           QStringLiteral("Aktivität in den letzten 30 Sekunden"));
    Frame1->setTwipsGeometry(15, 15, 4440, 3060);
    QPalette unseen = Frame1->palette();
    unseen.setColor(QPalette::Mid, Qt::transparent);
    unseen.setColor(QPalette::WindowText, Qt::transparent);
    Frame1->setPalette(unseen);

    Label5 = new vb::Label(this, QStringLiteral("Label5"),
                           QStringLiteral("Aktivität in den letzten 30 Sekunden"));
    Label5->setTwipsGeometry(192, 24, 3996, 204);
    styleCaption(Label5, white, 7);

    for (int k = 0; k < channelCount; ++k) {
        const int column = k % rowSize;
        const bool lower = k >= rowSize;
        const QString number = twoDigits(k + 1);
        auto *bar = new vb::ActivityBar(this, QStringLiteral("ProgressBar1(%1)").arg(k),
                                        QStringLiteral("Kanal ") + number);
        bar->setRange(0, 100);
        bar->setTwipsGeometry(144 + columnTwips * column, lower ? 1536 : 240, 108, 1044);
        connect(bar, &vb::ActivityBar::Click, this, [this, k] { ProgressBar1_Click(k); });
        ProgressBar1[size_t(k)] = bar;

        auto *label = new vb::ChannelNumber(this, QStringLiteral("Label4(%1)").arg(k), number);
        label->setTwipsGeometry(120 + columnTwips * column, lower ? 2616 : 1320, lower ? 156 : 180,
                                180);
        styleCaption(label, vb::systemWindow, 5.5);
        connect(label, &vb::ChannelNumber::Click, this, [this, k] { Label4_Click(k); });
        Label4[size_t(k)] = label;
    }

    Label1 = new vb::Label(this, QStringLiteral("Label1"),
                           QStringLiteral("Zahl anklicken um auf diesen Kanal zu wechseln"));
    Label1->setTwipsGeometry(216, 2820, 3996, 216);
    styleCaption(Label1, white, 7);

    Timer3 = new vb::Timer(this, QStringLiteral("Timer3"), [this] { Timer3_Timer(); });
}

void Chat::showPanelStyle(int index) {
    const QString picture = QStringLiteral(":/monitor/%1/Image1_%2.svg");
    if (!Image1->setPicture(picture.arg(m_skinName).arg(index)))
        Image1->setPicture(picture.arg(QStringLiteral("gold")).arg(0));
}

bool Chat::eventFilter(QObject *watched, QEvent *event) {
    const frmMain *radio = program::mainWindow();
    if (event->type() == QEvent::ShowToParent && radio) {
        const auto found = std::find(radio->Image1.begin(), radio->Image1.end(), watched);
        if (found != radio->Image1.end())
            showPanelStyle(int(found - radio->Image1.begin()));
    }
    return vb::Form::eventFilter(watched, event);
}

void Chat::Form_Load() {
    // Every message the control link stores reaches the panel as it is
    // stored, a repeated one as well: nothing is polled, nothing is missed.
    // The radio loads the link first; a panel loaded after a ban or
    // switch-off took the link down must not bring it back.
    if (program::controlWindowLoaded())
        connect(&program::controlWindow(), &MRLS_Einlog::messageStored, this, &Chat::ParseActivity);
    // Nobody else takes the window down when the program ends normally.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [] { program::unloadMonitorWindow(); });
}

void Chat::ParseActivity(const QString &message) {
    lastSeenMessage = message;
    if (const int channel = channelOfToken(message))
        ProgressBar1[size_t(channel - 1)]->setValue(100);
    // Started by the first message and left running: restarting it on every
    // message would hold the decay back while reports come in quickly.
    if (!Timer3->running())
        Timer3->setInterval(decayIntervalMs);
}

void Chat::Timer3_Timer() {
    for (vb::ActivityBar *bar : ProgressBar1) {
        float value = bar->value();
        if (value < 1)
            value = 1;
        bar->setValue(value - 1);
    }
}

void Chat::ProgressBar1_Click(int Index) {
    pickChannel(Index);
}

void Chat::Label4_Click(int Index) {
    pickChannel(Index);
}

void Chat::pickChannel(int index) {
    frmMain *radio = program::mainWindow();
    if (!radio)
        return;
    if (index >= 0 && index < channelCount)
        radio->Text1->setText(twoDigits(index + 1));
    radio->Command1_Click();
}

void Chat::closeEvent(QCloseEvent *event) {
    // Closed by the window system while shown: hide it the way the monitor
    // key does, so that the key shows the panel's state.
    frmMain *radio = program::mainWindow();
    if (radio && radio->monitorShown == 1) {
        event->ignore();
        radio->Label44_Click();
        return;
    }
    vb::Form::closeEvent(event);
}
