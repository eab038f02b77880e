#pragma once

// The base of the program's windows: a client area sized in twips, a
// position on the screen in twips that reads back as it was set, dragging
// by the panel, and for the radio a key preview that sees every key before
// the control with the focus does.

#include <QWidget>
#include <array>
#include <memory>

class QWindow;

namespace vb {

class Form : public QWidget {
    Q_OBJECT
public:
    explicit Form(QWidget *parent = nullptr);
    ~Form() override;

    void setClientSizeTwips(int widthTwips, int heightTwips);
    int windowLeftTwips() const;
    int windowTopTwips() const;
    void setWindowLeftTwips(int twips);
    void setWindowTopTwips(int twips);
    // Moves a window that would show on no screen onto the first one.
    void placeOnVisibleScreen();
    // A press of the left button (1) on a grip drags the borderless window.
    void dragWindow(int button);

protected:
    // From now on every key pressed or released in the window or one of its
    // controls is shown to previewKeyDown first; the keys held are kept, and
    // the application's deactivation is reported.
    void setKeyPreview();
    // True takes the key from the control with the focus.
    virtual bool previewKeyDown(int keyCode, int shift);
    // The keyboard as this window saw it: nothing is held once it is no
    // longer the active window.
    bool keyHeld(int keyCode) const;
    void forgetHeldKeys();
    virtual void windowDeactivated() {}
    virtual void applicationDeactivated() {}

    // Watches the window that has the keyboard focus now; focusLeft is
    // called when another window gets it. A click into a window of ours from
    // outside comes before the focus: the first window to get it is watched.
    void watchFocus();
    void stopWatchingFocus() { m_watchingFocus = false; }
    bool watchingFocus() const { return m_watchingFocus; }
    virtual void focusLeft() {}

    bool event(QEvent *event) override;

private:
    class KeyPreview;
    // The context of the application's signals: it goes before the window's
    // base, which may still move the focus while it takes its controls down.
    std::unique_ptr<KeyPreview> m_keyPreview;
    std::array<bool, 256> m_keyDown{};
    bool m_watchingFocus = false;
    QWindow *m_watchedWindow = nullptr;
    int m_windowLeftTwips = 0;
    int m_windowTopTwips = 0;
};

} // namespace vb
