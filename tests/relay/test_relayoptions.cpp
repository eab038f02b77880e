// The relay's command line, read without starting a relay: each bad value is
// refused with the words the operator sees, and good ones arrive where the
// relay takes them from.
#include "relayoptions.h"

#include <QTest>

namespace {

std::variant<RelaySettings, QString> readOptions(const QStringList &arguments) {
    QCommandLineParser parser;
    addRelayOptions(parser);
    if (!parser.parse(QStringList{QStringLiteral("marlox-relay")} + arguments))
        return QStringLiteral("parser: ") + parser.errorText();
    return readRelayOptions(parser);
}

} // namespace

class TestRelayOptions : public QObject {
    Q_OBJECT
private slots:
    void badValueIsRefused_data();
    void badValueIsRefused();
    void goodValuesArrive();
    void defaultsHold();
};

void TestRelayOptions::badValueIsRefused_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    const auto row = [](const char *name, const QStringList &arguments, const char *error) {
        QTest::newRow(name) << arguments << QString::fromUtf8(error);
    };
    row("listen name", {"--listen", "relay.example"}, "not an address: relay.example");
    row("offset text", {"--port-offset", "ten"},
        "port offset must keep every port within 1 to 65535: ten");
    row("offset past the top", {"--port-offset", "55496"},
        "port offset must keep every port within 1 to 65535: 55496");
    row("offset below port 1", {"--port-offset", "-324"},
        "port offset must keep every port within 1 to 65535: -324");
    row("pending 0", {"--max-pending-kb", "0"}, "--max-pending-kb must be 1 to 1048576");
    row("pending past 1 GB", {"--max-pending-kb", "1048577"},
        "--max-pending-kb must be 1 to 1048576");
    row("stations 0", {"--max-stations", "0"}, "--max-stations must be 1 or more");
    row("stations beyond int", {"--max-stations", "4294967296"},
        "--max-stations must be 1 or more");
    row("per address negative", {"--per-address", "-1"}, "--per-address must be 0 or more");
    row("per address total text", {"--per-address-total", "many"},
        "--per-address-total must be 0 or more");
    row("threads 0", {"--threads", "0"}, "--threads must be 1 to 64");
    row("threads 65", {"--threads", "65"}, "--threads must be 1 to 64");
    row("echo channel 41", {"--echo-channel", "41"}, "--echo-channel must be 1 to 40: 41");
    row("second echo channel 0", {"--echo-channel", "9", "--echo-channel", "0"},
        "--echo-channel must be 1 to 40: 0");
    row("operator name", {"--operator", "127.0.0.1", "--operator", "desk"},
        "not an operator address: desk");
    row("console empty", {"--console="}, "--console needs a path");
    row("ban minutes 0", {"--ban-minutes", "0"}, "--ban-minutes must be 1 to 5256000");
    row("ban minutes past ten years", {"--ban-minutes", "5256001"},
        "--ban-minutes must be 1 to 5256000");
    // Several wrong: the first in the order above is named.
    row("first of several", {"--threads", "0", "--max-stations", "0"},
        "--max-stations must be 1 or more");
}

void TestRelayOptions::badValueIsRefused() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const auto read = readOptions(arguments);
    QVERIFY(std::holds_alternative<QString>(read));
    QCOMPARE(std::get<QString>(read), error);
}

void TestRelayOptions::goodValuesArrive() {
    const auto read = readOptions({"--listen",
                                   "any",
                                   "--port-offset",
                                   "10000",
                                   "--max-pending-kb",
                                   "1048576",
                                   "--max-stations",
                                   "1",
                                   "--per-address",
                                   "0",
                                   "--per-address-total",
                                   "0",
                                   "--threads",
                                   "64",
                                   "--echo-channel",
                                   "40",
                                   "--echo-channel",
                                   "1",
                                   "--operator",
                                   "::ffff:10.0.0.1",
                                   "--operator",
                                   "2001:db8::7",
                                   "--console",
                                   "/run/relay.console",
                                   "--ban-file",
                                   "/var/lib/bans",
                                   "--ban-minutes",
                                   "5256000",
                                   "--log-quiet"});
    QVERIFY(std::holds_alternative<RelaySettings>(read));
    const RelaySettings &settings = std::get<RelaySettings>(read);
    const Relay::Options &options = settings.relay;
    QCOMPARE(options.listenAddress, QHostAddress(QHostAddress::Any));
    QCOMPARE(options.portOffset, 10000);
    QCOMPARE(options.maxPendingBytes, qint64(1024) * 1024 * 1024);
    QCOMPARE(options.maxStationsPerPort, 1);
    QCOMPARE(settings.perAddress, 0);
    QCOMPARE(settings.perAddressTotal, 0);
    QCOMPARE(settings.threads, 64);
    QCOMPARE(settings.echoChannels, (std::vector<int>{40, 1}));
    QCOMPARE(options.operators,
             (QList<QHostAddress>{QHostAddress(QStringLiteral("::ffff:10.0.0.1")),
                                  QHostAddress(QStringLiteral("2001:db8::7"))}));
    QCOMPARE(options.consolePath, QStringLiteral("/run/relay.console"));
    QVERIFY(!settings.defaultConsole);
    QCOMPARE(options.banFile, QStringLiteral("/var/lib/bans"));
    QCOMPARE(options.banMinutes, 5256000);
    QVERIFY(options.quiet);
}

void TestRelayOptions::defaultsHold() {
    qputenv("XDG_RUNTIME_DIR", "/run/user/4711");
    const auto read = readOptions({"--port-offset", "-323"});
    QVERIFY(std::holds_alternative<RelaySettings>(read));
    const RelaySettings &settings = std::get<RelaySettings>(read);
    const Relay::Options &options = settings.relay;
    QCOMPARE(options.listenAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(options.portOffset, -323);
    QCOMPARE(options.maxPendingBytes, qint64(8 * 1024));
    QCOMPARE(options.maxStationsPerPort, 1000);
    QCOMPARE(settings.perAddress, 4);
    QCOMPARE(settings.perAddressTotal, 16);
    QVERIFY(settings.threads >= 1 && settings.threads <= 64);
    QVERIFY(settings.echoChannels.empty());
    QVERIFY(options.operators.isEmpty());
    // The console of the control port as shifted, in the user's runtime folder.
    QCOMPARE(options.consolePath, QStringLiteral("/run/user/4711/marlox-relay-1.console"));
    QVERIFY(settings.defaultConsole);
    QVERIFY(options.banFile.isEmpty());
    QCOMPARE(options.banMinutes, 60);
    QVERIFY(!options.quiet);
}

QTEST_GUILESS_MAIN(TestRelayOptions)
#include "test_relayoptions.moc"
