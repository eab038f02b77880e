#include "gsmcodec.h"
#include "messagewindow.h"
#include "wavecommon.h"
#include "wavedevices.h"

#include <pulse/simple.h>

#include <QMetaObject>
#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace wave {

namespace {
constexpr qsizetype gsmBlockPcmBytes = gsmBlockSamples * 2;
// A second of sound waits for buffers rather than being dropped: the audio
// system hands over what it held after a stall all at once, and the owner
// takes it as fast as it hands buffers back.
constexpr qsizetype maxBacklogBytes = 25 * gsmBlockPcmBytes;
// The server hands sound over in pieces this long, so a 40 ms block is
// complete a few milliseconds after its last sound was spoken.
constexpr int pieceMs = 10;
// What the reading thread keeps for the application's thread: a second.
constexpr int maxKeptMs = 1000;
// A level capture nobody hands buffers to closes its stream after this long,
// so an idle radio is not woken for sound it drops; the next buffer opens it
// again.
constexpr int restAfterMs = 300;
} // namespace

// The source is read on a thread of its own, so no sound waits for the
// application's thread; what it read is kept here until that thread takes
// it. The stream belongs to the reading thread.
struct WaveInDevice::Engine {
    WaveInDevice *owner = nullptr;
    QByteArray sourceName;
    pa_sample_spec sampleSpec{};
    qsizetype pieceBytes = 0;
    qsizetype maxBytes = 0;
    std::thread thread;
    pa_simple *stream = nullptr;

    std::mutex mutex;
    std::condition_variable wake;
    // Guarded by the mutex:
    enum class Opening { pending, done, failed } opening = Opening::pending;
    QByteArray read;
    bool posted = false;
    bool resting = false;
    bool stopping = false;

    ~Engine() { finish(); }
    // Ends the reading thread; the piece being read comes in first.
    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        if (thread.joinable())
            thread.join();
    }
    bool openStream();
    void run();
    void keep(const char *data, qsizetype size);
    QByteArray take() {
        std::lock_guard<std::mutex> lock(mutex);
        posted = false;
        return std::exchange(read, QByteArray());
    }
};

bool WaveInDevice::Engine::openStream() {
    pa_buffer_attr attr;
    attr.maxlength = quint32(-1);
    attr.tlength = quint32(-1);
    attr.prebuf = quint32(-1);
    attr.minreq = quint32(-1);
    attr.fragsize = quint32(pieceBytes);
    int error = 0;
    stream = pa_simple_new(nullptr, "Marlox", PA_STREAM_RECORD,
                           sourceName.isEmpty() ? nullptr : sourceName.constData(), "Mikrofon",
                           &sampleSpec, nullptr, &attr, &error);
    return stream != nullptr;
}

void WaveInDevice::Engine::keep(const char *data, qsizetype size) {
    std::lock_guard<std::mutex> lock(mutex);
    read.append(data, size);
    if (read.size() > maxBytes)
        read.remove(0, read.size() - maxBytes);
    if (!posted) {
        posted = true;
        QMetaObject::invokeMethod(
            owner, [target = owner] { target->readAvailable(); }, Qt::QueuedConnection);
    }
}

// The reading thread: opens the stream and says so, then reads piece by
// piece until stopped. A resting capture closes its stream until it is
// wanted again. A read that fails (the server went away) ends the capture:
// it delivers nothing more, as a device pulled out would.
void WaveInDevice::Engine::run() {
    const bool opened = openStream();
    {
        std::lock_guard<std::mutex> lock(mutex);
        opening = opened ? Opening::done : Opening::failed;
    }
    wake.notify_all();
    std::vector<char> piece(static_cast<size_t>(pieceBytes));
    while (stream) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (resting) {
                lock.unlock();
                pa_simple_free(std::exchange(stream, nullptr));
                lock.lock();
                wake.wait(lock, [&] { return stopping || !resting; });
            }
            if (stopping)
                break;
        }
        if (!stream && !openStream())
            break;
        int error = 0;
        if (pa_simple_read(stream, piece.data(), piece.size(), &error) < 0)
            break;
        keep(piece.data(), pieceBytes);
    }
    if (stream)
        pa_simple_free(std::exchange(stream, nullptr));
}

WaveInDevice::WaveInDevice(const WaveFormat &format, qintptr callbackWindow)
    : m_handle(detail::nextDeviceHandle()), m_callbackWindow(callbackWindow), m_format(format) {
    m_restTimer.setSingleShot(true);
    m_restTimer.setInterval(restAfterMs);
    connect(&m_restTimer, &QTimer::timeout, this, &WaveInDevice::rest);
}

// Headers still queued belong to the owner; they are simply forgotten.
WaveInDevice::~WaveInDevice() = default;

MMRESULT WaveInDevice::open(std::unique_ptr<WaveInDevice> &device, int deviceId,
                            const WaveFormat &format, qintptr callbackWindow) {
    QAudioFormat audioFormat;
    QAudioDevice audioDevice;
    if (const MMRESULT r = detail::openChecks(QAudioDevice::Input, deviceId, format, callbackWindow,
                                              audioDevice, audioFormat))
        return r;

    std::unique_ptr<WaveInDevice> opened(new WaveInDevice(format, callbackWindow));
    opened->m_audioDevice = audioDevice;
    opened->m_audioFormat = audioFormat;
    if (format.wFormatTag == WAVE_FORMAT_GSM610)
        opened->m_encoder = std::make_unique<GsmCoder>();
    detail::notify(callbackWindow, MM_WIM_OPEN, opened->m_handle, 0);
    device = std::move(opened);
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::prepareHeader(WaveHeader *header) {
    return detail::prepareHeader(m_closed, header, false);
}

MMRESULT WaveInDevice::unprepareHeader(WaveHeader *header) {
    return detail::unprepareHeader(m_closed, header);
}

MMRESULT WaveInDevice::addBuffer(WaveHeader *header) {
    if (const MMRESULT r = detail::checkQueueable(m_closed, header))
        return r;
    if (m_encoder && header->dwBufferLength < quint32(gsmBlockBytes))
        return MMSYSERR_INVALPARAM;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    m_queue.push_back(header);
    m_restTimer.stop();
    if (m_engine) {
        bool wasResting = false;
        {
            std::lock_guard<std::mutex> lock(m_engine->mutex);
            wasResting = std::exchange(m_engine->resting, false);
        }
        // Only a resting capture thread waits for a buffer.
        if (wasResting)
            m_engine->wake.notify_all();
    }
    if (m_encoder && m_engine)
        encodePending();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::start() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (m_engine)
        return MMSYSERR_NOERROR;
    auto engine = std::make_unique<Engine>();
    engine->owner = this;
    engine->sourceName = m_audioDevice.id();
    engine->sampleSpec = detail::sampleSpecFor(m_audioFormat);
    engine->pieceBytes = qsizetype(m_audioFormat.bytesForDuration(qint64(pieceMs) * 1000));
    engine->maxBytes = qsizetype(m_audioFormat.bytesForDuration(qint64(maxKeptMs) * 1000));
    Engine *running = engine.get();
    engine->thread = std::thread([running] { running->run(); });
    {
        // The server answers in a few milliseconds; the sound from here on is kept.
        std::unique_lock<std::mutex> lock(engine->mutex);
        engine->wake.wait(lock, [&] { return engine->opening != Engine::Opening::pending; });
        if (engine->opening == Engine::Opening::failed)
            return MMSYSERR_ERROR;
    }
    m_engine = std::move(engine);
    if (!m_encoder && m_queue.empty())
        m_restTimer.start();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::stop() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (m_engine) {
        m_restTimer.stop();
        m_engine->finish();
        readAvailable();
        m_engine.reset();
    }
    m_pendingPcm.clear();
    if (!m_queue.empty() && m_queue.front()->dwBytesRecorded > 0)
        finishFront();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::reset() {
    if (const MMRESULT r = stop())
        return r;
    while (!m_queue.empty())
        finishFront();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::close() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!m_queue.empty())
        return WAVERR_STILLPLAYING;
    stop();
    m_closed = true;
    detail::notify(m_callbackWindow, MM_WIM_CLOSE, m_handle, 0);
    return MMSYSERR_NOERROR;
}

void WaveInDevice::readAvailable() {
    if (!m_engine)
        return;
    const QByteArray read = m_engine->take();
    takeSamples(read.constData(), read.size());
}

// The Qt device delivers sound in bursts of a period or more, often more than
// the two queued buffers hold. Like a driver's own buffer, a short backlog
// waits for the next buffer; beyond it the oldest sound is dropped.
void WaveInDevice::takeSamples(const char *data, qsizetype size) {
    if (!m_encoder) {
        // Level capture wants the newest sound: what finds no buffer is lost.
        while (size > 0 && !m_queue.empty()) {
            WaveHeader *header = m_queue.front();
            const qsizetype room = header->dwBufferLength - header->dwBytesRecorded;
            const qsizetype n = std::min(room, size);
            std::copy(data, data + n, header->lpData + header->dwBytesRecorded);
            header->dwBytesRecorded += quint32(n);
            data += n;
            size -= n;
            if (header->dwBytesRecorded == header->dwBufferLength)
                finishFront();
        }
        return;
    }
    m_pendingPcm.append(data, size);
    if (m_pendingPcm.size() > maxBacklogBytes)
        m_pendingPcm.remove(0, m_pendingPcm.size() - maxBacklogBytes);
    encodePending();
}

void WaveInDevice::encodePending() {
    qsizetype used = 0;
    std::array<qint16, gsmBlockSamples> samples;
    while (!m_queue.empty() && m_pendingPcm.size() - used >= gsmBlockPcmBytes) {
        WaveHeader *header = m_queue.front();
        std::copy_n(m_pendingPcm.constData() + used, gsmBlockPcmBytes,
                    reinterpret_cast<char *>(samples.data()));
        used += gsmBlockPcmBytes;
        m_encoder->encodeBlock(samples.data(),
                               reinterpret_cast<uchar *>(header->lpData + header->dwBytesRecorded));
        header->dwBytesRecorded += gsmBlockBytes;
        if (header->dwBufferLength - header->dwBytesRecorded < quint32(gsmBlockBytes))
            finishFront();
    }
    m_pendingPcm.remove(0, used);
}

void WaveInDevice::finishFront() {
    WaveHeader *header = m_queue.front();
    m_queue.pop_front();
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    if (!m_encoder && m_queue.empty() && m_engine)
        m_restTimer.start();
    detail::notify(m_callbackWindow, MM_WIM_DATA, m_handle, reinterpret_cast<qintptr>(header));
}

void WaveInDevice::rest() {
    if (m_engine && m_queue.empty()) {
        std::lock_guard<std::mutex> lock(m_engine->mutex);
        m_engine->resting = true;
    }
}

} // namespace wave
