#pragma once

#include <QtGlobal>

// Records, codes and message numbers of the wave interface the audio objects
// are written against. Their layout and values follow the multimedia interface
// of the original platform, so format records and headers read the same.

namespace wave {

using MMRESULT = quint32;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

// Device number that picks the default device.
constexpr int WAVE_MAPPER = -1;

// Notifications posted to a device's message window: wParam is the device
// handle, lParam the header address for the data and done messages.
constexpr quint32 MM_WOM_OPEN = 0x3BB;
constexpr quint32 MM_WOM_CLOSE = 0x3BC;
constexpr quint32 MM_WOM_DONE = 0x3BD;
constexpr quint32 MM_WIM_OPEN = 0x3BE;
constexpr quint32 MM_WIM_CLOSE = 0x3BF;
constexpr quint32 MM_WIM_DATA = 0x3C0;

constexpr quint16 WAVE_FORMAT_PCM = 1;
constexpr quint16 WAVE_FORMAT_GSM610 = 49;

// One GSM 06.10 block in the WAV49 packing: two 160-sample frames, 40 ms.
constexpr int gsmBlockBytes = 65;
constexpr int gsmBlockSamples = 320;
constexpr int gsmSampleRate = 8000;

// The GSM 6.10 format record with its one extra field; PCM formats leave
// cbSize at 0 and wSamplesPerBlock unused.
struct WaveFormat {
    quint16 wFormatTag = 0;
    quint16 nChannels = 0;
    quint32 nSamplesPerSec = 0;
    quint32 nAvgBytesPerSec = 0;
    quint16 nBlockAlign = 0;
    quint16 wBitsPerSample = 0;
    quint16 cbSize = 0;
    quint16 wSamplesPerBlock = 0;
};
static_assert(sizeof(WaveFormat) == 20);

// The format of the voice link: GSM 6.10, 8000 Hz mono, 65-byte blocks.
constexpr WaveFormat gsmVoiceFormat() {
    return WaveFormat{WAVE_FORMAT_GSM610, 1, 8000, 1625, 65, 0, 2, 320};
}

// Uncompressed 16-bit or 8-bit PCM with block align and byte rate derived.
constexpr WaveFormat pcmFormat(quint32 samplesPerSec, quint16 channels, quint16 bitsPerSample) {
    const quint16 blockAlign = quint16(channels * bitsPerSample / 8);
    return WaveFormat{WAVE_FORMAT_PCM,
                      channels,
                      samplesPerSec,
                      blockAlign * samplesPerSec,
                      blockAlign,
                      bitsPerSample,
                      0,
                      0};
}

constexpr quint32 WHDR_DONE = 0x01;
constexpr quint32 WHDR_PREPARED = 0x02;
constexpr quint32 WHDR_INQUEUE = 0x10;

// A buffer handed to a device. The device reads or fills lpData and keeps a
// pointer to the header while it is queued; the owner must not free either
// before the device has returned it (done flag, or after a reset).
struct WaveHeader {
    char *lpData = nullptr;
    quint32 dwBufferLength = 0;
    quint32 dwBytesRecorded = 0;
    quintptr dwUser = 0;
    quint32 dwFlags = 0;
    quint32 dwLoops = 0;
    WaveHeader *lpNext = nullptr;
    quintptr reserved = 0;
};

} // namespace wave
