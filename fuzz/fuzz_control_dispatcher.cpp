// The control window's dispatcher on anything the control server may send,
// with a radio loaded on channel 04, so that the notices, the kick, the
// switch-off, the ban and the S-meter act on real windows. Inputs of odd
// length arrive while the compact window is in use. A ban closes every
// window; they are loaded again before the next input.

#include "compact/Form1.h"
#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radio/skin.h"
#include "system.h"
#include "winsock.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

void writeFile(const QString &folder, const QString &name, const QByteArray &content) {
    QFile file(QDir(folder).filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        std::abort();
}

struct Station {
    QTemporaryDir settings;
    QTemporaryDir folder;
    std::unique_ptr<QApplication> app;
    std::unique_ptr<frmMain> radio;

    Station() {
        // Keeps the user's settings and running radio out of it.
        qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
        static int argc = 1;
        static char name[] = "fuzz_control_dispatcher";
        static char *argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        vb::setEndProgramHandler([] {});
        // Nothing listens at these ports; no sound files, so warnings are silent.
        writeFile(folder.path(), QStringLiteral("marlox.ini"),
                  "[servers]\nfirst=127.0.0.1\nsecond=127.0.0.2\nchat=127.0.0.1\n"
                  "port_offset=55000\n[station]\nidentity=test4\n");
        writeFile(folder.path(), QStringLiteral("optionen.txt"),
                  " 23\r\n04\r\n 1\r\n0\r\n0\r\n1\r\nsound_off\r\n");
        vb::setProgramFolder(folder.path());
    }

    void load() {
        radio = std::make_unique<frmMain>(goldSkin());
        radio->Form_Load();
        radio->show();
        radio->Label4->setCaption(QStringLiteral("04"));
        MRLS_Einlog &control = program::controlWindow();
        // No reconnecting and no start-up countdown between inputs.
        control.Timer1->setInterval(0);
        control.starttimer->setInterval(0);
    }

    void unload() {
        QApplication::processEvents();
        program::unloadCompactWindow();
        program::unloadChatWindow();
        program::unloadMonitorWindow();
        program::unloadControlWindow();
        radio.reset();
    }

    // The radio as a message finds it: loaded, nothing locked or counting
    // down, in the compact window or not.
    void prepare(bool compact) {
        if (!radio || !radio->isVisible() || !program::controlWindowLoaded()) {
            unload();
            load();
        }
        MRLS_Einlog &control = program::controlWindow();
        control.Abschalttimer->setInterval(0);
        control.kicken = 0;
        radio->Timer10->setInterval(0);
        if (compact && radio->klein == 0) {
            program::compactWindow().show();
            radio->klein = 1;
            radio->showMinimized();
        } else if (!compact && radio->klein == 1) {
            radio->restoreFromCompact();
        }
    }
};

std::unique_ptr<Station> station;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!station) {
        station = std::make_unique<Station>();
        station->load();
        // When the fuzzer is done, Qt's statics go before the program's window
        // registry, whose windows then crash in their destructors: the process
        // ends without them. Every failure ends it before this.
        std::atexit([] { std::_Exit(0); });
    }
    station->prepare(size % 2 == 1);
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    program::controlWindow().dispatch(fromWire(bytes));
    // The closing of windows that a ban leaves for the event loop.
    QApplication::processEvents();
    return 0;
}
