#include "modWave.h"

#include "clsWaveIn.h"
#include "clsWaveOut.h"
#include "wavedevices.h"

#include <QPointer>

WaveObjectError::WaveObjectError(qint32 number, const QString &source, const QString &description)
    : std::runtime_error(description.toStdString()), Number(number), Source(source),
      Description(description) {}

namespace modWave {

namespace {
QPointer<clsWaveIn> captureTarget;
QPointer<clsWaveOut> playbackTarget;
} // namespace

void SetWaveInTarget(clsWaveIn *target) {
    captureTarget = target;
}
void SetWaveOutTarget(clsWaveOut *target) {
    playbackTarget = target;
}
clsWaveIn *waveInTarget() {
    return captureTarget;
}
clsWaveOut *waveOutTarget() {
    return playbackTarget;
}

qintptr WaveInWindowProc(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam) {
    return captureTarget ? captureTarget->IncommingMessage(hWnd, uMsg, wParam, lParam) : 0;
}

qintptr WaveOutWindowProc(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam) {
    return playbackTarget ? playbackTarget->IncommingMessage(hWnd, uMsg, wParam, lParam) : 0;
}

QString errorText(wave::MMRESULT code) {
    QString text;
    return wave::getErrorText(code, text) == wave::MMSYSERR_NOERROR ? text : QString();
}

HiddenWindow::HiddenWindow(const QString &title, const QString &errorSource, wave::WindowProc proc)
    : m_Title(title), m_ErrorSource(errorSource), m_Proc(proc) {}

HiddenWindow::~HiddenWindow() {
    if (m_hWnd)
        wave::destroyWindow(m_hWnd);
}

void HiddenWindow::create() {
    if (m_hWnd)
        return;
    m_hWnd = wave::createMessageWindow(QStringLiteral("STATIC"), m_Title);
    if (!m_hWnd)
        fail(QStringLiteral("CreateWindowEx()"));
}

void HiddenWindow::subclass() {
    if (m_OldWndProc)
        return;
    m_OldWndProc = wave::setWindowProc(m_hWnd, m_Proc);
    if (!m_OldWndProc)
        fail(QStringLiteral("SetWindowLong()"));
}

bool HiddenWindow::destroy() {
    if (!m_hWnd)
        return false;
    if (m_OldWndProc) {
        if (!wave::setWindowProc(m_hWnd, m_OldWndProc))
            fail(QStringLiteral("SetWindowLong()"));
        m_OldWndProc = nullptr;
    }
    if (!wave::destroyWindow(m_hWnd))
        fail(QStringLiteral("DestroyWindow()"));
    m_hWnd = 0;
    return true;
}

qintptr HiddenWindow::forward(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam) const {
    return wave::callWindowProc(m_OldWndProc, hWnd, uMsg, wParam, lParam);
}

void HiddenWindow::fail(const QString &function) const {
    throw WaveObjectError(qint32(wave::lastWindowError()), m_ErrorSource,
                          QStringLiteral("Die Funktion %1 ist fehlgeschlagen.").arg(function));
}

} // namespace modWave
