#pragma once

#include "activitycontrols.h"
#include "form.h"

#include <QString>
#include <array>

// The channel-activity panel beside the radio: one bar per channel, filled
// when the control link passes on a report for that channel and drained over
// the following 30 seconds; a click on a channel's number or bar tunes the
// radio to it. It keeps working while hidden.
class Chat : public vb::Form {
    Q_OBJECT
public:
    explicit Chat(QWidget *parent = nullptr);
    ~Chat() override;

    void Form_Load();
    // Decay: every bar loses 1 a tick, none goes below 0.
    void Timer3_Timer();
    void ProgressBar1_Click(int Index);
    void Label4_Click(int Index);

    static constexpr int channelCount = 40;
    static constexpr int decayIntervalMs = 300;

    // The last message taken from the control link.
    QString lastSeenMessage;

    vb::Image *Image1 = nullptr;
    vb::Frame *Frame1 = nullptr;
    vb::Label *Label5 = nullptr;
    vb::Label *Label1 = nullptr;
    std::array<vb::ActivityBar *, channelCount> ProgressBar1{};
    std::array<vb::ChannelNumber *, channelCount> Label4{};
    vb::Timer *Timer3 = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;
    // Follows the radio's faceplate when its panel style changes.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Takes one message the control link stored: a report's channel token
    // fills its bar, and the decay runs from the first message on.
    void ParseActivity(const QString &message);
    void pickChannel(int index);
    void createControls();
    void showPanelStyle(int index);

    QString m_skinName;
};
