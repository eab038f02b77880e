#pragma once

// What the tests and the benchmark over the air share: a second radio in a
// process of its own, a tone player and recordings of sound devices.
//
// On the test audio server the microphone (marlox_source) hears the
// loudspeaker (marlox_sink): a tone played into the sink reaches the talking
// radio's capture, and while it transmits its own playback is closed, so
// whatever the sink plays once the tone has stopped is the listening radio.

#include <QAudioSink>
#include <QAudioSource>
#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

namespace air {

constexpr int sampleRate = 8000;

// The radio of ptt_station.cpp in its own process.
class Station {
public:
    ~Station();
    bool start(const QString &program, const QString &folder);
    // Sends a command and waits for the answer line; false on another one.
    bool command(const QByteArray &command, const QByteArray &answer, QByteArray *got = nullptr);

private:
    bool waitForLine(QByteArray *line, int timeoutMs);
    QProcess m_process;
    QByteArray m_pending;
};

// Records a device as 8000 Hz mono 16-bit; every sample gets the time it
// was taken, in ms of the shared clock.
class Recorder : public QObject {
public:
    Recorder(const QByteArray &deviceId, const QElapsedTimer &clock);
    bool start();
    void stop();
    // Samples are counted from the start; times are ms of the shared clock.
    qsizetype indexAt(double timeMs) const;
    // The first sample from `from` on whose magnitude is above threshold, or -1.
    qsizetype onsetFrom(qsizetype from, int threshold) const;
    // The first sample from `from` on that begins minSamples below threshold, or -1.
    qsizetype silenceFrom(qsizetype from, int threshold, qsizetype minSamples) const;
    std::vector<qint16> samples(qsizetype from, qsizetype to) const;
    qsizetype size() const { return qsizetype(m_samples.size()); }
    qint16 sampleAt(qsizetype index) const { return m_samples[size_t(index)]; }
    // The time a sample was taken, in ms of the shared clock.
    double timeOf(qsizetype index) const { return m_timesMs[size_t(index)]; }

private:
    void take();
    QByteArray m_deviceId;
    const QElapsedTimer &m_clock;
    std::unique_ptr<QAudioSource> m_source;
    QIODevice *m_input = nullptr;
    std::vector<qint16> m_samples;
    std::vector<double> m_timesMs;
};

// Plays a sine tone into a device, followed by silence until stopped. The
// sink is fed as it has room, as the program's own playback is.
class TonePlayer : public QObject {
public:
    explicit TonePlayer(const QByteArray &deviceId);
    // markEveryMs above 0: the tone pauses for markMs at the end of every
    // markEveryMs, so that each stretch between two pauses is that long.
    bool play(double frequencyHz, int durationMs, int amplitude, int markEveryMs = 0,
              int markMs = 40);
    void stop();

private:
    void feed();
    QByteArray m_deviceId;
    std::unique_ptr<QAudioSink> m_sink;
    QIODevice *m_output = nullptr;
    QByteArray m_pcm;
    qsizetype m_written = 0;
    QTimer m_feed;
};

// A sink for the talker's mouth, marlox_mouth, and a source from its
// monitor that the server takes as its default input; the loudspeaker's
// monitor source is made anew in mono after it. Then the loudspeaker's
// recording holds only what the listener plays. Undone when it goes.
class SeparateMouth {
public:
    SeparateMouth();
    ~SeparateMouth();
    bool ready() const;

private:
    QList<QByteArray> m_modules;
};

// Runs of at least 5 ms below the threshold: the breaks in a steady tone.
struct Gaps {
    int count = 0;
    int longerThan10Ms = 0;
    double totalMs = 0;
    double longestMs = 0;
    void add(double ms) {
        ++count;
        longerThan10Ms += ms > 10 ? 1 : 0;
        totalMs += ms;
        longestMs = std::max(longestMs, ms);
    }
};
Gaps gapsIn(const std::vector<qint16> &samples, int threshold);

// A marked tone as heard: its pauses (the marks) and whatever else fell
// silent. Between two marks there are markEveryMs of tone and pause; tone
// missing from that is sound that never came out of the loudspeaker or was
// shortened on the way.
struct MarkedTone {
    std::vector<double> marksMs; // where each mark ends, ms from the first sample
    Gaps gaps;                   // silences that are not marks
    double shortenedMs = 0;      // tone missing between marks
    double lengthenedMs = 0;     // tone beyond the mark period between marks
};
// hurried: the sound may have been played faster while a queue caught up,
// so a mark counts from a third of its length rather than from half. A
// short gap in the right place may then pass for a mark: the tests keep the
// stricter reading.
MarkedTone analyseMarkedTone(const std::vector<qint16> &samples, int threshold, int markEveryMs,
                             bool hurried = false, int markMs = 40);

// The shape of a rough line: every byte is held delayMs plus 0 to jitterMs
// (never overtaking an earlier one, as on TCP), and every stallEveryMs the
// line delivers nothing for stallMs, then all it held at once.
struct LineShape {
    int delayMs = 0;
    int jitterMs = 0;
    int stallEveryMs = 0;
    int stallMs = 0;
};

// A TCP proxy on loopback that gives both directions of its connections a
// line shape. It runs on a thread of its own, so a busy application thread
// does not change the line.
class RoughLine {
public:
    explicit RoughLine(const LineShape &shape);
    ~RoughLine();
    RoughLine(const RoughLine &) = delete;
    RoughLine &operator=(const RoughLine &) = delete;
    // Accepts on listenPort and connects each connection on to targetPort;
    // shaped false passes the bytes as they come.
    bool forward(quint16 listenPort, quint16 targetPort, bool shaped);
    // Bytes that went through shaped connections, both directions.
    qint64 shapedBytes() const;

private:
    class Worker;
    QThread *m_thread;
    Worker *m_worker;
};

// Runs the event loop for ms, or until done() holds (looked at every 5 ms),
// as a program's own loop would. QTest::qWait looks at events only between
// sleeps of 10 ms, so a radio in this process would take its blocks up to
// 10 ms late and learn that as the line's jitter.
void runFor(int ms);
bool runUntil(const std::function<bool()> &done, int timeoutMs);

QAudioFormat voiceFormat();
// Nanoseconds of the system's monotonic clock, the same in every process.
qint64 monotonicNs();
// The strongest frequency between lowHz and highHz.
double frequencyOf(const std::vector<qint16> &samples, double lowHz, double highHz);

} // namespace air
