// The playout queue on a simulated line and loudspeaker: blocks of 40 ms are
// spoken one after another, reach the queue as the line lets them through,
// and a device that keeps itself 30 ms ahead of the loudspeaker takes sound
// in 10 ms pieces, asking for cover once it is down to 8 ms.

#include "playout.h"

#include <QTest>
#include <algorithm>
#include <cmath>
#include <random>
#include <set>

using namespace wave;

namespace {

constexpr int blockSamples = 320;
constexpr double blockMs = 40;

struct Line {
    double delayMs = 0;
    double jitterMs = 0;
    double stallEveryMs = 0;
    double stallMs = 0;
};

// When each of count blocks spoken from startMs on reaches the queue.
std::vector<double> arrivals(const Line &line, int count, double startMs, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> jitter(0, line.jitterMs);
    std::vector<double> at;
    double last = 0;
    for (int k = 0; k < count; ++k) {
        double due =
            startMs + k * blockMs + line.delayMs + (line.jitterMs > 0 ? jitter(random) : 0);
        due = std::max(due, last); // the line keeps the order
        if (line.stallEveryMs > 0) {
            const double period = std::floor(due / line.stallEveryMs) * line.stallEveryMs;
            if (due - period >= line.stallEveryMs - line.stallMs)
                due = period + line.stallEveryMs;
        }
        at.push_back(due);
        last = due;
    }
    return at;
}

struct Heard {
    int pushed = 0;
    std::multiset<qint64> done;
    int deviceRanDry = 0; // the device emptied while an over played
    double firstSoundMs = -1;
    double lastExtraMs = 0; // extra delay when the last block was taken
    double maxExtraMs = 0;
    std::vector<std::pair<double, double>> extraMs; // every 100 ms: time, extra delay
};

// Plays blocks arriving at the given times; tags count on from firstTag.
void play(Playout &playout, const std::vector<double> &at, double untilMs, Heard &heard,
          qint64 firstTag = 0) {
    std::vector<qint16> tone(blockSamples);
    for (int n = 0; n < blockSamples; ++n)
        tone[n] = qint16(8000 * std::sin(2 * M_PI * 600 * n / 8000.0));
    size_t next = 0;
    double buffered = 0;
    std::vector<qint16> piece(80);
    std::vector<qint64> done;
    for (double now = at.front(); now < untilMs; now += 1) {
        while (next < at.size() && at[next] <= now) {
            playout.push(tone.data(), blockSamples, firstTag + qint64(next), now);
            ++heard.pushed;
            ++next;
        }
        const bool wasPlaying = buffered > 0;
        buffered = std::max(0.0, buffered - 1);
        if (wasPlaying && buffered == 0 && playout.playing() && next < at.size())
            ++heard.deviceRanDry;
        while (buffered <= 30) {
            const int got = playout.pull(piece.data(), 80, now, buffered, buffered < 8, done);
            if (got <= 0)
                break;
            if (heard.firstSoundMs < 0)
                heard.firstSoundMs = now;
            buffered += got / 8.0;
        }
        for (qint64 tag : done)
            heard.done.insert(tag);
        done.clear();
        if (playout.playing() && int(now) % 100 == 0)
            heard.extraMs.emplace_back(now, playout.extraDelayMs(now));
        if (next == at.size() && playout.playing() && playout.queuedMs() > 0) {
            heard.lastExtraMs = playout.extraDelayMs(now);
        }
        if (playout.playing())
            heard.maxExtraMs = std::max(heard.maxExtraMs, playout.extraDelayMs(now));
    }
}

} // namespace

class PlayoutTest : public QObject {
    Q_OBJECT
private slots:
    void linesOfAnOver_data();
    void linesOfAnOver();
    void holdIsOnlyForTheLinesJitter_data();
    void holdIsOnlyForTheLinesJitter();
    void burstIsCaughtUpWithinASecondOrSo();
    void talkersPauseIsNoStall();
    void farBehindDropsNearSilenceFirst();
    void silenceEndsTheOverAndTheNextStartsAfresh();
    void clearGivesBackEveryBlock();
};

void PlayoutTest::linesOfAnOver_data() {
    QTest::addColumn<double>("delayMs");
    QTest::addColumn<double>("jitterMs");
    QTest::addColumn<double>("stallEveryMs");
    QTest::addColumn<double>("stallMs");
    QTest::addColumn<int>("maxUnderruns");
    QTest::addColumn<double>("maxHoldMs");
    QTest::addColumn<double>("maxEndExtraMs");
    QTest::addColumn<bool>("mayHurry");

    // A clean line holds nothing beyond the block itself.
    QTest::newRow("clean") << 0.0 << 0.0 << 0.0 << 0.0 << 0 << 0.0 << 5.0 << false;
    QTest::newRow("delay only") << 40.0 << 0.0 << 0.0 << 0.0 << 0 << 0.0 << 5.0 << false;
    // Jitter is learned in the first over; the second rides it out whole,
    // the few ms of a talker's capture as well as the line's.
    QTest::newRow("capture jitter") << 0.0 << 6.0 << 0.0 << 0.0 << 0 << 20.0 << 20.0 << false;
    QTest::newRow("jitter") << 40.0 << 30.0 << 0.0 << 0.0 << 0 << 50.0 << 20.0 << false;
    // A stall longer than the queue leaves a gap each time, and is caught up.
    QTest::newRow("stalls") << 40.0 << 30.0 << 6000.0 << 400.0 << 12 << 50.0 << 80.0 << true;
}

void PlayoutTest::linesOfAnOver() {
    QFETCH(double, delayMs);
    QFETCH(double, jitterMs);
    QFETCH(double, stallEveryMs);
    QFETCH(double, stallMs);
    QFETCH(int, maxUnderruns);
    QFETCH(double, maxHoldMs);
    QFETCH(double, maxEndExtraMs);
    QFETCH(bool, mayHurry);
    const Line line{delayMs, jitterMs, stallEveryMs, stallMs};
    Playout playout;

    // A first over of 5 s to learn the line, then a 60 s over.
    Heard first;
    const std::vector<double> learn = arrivals(line, 125, 1000, 1);
    play(playout, learn, learn.back() + 2000, first);
    const Playout::Totals afterFirst = playout.totals();
    Heard heard;
    const std::vector<double> over = arrivals(line, 1500, 20000, 2);
    play(playout, over, over.back() + 2000, heard, 10000);

    const Playout::Totals totals = playout.totals();
    const int underruns = totals.underruns - afterFirst.underruns;
    qInfo("hold %.0f ms, underruns %d, covered %.0f ms, sped up %.0f ms, cut %.0f ms, "
          "extra at the end %.0f ms, at most %.0f ms",
          playout.holdMs(), underruns, totals.coveredMs - afterFirst.coveredMs,
          totals.spedUpMs - afterFirst.spedUpMs, totals.cutMs, heard.lastExtraMs, heard.maxExtraMs);
    QCOMPARE(totals.overs, 2);
    QVERIFY(underruns <= maxUnderruns);
    QCOMPARE(heard.deviceRanDry, 0);
    QVERIFY(playout.holdMs() <= maxHoldMs);
    QVERIFY2(heard.lastExtraMs <= maxEndExtraMs, qPrintable(QString::number(heard.lastExtraMs)));
    QCOMPARE(totals.cutMs, 0.0);
    if (!mayHurry)
        QVERIFY(totals.spedUpMs - afterFirst.spedUpMs < 40);
    // Every block comes back once.
    QCOMPARE(int(heard.done.size()), heard.pushed);
    QCOMPARE(int(std::set<qint64>(heard.done.begin(), heard.done.end()).size()), heard.pushed);
    // On a clean line the over starts with its first block, as it always did.
    if (jitterMs == 0)
        QVERIFY(first.firstSoundMs - learn.front() <= 11);
}

void PlayoutTest::holdIsOnlyForTheLinesJitter_data() {
    QTest::addColumn<int>("lateBlock");
    QTest::addColumn<double>("lateMs");
    QTest::addColumn<int>("backlogBlocks");
    // One block 150 ms late in the first of three overs on a clean line.
    QTest::newRow("a hiccup long past") << 30 << 150.0 << 0;
    // Every over starts with its first ten blocks at once, as a talker's
    // capture hands over what piled up while the stream started.
    QTest::newRow("the talker's backlog") << -1 << 0.0 << 10;
}

// Three overs of two seconds: the third holds no sound back for what
// was no jitter of the line.
void PlayoutTest::holdIsOnlyForTheLinesJitter() {
    QFETCH(int, lateBlock);
    QFETCH(double, lateMs);
    QFETCH(int, backlogBlocks);
    Playout playout;
    Heard heard;
    double firstSoundMs = 0;
    for (int over = 0; over < 3; ++over) {
        const double startMs = 1000 + over * 5000;
        std::vector<double> at = arrivals(Line{}, 50, startMs, 1);
        for (int k = 0; k < backlogBlocks; ++k)
            at[size_t(k)] = at[size_t(backlogBlocks - 1)];
        if (over == 0 && lateBlock >= 0)
            at[size_t(lateBlock)] += lateMs;
        for (size_t k = 1; k < at.size(); ++k)
            at[k] = std::max(at[k], at[k - 1]);
        heard.firstSoundMs = -1;
        play(playout, at, startMs + 4000, heard, over * 100);
        firstSoundMs = heard.firstSoundMs - at.front();
    }
    qInfo("hold %.0f ms; the last over sounded %.0f ms after its first block came",
          playout.holdMs(), firstSoundMs);
    QCOMPARE(playout.totals().overs, 3);
    QCOMPARE(playout.holdMs(), 0.0);
    QVERIFY(firstSoundMs <= 11);
}

void PlayoutTest::burstIsCaughtUpWithinASecondOrSo() {
    // Two seconds on time, then the line holds 500 ms and lets it all through.
    std::vector<double> at;
    for (int k = 0; k < 150; ++k) {
        const double onTime = 1000 + k * blockMs;
        at.push_back(onTime >= 3000 && onTime < 3500 ? 3500 : onTime);
    }
    Playout playout;
    Heard heard;
    play(playout, at, 7000, heard);
    const auto extraAt = [&](double ms) {
        for (const auto &[time, extra] : heard.extraMs)
            if (time >= ms)
                return extra;
        return -1.0;
    };
    qInfo("extra delay at the burst %.0f ms, 1 s later %.0f ms, 1.5 s later %.0f ms; sped up "
          "%.0f ms",
          extraAt(3500), extraAt(4500), extraAt(5000), playout.totals().spedUpMs);
    QVERIFY(extraAt(3500) > 300);
    QVERIFY(extraAt(5000) < 40);
    QVERIFY(playout.totals().spedUpMs > 300);
    QCOMPARE(playout.totals().cutMs, 0.0);
    QCOMPARE(heard.deviceRanDry, 0);

    // Two lines that stall together end their stall a little apart: the
    // first block comes alone, the rest 60 ms after it. That is one gap,
    // not a gap, a fragment of speech and another gap.
    for (size_t k = 51; k < at.size() && at[k] < 3560; ++k)
        at[k] = 3560;
    Playout twice;
    Heard heardTwice;
    play(twice, at, 7000, heardTwice);
    QCOMPARE(twice.totals().underruns, 1);
    QCOMPARE(int(heardTwice.done.size()), heardTwice.pushed);
}

void PlayoutTest::talkersPauseIsNoStall() {
    // The talker pauses for 450 ms within an over, then speaks on while the
    // line turns jittery: the queue learns that jitter, as in any over.
    std::vector<double> at = arrivals({40, 0, 0, 0}, 50, 1000, 3);
    const std::vector<double> after = arrivals({40, 30, 0, 0}, 250, 1000 + 50 * blockMs + 450, 4);
    at.insert(at.end(), after.begin(), after.end());
    Playout playout;
    Heard heard;
    play(playout, at, at.back() + 2000, heard);
    qInfo("underruns %d, covered %.0f ms, hold %.0f ms", playout.totals().underruns,
          playout.totals().coveredMs, playout.holdMs());
    QCOMPARE(playout.totals().overs, 1);
    QVERIFY(playout.totals().coveredMs < 600);
}

void PlayoutTest::farBehindDropsNearSilenceFirst() {
    // Blocks of silence and of tone, all at once and two seconds late after
    // a first block on time: far more than speeding up can take back soon.
    Playout playout;
    std::vector<qint16> quiet(blockSamples, 0);
    std::vector<qint16> loud(blockSamples);
    for (int n = 0; n < blockSamples; ++n)
        loud[n] = qint16(8000 * std::sin(2 * M_PI * 600 * n / 8000.0));
    std::vector<qint64> done;
    std::vector<qint16> piece(80);
    playout.push(loud.data(), blockSamples, 0, 0);
    (void)playout.pull(piece.data(), 80, 0, 0, false, done);
    for (int k = 1; k <= 50; ++k)
        playout.push((k % 2 ? quiet : loud).data(), blockSamples, k, 2000);
    (void)playout.pull(piece.data(), 80, 2000, 20, false, done);
    qInfo("cut %.0f ms", playout.totals().cutMs);
    QVERIFY(playout.totals().cutMs > 0);
    // Only silence was cut: every block dropped so far is an odd one.
    for (qint64 tag : done)
        QVERIFY(tag % 2 == 1 || tag <= 2);
}

void PlayoutTest::silenceEndsTheOverAndTheNextStartsAfresh() {
    Playout playout;
    Heard heard;
    std::vector<double> over = arrivals(Line{}, 25, 0, 1);
    play(playout, over, 2000, heard);
    QVERIFY(!playout.playing());
    QCOMPARE(playout.totals().overs, 1);
    // The silence after the over is no lateness.
    QCOMPARE(playout.totals().underruns, 0);
    QCOMPARE(playout.totals().coveredMs, 0.0);
    play(playout, arrivals(Line{}, 25, 3000, 1), 5000, heard, 100);
    QCOMPARE(playout.totals().overs, 2);
    QCOMPARE(int(heard.done.size()), 50);
}

void PlayoutTest::clearGivesBackEveryBlock() {
    Playout playout;
    std::vector<qint16> block(blockSamples, 100);
    for (int k = 0; k < 5; ++k)
        playout.push(block.data(), blockSamples, k, k * 40.0);
    std::vector<qint64> done;
    std::vector<qint16> piece(80);
    QCOMPARE(playout.pull(piece.data(), 80, 200, 0, false, done), 80);
    playout.clear(done);
    std::sort(done.begin(), done.end());
    QCOMPARE(done, (std::vector<qint64>{0, 1, 2, 3, 4}));
    QVERIFY(!playout.playing());
    QCOMPARE(playout.pull(piece.data(), 80, 300, 0, true, done), 0);
}

QTEST_GUILESS_MAIN(PlayoutTest)
#include "tst_playout.moc"
