#include "wavecommon.h"

#include "messagewindow.h"
#include "wavedevices.h"

#include <QMediaDevices>

namespace wave {

MMRESULT getErrorText(MMRESULT code, QString &text) {
    switch (code) {
    case MMSYSERR_NOERROR:
        text = QStringLiteral("Kein Fehler.");
        break;
    case MMSYSERR_ERROR:
        text = QStringLiteral("Unbestimmter Fehler des Audiogeräts.");
        break;
    case MMSYSERR_BADDEVICEID:
        text = QStringLiteral("Die angegebene Geräte-ID ist ungültig.");
        break;
    case MMSYSERR_ALLOCATED:
        text = QStringLiteral("Das Gerät wird bereits verwendet.");
        break;
    case MMSYSERR_INVALHANDLE:
        text = QStringLiteral("Das angegebene Gerätehandle ist ungültig.");
        break;
    case MMSYSERR_NODRIVER:
        text = QStringLiteral("Es ist kein Audiogerät vorhanden.");
        break;
    case MMSYSERR_NOMEM:
        text = QStringLiteral("Nicht genügend Speicher.");
        break;
    case MMSYSERR_BADERRNUM:
        text = QStringLiteral("Die angegebene Fehlernummer ist ungültig.");
        break;
    case MMSYSERR_INVALPARAM:
        text = QStringLiteral("Ein Parameter ist ungültig.");
        break;
    case WAVERR_BADFORMAT:
        text = QStringLiteral("Das Audioformat wird nicht unterstützt.");
        break;
    case WAVERR_STILLPLAYING:
        text = QStringLiteral("Es sind noch Puffer in der Warteschlange.");
        break;
    case WAVERR_UNPREPARED:
        text = QStringLiteral("Der Puffer ist nicht vorbereitet.");
        break;
    default:
        text.clear();
        return MMSYSERR_BADERRNUM;
    }
    return MMSYSERR_NOERROR;
}

namespace detail {

qintptr nextDeviceHandle() {
    static qintptr handle = 0x2000;
    return handle++;
}

MMRESULT audioFormatFor(const WaveFormat &format, QAudioFormat &audioFormat) {
    if (format.wFormatTag == WAVE_FORMAT_GSM610) {
        const WaveFormat voice = gsmVoiceFormat();
        // The packing depends on these; byte rate and the rest are informative.
        if (format.nChannels != voice.nChannels || format.nSamplesPerSec != voice.nSamplesPerSec ||
            format.nBlockAlign != voice.nBlockAlign || format.cbSize < 2 ||
            format.wSamplesPerBlock != voice.wSamplesPerBlock)
            return WAVERR_BADFORMAT;
        audioFormat.setSampleRate(gsmSampleRate);
        audioFormat.setChannelCount(1);
        audioFormat.setSampleFormat(QAudioFormat::Int16);
        return MMSYSERR_NOERROR;
    }
    if (format.wFormatTag == WAVE_FORMAT_PCM) {
        if (format.nChannels < 1 || format.nChannels > 2 ||
            (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) ||
            format.nSamplesPerSec < 1000 || format.nSamplesPerSec > 192000 ||
            format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8)
            return WAVERR_BADFORMAT;
        audioFormat.setSampleRate(int(format.nSamplesPerSec));
        audioFormat.setChannelCount(format.nChannels);
        audioFormat.setSampleFormat(format.wBitsPerSample == 8 ? QAudioFormat::UInt8
                                                               : QAudioFormat::Int16);
        return MMSYSERR_NOERROR;
    }
    return WAVERR_BADFORMAT;
}

MMRESULT pickDevice(QAudioDevice::Mode mode, int deviceId, QAudioDevice &device) {
    const bool input = mode == QAudioDevice::Input;
    const QList<QAudioDevice> devices =
        input ? QMediaDevices::audioInputs() : QMediaDevices::audioOutputs();
    if (devices.isEmpty())
        return MMSYSERR_NODRIVER;
    if (deviceId == WAVE_MAPPER) {
        device = input ? QMediaDevices::defaultAudioInput() : QMediaDevices::defaultAudioOutput();
        if (device.isNull())
            device = devices.first();
        return MMSYSERR_NOERROR;
    }
    if (deviceId < 0 || deviceId >= devices.size())
        return MMSYSERR_BADDEVICEID;
    device = devices.at(deviceId);
    return MMSYSERR_NOERROR;
}

MMRESULT openChecks(QAudioDevice::Mode mode, int deviceId, const WaveFormat &format,
                    qintptr callbackWindow, QAudioDevice &device, QAudioFormat &audioFormat) {
    if (const MMRESULT r = audioFormatFor(format, audioFormat))
        return r;
    if (callbackWindow && !isWindow(callbackWindow))
        return MMSYSERR_INVALPARAM;
    if (const MMRESULT r = pickDevice(mode, deviceId, device))
        return r;
    return device.isFormatSupported(audioFormat) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

MMRESULT prepareHeader(bool closed, WaveHeader *header, bool emptyAllowed) {
    if (closed)
        return MMSYSERR_INVALHANDLE;
    if (!header)
        return MMSYSERR_INVALPARAM;
    const bool usable = emptyAllowed ? header->lpData || header->dwBufferLength == 0
                                     : header->lpData && header->dwBufferLength > 0;
    if (!usable)
        return MMSYSERR_INVALPARAM;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT unprepareHeader(bool closed, WaveHeader *header) {
    if (closed)
        return MMSYSERR_INVALHANDLE;
    if (!header)
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT checkQueueable(bool closed, const WaveHeader *header) {
    if (closed)
        return MMSYSERR_INVALHANDLE;
    if (!header)
        return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    return MMSYSERR_NOERROR;
}

void notify(qintptr window, quint32 message, qintptr device, qintptr header) {
    if (window)
        postMessage(window, message, device, header);
}

} // namespace detail
} // namespace wave
