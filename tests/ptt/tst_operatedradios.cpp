// Two radios online through the relay, steered by the operators with
// marlox-operator. A runs in this process so that its panel can be read; B runs
// in a process of its own at another address (::1): first as the push-to-talk
// tests' station, keyed through its standard input, then as the program itself,
// which a ban must end.
#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "relayprocess.h"
#include "system.h"

#include <QApplication>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {
const testsupport::Options channel07Options = testsupport::Options().channel("07").soundOn();
} // namespace

class OperatedRadiosTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void kickAndBan();

private:
    QByteArray runOperator(const QStringList &arguments, int *status = nullptr);
    // Waits until `stations` lists the identity with `state` in its row.
    bool waitForStation(const QByteArray &identity, const QByteArray &state, int timeoutMs);
    void startB(const QString &program);
    // The next line B prints, or empty when none comes in time.
    QByteArray lineFromB(int timeoutMs);

    QTemporaryDir m_dir;
    QProcess m_relay;
    QProcess m_b;
    int m_offset = -1;
    std::unique_ptr<testsupport::ProgramFolder> m_folderA;
    std::unique_ptr<testsupport::ProgramFolder> m_folderB;
};

void OperatedRadiosTest::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no test audio server: run through scripts/test");
    m_offset = testsupport::startRelay(m_relay, m_dir.filePath("relay.log"),
                                       {"--listen", "any", "--console", m_dir.filePath("console")});
    QVERIFY(m_offset > 0);
    vb::setEndProgramHandler([] {});
}

void OperatedRadiosTest::cleanupTestCase() {
    program::unloadControlWindow();
    if (m_b.state() != QProcess::NotRunning) {
        m_b.kill();
        m_b.waitForFinished();
    }
    m_relay.terminate();
    m_relay.waitForFinished();
}

QByteArray OperatedRadiosTest::runOperator(const QStringList &arguments, int *status) {
    QProcess tool;
    tool.start(MARLOX_OPERATOR_PATH,
               QStringList{"--console", m_dir.filePath("console")} + arguments);
    // The radio in this process keeps running while the tool works.
    if (!QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; }, 15000))
        return "marlox-operator did not finish";
    if (status)
        *status = tool.exitCode();
    return tool.readAllStandardOutput() + tool.readAllStandardError();
}

bool OperatedRadiosTest::waitForStation(const QByteArray &identity, const QByteArray &state,
                                        int timeoutMs) {
    return QTest::qWaitFor(
        [&] {
            for (const QByteArray &row : runOperator({"stations"}).split('\n'))
                if (row.startsWith(identity) && row.contains(state))
                    return true;
            return false;
        },
        timeoutMs);
}

void OperatedRadiosTest::startB(const QString &program) {
    m_b.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_b.start(program, {"--folder", m_folderB->path()});
}

QByteArray OperatedRadiosTest::lineFromB(int timeoutMs) {
    if (!QTest::qWaitFor([&] { return m_b.canReadLine(); }, timeoutMs))
        return {};
    return m_b.readLine().trimmed();
}

void OperatedRadiosTest::kickAndBan() {
    m_folderB = std::make_unique<testsupport::ProgramFolder>(
        testsupport::Servers(m_offset).first("::1").second("::1").identity("BBBB2"),
        channel07Options);
    startB(PTT_STATION);
    QVERIFY(m_b.waitForStarted());

    m_folderA = std::make_unique<testsupport::ProgramFolder>(
        testsupport::Servers(m_offset).identity("AAAA1"), channel07Options);
    m_folderA->use();
    auto a = std::make_unique<frmMain>(goldSkin());
    a->Form_Load();
    QTRY_VERIFY_WITH_TIMEOUT(a->voiceConnected != 0, 10000);
    QCOMPARE(lineFromB(20000), QByteArray("online"));
    // Each radio reports about 5 s after its start.
    QVERIFY(waitForStation("AAAA1", "connected", 20000));
    QVERIFY(waitForStation("BBBB2", "connected", 20000));
    MRLS_Einlog &control = program::controlWindow();

    // The kick locks A: its notice shows and its key is refused, while B talks
    // and A hears it.
    int status = -1;
    runOperator({"kick", "AAAA1"}, &status);
    QCOMPARE(status, 0);
    QTRY_VERIFY(control.kicken != 0);
    QVERIFY(control.warntext.startsWith("Achtung !! Du wurdest soeben gekickt"));
    QVERIFY(a->Label49->visible());
    QCOMPARE(a->Label49->caption(), control.warntext);
    a->senden_KeyDown(32, 0);
    QCOMPARE(a->recordingStarted, qint16(0));
    const double heardBefore = a->receivedBytes;
    m_b.write("press\n");
    QCOMPARE(lineFromB(10000), QByteArray("keyed"));
    QTRY_VERIFY_WITH_TIMEOUT(a->receivedBytes >= heardBefore + 65 * 10, 5000);
    m_b.write("release\n");
    QCOMPARE(lineFromB(10000), QByteArray("released"));
    m_b.write("quit\n");
    QVERIFY(m_b.waitForFinished(10000));
    QVERIFY(waitForStation("BBBB2", "gone", 5000));
    startB(MARLOX_EXECUTABLE);
    QVERIFY(m_b.waitForStarted());

    // A command word written by a station reaches nobody.
    const QString kickNotice = control.warntext;
    QTcpSocket intruder;
    intruder.connectToHost(QHostAddress::LocalHost, quint16(324 + m_offset));
    QVERIFY(intruder.waitForConnected(5000));
    intruder.write("AAAA1Na-3");
    QVERIFY(intruder.waitForBytesWritten(5000));
    QTest::qWait(500);
    QCOMPARE(control.warntext, kickNotice);

    // The ban ends B's program, and B cannot come back.
    QVERIFY(waitForStation("BBBB2", "connected", 20000));
    runOperator({"ban", "BBBB2"}, &status);
    QCOMPARE(status, 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_b.state() == QProcess::NotRunning, 20000);
    QCOMPARE(m_b.exitStatus(), QProcess::NormalExit);
    startB(MARLOX_EXECUTABLE);
    QVERIFY(m_b.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(testsupport::readLog(m_dir.filePath("relay.log"))
                                 .contains("banned connection(s), the last ::1"),
                             10000);
    QVERIFY(waitForStation("BBBB2", "gone, banned", 5000));
    QVERIFY(waitForStation("AAAA1", "connected", 5000));
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    OperatedRadiosTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_operatedradios.moc"
