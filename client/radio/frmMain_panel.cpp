// The front panel's controls: created once, placed and styled by the skin.

#include "radio/frmMain.h"

#include <QFont>

namespace {

struct LabelEntry {
    vb::Label *frmMain::*member;
    const char *name;
    const char *caption;
    const char *toolTip;
};

} // namespace

// The artwork sits in this static library; without a reference from here the
// linker leaves its registration out of the program.
static void loadArtwork() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(artwork);
        return true;
    }();
    (void)loaded;
}

void frmMain::createControls() {
    for (int index = 0; index < int(Image1.size()); ++index)
        Image1[index] = new vb::Image(this, QStringLiteral("Image1(%1)").arg(index));

    Frame1 = new vb::Frame(this, QStringLiteral("Frame1"));
    Frame2 = new vb::Frame(this, QStringLiteral("Frame2"));
    Frame3 = new vb::Frame(this, QStringLiteral("Frame3"));
    Frame5 = new vb::Frame(this, QStringLiteral("Frame5"));
    Frame6 = new vb::Frame(this, QStringLiteral("Frame6"));
    Frame9 = new vb::Frame(this, QStringLiteral("Frame9"));

    const std::initializer_list<std::pair<vb::Image * frmMain::*, const char *>> images = {
        {&frmMain::Image2, "Image2"},   {&frmMain::Image8, "Image8"},
        {&frmMain::Image37, "Image37"}, {&frmMain::Image38, "Image38"},
        {&frmMain::Image35, "Image35"}, {&frmMain::Image36, "Image36"},
        {&frmMain::Image3, "Image3"},   {&frmMain::Image4, "Image4"},
        {&frmMain::Image5, "Image5"},   {&frmMain::Image7, "Image7"},
        {&frmMain::Image11, "Image11"}, {&frmMain::Image12, "Image12"},
        {&frmMain::Image13, "Image13"}, {&frmMain::Image14, "Image14"},
        {&frmMain::Image17, "Image17"}, {&frmMain::Image18, "Image18"},
        {&frmMain::Image19, "Image19"}, {&frmMain::Image26, "Image26"},
        {&frmMain::Image20, "Image20"}, {&frmMain::Image27, "Image27"},
        {&frmMain::Image28, "Image28"}, {&frmMain::Image29, "Image29"},
        {&frmMain::Image30, "Image30"}, {&frmMain::Image31, "Image31"},
        {&frmMain::Image32, "Image32"},
    };
    for (const auto &[member, name] : images)
        this->*member = new vb::Image(this, QString::fromLatin1(name));
    Image3->setToolTipText(QStringLiteral("Homepage"));
    Image7->setToolTipText(QStringLiteral("Audio-Mischpult"));
    Image12->setToolTipText(QStringLiteral("Einschalten"));
    Image11->setToolTipText(QStringLiteral("Ausschalten"));

    ProgressBar1 = new vb::ProgressBar(this, QStringLiteral("ProgressBar1"));
    ProgressBar2 = new vb::ProgressBar(this, QStringLiteral("ProgressBar2"));
    ProgressBar3 = new vb::ProgressBar(this, QStringLiteral("ProgressBar3"));

    const LabelEntry labels[] = {
        {&frmMain::Label1, "Label1", "", "RX"},
        {&frmMain::Label2, "Label2", "", "TX"},
        {&frmMain::Label3, "Label3", "ONLINE", ""},
        {&frmMain::Label4, "Label4", "04", "Kanal Direkteingabe: Hier Doppelklicken"},
        {&frmMain::Label5, "Label5", "OFFLINE", ""},
        {&frmMain::Label6, "Label6", "", ""},
        {&frmMain::Label7, "Label7", "", ""},
        {&frmMain::Label8, "Label8", "0", ""},
        {&frmMain::Label9, "Label9", "", "Kanal hoch"},
        {&frmMain::Label10, "Label10", "", "Kanal runter"},
        {&frmMain::Label11, "Label11", "Beenden", ""},
        {&frmMain::Label12, "Label12", "", ""},
        {&frmMain::Label13, "Label13", "", ""},
        {&frmMain::Label14, "Label14", "", "Lautsprecher stumm schalten"},
        {&frmMain::Label15, "Label15", "", ""},
        {&frmMain::Label16, "Label16", "GETRENNT", ""},
        {&frmMain::Label17, "Label17", "mute", "Schaltet den Lautsprecher für 8 Minuten STUMM"},
        {&frmMain::Label18, "Label18", "", ""},
        {&frmMain::Label19, "Label19", "", ""},
        {&frmMain::Label20, "Label20", "", ""},
        {&frmMain::Label21, "Label21", "", "Farbe"},
        {&frmMain::Label22, "Label22", "START", ""},
        {&frmMain::Label23, "Label23", "Scan", ""},
        {&frmMain::Label24, "Label24", "STOP", ""},
        {&frmMain::Label25, "Label25", "", ""},
        {&frmMain::Label26, "Label26", "", ""},
        {&frmMain::Label28, "Label28", "", "Rogerbeep passiv"},
        {&frmMain::Label29, "Label29", "", ""},
        {&frmMain::Label30, "Label30", "Immer im Vordergrund", ""},
        {&frmMain::Label31, "Label31", "", ""},
        {&frmMain::Label32, "Label32", "", ""},
        {&frmMain::Label34, "Label34", "", ""},
        {&frmMain::Label36, "Label36", "speichern", ""},
        {&frmMain::Label38, "Label38", "", "Lauter"},
        {&frmMain::Label39, "Label39", "", "Leiser"},
        {&frmMain::Label42, "Label42", "VOL", ""},
        {&frmMain::Label43, "Label43", "", "Direkte manuelle Kanaleingabe"},
        {&frmMain::Label44, "Label44", "Ein", "Aktiv-Monitor schalten"},
        {&frmMain::Label45, "Label45", "Aktivität", "Aktiv-Monitor schalten"},
        {&frmMain::Label46, "Label46", "Reset", "Bei den bekannten Zwitscher-Störungen betätigen"},
        {&frmMain::Label47, "Label47", "Störung",
         "Bei den bekannten Zwitscher-Störungen betätigen"},
        {&frmMain::Label48, "Label48", "MINI", "Miniatur des Gerätes anzeigen"},
        {&frmMain::Label50, "Label50", "SOS", "Ein Störer ist auf diesem Kanal"},
        {&frmMain::Label51, "Label51", "", ""},
        {&frmMain::Label53, "Label53", "0 1  3  4  5  7  9  ", ""},
        {&frmMain::Label60, "Label60", "", ""},
        {&frmMain::Label61, "Label61", "+10+20+30", ""},
        {&frmMain::Label63, "Label63", "", ""},
        {&frmMain::Label67, "Label67", "", ""},
        {&frmMain::Label68, "Label68", "", ""},
        {&frmMain::Label69, "Label69", "", ""},
        {&frmMain::lblReceivedBytes, "lblReceivedBytes", "0", ""},
        {&frmMain::ch01, "ch01", "Chat", "MRLX-Chat (Mini - Chatprogramm)"},
    };
    for (const LabelEntry &entry : labels) {
        auto *label =
            new vb::Label(this, QString::fromLatin1(entry.name), QString::fromUtf8(entry.caption));
        label->setToolTipText(QString::fromUtf8(entry.toolTip));
        this->*entry.member = label;
    }

    Slider1 = new vb::Slider(this, QStringLiteral("Slider1"), QStringLiteral("Lautstärke"));
    Slider2 = new vb::Slider(this, QStringLiteral("Slider2"), QStringLiteral("Soundeinstellungen"));
    Check1 = new vb::CheckBox(this, QStringLiteral("Check1"), QString());
    Check1->setAccessibleName(QStringLiteral("Immer im Vordergrund"));
    senden = new vb::CommandButton(this, QStringLiteral("senden"), QStringLiteral("P T T"));
    senden->setToolTip(QStringLiteral("Sendetaste (Leertaste)"));

    Frame7 = new vb::Frame(this, QStringLiteral("Frame7"), QStringLiteral("Direkteingabe"));
    Frame7->setBackColor(vb::systemButtonFace);
    Text1 = new vb::TextBox(Frame7, QStringLiteral("Text1"), QStringLiteral("Kanalnummer"));
    Command1 =
        new vb::CommandButton(Frame7, QStringLiteral("Command1"), QStringLiteral("Übernehmen"));
    Frame7->hide();

    Image16 = new vb::Image(this, QStringLiteral("Image16"));
    Label49 = new vb::Label(this, QStringLiteral("Label49"));
    Command2 = new vb::CommandButton(this, QStringLiteral("Command2"), QStringLiteral("Schließen"));
    Image16->hide();
    Label49->hide();
    Command2->hide();

    Line1 = new vb::Line(this, QStringLiteral("Line1"));
    wskChat = new Winsock(this);
    wskChat->setObjectName(QStringLiteral("wskChat"));

    // The panel at rest: the first style's faceplate, the switch off, the keys
    // up, the lamps dark, no transient display.
    for (int index = 1; index < int(Image1.size()); ++index)
        Image1[index]->hide();
    for (QWidget *control :
         std::initializer_list<QWidget *>{Image11, Image26, Image27, Image28, Image29, Image31,
                                          Image13, Image38, Image4, Label42, ProgressBar3})
        control->hide();

    Timer1 = new vb::Timer(this, QStringLiteral("Timer1"), [this] { Timer1_Timer(); });
    Timer2 = new vb::Timer(this, QStringLiteral("Timer2"), [this] { Timer2_Timer(); });
    Timer3 = new vb::Timer(this, QStringLiteral("Timer3"), [this] { Timer3_Timer(); });
    Timer4 = new vb::Timer(this, QStringLiteral("Timer4"), [this] { Timer4_Timer(); });
    Timer5 = new vb::Timer(this, QStringLiteral("Timer5"), [this] { Timer5_Timer(); });
    Timer6 = new vb::Timer(this, QStringLiteral("Timer6"), [this] { Timer6_Timer(); });
    Timer7 = new vb::Timer(this, QStringLiteral("Timer7"), [this] { Timer7_Timer(); });
    Timer8 = new vb::Timer(this, QStringLiteral("Timer8"), [this] { Timer8_Timer(); });
    Timer9 = new vb::Timer(this, QStringLiteral("Timer9"), [this] { Timer9_Timer(); });
    Timer10 = new vb::Timer(this, QStringLiteral("Timer10"), [this] { Timer10_Timer(); });
    Timer11 = new vb::Timer(this, QStringLiteral("Timer11"), [this] { Timer11_Timer(); });
    connectTimersAndSmallKeys();
}

void frmMain::applySkin() {
    loadArtwork();
    resize(vb::pixelsFromTwips(m_skin.panelWidthTwips),
           vb::pixelsFromTwips(m_skin.panelHeightTwips));

    for (const Placement &placement : m_skin.placements) {
        const QString name = QString::fromLatin1(placement.control);
        if (name == QLatin1String("Line1")) {
            Line1->setPoints(float(placement.leftTwips), float(placement.topTwips),
                             float(placement.leftTwips + placement.widthTwips),
                             float(placement.topTwips + placement.heightTwips));
            Line1->raise();
            continue;
        }
        auto *control = findChild<QWidget *>(name);
        if (auto *geometry = dynamic_cast<vb::TwipsGeometry *>(control))
            geometry->setTwipsGeometry(placement.leftTwips, placement.topTwips,
                                       placement.widthTwips, placement.heightTwips);
        // later placements lie over earlier ones
        if (control)
            control->raise();
    }

    for (const LabelLook &look : m_skin.looks) {
        auto *label = findChild<vb::Label *>(QString::fromLatin1(look.control));
        if (!label)
            continue;
        label->setForeColor(look.foreColour);
        label->setBackColor(look.backColour);
        label->setBackStyle(look.backStyle);
        label->setBorderStyle(look.borderStyle);
        label->setAlignment(look.alignment);
        QFont font = label->font();
        if (look.fontFamily)
            font.setFamily(QString::fromLatin1(look.fontFamily));
        if (look.fontPt > 0)
            font.setPointSizeF(look.fontPt);
        font.setBold(look.bold);
        label->setFont(font);
    }

    for (vb::Image *image : findChildren<vb::Image *>()) {
        QString file = image->objectName();
        file.replace(QLatin1Char('('), QLatin1Char('_')).remove(QLatin1Char(')'));
        file += QLatin1String(".svg");
        if (!image->setPicture(m_skin.pictureRoot + file))
            image->setPicture(QStringLiteral(":/panel/common/") + file);
    }
}
