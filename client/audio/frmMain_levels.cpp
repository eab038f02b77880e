// The send meter, the end of reception and the loudspeaker volume.
//
// The send level comes from a capture of its own, uncompressed at 11025 Hz,
// that runs from start-up to the end and is read only while the key is held:
// the speech capture opens and closes with every over, and the meter must
// not wait for the GSM coder's 40 ms blocks.

#include "compact/Form1.h"
#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "sound.h"
#include "system.h"

#include <cmath>

namespace {

constexpr double needleRestRad = 0.7;
constexpr double needleStepRad = 0.09;
constexpr int markerRestTwips = 96;

void drawNeedle(frmMain &window) {
    window.Line1->setX2(
        float(window.needlePivotX - window.needleLength * std::cos(window.needleAngle)));
    window.Line1->setY2(
        float(window.needlePivotY - window.needleLength * std::sin(window.needleAngle)));
}

void showVolume(frmMain &window) {
    window.Label34->setCaption(QString::number(window.Slider1->value()));
    window.ProgressBar3->setValue(float(window.Slider1->value()));
}

void showVolumeDisplay(frmMain &window) {
    window.volTicks = 0;
    window.Label42->setVisible(true);
    window.ProgressBar3->setVisible(true);
    window.Timer7->setInterval(1000);
}

} // namespace

void frmMain::openLevelCapture() {
    levelFormat = wave::pcmFormat(11025, 1, 16);
    // The default input, as for speech: the first device in the system's
    // list may be a monitor of the speakers. Without a device the meter
    // simply stays at 0.
    if (levelWaveIn.open(wave::WAVE_MAPPER, levelFormat) != wave::MMSYSERR_NOERROR)
        return;
    levelWaveIn->start();
    levelHeader.lpData = reinterpret_cast<char *>(levelSamples.data());
    levelHeader.dwBufferLength = 1024;
    levelHeader.dwFlags = 0;
    levelWaveIn->prepareHeader(&levelHeader);
}

qint32 frmMain::PeakLevel(const std::array<qint16, 1024> &samples) {
    qint32 max = 0;
    for (qint16 sample : samples) {
        if (sample > max)
            max = sample;
    }
    return qint32(std::lround(double(max) * 100.0 / 32768.0));
}

qint16 frmMain::SignedInteger(qint32 UnsignedInteger) {
    return qint16(quint16(UnsignedInteger & 0xFFFF));
}

void frmMain::needleRest() {
    needleTarget = needleRestRad;
    needleAngle = needleRestRad;
    drawNeedle(*this);
}

void frmMain::Timer4_Timer() {
    // The buffer is handed back while it still fills; the device refuses
    // that, and the meter reads what is there.
    if (levelWaveIn)
        levelWaveIn->addBuffer(&levelHeader);
    qint32 level = 0;
    if (sendMeterOn == 1)
        level = PeakLevel(levelSamples);

    if (klein == 1 && program::compactWindowLoaded())
        program::compactWindow().ProgressBar1->setValue(level < 6 ? 0.0f : float(level));
    if (level < 6) {
        ProgressBar1->setValue(0);
        Label51->setLeftTwips(markerRestTwips);
        needleTarget = ProgressBar1->value() / 10.0 + needleRestRad;
    } else {
        ProgressBar1->setValue(float(level));
        Label51->setLeftTwips(level * 21 + markerRestTwips);
        needleTarget = ProgressBar1->value() / 54.0 + needleRestRad;
    }

    if (needleTarget > needleAngle)
        needleAngle = std::min(needleAngle + needleStepRad, needleTarget);
    else if (needleTarget < needleAngle)
        needleAngle = std::max(needleAngle - needleStepRad, needleTarget);
    drawNeedle(*this);
}

void frmMain::Timer5_Timer() {
    const QString text = lblReceivedBytes->caption();
    if (text == lastReceivedText) {
        // Nothing arrived for a whole period: the other station has finished.
        if (rogerBeep == 1 && !Image4->visible())
            vb::sndPlaySoundA(vb::programFile(QStringLiteral("test.wav")), vb::SND_ASYNC);
        Timer5->setInterval(0);
        Label31->setBackColor(0x808080);
        senden->setCaption(QStringLiteral("P T T"));
        Image32->setVisible(true);
        Image31->setVisible(false);
        ProgressBar2->setValue(0);
        Label60->setLeftTwips(markerRestTwips);
        rxSweep = 0;
        rxNeedleValue = 0;
        needleRest();
    }
    lastReceivedText = text;
}

void frmMain::Timer11_Timer() {
    rxSweep = qint16(rxSweep + 100);
    rxNeedleValue += 1.1;

    const MRLS_Einlog &control = program::controlWindow();
    bool isNumber = false;
    double w = control.smeterwert.trimmed().toDouble(&isNumber);
    // The report's last digit refines the reading; without one the needle
    // stays where it is.
    bool hasDigit = false;
    const double d = control.s.isEmpty() ? 0 : control.s.right(1).toDouble(&hasDigit);
    if (isNumber && hasDigit) {
        if (w <= 1)
            w = 2;
        const double target = 1 + (w + d / 2) / 10 - 0.1;
        if (rxNeedleValue >= target)
            rxNeedleValue = target;
        needleAngle = needleTarget = rxNeedleValue;
        drawNeedle(*this);
    }

    Label60->setLeftTwips(rxSweep + markerRestTwips);
    if (rxSweep >= 1780) {
        rxSweep = 1780;
        Timer11->setInterval(0);
    }
    Label63->setCaption(QString::number(rxSweep));
}

void frmMain::Label28_Click() {
    if (Label29->backColor() == vb::systemGrayText) {
        Image13->setVisible(true);
        Timer5->setInterval(500);
        rogerBeep = 1;
        Label29->setBackColor(vb::vbRed);
    } else {
        Timer5->setInterval(0);
        rogerBeep = 0;
        Label29->setBackColor(vb::systemGrayText);
        Image13->setVisible(false);
    }
}

void frmMain::SetVolume() {
    const qint32 v = qint32(std::lround(Slider1->value() * 655.35));
    const qint16 left = SignedInteger(v);
    const qint16 right = SignedInteger(v);
    const quint32 word = quint32(quint16(left)) | (quint32(quint16(right)) << 16);
    wave::WaveOutDevice::setVolume(0, word);
}

void frmMain::Label38_Click() {
    Slider1->setValue(Slider1->value() + 2);
    showVolume(*this);
    SetVolume();
    showVolumeDisplay(*this);
    senden->setFocus();
}

void frmMain::Label39_Click() {
    Slider1->setValue(Slider1->value() - 2);
    showVolume(*this);
    showVolumeDisplay(*this);
    SetVolume();
    senden->setFocus();
}

void frmMain::Label38_MouseDown() {
    Image28->setVisible(true);
}

void frmMain::Label38_MouseUp() {
    Image28->setVisible(false);
}

void frmMain::Label39_MouseDown() {
    Image29->setVisible(true);
}

void frmMain::Label39_MouseUp() {
    Image29->setVisible(false);
}

void frmMain::Slider1_Scroll() {
    Label34->setCaption(QString::number(Slider1->value()));
    SetVolume();
    senden->setFocus();
}

void frmMain::Slider2_Scroll() {
    senden->setFocus();
    vb::msgBox(QStringLiteral("Dieser Programmteil ist momentan\r\n"
                              "leider noch ohne Funktion\r\n"
                              "Bitte verwenden Sie das Audio-Mischpult\r\n"
                              "in der Systemsteuerung Ihres Betriebssystems "),
               vb::vbOKOnly, vb::applicationTitle());
    Image7_Click();
}
