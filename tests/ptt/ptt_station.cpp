// A radio in a process of its own, keyed from its standard input, for the
// tests and the benchmark that need two stations talking over real sound.
// Two radios cannot share one process: the capture and playback objects'
// notifications go to the last objects made in a process.
//
// Usage: ptt_station --folder DIR. Commands, one a line: "press" and
// "release" (the space bar on the transmit key), "mini" (the MINI key),
// "mpress" and "mrelease" (the space bar in the compact window), "maxi" (its
// MAXI key), "report", "quit". It prints "online" once the voice link is up,
// "keyed" and "released" as the key follows, "mini" when the compact window
// stands in for the radio and "restored" when the radio is back. "report"
// answers with what the last over sent: "sent BLOCKS FIRST LAST LOUD
// LOUDINDEX", the times in ns of the monotonic clock of the first and last
// block and of the first loud one (0 and -1 when none was).

#include "airsupport.h"
#include "audio/clsWaveIn.h"
#include "compact/Form1.h"
#include "gsmcodec.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "system.h"

#include <QApplication>
#include <QKeyEvent>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <array>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

void say(const char *line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

void sendSpace(QWidget *target, QEvent::Type type) {
    QKeyEvent event(type, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QApplication::sendEvent(target, &event);
}

} // namespace

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    vb::initProgramFolder(QApplication::arguments());
    vb::setEndProgramHandler([] { QApplication::exit(0); });

    frmMain radio(goldSkin());
    radio.Form_Load();
    radio.Image12_Click();

    // What the over sends, for the benchmark's figures.
    struct Over {
        int blocks = 0;
        qint64 firstNs = 0;
        qint64 lastNs = 0;
        qint64 loudNs = 0;
        int loudIndex = -1;
    } over;
    wave::GsmCoder decoder;
    QObject::connect(
        radio.objWaveIn.get(), &clsWaveIn::OnWaveInData, [&](const QByteArray &data, qint32) {
            if (!radio.voiceConnected || data.size() != 65)
                return;
            const qint64 now = air::monotonicNs();
            std::array<qint16, 320> samples;
            decoder.decodeBlock(reinterpret_cast<const uchar *>(data.constData()), samples.data());
            double sum = 0;
            for (qint16 sample : samples)
                sum += double(sample) * sample;
            if (over.blocks == 0)
                over.firstNs = now;
            over.lastNs = now;
            if (over.loudIndex < 0 && std::sqrt(sum / 320) > 1000) {
                over.loudIndex = over.blocks;
                over.loudNs = now;
            }
            ++over.blocks;
        });

    QTimer watch;
    bool online = false;
    bool panelAsked = false;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!online && radio.voiceConnected) {
            online = true;
            say("online");
        }
        if (panelAsked && radio.isVisible()) {
            panelAsked = false;
            say("shown");
        }
    });
    watch.start(20);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[256];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) {
            QApplication::exit(0);
            return;
        }
        pending.append(chunk, got);
        for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QByteArray command = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            if (command == "press") {
                over = {};
                sendSpace(radio.senden, QEvent::KeyPress);
                say(radio.recordingStarted ? "keyed" : "refused");
            } else if (command == "panel") {
                // The start notice shows the panel some seconds after start;
                // its first painting holds up the window thread, and so an
                // over keyed meanwhile.
                panelAsked = true;
            } else if (command == "release") {
                sendSpace(radio.senden, QEvent::KeyRelease);
                say("released");
            } else if (command == "mini") {
                radio.Label48_Click();
                const bool shown = program::compactWindowLoaded() &&
                                   program::compactWindow().isVisible() && radio.klein == 1;
                say(shown && radio.isMinimized() ? "mini" : "no mini");
            } else if (command == "mpress" && program::compactWindowLoaded()) {
                sendSpace(program::compactWindow().Command1, QEvent::KeyPress);
                say(radio.recordingStarted ? "keyed" : "refused");
            } else if (command == "mrelease" && program::compactWindowLoaded()) {
                sendSpace(program::compactWindow().Command1, QEvent::KeyRelease);
                say("released");
            } else if (command == "maxi" && program::compactWindowLoaded()) {
                QTest::mouseClick(program::compactWindow().Label2, Qt::LeftButton);
                const bool back = !program::compactWindowLoaded() && radio.klein == 0 &&
                                  !radio.isMinimized() && radio.isVisible();
                say(back ? "restored" : "not restored");
            } else if (command == "report") {
                std::printf("sent %d %lld %lld %lld %d\n", over.blocks, (long long)over.firstNs,
                            (long long)over.lastNs, (long long)over.loudNs, over.loudIndex);
                std::fflush(stdout);
            } else if (command == "quit") {
                QApplication::exit(0);
            }
        }
    });
    return app.exec();
}
