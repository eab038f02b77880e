#pragma once

#include "wavetypes.h"

#include <QAudioDevice>
#include <QAudioFormat>

// Shared by the capture and playback devices; not part of the layer's interface.
namespace wave::detail {

qintptr nextDeviceHandle();

// Checks a format record and gives the PCM format the Qt device runs in.
MMRESULT audioFormatFor(const WaveFormat &format, QAudioFormat &audioFormat);

// WAVE_MAPPER is the default device, 0.. index the system's device list.
MMRESULT pickDevice(QAudioDevice::Mode mode, int deviceId, QAudioDevice &device);

void notify(qintptr window, quint32 message, qintptr device, qintptr header);

} // namespace wave::detail
