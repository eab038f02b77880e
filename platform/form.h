#pragma once

#include <QWidget>
#include <array>
#include <memory>

class QWindow;

namespace vb {

// The base of the program's windows: client size and screen position in
// twips (read back as set), dragging by the panel, and the key preview.
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
    // The left button (1) drags the borderless window.
    void dragWindow(int button);

protected:
    // From here on the window sees every key before the control with the
    // focus does (previewKeyDown; true takes the key), keeps the keys held
    // and hears of the application's deactivation.
    void setKeyPreview();
    virtual bool previewKeyDown(int keyCode, int shift);
    // Nothing is held once the window is no longer the active one.
    bool keyHeld(int keyCode) const;
    void forgetHeldKeys();
    virtual void windowDeactivated() {}
    virtual void applicationDeactivated() {}
    // Watches the window with the keyboard focus now (or, after a click from
    // outside, the first one to get it); focusLeft when another one gets it.
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
