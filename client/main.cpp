#include "radio/frmMain.h"
#include "radio/program.h"
#include "system.h"

#include <QTimer>

int main(int argc, char *argv[]) {
    vb::Application app(argc, argv);
    const QStringList arguments = app.arguments();
#ifdef MARLOX_GREY_SKIN
    const Skin &skin = greySkin();
#else
    const Skin &skin = goldSkin();
#endif
    // A compact window still open at the end goes while the application
    // is still there to take it down.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { program::unloadCompactWindow(); });
    frmMain radio(skin);
    radio.Form_Load();
    if (vb::programEnded())
        return 0;
    radio.show();

    // "--screenshot FILE": a picture of the panel a moment after start-up,
    // then the program ends (used for the README's pictures).
    const int shotAt = arguments.indexOf(QStringLiteral("--screenshot"));
    if (shotAt >= 0 && shotAt + 1 < arguments.size()) {
        const QString file = arguments.at(shotAt + 1);
        QTimer::singleShot(1500, &radio, [&radio, file] {
            radio.grab().save(file);
            vb::Application::exit(0);
        });
    }
    return app.exec();
}
