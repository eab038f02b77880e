// How much of one core the radio takes while it sits online on a channel,
// with the activity panel shown beside it, and while it receives a station's
// speech. Prints figures, asserts nothing.
//
//   bench_client [seconds]     (default 60 for each phase)

#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "relayprocess.h"
#include "system.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <sys/resource.h>

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double shareOfOneCore(int seconds, const std::function<void()> &during = {}) {
    QTimer feeder;
    if (during) {
        QObject::connect(&feeder, &QTimer::timeout, during);
        feeder.start(40);
    }
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    // The program's own event loop: QTest::qWait would wake every 10 ms itself.
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    return 100.0 * (cpuSeconds() - cpuBefore) / (double(wall.elapsed()) / 1000.0);
}

} // namespace

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
    vb::setEndProgramHandler([] {});

    QTemporaryDir logs;
    QProcess relay;
    const int offset = testsupport::startRelay(relay, logs.filePath("relay.log"));
    if (offset < 0) {
        std::fprintf(stderr, "could not start the relay\n");
        return 1;
    }
    testsupport::ProgramFolder folder(testsupport::Servers(offset),
                                      testsupport::Options().channel("07"));
    folder.use();
    {
        frmMain radio(goldSkin());
        radio.Form_Load();
        radio.show();
        radio.Image12_Click();
        if (!QTest::qWaitFor([&] { return radio.voiceConnected != 0; }, 10000)) {
            std::fprintf(stderr, "the radio did not go online (is an audio server running?)\n");
            return 1;
        }
        const double idle = shareOfOneCore(seconds);
        // The activity panel listens to the control link; it polls nothing.
        radio.Label44_Click();
        const double idleWithMonitor = shareOfOneCore(seconds);

        // Another station on the channel talks: a block every 40 ms.
        QTcpSocket talker;
        talker.connectToHost(QStringLiteral("127.0.0.1"), quint16(331 + offset));
        talker.waitForConnected(5000);
        testsupport::waitForStations(logs.filePath("relay.log"), 331 + offset, 2);
        const QByteArray block(65, '\x55');
        const double receiving = shareOfOneCore(seconds, [&] { talker.write(block); });

        std::printf("radio online and idle:      %.2f %% of one core over %d s\n", idle, seconds);
        std::printf("  with the activity panel:  %.2f %% of one core over %d s\n", idleWithMonitor,
                    seconds);
        std::printf("radio receiving speech:     %.2f %% of one core over %d s\n", receiving,
                    seconds);
    }
    program::unloadMonitorWindow();
    program::unloadControlWindow();
    relay.terminate();
    relay.waitForFinished();
    return 0;
}
