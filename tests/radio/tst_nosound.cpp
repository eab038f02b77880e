// The radio on a machine without an audio server: the links come up all
// the same, reception shows on the panel, and the panel tells the truth.
// Run with PULSE_SERVER pointing at nothing (see CMakeLists.txt).

#include "audio/clsWaveIn.h"
#include "audio/clsWaveOut.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "system.h"

#include <QApplication>
#include <QMediaDevices>
#include <QTest>

using testsupport::ProgramFolder;
using testsupport::RecordingServer;

class NoSoundTest : public QObject {
    Q_OBJECT
private slots:
    void linksComeUpWithoutSoundDevices();
};

void NoSoundTest::linksComeUpWithoutSoundDevices() {
    QVERIFY2(QMediaDevices::audioOutputs().isEmpty() && QMediaDevices::audioInputs().isEmpty(),
             "this test wants no audio server: see its CMakeLists.txt");
    const int offset = testsupport::freePortOffset();
    QVERIFY(offset > 0);
    vb::setEndProgramHandler([] {});
    RecordingServer control("127.0.0.1", 324 + offset);
    RecordingServer channel4("127.0.0.1", 328 + offset);
    ProgramFolder folder(testsupport::Servers(offset), testsupport::Options().soundOn());
    folder.use();
    {
        frmMain radio(goldSkin());
        radio.Form_Load();
        QTRY_VERIFY(radio.voiceConnected);
        QCOMPARE(radio.Label16->caption(), QString("VERBUNDEN"));
        QCOMPARE(radio.Label3->caption(), QString("Verbunden"));
        QTRY_VERIFY(control.connectionCount() > 0);

        // Speech from another station cannot be played, but it is seen.
        channel4.connection(0)->write(QByteArray(130, '\0'));
        QTRY_COMPARE(radio.lblReceivedBytes->caption(), QString("130"));
        QCOMPARE(radio.ProgressBar2->value(), 70.0f);
        QCOMPARE(radio.senden->caption(), QString("Bitte warten"));

        // The link drops: the panel says so, and supervision rebuilds it.
        channel4.connection(0)->abort();
        QTRY_VERIFY(!radio.voiceConnected);
        QCOMPARE(radio.Label16->caption(), QString("GETRENNT"));
        QCOMPARE(radio.Label3->caption(), QString("ONLINE"));
        radio.Timer6_Timer();
        QTRY_VERIFY(radio.voiceConnected);
        QCOMPARE(channel4.connectionCount(), 2);
    }
    program::unloadControlWindow();
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    NoSoundTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_nosound.moc"
