#pragma once

#include "controls.h"
#include "form.h"

class frmMain;

// The compact push-to-talk window that stands in for the radio while the
// main window is minimised. It owns no radio logic: every key calls the main
// window's own handler.
class Form1 : public vb::Form {
    Q_OBJECT
public:
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    void Form_Load();
    void Timer1_Timer();
    void Label1_MouseDown();
    void Label1_MouseUp();
    void Command1_KeyDown(int KeyCode, int Shift);
    void Command1_KeyUp(int KeyCode, int Shift);
    void Image3_MouseDown();
    void Image3_MouseUp();
    void Label4_Click();
    void Label6_Click();
    void Label7_Click();
    void Image11_MouseDown();
    void Image11_MouseUp();
    void Image7_MouseDown();
    void Image7_MouseUp();
    // "MAXI": back to the full window; the operators' commands take the
    // same way through Label11_Click.
    void Label2_Click();
    void Label11_Click();

    // 0xC0E0FF: the idle face of "PTT" and "Mute".
    static constexpr quint32 idleColour = 0xC0E0FF;

    vb::Label *Label1 = nullptr, *Label2 = nullptr, *Label3 = nullptr, *Label4 = nullptr,
              *Label6 = nullptr, *Label7 = nullptr, *Label8 = nullptr;
    vb::ProgressBar *ProgressBar1 = nullptr;
    vb::Image *Image1 = nullptr, *Image3 = nullptr, *Image4 = nullptr, *Image5 = nullptr,
              *Image6 = nullptr, *Image7 = nullptr, *Image8 = nullptr, *Image9 = nullptr,
              *Image10 = nullptr, *Image11 = nullptr, *Image12 = nullptr, *Image13 = nullptr;
    vb::CommandButton *Command1 = nullptr;
    vb::CheckBox *Check1 = nullptr;
    vb::Timer *Timer1 = nullptr;

protected:
    // A held key whose release goes to another window would never let go.
    void windowDeactivated() override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    frmMain *radio() const;
    void showMuteIdle();
    void applySkin();
    void connectHandlers();

    // True from a push-to-talk press here to its release.
    bool m_keyed = false;
};
