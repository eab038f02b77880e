// The chat window against a chat server of the test's own on loopback: what
// goes on the wire, what enters the history, the idle line, the server's
// close, the call sign and a missing link control.

#include "chat/mrlxchat.h"
#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "system.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QRandomGenerator>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

QByteArray padded(const QByteArray &callSign) {
    return (callSign + QByteArray(50, ' ')).left(50);
}

QByteArray chatLine(const QByteArray &callSign, const QByteArray &text) {
    return "0" + padded(callSign) + text;
}

} // namespace

class ChatTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void linesOnTheWire_data();
    void linesOnTheWire();
    void inputThatIsNotShown_data();
    void inputThatIsNotShown();
    void arrivingLines_data();
    void arrivingLines();
    void otherChannelStillRefreshes();
    void idleLine();
    void serverCloseRestoresConnectLayout();
    void refusedConnectionIsShown();
    void sendReturnsWhenServerHasGone();
    void historyKeepsTheNewestLines();
    void newCallSignJoinsOnTheNextConnection_data();
    void newCallSignJoinsOnTheNextConnection();
    void callSignOfferedOnce_data();
    void callSignOfferedOnce();
    void chatWorksWithoutLinkControl();
    void loadedChatGoesWhenTheProgramEnds();

private:
    // Loads the chat for the radio on channel 04 and takes its connection.
    void openChat(const QString &callSign);
    QTcpSocket *nextPeer();
    QByteArray readBytes(QTcpSocket *peer, qsizetype count);
    // Everything that comes within a moment: for checking that nothing does.
    QByteArray drain(QTcpSocket *peer);

    QTemporaryDir m_dir;
    int m_offset = 0;
    std::unique_ptr<testsupport::ProgramFolder> m_folder;
    std::unique_ptr<QTcpServer> m_server;
    std::unique_ptr<frmMain> m_radio;
    std::unique_ptr<mrlxchat> m_chat;
    QTcpSocket *m_peer = nullptr;
};

void ChatTest::initTestCase() {
    QVERIFY(m_dir.isValid());
    qputenv("MARLOX_COMPONENT_REGISTRY", m_dir.filePath("components.ini").toLocal8Bit());
    QCOMPARE(com::registerIfNeeded(hyperlink::progId, HYPERLINK_LIBRARY), QString());
}

void ChatTest::init() {
    m_server = std::make_unique<QTcpServer>();
    for (int attempt = 0; attempt < 50 && !m_server->isListening(); ++attempt) {
        m_offset = int(QRandomGenerator::global()->bounded(20000, 50000));
        m_server->listen(QHostAddress::LocalHost, quint16(10040 + m_offset));
    }
    QVERIFY(m_server->isListening());
    m_folder = std::make_unique<testsupport::ProgramFolder>(m_offset);
    m_folder->use();
    m_radio = std::make_unique<frmMain>(goldSkin());
    m_radio->Label4->setCaption(QStringLiteral("04"));
    QSettings(QStringLiteral("vudi"), QStringLiteral("marlox"))
        .setValue("chat/callSignOffered", true);
}

void ChatTest::cleanup() {
    m_chat.reset();
    m_radio.reset();
    m_server.reset();
    m_peer = nullptr;
    program::unloadControlWindow();
}

void ChatTest::openChat(const QString &callSign) {
    mrlxchat::RegWrite(mrlxchat::callSignPath, callSign);
    m_chat = std::make_unique<mrlxchat>(m_radio.get());
    m_chat->Form_Load();
    m_chat->show();
    m_peer = nextPeer();
}

QTcpSocket *ChatTest::nextPeer() {
    if (!m_server->hasPendingConnections() && !m_server->waitForNewConnection(5000))
        return nullptr;
    QTcpSocket *peer = m_server->nextPendingConnection();
    peer->setParent(m_server.get());
    return peer;
}

QByteArray ChatTest::readBytes(QTcpSocket *peer, qsizetype count) {
    QByteArray got;
    (void)QTest::qWaitFor(
        [&] {
            got += peer->readAll();
            return got.size() >= count;
        },
        5000);
    return got;
}

QByteArray ChatTest::drain(QTcpSocket *peer) {
    QTest::qWait(200);
    return peer->readAll();
}

void ChatTest::linesOnTheWire_data() {
    QTest::addColumn<QString>("callSign");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("sentName");
    QTest::addColumn<QByteArray>("sentText");
    QTest::addColumn<QString>("echo");

    QTest::newRow("plain") << "Anna"
                           << "hallo" << QByteArray("Anna") << QByteArray("hallo")
                           << "Anna: hallo\r\n";
    QTest::newRow("leading blanks kept")
        << "  Bert"
        << "   eingerueckt" << QByteArray("  Bert") << QByteArray("   eingerueckt")
        << "Bert:    eingerueckt\r\n";
    const QString sixty = QString(30, 'a') + QString(30, 'b');
    QTest::newRow("call sign cut at 50")
        << sixty << "x" << (QByteArray(30, 'a') + QByteArray(20, 'b')) << QByteArray("x")
        << QString(QString(30, 'a') + QString(20, 'b') + ": x\r\n");
    QTest::newRow("windows-1252") << QString::fromUtf8("Jürgen")
                                  << QString::fromUtf8("Grüße für 5 €") << QByteArray("J\xfcrgen")
                                  << QByteArray("Gr\xfc\xdf"
                                                "e f\xfcr 5 \x80")
                                  << QString::fromUtf8("Jürgen: Grüße für 5 €\r\n");
    // The field holds 1000 characters; the channel still goes behind them.
    for (int length : {999, 1000})
        QTest::addRow("%d characters", length)
            << "Anna" << QString(length, 'x') << QByteArray("Anna") << QByteArray(length, 'x')
            << QString("Anna: " + QString(length, 'x') + "\r\n");
    // A character Windows-1252 lacks is one byte on the wire; the call-sign
    // field stays 50 bytes.
    QTest::newRow("call sign beyond windows-1252")
        << QString::fromUtf8("Ümit\U0001F600") << "hallo" << QByteArray("\xdcmit?")
        << QByteArray("hallo") << QString::fromUtf8("Ümit?: hallo\r\n");
    const QString longText = QString(300, 'z') + QChar(0xA0) + "ende";
    QTest::newRow("a few hundred bytes") << "Cleo" << longText << QByteArray("Cleo")
                                         << (QByteArray(300, 'z') + "\xa0"
                                                                    "ende")
                                         << QString("Cleo: " + longText + "\r\n");
}

void ChatTest::linesOnTheWire() {
    QFETCH(QString, callSign);
    QFETCH(QString, typed);
    QFETCH(QByteArray, sentName);
    QFETCH(QByteArray, sentText);
    QFETCH(QString, echo);
    openChat(callSign);
    QVERIFY(m_peer);
    QCOMPARE(readBytes(m_peer, 51), "1" + padded(sentName));

    MRLS_Einlog &control = program::controlWindow();
    control.i = 0;
    m_chat->txtNachricht->setText(typed);
    m_chat->cmdsend_Click();
    const QByteArray expected = chatLine(sentName, sentText + "04");
    QCOMPARE(readBytes(m_peer, expected.size()), expected);
    QCOMPARE(m_chat->txtchat->Text(), echo);
    QCOMPARE(m_chat->txtNachricht->text(), QString());
    QCOMPARE(control.i, qint16(4));
    QCOMPARE(control.cha, QString("C"));
    QCOMPARE(control.kanalzeig, QString("04"));
}

void ChatTest::inputThatIsNotShown_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("blanks only") << "    " << QByteArray();
    QTest::newRow("empty") << "" << QByteArray();
    QTest::newRow("no-break space first")
        << QString(QChar(0xA0)) + "still" << chatLine("Anna", "\xa0still04");
}

void ChatTest::inputThatIsNotShown() {
    QFETCH(QString, typed);
    QFETCH(QByteArray, sent);
    openChat("Anna");
    QVERIFY(m_peer);
    readBytes(m_peer, 51);
    m_chat->txtNachricht->setText(typed);
    m_chat->cmdsend_Click();
    QCOMPARE(sent.isEmpty() ? drain(m_peer) : readBytes(m_peer, sent.size()), sent);
    QCOMPARE(m_chat->txtchat->Text(), QString());
}

void ChatTest::arrivingLines_data() {
    QTest::addColumn<QByteArray>("arriving");
    QTest::addColumn<QString>("history");
    QTest::addColumn<bool>("linkUnderlined");

    QTest::newRow("own channel") << chatLine("  Bert  ", "servus04") << "Bert: servus\r\n" << false;
    QTest::newRow("other channel") << chatLine("Bert", "servus05") << "" << false;
    QTest::newRow("idle line") << chatLine("Bert", "\xa0"
                                                   "04")
                               << "" << false;
    QTest::newRow("too short for a channel") << QByteArray("0Bert") << "" << false;
    QTest::newRow("unknown kind") << ("2" + padded("Bert") + "x04") << "" << false;
    QTest::newRow("join") << ("1" + padded(" Cleo"))
                          << "-system-: Der User Cleo betritt den Chat.\r\n"
                          << false;
    QTest::newRow("join and a line behind it")
        << ("1" + padded("Cleo") + chatLine("Cleo", "da bin ich04"))
        << "-system-: Der User Cleo betritt den Chat.\r\nCleo: da bin ich\r\n"
        << false;
    // One arrival is one line: the first call sign, then all the rest.
    QTest::newRow("two lines in one arrival")
        << (chatLine("Bert", "eins05") + chatLine("Cleo", "zwei04"))
        << QString("Bert: eins050" + QString(padded("Cleo")) + "zwei\r\n") << false;
    QTest::newRow("link") << chatLine("Bert", "schau http://example.org/a, ok04")
                          << "Bert: schau http://example.org/a, ok\r\n"
                          << true;
}

void ChatTest::arrivingLines() {
    QFETCH(QByteArray, arriving);
    QFETCH(QString, history);
    QFETCH(bool, linkUnderlined);
    openChat("Anna");
    QVERIFY(m_peer);
    readBytes(m_peer, 51);
    m_peer->write(arriving);
    if (history.isEmpty())
        QTest::qWait(200);
    QTRY_COMPARE(m_chat->txtchat->Text(), history);
    if (linkUnderlined) {
        const int at = int(history.indexOf("http://"));
        for (int index : {at, at + 20}) {
            m_chat->txtchat->setSelStart(index);
            m_chat->txtchat->setSelLength(1);
            QCOMPARE(m_chat->txtchat->selunderline(), std::optional<bool>(true));
        }
        m_chat->txtchat->setSelStart(at - 2);
        m_chat->txtchat->setSelLength(1);
        QCOMPARE(m_chat->txtchat->selunderline(), std::optional<bool>(false));
    }
}

void ChatTest::otherChannelStillRefreshes() {
    openChat("Anna");
    QVERIFY(m_peer);
    readBytes(m_peer, 51);
    m_peer->write(chatLine("Bert", "www.example.org04"));
    QTRY_COMPARE(m_chat->txtchat->Text(), QString("Bert: www.example.org\r\n"));
    m_chat->txtchat->setSelStart(0);
    m_peer->write(chatLine("Bert", "anderswo05"));
    QTRY_COMPARE(m_chat->txtchat->SelStart(), m_chat->txtchat->textLength());
    QCOMPARE(m_chat->txtchat->Text(), QString("Bert: www.example.org\r\n"));
}

void ChatTest::idleLine() {
    openChat("Anna");
    QVERIFY(m_peer);
    readBytes(m_peer, 51);
    const QByteArray idle = chatLine("Anna", "\xa0"
                                             "04");
    for (int tick = 1; tick <= 700; ++tick)
        m_chat->Timer2_Timer();
    QCOMPARE(drain(m_peer), QByteArray());
    m_chat->Timer2_Timer();
    QCOMPARE(readBytes(m_peer, idle.size()), idle);
    QCOMPARE(m_chat->idleTicks, qint16(0));
    QCOMPARE(m_chat->txtchat->Text(), QString());

    // A text in the field holds the line back, and the count at its threshold
    // for as long as the text stays, however long.
    m_chat->txtNachricht->setText("halb getippt");
    for (int tick = 0; tick < 40000; ++tick)
        m_chat->Timer2_Timer();
    QCOMPARE(m_chat->idleTicks, qint16(701));
    QCOMPARE(drain(m_peer), QByteArray());
    m_chat->txtNachricht->clear();
    m_chat->Timer2_Timer();
    QCOMPARE(readBytes(m_peer, idle.size()), idle);
}

void ChatTest::serverCloseRestoresConnectLayout() {
    openChat("Anna");
    QVERIFY(m_peer);
    readBytes(m_peer, 51);
    m_peer->write(chatLine("Bert", "gleich weg04"));
    QTRY_VERIFY(m_chat->txtchat->Text().contains("gleich weg"));
    QVERIFY(m_chat->connected && m_chat->txtNachricht->isEnabled());
    m_peer->disconnectFromHost();
    QTRY_VERIFY(!m_chat->connected);
    QCOMPARE(m_chat->txtchat->Text(), QString("-system-: Die Verbindung wurde beendet\r\n"));
    QVERIFY(!m_chat->txtNachricht->isEnabled());
    QVERIFY(!m_chat->cmdsend->isEnabled());
    QVERIFY(m_chat->cmdconnect->isEnabled());
    QVERIFY(m_chat->txtname->isEnabled());
    QVERIFY(!m_chat->cmdcancel->isEnabled());
}

void ChatTest::refusedConnectionIsShown() {
    m_server->close();
    mrlxchat::RegWrite(mrlxchat::callSignPath, "Anna");
    m_chat = std::make_unique<mrlxchat>(m_radio.get());
    m_chat->Form_Load();
    QTRY_VERIFY(!m_chat->connected);
    QCOMPARE(m_chat->txtchat->Text(),
             QString("-system-: Der Chat-Server ist nicht erreichbar.\r\n"));
    QVERIFY(m_chat->cmdconnect->isEnabled());
}

void ChatTest::sendReturnsWhenServerHasGone() {
    openChat("Anna");
    QVERIFY(m_peer);
    readBytes(m_peer, 51);
    // The server goes without a word; the window learns of it only while sending.
    m_peer->abort();
    m_server->close();
    QElapsedTimer clock;
    clock.start();
    for (int line = 0; line < 3; ++line) {
        m_chat->txtNachricht->setText(QStringLiteral("noch da?"));
        m_chat->cmdsend_Click();
    }
    QVERIFY2(clock.elapsed() < 3 * (mrlxchat::sendWaitMs + 500),
             qPrintable(QString::number(clock.elapsed())));
    QTRY_VERIFY(!m_chat->connected);
    QVERIFY2(m_chat->txtchat->Text().startsWith("-system-: Die Verbindung wurde beendet\r\n"),
             qPrintable(m_chat->txtchat->Text()));
}

// A flood of lines must not grow the history without end: the oldest lines
// go, and the lines kept keep their links.
void ChatTest::historyKeepsTheNewestLines() {
    openChat("Anna");
    QVERIFY(m_peer);
    readBytes(m_peer, 51);
    const int sent = mrlxchat::historyLines + 100;
    for (int n = 0; n < sent; ++n) {
        m_chat->txtNachricht->setText(QString("zeile %1 http://example.org/%1").arg(n));
        QVERIFY(m_chat->cmdsend_Click());
    }
    QCOMPARE(m_chat->txtchat->lineCount(), mrlxchat::historyLines);
    const QString history = m_chat->txtchat->Text();
    QVERIFY(history.startsWith("Anna: zeile 100 http://example.org/100\r\n"));
    QVERIFY(history.endsWith(QString("Anna: zeile %1 http://example.org/%1\r\n").arg(sent - 1)));
    for (const QString &link :
         {QString("http://example.org/100"), QString("http://example.org/%1").arg(sent - 1)}) {
        m_chat->txtchat->setSelStart(int(history.indexOf(link)) + 3);
        m_chat->txtchat->setSelLength(1);
        QCOMPARE(m_chat->txtchat->selunderline(), std::optional<bool>(true));
    }
    m_chat->txtchat->setSelStart(int(history.indexOf("zeile 100")));
    m_chat->txtchat->setSelLength(1);
    QCOMPARE(m_chat->txtchat->selunderline(), std::optional<bool>(false));

    // Long lines: the history is held to its characters too.
    const QString longLine = QString(990, 'y');
    for (int n = 0; n < 250; ++n) {
        m_chat->txtNachricht->setText(longLine);
        QVERIFY(m_chat->cmdsend_Click());
    }
    QVERIFY(m_chat->txtchat->textLength() <= mrlxchat::historyCharacters);
    QVERIFY(m_chat->txtchat->lineCount() > 150);
    QVERIFY(m_chat->txtchat->Text().endsWith("Anna: " + longLine + "\r\n"));
}

void ChatTest::newCallSignJoinsOnTheNextConnection_data() {
    QTest::addColumn<bool>("connected");
    QTest::newRow("changed while connected") << true;
    QTest::newRow("changed while disconnected, then reconnected") << false;
}

void ChatTest::newCallSignJoinsOnTheNextConnection() {
    QFETCH(bool, connected);
    openChat("Anna");
    QVERIFY(m_peer);
    QCOMPARE(readBytes(m_peer, 51), "1" + padded("Anna"));
    if (!connected)
        m_chat->cmdcancel_Click();
    m_chat->editCallSign();
    QVERIFY(m_chat->callSignDialog());
    auto *field = m_chat->callSignDialog()->findChild<QLineEdit *>("callSign");
    QVERIFY(field);
    field->setText("Bert");
    m_chat->callSignDialog()->accept();
    QCOMPARE(m_chat->Label2->caption(), QString("Bert"));
    if (!connected) {
        QTest::qWait(100);
        QVERIFY(!m_server->hasPendingConnections());
        QAction *reconnect = nullptr;
        for (QMenu *menu : m_chat->findChildren<QMenu *>()) {
            for (QAction *action : menu->actions()) {
                if (action->text() == "Neu verbinden")
                    reconnect = action;
            }
        }
        QVERIFY(reconnect);
        reconnect->trigger();
    }
    QTcpSocket *peer = nextPeer();
    QVERIFY(peer);
    QCOMPARE(readBytes(peer, 51), "1" + padded("Bert"));
}

void ChatTest::callSignOfferedOnce_data() {
    QTest::addColumn<bool>("alreadyOffered");
    QTest::addColumn<QString>("answer"); // empty: declined
    QTest::addColumn<QByteArray>("joinName");
    QTest::addColumn<QString>("label");
    QTest::newRow("declined") << false << "" << QByteArray("no name") << "";
    QTest::newRow("given") << false << "Dora" << QByteArray("Dora") << "Dora";
    QTest::newRow("offered before") << true << "" << QByteArray("no name") << "";
}

void ChatTest::callSignOfferedOnce() {
    QFETCH(bool, alreadyOffered);
    QFETCH(QString, answer);
    QFETCH(QByteArray, joinName);
    QFETCH(QString, label);
    QSettings(QStringLiteral("vudi"), QStringLiteral("marlox"))
        .setValue("chat/callSignOffered", alreadyOffered);
    mrlxchat::RegWrite(mrlxchat::callSignPath, QString());
    m_chat = std::make_unique<mrlxchat>(m_radio.get());
    m_chat->Form_Load();
    m_chat->show();
    if (!alreadyOffered) {
        QTRY_VERIFY(m_chat->callSignDialog());
        QVERIFY(!m_server->hasPendingConnections());
        auto *field = m_chat->callSignDialog()->findChild<QLineEdit *>("callSign");
        QVERIFY(field);
        QTest::keyClicks(field, answer);
        if (answer.isEmpty())
            m_chat->callSignDialog()->reject();
        else
            m_chat->callSignDialog()->accept();
    } else {
        QTest::qWait(50);
        QVERIFY(!m_chat->callSignDialog());
    }
    m_peer = nextPeer();
    QVERIFY(m_peer);
    QCOMPARE(readBytes(m_peer, 51), "1" + padded(joinName));
    QCOMPARE(m_chat->Label2->caption(), label);
    QCOMPARE(mrlxchat::RegRead(mrlxchat::callSignPath), label);
    QVERIFY(QSettings(QStringLiteral("vudi"), QStringLiteral("marlox"))
                .value("chat/callSignOffered")
                .toBool());
}

void ChatTest::chatWorksWithoutLinkControl() {
    const QByteArray registry = qgetenv("MARLOX_COMPONENT_REGISTRY");
    qputenv("MARLOX_COMPONENT_REGISTRY", m_dir.filePath("empty.ini").toLocal8Bit());
    openChat("Anna");
    qputenv("MARLOX_COMPONENT_REGISTRY", registry);
    QVERIFY(m_peer);
    QVERIFY(m_chat->linkControlMissing());
    readBytes(m_peer, 51);
    const QString notice = m_chat->txtchat->Text();
    QVERIFY2(notice.startsWith("-system-: ") &&
                 notice.contains("Links werden nicht hervorgehoben."),
             qPrintable(notice));
    m_peer->write(chatLine("Bert", "http://example.org04"));
    QTRY_COMPARE(m_chat->txtchat->Text(), notice + "Bert: http://example.org\r\n");
    m_chat->txtchat_MouseMove(300, 100);
    m_chat->txtchat_Click();
    // Said once: the next connection's history starts empty.
    m_chat->cmdcancel_Click();
    m_chat->cmdconnect_Click();
    QCOMPARE(m_chat->txtchat->Text(), QString());
}

void ChatTest::loadedChatGoesWhenTheProgramEnds() {
    // Left to the program's end, the window's link control would be taken
    // down after the application, which it needs for that.
    program::chatWindow();
    QVERIFY(program::chatWindowLoaded());
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    QVERIFY(!program::chatWindowLoaded());
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    vb::setEndProgramHandler([] {});
    ChatTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_chat.moc"
