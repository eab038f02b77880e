#include "airsupport.h"

#include <QCoreApplication>
#include <QMediaDevices>
#include <QProcess>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cmath>

namespace air {

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

QByteArray runPactl(const QStringList &arguments) {
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    process.waitForFinished(10000);
    return process.readAllStandardOutput().trimmed();
}

void moveLoudspeakerSourceLast() {
    const QList<QByteArray> lines = runPactl({"list", "short", "modules"}).split('\n');
    for (const QByteArray &line : lines) {
        if (line.contains("source_name=marlox_source"))
            runPactl({"unload-module", QString::fromLatin1(line.split('\t').first())});
    }
    runPactl({"load-module", "module-remap-source", "master=marlox_sink.monitor",
              "source_name=marlox_source", "master_channel_map=mono", "channel_map=mono"});
    runPactl({"set-default-source", "marlox_source"});
}

} // namespace

SeparateMouth::SeparateMouth() {
    m_modules << runPactl(
        {"load-module", "module-null-sink", "sink_name=marlox_mouth", "rate=8000", "channels=1"});
    m_modules << runPactl({"load-module", "module-remap-source", "master=marlox_mouth.monitor",
                           "source_name=marlox_mouth_mic", "master_channel_map=mono",
                           "channel_map=mono"});
    moveLoudspeakerSourceLast();
    (void)QTest::qWaitFor([this] { return ready(); }, 5000);
}

SeparateMouth::~SeparateMouth() {
    for (const QByteArray &module : m_modules)
        runPactl({"unload-module", QString::fromLatin1(module)});
    runPactl({"set-default-source", "marlox_source"});
}

bool SeparateMouth::ready() const {
    return QMediaDevices::defaultAudioInput().id() == "marlox_mouth_mic";
}

Gaps gapsIn(const std::vector<qint16> &samples, int threshold) {
    constexpr size_t shortest = sampleRate / 200;
    Gaps gaps;
    size_t quiet = 0;
    const auto endRun = [&] {
        if (quiet >= shortest) {
            const double ms = double(quiet) * 1000.0 / sampleRate;
            ++gaps.count;
            gaps.longerThan10Ms += ms > 10 ? 1 : 0;
            gaps.totalMs += ms;
            gaps.longestMs = std::max(gaps.longestMs, ms);
        }
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
        QTest::qWait(5);
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

bool TonePlayer::play(double frequencyHz, int durationMs, int amplitude) {
    stop();
    const QAudioDevice device = deviceById(false, m_deviceId);
    if (device.isNull())
        return false;
    const int count = sampleRate * durationMs / 1000;
    m_pcm = QByteArray(count * 2, '\0');
    auto *samples = reinterpret_cast<qint16 *>(m_pcm.data());
    for (int n = 0; n < count; ++n)
        samples[n] = qint16(amplitude * std::sin(2 * M_PI * frequencyHz * n / sampleRate));
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

} // namespace air
