// Start-up, the options file, the panel style and sign-off.

#include "radio/channelplan.h"
#include "radio/frmMain.h"
#include "radio/optionsfile.h"
#include "radio/program.h"

#include "audio/clsWaveIn.h"
#include "audio/clsWaveOut.h"
#include "control/MRLS_Einlog.h"
#include "smallfile.h"
#include "system.h"

#include <QCloseEvent>
#include <QSaveFile>
#include <cmath>

namespace {

const QString optionsFileName = QStringLiteral("optionen.txt");

using optionsfile::numberFromText;
using optionsfile::wholeNumber;

// Numbers are printed with a blank where a plus sign would stand.
QString printedNumber(int value) {
    return value < 0 ? QString::number(value) : QStringLiteral(" ") + QString::number(value);
}

} // namespace

frmMain::frmMain(const Skin &skin, QWidget *parent) : vb::Form(parent), m_skin(skin) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowFlag(Qt::FramelessWindowHint);
    setWindowTitle(vb::applicationTitle());
    setAccessibleName(QStringLiteral("Marlox CB-Funkgerät"));
    deployment = loadDeployment(vb::settingsFolder());
    createControls();
    applySkin();
    connectHandlers();
    program::setMainWindow(this);
}

frmMain::~frmMain() {
    // Releasing the audio objects waits for their devices: no docking then,
    // which would load the monitor again after it was unloaded.
    Timer8->setInterval(0);
    releaseAudioObjects();
    // The key may still lose the focus while the window's base takes it down.
    senden->disconnect(this);
    if (program::mainWindow() == this)
        program::setMainWindow(nullptr);
}

void frmMain::Form_Load() {
    comPort = QStringLiteral("1");

    const float dx = Line1->x2() - Line1->x1();
    const float dy = Line1->y2() - Line1->y1();
    needleLength = std::sqrt(dx * dx + dy * dy);
    needlePivotX = Line1->x1();
    needlePivotY = Line1->y1();

    setWindowLeftTwips(3048);
    setWindowTopTwips(2928);
    Label60->setLeftTwips(96);
    rxSweep = 120;

    Slider1->setRange(0, 100);
    Slider1->setValue(23);
    SetVolume();
    Label34->setCaption(QString::number(Slider1->value()));
    ProgressBar3->setValue(float(Slider1->value()));

    displayColour = m_skin.buildColour;
    LoadOptions();
    openSerialPort();
    SetVolume();

    // One copy per settings folder: users of one install each run their own.
    m_guard = std::make_unique<vb::SingleInstanceGuard>(vb::settingsFolder());
    if (m_guard->anotherCopyRunning()) {
        setWindowTitle(QStringLiteral("#NotAllowedInstance#"));
        vb::endProgram();
        return;
    }
    connect(m_guard.get(), &vb::SingleInstanceGuard::activationRequested, this,
            &frmMain::raiseFromAnotherCopy);

    Timer5->setInterval(500);
    openLevelCapture();

    Label4->setBackColor(0x404040);
    lblReceivedBytes->setBackColor(0x404040);
    Label25->setBackColor(0x404040);
    Label25->setCaption(QStringLiteral("27.005 MHz"));

    serverHost = deployment.first;
    for (int n = 1; n <= ChannelPlan::channelCount; ++n)
        channelPorts[n - 1] = ChannelPlan::channels()[n - 1].port + deployment.portOffset;
    serverPort = channelPorts[0];

    Label16->setCaption(QStringLiteral("GETRENNT"));

    createAudioObjects();
    muted = 0;
    voiceFormat = wave::gsmVoiceFormat();

    program::controlWindow().kanalzeig = Label4->caption();

    displayColour = QStringLiteral("0");
    ApplyPanelStyle();
    startupDockPending = -1;
    Timer8->setInterval(dockingIntervalMs);

    if (soundOption == QLatin1String("sound_on"))
        Image12_Click();
}

void frmMain::LoadOptions() {
    // Only a regular file of at most 64 KB is read: a FIFO in its place must
    // not hang the start, and a huge file is not an options file.
    std::array<QString, optionsfile::lineCount> line =
        optionsfile::lines(readSmallFile(vb::settingsFile(optionsFileName)).value_or(""));

    qint16 volume = 0;
    if (wholeNumber(line[0], &volume) && volume >= Slider1->minimum() &&
        volume <= Slider1->maximum())
        Slider1->setValue(volume);
    ProgressBar3->setValue(float(Slider1->value()));

    for (int index : {3, 4, 5}) {
        double value = 0;
        // A serial device named by its path is kept as it is.
        if (index == 5 && optionsfile::isDevicePath(line[index]))
            continue;
        if (!numberFromText(line[index], &value) || value < 0)
            line[index] = QStringLiteral("1");
    }
    int coordinate = 0;
    if (optionsfile::coordinateTwips(line[3], &coordinate))
        setWindowTopTwips(coordinate);
    if (optionsfile::coordinateTwips(line[4], &coordinate))
        setWindowLeftTwips(coordinate);
    placeOnVisibleScreen();
    soundOption = line[6];

    qint16 channel = 0;
    if (!wholeNumber(line[1], &channel) || channel == 0)
        channel = 1;
    const int shown = channel - 1;

    Label34->setCaption(line[0]);
    Label4->setCaption(shown < 10 ? QStringLiteral("0") + QString::number(shown)
                                  : QString::number(shown));

    qint16 style = 0;
    panelStyle = wholeNumber(line[2], &style) ? style : 0;
    comPort = line[5];
}

void frmMain::SaveOptions() {
    if (soundOption.isEmpty())
        soundOption = QStringLiteral("sound_off");
    // Until the radio is first switched on, the display shows the channel
    // below the stored one; storing that would move the user's channel down
    // by one with every start.
    QString channelText = Label4->caption();
    bool isNumber = false;
    const int shown = channelText.toInt(&isNumber);
    if (powerState == 0 && isNumber)
        channelText = ChannelPlan::displayText(shown + 1);

    const QString lines[optionsfile::lineCount] = {
        printedNumber(Slider1->value()),
        channelText,
        printedNumber(panelStyle),
        QString::number(windowTopTwips()),
        QString::number(windowLeftTwips()),
        comPort,
        soundOption,
    };
    QByteArray content;
    for (const QString &text : lines)
        content += text.toLatin1() + "\r\n";

    // Written beside the old file and renamed over it, so a crash or a full
    // disk never leaves a cut-off options file behind.
    QSaveFile file(vb::settingsFile(optionsFileName));
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(content);
    file.commit();
}

void frmMain::ApplyPanelStyle() {
    if (panelStyle < 1 || panelStyle > int(Image1.size()))
        return;
    quint32 colour = 0;
    if (vb::colourFromText(displayColour, &colour)) {
        for (vb::Label *label : {lblReceivedBytes, Label4, Label25, Label26})
            label->setBackColor(colour);
    }
    Label4->setForeColor(vb::vbBlack);
    Label25->setForeColor(vb::vbBlack);
    if (panelStyle == 3)
        Label26->setForeColor(vb::vbBlack);
    for (int index = 0; index < int(Image1.size()); ++index)
        Image1[index]->setVisible(index == panelStyle - 1);
}

void frmMain::Label11_Click() {
    Label36_Click();
    Timer6->setInterval(0);
    Timer2->setInterval(1000);
    releaseAudioObjects();
    Label11->setBackColor(vb::vbRed);
    Label11->setCaption(QStringLiteral("Bye Bye"));
    Label16->setCaption(QStringLiteral("WIRD GETRENNT"));
    Label5_Click();
}

void frmMain::Timer2_Timer() {
    ++exitTicks;
    if (exitTicks >= 2) {
        Timer2->setInterval(0);
        vb::endProgram();
    }
}

void frmMain::closeEvent(QCloseEvent *event) {
    if (voiceConnected) {
        // The link is taken down in order; the program ends by itself.
        event->ignore();
        Label11_Click();
        return;
    }
    releaseAudioObjects();
    event->accept();
}

void frmMain::raiseFromAnotherCopy() {
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
}
