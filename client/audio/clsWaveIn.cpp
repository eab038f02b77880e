#include "clsWaveIn.h"

#include "modWave.h"

namespace {
const QString errorSource = QStringLiteral("clsWaveIn");
} // namespace

clsWaveIn::clsWaveIn(QObject *parent)
    : QObject(parent),
      m_Window(QStringLiteral("WAVE_IN_WINDOW"), errorSource, modWave::WaveInWindowProc) {}

clsWaveIn::~clsWaveIn() {
    // The Qt device may dispatch events as it goes: the routing and the window
    // (the last member) go first, then the device, then its buffers.
    if (modWave::waveInTarget() == this)
        modWave::SetWaveInTarget(nullptr);
}

void clsWaveIn::Subclassing_Initialize() {
    m_Window.create();
    modWave::SetWaveInTarget(this);
    m_Window.subclass();
}

void clsWaveIn::Subclassing_Terminate() {
    RecordStop();
    // The notifications of the last buffers went with the window.
    if (m_Window.destroy() && !m_hWaveIn)
        m_Buffers.clear();
    if (modWave::waveInTarget() == this)
        modWave::SetWaveInTarget(nullptr);
}

bool clsWaveIn::RecordStart(const wave::WaveFormat &format) {
    if (m_hWaveIn)
        return true;
    if (const wave::MMRESULT r = modWave::openDefault(m_hWaveIn, format, m_Window)) {
        raiseDeviceError(r);
        return false;
    }
    QueueBuffer();
    QueueBuffer();
    if (const wave::MMRESULT started = m_hWaveIn->start()) {
        raiseDeviceError(started);
        // A device that cannot record is not left open, or the next start
        // would take it for a running one.
        RecordStop();
        return false;
    }
    return true;
}

bool clsWaveIn::RecordStop() {
    if (!m_hWaveIn)
        return false;
    m_Recording = false;
    return modWave::closeCurrent(m_hWaveIn, [this](wave::MMRESULT r) { raiseDeviceError(r); });
}

qintptr clsWaveIn::IncommingMessage(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam) {
    switch (uMsg) {
    case wave::MM_WIM_OPEN:
        // Notices of a device closed meanwhile must not restart the buffers.
        if (isCurrentDevice(wParam))
            m_Recording = true;
        emit OnWaveInOpen();
        return 0;
    case wave::MM_WIM_CLOSE:
        if (isCurrentDevice(wParam) || !m_hWaveIn)
            m_Recording = false;
        emit OnWaveInClose();
        return 0;
    case wave::MM_WIM_DATA: {
        // Only a buffer of ours that the device has let go of is touched.
        const auto it = m_Buffers.find(lParam);
        if (it == m_Buffers.end() || (it->second->header.dwFlags & wave::WHDR_INQUEUE))
            return 0;
        std::unique_ptr<Buffer> buffer = std::move(it->second);
        m_Buffers.erase(it);
        if (m_hWaveIn)
            m_hWaveIn->unprepareHeader(&buffer->header);
        const qint32 length =
            qint32(qMin(buffer->header.dwBytesRecorded, buffer->header.dwBufferLength));
        if (length > 0)
            emit OnWaveInData(QByteArray(buffer->data.data(), length), length);
        buffer.reset();
        if (m_Recording && isCurrentDevice(wParam))
            QueueBuffer();
        return 0;
    }
    default:
        return m_Window.forward(hWnd, uMsg, wParam, lParam);
    }
}

bool clsWaveIn::QueueBuffer() {
    if (!m_hWaveIn)
        return false;
    auto buffer = std::make_unique<Buffer>();
    buffer->header.lpData = buffer->data.data();
    buffer->header.dwBufferLength = wave::gsmBlockBytes;
    wave::WaveHeader *header = &buffer->header;
    const auto key = reinterpret_cast<qintptr>(header);
    m_Buffers.emplace(key, std::move(buffer));
    if (m_hWaveIn->prepareHeader(header) == wave::MMSYSERR_NOERROR &&
        m_hWaveIn->addBuffer(header) == wave::MMSYSERR_NOERROR)
        return true;
    // The device will never return a buffer it did not take.
    m_hWaveIn->unprepareHeader(header);
    m_Buffers.erase(key);
    return false;
}

void clsWaveIn::raiseDeviceError(wave::MMRESULT code) {
    emit OnWaveInError(qint32(code), modWave::errorText(code), errorSource);
}

bool clsWaveIn::isCurrentDevice(qintptr deviceHandle) const {
    return m_hWaveIn && m_hWaveIn->handle() == deviceHandle;
}
