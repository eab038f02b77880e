#pragma once

#include "messagewindow.h"
#include "wavetypes.h"

#include <QString>
#include <QtGlobal>
#include <memory>
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

// Opens the default device for an object's window; without the window the
// object would never see a buffer come back.
template <class Device>
wave::MMRESULT openDefault(std::unique_ptr<Device> &device, const wave::WaveFormat &format,
                           const HiddenWindow &window) {
    return window.handle() ? Device::open(device, wave::WAVE_MAPPER, format, window.handle())
                           : wave::MMSYSERR_INVALPARAM;
}

// Stops (a capture device), resets and closes an object's device, handing
// each failure to report. The device is not current while the audio system
// stops: notices handled meanwhile must find none, or they would queue new
// buffers. One that will not close stays current, unless a new one was opened
// from an event dispatched meanwhile.
template <class Device, class Report>
bool closeCurrent(std::unique_ptr<Device> &current, Report report) {
    if (!current)
        return false;
    std::unique_ptr<Device> device = std::move(current);
    if constexpr (requires { device->stop(); }) {
        if (const wave::MMRESULT r = device->stop())
            report(r);
    }
    if (const wave::MMRESULT r = device->reset())
        report(r);
    if (const wave::MMRESULT r = device->close()) {
        report(r);
        if (!current)
            current = std::move(device);
        return false;
    }
    return true;
}

} // namespace modWave
