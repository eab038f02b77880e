#include "gsmcodec.h"
#include "messagewindow.h"
#include "wavecommon.h"
#include "wavedevices.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <pulse/pulseaudio.h>

namespace wave {

namespace {
constexpr qsizetype gsmBlockPcmBytes = gsmBlockSamples * 2;
// Two seconds of speech wait for buffers rather than being dropped: after a
// stall of the program's thread the owner takes them as fast as it hands
// buffers back, and the relay lets that much through at once.
constexpr qsizetype maxBacklogBytes = 50 * gsmBlockPcmBytes;
// The audio server hands speech over in pieces of about this length. Short
// pieces keep the delay low; they cost nothing on the program's thread, which
// is only woken once a whole block is there. A level reading may come later.
constexpr pa_usec_t speechFragmentUs = 10000;
constexpr pa_usec_t levelFragmentUs = 40000;
// A level capture nobody hands buffers to stops its stream after this long,
// so an idle radio is not woken for sound it drops; the next buffer starts
// it again.
constexpr int restAfterMs = 300;

// One connection to the audio server for every capture of the program, with
// its own thread that takes the sound as the server delivers it.
class Connection {
public:
    static std::shared_ptr<Connection> get() {
        static std::weak_ptr<Connection> shared;
        std::shared_ptr<Connection> connection = shared.lock();
        // A server that went away is connected to afresh; the devices still
        // holding the old connection keep it until they stop.
        if (!connection || !connection->ready()) {
            connection = std::make_shared<Connection>();
            if (!connection->connect())
                return nullptr;
            shared = connection;
        }
        return connection;
    }

    ~Connection() {
        if (m_loop)
            pa_threaded_mainloop_stop(m_loop);
        if (m_context) {
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
        if (m_loop)
            pa_threaded_mainloop_free(m_loop);
    }

    pa_threaded_mainloop *loop() const { return m_loop; }
    pa_context *context() const { return m_context; }

    bool ready() const {
        pa_threaded_mainloop_lock(m_loop);
        const bool ready = pa_context_get_state(m_context) == PA_CONTEXT_READY;
        pa_threaded_mainloop_unlock(m_loop);
        return ready;
    }

private:
    bool connect() {
        m_loop = pa_threaded_mainloop_new();
        if (!m_loop)
            return false;
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Marlox");
        if (!m_context)
            return false;
        pa_context_set_state_callback(
            m_context,
            [](pa_context *, void *loop) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
            },
            m_loop);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(m_loop) < 0)
            return false;
        pa_threaded_mainloop_lock(m_loop);
        pa_context_state_t state;
        while ((state = pa_context_get_state(m_context)) != PA_CONTEXT_READY &&
               PA_CONTEXT_IS_GOOD(state))
            pa_threaded_mainloop_wait(m_loop);
        pa_threaded_mainloop_unlock(m_loop);
        return state == PA_CONTEXT_READY;
    }

    pa_threaded_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
};

} // namespace

// A record stream whose sound is collected on the connection's thread and
// taken by the device on its own. The device is woken through its event loop
// once there is something it wants; a sound it does not want (a level capture
// with no buffer waiting) is dropped as it comes.
class WaveInDevice::Stream {
public:
    Stream(std::shared_ptr<Connection> connection, WaveInDevice *owner, bool keepEverything)
        : m_connection(std::move(connection)), m_owner(owner), m_keepEverything(keepEverything),
          m_wakeBytes(keepEverything ? gsmBlockPcmBytes : 1) {}

    ~Stream() {
        if (!m_stream)
            return;
        pa_threaded_mainloop_lock(loop());
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        pa_threaded_mainloop_unlock(loop());
    }

    bool connect(const QByteArray &source, const QAudioFormat &format) {
        pa_sample_spec sampleFormat;
        sampleFormat.format =
            format.sampleFormat() == QAudioFormat::UInt8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16NE;
        sampleFormat.rate = uint32_t(format.sampleRate());
        sampleFormat.channels = uint8_t(format.channelCount());
        pa_buffer_attr attr;
        attr.maxlength = uint32_t(-1);
        attr.tlength = uint32_t(-1);
        attr.prebuf = uint32_t(-1);
        attr.minreq = uint32_t(-1);
        attr.fragsize = uint32_t(
            pa_usec_to_bytes(m_keepEverything ? speechFragmentUs : levelFragmentUs, &sampleFormat));
        pa_threaded_mainloop_lock(loop());
        m_stream = pa_stream_new(m_connection->context(), "Marlox capture", &sampleFormat, nullptr);
        bool ready = false;
        if (m_stream) {
            pa_stream_set_state_callback(
                m_stream,
                [](pa_stream *, void *loop) {
                    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
                },
                loop());
            pa_stream_set_read_callback(
                m_stream,
                [](pa_stream *stream, size_t, void *self) {
                    static_cast<Stream *>(self)->collect(stream);
                },
                this);
            if (pa_stream_connect_record(m_stream, source.isEmpty() ? nullptr : source.constData(),
                                         &attr, PA_STREAM_ADJUST_LATENCY) == 0) {
                pa_stream_state_t state;
                while ((state = pa_stream_get_state(m_stream)) != PA_STREAM_READY &&
                       PA_STREAM_IS_GOOD(state))
                    pa_threaded_mainloop_wait(loop());
                ready = state == PA_STREAM_READY;
            }
        }
        pa_threaded_mainloop_unlock(loop());
        return ready;
    }

    void setCorked(bool corked) {
        pa_threaded_mainloop_lock(loop());
        if (pa_operation *op = pa_stream_cork(m_stream, corked ? 1 : 0, nullptr, nullptr))
            pa_operation_unref(op);
        m_corked = corked;
        pa_threaded_mainloop_unlock(loop());
    }
    bool corked() const { return m_corked; }

    // Whether sound is wanted while nobody has asked for everything.
    void setWanted(bool wanted) { m_wanted.store(wanted); }

    // Everything collected since the last call.
    QByteArray take() {
        m_wakePending.store(false);
        std::lock_guard lock(m_mutex);
        return std::exchange(m_collected, QByteArray());
    }

private:
    pa_threaded_mainloop *loop() const { return m_connection->loop(); }

    // On the connection's thread.
    void collect(pa_stream *stream) {
        qsizetype collected = 0;
        {
            std::lock_guard lock(m_mutex);
            const void *data = nullptr;
            size_t size = 0;
            while (pa_stream_peek(stream, &data, &size) == 0 && size > 0) {
                if (m_keepEverything || m_wanted.load()) {
                    // A hole the server reports stands for sound that was never
                    // recorded: silence keeps what follows in its place.
                    if (data)
                        m_collected.append(static_cast<const char *>(data), qsizetype(size));
                    else
                        m_collected.append(qsizetype(size), '\0');
                }
                pa_stream_drop(stream);
            }
            if (m_collected.size() > maxBacklogBytes)
                m_collected.remove(0, m_collected.size() - maxBacklogBytes);
            collected = m_collected.size();
        }
        if (collected >= m_wakeBytes && !m_wakePending.exchange(true))
            QMetaObject::invokeMethod(m_owner, &WaveInDevice::takeCaptured, Qt::QueuedConnection);
    }

    std::shared_ptr<Connection> m_connection;
    WaveInDevice *m_owner;
    const bool m_keepEverything;
    const qsizetype m_wakeBytes;
    pa_stream *m_stream = nullptr;
    bool m_corked = false;
    std::atomic<bool> m_wanted{false};
    std::atomic<bool> m_wakePending{false};
    std::mutex m_mutex;
    QByteArray m_collected;
};

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
    if (const MMRESULT r = detail::audioFormatFor(format, audioFormat))
        return r;
    if (callbackWindow && !isWindow(callbackWindow))
        return MMSYSERR_INVALPARAM;
    QAudioDevice audioDevice;
    if (const MMRESULT r = detail::pickDevice(QAudioDevice::Input, deviceId, audioDevice))
        return r;
    if (!audioDevice.isFormatSupported(audioFormat))
        return WAVERR_BADFORMAT;

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
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!header || !header->lpData || header->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::unprepareHeader(WaveHeader *header) {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!header)
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::addBuffer(WaveHeader *header) {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!header)
        return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    if (m_encoder && header->dwBufferLength < quint32(gsmBlockBytes))
        return MMSYSERR_INVALPARAM;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    m_queue.push_back(header);
    m_restTimer.stop();
    if (m_stream) {
        m_stream->setWanted(true);
        if (m_stream->corked())
            m_stream->setCorked(false);
        if (m_encoder)
            encodePending();
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::start() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (m_stream)
        return MMSYSERR_NOERROR;
    std::shared_ptr<Connection> connection = Connection::get();
    if (!connection)
        return MMSYSERR_NODRIVER;
    auto stream = std::make_unique<Stream>(std::move(connection), this, m_encoder != nullptr);
    stream->setWanted(!m_queue.empty());
    if (!stream->connect(m_audioDevice.id(), m_audioFormat))
        return MMSYSERR_ERROR;
    m_stream = std::move(stream);
    if (!m_encoder && m_queue.empty())
        m_restTimer.start();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::stop() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (m_stream) {
        m_restTimer.stop();
        takeCaptured();
        m_stream.reset();
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

void WaveInDevice::takeCaptured() {
    if (!m_stream)
        return;
    const QByteArray captured = m_stream->take();
    takeSamples(captured.constData(), captured.size());
}

// Sound comes in pieces of any length, and after a stall of this thread
// more than the two queued buffers hold. Like a driver's own buffer, a
// backlog waits for the next buffers; beyond it the oldest sound is dropped.
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
    if (!m_encoder && m_queue.empty() && m_stream) {
        m_stream->setWanted(false);
        m_restTimer.start();
    }
    detail::notify(m_callbackWindow, MM_WIM_DATA, m_handle, reinterpret_cast<qintptr>(header));
}

void WaveInDevice::rest() {
    if (m_stream && m_queue.empty() && !m_stream->corked())
        m_stream->setCorked(true);
}

} // namespace wave
