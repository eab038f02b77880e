#include "deployment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TestDeployment : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void readsSettings_data();
    void readsSettings();
    void portOffset_data();
    void portOffset();
    void generatedIdentityIsKept();
    void configuredIdentity_data();
    void configuredIdentity();
    void replacesBrokenStoredIdentity();
    void hostileFileGivesTheDefaults_data();
    void hostileFileGivesTheDefaults();

private:
    void writeIni(const QByteArray &content);
    static QString storedIdentity();

    QTemporaryDir m_userSettings;
    std::unique_ptr<QTemporaryDir> m_programFolder;
};

void TestDeployment::initTestCase() {
    QVERIFY(m_userSettings.isValid());
    // Keep the user's real settings out of reach of the test.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_userSettings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_userSettings.path());
}

void TestDeployment::init() {
    m_programFolder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_programFolder->isValid());
    QSettings(QStringLiteral("vudi"), QStringLiteral("marlox")).clear();
}

void TestDeployment::writeIni(const QByteArray &content) {
    QFile file(m_programFolder->filePath(QStringLiteral("marlox.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QString TestDeployment::storedIdentity() {
    return QSettings(QStringLiteral("vudi"), QStringLiteral("marlox"))
        .value(QStringLiteral("identity"))
        .toString();
}

void TestDeployment::readsSettings_data() {
    QTest::addColumn<bool>("writeFile");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("chat");
    QTest::addColumn<QString>("homepage");

    const QString local = QStringLiteral("localhost");
    const QString home = QStringLiteral("https://marlox.example/");
    QTest::newRow("no file") << false << QByteArray() << local << local << local << home;
    QTest::newRow("empty file") << true << QByteArray() << local << local << local << home;
    QTest::newRow("full") << true
                          << QByteArray("[servers]\nfirst = one.example\nsecond = 192.0.2.7\n"
                                        "chat = talk.example\nport_offset = 40000\n"
                                        "[station]\nidentity = QRST7\n"
                                        "[links]\nhomepage = https://news.example/radio\n")
                          << "one.example"
                          << "192.0.2.7"
                          << "talk.example"
                          << "https://news.example/radio";
    QTest::newRow("chat follows first") << true << QByteArray("[servers]\nfirst=one.example\n")
                                        << "one.example" << local << "one.example" << home;
    QTest::newRow("blank values") << true << QByteArray("[servers]\nfirst=\nsecond=  \nchat=\n")
                                  << local << local << local << home;
    QTest::newRow("list instead of host")
        << true << QByteArray("[servers]\nfirst=a.example,b.example\nsecond=\"x y\"\n") << local
        << local << local << home;
    QTest::newRow("homepage not on the web")
        << true << QByteArray("[links]\nhomepage=file:///etc/passwd\n") << local << local << local
        << home;
    QTest::newRow("homepage script")
        << true << QByteArray("[links]\nhomepage=javascript:alert(1)\n") << local << local << local
        << home;
    QByteArray binary;
    for (int at = 0; at < 4096; ++at)
        binary.append(char((at * 131 + 17) % 256));
    QTest::newRow("binary") << true << binary << local << local << local << home;
    // A file the settings reader cannot parse counts as missing.
    QTest::newRow("broken lines") << true
                                  << QByteArray("[servers\n=first\nfirst\n[[x]]\n") +
                                         QByteArray(3, '\0') + "[servers]\nsecond=ok.example"
                                  << local << local << local << home;
}

void TestDeployment::readsSettings() {
    QFETCH(bool, writeFile);
    QFETCH(QByteArray, content);
    if (writeFile)
        writeIni(content);
    const Deployment deployment = loadDeployment(m_programFolder->path());
    QTEST(deployment.first, "first");
    QTEST(deployment.second, "second");
    QTEST(deployment.chat, "chat");
    QTEST(deployment.homepage, "homepage");
    QVERIFY(isValidIdentity(deployment.identity));
}

void TestDeployment::portOffset_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("offset");
    QTest::newRow("missing") << QByteArray() << 0;
    QTest::newRow("test offset") << QByteArray("40000") << 40000;
    QTest::newRow("highest") << QByteArray("55495") << 55495;
    QTest::newRow("chat port too high") << QByteArray("55496") << 0;
    QTest::newRow("lowest") << QByteArray("-323") << -323;
    QTest::newRow("control port zero") << QByteArray("-324") << 0;
    QTest::newRow("words") << QByteArray("forty") << 0;
    QTest::newRow("fraction") << QByteArray("1.5") << 0;
    QTest::newRow("huge") << QByteArray("99999999999999999999") << 0;
    QTest::newRow("padded") << QByteArray("  7 ") << 7;
}

void TestDeployment::portOffset() {
    QFETCH(QByteArray, value);
    QFETCH(int, offset);
    writeIni("[servers]\n" + (value.isNull() ? QByteArray() : "port_offset=" + value + "\n"));
    const Deployment deployment = loadDeployment(m_programFolder->path());
    QCOMPARE(deployment.portOffset, offset);
    QCOMPARE(deployment.controlPort(), quint16(324 + offset));
    QCOMPARE(deployment.channelPort(1), quint16(325 + offset));
    QCOMPARE(deployment.channelPort(40), quint16(364 + offset));
    QCOMPARE(deployment.operatorPort(), quint16(999 + offset));
    QCOMPARE(deployment.chatPort(), quint16(10040 + offset));
}

void TestDeployment::generatedIdentityIsKept() {
    const QString identity = loadDeployment(m_programFolder->path()).identity;
    QVERIFY2(isValidIdentity(identity), qPrintable(identity));
    QCOMPARE(identity.size(), 5);
    QVERIFY(identity.back().isDigit());
    QCOMPARE(storedIdentity(), identity);
    QCOMPARE(loadDeployment(m_programFolder->path()).identity, identity);
}

void TestDeployment::configuredIdentity_data() {
    QTest::addColumn<QByteArray>("configured");
    QTest::addColumn<bool>("used");
    QTest::newRow("valid") << QByteArray("QRST7") << true;
    QTest::newRow("digits only") << QByteArray("12345") << true;
    QTest::newRow("too short") << QByteArray("ABC1") << false;
    QTest::newRow("too long") << QByteArray("ABCDE1") << false;
    QTest::newRow("no digit at the end") << QByteArray("ABCDE") << false;
    QTest::newRow("parenthesis") << QByteArray("AB(D1") << false;
    QTest::newRow("umlaut") << QByteArray("\xc3\x84") + "BCD1" << false;
}

void TestDeployment::configuredIdentity() {
    QFETCH(QByteArray, configured);
    QFETCH(bool, used);
    const QString earlier = stationIdentity(QString());
    writeIni("[station]\nidentity=" + configured + "\n");
    const QString identity = loadDeployment(m_programFolder->path()).identity;
    QCOMPARE(identity, used ? QString::fromUtf8(configured) : earlier);
    // The configured identity never replaces the stored one.
    QCOMPARE(storedIdentity(), earlier);
}

void TestDeployment::replacesBrokenStoredIdentity() {
    QSettings(QStringLiteral("vudi"), QStringLiteral("marlox"))
        .setValue(QStringLiteral("identity"), QStringLiteral("(04)"));
    const QString identity = loadDeployment(m_programFolder->path()).identity;
    QVERIFY(isValidIdentity(identity));
    QCOMPARE(storedIdentity(), identity);
}

// None of these may block the reader or fill the memory; each reads as no file.
void TestDeployment::hostileFileGivesTheDefaults_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("fifo") << "fifo";
    QTest::newRow("100 MB") << "huge";
    QTest::newRow("just over 64 KB") << "over";
    QTest::newRow("folder") << "folder";
}

void TestDeployment::hostileFileGivesTheDefaults() {
    QFETCH(QString, kind);
    const QString path = m_programFolder->filePath(QStringLiteral("marlox.ini"));
    const QByteArray settings("[servers]\nfirst=one.example\n");
    if (kind == u"fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == u"folder") {
        QVERIFY(QDir().mkdir(path));
    } else if (kind == u"huge") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(settings);
        // A sparse file: large to the reader, nothing on the disk.
        QVERIFY(file.resize(100 * 1024 * 1024));
    } else {
        writeIni(settings + QByteArray(64 * 1024 + 1 - settings.size(), '\n'));
    }
    QElapsedTimer clock;
    clock.start();
    const Deployment deployment = loadDeployment(m_programFolder->path());
    QVERIFY(clock.elapsed() < 2000);
    QCOMPARE(deployment.first, QStringLiteral("localhost"));

    // At the limit the file is still read.
    if (kind == u"over") {
        writeIni(settings + QByteArray(64 * 1024 - settings.size(), '\n'));
        QCOMPARE(loadDeployment(m_programFolder->path()).first, QStringLiteral("one.example"));
    }
}

QTEST_GUILESS_MAIN(TestDeployment)
#include "test_deployment.moc"
