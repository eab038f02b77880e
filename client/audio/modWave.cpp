#include "modWave.h"

#include "clsWaveIn.h"
#include "clsWaveOut.h"

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

} // namespace modWave
