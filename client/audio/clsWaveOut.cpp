#include "clsWaveOut.h"

#include "modWave.h"

namespace {
const QString errorSource = QStringLiteral("clsWaveOut");
} // namespace

clsWaveOut::clsWaveOut(QObject *parent) : QObject(parent) {}

clsWaveOut::~clsWaveOut() {
    // The Qt device may dispatch events as it goes, so the window and the
    // routing go first; then the device, before the buffers it points to.
    if (modWave::waveOutTarget() == this)
        modWave::SetWaveOutTarget(nullptr);
    if (m_hWnd)
        wave::destroyWindow(m_hWnd);
    m_hWaveOut.reset();
}

void clsWaveOut::Subclassing_Initialize() {
    if (!m_hWnd) {
        m_hWnd =
            wave::createMessageWindow(QStringLiteral("STATIC"), QStringLiteral("WAVE_OUT_WINDOW"));
        if (!m_hWnd)
            throw WaveObjectError(
                qint32(wave::lastWindowError()), errorSource,
                QStringLiteral("Die Funktion CreateWindowEx() ist fehlgeschlagen."));
    }
    modWave::SetWaveOutTarget(this);
    if (m_OldWndProc)
        return;
    m_OldWndProc = wave::setWindowProc(m_hWnd, modWave::WaveOutWindowProc);
    if (!m_OldWndProc)
        throw WaveObjectError(qint32(wave::lastWindowError()), errorSource,
                              QStringLiteral("Die Funktion SetWindowLong() ist fehlgeschlagen."));
}

void clsWaveOut::Subclassing_Terminate() {
    PlaybackStop();
    if (m_hWnd) {
        if (m_OldWndProc) {
            if (!wave::setWindowProc(m_hWnd, m_OldWndProc))
                throw WaveObjectError(
                    qint32(wave::lastWindowError()), errorSource,
                    QStringLiteral("Die Funktion SetWindowLong() ist fehlgeschlagen."));
            m_OldWndProc = nullptr;
        }
        if (!wave::destroyWindow(m_hWnd))
            throw WaveObjectError(
                qint32(wave::lastWindowError()), errorSource,
                QStringLiteral("Die Funktion DestroyWindow() ist fehlgeschlagen."));
        m_hWnd = 0;
        if (!m_hWaveOut)
            m_Buffers.clear();
    }
    if (modWave::waveOutTarget() == this)
        modWave::SetWaveOutTarget(nullptr);
}

bool clsWaveOut::PlaybackStart(const wave::WaveFormat &format) {
    if (m_hWaveOut)
        return true;
    const wave::MMRESULT r =
        m_hWnd ? wave::WaveOutDevice::open(m_hWaveOut, wave::WAVE_MAPPER, format, m_hWnd)
               : wave::MMSYSERR_INVALPARAM;
    if (r != wave::MMSYSERR_NOERROR) {
        raiseDeviceError(r);
        return false;
    }
    return true;
}

bool clsWaveOut::PlaybackStop() {
    if (!m_hWaveOut)
        return false;
    // As in clsWaveIn::RecordStop: no current device while the audio system stops.
    std::unique_ptr<wave::WaveOutDevice> device = std::move(m_hWaveOut);
    if (const wave::MMRESULT r = device->reset())
        raiseDeviceError(r);
    if (const wave::MMRESULT r = device->close()) {
        raiseDeviceError(r);
        // Unless a new device was opened from an event dispatched meanwhile.
        if (!m_hWaveOut)
            m_hWaveOut = std::move(device);
        return false;
    }
    return true;
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
        return wave::callWindowProc(m_OldWndProc, hWnd, uMsg, wParam, lParam);
    }
}

QString clsWaveOut::GetErrorText(wave::MMRESULT code) const {
    QString text;
    return wave::getErrorText(code, text) == wave::MMSYSERR_NOERROR ? text : QString();
}

void clsWaveOut::raiseDeviceError(wave::MMRESULT code) {
    emit OnWaveOutError(qint32(code), GetErrorText(code), errorSource);
}

bool clsWaveOut::isCurrentDevice(qintptr deviceHandle) const {
    return m_hWaveOut && m_hWaveOut->handle() == deviceHandle;
}
