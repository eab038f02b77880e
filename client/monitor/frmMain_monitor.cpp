// The monitor key: shows and hides the channel-activity panel. Hiding does
// not stop the panel; it goes on filling its bars from the control link.

#include "monitor/Chat.h"
#include "radio/frmMain.h"
#include "radio/program.h"

void frmMain::Label44_Click() {
    if (monitorShown == 0) {
        program::monitorWindow().show();
        dockNow();
        monitorShown = 1;
        Label44->setCaption(QStringLiteral("Aus"));
        Image17->setBorderStyle(1);
        Label44->setForeColor(vb::vbRed);
    } else {
        if (program::monitorWindowLoaded())
            program::monitorWindow().hide();
        monitorShown = 0;
        Label44->setCaption(QStringLiteral("Ein"));
        Image17->setBorderStyle(0);
        // Black would vanish on the dark key face.
        Label44->setForeColor(restingInk(skin(), Label44->objectName()));
    }
}
