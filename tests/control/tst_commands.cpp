// The operators' commands and notices as they arrive on a real control link.

#include "chat/mrlxchat.h"
#include "compact/Form1.h"
#include "control/MRLS_Einlog.h"
#include "monitor/Chat.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "sound.h"
#include "system.h"

#include <QApplication>
#include <QDataStream>
#include <QFontMetrics>
#include <QSignalSpy>
#include <QTest>

using testsupport::ProgramFolder;
using testsupport::RecordingServer;

namespace {
// A tenth of a second of silence as a PCM wave file, 8000 Hz mono 16-bit.
QByteArray silentWave() {
    const quint32 dataBytes = 1600;
    QByteArray wave;
    QDataStream out(&wave, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + dataBytes);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(1) << quint32(8000) << quint32(16000) << quint16(2)
        << quint16(16);
    out.writeRawData("data", 4);
    out << dataBytes;
    wave.append(QByteArray(int(dataBytes), '\0'));
    return wave;
}
} // namespace

class CommandsTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void notices_data();
    void notices();
    void messagesThatAreNoCommand_data();
    void messagesThatAreNoCommand();
    void everyNoticeFitsThePanel();
    void brokenWarningSoundDoesNotHang();
    void kickLocksForFifteenMinutesFromTheFirstKick();
    void sMeter_data();
    void sMeter();
    void reportsHoweverJoinedOrSplit_data();
    void reportsHoweverJoinedOrSplit();
    void switchOffClosesEverythingOnTheEleventhTick();
    void banWhileOnlineSignsOffAndEnds();

private:
    // The radio on channel 04, its control link up to the test's server.
    void startRadio(bool online = false);
    void arrive(const QByteArray &message);
    MRLS_Einlog &control() { return program::controlWindow(); }

    int m_offset = 0;
    std::unique_ptr<ProgramFolder> m_folder;
    std::unique_ptr<RecordingServer> m_controlServer;
    std::unique_ptr<RecordingServer> m_voiceServer;
    std::unique_ptr<frmMain> m_radio;
    int m_programEnds = 0;
};

void CommandsTest::init() {
    m_offset = testsupport::freePortOffset();
    QVERIFY(m_offset > 0);
    m_programEnds = 0;
    vb::setEndProgramHandler([this] { ++m_programEnds; });
}

void CommandsTest::cleanup() {
    QApplication::processEvents();
    program::unloadCompactWindow();
    program::unloadChatWindow();
    program::unloadMonitorWindow();
    program::unloadControlWindow();
    m_radio.reset();
    m_controlServer.reset();
    m_voiceServer.reset();
    m_folder.reset();
}

void CommandsTest::startRadio(bool online) {
    m_controlServer = std::make_unique<RecordingServer>("127.0.0.2", 324 + m_offset);
    QVERIFY(m_controlServer->listening());
    if (online)
        m_voiceServer = std::make_unique<RecordingServer>("127.0.0.1", 328 + m_offset);
    m_folder = std::make_unique<ProgramFolder>(m_offset, testsupport::Options().soundOn(online));
    m_folder->writeFile("warnung.wav", silentWave());
    m_folder->use();
    m_radio = std::make_unique<frmMain>(goldSkin());
    m_radio->Form_Load();
    m_radio->show();
    QTRY_COMPARE(m_controlServer->connectionCount(), 1);
    QTRY_COMPARE(control().WinSock[0]->state(), int(Winsock::sckConnected));
    if (online)
        QTRY_VERIFY(m_radio->voiceConnected != 0);
    m_radio->Label4->setCaption("04");
    // Nothing played yet.
    vb::sndPlaySoundA(QString(), vb::SND_ASYNC);
}

void CommandsTest::arrive(const QByteArray &message) {
    const QString expected = QString::fromLatin1(message);
    // A repeated message must be seen arriving again.
    control().strMess.clear();
    m_controlServer->connection(0)->write(message);
    QTRY_COMPARE(control().strMess, expected);
}

void CommandsTest::notices_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("fragment");
    QTest::addColumn<bool>("sound");
    QTest::addColumn<bool>("backToFullWindow");
    QTest::addColumn<quint32>("colour");
    QTest::newRow("warning") << QByteArray("test4Na-0") << "verwarnt!\r\nWenn" << true << true
                             << 0xFFu;
    QTest::newRow("key stuck") << QByteArray("test4Na-1") << "klemmt!  Bitte" << true << true
                               << 0xFFu;
    QTest::newRow("sound card, compact window stays")
        << QByteArray("test4Na-2") << "Soundkarte" << true << false << 0xFFu;
    QTest::newRow("SOS") << QByteArray("test4Na-3") << "SOS-Taste" << true << true << 0xFFu;
    QTest::newRow("admin channel")
        << QByteArray("test4Na-4") << "Adminkanal" << true << true << 0xFFu;
    QTest::newRow("news to all") << QByteArray("#?x!9alle and more") << "Homepage" << false << false
                                 << 0u;
    QTest::newRow("meeting to all") << QByteArray("zzzzzall1") << "Meeting" << false << false << 0u;
}

void CommandsTest::notices() {
    QFETCH(QByteArray, message);
    QFETCH(QString, fragment);
    QFETCH(bool, sound);
    QFETCH(bool, backToFullWindow);
    QFETCH(quint32, colour);
    startRadio();
    frmMain &radio = *m_radio;
    // In compact mode: the compact window up, the panel minimised.
    program::compactWindow().show();
    radio.klein = 1;
    radio.showMinimized();

    arrive(message);
    QVERIFY(control().warntext.contains(fragment));
    QCOMPARE(radio.Label49->caption(), control().warntext);
    QCOMPARE(radio.Label49->backColor(), colour);
    QVERIFY(radio.Image16->visible());
    QVERIFY(radio.Label49->visible());
    QVERIFY(radio.Command2->visible());
    QVERIFY(!radio.isMinimized());
    QCOMPARE(vb::lastSoundRequested(), sound ? vb::programFile("warnung.wav") : QString());
    QApplication::processEvents();
    QCOMPARE(radio.klein, qint16(backToFullWindow ? 0 : 1));
    QCOMPARE(program::compactWindowLoaded(), !backToFullWindow);

    // "Schließen" takes the notice away.
    radio.Command2->click();
    QVERIFY(!radio.Image16->visible());
    QVERIFY(!radio.Label49->visible());
    QVERIFY(!radio.Command2->visible());
}

void CommandsTest::messagesThatAreNoCommand_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("fewer than nine characters") << QByteArray("abcdalle");
    QTest::newRow("alle elsewhere") << QByteArray("abcdealxalle");
    QTest::newRow("two commands in one arrival") << QByteArray("test4Na-0test4Na-1");
    QTest::newRow("another station's ban") << QByteArray("test5bann");
    QTest::newRow("activity message") << QByteArray("test57(04)");
}

void CommandsTest::messagesThatAreNoCommand() {
    QFETCH(QByteArray, message);
    startRadio();
    arrive(message);
    QApplication::processEvents();
    QCOMPARE(control().warntext, QString());
    QCOMPARE(control().kicken, qint16(0));
    QVERIFY(!m_radio->Image16->visible());
    QVERIFY(!m_radio->Label49->visible());
    QCOMPARE(vb::lastSoundRequested(), QString());
    QVERIFY(m_radio->isVisible());
    QVERIFY(program::controlWindowLoaded());
}

// The panel is a label over the display: every notice, the kick notice
// above all (the longest), must show whole.
void CommandsTest::everyNoticeFitsThePanel() {
    startRadio();
    const vb::Label *label = m_radio->Label49;
    const QFontMetrics metrics(label->font());
    const QRect area = label->rect().adjusted(1, 0, -1, 0);
    for (const char *message : {"test4Na-0", "test4aozl", "test4Na-1", "test4Na-2", "test4Na-3",
                                "test4Na-4", "xxxxxalle", "xxxxxall1", "test4gimx"}) {
        arrive(message);
        QString text = label->caption();
        text.replace("\r\n", "\n");
        const QRect needed = metrics.boundingRect(area, Qt::TextWordWrap | Qt::AlignTop, text);
        QVERIFY2(needed.height() <= area.height() && needed.width() <= area.width(),
                 qPrintable(QStringLiteral("%1 needs %2x%3")
                                .arg(message)
                                .arg(needed.width())
                                .arg(needed.height())));
    }
    // The close key stays clear of the text.
    QVERIFY(m_radio->Command2->geometry().top() >= label->geometry().bottom());
}

// A warning sound that is no wave file must not stop the next sound.
void CommandsTest::brokenWarningSoundDoesNotHang() {
    startRadio();
    m_folder->writeFile("warnung.wav", QByteArray());
    m_folder->writeFile("other.wav", silentWave());
    arrive("test4Na-0");
    QVERIFY(!vb::sndPlaySoundA(vb::programFile("warnung.wav"), vb::SND_ASYNC));
    QVERIFY(vb::sndPlaySoundA(vb::programFile("other.wav"), vb::SND_ASYNC));
    arrive("test4Na-1");
    QVERIFY(m_radio->Label49->caption().contains("klemmt"));
}

void CommandsTest::kickLocksForFifteenMinutesFromTheFirstKick() {
    startRadio();
    frmMain &radio = *m_radio;
    // A notice's close key is still up when the kick comes.
    arrive("test4Na-4");
    arrive("test4aozl");
    QCOMPARE(control().kicken, qint16(1));
    QCOMPARE(radio.Label49->caption(),
             QString("Achtung !! Du wurdest soeben gekickt. Deine Sendetaste sowie die "
                     "Beendentaste ist nun für\r\n15 Minuten gesperrt"));
    QCOMPARE(radio.Label49->backColor(), 0xFFu);
    QCOMPARE(radio.Timer10->interval(), 1000);
    QCOMPARE(vb::lastSoundRequested(), vb::programFile("warnung.wav"));

    // Locked: no channel step, no chat.
    radio.Label9_Click();
    QCOMPARE(radio.Label4->caption(), QString("04"));
    radio.ch01_Click();
    QVERIFY(!program::chatWindowLoaded());
    QCOMPARE(radio.chatShown, qint16(0));

    // Closing the notice does not end the lock.
    radio.Command2->click();
    QVERIFY(!radio.Label49->visible());
    QCOMPARE(control().kicken, qint16(1));

    for (int n = 0; n < 500; ++n)
        radio.Timer10_Timer();
    // The second kick shows its notice again, without a close key, and
    // does not start the fifteen minutes anew.
    arrive("test4aozl");
    QVERIFY(radio.Label49->visible());
    QVERIFY(!radio.Command2->visible());
    for (int n = 0; n < 399; ++n)
        radio.Timer10_Timer();
    QCOMPARE(control().kicken, qint16(1));
    radio.Timer10_Timer();
    QCOMPARE(control().kicken, qint16(0));
    QCOMPARE(radio.kickTicks, qint16(0));
    QCOMPARE(radio.Timer10->interval(), 0);
    QVERIFY(!radio.Image16->visible());
    QVERIFY(!radio.Label49->visible());
    radio.Label9_Click();
    QCOMPARE(radio.Label4->caption(), QString("05"));
}

void CommandsTest::sMeter_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("display");
    QTest::addColumn<QString>("reading");
    QTest::addColumn<QString>("lastFive");
    QTest::newRow("own channel") << QByteArray("abcd7(04)") << "04"
                                 << "7"
                                 << "7(04)";
    QTest::newRow("another channel") << QByteArray("abcd7(04)") << "05"
                                     << ""
                                     << "";
    QTest::newRow("chat report") << QByteArray("test5C(04)") << "04"
                                 << "C"
                                 << "C(04)";
    QTest::newRow("channel token not at the end") << QByteArray("ab7(04)x") << "04"
                                                  << ""
                                                  << "";
}

void CommandsTest::sMeter() {
    QFETCH(QByteArray, message);
    QFETCH(QString, display);
    QFETCH(QString, reading);
    QFETCH(QString, lastFive);
    startRadio();
    m_radio->Label4->setCaption(display);
    arrive(message);
    QCOMPARE(control().smeterwert, reading);
    QCOMPARE(control().smeterhilf, lastFive);
}

void CommandsTest::reportsHoweverJoinedOrSplit_data() {
    QTest::addColumn<QList<QByteArray>>("arrivals");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QString>("notice"); // empty: none

    // Over 4 KB in one go, reports of mixed lengths: the last 4096 bytes of
    // it begin five characters before the report of the station "alle1".
    QByteArray flood = "abcd1(01)abcd2(02)abcd3(03)";
    QStringList floodMessages = {"abcd1(01)", "abcd2(02)", "abcd3(03)", "alle1(05)"};
    flood += "alle1(05)";
    for (int n = 0; n < 453; ++n) {
        const QByteArray report = n < 5 ? "wxyz1C(07)" : "wxyz1(07)";
        flood += report;
        floodMessages += QString::fromLatin1(report);
    }
    QTest::newRow("joined beyond 4096 bytes") << QList<QByteArray>{flood} << floodMessages << "";
    QTest::newRow("split before a five-character tail")
        << QList<QByteArray>{"wxyz", "1(04)alle1(05)"} << QStringList{"wxyz1(04)", "alle1(05)"}
        << "";
    QTest::newRow("split inside the channel") << QList<QByteArray>{"abcd7(0", "4)alle1(05)"}
                                              << QStringList{"abcd7(04)", "alle1(05)"} << "";
    QList<QByteArray> bytes;
    for (char c : QByteArray("wxyz1(04)alle1(05)abcd2C(11)abcd3A12A"))
        bytes.append(QByteArray(1, c));
    QTest::newRow("a byte at a time")
        << bytes << QStringList{"wxyz1(04)", "alle1(05)", "abcd2C(11)", "abcd3A12A"} << "";
    QTest::newRow("command behind a report") << QList<QByteArray>{"wxyz1(04)test4Na-0"}
                                             << QStringList{"wxyz1(04)", "test4Na-0"} << "verwarnt";
    QTest::newRow("report behind a command") << QList<QByteArray>{"test4Na-0wxyz1(04)"}
                                             << QStringList{"test4Na-0", "wxyz1(04)"} << "verwarnt";
    QTest::newRow("news behind reports")
        << QList<QByteArray>{"wxyz1(04)abcd2C(05)#?x!9alle"}
        << QStringList{"wxyz1(04)", "abcd2C(05)", "#?x!9alle"} << "Homepage";
}

// Station reports arrive joined and split as the network pleases; none of
// them, nor a piece of one, is ever taken for the operators' command, and a
// command beside them is still seen.
void CommandsTest::reportsHoweverJoinedOrSplit() {
    QFETCH(QList<QByteArray>, arrivals);
    QFETCH(QStringList, messages);
    QFETCH(QString, notice);
    startRadio();
    QSignalSpy stored(&control(), &MRLS_Einlog::messageStored);
    QTcpSocket *link = m_controlServer->connection(0);
    for (const QByteArray &arrival : arrivals) {
        link->write(arrival);
        link->flush();
        if (arrivals.size() > 1)
            QTest::qWait(30);
    }
    QTRY_COMPARE(stored.size(), messages.size());
    QStringList seen;
    for (const QList<QVariant> &signal : stored)
        seen.append(signal.at(0).toString());
    QCOMPARE(seen, messages);
    QCOMPARE(control().strMess, messages.last());
    if (notice.isEmpty()) {
        QCOMPARE(control().warntext, QString());
        QVERIFY(!m_radio->Label49->visible());
    } else {
        QVERIFY(control().warntext.contains(notice));
        QVERIFY(m_radio->Label49->visible());
    }
    // The S-meter reads the reports of the own channel as before.
    QString reading;
    for (const QString &message : messages) {
        if (message.endsWith("(04)"))
            reading = message.right(5).left(1);
    }
    QCOMPARE(control().smeterwert, reading);
}

void CommandsTest::switchOffClosesEverythingOnTheEleventhTick() {
    startRadio();
    frmMain &radio = *m_radio;
    radio.ch01_Click();
    QVERIFY(program::chatWindowLoaded());
    program::monitorWindow().show();
    program::compactWindow().show();
    radio.klein = 1;
    radio.Check1->setValue(1);

    arrive("test4gimx");
    QCOMPARE(radio.Label49->caption(),
             QString("\r\nDein Gerät wurde soeben von einem Admin ausgeschaltet "
                     "!!!\r\n\r\nDas "
                     "Adminteam"));
    QCOMPARE(radio.Label49->backColor(), 0xFFu);
    QVERIFY(!radio.Command2->visible());
    QVERIFY(radio.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(control().Abschalttimer->interval(), 1000);
    QApplication::processEvents();
    QCOMPARE(radio.klein, qint16(0));
    QVERIFY(!program::compactWindowLoaded());

    for (int n = 0; n < 10; ++n)
        control().Abschalttimer_Timer();
    QVERIFY(program::chatWindowLoaded());
    QVERIFY(radio.isVisible());
    control().Abschalttimer_Timer();
    QVERIFY(!program::chatWindowLoaded());
    QVERIFY(!program::monitorWindowLoaded());
    // Offline, so the main window closes and the program ends with it.
    QVERIFY(!radio.isVisible());
    QTRY_VERIFY(!program::controlWindowLoaded());
    QTRY_VERIFY(m_controlServer->connection(0)->state() != QAbstractSocket::ConnectedState);
}

void CommandsTest::banWhileOnlineSignsOffAndEnds() {
    startRadio(true);
    frmMain &radio = *m_radio;
    program::compactWindow().show();
    radio.klein = 1;
    radio.ch01_Click();

    m_controlServer->connection(0)->write("test4bann");
    QTRY_VERIFY(!program::controlWindowLoaded());
    QVERIFY(!program::compactWindowLoaded());
    QVERIFY(!program::chatWindowLoaded());
    // The close became a sign-off: the window stays while the link goes down.
    QCOMPARE(radio.Label11->caption(), QString("Bye Bye"));
    QCOMPARE(radio.Timer2->interval(), 1000);
    QVERIFY(!radio.Label49->visible());
    QCOMPARE(m_programEnds, 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_programEnds, 1, 3000);
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    CommandsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_commands.moc"
