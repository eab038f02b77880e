#pragma once

#include <QString>
#include <QtGlobal>
#include <stdexcept>

class clsWaveIn;
class clsWaveOut;

// Raised to the caller when an audio object's message window cannot be made,
// subclassed or destroyed.
class WaveObjectError : public std::runtime_error {
public:
    WaveObjectError(qint32 number, const QString &source, const QString &description);
    qint32 Number;
    QString Source;
    QString Description;
};

// Routes the messages of the two hidden audio windows to the object that owns
// them. One capture and one playback object receive messages at a time: the
// last to subclass its window. The targets are weak, so a deleted object is
// never called.
namespace modWave {

void SetWaveInTarget(clsWaveIn *target);
void SetWaveOutTarget(clsWaveOut *target);
clsWaveIn *waveInTarget();
clsWaveOut *waveOutTarget();

qintptr WaveInWindowProc(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam);
qintptr WaveOutWindowProc(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam);

} // namespace modWave
