#include "form.h"

#include "controls.h"
#include "system.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QWindow>

namespace vb {

namespace {

// Enough of the window to see it and drag it back.
constexpr int visibleWidth = 64;
constexpr int visibleHeight = 32;

// The window's top left as stored when enough of it shows on one of the
// screens' available areas; otherwise a position that puts it on the first
// screen, as far inside as it fits. Unchanged when there are no screens.
QPoint visiblePosition(const QRect &window, const QList<QRect> &screens) {
    if (screens.isEmpty())
        return window.topLeft();
    const int needWidth = std::min(visibleWidth, window.width());
    const int needHeight = std::min(visibleHeight, window.height());
    for (const QRect &screen : screens) {
        const QRect shown = screen.intersected(window);
        if (shown.width() >= needWidth && shown.height() >= needHeight)
            return window.topLeft();
    }
    const QRect &first = screens.front();
    const auto inside = [](int at, int size, int start, int length) {
        return std::max(start, std::min(at, start + length - size));
    };
    return {inside(window.x(), window.width(), first.x(), first.width()),
            inside(window.y(), window.height(), first.y(), first.height())};
}

} // namespace

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

void Form::placeOnVisibleScreen() {
    QList<QRect> screens;
    if (QScreen *primary = QGuiApplication::primaryScreen())
        screens.append(primary->availableGeometry());
    for (QScreen *screen : QGuiApplication::screens()) {
        if (screen != QGuiApplication::primaryScreen())
            screens.append(screen->availableGeometry());
    }
    const QRect window(pos(), size());
    const QPoint placed = visiblePosition(window, screens);
    // The stored value is kept only while it shows the window; otherwise the
    // visible place is what is saved next.
    if (placed.x() != window.x())
        setWindowLeftTwips(twipsFromPixels(placed.x()));
    if (placed.y() != window.y())
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
