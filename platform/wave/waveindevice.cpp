#include "gsmcodec.h"
#include "messagewindow.h"
#include "wavecommon.h"
#include "wavedevices.h"

#include <QAudioSource>
#include <algorithm>
#include <array>

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
// A level capture nobody hands buffers to stops its stream after this long,
// so an idle radio is not woken for sound it drops; the next buffer starts
// it again.
constexpr int restAfterMs = 300;
} // namespace

WaveInDevice::WaveInDevice(const WaveFormat &format, qintptr callbackWindow)
    : m_handle(detail::nextDeviceHandle()), m_callbackWindow(callbackWindow), m_format(format) {
    m_pollTimer.setTimerType(Qt::PreciseTimer);
    m_pollTimer.setInterval(pollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &WaveInDevice::readAvailable);
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
    if (m_source && m_source->state() == QAudio::SuspendedState)
        m_source->resume();
    if (m_encoder && m_input)
        encodePending();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::start() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (m_input)
        return MMSYSERR_NOERROR;
    m_source = std::make_unique<QAudioSource>(m_audioDevice, m_audioFormat);
    // Qt's own buffer size is kept: with a smaller one the PulseAudio backend
    // of Qt 6.4 delivers only part of the sound.
    QIODevice *input = m_source->start();
    if (!input || m_source->error() != QAudio::NoError) {
        m_source.reset();
        return MMSYSERR_ERROR;
    }
    m_input = input;
    connect(m_input, &QIODevice::readyRead, this, &WaveInDevice::readAvailable);
    if (m_encoder)
        m_pollTimer.start();
    else if (m_queue.empty())
        m_restTimer.start();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::stop() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (m_input) {
        m_pollTimer.stop();
        m_restTimer.stop();
        readAvailable();
        disconnect(m_input, nullptr, this, nullptr);
        m_input = nullptr;
        std::unique_ptr<QAudioSource> source = std::move(m_source);
        source->stop();
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
    if (!m_input)
        return;
    std::array<char, 4096> chunk;
    for (;;) {
        const qint64 got = m_input->read(chunk.data(), qint64(chunk.size()));
        if (got <= 0)
            break;
        takeSamples(chunk.data(), got);
    }
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
    if (!m_encoder && m_queue.empty() && m_source)
        m_restTimer.start();
    detail::notify(m_callbackWindow, MM_WIM_DATA, m_handle, reinterpret_cast<qintptr>(header));
}

void WaveInDevice::rest() {
    if (m_source && m_queue.empty() && m_source->state() != QAudio::SuspendedState)
        m_source->suspend();
}

} // namespace wave
