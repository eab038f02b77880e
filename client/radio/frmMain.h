#pragma once

// The radio's front panel and the program's main window. Its handlers live
// in several source files, one per concern, beside the subsystem they serve:
//   radio/frmMain_startup.cpp    start-up, options file, panel style, sign-off
//   radio/frmMain_panel.cpp      the panel's controls and their placement
//   radio/frmMain_switching.cpp  channel steps and direct entry
//   radio/frmMain_voicelink.cpp  going online and offline, the voice socket
//   radio/frmMain_timers.cpp     scan, docking, hold and kick timers, the
//                                always-on-top, chat and notice keys
//   audio/frmMain_wave.cpp       the capture and playback objects' events
//   audio/frmMain_frontpanel.cpp power switch and the other panel keys
//   audio/frmMain_ptt.cpp        push-to-talk, keyboard and serial keying
//   audio/frmMain_levels.cpp     send meter, end of reception, volume
//   audio/frmMain_dock.cpp       docking the monitor and the chat window
//   monitor/frmMain_monitor.cpp  the monitor key

#include "controls.h"
#include "form.h"
#include "radio/skin.h"

#include <QByteArray>
#include <memory>

#include "deployment.h"
#include "levelcapture.h"
#include "wavetypes.h"
#include "winsock.h"

namespace vb {
class SingleInstanceGuard;
class MSComm;
} // namespace vb

class clsWaveIn;
class clsWaveOut;

class frmMain : public vb::Form {
    Q_OBJECT
public:
    explicit frmMain(const Skin &skin, QWidget *parent = nullptr);
    ~frmMain() override;

    const Skin &skin() const { return m_skin; }

    // Start-up, options and sign-off
    void Form_Load();
    void LoadOptions();
    void SaveOptions();
    void ApplyPanelStyle();
    void Label11_Click();
    void Timer2_Timer();

    // Channel switching
    void Label9_Click();
    void Label10_Click();
    void Command1_Click();
    void Label9_MouseDown();
    void Label9_MouseUp();
    void Label10_MouseDown();
    void Label10_MouseUp();

    // Voice link
    void Label3_Click();
    void Label5_Click();
    void wskChat_Connect();
    void wskChat_Close();
    void wskChat_Error(int Number, const QString &Description);
    void wskChat_DataArrival(qint64 bytesTotal);
    void Timer6_Timer();

    // Front panel
    void Image12_Click();
    void Image11_Click();
    void Label36_Click();
    void Label14_Click();
    void Timer7_Timer();
    void Label22_Click();
    void Label24_Click();
    void Label21_Click();
    void Label4_DblClick();
    void Label43_Click();
    void Text1_KeyDown(int KeyCode, int Shift);
    void Label46_MouseDown();
    void Label46_MouseUp();
    void Label48_Click();
    void Label48_MouseDown();
    void Label48_MouseUp();
    void Label50_MouseDown();
    void Label50_MouseUp();
    void Label8_MouseDown();
    void Label8_MouseUp();
    void Image7_Click();
    void Image3_Click();
    void Label12_DblClick();
    // Left-button press on a part of the panel that moves the window.
    void panelDrag_MouseDown(int Button);

    // Push-to-talk and serial keying
    void openSerialPort();
    void senden_KeyDown(int KeyCode, int Shift);
    void senden_KeyUp(int KeyCode, int Shift);
    void senden_MouseDown(int Button, int Shift, float X, float Y);
    void senden_MouseUp(int Button, int Shift, float X, float Y);
    void senden_LostFocus();
    void Image32_MouseDown();
    void Image32_MouseUp();
    bool GetCursorKeys(QWidget *control);
    void Form_KeyDown(int KeyCode, int Shift);
    void MSComm1_OnComm();
    void Timer3_Timer();
    void Label17_Click();
    // A transmission keyed from the keyboard or the compact window ends when
    // the program or the keying window loses the focus: the key's release
    // would never arrive.
    void endTransmissionOnFocusLoss();

    // Levels and volume
    void SetVolume();
    void openLevelCapture();
    static qint32 PeakLevel(const std::array<qint16, 1024> &samples);
    static qint16 SignedInteger(qint32 UnsignedInteger);
    void Timer4_Timer();
    void Timer5_Timer();
    void Timer11_Timer();
    void Label28_Click();
    void Label38_Click();
    void Label39_Click();
    void Label38_MouseDown();
    void Label38_MouseUp();
    void Label39_MouseDown();
    void Label39_MouseUp();
    void Slider1_Scroll();
    void Slider2_Scroll();
    void needleRest();

    // Docking of the activity monitor beside and the chat window below
    void dock();

    // The activity monitor's key: shows or hides the panel.
    void Label44_Click();

    // Timers and small keys
    void Timer1_Timer();
    void Timer8_Timer();
    // Docks at once, as a Timer8 tick would, while Timer8 runs.
    void dockNow();
    // Timer8's pace. The docking follows the radio's moves through its move
    // and resize events; the timer only brings back a docked window that was
    // moved away on its own, and a faster pace would keep an idle radio
    // awake for nothing.
    static constexpr int dockingIntervalMs = 100;
    void Timer9_Timer();
    void Timer10_Timer();
    void Check1_Click();
    void ch01_Click();
    void ch01_MouseDown();
    void ch01_MouseUp();
    void Command2_Click();
    // Back from the compact window to the full panel, as its "MAXI" key and
    // the operators' notices do: window state normal, klein = 0, the compact
    // window closed.
    void restoreFromCompact();
    // Window state normal: a minimised main window comes back.
    void showNormalState();

    // Events of the capture and playback objects
    void objWaveIn_OnWaveInData(const QByteArray &Data, qint32 Length);

    // Members other windows and the handlers share
    Deployment deployment;
    QString comPort;
    QString displayColour;
    qint16 panelStyle = 0;
    QString soundOption;
    qint16 startupDockPending = 0;
    qint16 powerState = 0;
    qint16 muted = 0;
    float needleLength = 0;
    float needlePivotX = 0;
    float needlePivotY = 0;
    qint16 rxSweep = 0;
    qint16 exitTicks = 0;
    qint16 kanalbild = 0;
    std::array<int, 40> channelPorts{};
    QString serverHost;
    int serverPort = 0;
    qint16 voiceConnected = 0;
    QByteArray receiveBuffer;
    double receivedBytes = 0;
    qint16 volTicks = 0;
    qint16 holdTicks = 0;
    qint16 kickTicks = 0;
    // The other windows: chat opened by the chat key and docked below,
    // monitor shown beside, compact window standing in for this one.
    qint16 chatShown = 0;
    bool Andockench = false;
    qint16 monitorShown = 0;
    qint16 klein = 0;
    // The answer to the hidden operator channel's password question.
    QString enteredPassword;
    wave::WaveFormat voiceFormat{};

    // Push-to-talk
    qint16 recordingStarted = 0;
    qint16 sendMeterOn = 0;
    qint16 idleSeconds = 0;
    qint16 transmitAnnounced = 0;
    vb::MSComm *MSComm1 = nullptr;

    // Levels and volume
    double needleAngle = 0.7;
    double needleTarget = 0.7;
    double rxNeedleValue = 0;
    QString lastReceivedText;
    qint16 rogerBeep = 0;
    wave::WaveFormat levelFormat{};
    std::array<qint16, 1024> levelSamples{};
    wave::WaveHeader levelHeader{};
    std::unique_ptr<clsWaveIn> objWaveIn;
    std::unique_ptr<clsWaveOut> objWaveOut;

    // The panel's controls, by their design names.
    std::array<vb::Image *, 6> Image1{};
    vb::Image *Image2 = nullptr, *Image3 = nullptr, *Image4 = nullptr, *Image5 = nullptr,
              *Image7 = nullptr, *Image8 = nullptr, *Image11 = nullptr, *Image12 = nullptr,
              *Image13 = nullptr, *Image14 = nullptr, *Image16 = nullptr, *Image17 = nullptr,
              *Image18 = nullptr, *Image19 = nullptr, *Image20 = nullptr, *Image26 = nullptr,
              *Image27 = nullptr, *Image28 = nullptr, *Image29 = nullptr, *Image30 = nullptr,
              *Image31 = nullptr, *Image32 = nullptr, *Image35 = nullptr, *Image36 = nullptr,
              *Image37 = nullptr, *Image38 = nullptr;
    vb::Label *Label1 = nullptr, *Label2 = nullptr, *Label3 = nullptr, *Label4 = nullptr,
              *Label5 = nullptr, *Label6 = nullptr, *Label7 = nullptr, *Label8 = nullptr,
              *Label9 = nullptr, *Label10 = nullptr, *Label11 = nullptr, *Label12 = nullptr,
              *Label13 = nullptr, *Label14 = nullptr, *Label15 = nullptr, *Label16 = nullptr,
              *Label17 = nullptr, *Label18 = nullptr, *Label19 = nullptr, *Label20 = nullptr,
              *Label21 = nullptr, *Label22 = nullptr, *Label23 = nullptr, *Label24 = nullptr,
              *Label25 = nullptr, *Label26 = nullptr, *Label28 = nullptr, *Label29 = nullptr,
              *Label30 = nullptr, *Label31 = nullptr, *Label32 = nullptr, *Label34 = nullptr,
              *Label36 = nullptr, *Label38 = nullptr, *Label39 = nullptr, *Label42 = nullptr,
              *Label43 = nullptr, *Label44 = nullptr, *Label45 = nullptr, *Label46 = nullptr,
              *Label47 = nullptr, *Label48 = nullptr, *Label49 = nullptr, *Label50 = nullptr,
              *Label51 = nullptr, *Label53 = nullptr, *Label60 = nullptr, *Label61 = nullptr,
              *Label63 = nullptr, *Label67 = nullptr, *Label68 = nullptr, *Label69 = nullptr,
              *lblReceivedBytes = nullptr, *ch01 = nullptr;
    vb::Frame *Frame1 = nullptr, *Frame2 = nullptr, *Frame3 = nullptr, *Frame5 = nullptr,
              *Frame6 = nullptr, *Frame7 = nullptr, *Frame9 = nullptr;
    vb::ProgressBar *ProgressBar1 = nullptr, *ProgressBar2 = nullptr, *ProgressBar3 = nullptr;
    vb::Slider *Slider1 = nullptr, *Slider2 = nullptr;
    vb::TextBox *Text1 = nullptr;
    vb::CommandButton *Command1 = nullptr, *Command2 = nullptr, *senden = nullptr;
    vb::CheckBox *Check1 = nullptr;
    vb::Line *Line1 = nullptr;
    Winsock *wskChat = nullptr;
    vb::Timer *Timer1 = nullptr, *Timer2 = nullptr, *Timer3 = nullptr, *Timer4 = nullptr,
              *Timer5 = nullptr, *Timer6 = nullptr, *Timer7 = nullptr, *Timer8 = nullptr,
              *Timer9 = nullptr, *Timer10 = nullptr, *Timer11 = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void channelStep(int direction);
    void createControls();
    void connectTimersAndSmallKeys();
    void applySkin();
    void connectHandlers();
    void createAudioObjects();
    void releaseAudioObjects();
    void raiseFromAnotherCopy();
    void connectFrontPanel();
    void describeForScreenReaders();

    // Push-to-talk
    bool previewKeyDown(int keyCode, int shift) override;
    void applicationDeactivated() override;
    void focusLeft() override;
    bool startSendMeter();
    void endMute();
    void showTransmitLamps(bool transmitting);
    void showKeyPressed(bool pressed);
    void announceTransmission();
    // Set while the serial port or the keep-alive keys: no focus watch then.
    bool m_unattendedKeying = false;

    const Skin &m_skin;
    std::unique_ptr<vb::SingleInstanceGuard> m_guard;

public:
    // The level capture, kept last: it goes first, while the buffer and
    // everything its teardown may reach are still there.
    wave::LevelCapture levelWaveIn;
};
