#include "wavecommon.h"

#include "messagewindow.h"
#include "wavedevices.h"

#include <pulse/pulseaudio.h>

#include <QDeadlineTimer>
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

pa_sample_spec sampleSpecFor(const QAudioFormat &audioFormat) {
    pa_sample_spec sampleSpec{};
    sampleSpec.rate = quint32(audioFormat.sampleRate());
    sampleSpec.channels = quint8(audioFormat.channelCount());
    sampleSpec.format =
        audioFormat.sampleFormat() == QAudioFormat::UInt8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    return sampleSpec;
}

namespace {

// The server's default sink or source as it names it now; empty when it
// does not answer within a second.
QByteArray serverDefault(bool input) {
    struct Asked {
        bool input = false;
        bool answered = false;
        QByteArray name;
    } asked;
    asked.input = input;
    pa_mainloop *loop = pa_mainloop_new();
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "Marlox");
    pa_operation *operation = nullptr;
    const QDeadlineTimer deadline(1000);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        while (!asked.answered && !deadline.hasExpired()) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state))
                break;
            if (state == PA_CONTEXT_READY && !operation)
                operation = pa_context_get_server_info(
                    context,
                    [](pa_context *, const pa_server_info *info, void *data) {
                        auto *a = static_cast<Asked *>(data);
                        const char *name = !info      ? nullptr
                                           : a->input ? info->default_source_name
                                                      : info->default_sink_name;
                        a->name = name ? QByteArray(name) : QByteArray();
                        a->answered = true;
                    },
                    &asked);
            // Waits for the server at most 10 ms at a time.
            if (pa_mainloop_prepare(loop, 10000) < 0 || pa_mainloop_poll(loop) < 0 ||
                pa_mainloop_dispatch(loop) < 0)
                break;
        }
    }
    if (operation)
        pa_operation_unref(operation);
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return asked.name;
}

} // namespace

MMRESULT pickDevice(QAudioDevice::Mode mode, int deviceId, QAudioDevice &device) {
    const bool input = mode == QAudioDevice::Input;
    const QList<QAudioDevice> devices =
        input ? QMediaDevices::audioInputs() : QMediaDevices::audioOutputs();
    if (devices.isEmpty())
        return MMSYSERR_NODRIVER;
    if (deviceId == WAVE_MAPPER) {
        // Qt 6.4 learns the server's default only when it changes while the
        // program runs, and until then takes the first device in its list:
        // the server is asked instead.
        const QByteArray name = serverDefault(input);
        for (const QAudioDevice &candidate : devices)
            if (candidate.id() == name) {
                device = candidate;
                return MMSYSERR_NOERROR;
            }
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
