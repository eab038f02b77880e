// The echo station: each station's over on the echo channel comes back to it
// alone, whole and in order, half a second after it ends and at the speech rate.

#include "echoover.h"
#include "rawsocket.h"
#include "relayprocess.h"
#include "voicerelay.h"

#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int blockBytes = VoiceRelay::blockBytes;
constexpr int controlBase = 324;
constexpr int echoChannel = 3;

std::int64_t nowMs() {
    return nowNs() / 1'000'000;
}

// Block `index` of station `marker`: both can be read back from what arrives.
QByteArray block(char marker, int index) {
    QByteArray data(blockBytes, marker);
    std::memcpy(data.data() + 1, &index, sizeof index);
    return data;
}

int indexOf(const char *data) {
    int index = 0;
    std::memcpy(&index, data + 1, sizeof index);
    return index;
}

struct Arrival {
    QByteArray block;
    std::int64_t atMs = 0;
};

// Everything that arrives on `fd` within `ms`, block by block with its time.
// Blocks that arrive within `ms`; with `quietMs`, also ends once blocks came
// and then none for that long.
std::vector<Arrival> collect(int fd, int ms, int quietMs = 0) {
    std::vector<Arrival> arrivals;
    QByteArray pending;
    const std::int64_t endMs = nowMs() + ms;
    while (nowMs() < endMs) {
        pollfd entry{fd, POLLIN, 0};
        std::int64_t waitMs = endMs - nowMs();
        if (quietMs > 0 && !arrivals.empty())
            waitMs = std::min<std::int64_t>(waitMs, quietMs);
        if (::poll(&entry, 1, int(std::max<std::int64_t>(1, waitMs))) <= 0) {
            if (quietMs > 0 && !arrivals.empty() && nowMs() - arrivals.back().atMs >= quietMs)
                break;
            continue;
        }
        char buffer[8192];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        const std::int64_t at = nowMs();
        pending.append(buffer, got);
        while (pending.size() >= blockBytes) {
            arrivals.push_back({pending.left(blockBytes), at});
            pending.remove(0, blockBytes);
        }
    }
    return arrivals;
}

// Sends blocks 0 .. count - 1 of `marker` at the speech rate of a relay whose
// clock runs `speedup` times faster, `aheadMs` of that clock early, as a sound
// card with a backlog would; returns when the last went.
std::int64_t speak(int fd, char marker, int count, int speedup = 1, int aheadMs = 0) {
    const auto start = std::chrono::steady_clock::now();
    for (int index = 0; index < count; ++index) {
        const std::int64_t dueUs = std::max(0, 40 * index - aheadMs) * 1000 / speedup;
        std::this_thread::sleep_until(start + std::chrono::microseconds(dueUs));
        if (!sendAll(fd, block(marker, index)))
            return -1;
    }
    return nowMs();
}

} // namespace

class TestEchoStation : public QObject {
    Q_OBJECT
private slots:
    void playsTheOverBackToItsStationAlone();
    void stationsTestingAtOnceEachHearTheirOwn();
    void keepsAtMostTheLongestOver();
    void consoleListsTheEchoStationAndBansAnAddress();
    void refusesAnEchoChannelOutOfRange_data();
    void refusesAnEchoChannelOutOfRange();

private:
    std::unique_ptr<VoiceRelay> startRelay(int speedup);
    quint16 m_echoPort = 0;
};

std::unique_ptr<VoiceRelay> TestEchoStation::startRelay(int speedup) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int offset = int(QRandomGenerator::global()->bounded(20000, 50000));
        VoiceRelay::Options options;
        options.ports = VoiceRelay::networkPorts(offset);
        options.ports[echoChannel - 1].echo = true;
        options.clockSpeedup = speedup;
        auto relay = std::make_unique<VoiceRelay>(options);
        QString error;
        if (relay->start(&error)) {
            m_echoPort = quint16(controlBase + echoChannel + offset);
            return relay;
        }
    }
    return nullptr;
}

void TestEchoStation::playsTheOverBackToItsStationAlone() {
    auto relay = startRelay(1);
    QVERIFY(relay);
    const int speaker = connectFrom("127.0.0.1", m_echoPort);
    const int neighbour = connectFrom("127.0.0.1", m_echoPort);
    QVERIFY(speaker >= 0 && neighbour >= 0);
    QTest::qWait(100);

    // Two seconds of speech; the neighbour hears it live, as on any channel.
    constexpr int blocks = 50;
    std::vector<Arrival> live;
    std::thread listening([&] { live = collect(neighbour, 2300); });
    const std::int64_t lastSentMs = speak(speaker, 'a', blocks);
    listening.join();
    QVERIFY(lastSentMs > 0);
    QCOMPARE(int(live.size()), blocks);

    std::vector<Arrival> echo;
    std::vector<Arrival> overheard;
    std::thread overhearing([&] { overheard = collect(neighbour, 3500); });
    echo = collect(speaker, 3500);
    overhearing.join();
    QVERIFY(overheard.empty());
    QCOMPARE(int(echo.size()), blocks);
    for (int index = 0; index < blocks; ++index) {
        const Arrival &arrival = echo[size_t(index)];
        QCOMPARE(arrival.block, block('a', index));
        // Never before its place in the over, counted from half a second after
        // the last block; the relay's clock may be a millisecond ahead of ours.
        const std::int64_t dueMs = lastSentMs + VoiceRelay::holdMs + index * 40;
        QVERIFY2(
            arrival.atMs >= dueMs - 2,
            qPrintable(
                QStringLiteral("block %1 came %2 ms early").arg(index).arg(dueMs - arrival.atMs)));
    }
    const std::int64_t startedAfterMs = echo.front().atMs - lastSentMs;
    const std::int64_t spanMs = echo.back().atMs - echo.front().atMs;
    qInfo("echo began %lld ms after the last block and took %lld ms for %d blocks",
          qint64(startedAfterMs), qint64(spanMs), blocks);
    QVERIFY(startedAfterMs < VoiceRelay::holdMs + 300);
    QVERIFY(spanMs < (blocks - 1) * 40 + 300);

    // Once played back the channel is the station's again: its next over is
    // heard live and comes back in its turn.
    std::thread again([&] { live = collect(neighbour, 800); });
    QVERIFY(speak(speaker, 'b', 10) > 0);
    again.join();
    QCOMPARE(int(live.size()), 10);
    echo = collect(speaker, 1500);
    QCOMPARE(int(echo.size()), 10);
    QCOMPARE(echo.back().block, block('b', 9));
    ::close(speaker);
    ::close(neighbour);
}

void TestEchoStation::stationsTestingAtOnceEachHearTheirOwn() {
    auto relay = startRelay(1);
    QVERIFY(relay);
    const int first = connectFrom("127.0.0.1", m_echoPort);
    const int second = connectFrom("127.0.0.1", m_echoPort);
    QVERIFY(first >= 0 && second >= 0);
    QTest::qWait(100);
    constexpr int blocks = 25;
    std::int64_t secondDoneMs = 0;
    std::thread talking([&] { secondDoneMs = speak(second, 'y', blocks); });
    const std::int64_t firstDoneMs = speak(first, 'x', blocks);
    talking.join();
    QVERIFY(firstDoneMs > 0 && secondDoneMs > 0);

    // Whatever of the other's over each heard live came while both talked; what
    // comes afterwards is its own over, whole.
    std::vector<Arrival> firstHeard;
    std::thread hearing([&] { firstHeard = collect(first, 3000); });
    const std::vector<Arrival> secondHeard = collect(second, 3000);
    hearing.join();
    const auto ownOver = [&](const std::vector<Arrival> &heard, char marker, std::int64_t doneMs) {
        std::vector<QByteArray> echoed;
        for (const Arrival &arrival : heard)
            if (arrival.atMs >= doneMs + 200)
                echoed.push_back(arrival.block);
        if (int(echoed.size()) != blocks)
            return false;
        for (int index = 0; index < blocks; ++index)
            if (echoed[size_t(index)] != block(marker, index))
                return false;
        return true;
    };
    QVERIFY(ownOver(firstHeard, 'x', firstDoneMs));
    QVERIFY(ownOver(secondHeard, 'y', secondDoneMs));
    ::close(first);
    ::close(second);
}

void TestEchoStation::keepsAtMostTheLongestOver() {
    // Seventy seconds of speech on a relay whose clock runs five times faster,
    // sent a little ahead so that a busy test machine does not end the over.
    constexpr int speedup = 5;
    auto relay = startRelay(speedup);
    QVERIFY(relay);
    const int speaker = connectFrom("127.0.0.1", m_echoPort);
    QVERIFY(speaker >= 0);
    QTest::qWait(100);
    constexpr int blocks = 70 * 25;
    QVERIFY(speak(speaker, 'l', blocks, speedup, 1600) > 0);
    const std::vector<VoiceRelay::Note> notes = relay->notes();
    QCOMPARE(int(notes.size()), 1);
    QVERIFY(notes.front().echoStation);
    QCOMPARE(notes.front().channel, echoChannel);
    QCOMPARE(notes.front().count, 1);

    // A busy machine may pace the fast clock's playback slower: wait for it
    // to end rather than for its nominal length.
    const std::vector<Arrival> echo = collect(speaker, 4 * 60'000 / speedup, 2000);
    QCOMPARE(int(echo.size()), EchoOver::longestBlocks);
    for (int index = 0; index < int(echo.size()); ++index)
        QCOMPARE(indexOf(echo[size_t(index)].block.constData()), index);
    QCOMPARE(relay->notes().front().count, 0);

    // A station that leaves mid-over leaves nothing kept behind.
    const int leaving = connectFrom("127.0.0.1", m_echoPort);
    QVERIFY(speak(leaving, 'm', 25, speedup) > 0);
    QCOMPARE(relay->notes().front().count, 1);
    ::close(leaving);
    QVERIFY(QTest::qWaitFor([&] { return relay->notes().front().count == 0; }, 2000));
    ::close(speaker);
}

void TestEchoStation::consoleListsTheEchoStationAndBansAnAddress() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString console = dir.filePath(QStringLiteral("console"));
    const QString logPath = dir.filePath(QStringLiteral("relay.log"));
    QProcess relay;
    const int offset = testsupport::startRelay(
        relay, logPath,
        {QStringLiteral("--console"), console, QStringLiteral("--echo-channel"),
         QStringLiteral("7"), QStringLiteral("--echo-channel"), QStringLiteral("12")});
    QVERIFY(offset >= 0);
    QVERIFY(testsupport::readLog(logPath).contains("echo station on channel 07"));
    // Channel 12 plays back; channel 11 next to it is an ordinary channel.
    for (const int channel : {12, 11}) {
        const int speaker = connectFrom("127.0.0.1", quint16(controlBase + channel + offset));
        QVERIFY(speaker >= 0);
        QVERIFY(speak(speaker, 'c', 5) > 0);
        QCOMPARE(int(collect(speaker, 1200).size()), channel == 12 ? 5 : 0);
        ::close(speaker);
    }
    const auto command = [&](const QByteArray &line) {
        QLocalSocket socket;
        socket.connectToServer(console);
        if (!socket.waitForConnected(5000))
            return QList<QByteArray>();
        socket.write(line + '\n');
        const bool answered = QTest::qWaitFor(
            [&] {
                socket.waitForReadyRead(100);
                return socket.state() != QLocalSocket::ConnectedState;
            },
            5000);
        return answered ? socket.readAll().split('\n') : QList<QByteArray>();
    };
    const QList<QByteArray> lines = command("stations");
    QCOMPARE(lines.value(0), QByteArray("ok"));
    QList<QByteArray> echoLines;
    for (const QByteArray &line : lines)
        if (line.contains("echo station"))
            echoLines.append(line.simplified());
    QCOMPARE(echoLines.size(), 2);
    QVERIFY(echoLines[0].startsWith("(echo) 127.0.0.1 07 - echo station"));
    QVERIFY(echoLines[1].startsWith("(echo) 127.0.0.1 12 "));

    // A station known only by its address, as one that grabs a speech channel
    // without a control link, can be banned all the same.
    const int grabber = connectFrom("127.0.0.9", quint16(controlBase + 5 + offset));
    QVERIFY(grabber >= 0);
    QCOMPARE(command("ban 127.0.0.9").value(0), QByteArray("ok"));
    pollfd entry{grabber, POLLIN, 0};
    char byte = 0;
    QVERIFY(::poll(&entry, 1, 5000) == 1 && ::recv(grabber, &byte, 1, 0) == 0);
    ::close(grabber);
    relay.terminate();
    QVERIFY(relay.waitForFinished(10000));
}

void TestEchoStation::refusesAnEchoChannelOutOfRange_data() {
    QTest::addColumn<QString>("channel");
    QTest::newRow("zero") << QStringLiteral("0");
    QTest::newRow("beyond the last") << QStringLiteral("41");
    QTest::newRow("not a number") << QStringLiteral("one");
}

void TestEchoStation::refusesAnEchoChannelOutOfRange() {
    QFETCH(QString, channel);
    QProcess relay;
    relay.start(QStringLiteral(MARLOX_RELAY_PATH),
                {QStringLiteral("--port-offset"), QStringLiteral("30000"),
                 QStringLiteral("--echo-channel"), channel});
    QVERIFY(relay.waitForFinished(10000));
    QCOMPARE(relay.exitCode(), 2);
    QVERIFY(relay.readAllStandardError().contains("--echo-channel must be 1 to 40"));
}

QTEST_GUILESS_MAIN(TestEchoStation)
#include "test_echostation.moc"
