#include "gsmcodec.h"
#include "messagewindow.h"
#include "playout.h"
#include "wavecommon.h"
#include "wavedevices.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <QMetaObject>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace wave {

namespace {

quint32 outputVolume = 0xFFFFFFFF;

std::vector<WaveOutDevice *> &openOutputs() {
    static std::vector<WaveOutDevice *> outputs;
    return outputs;
}

std::mutex totalsMutex;
PlayoutTotals playoutTotalsSoFar;

double steadyMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The audio server is kept up to this far ahead of the loudspeaker (and no
// less than a chunk below it), and a late block is covered once it has run
// down to coverBelowMs. Sound goes in pieces of chunkMs. The server holds
// the whole 40 ms only while the queue has sound for it: when a block is due
// it holds no more than the queue's lag, and only what lies above
// coverBelowMs rides out lateness (the playout's deviceRidesMs).
constexpr double voiceAheadMs = 40;
constexpr double coverBelowMs = 8;
constexpr int chunkMs = 10;
// Sound files do not mind a deeper buffer.
constexpr double fileAheadMs = 100;

// The voice stream of a closed device stays connected for the next one. An
// audio server's sink that has had no stream may sleep for up to two seconds
// before it takes sound from a new one (PulseAudio's null sink does), and the
// loudspeaker closes for every over the user speaks: the reply would come a
// second or two late. The last one goes with the process: freed while the
// process ends, it aborts inside the sound library.
struct SpareStream {
    std::mutex mutex;
    pa_simple *stream = nullptr;
    QByteArray sinkName;
    pa_sample_spec sampleSpec{};
};

SpareStream &spareStream() {
    static SpareStream spare;
    return spare;
}

bool sameSpec(const pa_sample_spec &a, const pa_sample_spec &b) {
    return a.format == b.format && a.rate == b.rate && a.channels == b.channels;
}

double aheadFromEnvironment(double ahead) {
    // A latency asked for by the environment becomes the server's start
    // threshold; the stream only starts once that much is there.
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("PULSE_LATENCY_MSEC", &ok);
    return ok && ms > 0 ? std::max(ahead, double(ms)) : ahead;
}

} // namespace

struct WaveOutDevice::Engine {
    WaveOutDevice *owner = nullptr;
    QByteArray sinkName;
    pa_sample_spec sampleSpec{};
    bool voice = false;
    int frameBytes = 2;
    double aheadMs = voiceAheadMs;

    std::mutex mutex;
    std::condition_variable wake;
    // Guarded by the mutex:
    Playout playout;
    struct Pcm {
        QByteArray bytes;
        qsizetype taken = 0;
        qint64 tag = 0;
    };
    std::deque<Pcm> files;
    quint64 generation = 0;
    bool stopping = false;
    bool flushPending = false;
    Playout::Totals reported;

    std::atomic<quint32> volume{0xFFFF};
    std::atomic<qint64> playedFrames{0};
    std::thread thread;
    pa_simple *stream = nullptr;
    bool reused = false; // the stream came from a closed device
    bool failed = false;
    qint64 writtenFrames = 0;
    double startedMs = 0;

    bool hasWork() const { return playout.playing() || !files.empty(); }
    void run();
    bool openStream();
    double bufferedMs();
    int takeFile(char *out, int maxBytes, std::vector<qint64> &done);
    void postDone(quint64 gen, std::vector<qint64> &done);
    void addTotals();
    void write(char *data, int bytes);
};

bool WaveOutDevice::Engine::openStream() {
    if (stream || failed)
        return stream != nullptr;
    if (voice) {
        SpareStream &spare = spareStream();
        std::lock_guard<std::mutex> lock(spare.mutex);
        if (spare.stream &&
            (spare.sinkName != sinkName || !sameSpec(spare.sampleSpec, sampleSpec))) {
            pa_simple_free(spare.stream);
            spare.stream = nullptr;
        }
        stream = std::exchange(spare.stream, nullptr);
        reused = stream != nullptr;
        if (reused)
            return true;
    }
    const int rate = int(sampleSpec.rate);
    const auto bytesFor = [&](double ms) {
        return quint32(ms * rate / 1000) * quint32(frameBytes);
    };
    pa_buffer_attr attr;
    attr.maxlength = quint32(-1);
    attr.tlength = bytesFor(aheadMs + 2 * chunkMs);
    attr.prebuf = bytesFor(chunkMs);
    attr.minreq = quint32(-1);
    attr.fragsize = quint32(-1);
    int error = 0;
    stream = pa_simple_new(nullptr, "Marlox", PA_STREAM_PLAYBACK,
                           sinkName.isEmpty() ? nullptr : sinkName.constData(),
                           voice ? "Sprechfunk" : "Klang", &sampleSpec, nullptr, &attr, &error);
    failed = stream == nullptr;
    return !failed;
}

// What the server still holds, in ms until the last sound written is heard.
// Counted from what went in and how long it has been playing, this runs
// about 10 ms high on a desktop's sound server, whose sink renders ahead and
// takes sound in pieces of its own: a late block found the stream dry while
// that count still said 14 ms. The latency the server reports is the truth,
// but it stands still while the stream is dry, and the stream only plays
// again once written to: the lower of the two is taken.
double WaveOutDevice::Engine::bufferedMs() {
    const double now = steadyMs();
    const double writtenMs = double(writtenFrames) * 1000.0 / sampleSpec.rate;
    double buffered = writtenMs - (now - startedMs);
    if (buffered < 0) {
        // It ran dry (between overs): it starts again with the next write.
        startedMs = now - writtenMs;
        buffered = 0;
    }
    int error = 0;
    const pa_usec_t reported = pa_simple_get_latency(stream, &error);
    if (reported != pa_usec_t(-1))
        buffered = std::min(buffered, double(reported) / 1000.0);
    playedFrames = writtenFrames - qint64(buffered * sampleSpec.rate / 1000.0);
    return buffered;
}

void WaveOutDevice::Engine::write(char *data, int bytes) {
    const quint32 level = volume;
    if (level < 0xFFFF && sampleSpec.format == PA_SAMPLE_S16LE) {
        auto *samples = reinterpret_cast<qint16 *>(data);
        for (int i = 0; i < bytes / 2; ++i)
            samples[i] = qint16(qint32(samples[i]) * qint32(level) / 0xFFFF);
    } else if (level < 0xFFFF) {
        auto *samples = reinterpret_cast<quint8 *>(data);
        for (int i = 0; i < bytes; ++i)
            samples[i] = quint8(128 + (qint32(samples[i]) - 128) * qint32(level) / 0xFFFF);
    }
    int error = 0;
    if (pa_simple_write(stream, data, size_t(bytes), &error) == 0) {
        writtenFrames += bytes / frameBytes;
        return;
    }
    // The server went away or dropped the stream: like a device that could
    // not be opened, this one plays nothing more until it is reset. A stream
    // kept from an earlier device may have gone with a server since
    // restarted: a new one is tried first.
    pa_simple_free(stream);
    stream = nullptr;
    failed = !reused;
    reused = false;
}

int WaveOutDevice::Engine::takeFile(char *out, int maxBytes, std::vector<qint64> &done) {
    int got = 0;
    while (got < maxBytes && !files.empty()) {
        Pcm &front = files.front();
        const int n = int(std::min<qsizetype>(maxBytes - got, front.bytes.size() - front.taken));
        std::copy_n(front.bytes.constData() + front.taken, n, out + got);
        front.taken += n;
        got += n;
        if (front.taken >= front.bytes.size()) {
            done.push_back(front.tag);
            files.pop_front();
        }
    }
    return got - got % frameBytes;
}

void WaveOutDevice::Engine::postDone(quint64 gen, std::vector<qint64> &done) {
    if (done.empty())
        return;
    QMetaObject::invokeMethod(
        owner, [target = owner, gen, tags = std::move(done)] { target->finishDone(gen, tags); },
        Qt::QueuedConnection);
    done.clear();
}

void WaveOutDevice::Engine::addTotals() {
    const Playout::Totals &now = playout.totals();
    std::lock_guard<std::mutex> lock(totalsMutex);
    playoutTotalsSoFar.overs += now.overs - reported.overs;
    playoutTotalsSoFar.spedUpMs += now.spedUpMs - reported.spedUpMs;
    playoutTotalsSoFar.cutMs += now.cutMs - reported.cutMs;
    playoutTotalsSoFar.coveredMs += now.coveredMs - reported.coveredMs;
    playoutTotalsSoFar.underruns += now.underruns - reported.underruns;
    reported = now;
}

// The device thread: keeps the audio server aheadMs ahead of the loudspeaker
// from the playout queue, covers a late block just before the server runs
// dry, and rests while nothing plays.
void WaveOutDevice::Engine::run() {
    const int chunkFrames = int(sampleSpec.rate) * chunkMs / 1000;
    std::vector<char> chunk(size_t(chunkFrames * frameBytes));
    std::vector<qint64> done;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return stopping || flushPending || hasWork(); });
        if (stopping)
            break;
        if (flushPending) {
            lock.unlock();
            if (stream) {
                int error = 0;
                if (pa_simple_flush(stream, &error) < 0) {
                    pa_simple_free(stream);
                    stream = nullptr;
                }
            }
            // A reset gives a device that failed another try.
            failed = false;
            writtenFrames = 0;
            startedMs = steadyMs();
            playedFrames = 0;
            lock.lock();
            flushPending = false;
            wake.notify_all();
            continue;
        }
        const quint64 gen = generation;
        if (!stream) {
            lock.unlock();
            const bool opened = openStream();
            lock.lock();
            if (!opened) {
                // Without a working device the sound is dropped, but the
                // buffers still come back so that their owner can free them.
                playout.clear(done);
                while (!files.empty()) {
                    done.push_back(files.front().tag);
                    files.pop_front();
                }
                postDone(gen, done);
                continue;
            }
        }
        // Asking the server may wait for it: the window thread must not.
        lock.unlock();
        const double buffered = bufferedMs();
        lock.lock();
        if (stopping || flushPending || gen != generation)
            continue;
        if (buffered + chunkMs > aheadMs) {
            wake.wait_for(lock, std::chrono::milliseconds(2));
            continue;
        }
        int bytes = 0;
        if (voice) {
            bytes = 2 * playout.pull(reinterpret_cast<qint16 *>(chunk.data()), chunkFrames,
                                     steadyMs(), buffered, buffered < coverBelowMs, done);
            addTotals();
        } else {
            bytes = takeFile(chunk.data(), int(chunk.size()), done);
        }
        postDone(gen, done);
        if (bytes <= 0) {
            // Nothing to give yet: look again shortly, or as soon as a block comes.
            wake.wait_for(lock, std::chrono::milliseconds(2));
            continue;
        }
        lock.unlock();
        write(chunk.data(), bytes);
        lock.lock();
    }
    lock.unlock();
    if (stream && voice) {
        SpareStream &spare = spareStream();
        std::lock_guard<std::mutex> spareLock(spare.mutex);
        if (spare.stream)
            pa_simple_free(spare.stream);
        spare.stream = stream;
        spare.sinkName = sinkName;
        spare.sampleSpec = sampleSpec;
    } else if (stream) {
        pa_simple_free(stream);
    }
    stream = nullptr;
}

WaveOutDevice::WaveOutDevice(const WaveFormat &format, qintptr callbackWindow)
    : m_handle(detail::nextDeviceHandle()), m_callbackWindow(callbackWindow), m_format(format) {
    openOutputs().push_back(this);
}

WaveOutDevice::~WaveOutDevice() {
    auto &outputs = openOutputs();
    outputs.erase(std::remove(outputs.begin(), outputs.end(), this), outputs.end());
    if (m_engine) {
        {
            std::lock_guard<std::mutex> lock(m_engine->mutex);
            m_engine->stopping = true;
        }
        m_engine->wake.notify_all();
        m_engine->thread.join();
    }
}

MMRESULT WaveOutDevice::open(std::unique_ptr<WaveOutDevice> &device, int deviceId,
                             const WaveFormat &format, qintptr callbackWindow) {
    QAudioFormat audioFormat;
    QAudioDevice audioDevice;
    if (const MMRESULT r = detail::openChecks(QAudioDevice::Output, deviceId, format,
                                              callbackWindow, audioDevice, audioFormat))
        return r;

    std::unique_ptr<WaveOutDevice> opened(new WaveOutDevice(format, callbackWindow));
    opened->m_audioDevice = audioDevice;
    opened->m_audioFormat = audioFormat;
    if (format.wFormatTag == WAVE_FORMAT_GSM610)
        opened->m_decoder = std::make_unique<GsmCoder>();
    auto engine = std::make_unique<Engine>();
    engine->owner = opened.get();
    engine->sinkName = audioDevice.id();
    engine->voice = format.wFormatTag == WAVE_FORMAT_GSM610;
    engine->sampleSpec = detail::sampleSpecFor(audioFormat);
    engine->frameBytes = audioFormat.bytesPerFrame();
    engine->aheadMs = aheadFromEnvironment(engine->voice ? voiceAheadMs : fileAheadMs);
    Engine *running = engine.get();
    engine->thread = std::thread([running] { running->run(); });
    opened->m_engine = std::move(engine);
    opened->applyVolume();
    detail::notify(callbackWindow, MM_WOM_OPEN, opened->m_handle, 0);
    device = std::move(opened);
    return MMSYSERR_NOERROR;
}

MMRESULT WaveOutDevice::prepareHeader(WaveHeader *header) {
    return detail::prepareHeader(m_closed, header, true);
}

MMRESULT WaveOutDevice::unprepareHeader(WaveHeader *header) {
    return detail::unprepareHeader(m_closed, header);
}

MMRESULT WaveOutDevice::write(WaveHeader *header) {
    if (const MMRESULT r = detail::checkQueueable(m_closed, header))
        return r;

    QByteArray pcm;
    if (m_decoder) {
        // A trailing part block cannot be decoded and is skipped.
        const qsizetype blocks = header->dwBufferLength / gsmBlockBytes;
        pcm.resize(blocks * gsmBlockSamples * 2);
        std::array<qint16, gsmBlockSamples> samples;
        for (qsizetype i = 0; i < blocks; ++i) {
            m_decoder->decodeBlock(reinterpret_cast<const uchar *>(header->lpData) +
                                       i * gsmBlockBytes,
                                   samples.data());
            std::copy_n(reinterpret_cast<const char *>(samples.data()), gsmBlockSamples * 2,
                        pcm.data() + i * gsmBlockSamples * 2);
        }
    } else {
        pcm = QByteArray(header->lpData, header->dwBufferLength);
    }
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    m_queue.push_back(header);
    const auto tag = reinterpret_cast<qint64>(header);
    {
        std::lock_guard<std::mutex> lock(m_engine->mutex);
        if (m_decoder)
            m_engine->playout.push(reinterpret_cast<const qint16 *>(pcm.constData()),
                                   int(pcm.size() / 2), tag, steadyMs());
        else
            m_engine->files.push_back({pcm, 0, tag});
    }
    m_engine->wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveOutDevice::reset() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    {
        std::unique_lock<std::mutex> lock(m_engine->mutex);
        std::vector<qint64> dropped;
        m_engine->playout.clear(dropped);
        m_engine->files.clear();
        ++m_engine->generation;
        m_engine->flushPending = true;
        m_engine->wake.notify_all();
        // What the server still holds goes too.
        m_engine->wake.wait_for(lock, std::chrono::seconds(2),
                                [&] { return !m_engine->flushPending; });
    }
    ++m_generation;
    while (!m_queue.empty())
        finishFront();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveOutDevice::close() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!m_queue.empty())
        return WAVERR_STILLPLAYING;
    {
        std::lock_guard<std::mutex> lock(m_engine->mutex);
        m_engine->stopping = true;
    }
    m_engine->wake.notify_all();
    m_engine->thread.join();
    m_engine.reset();
    m_closed = true;
    detail::notify(m_callbackWindow, MM_WOM_CLOSE, m_handle, 0);
    return MMSYSERR_NOERROR;
}

qint64 WaveOutDevice::playedSamples() const {
    return m_engine ? m_engine->playedFrames.load() : 0;
}

void WaveOutDevice::finishDone(quint64 generation, const std::vector<qint64> &tags) {
    if (generation != m_generation)
        return;
    for (qint64 tag : tags) {
        const auto it =
            std::find(m_queue.begin(), m_queue.end(), reinterpret_cast<WaveHeader *>(tag));
        if (it == m_queue.end())
            continue;
        // Buffers are done in the order they were written.
        while (m_queue.front() != *it)
            finishFront();
        finishFront();
    }
}

void WaveOutDevice::finishFront() {
    WaveHeader *header = m_queue.front();
    m_queue.pop_front();
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    detail::notify(m_callbackWindow, MM_WOM_DONE, m_handle, reinterpret_cast<qintptr>(header));
}

void WaveOutDevice::applyVolume() {
    if (m_engine)
        m_engine->volume = m_followsVolume ? (outputVolume & 0xFFFF) : 0xFFFF;
}

MMRESULT WaveOutDevice::setVolume(int deviceId, quint32 volume) {
    QAudioDevice device;
    if (const MMRESULT r = detail::pickDevice(QAudioDevice::Output, deviceId, device))
        return r;
    outputVolume = volume;
    for (WaveOutDevice *output : openOutputs())
        output->applyVolume();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveOutDevice::getVolume(int deviceId, quint32 &volume) {
    QAudioDevice device;
    if (const MMRESULT r = detail::pickDevice(QAudioDevice::Output, deviceId, device))
        return r;
    volume = outputVolume;
    return MMSYSERR_NOERROR;
}

PlayoutTotals WaveOutDevice::playoutTotals() {
    std::lock_guard<std::mutex> lock(totalsMutex);
    return playoutTotalsSoFar;
}

} // namespace wave
