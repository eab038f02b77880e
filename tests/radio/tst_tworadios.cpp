#include "audio/clsWaveOut.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "relayprocess.h"
#include "system.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// Radios that talk through the relay server, as stations do on the air.
class TwoRadiosTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void stationsOnOneChannelHearEachOther();

private:
    std::unique_ptr<frmMain> startRadio(const QByteArray &storedChannel);

    QTemporaryDir m_logs;
    QProcess m_relay;
    int m_offset = -1;
    std::vector<std::unique_ptr<testsupport::ProgramFolder>> m_folders;
};

void TwoRadiosTest::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no test audio server: run through scripts/test");
    m_offset = testsupport::startRelay(m_relay, m_logs.filePath("relay.log"));
    QVERIFY(m_offset > 0);
    vb::setEndProgramHandler([] {});
}

void TwoRadiosTest::cleanupTestCase() {
    program::unloadControlWindow();
    m_relay.terminate();
    m_relay.waitForFinished();
}

std::unique_ptr<frmMain> TwoRadiosTest::startRadio(const QByteArray &storedChannel) {
    auto folder = std::make_unique<testsupport::ProgramFolder>(
        testsupport::Servers(m_offset), testsupport::Options().channel(storedChannel));
    folder->use();
    auto radio = std::make_unique<frmMain>(goldSkin());
    radio->Form_Load();
    radio->Image12_Click();
    m_folders.push_back(std::move(folder));
    return radio;
}

void TwoRadiosTest::stationsOnOneChannelHearEachOther() {
    auto talker = startRadio("07");
    auto neighbour = startRadio("08");
    auto listener = startRadio("07");
    QTRY_VERIFY(talker->voiceConnected && listener->voiceConnected && neighbour->voiceConnected);
    QCOMPARE(listener->Label4->caption(), QString("07"));
    QCOMPARE(neighbour->Label4->caption(), QString("08"));
    QVERIFY(testsupport::waitForStations(m_logs.filePath("relay.log"), 331 + m_offset, 2));

    QSignalSpy played(listener->objWaveOut.get(), &clsWaveOut::OnWaveOutDone);
    QByteArray sent;
    for (int block = 0; block < 40; ++block) {
        QByteArray bytes(65, char(block));
        bytes[0] = char(0xA0 + block % 16);
        talker->objWaveIn_OnWaveInData(bytes, 65);
        sent += bytes;
    }
    QTRY_COMPARE(listener->receivedBytes, double(sent.size()));
    // Busy while the speech comes in; the end of reception clears it later.
    QCOMPARE(listener->ProgressBar2->value(), 70.0f);
    QTRY_COMPARE(played.count(), 40);
    // Nothing comes back to the talker, nothing reaches the neighbouring channel.
    QTest::qWait(300);
    QCOMPARE(talker->receivedBytes, 0.0);
    QCOMPARE(neighbour->receivedBytes, 0.0);
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    TwoRadiosTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tworadios.moc"
