#include "radio/program.h"

#include "control/MRLS_Einlog.h"

#include <memory>

namespace program {

namespace {
frmMain *mainWindowInstance = nullptr;
std::unique_ptr<MRLS_Einlog> controlWindowInstance;
} // namespace

frmMain *mainWindow() {
    return mainWindowInstance;
}
void setMainWindow(frmMain *window) {
    mainWindowInstance = window;
}

MRLS_Einlog &controlWindow() {
    if (!controlWindowInstance) {
        controlWindowInstance = std::make_unique<MRLS_Einlog>();
        controlWindowInstance->Form_Load();
    }
    return *controlWindowInstance;
}

bool controlWindowLoaded() {
    return controlWindowInstance != nullptr;
}

void unloadControlWindow() {
    controlWindowInstance.reset();
}

} // namespace program
