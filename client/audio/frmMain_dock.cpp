// The activity monitor sits at the radio's right edge, top edges aligned;
// the chat window, while docked, directly below with the left edges aligned.
// Runs on every tick of Timer8, so a window is moved only when its place
// has changed.

#include "chat/mrlxchat.h"
#include "monitor/Chat.h"
#include "radio/frmMain.h"
#include "radio/program.h"

namespace {

void place(QWidget &window, const QPoint &at) {
    if (window.pos() != at)
        window.move(at);
}

} // namespace

void frmMain::dock() {
    const QRect radio = frameGeometry();
    place(program::monitorWindow(), QPoint(radio.x() + radio.width(), radio.y()));
    if (Andockench && program::chatWindowLoaded())
        place(program::chatWindow(), QPoint(radio.x(), radio.y() + radio.height()));
}
