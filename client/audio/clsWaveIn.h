#pragma once

#include "modWave.h"
#include "wavedevices.h"

#include <QByteArray>
#include <QObject>
#include <array>
#include <memory>
#include <unordered_map>

// Records speech as GSM 06.10 blocks of 65 bytes and raises OnWaveInData for
// each. Two buffers are with the device at a time; each one that comes back
// is replaced while recording. The device's notifications arrive at a hidden
// message window and reach IncommingMessage through modWave.
//
// Use: Subclassing_Initialize once, then RecordStart / RecordStop pairs, then
// Subclassing_Terminate before deleting the object. Subclassing_* throw
// WaveObjectError when the window cannot be made or taken down.
class clsWaveIn : public QObject {
    Q_OBJECT
public:
    explicit clsWaveIn(QObject *parent = nullptr);
    ~clsWaveIn() override;

    qint32 m_BufferCount() const { return qint32(m_Buffers.size()); }
    // The hidden message window; 0 when not subclassed.
    qintptr windowHandle() const { return m_Window.handle(); }
    // The open capture device, or null.
    const wave::WaveInDevice *device() const { return m_hWaveIn.get(); }

    void Subclassing_Initialize();
    void Subclassing_Terminate();
    bool RecordStop();
    qintptr IncommingMessage(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam);

    // Opens the default input in the given format and starts recording. While
    // the device is already open this does nothing and returns true.
    bool RecordStart(const wave::WaveFormat &format);

signals:
    void OnWaveInOpen();
    void OnWaveInData(const QByteArray &Data, qint32 Length);
    void OnWaveInClose();
    void OnWaveInError(qint32 Number, const QString &Description, const QString &Source);

private:
    struct Buffer {
        wave::WaveHeader header;
        std::array<char, wave::gsmBlockBytes> data{};
    };

    bool QueueBuffer();
    void raiseDeviceError(wave::MMRESULT code);
    bool isCurrentDevice(qintptr deviceHandle) const;

    // Keyed by the header's address, which the data notification carries.
    std::unordered_map<qintptr, std::unique_ptr<Buffer>> m_Buffers;
    // Declared after the buffers, so that the device lets go of them first.
    std::unique_ptr<wave::WaveInDevice> m_hWaveIn;
    bool m_Recording = false;
    // Last, so that it goes first.
    modWave::HiddenWindow m_Window;
};
