#pragma once

#include "wavetypes.h"

#include <pulse/sample.h>

#include <QAudioDevice>
#include <QAudioFormat>

// Shared by the capture and playback devices; not part of the layer's interface.
namespace wave::detail {

qintptr nextDeviceHandle();

// Checks a format record and gives the PCM format the Qt device runs in.
MMRESULT audioFormatFor(const WaveFormat &format, QAudioFormat &audioFormat);

// The sound server's form of the PCM format a device runs in.
pa_sample_spec sampleSpecFor(const QAudioFormat &audioFormat);

// WAVE_MAPPER is the default device, 0.. index the system's device list.
MMRESULT pickDevice(QAudioDevice::Mode mode, int deviceId, QAudioDevice &device);

// What both devices check on open: the format record, the message window and
// the device, which must take the format.
MMRESULT openChecks(QAudioDevice::Mode mode, int deviceId, const WaveFormat &format,
                    qintptr callbackWindow, QAudioDevice &device, QAudioFormat &audioFormat);

// Header bookkeeping of both devices. Playback takes a header without data
// (emptyAllowed); capture needs room to record into.
MMRESULT prepareHeader(bool closed, WaveHeader *header, bool emptyAllowed);
MMRESULT unprepareHeader(bool closed, WaveHeader *header);
// Whether a header may be queued: prepared and not queued already.
MMRESULT checkQueueable(bool closed, const WaveHeader *header);

void notify(qintptr window, quint32 message, qintptr device, qintptr header);

} // namespace wave::detail
