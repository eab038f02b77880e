#pragma once

#include "modWave.h"
#include "wavedevices.h"

#include <QObject>
#include <memory>
#include <unordered_map>
#include <vector>

// Plays GSM 06.10 blocks as they are handed over, each copied into a buffer
// of its own, and raises OnWaveOutDone as each has been played. Closing the
// device is also how the loudspeaker is muted: while it is closed PlayBuffer
// refuses every block. Same message window scheme as clsWaveIn.
class clsWaveOut : public QObject {
    Q_OBJECT
public:
    // A backlog beyond this (2 s of speech) is refused rather than queued,
    // so a flood from the network cannot grow the delay or the memory.
    static constexpr qint32 maxQueuedBuffers = 50;
    static constexpr qint32 maxBufferBytes = 64 * 1024;

    explicit clsWaveOut(QObject *parent = nullptr);
    ~clsWaveOut() override;

    qint32 m_BufferCount() const { return qint32(m_Buffers.size()); }
    // The hidden message window; 0 when not subclassed.
    qintptr windowHandle() const { return m_Window.handle(); }
    // The open playback device, or null; for reading its position.
    const wave::WaveOutDevice *device() const { return m_hWaveOut.get(); }

    void Subclassing_Initialize();
    void Subclassing_Terminate();
    bool PlaybackStop();
    qintptr IncommingMessage(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam);
    // Copies Length bytes from Pointer; the caller may reuse them at once.
    bool PlayBuffer(const char *Pointer, qint32 Length);

    // Opens the default output; while it is already open this does nothing
    // and returns true.
    bool PlaybackStart(const wave::WaveFormat &format);

signals:
    void OnWaveOutOpen();
    void OnWaveOutDone(qint32 Length);
    void OnWaveOutClose();
    void OnWaveOutError(qint32 Number, const QString &Description, const QString &Source);

private:
    struct Buffer {
        wave::WaveHeader header;
        std::vector<char> data;
    };

    void raiseDeviceError(wave::MMRESULT code);
    bool isCurrentDevice(qintptr deviceHandle) const;

    std::unordered_map<qintptr, std::unique_ptr<Buffer>> m_Buffers;
    std::unique_ptr<wave::WaveOutDevice> m_hWaveOut;
    bool m_Playing = false;
    // Last, so that it goes first.
    modWave::HiddenWindow m_Window;
};
