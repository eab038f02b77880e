// Keying the transmitter from each source, the shortcut keys, the keep-alive,
// the serial port, the send meter, the end of reception and the volume, on
// one radio connected to the relay.

#include "audio/clsWaveIn.h"
#include "audio/clsWaveOut.h"
#include "audioserver.h"
#include "control/MRLS_Einlog.h"
#include "mscomm.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "relayprocess.h"
#include "sound.h"
#include "system.h"
#include "wavedevices.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMediaDevices>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>

namespace {

// The lines of the serial port the radio opens; the test sets them.
vb::SerialInputs serialLines;

class TestLines : public vb::SerialLineSource {
public:
    bool open(const QString &) override { return true; }
    void setOutputs(bool, bool) override {}
    vb::SerialInputs inputs() override { return serialLines; }
};

void sendKey(QWidget *target, QEvent::Type type, Qt::Key key, bool autoRepeat = false) {
    QKeyEvent event(type, key, Qt::NoModifier, QString(), autoRepeat);
    QApplication::sendEvent(target, &event);
}

// Playback refuses every block while its device is closed.
bool playbackOpen(frmMain &radio) {
    const QByteArray silence(65, '\0');
    return radio.objWaveOut->PlayBuffer(silence.constData(), 65);
}

enum class Source { SpaceBar, CompactWindow, MouseOnKey, KeyPicture };

} // namespace

Q_DECLARE_METATYPE(Source)

class PttTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void pressAndReleaseFromEachSource_data();
    void pressAndReleaseFromEachSource();
    void autoRepeatKeysOnce();
    void pressWhileBusyIsRefused_data();
    void pressWhileBusyIsRefused();
    void kickedStationCannotKey();
    void lKeyOnTheKeyNetsUnmuted();
    void upArrowStepsOnceAndKeepsFocus();
    void arrowReleasedElsewhereIsNotHeld();
    void escapeWithLinkDownPowersOn();
    void keepAliveKeysOnceAfter700Seconds_data();
    void keepAliveKeysOnceAfter700Seconds();
    void focusLossEndsKeyboardTransmission();
    void serialKeying();

    void sendMeter_data();
    void sendMeter();
    void needleReachesFullScaleIn21Ticks();
    void sendMeterReadsTheDefaultInput();
    void receiveSweep_data();
    void receiveSweep();
    void endOfReception_data();
    void endOfReception();
    void setVolume_data();
    void setVolume();
    void volumeKeys();
    void soundSettingsSliderExplains();

private:
    void startRadio(bool powerOn = true);
    QWidget *focusOnKey();

    QTemporaryDir m_logs;
    QProcess m_relay;
    int m_offset = -1;
    std::unique_ptr<testsupport::ProgramFolder> m_folder;
    std::unique_ptr<frmMain> m_radio;
};

void PttTest::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no test audio server: run through scripts/test");
    m_offset = testsupport::startRelay(m_relay, m_logs.filePath("relay.log"));
    QVERIFY(m_offset > 0);
    vb::setEndProgramHandler([] {});
    vb::MSComm::setLineSourceFactory([] { return std::make_unique<TestLines>(); });
}

void PttTest::cleanupTestCase() {
    vb::MSComm::setLineSourceFactory({});
    m_relay.terminate();
    m_relay.waitForFinished();
}

void PttTest::init() {
    serialLines = {};
}

void PttTest::cleanup() {
    program::unloadControlWindow();
    m_radio.reset();
    m_folder.reset();
    vb::setMessageBoxResponder({});
}

void PttTest::startRadio(bool powerOn) {
    m_folder = std::make_unique<testsupport::ProgramFolder>(testsupport::Servers(m_offset));
    m_folder->use();
    m_radio = std::make_unique<frmMain>(goldSkin());
    m_radio->Form_Load();
    if (!powerOn)
        return;
    m_radio->Image12_Click();
    QTRY_VERIFY(m_radio->voiceConnected);
}

QWidget *PttTest::focusOnKey() {
    m_radio->show();
    m_radio->activateWindow();
    if (!QTest::qWaitForWindowActive(m_radio.get()))
        return nullptr;
    m_radio->senden->setFocus();
    return QApplication::focusWidget();
}

void PttTest::pressAndReleaseFromEachSource_data() {
    QTest::addColumn<Source>("source");
    QTest::addColumn<bool>("keyboardVariant");
    QTest::newRow("space bar") << Source::SpaceBar << true;
    QTest::newRow("compact window") << Source::CompactWindow << true;
    QTest::newRow("mouse on the key") << Source::MouseOnKey << false;
    QTest::newRow("key picture") << Source::KeyPicture << false;
}

void PttTest::pressAndReleaseFromEachSource() {
    QFETCH(Source, source);
    QFETCH(bool, keyboardVariant);
    startRadio();
    QCOMPARE(focusOnKey(), m_radio->senden);
    frmMain &radio = *m_radio;
    QSignalSpy opened(radio.objWaveIn.get(), &clsWaveIn::OnWaveInOpen);
    QSignalSpy closed(radio.objWaveIn.get(), &clsWaveIn::OnWaveInClose);
    program::controlWindow().i = 0;

    switch (source) {
    case Source::SpaceBar:
        sendKey(radio.senden, QEvent::KeyPress, Qt::Key_Space);
        break;
    case Source::CompactWindow:
        radio.senden_KeyDown(32, 0);
        break;
    case Source::MouseOnKey:
        QTest::mousePress(radio.senden, Qt::LeftButton);
        break;
    case Source::KeyPicture:
        QTest::mousePress(radio.Image32, Qt::LeftButton);
        break;
    }
    QCOMPARE(radio.Label2->backColor(), 0xFFu);
    QCOMPARE(radio.Label1->backColor(), 0u);
    QCOMPARE(radio.Timer4->interval(), 26);
    QCOMPARE(radio.sendMeterOn, qint16(1));
    QCOMPARE(program::controlWindow().i, qint16(4));
    QCOMPARE(program::controlWindow().kanalzeig, QString("04"));
    QCOMPARE(radio.recordingStarted, qint16(keyboardVariant ? 1 : 0));
    QCOMPARE(radio.transmitAnnounced, qint16(keyboardVariant ? 1 : 0));
    const bool pressedPicture = source != Source::MouseOnKey;
    QCOMPARE(radio.Image36->visible(), pressedPicture);
    QCOMPARE(radio.Image35->visible(), !pressedPicture);
    QCOMPARE(radio.Image32->borderStyle(), pressedPicture ? 1 : 0);
    QTRY_COMPARE(opened.count(), 1);
    QVERIFY(!playbackOpen(radio));

    switch (source) {
    case Source::SpaceBar:
        sendKey(radio.senden, QEvent::KeyRelease, Qt::Key_Space);
        break;
    case Source::CompactWindow:
        radio.senden_KeyUp(32, 0);
        break;
    case Source::MouseOnKey:
        QTest::mouseRelease(radio.senden, Qt::LeftButton);
        break;
    case Source::KeyPicture:
        QTest::mouseRelease(radio.Image32, Qt::LeftButton);
        break;
    }
    QCOMPARE(radio.Label2->backColor(), 0u);
    QCOMPARE(radio.Label1->backColor(), 0xFF00u);
    QCOMPARE(radio.Timer4->interval(), 0);
    QCOMPARE(radio.sendMeterOn, qint16(0));
    QCOMPARE(radio.recordingStarted, qint16(0));
    QCOMPARE(radio.Image35->visible(), true);
    QCOMPARE(radio.Image36->visible(), false);
    QCOMPARE(radio.Image32->borderStyle(), 0);
    QCOMPARE(radio.needleAngle, 0.7);
    QTRY_COMPARE(closed.count(), 1);
    QVERIFY(playbackOpen(radio));
}

void PttTest::autoRepeatKeysOnce() {
    startRadio();
    QCOMPARE(focusOnKey(), m_radio->senden);
    frmMain &radio = *m_radio;
    QSignalSpy opened(radio.objWaveIn.get(), &clsWaveIn::OnWaveInOpen);
    QSignalSpy closed(radio.objWaveIn.get(), &clsWaveIn::OnWaveInClose);

    sendKey(radio.senden, QEvent::KeyPress, Qt::Key_Space);
    // A press announces the transmission by setting i to 4; the start-up
    // countdown counts on i too, so it must not tick meanwhile.
    program::controlWindow().starttimer->setInterval(0);
    program::controlWindow().i = 0;
    // What a held key looks like on X11: release/press pairs marked as repeats.
    for (int repeat = 0; repeat < 10; ++repeat) {
        sendKey(radio.senden, QEvent::KeyRelease, Qt::Key_Space, true);
        QCOMPARE(radio.Label2->backColor(), 0xFFu);
        sendKey(radio.senden, QEvent::KeyPress, Qt::Key_Space, true);
        QTest::qWait(5);
    }
    QCOMPARE(program::controlWindow().i, qint16(0));
    QCOMPARE(opened.count(), 1);
    QCOMPARE(closed.count(), 0);

    sendKey(radio.senden, QEvent::KeyRelease, Qt::Key_Space);
    QTRY_COMPARE(closed.count(), 1);
    QCOMPARE(radio.Label2->backColor(), 0u);
}

void PttTest::pressWhileBusyIsRefused_data() {
    QTest::addColumn<bool>("keyboard");
    QTest::newRow("keyboard") << true;
    QTest::newRow("mouse") << false;
}

void PttTest::pressWhileBusyIsRefused() {
    QFETCH(bool, keyboard);
    startRadio();
    frmMain &radio = *m_radio;
    radio.Label14_Click();
    QCOMPARE(radio.muted, qint16(1));
    QVERIFY(!playbackOpen(radio));
    radio.ProgressBar2->setValue(70);
    QSignalSpy opened(radio.objWaveIn.get(), &clsWaveIn::OnWaveInOpen);

    if (keyboard)
        radio.senden_KeyDown(32, 0);
    else
        radio.senden_MouseDown(1, 0, 0, 0);
    QCOMPARE(radio.Label2->backColor(), 0u);
    QCOMPARE(radio.Image4->visible(), false);
    QCOMPARE(radio.Image32->borderStyle(), keyboard ? 1 : 0);
    QCOMPARE(radio.Timer4->interval(), 0);
    QTest::qWait(200);
    QCOMPARE(opened.count(), 0);

    // The release reopens playback; the mute display follows it.
    if (keyboard)
        radio.senden_KeyUp(32, 0);
    else
        radio.senden_MouseUp(1, 0, 0, 0);
    QVERIFY(playbackOpen(radio));
    QCOMPARE(radio.muted, qint16(0));
    QCOMPARE(radio.Image5->visible(), true);
    QCOMPARE(radio.Label14->backColor(), vb::systemGrayText);
    radio.Label14_Click();
    QCOMPARE(radio.muted, qint16(1));
}

void PttTest::kickedStationCannotKey() {
    startRadio();
    frmMain &radio = *m_radio;
    program::controlWindow().kicken = 1;
    radio.senden_KeyDown(32, 0);
    radio.senden_MouseDown(1, 0, 0, 0);
    radio.Image32_MouseDown();
    QCOMPARE(radio.Label2->backColor(), 0u);
    QCOMPARE(radio.recordingStarted, qint16(0));
    QCOMPARE(radio.Image36->visible(), false);
    program::controlWindow().kicken = 0;
}

void PttTest::lKeyOnTheKeyNetsUnmuted() {
    startRadio();
    QCOMPARE(focusOnKey(), m_radio->senden);
    frmMain &radio = *m_radio;
    sendKey(radio.senden, QEvent::KeyPress, Qt::Key_L);
    sendKey(radio.senden, QEvent::KeyRelease, Qt::Key_L);
    QCOMPARE(radio.muted, qint16(0));
    QCOMPARE(radio.Image4->visible(), false);
    QCOMPARE(radio.Image5->visible(), true);
    QVERIFY(playbackOpen(radio));
    // Not a transmit key: the lamps stay at rest.
    QCOMPARE(radio.Label2->backColor(), 0u);
}

void PttTest::upArrowStepsOnceAndKeepsFocus() {
    startRadio();
    QCOMPARE(focusOnKey(), m_radio->senden);
    frmMain &radio = *m_radio;
    QCOMPARE(radio.Label4->caption(), QString("04"));
    sendKey(radio.senden, QEvent::KeyPress, Qt::Key_Up);
    sendKey(radio.senden, QEvent::KeyRelease, Qt::Key_Up);
    QCOMPARE(radio.Label4->caption(), QString("05"));
    QCOMPARE(QApplication::focusWidget(), radio.senden);
    sendKey(radio.senden, QEvent::KeyPress, Qt::Key_Down);
    sendKey(radio.senden, QEvent::KeyRelease, Qt::Key_Down);
    QCOMPARE(radio.Label4->caption(), QString("04"));
    QCOMPARE(QApplication::focusWidget(), radio.senden);
}

// An arrow key held while the user switches to another window is released
// there; the radio must not step on every later loss of the focus.
void PttTest::arrowReleasedElsewhereIsNotHeld() {
    startRadio();
    QCOMPARE(focusOnKey(), m_radio->senden);
    frmMain &radio = *m_radio;
    sendKey(radio.senden, QEvent::KeyPress, Qt::Key_Up);
    QCOMPARE(radio.Label4->caption(), QString("05"));

    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QCOMPARE(radio.Label4->caption(), QString("05"));
    radio.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&radio));
    QCOMPARE(radio.Label4->caption(), QString("05"));

    // Into the direct-entry field: the focus goes there and stays.
    radio.senden->setFocus();
    QCOMPARE(QApplication::focusWidget(), radio.senden);
    radio.Label4_DblClick();
    QCOMPARE(QApplication::focusWidget(), radio.Text1);
    QCOMPARE(radio.Label4->caption(), QString("05"));
    QCOMPARE(radio.Slider1->value(), 23);
}

void PttTest::escapeWithLinkDownPowersOn() {
    startRadio(false);
    frmMain &radio = *m_radio;
    QCOMPARE(radio.powerState, qint16(0));
    radio.Form_KeyDown(27, 0);
    QCOMPARE(radio.powerState, qint16(1));
    QCOMPARE(radio.Image11->visible(), true);
    QTRY_VERIFY(radio.voiceConnected);
    QVERIFY(!vb::programEnded());
}

void PttTest::keepAliveKeysOnceAfter700Seconds_data() {
    QTest::addColumn<bool>("muted");
    QTest::newRow("speaker on") << false;
    QTest::newRow("speaker muted") << true;
}

void PttTest::keepAliveKeysOnceAfter700Seconds() {
    QFETCH(bool, muted);
    startRadio();
    frmMain &radio = *m_radio;
    if (muted)
        radio.Label14_Click();
    QTest::qWait(100);
    QSignalSpy opened(radio.objWaveIn.get(), &clsWaveIn::OnWaveInOpen);
    QSignalSpy closed(radio.objWaveIn.get(), &clsWaveIn::OnWaveInClose);

    radio.idleSeconds = 0;
    for (int tick = 1; tick < 700; ++tick)
        radio.Timer3_Timer();
    QTest::qWait(100);
    QCOMPARE(opened.count(), 0);
    radio.Timer3_Timer();
    QTRY_COMPARE(closed.count(), 1);
    QTest::qWait(100);
    QCOMPARE(opened.count(), 1);
    QCOMPARE(closed.count(), 1);

    QCOMPARE(radio.muted, qint16(muted ? 1 : 0));
    QCOMPARE(radio.Image4->visible(), muted);
    QCOMPARE(radio.Image5->visible(), !muted);
    QCOMPARE(playbackOpen(radio), !muted);
    QCOMPARE(radio.Label2->backColor(), 0u);
}

void PttTest::focusLossEndsKeyboardTransmission() {
    startRadio();
    QCOMPARE(focusOnKey(), m_radio->senden);
    frmMain &radio = *m_radio;
    sendKey(radio.senden, QEvent::KeyPress, Qt::Key_Space);
    QCOMPARE(radio.Label2->backColor(), 0xFFu);

    // Another window takes the focus; the key's release goes there.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QCOMPARE(radio.Label2->backColor(), 0u);
    QCOMPARE(radio.recordingStarted, qint16(0));
    QVERIFY(playbackOpen(radio));

    // A pedal on the serial port keeps the key whatever has the focus.
    serialLines.dsr = true;
    QTRY_COMPARE(radio.Label2->backColor(), 0xFFu);
    m_radio->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_radio.get()));
    QCOMPARE(radio.Label2->backColor(), 0xFFu);
    serialLines.dsr = false;
    QTRY_COMPARE(radio.Label2->backColor(), 0u);
}

void PttTest::serialKeying() {
    startRadio();
    frmMain &radio = *m_radio;
    QVERIFY(radio.MSComm1->portOpen());

    serialLines.dsr = true;
    QTRY_COMPARE(radio.Label2->backColor(), 0xFFu);
    QCOMPARE(radio.recordingStarted, qint16(1));
    QCOMPARE(radio.Label4->caption(), QString("04"));

    // Each change with CTS high steps up once, each with CD high steps down.
    serialLines.cts = true;
    QTRY_COMPARE(radio.Label4->caption(), QString("05"));
    serialLines.cts = false;
    QTest::qWait(100);
    serialLines.cts = true;
    QTRY_COMPARE(radio.Label4->caption(), QString("06"));
    serialLines.cts = false;
    QTest::qWait(100);
    QCOMPARE(radio.Label4->caption(), QString("06"));
    serialLines.cd = true;
    QTRY_COMPARE(radio.Label4->caption(), QString("05"));
    serialLines.cd = false;
    QTest::qWait(100);
    // The key stayed down through the steps.
    QCOMPARE(radio.Label2->backColor(), 0xFFu);
    QCOMPARE(radio.recordingStarted, qint16(1));

    serialLines.dsr = false;
    QTRY_COMPARE(radio.Label2->backColor(), 0u);
    QCOMPARE(radio.recordingStarted, qint16(0));
}

void PttTest::sendMeter_data() {
    QTest::addColumn<qint16>("peak");
    QTest::addColumn<qint16>("trough");
    QTest::addColumn<int>("peakLevel");
    QTest::addColumn<int>("shownLevel");
    QTest::addColumn<int>("markerTwips");
    QTest::addColumn<double>("needleTarget");
    // 1638 × 100 / 32768 = 4.9988, 1966 → 5.9998, 32767 → 99.997; the needle
    // aims at level / 54 + 0.7 radians, 0.7 at rest.
    QTest::newRow("level 5 shows nothing") << qint16(1638) << qint16(-200) << 5 << 0 << 96 << 0.7;
    QTest::newRow("level 6") << qint16(1966) << qint16(-3000) << 6 << 6 << 222
                             << 0.81111111111111111;
    QTest::newRow("full scale") << qint16(32767) << qint16(0) << 100 << 100 << 2196
                                << 2.5518518518518519;
    QTest::newRow("negative peaks only") << qint16(0) << qint16(-32768) << 0 << 0 << 96 << 0.7;
}

void PttTest::sendMeter() {
    QFETCH(qint16, peak);
    QFETCH(qint16, trough);
    QFETCH(int, peakLevel);
    QFETCH(int, shownLevel);
    QFETCH(int, markerTwips);
    QFETCH(double, needleTarget);
    startRadio(false);
    frmMain &radio = *m_radio;

    std::array<qint16, 1024> samples{};
    for (int n = 0; n < 512; ++n)
        samples[n] = n % 2 ? trough : qint16(peak * (n % 7) / 6);
    QCOMPARE(frmMain::PeakLevel(samples), peakLevel);

    radio.levelSamples = samples;
    radio.sendMeterOn = 1;
    radio.Timer4_Timer();
    QCOMPARE(int(radio.ProgressBar1->value()), shownLevel);
    QCOMPARE(radio.Label51->leftTwips(), markerTwips);
    QCOMPARE(radio.needleTarget, needleTarget);

    // Released, the meter reads nothing whatever the buffer holds.
    radio.sendMeterOn = 0;
    radio.levelSamples = samples;
    radio.Timer4_Timer();
    QCOMPARE(int(radio.ProgressBar1->value()), 0);
}

// A desktop lists other inputs before the microphone, and the default may
// be any of them; the meter must hear what the speech capture hears.
void PttTest::sendMeterReadsTheDefaultInput() {
    const testsupport::DefaultSource mic(QStringLiteral("marlox_mic"),
                                         {"master_channel_map=mono", "channel_map=mono"});
    QVERIFY(mic.loaded());
    QTRY_COMPARE(QMediaDevices::audioInputs().size(), 2);

    startRadio(false);
    QVERIFY(m_radio->levelWaveIn);
    QVERIFY(m_radio->objWaveIn->RecordStart(m_radio->voiceFormat));
    const QByteArray speech = m_radio->objWaveIn->device()->deviceId();
    m_radio->objWaveIn->RecordStop();
    QCOMPARE(m_radio->levelWaveIn->deviceId(), speech);
    // The server's default, whether or not Qt has heard of the change yet.
    QCOMPARE(speech, QByteArray("marlox_mic"));
}

void PttTest::needleReachesFullScaleIn21Ticks() {
    startRadio(false);
    frmMain &radio = *m_radio;
    radio.needleRest();
    const float restX = radio.Line1->x2();
    radio.sendMeterOn = 1;
    int ticks = 0;
    while (radio.needleAngle < radio.needleTarget || ticks == 0) {
        radio.levelSamples.fill(0);
        radio.levelSamples[100] = 32767;
        radio.Timer4_Timer();
        ++ticks;
        QVERIFY(ticks < 100);
    }
    QCOMPARE(ticks, 21);
    QVERIFY(std::abs(radio.needleAngle - 2.552) < 0.001);
    // Drawn: the gold panel's needle turns about (1410, 1650) twips and is
    // √(963² + 811²) = 1259.0036 twips long. At rest (0.7 rad, cos 0.764842) its
    // tip is 962.939 left of the pivot; at 2.551852 rad (cos −0.831085,
    // sin 0.556146) it is 1046.339 right of it and 700.189 above it.
    QCOMPARE(restX, 447.06095f);
    QCOMPARE(radio.Line1->x2(), 2456.3388f);
    QCOMPARE(radio.Line1->y2(), 949.81067f);
    QVERIFY(radio.Line1->x2() - restX > 1000);

    // Silence sends it back a step a tick.
    radio.levelSamples.fill(0);
    radio.Timer4_Timer();
    QVERIFY(std::abs(radio.needleAngle - (2.552 - 0.09)) < 0.001);
    radio.senden_KeyUp(32, 0);
    QCOMPARE(radio.needleAngle, 0.7);
}

void PttTest::receiveSweep_data() {
    QTest::addColumn<QString>("reading");
    QTest::addColumn<QString>("report");
    QTest::addColumn<double>("needle");
    QTest::newRow("reading 5, last digit 4") << "5"
                                             << "S4" << 1.6;
    QTest::newRow("reading 1, last digit 0") << "1"
                                             << "S0" << 1.1;
    QTest::newRow("no reading") << ""
                                << "S4" << 0.7;
}

void PttTest::receiveSweep() {
    QFETCH(QString, reading);
    QFETCH(QString, report);
    QFETCH(double, needle);
    startRadio(false);
    frmMain &radio = *m_radio;
    program::controlWindow().smeterwert = reading;
    program::controlWindow().s = report;
    radio.needleRest();
    radio.rxSweep = 120;
    radio.rxNeedleValue = 0;
    radio.Timer11->setInterval(2);
    int ticks = 0;
    while (radio.Timer11->interval() > 0 && ticks < 100) {
        radio.Timer11_Timer();
        ++ticks;
    }
    QCOMPARE(ticks, 17);
    // The marker is placed before the sweep is clamped.
    QCOMPARE(radio.Label60->leftTwips(), 1916);
    QCOMPARE(radio.Label63->caption(), QString("1780"));
    QVERIFY(std::abs(radio.needleAngle - needle) < 1e-9);
}

void PttTest::endOfReception_data() {
    QTest::addColumn<bool>("rogerBeep");
    QTest::addColumn<bool>("muted");
    QTest::addColumn<bool>("beeps");
    QTest::newRow("roger beep off") << false << false << false;
    QTest::newRow("roger beep on") << true << false << true;
    QTest::newRow("roger beep on, muted") << true << true << false;
}

void PttTest::endOfReception() {
    QFETCH(bool, rogerBeep);
    QFETCH(bool, muted);
    QFETCH(bool, beeps);
    startRadio();
    frmMain &radio = *m_radio;
    if (rogerBeep) {
        radio.Label28_Click();
        QCOMPARE(radio.Label29->backColor(), 0xFFu);
        QCOMPARE(radio.Image13->visible(), true);
    }
    vb::sndPlaySoundA(QString(), vb::SND_ASYNC);

    // Two blocks arrive as if another station spoke.
    QTcpSocket speaker;
    speaker.connectToHost(QStringLiteral("127.0.0.1"), quint16(radio.serverPort));
    QVERIFY(speaker.waitForConnected(5000));
    QVERIFY(testsupport::waitForStations(m_logs.filePath("relay.log"), radio.serverPort, 2));
    speaker.write(QByteArray(130, '\x11'));
    QTRY_COMPARE(radio.ProgressBar2->value(), 70.0f);
    QCOMPARE(radio.senden->caption(), QString("Bitte warten"));
    QCOMPARE(radio.Label31->backColor(), 0xFFu);
    radio.senden_KeyDown(32, 0);
    QCOMPARE(radio.Label2->backColor(), 0u);
    radio.senden_KeyUp(32, 0);
    if (muted)
        radio.Label14_Click();

    QTRY_COMPARE(radio.ProgressBar2->value(), 0.0f);
    QCOMPARE(radio.senden->caption(), QString("P T T"));
    QCOMPARE(radio.Label31->backColor(), 0x808080u);
    QCOMPARE(radio.Image32->visible(), true);
    QCOMPARE(radio.Image31->visible(), false);
    QCOMPARE(radio.needleAngle, 0.7);
    QCOMPARE(radio.rxSweep, qint16(0));
    QCOMPARE(vb::lastSoundRequested() == vb::programFile(QStringLiteral("test.wav")), beeps);
    QCOMPARE(radio.Timer5->interval(), 0);
}

void PttTest::setVolume_data() {
    QTest::addColumn<int>("slider");
    QTest::addColumn<quint32>("volume");
    QTest::newRow("0") << 0 << 0u;
    QTest::newRow("23") << 23 << 0x3AE13AE1u;
    QTest::newRow("50") << 50 << 0x80008000u;
    QTest::newRow("100") << 100 << 0xFFFFFFFFu;
}

void PttTest::setVolume() {
    QFETCH(int, slider);
    QFETCH(quint32, volume);
    startRadio(false);
    m_radio->Slider1->setValue(slider);
    m_radio->SetVolume();
    quint32 set = 1;
    QCOMPARE(wave::WaveOutDevice::getVolume(0, set), wave::MMSYSERR_NOERROR);
    QCOMPARE(set, volume);
    QCOMPARE(frmMain::SignedInteger(32767), qint16(32767));
    QCOMPARE(frmMain::SignedInteger(32768), qint16(-32768));
    QCOMPARE(frmMain::SignedInteger(65535), qint16(-1));
}

void PttTest::volumeKeys() {
    startRadio(false);
    QCOMPARE(focusOnKey(), m_radio->senden);
    frmMain &radio = *m_radio;
    radio.Label42->setVisible(false);
    radio.Label38_Click();
    QCOMPARE(radio.Slider1->value(), 25);
    QCOMPARE(radio.Label34->caption(), QString("25"));
    QCOMPARE(radio.ProgressBar3->value(), 25.0f);
    QCOMPARE(radio.Label42->visible(), true);
    QCOMPARE(radio.Timer7->interval(), 1000);
    QCOMPARE(QApplication::focusWidget(), radio.senden);
    // The arrow keys on the transmit key are the volume keys.
    sendKey(radio.senden, QEvent::KeyPress, Qt::Key_Left);
    sendKey(radio.senden, QEvent::KeyPress, Qt::Key_Left);
    QCOMPARE(radio.Slider1->value(), 21);
    radio.Slider1->setValue(99);
    radio.Label38_Click();
    QCOMPARE(radio.Slider1->value(), 100);
    QCOMPARE(radio.Label34->caption(), QString("100"));
    quint32 set = 0;
    wave::WaveOutDevice::getVolume(0, set);
    QCOMPARE(set, 0xFFFFFFFFu);
}

void PttTest::soundSettingsSliderExplains() {
    startRadio(false);
    QList<vb::MessageBoxCall> calls;
    vb::setMessageBoxResponder([&](const vb::MessageBoxCall &call) {
        calls.append(call);
        return int(vb::vbOK);
    });
    emit m_radio->Slider2->Scroll();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls[0].prompt, QString("Dieser Programmteil ist momentan\r\nleider noch ohne "
                                      "Funktion\r\nBitte verwenden Sie das Audio-Mischpult\r\nin "
                                      "der Systemsteuerung Ihres Betriebssystems "));
    QCOMPARE(calls[0].style, int(vb::vbOKOnly));
    QCOMPARE(calls[0].title, vb::applicationTitle());
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    PttTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ptt.moc"
