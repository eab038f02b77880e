#include "airsupport.h"

#include "audioserver.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMediaDevices>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <random>

namespace air {

using testsupport::pactl;

namespace {

QAudioDevice deviceById(bool input, const QByteArray &id) {
    // The device list follows the server a moment after a change.
    QAudioDevice found;
    (void)QTest::qWaitFor(
        [&] {
            const QList<QAudioDevice> devices =
                input ? QMediaDevices::audioInputs() : QMediaDevices::audioOutputs();
            for (const QAudioDevice &device : devices)
                if (device.id() == id)
                    found = device;
            return !found.isNull();
        },
        5000);
    return found;
}

void moveLoudspeakerSourceLast() {
    const QList<QByteArray> lines = pactl({"list", "short", "modules"}).split('\n');
    for (const QByteArray &line : lines) {
        if (line.contains("source_name=marlox_source"))
            pactl({"unload-module", QString::fromLatin1(line.split('\t').first())});
    }
    pactl({"load-module", "module-remap-source", "master=marlox_sink.monitor",
           "source_name=marlox_source", "master_channel_map=mono", "channel_map=mono"});
}

} // namespace

SeparateMouth::SeparateMouth() {
    m_modules << pactl(
        {"load-module", "module-null-sink", "sink_name=marlox_mouth", "rate=8000", "channels=1"});
    m_modules << pactl({"load-module", "module-remap-source", "master=marlox_mouth.monitor",
                        "source_name=marlox_mouth_mic", "master_channel_map=mono",
                        "channel_map=mono"});
    moveLoudspeakerSourceLast();
    pactl({"set-default-source", "marlox_mouth_mic"});
    (void)QTest::qWaitFor([this] { return ready(); }, 5000);
}

SeparateMouth::~SeparateMouth() {
    for (const QByteArray &module : m_modules)
        pactl({"unload-module", QString::fromLatin1(module)});
    pactl({"set-default-source", "marlox_source"});
}

// The server's default, and a device this process's radios can find.
bool SeparateMouth::ready() const {
    return pactl({"get-default-source"}) == "marlox_mouth_mic" &&
           !deviceById(true, "marlox_mouth_mic").isNull();
}

Gaps gapsIn(const std::vector<qint16> &samples, int threshold) {
    constexpr size_t shortest = sampleRate / 200;
    Gaps gaps;
    size_t quiet = 0;
    const auto endRun = [&] {
        if (quiet >= shortest)
            gaps.add(double(quiet) * 1000.0 / sampleRate);
        quiet = 0;
    };
    for (qint16 sample : samples) {
        if (std::abs(int(sample)) > threshold)
            endRun();
        else
            ++quiet;
    }
    endRun();
    return gaps;
}

MarkedTone analyseMarkedTone(const std::vector<qint16> &samples, int threshold, int markEveryMs,
                             bool hurried, int markMs) {
    constexpr size_t shortest = sampleRate / 200;
    const auto msOf = [](size_t count) { return double(count) * 1000.0 / sampleRate; };
    MarkedTone tone;
    // The silences, as [first sample, length).
    std::vector<std::pair<size_t, size_t>> silences;
    size_t quiet = 0;
    for (size_t n = 0; n <= samples.size(); ++n) {
        if (n < samples.size() && std::abs(int(samples[n])) <= threshold) {
            ++quiet;
            continue;
        }
        if (quiet >= shortest)
            silences.emplace_back(n - quiet, quiet);
        quiet = 0;
    }
    // GSM smears the edges of a pause a little either way, and a pause the
    // listener's playout hurried while it caught up is up to a third shorter.
    // A break that runs into a pause makes it longer than a mark.
    const double shortestMarkMs = markMs / (hurried ? 3.0 : 2.0);
    const double longestMarkMs = markMs + 15.0;
    const double longestMarkAndBreakMs = 2 * markMs + 15.0;
    const auto mayBeMark = [&](size_t i) {
        const double ms = msOf(silences[i].second);
        return ms >= shortestMarkMs && ms <= longestMarkAndBreakMs && silences[i].first > 0 &&
               silences[i].first + silences[i].second < samples.size();
    };
    // The tone there should be between two marks, for this much heard.
    const auto expectedFor = [&](double sound) {
        return std::max(1.0, std::round((sound + markMs) / double(markEveryMs))) * markEveryMs -
               markMs;
    };
    const auto offPeriod = [&](double sound) { return std::abs(expectedFor(sound) - sound); };
    double gapsSinceMark = 0;
    double lastMarkEndMs = -1;
    for (size_t i = 0; i < silences.size(); ++i) {
        const auto [first, length] = silences[i];
        const double ms = msOf(length);
        // Tone since the last mark, and whether a mark may be due: a break
        // sooner than half a period after the last is a gap, whatever its length.
        const double sound = msOf(first) - lastMarkEndMs - gapsSinceMark;
        bool mark = mayBeMark(i) && (lastMarkEndMs < 0 || sound >= (markEveryMs - markMs) / 2.0);
        // Unpressed, the periods are steady: of two silences where a mark may
        // be, the one that keeps the period is the mark, the other a gap.
        double between = ms;
        for (size_t j = i + 1; mark && !hurried && lastMarkEndMs >= 0 && j < silences.size(); ++j) {
            const double later = msOf(silences[j].first) - lastMarkEndMs - gapsSinceMark - between;
            if (later > sound + markEveryMs / 2.0)
                break;
            if (mayBeMark(j) && offPeriod(later) < offPeriod(sound))
                mark = false;
            between += msOf(silences[j].second);
        }
        if (!mark) {
            const bool leading = first == 0;
            const bool trailing = first + length == samples.size();
            if (!leading && !trailing) {
                tone.gaps.add(ms);
                gapsSinceMark += ms;
            }
            continue;
        }
        if (lastMarkEndMs >= 0) {
            const double expected = expectedFor(sound);
            if (sound < expected)
                tone.shortenedMs += expected - sound;
            else
                tone.lengthenedMs += sound - expected;
        }
        if (ms > longestMarkMs)
            tone.gaps.add(ms - markMs);
        const double endMs = msOf(first + length);
        tone.marksMs.push_back(endMs);
        lastMarkEndMs = endMs;
        gapsSinceMark = 0;
    }
    return tone;
}

void runFor(int ms) {
    (void)runUntil([] { return false; }, ms);
}

bool runUntil(const std::function<bool()> &done, int timeoutMs) {
    if (done())
        return true;
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    look.start(5);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

QAudioFormat voiceFormat() {
    QAudioFormat format;
    format.setSampleRate(sampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    return format;
}

qint64 monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Station::~Station() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.write("quit\n");
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

bool Station::start(const QString &program, const QString &folder) {
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, {QStringLiteral("--folder"), folder});
    if (!m_process.waitForStarted(10000))
        return false;
    QByteArray line;
    return waitForLine(&line, 20000) && line == "online";
}

bool Station::command(const QByteArray &command, const QByteArray &answer, QByteArray *got) {
    m_process.write(command + '\n');
    QByteArray line;
    const bool answered = waitForLine(&line, 10000);
    if (got)
        *got = line;
    return answered && line == answer;
}

bool Station::waitForLine(QByteArray *line, int timeoutMs) {
    QElapsedTimer waited;
    waited.start();
    while (m_pending.indexOf('\n') < 0) {
        if (waited.elapsed() > timeoutMs || m_process.state() == QProcess::NotRunning)
            return false;
        // The event loop keeps running, so this process's own radio works on.
        runFor(5);
        m_pending += m_process.readAllStandardOutput();
    }
    const qsizetype end = m_pending.indexOf('\n');
    *line = m_pending.left(end).trimmed();
    m_pending.remove(0, end + 1);
    return true;
}

Recorder::Recorder(const QByteArray &deviceId, const QElapsedTimer &clock)
    : m_deviceId(deviceId), m_clock(clock) {}

bool Recorder::start() {
    const QAudioDevice device = deviceById(true, m_deviceId);
    if (device.isNull())
        return false;
    m_source = std::make_unique<QAudioSource>(device, voiceFormat());
    m_input = m_source->start();
    if (!m_input)
        return false;
    connect(m_input, &QIODevice::readyRead, this, &Recorder::take);
    return true;
}

void Recorder::stop() {
    take();
    if (m_input)
        disconnect(m_input, nullptr, this, nullptr);
    m_input = nullptr;
    if (m_source)
        m_source->stop();
    m_source.reset();
}

void Recorder::take() {
    if (!m_input)
        return;
    const QByteArray bytes = m_input->readAll();
    const qsizetype count = bytes.size() / 2;
    if (count == 0)
        return;
    // The last sample of a delivery was taken just now, the others before it.
    const double nowMs = double(m_clock.nsecsElapsed()) / 1e6;
    const auto *samples = reinterpret_cast<const qint16 *>(bytes.constData());
    for (qsizetype n = 0; n < count; ++n) {
        m_samples.push_back(samples[n]);
        m_timesMs.push_back(nowMs - double(count - 1 - n) * 1000.0 / sampleRate);
    }
}

qsizetype Recorder::indexAt(double timeMs) const {
    return qsizetype(std::lower_bound(m_timesMs.begin(), m_timesMs.end(), timeMs) -
                     m_timesMs.begin());
}

qsizetype Recorder::onsetFrom(qsizetype from, int threshold) const {
    for (qsizetype n = std::max<qsizetype>(from, 0); n < qsizetype(m_samples.size()); ++n) {
        if (std::abs(int(m_samples[size_t(n)])) > threshold)
            return n;
    }
    return -1;
}

qsizetype Recorder::silenceFrom(qsizetype from, int threshold, qsizetype minSamples) const {
    qsizetype quietSince = -1;
    for (qsizetype n = std::max<qsizetype>(from, 0); n < qsizetype(m_samples.size()); ++n) {
        if (std::abs(int(m_samples[size_t(n)])) > threshold) {
            quietSince = -1;
        } else {
            if (quietSince < 0)
                quietSince = n;
            if (n - quietSince + 1 >= minSamples)
                return quietSince;
        }
    }
    return -1;
}

std::vector<qint16> Recorder::samples(qsizetype from, qsizetype to) const {
    from = std::clamp<qsizetype>(from, 0, qsizetype(m_samples.size()));
    to = std::clamp<qsizetype>(to, from, qsizetype(m_samples.size()));
    return {m_samples.begin() + from, m_samples.begin() + to};
}

TonePlayer::TonePlayer(const QByteArray &deviceId) : m_deviceId(deviceId) {
    m_feed.setInterval(5);
    connect(&m_feed, &QTimer::timeout, this, &TonePlayer::feed);
}

bool TonePlayer::play(double frequencyHz, int durationMs, int amplitude, int markEveryMs,
                      int markMs) {
    stop();
    const QAudioDevice device = deviceById(false, m_deviceId);
    if (device.isNull())
        return false;
    const int count = sampleRate * durationMs / 1000;
    m_pcm = QByteArray(count * 2, '\0');
    auto *samples = reinterpret_cast<qint16 *>(m_pcm.data());
    const int every = sampleRate * markEveryMs / 1000;
    const int mark = sampleRate * markMs / 1000;
    for (int n = 0; n < count; ++n) {
        const bool paused = every > 0 && n % every >= every - mark;
        samples[n] =
            paused ? 0 : qint16(amplitude * std::sin(2 * M_PI * frequencyHz * n / sampleRate));
    }
    m_written = 0;
    m_sink = std::make_unique<QAudioSink>(device, voiceFormat());
    m_sink->setBufferSize(sampleRate * 2 / 25);
    m_output = m_sink->start();
    if (!m_output)
        return false;
    feed();
    m_feed.start();
    return true;
}

void TonePlayer::feed() {
    if (!m_output)
        return;
    const qsizetype room = m_sink->bytesFree();
    if (room <= 0)
        return;
    if (m_written < m_pcm.size()) {
        const qint64 wrote = m_output->write(m_pcm.constData() + m_written,
                                             std::min(room, m_pcm.size() - m_written));
        if (wrote > 0)
            m_written += wrote;
    } else {
        m_output->write(QByteArray(room, '\0'));
    }
}

void TonePlayer::stop() {
    m_feed.stop();
    m_output = nullptr;
    if (m_sink)
        m_sink->stop();
    m_sink.reset();
}

double frequencyOf(const std::vector<qint16> &samples, double lowHz, double highHz) {
    // The strongest frequency of the band, in 1 Hz steps; unlike counting
    // zero crossings this does not mind the joins where the capture skipped.
    double best = 0;
    double bestPower = 0;
    for (double hz = lowHz; hz <= highHz; hz += 1) {
        const double step = 2 * M_PI * hz / sampleRate;
        double re = 0;
        double im = 0;
        for (size_t n = 0; n < samples.size(); ++n) {
            re += samples[n] * std::cos(step * double(n));
            im -= samples[n] * std::sin(step * double(n));
        }
        const double power = re * re + im * im;
        if (power > bestPower) {
            bestPower = power;
            best = hz;
        }
    }
    return best;
}

class RoughLine::Worker : public QObject {
public:
    explicit Worker(const LineShape &shape) : m_shape(shape), m_startNs(monotonicNs()) {}

    bool forward(quint16 listenPort, quint16 targetPort, bool shaped) {
        if (!m_tick) {
            m_tick = new QTimer(this);
            m_tick->setTimerType(Qt::PreciseTimer);
            m_tick->setInterval(1);
            connect(m_tick, &QTimer::timeout, this, &Worker::deliver);
            m_tick->start();
        }
        auto *server = new QTcpServer(this);
        if (!server->listen(QHostAddress::LocalHost, listenPort)) {
            delete server;
            return false;
        }
        connect(server, &QTcpServer::newConnection, this, [this, server, targetPort, shaped] {
            while (QTcpSocket *near = server->nextPendingConnection())
                accept(near, targetPort, shaped);
        });
        return true;
    }

    void shutdown() {
        for (QObject *child : children())
            delete child;
        m_pipes.clear();
        m_tick = nullptr;
    }

    std::atomic<qint64> shapedBytes{0};

private:
    struct Direction {
        QPointer<QTcpSocket> to;
        std::deque<std::pair<qint64, QByteArray>> held; // due time, bytes
        qint64 lastDueNs = 0;
        bool closeWhenEmpty = false;
    };
    struct Pipe {
        bool shaped;
        Direction up;   // to the server
        Direction down; // to the client
    };

    void accept(QTcpSocket *near, quint16 targetPort, bool shaped) {
        near->setParent(this);
        auto *far = new QTcpSocket(this);
        near->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_pipes.push_back(std::make_unique<Pipe>());
        Pipe *pipe = m_pipes.back().get();
        pipe->shaped = shaped;
        pipe->up.to = far;
        pipe->down.to = near;
        connect(far, &QTcpSocket::connected, far,
                [far] { far->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
        connect(near, &QTcpSocket::readyRead, this,
                [this, pipe, near] { take(*pipe, pipe->up, near); });
        connect(far, &QTcpSocket::readyRead, this,
                [this, pipe, far] { take(*pipe, pipe->down, far); });
        connect(near, &QTcpSocket::disconnected, this, [pipe] { pipe->up.closeWhenEmpty = true; });
        connect(far, &QTcpSocket::disconnected, this, [pipe] { pipe->down.closeWhenEmpty = true; });
        far->connectToHost(QHostAddress::LocalHost, targetPort);
        take(*pipe, pipe->up, near);
    }

    void take(Pipe &pipe, Direction &direction, QTcpSocket *from) {
        const QByteArray bytes = from->readAll();
        if (bytes.isEmpty() || !direction.to)
            return;
        if (!pipe.shaped) {
            direction.to->write(bytes);
            return;
        }
        shapedBytes += bytes.size();
        const qint64 due = dueAfter(direction.lastDueNs);
        direction.lastDueNs = due;
        direction.held.emplace_back(due, bytes);
    }

    qint64 dueAfter(qint64 lastDueNs) {
        constexpr qint64 ms = 1000000;
        qint64 due = monotonicNs() + m_shape.delayMs * ms;
        if (m_shape.jitterMs > 0)
            due += std::uniform_int_distribution<qint64>(0, m_shape.jitterMs * ms)(m_random);
        due = std::max(due, lastDueNs);
        if (m_shape.stallEveryMs > 0 && m_shape.stallMs > 0) {
            // Each period ends with its stall; what falls into it waits for its end.
            const qint64 period = m_shape.stallEveryMs * ms;
            const qint64 since = due - m_startNs;
            const qint64 periodStart = since / period * period;
            if (since - periodStart >= period - std::min(period, m_shape.stallMs * ms))
                due = m_startNs + periodStart + period;
        }
        return due;
    }

    void deliver() {
        const qint64 now = monotonicNs();
        for (const auto &pipe : m_pipes) {
            for (Direction *direction : {&pipe->up, &pipe->down}) {
                while (!direction->held.empty() && direction->held.front().first <= now) {
                    if (direction->to)
                        direction->to->write(direction->held.front().second);
                    direction->held.pop_front();
                }
                if (direction->closeWhenEmpty && direction->held.empty() && direction->to) {
                    direction->to->disconnectFromHost();
                    direction->closeWhenEmpty = false;
                }
            }
        }
    }

    LineShape m_shape;
    qint64 m_startNs;
    std::mt19937 m_random{20};
    QTimer *m_tick = nullptr;
    std::vector<std::unique_ptr<Pipe>> m_pipes;
};

RoughLine::RoughLine(const LineShape &shape) : m_thread(new QThread), m_worker(new Worker(shape)) {
    m_worker->moveToThread(m_thread);
    m_thread->start();
}

RoughLine::~RoughLine() {
    QMetaObject::invokeMethod(
        m_worker, [this] { m_worker->shutdown(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_worker;
    delete m_thread;
}

bool RoughLine::forward(quint16 listenPort, quint16 targetPort, bool shaped) {
    bool listening = false;
    QMetaObject::invokeMethod(
        m_worker, [&] { listening = m_worker->forward(listenPort, targetPort, shaped); },
        Qt::BlockingQueuedConnection);
    return listening;
}

qint64 RoughLine::shapedBytes() const {
    return m_worker->shapedBytes;
}

} // namespace air
