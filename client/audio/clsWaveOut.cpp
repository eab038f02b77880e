#include "clsWaveOut.h"

#include "modWave.h"

namespace {
const QString errorSource = QStringLiteral("clsWaveOut");
} // namespace

clsWaveOut::clsWaveOut(QObject *parent)
    : QObject(parent),
      m_Window(QStringLiteral("WAVE_OUT_WINDOW"), errorSource, modWave::WaveOutWindowProc) {}

clsWaveOut::~clsWaveOut() {
    // The Qt device may dispatch events as it goes: the routing and the window
    // (the last member) go first, then the device, then its buffers.
    if (modWave::waveOutTarget() == this)
        modWave::SetWaveOutTarget(nullptr);
}

void clsWaveOut::Subclassing_Initialize() {
    m_Window.create();
    modWave::SetWaveOutTarget(this);
    m_Window.subclass();
}

void clsWaveOut::Subclassing_Terminate() {
    PlaybackStop();
    if (m_Window.destroy() && !m_hWaveOut)
        m_Buffers.clear();
    if (modWave::waveOutTarget() == this)
        modWave::SetWaveOutTarget(nullptr);
}

bool clsWaveOut::PlaybackStart(const wave::WaveFormat &format) {
    if (m_hWaveOut)
        return true;
    if (const wave::MMRESULT r = modWave::openDefault(m_hWaveOut, format, m_Window)) {
        raiseDeviceError(r);
        return false;
    }
    return true;
}

bool clsWaveOut::PlaybackStop() {
    return modWave::closeCurrent(m_hWaveOut, [this](wave::MMRESULT r) { raiseDeviceError(r); });
}

bool clsWaveOut::PlayBuffer(const char *Pointer, qint32 Length) {
    // Blocks that arrive while muted or transmitting are dropped, not kept.
    if (!m_hWaveOut || Length < 0 || Length > maxBufferBytes || (Length > 0 && !Pointer) ||
        m_BufferCount() >= maxQueuedBuffers)
        return false;
    auto buffer = std::make_unique<Buffer>();
    buffer->data.assign(Pointer, Pointer + Length);
    buffer->header.lpData = buffer->data.data();
    buffer->header.dwBufferLength = quint32(Length);
    wave::WaveHeader *header = &buffer->header;
    const auto key = reinterpret_cast<qintptr>(header);
    m_Buffers.emplace(key, std::move(buffer));
    if (m_hWaveOut->prepareHeader(header) == wave::MMSYSERR_NOERROR &&
        m_hWaveOut->write(header) == wave::MMSYSERR_NOERROR)
        return true;
    m_hWaveOut->unprepareHeader(header);
    m_Buffers.erase(key);
    return false;
}

qintptr clsWaveOut::IncommingMessage(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam) {
    switch (uMsg) {
    case wave::MM_WOM_OPEN:
        if (isCurrentDevice(wParam))
            m_Playing = true;
        emit OnWaveOutOpen();
        return 0;
    case wave::MM_WOM_CLOSE:
        if (!m_hWaveOut)
            m_Playing = false;
        emit OnWaveOutClose();
        return 0;
    case wave::MM_WOM_DONE: {
        const auto it = m_Buffers.find(lParam);
        if (it == m_Buffers.end() || (it->second->header.dwFlags & wave::WHDR_INQUEUE))
            return 0;
        std::unique_ptr<Buffer> buffer = std::move(it->second);
        m_Buffers.erase(it);
        if (m_hWaveOut)
            m_hWaveOut->unprepareHeader(&buffer->header);
        const qint32 length = qint32(buffer->header.dwBufferLength);
        buffer.reset();
        if (length > 0)
            emit OnWaveOutDone(length);
        return 0;
    }
    default:
        return m_Window.forward(hWnd, uMsg, wParam, lParam);
    }
}

void clsWaveOut::raiseDeviceError(wave::MMRESULT code) {
    emit OnWaveOutError(qint32(code), modWave::errorText(code), errorSource);
}

bool clsWaveOut::isCurrentDevice(qintptr deviceHandle) const {
    return m_hWaveOut && m_hWaveOut->handle() == deviceHandle;
}
