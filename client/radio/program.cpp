#include "radio/program.h"

#include "chat/mrlxchat.h"
#include "compact/Form1.h"
#include "control/MRLS_Einlog.h"
#include "monitor/Chat.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
#include <memory>

namespace program {

namespace {
frmMain *mainWindowInstance = nullptr;
std::unique_ptr<MRLS_Einlog> controlWindowInstance;
std::unique_ptr<Chat> monitorWindowInstance;
std::unique_ptr<mrlxchat> chatWindowInstance;
std::unique_ptr<Form1> compactWindowInstance;

// Loads a window on first use and runs its load handler once.
template <typename Window> Window &loaded(std::unique_ptr<Window> &instance) {
    if (!instance) {
        instance = std::make_unique<Window>();
        instance->Form_Load();
    }
    return *instance;
}
} // namespace

frmMain *mainWindow() {
    return mainWindowInstance;
}
void setMainWindow(frmMain *window) {
    mainWindowInstance = window;
}

MRLS_Einlog &controlWindow() {
    return loaded(controlWindowInstance);
}
bool controlWindowLoaded() {
    return controlWindowInstance != nullptr;
}
void unloadControlWindow() {
    controlWindowInstance.reset();
}

Chat &monitorWindow() {
    return loaded(monitorWindowInstance);
}
bool monitorWindowLoaded() {
    return monitorWindowInstance != nullptr;
}
void unloadMonitorWindow() {
    monitorWindowInstance.reset();
}

mrlxchat &chatWindow() {
    return loaded(chatWindowInstance);
}
bool chatWindowLoaded() {
    return chatWindowInstance != nullptr;
}
void unloadChatWindow() {
    chatWindowInstance.reset();
}

Form1 &compactWindow() {
    return loaded(compactWindowInstance);
}
bool compactWindowLoaded() {
    return compactWindowInstance != nullptr;
}
void unloadCompactWindow() {
    // Its own "MAXI" key unloads it, from inside one of its handlers.
    if (compactWindowInstance) {
        compactWindowInstance->hide();
        compactWindowInstance.release()->deleteLater();
    }
}

void unloadLater(QWidget *window) {
    QTimer::singleShot(0, QCoreApplication::instance(), [window = QPointer<QWidget>(window)] {
        if (window && window->isHidden() && window == controlWindowInstance.get())
            controlWindowInstance.reset();
        else if (window && window->isHidden() && window == chatWindowInstance.get())
            chatWindowInstance.reset();
    });
}

} // namespace program
