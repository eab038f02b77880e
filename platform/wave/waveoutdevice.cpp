#include "gsmcodec.h"
#include "messagewindow.h"
#include "wavecommon.h"
#include "wavedevices.h"

#include <QAudioSink>
#include <algorithm>
#include <array>
#include <vector>

namespace wave {

namespace {

constexpr int feedIntervalMs = 10;

quint32 outputVolume = 0xFFFFFFFF;

std::vector<WaveOutDevice *> &openOutputs() {
    static std::vector<WaveOutDevice *> outputs;
    return outputs;
}

} // namespace

WaveOutDevice::WaveOutDevice(const WaveFormat &format, qintptr callbackWindow)
    : m_handle(detail::nextDeviceHandle()), m_callbackWindow(callbackWindow), m_format(format) {
    m_feedTimer.setInterval(feedIntervalMs);
    connect(&m_feedTimer, &QTimer::timeout, this, &WaveOutDevice::feed);
    openOutputs().push_back(this);
}

WaveOutDevice::~WaveOutDevice() {
    auto &outputs = openOutputs();
    outputs.erase(std::remove(outputs.begin(), outputs.end(), this), outputs.end());
}

MMRESULT WaveOutDevice::open(std::unique_ptr<WaveOutDevice> &device, int deviceId,
                             const WaveFormat &format, qintptr callbackWindow) {
    QAudioFormat audioFormat;
    if (const MMRESULT r = detail::audioFormatFor(format, audioFormat))
        return r;
    if (callbackWindow && !isWindow(callbackWindow))
        return MMSYSERR_INVALPARAM;
    QAudioDevice audioDevice;
    if (const MMRESULT r = detail::pickDevice(QAudioDevice::Output, deviceId, audioDevice))
        return r;
    if (!audioDevice.isFormatSupported(audioFormat))
        return WAVERR_BADFORMAT;

    std::unique_ptr<WaveOutDevice> opened(new WaveOutDevice(format, callbackWindow));
    opened->m_audioDevice = audioDevice;
    opened->m_audioFormat = audioFormat;
    if (format.wFormatTag == WAVE_FORMAT_GSM610)
        opened->m_decoder = std::make_unique<GsmCoder>();
    detail::notify(callbackWindow, MM_WOM_OPEN, opened->m_handle, 0);
    device = std::move(opened);
    return MMSYSERR_NOERROR;
}

MMRESULT WaveOutDevice::prepareHeader(WaveHeader *header) {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!header || (!header->lpData && header->dwBufferLength > 0))
        return MMSYSERR_INVALPARAM;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveOutDevice::unprepareHeader(WaveHeader *header) {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!header)
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveOutDevice::write(WaveHeader *header) {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!header)
        return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;

    Queued entry{header, {}};
    if (m_decoder) {
        // A trailing part block cannot be decoded and is skipped.
        const qsizetype blocks = header->dwBufferLength / gsmBlockBytes;
        entry.pcm.resize(blocks * gsmBlockSamples * 2);
        std::array<qint16, gsmBlockSamples> samples;
        for (qsizetype i = 0; i < blocks; ++i) {
            m_decoder->decodeBlock(reinterpret_cast<const uchar *>(header->lpData) +
                                       i * gsmBlockBytes,
                                   samples.data());
            std::copy_n(reinterpret_cast<const char *>(samples.data()), gsmBlockSamples * 2,
                        entry.pcm.data() + i * gsmBlockSamples * 2);
        }
    } else {
        entry.pcm = QByteArray(header->lpData, header->dwBufferLength);
    }
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    m_queue.push_back(std::move(entry));
    feed();
    if (!m_queue.empty() && !m_feedTimer.isActive())
        m_feedTimer.start();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveOutDevice::reset() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    m_feedTimer.stop();
    dropSink();
    m_sinkFailed = false;
    while (!m_queue.empty())
        finishFront();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveOutDevice::close() {
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!m_queue.empty())
        return WAVERR_STILLPLAYING;
    m_feedTimer.stop();
    dropSink();
    m_closed = true;
    detail::notify(m_callbackWindow, MM_WOM_CLOSE, m_handle, 0);
    return MMSYSERR_NOERROR;
}

qint64 WaveOutDevice::playedSamples() const {
    return m_sink ? m_audioFormat.framesForDuration(m_sink->processedUSecs()) : 0;
}

// Hands queued sound to the Qt device as far as it has room; a buffer is done
// once all of it has gone there.
void WaveOutDevice::feed() {
    if (!m_sink && !m_sinkFailed && !m_queue.empty()) {
        m_sink = std::make_unique<QAudioSink>(m_audioDevice, m_audioFormat);
        // A short device buffer: what is queued here counts as not yet played.
        m_sink->setBufferSize(int(m_audioFormat.bytesForDuration(120000)));
        applyVolume();
        m_output = m_sink->start();
        if (!m_output || m_sink->error() == QAudio::OpenError) {
            m_output = nullptr;
            m_sink.reset();
            m_sinkFailed = true;
        }
    }
    while (!m_queue.empty()) {
        Queued &entry = m_queue.front();
        const qsizetype remaining = entry.pcm.size() - entry.writtenBytes;
        if (remaining > 0 && !m_sinkFailed) {
            const qsizetype room = m_sink->bytesFree();
            if (room <= 0)
                break;
            const qint64 written = m_output->write(entry.pcm.constData() + entry.writtenBytes,
                                                   std::min(room, remaining));
            if (written <= 0)
                break;
            entry.writtenBytes += written;
            if (entry.writtenBytes < entry.pcm.size())
                break;
        }
        // Without a working device the sound is dropped, but the buffer still
        // comes back so that its owner can free it.
        finishFront();
    }
    if (m_queue.empty())
        m_feedTimer.stop();
}

void WaveOutDevice::finishFront() {
    WaveHeader *header = m_queue.front().header;
    m_queue.pop_front();
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    detail::notify(m_callbackWindow, MM_WOM_DONE, m_handle, reinterpret_cast<qintptr>(header));
}

void WaveOutDevice::dropSink() {
    m_output = nullptr;
    if (std::unique_ptr<QAudioSink> sink = std::move(m_sink))
        sink->reset();
}

void WaveOutDevice::applyVolume() {
    if (m_sink && m_followsVolume)
        m_sink->setVolume(double(outputVolume & 0xFFFF) / 0xFFFF);
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

} // namespace wave
