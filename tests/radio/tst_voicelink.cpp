#include "audio/clsWaveIn.h"
#include "audio/clsWaveOut.h"
#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "sound.h"
#include "system.h"

#include <QApplication>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>

using testsupport::ProgramFolder;
using testsupport::RecordingServer;

class VoiceLinkTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void onlineAndOfflinePanels();
    void everyWholeBlockIsPlayed();
    void receivedCountIsGrouped();
    void droppedLinkIsRebuiltBySupervision();
    void speechIsSentOnlyWhileConnected();
    void heldKeySendsAgainOnTheNewLink_data();
    void heldKeySendsAgainOnTheNewLink();
    void floodAndAbruptCloseOnTheVoiceLink();
    void channelSteps_data();
    void channelSteps();
    void directEntry_data();
    void directEntry();
    void kickedStationKeepsItsChannel();

private:
    // Options on channel 4 with the radio off; powerOn runs the power switch.
    void startRadio(bool powerOn);
    RecordingServer &serverFor(const QString &address, int basePort);

    int m_offset = 0;
    std::unique_ptr<ProgramFolder> m_folder;
    std::unique_ptr<frmMain> m_radio;
    std::vector<std::unique_ptr<RecordingServer>> m_servers;
};

void VoiceLinkTest::initTestCase() {
    // Playback must really open: these tests need the test audio server.
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no test audio server: run through scripts/test");
}

void VoiceLinkTest::init() {
    m_offset = testsupport::freePortOffset();
    QVERIFY(m_offset > 0);
    vb::setEndProgramHandler([] {});
}

void VoiceLinkTest::cleanup() {
    program::unloadControlWindow();
    m_radio.reset();
    m_servers.clear();
    m_folder.reset();
}

RecordingServer &VoiceLinkTest::serverFor(const QString &address, int basePort) {
    m_servers.push_back(std::make_unique<RecordingServer>(address, basePort + m_offset));
    return *m_servers.back();
}

void VoiceLinkTest::startRadio(bool powerOn) {
    m_folder = std::make_unique<ProgramFolder>(m_offset);
    m_folder->use();
    m_radio = std::make_unique<frmMain>(goldSkin());
    m_radio->Form_Load();
    if (powerOn)
        m_radio->Image12_Click();
}

void VoiceLinkTest::onlineAndOfflinePanels() {
    RecordingServer &channel4 = serverFor("127.0.0.1", 328);
    startRadio(true);
    frmMain &r = *m_radio;
    QCOMPARE(r.Label4->caption(), QString("04"));
    QCOMPARE(r.Label32->caption(), QString("Anrufkanal"));
    QCOMPARE(r.Label25->caption(), QString("27.005 MHz"));
    QCOMPARE(r.powerState, qint16(1));
    QVERIFY(r.Image11->visible() && !r.Image12->visible());
    QTRY_VERIFY(r.voiceConnected);
    QCOMPARE(channel4.connectionCount(), 1);

    QCOMPARE(r.Label16->caption(), QString("VERBUNDEN"));
    QCOMPARE(r.Label3->caption(), QString("Verbunden"));
    QVERIFY(!r.Label3->isEnabled());
    QCOMPARE(r.Label3->backColor(), 0xFF00u);
    QCOMPARE(r.Label25->backColor(), 0x80C0FFu);
    QCOMPARE(r.Label25->foreColor(), 0u);
    QVERIFY(r.Label4->visible() && r.lblReceivedBytes->visible());
    QCOMPARE(r.lblReceivedBytes->foreColor(), 0x4040u);
    QCOMPARE(r.Label1->backColor(), 0xFF00u);
    QCOMPARE(r.Label6->backColor(), 0xFFu);
    QCOMPARE(r.Label7->backColor(), 0u);
    QCOMPARE(r.senden->caption(), QString("P T T"));
    QCOMPARE(r.Timer6->interval(), 4000);

    r.Label5_Click();
    QCOMPARE(r.voiceConnected, qint16(0));
    QCOMPARE(r.Label16->caption(), QString("GETRENNT"));
    QCOMPARE(r.Label3->caption(), QString("ONLINE"));
    QVERIFY(r.Label3->isEnabled());
    QCOMPARE(r.Label3->backColor(), vb::systemGrayText);
    QCOMPARE(r.Label25->backColor(), 0x404040u);
    QCOMPARE(r.Label25->foreColor(), 0x404040u);
    QVERIFY(!r.Label4->visible() && !r.lblReceivedBytes->visible());
    QCOMPARE(r.Label6->backColor(), 0u);
    QCOMPARE(r.Label7->backColor(), 0xFFu);
    QTRY_COMPARE(channel4.connection(0)->state(), QAbstractSocket::UnconnectedState);
}

void VoiceLinkTest::everyWholeBlockIsPlayed() {
    RecordingServer &channel4 = serverFor("127.0.0.1", 328);
    startRadio(true);
    frmMain &r = *m_radio;
    QTRY_VERIFY(r.voiceConnected);
    QSignalSpy played(r.objWaveOut.get(), &clsWaveOut::OnWaveOutDone);

    channel4.connection(0)->write(QByteArray(130, '\x11'));
    QTRY_COMPARE(r.receivedBytes, 130.0);
    QCOMPARE(r.receiveBuffer.size(), 0);
    QTRY_COMPARE(played.count(), 2);
    QCOMPARE(r.lblReceivedBytes->caption(), QString("130"));
    QCOMPARE(r.ProgressBar2->value(), 70.0f);
    QCOMPARE(r.senden->caption(), QString("Bitte warten"));
    QVERIFY(r.Image31->visible() && !r.Image32->visible());
    QCOMPARE(r.Label31->backColor(), 0xFFu);
    QCOMPARE(r.Timer5->interval(), 500);

    channel4.connection(0)->write(QByteArray(1, '\x22'));
    QTRY_COMPARE(r.receivedBytes, 131.0);
    QCOMPARE(r.receiveBuffer, QByteArray(1, '\x22'));
    channel4.connection(0)->write(QByteArray(63, '\x33'));
    QTRY_COMPARE(r.receivedBytes, 194.0);
    QCOMPARE(r.receiveBuffer.size(), 64);
    QTest::qWait(200);
    QCOMPARE(played.count(), 2);
    channel4.connection(0)->write(QByteArray(1, '\x44'));
    QTRY_COMPARE(played.count(), 3);
    QCOMPARE(r.receiveBuffer.size(), 0);
}

void VoiceLinkTest::receivedCountIsGrouped() {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    RecordingServer &channel4 = serverFor("127.0.0.1", 328);
    startRadio(true);
    QTRY_VERIFY(m_radio->voiceConnected);
    channel4.connection(0)->write(QByteArray(1300 * 65, '\x01'));
    QTRY_COMPARE(m_radio->receivedBytes, 84500.0);
    QCOMPARE(m_radio->lblReceivedBytes->caption(), QString("84.500"));
    QLocale::setDefault(QLocale::c());
}

void VoiceLinkTest::droppedLinkIsRebuiltBySupervision() {
    RecordingServer &channel4 = serverFor("127.0.0.1", 328);
    startRadio(true);
    QTRY_VERIFY(m_radio->voiceConnected);
    channel4.connection(0)->abort();
    QTRY_COMPARE(m_radio->Label16->caption(), QString("GETRENNT"));
    QCOMPARE(m_radio->Label3->caption(), QString("ONLINE"));

    m_radio->Timer6_Timer();
    QTRY_VERIFY(m_radio->voiceConnected);
    QCOMPARE(m_radio->Label16->caption(), QString("VERBUNDEN"));
    QCOMPARE(channel4.connectionCount(), 2);
    // Connected: the next supervision tick leaves the link alone.
    m_radio->Timer6_Timer();
    QTest::qWait(100);
    QCOMPARE(channel4.connectionCount(), 2);
}

void VoiceLinkTest::speechIsSentOnlyWhileConnected() {
    RecordingServer &channel4 = serverFor("127.0.0.1", 328);
    startRadio(false);
    const QByteArray block(65, '\x5a');
    m_radio->objWaveIn_OnWaveInData(block, 65);
    m_radio->Image12_Click();
    QTRY_VERIFY(m_radio->voiceConnected);
    m_radio->objWaveIn_OnWaveInData(block, 65);
    QTRY_COMPARE(channel4.received(0), block);
}

void VoiceLinkTest::heldKeySendsAgainOnTheNewLink_data() {
    QTest::addColumn<bool>("kicked");
    QTest::newRow("held key") << false;
    QTest::newRow("kicked while the link was down") << true;
}

// The relay restarts during an over: once the link is back, the key that
// is still held sends again, and the count starts from nothing. A station
// kicked meanwhile stays silent although its key (a foot switch) is held.
void VoiceLinkTest::heldKeySendsAgainOnTheNewLink() {
    QFETCH(bool, kicked);
    auto channel4 = std::make_unique<RecordingServer>("127.0.0.1", 328 + m_offset);
    startRadio(true);
    QTRY_VERIFY(m_radio->voiceConnected);
    channel4->connection(0)->write(QByteArray(130, '\0'));
    QTRY_COMPARE(m_radio->lblReceivedBytes->caption(), QString("130"));
    QTRY_COMPARE(m_radio->ProgressBar2->value(), 0.0f);

    m_radio->senden_KeyDown(32, 0);
    QVERIFY(m_radio->objWaveIn->device());
    QTRY_VERIFY(!channel4->received(0).isEmpty());
    channel4.reset();
    QTRY_VERIFY(!m_radio->voiceConnected);
    QVERIFY(!m_radio->objWaveIn->device());

    if (kicked)
        program::controlWindow().kicken = 1;
    channel4 = std::make_unique<RecordingServer>("127.0.0.1", 328 + m_offset);
    m_radio->Timer6_Timer();
    QTRY_VERIFY(m_radio->voiceConnected);
    QCOMPARE(m_radio->lblReceivedBytes->caption(), QString("0"));
    QCOMPARE(m_radio->Label2->backColor(), 0xFFu);
    if (kicked) {
        // A foot switch that keeps pressing is refused too.
        m_radio->senden_KeyDown(32, 0);
        QTest::qWait(400);
        QVERIFY(!m_radio->objWaveIn->device());
        QVERIFY(m_radio->objWaveOut->device());
        QCOMPARE(channel4->received(0).size(), 0);
    } else {
        QVERIFY(m_radio->objWaveIn->device());
        // Half duplex still: the station does not hear itself.
        QVERIFY(!m_radio->objWaveOut->device());
        QTRY_VERIFY(channel4->received(0).size() >= 65);
        QCOMPARE(channel4->received(0).size() % 65, 0);
    }

    m_radio->senden_KeyUp(32, 0);
    QVERIFY(!m_radio->objWaveIn->device());
    QVERIFY(m_radio->objWaveOut->device());
}

void VoiceLinkTest::floodAndAbruptCloseOnTheVoiceLink() {
    RecordingServer &channel4 = serverFor("127.0.0.1", 328);
    startRadio(true);
    QTRY_VERIFY(m_radio->voiceConnected);
    QByteArray flood(10 * 1024 * 1024 + 7, '\0');
    for (qsizetype at = 0; at < flood.size(); ++at)
        flood[at] = char((at * 7919) >> 3);
    channel4.connection(0)->write(flood);
    qint32 mostQueued = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            mostQueued = std::max(mostQueued, m_radio->objWaveOut->m_BufferCount());
            return m_radio->receivedBytes == double(flood.size());
        },
        30000));
    // A burst never becomes an endless backlog of speech.
    QVERIFY(mostQueued <= clsWaveOut::maxQueuedBuffers);
    QCOMPARE(m_radio->receiveBuffer.size(), flood.size() % 65);

    channel4.connection(0)->abort();
    QTRY_VERIFY(!m_radio->voiceConnected);
    m_radio->Timer6_Timer();
    QTRY_VERIFY(m_radio->voiceConnected);
    QCOMPARE(m_radio->receivedBytes, 0.0);
    QCOMPARE(m_radio->receiveBuffer.size(), 0);
}

void VoiceLinkTest::channelSteps_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("basePort");

    QTest::newRow("40 up") << "40" << true << "01"
                           << "127.0.0.1" << 325;
    QTest::newRow("01 down") << "01" << false << "40"
                             << "127.0.0.2" << 364;
    QTest::newRow("20 up") << "20" << true << "21"
                           << "127.0.0.2" << 345;
    QTest::newRow("21 down") << "21" << false << "20"
                             << "127.0.0.1" << 344;
    QTest::newRow("09 up") << "09" << true << "10"
                           << "127.0.0.1" << 334;
    QTest::newRow("10 down") << "10" << false << "09"
                             << "127.0.0.1" << 333;
    QTest::newRow("23 up") << "23" << true << "24"
                           << "127.0.0.2" << 348;
}

void VoiceLinkTest::channelSteps() {
    QFETCH(QString, from);
    QFETCH(bool, up);
    QFETCH(QString, address);
    QFETCH(int, basePort);
    RecordingServer &target = serverFor(address, basePort);
    startRadio(true);
    m_radio->Label4->setCaption(from);
    up ? m_radio->Label9_Click() : m_radio->Label10_Click();

    QTEST(m_radio->Label4->caption(), "shown");
    QCOMPARE(m_radio->serverHost, address);
    QCOMPARE(m_radio->serverPort, basePort + m_offset);
    QTRY_VERIFY(m_radio->voiceConnected);
    // Power-on went online once before the first step; the link now ends here.
    QVERIFY(target.connectionCount() >= 1);
    QCOMPARE(m_radio->wskChat->remotePort(), quint16(basePort + m_offset));
    if (m_radio->Label4->caption() == "24") {
        QCOMPARE(m_radio->Label32->caption(), QString("Daten-Kanal"));
        QCOMPARE(m_radio->Label25->caption(), QString("27.235 MHz"));
    }
}

void VoiceLinkTest::directEntry_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::newRow("empty") << ""
                           << "04";
    QTest::newRow("0") << "0"
                       << "01";
    QTest::newRow("99") << "99"
                        << "01";
    QTest::newRow("12") << "12"
                        << "12";
    QTest::newRow("40") << "40"
                        << "40";
    QTest::newRow("negative") << "-3"
                              << "01";
    QTest::newRow("letters") << "ab"
                             << "01";
}

void VoiceLinkTest::directEntry() {
    QFETCH(QString, typed);
    startRadio(true);
    m_radio->Frame7->setVisible(true);
    m_radio->Text1->setText(typed);
    m_radio->Command1_Click();
    QTEST(m_radio->Label4->caption(), "shown");
    QVERIFY(!m_radio->Frame7->visible());
    QVERIFY(m_radio->Image14->visible());
}

void VoiceLinkTest::kickedStationKeepsItsChannel() {
    startRadio(true);
    m_radio->Label4->setCaption("07");
    m_radio->Label9_Click();
    QCOMPARE(m_radio->Label4->caption(), QString("08"));
    const int port = m_radio->serverPort;

    program::controlWindow().kicken = 1;
    m_radio->soundOption = "sound_on";
    m_radio->Label9_Click();
    // A kicked station still hears its channel announced.
    QVERIFY(vb::lastSoundRequested().endsWith("/wave-zahlen/8.wav"));
    m_radio->Label10_Click();
    m_radio->Text1->setText("30");
    m_radio->Command1_Click();
    QCOMPARE(m_radio->Label4->caption(), QString("08"));
    QCOMPARE(m_radio->serverPort, port);
    QCOMPARE(m_radio->kanalbild, qint16(8));
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    VoiceLinkTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_voicelink.moc"
