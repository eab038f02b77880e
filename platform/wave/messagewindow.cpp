#include "messagewindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <memory>
#include <unordered_map>

namespace wave {

namespace {

const QEvent::Type windowMessageType = QEvent::Type(QEvent::registerEventType());

struct WindowMessage : QEvent {
    WindowMessage(quint32 message, qintptr w, qintptr l)
        : QEvent(windowMessageType), uMsg(message), wParam(w), lParam(l) {}
    quint32 uMsg;
    qintptr wParam;
    qintptr lParam;
};

qintptr defaultWindowProc(qintptr, quint32, qintptr, qintptr) {
    return 0;
}

struct MessageWindow : QObject {
    MessageWindow(qintptr h, const QString &className) : windowClass(className), handle(h) {}
    const QString windowClass;
    const qintptr handle;
    WindowProc proc = defaultWindowProc;
    bool dispatching = false;

    bool event(QEvent *e) override {
        if (e->type() != windowMessageType)
            return QObject::event(e);
        auto *message = static_cast<WindowMessage *>(e);
        dispatching = true;
        callWindowProc(proc, handle, message->uMsg, message->wParam, message->lParam);
        dispatching = false;
        return true;
    }
};

// Only the application's thread touches the table.
std::unordered_map<qintptr, std::unique_ptr<MessageWindow>> &windows() {
    static std::unordered_map<qintptr, std::unique_ptr<MessageWindow>> table;
    return table;
}

qintptr nextHandle = 0x1000;
quint32 lastError = 0;

bool onApplicationThread() {
    const auto *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

MessageWindow *find(qintptr hWnd) {
    if (!onApplicationThread()) {
        lastError = ERROR_NO_EVENT_LOOP;
        return nullptr;
    }
    const auto it = windows().find(hWnd);
    if (it == windows().end()) {
        lastError = ERROR_INVALID_WINDOW_HANDLE;
        return nullptr;
    }
    return it->second.get();
}

} // namespace

qintptr createMessageWindow(const QString &className, const QString &title) {
    if (!onApplicationThread()) {
        lastError = ERROR_NO_EVENT_LOOP;
        return 0;
    }
    const qintptr handle = nextHandle++;
    auto window = std::make_unique<MessageWindow>(handle, className);
    window->setObjectName(title);
    windows().emplace(handle, std::move(window));
    return handle;
}

WindowProc setWindowProc(qintptr hWnd, WindowProc proc) {
    MessageWindow *window = find(hWnd);
    if (!window)
        return nullptr;
    const WindowProc previous = window->proc;
    window->proc = proc ? proc : defaultWindowProc;
    return previous;
}

bool destroyWindow(qintptr hWnd) {
    if (!find(hWnd))
        return false;
    const auto it = windows().find(hWnd);
    std::unique_ptr<MessageWindow> window = std::move(it->second);
    windows().erase(it);
    // Messages still queued for the window go with it.
    QCoreApplication::removePostedEvents(window.get(), windowMessageType);
    // A procedure may destroy its own window while it handles a message.
    if (window->dispatching)
        window.release()->deleteLater();
    return true;
}

bool isWindow(qintptr hWnd) {
    return onApplicationThread() && windows().count(hWnd) > 0;
}

QString windowTitle(qintptr hWnd) {
    MessageWindow *window = find(hWnd);
    return window ? window->objectName() : QString();
}

QString windowClassName(qintptr hWnd) {
    MessageWindow *window = find(hWnd);
    return window ? window->windowClass : QString();
}

qintptr callWindowProc(WindowProc proc, qintptr hWnd, quint32 uMsg, qintptr wParam,
                       qintptr lParam) {
    return proc ? proc(hWnd, uMsg, wParam, lParam) : 0;
}

bool postMessage(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam) {
    MessageWindow *window = find(hWnd);
    if (!window)
        return false;
    QCoreApplication::postEvent(window, new WindowMessage(uMsg, wParam, lParam));
    return true;
}

qintptr sendMessage(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam) {
    MessageWindow *window = find(hWnd);
    return window ? callWindowProc(window->proc, hWnd, uMsg, wParam, lParam) : 0;
}

quint32 lastWindowError() {
    return lastError;
}

} // namespace wave
