#include "compact/Form1.h"

#include "radio/frmMain.h"
#include "radio/program.h"
#include "system.h"

#include <QFont>
#include <QMouseEvent>

namespace {

constexpr quint32 keyFace = 0x2e2e2e;
constexpr quint32 keyText = 0xe8e8e8;
constexpr int px = 15;

struct PictureSpot {
    vb::Image *Form1::*member;
    const char *name;
    int left, top, width, height; // pixels of the artwork
    const char *what;             // for screen readers
};

} // namespace

Form1::Form1(QWidget *parent) : vb::Form(parent) {
    setObjectName(QStringLiteral("Form1"));
    setAccessibleName(QStringLiteral("MRLX-Miniversion"));
    // The client area of 2700 x 1296 twips.
    setClientSizeTwips(2700, 1296);

    Image1 = new vb::Image(this, QStringLiteral("Image1"));
    Image1->setTwipsGeometry(0, 0, 2700, 1296);
    const PictureSpot pictures[] = {
        {&Form1::Image8, "Image8", 6, 19, 32, 14, "Empfang"},
        {&Form1::Image13, "Image13", 6, 19, 32, 14, "Senden"},
        {&Form1::Image5, "Image5", 84, 20, 20, 18, "Lautsprecher an"},
        {&Form1::Image6, "Image6", 84, 20, 20, 18, "Lautsprecher stumm"},
        {&Form1::Image3, "Image3", 106, 17, 18, 24, "Sendetaste"},
        {&Form1::Image4, "Image4", 106, 17, 18, 24, "Sendetaste gedrückt"},
        {&Form1::Image9, "Image9", 125, 46, 46, 10, "Kanal belegt"},
        {&Form1::Image7, "Image7", 8, 58, 24, 20, "Kanal runter"},
        {&Form1::Image10, "Image10", 8, 58, 24, 20, "Kanal runter gedrückt"},
        {&Form1::Image11, "Image11", 36, 58, 24, 20, "Kanal hoch"},
        {&Form1::Image12, "Image12", 36, 58, 24, 20, "Kanal hoch gedrückt"},
    };
    for (const PictureSpot &spot : pictures) {
        auto *image = new vb::Image(this, QString::fromLatin1(spot.name));
        image->setTwipsGeometry(spot.left * px, spot.top * px, spot.width * px, spot.height * px);
        image->setAccessibleName(QString::fromUtf8(spot.what));
        this->*spot.member = image;
    }
    Image3->setAccessibleRole(QAccessible::Button);

    Label8 = new vb::Label(this, QStringLiteral("Label8"), QStringLiteral("MRLX-Miniversion"));
    Label8->setTwipsGeometry(15, 0, 2715, 210);
    Label3 = new vb::Label(this, QStringLiteral("Label3"));
    Label3->setTwipsGeometry(645, 330, 570, 300);
    Label3->setBackColor(0xFFC0C0);
    Label3->setForeColor(vb::vbBlack);
    Label3->setAlignment(vb::Label::Center);
    Label3->setAccessibleDescription(QStringLiteral("Kanal"));
    Label2 = new vb::Label(this, QStringLiteral("Label2"), QStringLiteral("MAXI"));
    Label2->setTwipsGeometry(1875, 405, 690, 255);
    Label2->setToolTipText(QStringLiteral("Zurück zum ganzen Gerät"));
    ProgressBar1 = new vb::ProgressBar(this, QStringLiteral("ProgressBar1"));
    ProgressBar1->setTwipsGeometry(195, 615, 1380, 105);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setAccessibleName(QStringLiteral("Sendepegel"));
    Label7 = new vb::Label(this, QStringLiteral("Label7"), QStringLiteral("<"));
    Label7->setTwipsGeometry(120, 870, 360, 300);
    Label6 = new vb::Label(this, QStringLiteral("Label6"), QStringLiteral(">"));
    Label6->setTwipsGeometry(540, 870, 360, 300);
    Label4 = new vb::Label(this, QStringLiteral("Label4"), QStringLiteral("Mute"));
    Label4->setTwipsGeometry(930, 870, 675, 300);
    Label4->setToolTipText(QStringLiteral("Lautsprecher stumm schalten"));
    Label1 = new vb::Label(this, QStringLiteral("Label1"), QStringLiteral("PTT"));
    Label1->setTwipsGeometry(1680, 870, 930, 300);
    Label1->setToolTipText(QStringLiteral("Sendetaste (Leertaste)"));
    for (vb::Label *key : {Label4, Label1}) {
        key->setBackColor(idleColour);
        key->setForeColor(vb::vbBlack);
        key->setBorderStyle(1);
        key->setAlignment(vb::Label::Center);
    }
    for (vb::Label *key : {Label7, Label6}) {
        key->setBackStyle(0);
        key->setForeColor(keyText);
        key->setAlignment(vb::Label::Center);
    }
    Label2->setBackColor(keyFace);
    Label2->setForeColor(keyText);
    Label2->setBorderStyle(1);
    Label2->setAlignment(vb::Label::Center);
    Label8->setAlignment(vb::Label::Center);
    for (vb::Label *key : {Label1, Label2, Label6, Label7})
        key->setAccessibleRole(QAccessible::Button);
    Label4->setAccessibleRole(QAccessible::CheckBox);
    Label4->setAccessibleChecked([this] { return Label4->backColor() != idleColour; });
    // The arrows' names say what they do; their captions are only signs.
    Label7->setAccessibleName(QStringLiteral("Kanal runter"));
    Label6->setAccessibleName(QStringLiteral("Kanal hoch"));

    QFont small = font();
    small.setPointSizeF(6.5);
    small.setBold(true);
    for (vb::Label *label : {Label8, Label2, Label4, Label1})
        label->setFont(small);
    QFont arrows = small;
    arrows.setPointSizeF(10);
    Label7->setFont(arrows);
    Label6->setFont(arrows);
    QFont display = font();
    display.setFamily(QStringLiteral("DSEG7 Classic"));
    display.setPointSizeF(10);
    display.setBold(true);
    Label3->setFont(display);

    // Outside the visible area: it holds the focus, so the space bar
    // reaches its key events.
    Command1 = new vb::CommandButton(this, QStringLiteral("Command1"), QStringLiteral("leertaste"));
    Command1->setTwipsGeometry(3000, 0, 600, 300);
    Command1->setAccessibleDescription(QStringLiteral("Leertaste halten zum Senden"));
    Check1 =
        new vb::CheckBox(this, QStringLiteral("Check1"), QStringLiteral("Immer im Vordergrund"));
    Check1->setTwipsGeometry(3000, 400, 600, 300);
    Check1->setValue(1);
    Check1->setFocusPolicy(Qt::NoFocus);

    Timer1 = new vb::Timer(this, QStringLiteral("Timer1"), [this] { Timer1_Timer(); });

    Image4->hide();
    Image13->hide();
    Image6->hide();
    Image9->hide();
    Image10->hide();
    Image12->hide();
    // Later controls lie over earlier ones: the pictures under the keys.
    for (QWidget *above : std::initializer_list<QWidget *>{Label7, Label6, Label4, Label1})
        above->raise();

    applySkin();
    connectHandlers();
}

Form1::~Form1() = default;

frmMain *Form1::radio() const {
    return program::mainWindow();
}

void Form1::applySkin() {
    const QString skin = radio() ? radio()->skin().name : QStringLiteral("gold");
    for (vb::Image *image : findChildren<vb::Image *>()) {
        const QString file = image->objectName() + QLatin1String(".svg");
        if (!image->setPicture(QStringLiteral(":/compact/") + skin + QLatin1Char('/') + file))
            image->setPicture(QStringLiteral(":/compact/common/") + file);
    }
}

void Form1::connectHandlers() {
    connect(Label1, &vb::Label::MouseDown, this, &Form1::Label1_MouseDown);
    connect(Label1, &vb::Label::MouseUp, this, &Form1::Label1_MouseUp);
    connect(Command1, &vb::CommandButton::KeyDown, this, &Form1::Command1_KeyDown);
    connect(Command1, &vb::CommandButton::KeyUp, this, &Form1::Command1_KeyUp);
    connect(Image3, &vb::Image::MouseDown, this, &Form1::Image3_MouseDown);
    connect(Image3, &vb::Image::MouseUp, this, &Form1::Image3_MouseUp);
    connect(Label4, &vb::Label::Click, this, &Form1::Label4_Click);
    // The arrow keys act on the press, as their pictures below them do.
    connect(Label6, &vb::Label::MouseDown, this, &Form1::Image11_MouseDown);
    connect(Label6, &vb::Label::MouseUp, this, &Form1::Image11_MouseUp);
    connect(Label7, &vb::Label::MouseDown, this, &Form1::Image7_MouseDown);
    connect(Label7, &vb::Label::MouseUp, this, &Form1::Image7_MouseUp);
    connect(Image11, &vb::Image::MouseDown, this, &Form1::Image11_MouseDown);
    connect(Image11, &vb::Image::MouseUp, this, &Form1::Image11_MouseUp);
    connect(Image7, &vb::Image::MouseDown, this, &Form1::Image7_MouseDown);
    connect(Image7, &vb::Image::MouseUp, this, &Form1::Image7_MouseUp);
    connect(Label2, &vb::Label::Click, this, &Form1::Label2_Click);
    for (vb::ClickableControl *grip : std::initializer_list<vb::ClickableControl *>{Image1, Label8})
        connect(grip, &vb::ClickableControl::MouseDown, this,
                [this](int Button, int, float, float) { dragWindow(Button); });
}

void Form1::Form_Load() {
    Qt::WindowFlags flags = Qt::Window | Qt::FramelessWindowHint;
    if (Check1->value() == 1)
        flags |= Qt::WindowStaysOnTopHint;
    setWindowFlags(flags);
    setWindowTitle(QString());
    if (frmMain *main = radio())
        Label3->setCaption(QString::number(main->kanalbild));
    Timer1->setInterval(1);
    Command1->setFocus();
    show();
    activateWindow();
}

void Form1::Timer1_Timer() {
    frmMain *main = radio();
    if (!main)
        return;
    Label3->setCaption(QString::number(main->kanalbild));
    const bool busy = main->ProgressBar2->value() == 70.0f;
    Label1->setCaption(busy ? QStringLiteral("STOP") : QStringLiteral("PTT"));
    Image9->setVisible(busy);
}

void Form1::showMuteIdle() {
    Label4->setBackColor(idleColour);
    Label4->setBorderStyle(1);
}

void Form1::Label1_MouseDown() {
    m_keyed = true;
    Label1->setBackColor(vb::vbRed);
    if (frmMain *main = radio())
        main->senden_KeyDown(vb::vbKeySpace, 0);
    Timer1->setInterval(0);
    showMuteIdle();
}

void Form1::Label1_MouseUp() {
    m_keyed = false;
    if (frmMain *main = radio())
        main->senden_KeyUp(vb::vbKeySpace, 0);
    Timer1->setInterval(1);
    Label1->setBackColor(idleColour);
}

void Form1::Command1_KeyDown(int KeyCode, int) {
    if (KeyCode != vb::vbKeySpace)
        return;
    Image8->hide();
    Image13->show();
    Image3->hide();
    Image4->show();
    Label1_MouseDown();
}

// Any key's release ends the transmission, not only the space bar's.
void Form1::Command1_KeyUp(int, int) {
    Image8->show();
    Image13->hide();
    Image3->show();
    Image4->hide();
    Label1_MouseUp();
}

void Form1::Image3_MouseDown() {
    Command1_KeyDown(vb::vbKeySpace, 0);
}

void Form1::Image3_MouseUp() {
    Command1_KeyUp(vb::vbKeySpace, 0);
}

// The look follows this key's own colour, not the main window's state.
void Form1::Label4_Click() {
    frmMain *main = radio();
    if (Label4->backColor() == idleColour) {
        if (main)
            main->Label14_Click();
        Label4->setBorderStyle(1);
        Label4->setBackColor(vb::vbRed);
        Image5->hide();
        Image6->show();
    } else {
        Image5->show();
        Image6->hide();
        if (main)
            main->Label14_Click();
        showMuteIdle();
    }
}

void Form1::Label6_Click() {
    showMuteIdle();
    if (frmMain *main = radio())
        main->Label9_Click();
}

void Form1::Label7_Click() {
    showMuteIdle();
    if (frmMain *main = radio())
        main->Label10_Click();
}

void Form1::Image11_MouseDown() {
    Label6_Click();
    Image11->hide();
    Image12->show();
}

void Form1::Image11_MouseUp() {
    Image11->show();
    Image12->hide();
}

void Form1::Image7_MouseDown() {
    Label7_Click();
    Image7->hide();
    Image10->show();
}

void Form1::Image7_MouseUp() {
    Image7->show();
    Image10->hide();
}

void Form1::Label2_Click() {
    if (frmMain *main = radio()) {
        main->setWindowState(main->windowState() & ~Qt::WindowMinimized);
        main->show();
        main->raise();
        main->activateWindow();
        main->klein = 0;
    }
    program::unloadCompactWindow();
}

void Form1::Label11_Click() {
    Label2_Click();
}

void Form1::mousePressEvent(QMouseEvent *event) {
    dragWindow(vb::buttonValue(event->button()));
}

void Form1::windowDeactivated() {
    if (m_keyed)
        Command1_KeyUp(0, 0);
}
