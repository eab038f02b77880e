#include "radio/frmMain.h"
#include "system.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("marlox"));
    QApplication::setOrganizationName(QStringLiteral("vudi"));
    vb::initProgramFolder(QApplication::arguments());
#ifdef MARLOX_GREY_SKIN
    const Skin &skin = greySkin();
#else
    const Skin &skin = goldSkin();
#endif
    frmMain radio(skin);
    radio.Form_Load();
    if (vb::programEnded())
        return 0;
    return app.exec();
}
