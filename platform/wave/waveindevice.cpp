#include "gsmcodec.h"
#include "messagewindow.h"
#include "wavecommon.h"
#include "wavedevices.h"

#include <QAudioSource>
#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <array>
#include <mutex>
#include <utility>

namespace wave {

namespace {
constexpr qsizetype gsmBlockPcmBytes = gsmBlockSamples * 2;
// A second of sound waits for buffers rather than being dropped: the audio
// system hands over what it held after a stall all at once, and the owner
// takes it as fast as it hands buffers back.
constexpr qsizetype maxBacklogBytes = 25 * gsmBlockPcmBytes;
// Qt's PulseAudio source says data is there only every 40 ms or so, though
// the server delivers it in 10 ms pieces; asking this often takes each
// piece as it comes, so a block is complete as soon as its sound is. Only
// speech is worth the wake-ups: a level reading may come 40 ms late.
constexpr int pollIntervalMs = 4;
// What the reading thread keeps for the application's thread: a second.
constexpr int maxKeptMs = 1000;
// A level capture nobody hands buffers to stops its stream after this long,
// so an idle radio is not woken for sound it drops; the next buffer starts
// it again.
constexpr int restAfterMs = 300;
} // namespace

// The Qt source lives and is read on a thread of its own, so no sound waits
// for the application's thread; what it read is kept here until that
// thread takes it. The members after `posted` belong to the reading thread.
struct WaveInDevice::Engine {
    WaveInDevice *owner = nullptr;
    qsizetype maxBytes = 0;
    QThread thread;
    QObject *context = nullptr; // lives in the reading thread

    std::mutex mutex;
    // Guarded by the mutex:
    QByteArray read;
    bool posted = false;

    std::unique_ptr<QAudioSource> source;
    QIODevice *input = nullptr;
    QTimer *poll = nullptr;

    ~Engine() {
        if (source)
            inThread([this] { close(); });
        thread.quit();
        thread.wait();
    }
    // Runs fn in the reading thread and waits for it.
    template <typename Fn> void inThread(Fn fn) {
        QMetaObject::invokeMethod(context, fn, Qt::BlockingQueuedConnection);
    }
    // In the reading thread: polled asks the source every few milliseconds.
    bool start(const QAudioDevice &device, const QAudioFormat &format, bool polled);
    void readAll();
    void close() {
        input = nullptr;
        delete poll;
        poll = nullptr;
        source.reset();
    }
    QByteArray take() {
        std::lock_guard<std::mutex> lock(mutex);
        posted = false;
        return std::exchange(read, QByteArray());
    }
};

bool WaveInDevice::Engine::start(const QAudioDevice &device, const QAudioFormat &format,
                                 bool polled) {
    source = std::make_unique<QAudioSource>(device, format);
    // Qt's own buffer size is kept: with a smaller one the PulseAudio backend
    // of Qt 6.4 delivers only part of the sound.
    input = source->start();
    if (!input || source->error() != QAudio::NoError) {
        input = nullptr;
        source.reset();
        return false;
    }
    QObject::connect(input, &QIODevice::readyRead, context, [this] { readAll(); });
    if (polled) {
        poll = new QTimer(context);
        poll->setTimerType(Qt::PreciseTimer);
        QObject::connect(poll, &QTimer::timeout, context, [this] { readAll(); });
        poll->start(pollIntervalMs);
    }
    return true;
}

void WaveInDevice::Engine::readAll() {
    if (!input)
        return;
    std::array<char, 4096> chunk;
    std::lock_guard<std::mutex> lock(mutex);
    for (;;) {
        const qint64 got = input->read(chunk.data(), qint64(chunk.size()));
        if (got <= 0)
            break;
        read.append(chunk.data(), got);
    }
    if (read.size() > maxBytes)
        read.remove(0, read.size() - maxBytes);
    if (!posted && !read.isEmpty()) {
        posted = true;
        QMetaObject::invokeMethod(
            owner, [target = owner] { target->readAvailable(); }, Qt::QueuedConnection);
    }
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
    if (m_engine && m_resting) {
        m_resting = false;
        m_engine->inThread([engine = m_engine.get()] { engine->source->resume(); });
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
    engine->maxBytes = qsizetype(m_audioFormat.bytesForDuration(qint64(maxKeptMs) * 1000));
    engine->thread.setObjectName(QStringLiteral("capture"));
    engine->context = new QObject;
    engine->context->moveToThread(&engine->thread);
    QObject::connect(&engine->thread, &QThread::finished, engine->context, &QObject::deleteLater);
    engine->thread.start();
    bool started = false;
    engine->inThread(
        [&] { started = engine->start(m_audioDevice, m_audioFormat, m_encoder != nullptr); });
    if (!started)
        return MMSYSERR_ERROR;
    m_engine = std::move(engine);
    m_resting = false;
    if (!m_encoder && m_queue.empty())
        m_restTimer.start();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::stop() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (m_engine) {
        m_restTimer.stop();
        m_engine->inThread([engine = m_engine.get()] {
            engine->readAll();
            engine->close();
        });
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
    if (m_engine && m_queue.empty() && !m_resting) {
        m_resting = true;
        m_engine->inThread([engine = m_engine.get()] { engine->source->suspend(); });
    }
}

} // namespace wave
