#pragma once

#include "messagewindow.h"
#include "wavetypes.h"

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

// The device's text for an error code; empty for a code it does not know.
QString errorText(wave::MMRESULT code);

// An audio object's hidden message window, its procedure put in front of the
// window's own; failures throw WaveObjectError naming errorSource.
class HiddenWindow {
public:
    HiddenWindow(const QString &title, const QString &errorSource, wave::WindowProc proc);
    ~HiddenWindow();
    HiddenWindow(const HiddenWindow &) = delete;
    HiddenWindow &operator=(const HiddenWindow &) = delete;

    qintptr handle() const { return m_hWnd; } // 0 while there is none
    // Each does nothing when it has been done already.
    void create();
    void subclass();
    // Gives the window its own procedure back, then destroys it; false without one.
    bool destroy();
    // Hands a message the object does not handle to the window's own procedure.
    qintptr forward(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam) const;

private:
    [[noreturn]] void fail(const QString &function) const;

    const QString m_Title;
    const QString m_ErrorSource;
    const wave::WindowProc m_Proc;
    wave::WindowProc m_OldWndProc = nullptr;
    qintptr m_hWnd = 0;
};

} // namespace modWave
