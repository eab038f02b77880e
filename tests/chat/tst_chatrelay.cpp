// Radios that chat through the relay server: two on channel 9 read each
// other's lines and open a link from them, one on channel 10 does not see
// them, and a minimised radio announces a line with its notification sound.

#include "chat/mrlxchat.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "radiofixture.h"
#include "relayprocess.h"
#include "sound.h"
#include "system.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

// Stands in for the desktop's browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

class ChatRelayTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void stationsOnOneChannelChat();

private:
    struct Station {
        std::unique_ptr<frmMain> radio;
        std::unique_ptr<mrlxchat> chat;
    };
    Station startStation(const QByteArray &channel, const QString &callSign);

    QTemporaryDir m_dir;
    QProcess m_relay;
    int m_offset = -1;
    UrlCatcher m_catcher;
    std::vector<std::unique_ptr<testsupport::ProgramFolder>> m_folders;
};

void ChatRelayTest::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no test audio server: run through scripts/test");
    qputenv("MARLOX_COMPONENT_REGISTRY", m_dir.filePath("components.ini").toLocal8Bit());
    QCOMPARE(com::registerIfNeeded(hyperlink::progId, HYPERLINK_LIBRARY), QString());
    QDesktopServices::setUrlHandler("http", &m_catcher, "open");
    m_offset = testsupport::startRelay(m_relay, m_dir.filePath("relay.log"));
    QVERIFY(m_offset > 0);
    vb::setEndProgramHandler([] {});
    QSettings(QStringLiteral("vudi"), QStringLiteral("marlox"))
        .setValue("chat/callSignOffered", true);
}

void ChatRelayTest::cleanupTestCase() {
    QDesktopServices::unsetUrlHandler("http");
    program::unloadControlWindow();
    m_relay.terminate();
    m_relay.waitForFinished();
}

ChatRelayTest::Station ChatRelayTest::startStation(const QByteArray &channel,
                                                   const QString &callSign) {
    auto folder = std::make_unique<testsupport::ProgramFolder>(
        testsupport::Servers(m_offset), testsupport::Options().channel(channel));
    folder->use();
    Station station;
    station.radio = std::make_unique<frmMain>(goldSkin());
    station.radio->Form_Load();
    station.radio->Image12_Click();
    mrlxchat::RegWrite(mrlxchat::callSignPath, callSign);
    station.chat = std::make_unique<mrlxchat>(station.radio.get());
    station.chat->Form_Load();
    station.radio->Andockench = true;
    station.radio->show();
    station.chat->show();
    m_folders.push_back(std::move(folder));
    return station;
}

void ChatRelayTest::stationsOnOneChannelChat() {
    Station anna = startStation("09", "Anna");
    Station bert = startStation("09", "Bert");
    Station cleo = startStation("10", "Cleo");
    QCOMPARE(bert.radio->Label4->caption(), QString("09"));
    QCOMPARE(cleo.radio->Label4->caption(), QString("10"));
    QVERIFY(testsupport::waitForStations(m_dir.filePath("relay.log"), 10040 + m_offset, 3));
    QVERIFY(QTest::qWaitForWindowExposed(bert.chat.get()));

    // Who came later is announced to who was there. Lines sent close together
    // reach a station as one, so the test waits until every join has arrived.
    const auto joined = [](const Station &station, const char *callSign) {
        return station.chat->txtchat->Text().contains(
            QStringLiteral("-system-: Der User %1 betritt den Chat.").arg(callSign));
    };
    QTRY_VERIFY_WITH_TIMEOUT(joined(anna, "Bert") && joined(anna, "Cleo") && joined(bert, "Cleo"),
                             10000);
    QTest::qWait(200);

    const QString text = QStringLiteral("Schaut mal: http://example.org/funk?k=9 gute Nacht");
    anna.chat->txtNachricht->setText(text);
    QTest::keyClick(anna.chat->txtNachricht, Qt::Key_Return);
    QTRY_VERIFY2_WITH_TIMEOUT(
        bert.chat->txtchat->Text().contains("Anna: " + text + "\r\n"),
        qPrintable(anna.chat->txtchat->Text() + "|" + bert.chat->txtchat->Text()), 10000);
    QVERIFY(anna.chat->txtchat->Text().contains("Anna: " + text + "\r\n"));
    QVERIFY(!vb::lastSoundRequested().endsWith("post.wav"));

    // The link is underlined, the words around it are not.
    RichTextBox *history = bert.chat->txtchat;
    const int link = int(history->Text().indexOf("http://"));
    const auto underlined = [history](int index) {
        history->setSelStart(index);
        history->setSelLength(1);
        return history->selunderline().value_or(false);
    };
    QVERIFY(underlined(link) && underlined(link + 20));
    QVERIFY(!underlined(link - 2));
    QVERIFY(!underlined(link + int(QString("http://example.org/funk?k=9").size()) + 1));

    // Hover and click it as a user does: the desktop's handler gets the link.
    history->setSelStart(history->textLength());
    const QPoint over =
        history->posFromChar(link + 10) + QPoint(2, history->fontMetrics().height() / 2);
    QMouseEvent move(QEvent::MouseMove, over, history->viewport()->mapToGlobal(over), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(history->viewport(), &move);
    QTRY_COMPARE(bert.chat->Hyperlink1->URL(), QString("http://example.org/funk?k=9"));
    QTest::mouseClick(history->viewport(), Qt::LeftButton, Qt::NoModifier, over);
    QTRY_COMPARE(m_catcher.opened, QList<QUrl>{QUrl("http://example.org/funk?k=9")});

    // The relay passes a long line and the no-break space unchanged.
    const QString longLine = QString(300, u'x') + QChar(0xA0) + QStringLiteral("ö€");
    anna.chat->txtNachricht->setText(longLine);
    anna.chat->cmdsend_Click();
    QTRY_VERIFY(bert.chat->txtchat->Text().endsWith("Anna: " + longLine + "\r\n"));

    // The radio on channel 10 never shows the line.
    QTest::qWait(300);
    QVERIFY(!cleo.chat->txtchat->Text().contains("Anna: "));

    // With the radio minimised the next line is announced by its sound.
    bert.radio->showMinimized();
    QTRY_VERIFY(bert.radio->isMinimized());
    anna.chat->txtNachricht->setText("Bist du noch da?");
    anna.chat->cmdsend_Click();
    QTRY_VERIFY(bert.chat->txtchat->Text().contains("Anna: Bist du noch da?\r\n"));
    QCOMPARE(vb::lastSoundRequested(), vb::programFile("post.wav"));
}

int main(int argc, char *argv[]) {
    testsupport::isolateUserSettings();
    QApplication app(argc, argv);
    ChatRelayTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_chatrelay.moc"
