#pragma once

#include "wavetypes.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <memory>
#include <vector>

namespace wave {

class GsmCoder;

// Capture and playback devices with the call semantics of the wave interface:
// open on a device number (WAVE_MAPPER for the default) in a format record,
// hand over prepared headers, and get each buffer back with its done flag set
// and, when a message window was given, a posted MM_WIM_* / MM_WOM_* message.
// GSM 6.10 blocks are coded here; the Qt devices run 16-bit PCM.
//
// A device keeps pointers to queued headers only; the owner keeps the memory
// until the buffer is done or the device has been reset. All calls belong to
// the application's thread. Capture and playback move their sound from and
// to the audio server on threads of their own, so a busy application thread
// does not break it up; the done notices still come on the application's
// thread.

// Text for a result code; MMSYSERR_BADERRNUM and an empty text for unknown codes.
MMRESULT getErrorText(MMRESULT code, QString &text);

class WaveInDevice : public QObject {
    Q_OBJECT
public:
    ~WaveInDevice() override;

    // callbackWindow 0: no notifications, the owner watches the done flags.
    static MMRESULT open(std::unique_ptr<WaveInDevice> &device, int deviceId,
                         const WaveFormat &format, qintptr callbackWindow);

    qintptr handle() const { return m_handle; }
    int queuedBuffers() const { return int(m_queue.size()); }
    // The audio system's name of the device this records from.
    QByteArray deviceId() const { return m_audioDevice.id(); }

    MMRESULT prepareHeader(WaveHeader *header);
    MMRESULT unprepareHeader(WaveHeader *header);
    MMRESULT addBuffer(WaveHeader *header);
    MMRESULT start();
    // Returns the buffer being filled if it holds data; empty ones stay queued.
    MMRESULT stop();
    // Stops and returns every queued buffer.
    MMRESULT reset();
    // Fails with WAVERR_STILLPLAYING while buffers are queued.
    MMRESULT close();

private:
    // The thread that reads the audio source, and what it shares with this
    // object; see waveindevice.cpp.
    struct Engine;

    WaveInDevice(const WaveFormat &format, qintptr callbackWindow);
    void readAvailable();
    void takeSamples(const char *data, qsizetype size);
    void encodePending();
    void finishFront();
    void rest();

    qintptr m_handle;
    qintptr m_callbackWindow;
    WaveFormat m_format;
    QAudioDevice m_audioDevice;
    QAudioFormat m_audioFormat;
    // Made on start and dropped on stop.
    std::unique_ptr<Engine> m_engine;
    std::unique_ptr<GsmCoder> m_encoder;
    QByteArray m_pendingPcm; // sound not yet coded into a buffer
    std::deque<WaveHeader *> m_queue;
    // A level capture without a buffer to fill pauses its stream after a while.
    QTimer m_restTimer;
    bool m_closed = false;
};

// What the playback of voice has done to the sound since the program
// started, over every device: overs started, sound sped up and cut to catch
// up after a late burst, sound made up to cover a late block, and the times
// the device ran dry in the middle of an over.
struct PlayoutTotals {
    int overs = 0;
    double spedUpMs = 0;
    double cutMs = 0;
    double coveredMs = 0;
    int underruns = 0;
    PlayoutTotals operator-(const PlayoutTotals &earlier) const {
        return {overs - earlier.overs, spedUpMs - earlier.spedUpMs, cutMs - earlier.cutMs,
                coveredMs - earlier.coveredMs, underruns - earlier.underruns};
    }
};

class WaveOutDevice : public QObject {
    Q_OBJECT
public:
    ~WaveOutDevice() override;

    static MMRESULT open(std::unique_ptr<WaveOutDevice> &device, int deviceId,
                         const WaveFormat &format, qintptr callbackWindow);

    qintptr handle() const { return m_handle; }
    int queuedBuffers() const { return int(m_queue.size()); }

    MMRESULT prepareHeader(WaveHeader *header);
    MMRESULT unprepareHeader(WaveHeader *header);
    // Queues the buffer; GSM buffers play their whole 65-byte blocks.
    MMRESULT write(WaveHeader *header);
    // Drops what is playing and returns every queued buffer unplayed.
    MMRESULT reset();
    MMRESULT close();
    // The playback position: samples the loudspeaker has sounded since the
    // device was opened or last reset.
    qint64 playedSamples() const;

    // The output volume: left channel in the low word, right in the high word,
    // 0 to 0xFFFF each. It applies to every playback device of this program.
    static MMRESULT setVolume(int deviceId, quint32 volume);
    static MMRESULT getVolume(int deviceId, quint32 &volume);
    static PlayoutTotals playoutTotals();
    // Sounds played by file keep their own level whatever the volume is.
    void setFollowsVolume(bool follows) {
        m_followsVolume = follows;
        applyVolume();
    }

private:
    // The thread that moves the sound to the audio server, and what it shares
    // with this object; see waveoutdevice.cpp.
    struct Engine;

    WaveOutDevice(const WaveFormat &format, qintptr callbackWindow);
    void finishDone(quint64 generation, const std::vector<qint64> &tags);
    void finishFront();
    void applyVolume();

    qintptr m_handle;
    qintptr m_callbackWindow;
    WaveFormat m_format;
    QAudioDevice m_audioDevice;
    QAudioFormat m_audioFormat;
    bool m_followsVolume = true;
    std::unique_ptr<GsmCoder> m_decoder;
    // Buffers written and not yet done, in order.
    std::deque<WaveHeader *> m_queue;
    // Done notices from the thread that left before a reset are stale.
    quint64 m_generation = 0;
    std::unique_ptr<Engine> m_engine;
    bool m_closed = false;
};

} // namespace wave
