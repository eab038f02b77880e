#include "relayprocess.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>

using testsupport::readLog;
using testsupport::startRelay;

namespace {

constexpr int blockBytes = 65;
constexpr int controlBase = 324;
constexpr int operatorBase = 999;
constexpr int chatBase = 10040;

// Block `index` of station `sender`: recognisable, so a torn or misaligned block shows.
QByteArray makeBlock(int sender, int index) {
    QByteArray block(blockBytes, char((sender * 31 + index) & 0xff));
    block[0] = char(sender);
    block[1] = char(index >> 8);
    block[2] = char(index & 0xff);
    return block;
}

// Splits received bytes into blocks; false if one is not a block of makeBlock or
// a sender's blocks are out of order. Missing blocks are allowed when `gapsAllowed`.
bool checkBlocks(const QByteArray &bytes, std::map<int, QList<int>> *indicesBySender,
                 bool gapsAllowed = false) {
    if (bytes.size() % blockBytes != 0)
        return false;
    std::map<int, int> next;
    for (qsizetype at = 0; at < bytes.size(); at += blockBytes) {
        const QByteArray block = bytes.mid(at, blockBytes);
        const int sender = quint8(block[0]);
        const int index = quint8(block[1]) << 8 | quint8(block[2]);
        if (block != makeBlock(sender, index))
            return false;
        const int expected = next.count(sender) ? next[sender] : 0;
        if (gapsAllowed ? index < expected : index != expected)
            return false;
        next[sender] = index + 1;
        if (indicesBySender)
            (*indicesBySender)[sender].append(index);
    }
    return true;
}

using Station = std::unique_ptr<QTcpSocket>;
using testsupport::readExactly;
using testsupport::staysSilent;

} // namespace

class TestRelay : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void relaysBlocksBetweenStations_data();
    void relaysBlocksBetweenStations();
    void joinsPartialBlocks();
    void dropsHalfBlockOfVanishedStation();
    void controlReachesEveryStation();
    void chatReachesOthersOnly();
    void survivesFloodAndSlowReader();
    void survivesGarbage();
    void survivesStationsThatVanish();
    void turnsAwayStationsBeyondTheLimit();
    void acceptsCommandsOnlyFromOperators();
    void rejectsBadArguments_data();
    void rejectsBadArguments();

private:
    quint16 port(int base) const { return quint16(base + m_offset); }
    Station station(int base);
    // Waits until the relay's log says `count` stations are on the port.
    bool waitForStations(int base, int count);
    qint64 relayRssKb() const;
    void verifyStillRelays();
    void verifyMemoryBounded(qint64 rssKb) const;

    QTemporaryDir m_dir;
    QProcess m_relay;
    QString m_logPath;
    int m_offset = 0;
    qint64 m_baselineRssKb = 0;
};

void TestRelay::initTestCase() {
    QVERIFY(m_dir.isValid());
    m_logPath = m_dir.filePath(QStringLiteral("relay.log"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Under the address sanitizer freed memory is held back; keep that small so
    // the memory figures below measure the relay.
    const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       asan + (asan.isEmpty() ? "" : ":") + "quarantine_size_mb=8");
    m_relay.setProcessEnvironment(environment);
    m_offset = startRelay(m_relay, m_logPath);
    QVERIFY(m_offset >= 0);
    QCOMPARE(m_relay.state(), QProcess::Running);
    m_baselineRssKb = relayRssKb();
    QVERIFY(m_baselineRssKb > 0);
}

void TestRelay::cleanupTestCase() {
    // SIGTERM ends the relay cleanly.
    m_relay.terminate();
    QVERIFY(m_relay.waitForFinished(10000));
    QCOMPARE(m_relay.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_relay.exitCode(), 0);
}

Station TestRelay::station(int base) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port(base));
    if (!socket->waitForConnected(5000))
        qWarning("station on port %d did not connect: %s", port(base),
                 qPrintable(socket->errorString()));
    return socket;
}

bool TestRelay::waitForStations(int base, int count) {
    const QRegularExpression line(
        QStringLiteral("on port %1 \\([^)]*\\), (\\d+) connected").arg(port(base)));
    return QTest::qWaitFor(
        [&] {
            QFile log(m_logPath);
            if (!log.open(QIODevice::ReadOnly))
                return false;
            const QString text = QString::fromUtf8(log.readAll());
            auto matches = line.globalMatch(text);
            int current = 0;
            while (matches.hasNext())
                current = matches.next().captured(1).toInt();
            return current == count;
        },
        5000);
}

qint64 TestRelay::relayRssKb() const {
    QFile status(QStringLiteral("/proc/%1/status").arg(m_relay.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression rss(QStringLiteral("VmRSS:\\s+(\\d+) kB"));
    return rss.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
}

void TestRelay::verifyMemoryBounded(qint64 rssKb) const {
    QVERIFY2(rssKb < m_baselineRssKb + 64 * 1024,
             qPrintable(
                 QStringLiteral("relay grew from %1 kB to %2 kB").arg(m_baselineRssKb).arg(rssKb)));
}

void TestRelay::verifyStillRelays() {
    QCOMPARE(m_relay.state(), QProcess::Running);
    Station a = station(controlBase + 12);
    Station b = station(controlBase + 12);
    QVERIFY(waitForStations(controlBase + 12, 2));
    a->write(makeBlock(1, 0));
    a->flush();
    QCOMPARE(readExactly(*b, blockBytes), makeBlock(1, 0));
}

void TestRelay::relaysBlocksBetweenStations_data() {
    QTest::addColumn<int>("base");
    QTest::addColumn<int>("neighbourBase");
    QTest::newRow("channel 1") << controlBase + 1 << controlBase + 2;
    QTest::newRow("channel 7") << controlBase + 7 << controlBase + 8;
    QTest::newRow("channel 40") << controlBase + 40 << controlBase + 39;
    QTest::newRow("operator channel") << operatorBase << controlBase + 40;
}

void TestRelay::relaysBlocksBetweenStations() {
    QFETCH(int, base);
    QFETCH(int, neighbourBase);
    Station a = station(base);
    Station b = station(base);
    Station listener = station(base);
    Station neighbour = station(neighbourBase);
    QVERIFY(waitForStations(base, 3));
    QVERIFY(waitForStations(neighbourBase, 1));

    // As on the air, the station heard first holds the channel: the other's blocks
    // meanwhile reach nobody.
    const int blocks = 25;
    for (int index = 0; index < blocks; ++index) {
        a->write(makeBlock(1, index));
        a->flush();
        b->write(makeBlock(2, index));
        b->flush();
    }
    std::map<int, QList<int>> heard;
    QVERIFY(checkBlocks(readExactly(*listener, blocks * blockBytes), &heard));
    QCOMPARE(heard.size(), size_t(1));
    QCOMPARE(heard[1].size(), blocks);
    std::map<int, QList<int>> heardByB;
    QVERIFY(checkBlocks(readExactly(*b, blocks * blockBytes), &heardByB));
    QCOMPARE(heardByB.size(), size_t(1));
    QCOMPARE(heardByB[1].size(), blocks);
    QVERIFY(staysSilent(*a));

    // Once the first station has been quiet for half a second, the other may speak;
    // no talker ever hears itself.
    QTest::qWait(600);
    for (int index = 0; index < blocks; ++index) {
        b->write(makeBlock(2, index));
        b->flush();
    }
    std::map<int, QList<int>> heardByA;
    QVERIFY(checkBlocks(readExactly(*a, blocks * blockBytes), &heardByA));
    QCOMPARE(heardByA.size(), size_t(1));
    QCOMPARE(heardByA[2].size(), blocks);
    heard.clear();
    QVERIFY(checkBlocks(readExactly(*listener, blocks * blockBytes), &heard));
    QCOMPARE(heard[2].size(), blocks);
    QVERIFY(staysSilent(*b));
    QVERIFY(staysSilent(*listener, 0));
    QVERIFY(staysSilent(*neighbour, 0));
}

void TestRelay::joinsPartialBlocks() {
    const int base = controlBase + 7;
    Station a = station(base);
    Station b = station(base);
    QVERIFY(waitForStations(base, 2));
    const QByteArray bytes = makeBlock(3, 0) + makeBlock(3, 1);
    a->write(bytes.left(100));
    a->flush();
    QCOMPARE(readExactly(*b, blockBytes), makeBlock(3, 0));
    // The half block waits for its rest.
    QVERIFY(staysSilent(*b, 150));
    a->write(bytes.mid(100));
    a->flush();
    QCOMPARE(readExactly(*b, blockBytes), makeBlock(3, 1));
    QVERIFY(staysSilent(*b, 100));
}

void TestRelay::dropsHalfBlockOfVanishedStation() {
    const int base = controlBase + 21;
    Station a = station(base);
    Station b = station(base);
    QVERIFY(waitForStations(base, 2));
    a->write(makeBlock(4, 0) + makeBlock(4, 1).left(30));
    QVERIFY(a->waitForBytesWritten(1000));
    a->abort();
    QCOMPARE(readExactly(*b, blockBytes), makeBlock(4, 0));
    QVERIFY(waitForStations(base, 1));

    // A newcomer's blocks arrive aligned: nothing of the torn block is left.
    Station c = station(base);
    QVERIFY(waitForStations(base, 2));
    c->write(makeBlock(5, 0));
    c->flush();
    QCOMPARE(readExactly(*b, blockBytes), makeBlock(5, 0));
    QVERIFY(staysSilent(*b, 100));
}

void TestRelay::controlReachesEveryStation() {
    Station a = station(controlBase);
    Station b = station(controlBase);
    Station c = station(controlBase);
    QVERIFY(waitForStations(controlBase, 3));
    const QByteArray report("QRST7(04)");
    a->write(report);
    a->flush();
    QCOMPARE(readExactly(*b, report.size()), report);
    QCOMPARE(readExactly(*c, report.size()), report);
    // The sender hears its own report too, as its activity panel expects.
    QCOMPARE(readExactly(*a, report.size()), report);

    // Command words are for operators: a station that sends one reaches nobody.
    const QByteArray command("QRST7Na-0");
    b->write(command);
    b->flush();
    QVERIFY(staysSilent(*a));
    QVERIFY(staysSilent(*b, 0));
    QVERIFY(staysSilent(*c, 0));
}

void TestRelay::chatReachesOthersOnly() {
    Station a = station(chatBase);
    Station b = station(chatBase);
    Station c = station(chatBase);
    QVERIFY(waitForStations(chatBase, 3));
    const QByteArray line = "0" + QByteArray("Sepp").leftJustified(50, ' ') +
                            "Gr\xfc\xdf Gott \x80\xa0"
                            "07";
    a->write(line);
    a->flush();
    QCOMPARE(readExactly(*b, line.size()), line);
    QCOMPARE(readExactly(*c, line.size()), line);
    QVERIFY(staysSilent(*a));
    QVERIFY(staysSilent(*b, 0));
}

void TestRelay::survivesFloodAndSlowReader() {
    const int base = controlBase + 9;
    Station flooder = station(base);
    Station slow = station(base);
    Station reader = station(base);
    QVERIFY(waitForStations(base, 3));

    // The slow station takes almost nothing; the relay must not hold the flood for it.
    slow->setReadBufferSize(4096);
    QByteArray heardByReader;
    connect(reader.get(), &QIODevice::readyRead, this, [&] { heardByReader += reader->readAll(); });

    const int blocks = 10 * 1024 * 1024 / blockBytes;
    QByteArray flood;
    flood.reserve(qsizetype(blocks) * blockBytes);
    for (int index = 0; index < blocks; ++index)
        flood += makeBlock(10 + index / 65536, index % 65536);
    flooder->write(flood);
    qint64 peakRssKb = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            peakRssKb = std::max(peakRssKb, relayRssKb());
            return flooder->bytesToWrite() == 0;
        },
        30000));
    qsizetype lastSize = -1;
    QVERIFY(QTest::qWaitFor(
        [&] {
            QTest::qWait(300);
            const bool settled = heardByReader.size() == lastSize;
            lastSize = heardByReader.size();
            return settled;
        },
        10000));
    peakRssKb = std::max(peakRssKb, relayRssKb());
    verifyMemoryBounded(peakRssKb);

    // Whole blocks in order; some may be missing where the reader fell behind.
    QVERIFY(heardByReader.size() > 0);
    QVERIFY(checkBlocks(heardByReader, nullptr, true));

    slow->setReadBufferSize(0);
    QByteArray heardBySlow;
    while (!staysSilent(*slow, 300))
        heardBySlow += slow->readAll();
    QVERIFY(heardBySlow.size() <= flood.size());
    QVERIFY(checkBlocks(heardBySlow, nullptr, true));
    qInfo(
        "flood of %lld bytes: reader heard %lld, slow reader %lld; relay %lld kB, at most %lld kB",
        qint64(flood.size()), qint64(heardByReader.size()), qint64(heardBySlow.size()),
        m_baselineRssKb, peakRssKb);

    flooder.reset();
    slow.reset();
    reader.reset();
    verifyStillRelays();
}

void TestRelay::survivesGarbage() {
    QByteArray garbage(256 * 1024, Qt::Uninitialized);
    for (auto &byte : garbage)
        byte = char(QRandomGenerator::global()->bounded(256));
    for (const int base : {controlBase, controlBase + 3, operatorBase, chatBase}) {
        Station sender = station(base);
        Station receiver = station(base);
        QVERIFY(waitForStations(base, 2));
        sender->write(garbage.left(garbage.size() - 11));
        QVERIFY(sender->waitForBytesWritten(5000));
        // Chat passes unchanged, but only at the pace of a person typing;
        // garbage on the control port is no station's message and reaches nobody.
        if (base == chatBase) {
            QByteArray heard = readExactly(*receiver, 64, 10000);
            while (!staysSilent(*receiver, 300))
                heard += receiver->readAll();
            QVERIFY(heard.size() >= 64);
            QVERIFY(heard.size() < garbage.size() / 8);
            QCOMPARE(heard.left(64), garbage.left(64));
            continue;
        }
        if (base == controlBase) {
            QVERIFY(staysSilent(*receiver));
            continue;
        }
        // On a voice port garbage is speech like any other, held to the speech rate:
        // two seconds' worth passes at once, the rest only as fast as speech, and
        // every block that passes is whole and in order.
        QByteArray heard = readExactly(*receiver, 50 * blockBytes, 10000);
        while (!staysSilent(*receiver, 200))
            heard += receiver->readAll();
        QCOMPARE(heard.size() % blockBytes, 0);
        QVERIFY(heard.size() >= 50 * blockBytes);
        QVERIFY(heard.size() < garbage.size() / 4);
        qsizetype from = 0;
        for (qsizetype at = 0; at < heard.size(); at += blockBytes) {
            const qsizetype found = garbage.indexOf(heard.mid(at, blockBytes), from);
            QVERIFY(found >= from && found % blockBytes == 0);
            from = found + blockBytes;
        }
    }
    verifyMemoryBounded(relayRssKb());
    verifyStillRelays();
}

void TestRelay::survivesStationsThatVanish() {
    const QList<int> bases = {controlBase,      controlBase + 1, controlBase + 20,
                              controlBase + 40, operatorBase,    chatBase};
    for (int round = 0; round < 10; ++round) {
        std::vector<Station> stations;
        for (int at = 0; at < 30; ++at) {
            auto socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(QHostAddress::LocalHost, port(bases[at % bases.size()]));
            stations.push_back(std::move(socket));
        }
        for (auto &socket : stations) {
            if (!socket->waitForConnected(5000))
                continue;
            if (socket.get() != stations.front().get())
                socket->write(QByteArray(1 + (round * 7) % 64, char(round)));
            socket->flush();
            if (round % 2)
                socket->abort();
            else
                socket->disconnectFromHost();
        }
    }
    for (const int base : bases)
        QVERIFY(waitForStations(base, 0));
    verifyMemoryBounded(relayRssKb());
    verifyStillRelays();
}

void TestRelay::turnsAwayStationsBeyondTheLimit() {
    QProcess limited;
    const QString logPath = m_dir.filePath(QStringLiteral("limited.log"));
    const int offset =
        startRelay(limited, logPath, {QStringLiteral("--max-stations"), QStringLiteral("2")});
    QVERIFY(offset >= 0);

    const quint16 channelPort = quint16(controlBase + 1 + offset);
    std::vector<Station> stations;
    for (int at = 0; at < 3; ++at) {
        stations.push_back(std::make_unique<QTcpSocket>());
        stations.back()->connectToHost(QHostAddress::LocalHost, channelPort);
        QVERIFY(stations.back()->waitForConnected(5000));
        QVERIFY(QTest::qWaitFor([&] { return readLog(logPath).count("\n") >= at + 2; }));
    }
    QVERIFY(readLog(logPath).contains("full"));
    QVERIFY(stations[2]->state() == QAbstractSocket::UnconnectedState ||
            stations[2]->waitForDisconnected(5000));
    stations[0]->write(makeBlock(7, 0));
    stations[0]->flush();
    QCOMPARE(readExactly(*stations[1], blockBytes), makeBlock(7, 0));
    limited.terminate();
    QVERIFY(limited.waitForFinished(10000));
}

void TestRelay::acceptsCommandsOnlyFromOperators() {
    QProcess guarded;
    const QString logPath = m_dir.filePath(QStringLiteral("guarded.log"));
    const int offset =
        startRelay(guarded, logPath, {QStringLiteral("--operator"), QStringLiteral("127.0.0.2")});
    QVERIFY(offset >= 0);
    const quint16 controlPort = quint16(controlBase + offset);

    Station sender = std::make_unique<QTcpSocket>();
    Station listener = std::make_unique<QTcpSocket>();
    Station operatorStation = std::make_unique<QTcpSocket>();
    QVERIFY(operatorStation->bind(QHostAddress(QStringLiteral("127.0.0.2"))));
    for (QTcpSocket *socket : {sender.get(), listener.get(), operatorStation.get()}) {
        socket->connectToHost(QHostAddress::LocalHost, controlPort);
        QVERIFY(socket->waitForConnected(5000));
    }
    QVERIFY(QTest::qWaitFor([&] { return readLog(logPath).contains("3 connected"); }));

    const QList<std::pair<QByteArray, bool>> messages = {
        {"hallo", false},         {"ABCD1(04)", true},  {"ABCD1C(40)", true},
        {"ABCD1A04A", true},      {"ABCD1(0)", true},   {"ABCD1(04)ABCD1C(05)", true},
        {"EFGH2Na-0", false},     {"EFGH2bann", false}, {"ABCD1(04)EFGH2gimx", false},
        {"12345alle(04)", false}, {"ABCD1(41)", false}, {"ABCD1(00)", false},
        {"ABC1(04)", false},
    };
    // A refused message goes on a connection of its own, so that it cannot share a
    // piece with the next one; the listener then hears the marker and nothing else.
    const QByteArray marker("ABCD1(01)");
    for (const auto &[message, passes] : messages) {
        // The sender keeps to a radio's pace of a report a second.
        QTest::qWait(1000);
        if (passes) {
            sender->write(message);
            sender->flush();
            QCOMPARE(readExactly(*listener, message.size()), message);
            continue;
        }
        // Gone again before the next one: an address may hold only a few connections.
        QTcpSocket refusedSender;
        refusedSender.connectToHost(QHostAddress::LocalHost, controlPort);
        QVERIFY(refusedSender.waitForConnected(5000));
        refusedSender.write(message);
        QVERIFY(refusedSender.waitForBytesWritten(5000));
        QTest::qWait(20);
        sender->write(marker);
        sender->flush();
        QVERIFY2(readExactly(*listener, marker.size()) == marker, message.constData());
        QVERIFY2(staysSilent(*listener, 30), message.constData());
    }
    const QByteArray command("ABCD1bann");
    operatorStation->write(command);
    operatorStation->flush();
    QCOMPARE(readExactly(*listener, command.size()), command);
    guarded.terminate();
    QVERIFY(guarded.waitForFinished(10000));
}

void TestRelay::rejectsBadArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("offset too high") << QStringList{"--port-offset", "60000"};
    QTest::newRow("offset too low") << QStringList{"--port-offset", "-400"};
    QTest::newRow("offset not a number") << QStringList{"--port-offset", "many"};
    QTest::newRow("not an address") << QStringList{"--listen", "nowhere"};
    QTest::newRow("unknown option") << QStringList{"--frequency", "27"};
}

void TestRelay::rejectsBadArguments() {
    QFETCH(QStringList, arguments);
    QProcess relay;
    relay.start(QStringLiteral(MARLOX_RELAY_PATH), arguments);
    QVERIFY(relay.waitForFinished(10000));
    QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
    QVERIFY(relay.exitCode() != 0);
}

QTEST_GUILESS_MAIN(TestRelay)
#include "test_relay.moc"
