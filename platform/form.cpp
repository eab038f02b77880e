#include "form.h"

#include "controls.h"
#include "placement.h"
#include "system.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QWindow>
#include <algorithm>

namespace vb {

class Form::KeyPreview : public QObject {
public:
    explicit KeyPreview(Form *form) : m_form(form) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
            return false;
        // A key event travels up from the focus widget; look at it once.
        QWidget *first = QApplication::focusWidget();
        if (first ? watched != first : watched != m_form)
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        const int code = keyCodeFromQt(key->key());
        const bool tracked = code > 0 && code < int(m_form->m_keyDown.size());
        if (event->type() == QEvent::KeyRelease) {
            if (!key->isAutoRepeat() && tracked)
                m_form->m_keyDown[size_t(code)] = false;
            return false;
        }
        if (tracked)
            m_form->m_keyDown[size_t(code)] = true;
        return m_form->previewKeyDown(code, shiftValue(key->modifiers()));
    }

private:
    Form *m_form;
};

Form::Form(QWidget *parent) : QWidget(parent) {}

Form::~Form() = default;

void Form::setClientSizeTwips(int widthTwips, int heightTwips) {
    setFixedSize(pixelsFromTwips(widthTwips), pixelsFromTwips(heightTwips));
}

int Form::windowLeftTwips() const {
    return pixelsFromTwips(m_windowLeftTwips) == x() ? m_windowLeftTwips : twipsFromPixels(x());
}

int Form::windowTopTwips() const {
    return pixelsFromTwips(m_windowTopTwips) == y() ? m_windowTopTwips : twipsFromPixels(y());
}

void Form::setWindowLeftTwips(int twips) {
    m_windowLeftTwips = twips;
    move(pixelsFromTwips(twips), y());
}

void Form::setWindowTopTwips(int twips) {
    m_windowTopTwips = twips;
    move(x(), pixelsFromTwips(twips));
}

// Enough of the window to see it and drag it back must show on one of the
// screens; otherwise it goes onto the first screen, as far inside as it fits.
// The stored value is kept only while it shows the window.
void Form::placeOnVisibleScreen() {
    QList<QScreen *> screens = QGuiApplication::screens();
    std::stable_partition(screens.begin(), screens.end(), [](QScreen *screen) {
        return screen == QGuiApplication::primaryScreen();
    });
    QList<QRect> areas;
    for (QScreen *screen : screens)
        areas.append(screen->availableGeometry());
    const QPoint placed = visiblePosition(QRect(pos(), size()), areas);
    if (placed.x() != x())
        setWindowLeftTwips(twipsFromPixels(placed.x()));
    if (placed.y() != y())
        setWindowTopTwips(twipsFromPixels(placed.y()));
}

void Form::dragWindow(int button) {
    if (button == 1)
        startWindowDrag(this);
}

void Form::setKeyPreview() {
    m_keyPreview = std::make_unique<KeyPreview>(this);
    QObject *preview = m_keyPreview.get();
    installEventFilter(preview);
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(preview);
    connect(qApp, &QGuiApplication::applicationStateChanged, preview,
            [this](Qt::ApplicationState state) {
                if (state != Qt::ApplicationActive) {
                    forgetHeldKeys();
                    applicationDeactivated();
                }
            });
    connect(qApp, &QGuiApplication::focusWindowChanged, preview, [this](QWindow *window) {
        if (!m_watchingFocus)
            return;
        if (!m_watchedWindow && window) {
            m_watchedWindow = window;
            return;
        }
        if (window != m_watchedWindow)
            focusLeft();
    });
}

bool Form::previewKeyDown(int, int) {
    return false;
}

bool Form::keyHeld(int keyCode) const {
    return keyCode > 0 && keyCode < int(m_keyDown.size()) && m_keyDown[size_t(keyCode)];
}

void Form::forgetHeldKeys() {
    m_keyDown.fill(false);
}

void Form::watchFocus() {
    m_watchingFocus = true;
    m_watchedWindow = QGuiApplication::focusWindow();
}

bool Form::event(QEvent *event) {
    // A key released while another window is active is never seen here.
    if (event->type() == QEvent::WindowDeactivate) {
        forgetHeldKeys();
        windowDeactivated();
    }
    return QWidget::event(event);
}

} // namespace vb
