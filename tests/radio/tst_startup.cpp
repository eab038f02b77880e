#include "control/MRLS_Einlog.h"
#include "radio/frmMain.h"
#include "radio/program.h"
#include "system.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "mscomm.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void loadOptions_data();
    void loadOptions();
    void saveOptionsWritesSevenLines_data();
    void saveOptionsWritesSevenLines();
    void saveOptionsReplacesTheFileWhole();
    void saveOptionsIntoAnUnwritablePlaceIsSilent();
    void panelStyle_data();
    void panelStyle();
    void pictureFollowsItsResourceAndSize();
    void buildColours();
    void startupWithSoundOff();
    void deploymentPortsReachTheChannelPorts();
    void signOffEndsAfterTwoTicks();
    void closingWithTheLinkDownClosesAtOnce();
    void closingWithTheLinkUpSignsOff();
    void secondCopyActivatesTheFirstAndEnds();
    void hostileOptionsFile_data();
    void hostileOptionsFile();
    void windowOffEveryScreen_data();
    void windowOffEveryScreen();
    void readOnlyProgramFolder();
    void serialDeviceFromTheOptionsIsOpened();
    void soundsFromTheInstallFolder();

private:
    void writeOptions(const QByteArray &content);
    QByteArray readOptions() const;
    std::unique_ptr<frmMain> makeRadio(const Skin &skin = goldSkin());

    std::unique_ptr<QTemporaryDir> m_folder;
    int m_endCalls = 0;
};

void StartupTest::init() {
    m_folder = std::make_unique<QTemporaryDir>();
    vb::setProgramFolder(m_folder->path());
    m_endCalls = 0;
    vb::setEndProgramHandler([this] { ++m_endCalls; });
}

void StartupTest::cleanup() {
    program::unloadControlWindow();
    m_folder.reset();
}

void StartupTest::writeOptions(const QByteArray &content) {
    QFile file(m_folder->filePath("optionen.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray StartupTest::readOptions() const {
    QFile file(m_folder->filePath("optionen.txt"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::unique_ptr<frmMain> StartupTest::makeRadio(const Skin &skin) {
    return std::make_unique<frmMain>(skin);
}

void StartupTest::loadOptions_data() {
    QTest::addColumn<QByteArray>("content"); // a null array: no file at all
    QTest::addColumn<QString>("display");
    QTest::addColumn<int>("volume");
    QTest::addColumn<QString>("volumeText");
    QTest::addColumn<int>("topTwips");
    QTest::addColumn<int>("leftTwips");
    QTest::addColumn<QString>("comPort");
    QTest::addColumn<int>("style");
    QTest::addColumn<QString>("sound");

    QTest::newRow("normal") << QByteArray(" 57\r\n12\r\n 3\r\n2000\r\n1500\r\n2\r\nsound_off\r\n")
                            << "11" << 57 << "57" << 2000 << 1500 << "2" << 3 << "sound_off";
    QTest::newRow("missing file") << QByteArray() << "00" << 23 << "" << 1 << 1 << "1" << 0 << "";
    // Over 64 KB it is no options file: it reads as a missing one.
    QByteArray binary("\x00\xff\xfe\x01garbage\x7f", 12);
    binary += QByteArray(100000, '\xab');
    QTest::newRow("binary") << binary << "00" << 23 << "" << 1 << 1 << "1" << 0 << "";
    QByteArray shortBinary("\x00\xff\xfe\x01garbage\x7f", 12);
    shortBinary += QByteArray(10000, '\xab');
    QTest::newRow("binary, one long line")
        << shortBinary << "00" << 23 << QString::fromLatin1(shortBinary.left(4096)) << 1 << 1 << "1"
        << 0 << "";
    // A long first line is cut, and the lines after it stay where they are.
    QTest::newRow("long first line")
        << QByteArray(5000, '7') + "\r\n12\r\n 3\r\n2000\r\n1500\r\n2\r\nsound_off\r\n"
        << "11" << 23 << QString(4096, '7') << 2000 << 1500 << "2" << 3 << "sound_off";
    QTest::newRow("serial device path")
        << QByteArray(" 57\r\n12\r\n 3\r\n2000\r\n1500\r\n/dev/ttyUSB0\r\nsound_off\r\n") << "11"
        << 57 << "57" << 2000 << 1500 << "/dev/ttyUSB0" << 3 << "sound_off";
    QTest::newRow("negative top") << QByteArray(
                                         " 23\r\n04\r\n 1\r\n-300\r\n500\r\n1\r\nsound_off\r\n")
                                  << "03" << 23 << "23" << 1 << 500 << "1" << 1 << "sound_off";
    QTest::newRow("stored 01") << QByteArray(" 23\r\n01\r\n 1\r\n10\r\n10\r\n1\r\nsound_on\r\n")
                               << "00" << 23 << "23" << 10 << 10 << "1" << 1 << "sound_on";
    QTest::newRow("stored 40") << QByteArray(" 23\r\n40\r\n 1\r\n10\r\n10\r\n1\r\nsound_on\r\n")
                               << "39" << 23 << "23" << 10 << 10 << "1" << 1 << "sound_on";
    QTest::newRow("channel not a number")
        << QByteArray(" 23\r\nzz\r\n 1\r\n10\r\n10\r\nx\r\nsound_on\r\n") << "00" << 23 << "23"
        << 10 << 10 << "1" << 1 << "sound_on";
    QTest::newRow("line feeds only, blanks around")
        << QByteArray("  80 \n 07\n 2 \n 300 \n 400 \n 3 \n sound_on \n") << "06" << 80 << "80"
        << 300 << 400 << "3" << 2 << "sound_on";
    QTest::newRow("three lines") << QByteArray(" 40\r\n09\r\n 4\r\n") << "08" << 40 << "40" << 1
                                 << 1 << "1" << 4 << "";
    QTest::newRow("volume out of range")
        << QByteArray(" 250\r\n05\r\n 1\r\n10\r\n10\r\n1\r\nsound_off\r\n") << "04" << 23 << "250"
        << 10 << 10 << "1" << 1 << "sound_off";
}

void StartupTest::loadOptions() {
    QFETCH(QByteArray, content);
    if (!content.isNull())
        writeOptions(content);
    auto radio = makeRadio();
    radio->Slider1->setRange(0, 100);
    radio->Slider1->setValue(23);
    radio->comPort = "1";
    radio->LoadOptions();

    QTEST(radio->Label4->caption(), "display");
    QTEST(radio->Slider1->value(), "volume");
    QTEST(int(radio->ProgressBar3->value()), "volume");
    QTEST(radio->Label34->caption(), "volumeText");
    QTEST(radio->windowTopTwips(), "topTwips");
    QTEST(radio->windowLeftTwips(), "leftTwips");
    QTEST(radio->comPort, "comPort");
    QTEST(int(radio->panelStyle), "style");
    QTEST(radio->soundOption, "sound");
}

void StartupTest::saveOptionsWritesSevenLines_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("switchedOn");
    QTest::addColumn<QByteArray>("saved");

    // Switched on, the display shows the channel the radio is on.
    QTest::newRow("switched on")
        << QByteArray(" 57\r\n12\r\n 3\r\n2000\r\n1500\r\n2\r\nsound_on\r\n") << true
        << QByteArray(" 57\r\n11\r\n 3\r\n2000\r\n1500\r\n2\r\nsound_on\r\n");
    // Never switched on, the display still shows one below the stored
    // channel; the stored channel is kept instead of creeping down.
    QTest::newRow("never switched on")
        << QByteArray(" 57\r\n12\r\n 3\r\n2000\r\n1500\r\n2\r\nsound_off\r\n") << false
        << QByteArray(" 57\r\n12\r\n 3\r\n2000\r\n1500\r\n2\r\nsound_off\r\n");
    QTest::newRow("no file before")
        << QByteArray() << false << QByteArray(" 23\r\n01\r\n 0\r\n1\r\n1\r\n1\r\nsound_off\r\n");
    QTest::newRow("serial device path")
        << QByteArray(" 57\r\n12\r\n 3\r\n2000\r\n1500\r\n/dev/serial/by-id/pedal\r\nsound_on\r\n")
        << true
        << QByteArray(" 57\r\n11\r\n 3\r\n2000\r\n1500\r\n/dev/serial/by-id/pedal\r\nsound_on\r\n");
    QTest::newRow("negative style")
        << QByteArray(" 0\r\n40\r\n-2\r\n0\r\n0\r\n1\r\nsound_on\r\n") << true
        << QByteArray(" 0\r\n39\r\n-2\r\n0\r\n0\r\n1\r\nsound_on\r\n");
}

void StartupTest::saveOptionsWritesSevenLines() {
    QFETCH(QByteArray, stored);
    QFETCH(bool, switchedOn);
    if (!stored.isNull())
        writeOptions(stored);
    auto radio = makeRadio();
    radio->Slider1->setRange(0, 100);
    radio->Slider1->setValue(23);
    radio->comPort = "1";
    radio->LoadOptions();
    radio->powerState = switchedOn ? 1 : 0;
    radio->SaveOptions();
    QTEST(readOptions(), "saved");
}

void StartupTest::saveOptionsReplacesTheFileWhole() {
    const QByteArray old(" 10\r\n05\r\n 2\r\n100\r\n100\r\n1\r\nsound_on\r\n");
    writeOptions(old);
    QFile before(m_folder->filePath("optionen.txt"));
    QVERIFY(before.open(QIODevice::ReadOnly));

    auto radio = makeRadio();
    radio->LoadOptions();
    radio->Slider1->setValue(99);
    radio->SaveOptions();

    // The new options arrived under the name in one piece, and the old file
    // was never cut short while it was being written: whoever had it open
    // still reads it whole.
    QVERIFY(readOptions().startsWith(" 99\r\n"));
    QCOMPARE(before.readAll(), old);
    QCOMPARE(QDir(m_folder->path()).entryList(QDir::Files), QStringList{"optionen.txt"});
}

void StartupTest::saveOptionsIntoAnUnwritablePlaceIsSilent() {
    QVERIFY(QDir(m_folder->path()).mkdir("optionen.txt"));
    auto radio = makeRadio();
    radio->SaveOptions();
    QVERIFY(QFileInfo(m_folder->filePath("optionen.txt")).isDir());
    QCOMPARE(QDir(m_folder->path()).entryList(QDir::Files), QStringList{});
}

void StartupTest::panelStyle_data() {
    QTest::addColumn<int>("style");
    QTest::addColumn<int>("visibleIndex"); // -1: the style changes nothing
    for (int style = 0; style <= 7; ++style)
        QTest::addRow("style %d", style) << style << (style >= 1 && style <= 6 ? style - 1 : -1);
}

void StartupTest::panelStyle() {
    QFETCH(int, style);
    QFETCH(int, visibleIndex);
    auto radio = makeRadio();
    for (vb::Image *picture : radio->Image1)
        picture->setVisible(true);
    for (vb::Label *label :
         {radio->Label4, radio->Label25, radio->Label26, radio->lblReceivedBytes}) {
        label->setBackColor(0x123456);
        label->setForeColor(0x654321);
    }
    radio->displayColour = "&H80C0FF";
    radio->panelStyle = qint16(style);
    radio->ApplyPanelStyle();

    for (int index = 0; index < 6; ++index)
        QCOMPARE(radio->Image1[index]->visible(), visibleIndex < 0 || index == visibleIndex);
    const quint32 back = visibleIndex < 0 ? 0x123456 : 0x80C0FF;
    for (vb::Label *label :
         {radio->Label4, radio->Label25, radio->Label26, radio->lblReceivedBytes})
        QCOMPARE(label->backColor(), back);
    const quint32 text = visibleIndex < 0 ? 0x654321 : 0;
    QCOMPARE(radio->Label4->foreColor(), text);
    QCOMPARE(radio->Label25->foreColor(), text);
    QCOMPARE(radio->Label26->foreColor(), style == 3 ? 0u : 0x654321u);
}

// The panel pictures are drawn once and kept: a new picture or a new size
// must still show at once, over the whole control.
void StartupTest::pictureFollowsItsResourceAndSize() {
    QTemporaryDir dir;
    const auto svg = [&](const char *name, const char *colour) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 10 10'>"
                              "<rect width='10' height='10' fill='") +
                   colour + "'/></svg>");
    };
    svg("red.svg", "#ff0000");
    svg("blue.svg", "#0000ff");
    QWidget window;
    vb::Image picture(&window, QStringLiteral("Image9"));
    picture.setWidthTwips(600);
    picture.setHeightTwips(300);
    QVERIFY(picture.setPicture(dir.filePath("red.svg")));
    QCOMPARE(picture.grab().toImage().pixelColor(5, 5), QColor(Qt::red));

    QVERIFY(picture.setPicture(dir.filePath("blue.svg")));
    QCOMPARE(picture.grab().toImage().pixelColor(5, 5), QColor(Qt::blue));

    picture.setWidthTwips(1200);
    picture.setHeightTwips(600);
    const QImage grown = picture.grab().toImage();
    QCOMPARE(grown.size(), picture.size());
    QCOMPARE(grown.pixelColor(grown.width() - 2, grown.height() - 2), QColor(Qt::blue));

    QVERIFY(!picture.setPicture(dir.filePath("missing.svg")));
    QVERIFY(!picture.hasPicture());
}

void StartupTest::buildColours() {
    quint32 colour = 0;
    QCOMPARE(goldSkin().buildColour, QString("&H80C0FF"));
    QVERIFY(vb::colourFromText(goldSkin().buildColour, &colour));
    QCOMPARE(colour, 0x80C0FFu);
    QCOMPARE(greySkin().buildColour, QString("8454016"));
    QVERIFY(vb::colourFromText(greySkin().buildColour, &colour));
    QCOMPARE(colour, 0x80FF80u);

    auto grey = makeRadio(greySkin());
    grey->displayColour = grey->skin().buildColour;
    grey->panelStyle = 2;
    grey->ApplyPanelStyle();
    QCOMPARE(grey->Label4->backColor(), 0x80FF80u);
}

void StartupTest::startupWithSoundOff() {
    writeOptions(" 30\r\n04\r\n 2\r\n600\r\n900\r\n1\r\nsound_off\r\n");
    auto radio = makeRadio();
    radio->Form_Load();

    QCOMPARE(m_endCalls, 0);
    QCOMPARE(radio->Label4->caption(), QString("03"));
    QCOMPARE(radio->powerState, qint16(0));
    QCOMPARE(radio->Label16->caption(), QString("GETRENNT"));
    QCOMPARE(radio->Label25->caption(), QString("27.005 MHz"));
    QCOMPARE(radio->displayColour, QString("0"));
    QCOMPARE(radio->Label4->backColor(), 0u); // dark on black
    QVERIFY(radio->Image1[1]->visible());
    QCOMPARE(radio->Slider1->value(), 30);
    QCOMPARE(radio->windowTopTwips(), 600);
    QCOMPARE(radio->windowLeftTwips(), 900);
    QCOMPARE(radio->rxSweep, qint16(120));
    QCOMPARE(radio->startupDockPending, qint16(-1));
    QCOMPARE(radio->voiceFormat.wFormatTag, quint16(49));
    QCOMPARE(radio->voiceFormat.nBlockAlign, quint16(65));
    QCOMPARE(program::controlWindow().kanalzeig, QString("03"));
}

void StartupTest::deploymentPortsReachTheChannelPorts() {
    QFile ini(m_folder->filePath("marlox.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[servers]\nfirst=alpha.test\nsecond=beta.test\nport_offset=1000\n");
    ini.close();
    auto radio = makeRadio();
    radio->Form_Load();
    for (int n = 1; n <= 40; ++n)
        QCOMPARE(radio->channelPorts[n - 1], 1324 + n);
    QCOMPARE(radio->serverPort, 1325);
    QCOMPARE(radio->serverHost, QString("alpha.test"));
}

void StartupTest::signOffEndsAfterTwoTicks() {
    auto radio = makeRadio();
    radio->Form_Load();
    radio->Label11_Click();

    QCOMPARE(radio->Label11->caption(), QString("Bye Bye"));
    QCOMPARE(radio->Label11->backColor(), 0xFFu);
    QCOMPARE(radio->Label16->caption(), QString("WIRD GETRENNT"));
    QCOMPARE(radio->Timer2->interval(), 1000);
    QCOMPARE(radio->Timer6->interval(), 0);
    QVERIFY(!readOptions().isEmpty());

    radio->Timer2_Timer();
    QCOMPARE(m_endCalls, 0);
    radio->Timer2_Timer();
    QCOMPARE(m_endCalls, 1);
    QCOMPARE(radio->Timer2->interval(), 0);
}

void StartupTest::closingWithTheLinkDownClosesAtOnce() {
    auto radio = makeRadio();
    radio->Form_Load();
    QCloseEvent close;
    QApplication::sendEvent(radio.get(), &close);
    QVERIFY(close.isAccepted());
    QCOMPARE(radio->Timer2->interval(), 0);
}

void StartupTest::closingWithTheLinkUpSignsOff() {
    auto radio = makeRadio();
    radio->Form_Load();
    radio->voiceConnected = -1;
    QCloseEvent close;
    QApplication::sendEvent(radio.get(), &close);
    QVERIFY(!close.isAccepted());
    QCOMPARE(radio->Timer2->interval(), 1000);
    QCOMPARE(radio->Label11->caption(), QString("Bye Bye"));
}

void StartupTest::secondCopyActivatesTheFirstAndEnds() {
    auto radio = makeRadio();
    radio->Form_Load();
    QCOMPARE(m_endCalls, 0);
    QVERIFY(!radio->isVisible());

    QProcess second;
    second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    second.setProcessEnvironment(env);
    second.start(MARLOX_EXECUTABLE, {"--folder", m_folder->path()});
    QVERIFY(second.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 20000);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    // The first copy was asked to come to the front.
    QTRY_VERIFY(radio->isVisible());

    // A copy in another folder is an installation of its own and runs.
    QTemporaryDir otherFolder;
    vb::SingleInstanceGuard other(otherFolder.path());
    QVERIFY(!other.anotherCopyRunning());
}

// Neither may hang the start: the radio comes up with the defaults.
void StartupTest::hostileOptionsFile_data() {
    QTest::addColumn<QString>("file");
    QTest::newRow("options file") << "optionen.txt";
    QTest::newRow("deployment settings") << "marlox.ini";
}

void StartupTest::hostileOptionsFile() {
    QFETCH(QString, file);
    QCOMPARE(::mkfifo(QFile::encodeName(m_folder->filePath(file)).constData(), 0600), 0);
    QElapsedTimer clock;
    clock.start();
    auto radio = makeRadio();
    radio->Form_Load();
    QVERIFY(clock.elapsed() < 5000);
    QCOMPARE(m_endCalls, 0);
    QCOMPARE(radio->Label4->caption(), QString("00"));
    QCOMPARE(radio->serverHost, QString("localhost"));
    radio->SaveOptions();
    if (file == u"optionen.txt")
        QVERIFY(readOptions().endsWith("sound_off\r\n"));
}

void StartupTest::windowOffEveryScreen_data() {
    QTest::addColumn<int>("topTwips");
    QTest::addColumn<int>("leftTwips");
    QTest::addColumn<bool>("kept");
    QTest::newRow("on the screen") << 600 << 900 << true;
    QTest::newRow("far below") << 32767 << 900 << false;
    QTest::newRow("far right") << 600 << 32767 << false;
    QTest::newRow("both") << 32767 << 32767 << false;
    // The second screen lies right of the first, beyond 16-bit twips.
    QTest::newRow("second screen") << 600 << 40000 << true;
    QTest::newRow("second screen, far right") << 600 << 2000000000 << false;
}

void StartupTest::windowOffEveryScreen() {
    QFETCH(int, topTwips);
    QFETCH(int, leftTwips);
    QFETCH(bool, kept);
    writeOptions(QByteArray(" 30\r\n04\r\n 2\r\n") + QByteArray::number(topTwips) + "\r\n" +
                 QByteArray::number(leftTwips) + "\r\n1\r\nsound_off\r\n");
    auto radio = makeRadio();
    radio->Form_Load();
    radio->show();
    QVERIFY(QTest::qWaitForWindowExposed(radio.get()));
    const auto onAScreen = [](const QRect &window) {
        for (QScreen *screen : QGuiApplication::screens()) {
            if (screen->availableGeometry().intersects(window))
                return true;
        }
        return false;
    };
    QVERIFY(onAScreen(radio->frameGeometry()));
    if (kept) {
        QCOMPARE(radio->windowTopTwips(), topTwips);
        QCOMPARE(radio->windowLeftTwips(), leftTwips);
    }
    // What is saved is where the window shows.
    radio->SaveOptions();
    const QList<QByteArray> saved = readOptions().split('\n');
    QCOMPARE(saved.at(3).trimmed().toInt(), radio->windowTopTwips());
    QCOMPARE(saved.at(4).trimmed().toInt(), radio->windowLeftTwips());
    const int top = vb::pixelsFromTwips(radio->windowTopTwips());
    const int left = vb::pixelsFromTwips(radio->windowLeftTwips());
    QVERIFY(onAScreen(QRect(left, top, radio->width(), radio->height())));
}

// Installed where the user may not write: the options and the deployment
// settings live in the user's data folder, the sounds still come from the
// program folder.
void StartupTest::readOnlyProgramFolder() {
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    QVERIFY(QFile(m_folder->filePath("test.wav")).open(QIODevice::WriteOnly));
    QFile::setPermissions(m_folder->path(), QFile::ReadOwner | QFile::ExeOwner);
    // Root writes anywhere permissions say no; /proc takes no new files from anyone.
    const bool permissionsHold = !QFile(m_folder->filePath("probe")).open(QIODevice::WriteOnly);
    const QString program = permissionsHold ? m_folder->path() : QStringLiteral("/proc");
    vb::setProgramFolder(program);

    const QString userFolder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QCOMPARE(vb::settingsFolder(), userFolder);
    QVERIFY(userFolder.startsWith(data.path()));
    QVERIFY(QDir().mkpath(userFolder));
    QFile ini(userFolder + "/marlox.ini");
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[servers]\nfirst=alpha.test\n");
    ini.close();
    QFile options(userFolder + "/optionen.txt");
    QVERIFY(options.open(QIODevice::WriteOnly));
    options.write(" 30\r\n07\r\n 2\r\n600\r\n900\r\n1\r\nsound_off\r\n");
    options.close();

    auto radio = makeRadio();
    radio->Form_Load();
    QCOMPARE(radio->Label4->caption(), QString("06"));
    QCOMPARE(radio->serverHost, QString("alpha.test"));
    radio->Slider1->setValue(77);
    radio->SaveOptions();
    QVERIFY(options.open(QIODevice::ReadOnly));
    QVERIFY(options.readAll().startsWith(" 77\r\n07\r\n"));
    if (permissionsHold)
        QCOMPARE(vb::programFile("test.wav"), m_folder->filePath("test.wav"));

    radio.reset();
    QFile::setPermissions(m_folder->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    vb::setProgramFolder(m_folder->path());
    QCOMPARE(vb::settingsFolder(), m_folder->path());
    qunsetenv("XDG_DATA_HOME");
}

// A device path in line 6 reaches the serial port, and a pseudo-terminal is
// a device the port really opens.
void StartupTest::serialDeviceFromTheOptionsIsOpened() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QByteArray path = ::ptsname(master);
    writeOptions(" 30\r\n04\r\n 2\r\n600\r\n900\r\n" + path + "\r\nsound_off\r\n");
    {
        auto radio = makeRadio();
        radio->Form_Load();
        QCOMPARE(radio->comPort, QString::fromLocal8Bit(path));
        QVERIFY(radio->MSComm1->portOpen());
        QCOMPARE(radio->MSComm1->commPort(), QString::fromLocal8Bit(path));
        radio->SaveOptions();
        QVERIFY(readOptions().contains("\r\n" + path + "\r\n"));
    }
    ::close(master);
}

// Installed, the sounds lie in share/marlox beside the program's bin folder;
// a sound in the program folder itself still comes first.
void StartupTest::soundsFromTheInstallFolder() {
    const QString installed =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + "/" + MARLOX_DATA_FROM_BIN);
    const bool existed = QFileInfo::exists(installed);
    QVERIFY(QDir().mkpath(installed + "/wave-zahlen"));
    QVERIFY(QFile(installed + "/wave-zahlen/7.wav").open(QIODevice::WriteOnly));

    QCOMPARE(vb::programFile("wave-zahlen/7.wav"), installed + "/wave-zahlen/7.wav");
    QCOMPARE(vb::programFile("wave-zahlen/8.wav"), m_folder->filePath("wave-zahlen/8.wav"));
    QVERIFY(QDir(m_folder->path()).mkdir("wave-zahlen"));
    QVERIFY(QFile(m_folder->filePath("wave-zahlen/7.wav")).open(QIODevice::WriteOnly));
    QCOMPARE(vb::programFile("wave-zahlen/7.wav"), m_folder->filePath("wave-zahlen/7.wav"));

    QFile::remove(installed + "/wave-zahlen/7.wav");
    if (!existed)
        QDir(installed).removeRecursively();

    // Run from a build with "--folder": the sounds lie beside the executable.
    const QString executableFolder = QCoreApplication::applicationDirPath();
    QVERIFY(QFile(executableFolder + "/marlox-probe.wav").open(QIODevice::WriteOnly));
    QCOMPARE(vb::programFile("marlox-probe.wav"), executableFolder + "/marlox-probe.wav");
    QVERIFY(QFile(m_folder->filePath("marlox-probe.wav")).open(QIODevice::WriteOnly));
    QCOMPARE(vb::programFile("marlox-probe.wav"), m_folder->filePath("marlox-probe.wav"));
    QFile::remove(executableFolder + "/marlox-probe.wav");

    // The link control's library likewise, in lib/marlox.
    const QString beside = QCoreApplication::applicationDirPath();
    const QString libraries = QDir::cleanPath(beside + "/" + MARLOX_LIBRARIES_FROM_BIN);
    QCOMPARE(vb::programLibrary("MarloxProbe"), beside + "/MarloxProbe");
    const bool librariesExisted = QFileInfo::exists(libraries);
    QVERIFY(QDir().mkpath(libraries));
    QVERIFY(QFile(libraries + "/libMarloxProbe.so").open(QIODevice::WriteOnly));
    QCOMPARE(vb::programLibrary("MarloxProbe"), libraries + "/MarloxProbe");
    QFile::remove(libraries + "/libMarloxProbe.so");
    if (!librariesExisted)
        QDir(libraries).removeRecursively();
}

int main(int argc, char *argv[]) {
    // Keep the user's own settings out of the tests.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    // Two screens side by side, as on a desk with a second monitor.
    const QString screens = config.filePath("screens.json");
    QFile screensFile(screens);
    if (!screensFile.open(QIODevice::WriteOnly))
        return 1;
    screensFile.write(R"({"screens": [
        {"name": "first", "x": 0, "y": 0, "width": 800, "height": 600, "logicalDpi": 96},
        {"name": "second", "x": 800, "y": 0, "width": 2560, "height": 1440, "logicalDpi": 96}]})");
    screensFile.close();
    if (qgetenv("QT_QPA_PLATFORM").startsWith("offscreen"))
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + screens.toUtf8());
    QApplication app(argc, argv);
    StartupTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
