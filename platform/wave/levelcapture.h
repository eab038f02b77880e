#pragma once

#include "wavedevices.h"

#include <memory>

namespace wave {

// Owns a capture device that runs for the life of its owner, and stops and
// closes it before letting go: destroying a running Qt device lets the
// audio system's teardown deliver events for a stream that is already gone.
// The owner declares it after the buffers it hands over and after anything
// those events may reach, so that it goes first.
class LevelCapture {
public:
    LevelCapture() = default;
    LevelCapture(const LevelCapture &) = delete;
    LevelCapture &operator=(const LevelCapture &) = delete;
    ~LevelCapture() {
        if (m_device) {
            m_device->reset();
            m_device->close();
        }
    }

    MMRESULT open(int deviceId, const WaveFormat &format) {
        return WaveInDevice::open(m_device, deviceId, format, 0);
    }
    explicit operator bool() const { return m_device != nullptr; }
    WaveInDevice *operator->() const { return m_device.get(); }

private:
    std::unique_ptr<WaveInDevice> m_device;
};

} // namespace wave
