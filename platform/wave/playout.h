#pragma once

#include <QtGlobal>
#include <deque>
#include <vector>

namespace wave {

// The queue between the voice blocks as they come off the line and the
// loudspeaker. It holds just enough sound to ride out the lateness of the
// blocks seen in this over, starts an over once that much is there, covers a
// block that is late with a short fade into silence, and when blocks come in
// a burst (after a stall of the line) it plays the queued speech a little
// faster until the delay is back where it belongs, so that a stall's delay is
// not carried to the end of the over.
//
// Time is given by the caller in ms of a steady clock; nothing here reads a
// clock, so the queue runs the same under test as on the device thread.
// Not thread-safe: the device guards it.
class Playout {
public:
    struct Settings {
        int sampleRate = 8000;
        int blockSamples = 320;
        // A block later than this, and the blocks that come with it, are a
        // stall of the line, not its jitter: the queue does not grow for them.
        double stallMs = 250;
        // Added to the lateness learned, for the device's pulls.
        double marginMs = 10;
        // What the device still holds when a block is due, with nothing
        // learned: the sound it keeps beyond the queue.
        double deviceSlackMs = 10;
        // Lateness that sound rides out by itself: the device covers once it
        // is down to 8 ms. A block later than this is jitter to hold for.
        double deviceRidesMs = 2;
        // Catching up starts above this much extra delay and stops below
        // catchUpStopMs; the speed is 1 + extra / catchUpMs, up to maxSpeed.
        // The same the other way when the queue has learned to hold more
        // than it has: speech is drawn out, down to minSpeed.
        double catchUpStartMs = 20;
        double catchUpStopMs = 5;
        double catchUpMs = 500;
        double maxSpeed = 1.5;
        double minSpeed = 0.85;
        // Extra delay beyond this drops whole near-silent blocks as well.
        double cutAboveMs = 700;
        int nearSilentRms = 300;
        // Nothing for this long ends the over; the next block starts a new one.
        double overEndsAfterMs = 600;
        double fadeMs = 5;
    };

    struct Totals {
        int overs = 0;
        double spedUpMs = 0;   // speech played faster than it was spoken, ms saved
        double drawnOutMs = 0; // speech played slower, ms added
        double cutMs = 0;      // near-silent blocks dropped
        double coveredMs = 0;
        int underruns = 0;
    };

    Playout();
    explicit Playout(const Settings &settings);
    Playout(const Playout &) = delete;
    Playout &operator=(const Playout &) = delete;

    // A block of samples came in at nowMs; tag comes back from pull() once
    // its sound has gone to the device (or was dropped).
    void push(const qint16 *samples, int count, qint64 tag, double nowMs);
    // Gives up to count samples for the device at nowMs, when deviceMs of
    // sound are still waiting in it, and appends the tags of the blocks used
    // up. With nothing queued it gives nothing, or with cover set (the device
    // is about to run dry) count samples that fade out into silence. 0 while
    // no over is playing: the device may rest.
    int pull(qint16 *out, int count, double nowMs, double deviceMs, bool cover,
             std::vector<qint64> &done);
    // Drops everything and forgets the over; the tags come back in done.
    void clear(std::vector<qint64> &done);

    bool playing() const { return m_state != State::Idle || !m_queue.empty(); }
    // Sound waiting, in ms, and the lateness the queue holds sound for.
    double queuedMs() const;
    double holdMs() const { return m_holdMs; }
    // How far playback is behind where it should be, in ms.
    double extraDelayMs(double nowMs) const;
    const Totals &totals() const { return m_totals; }

private:
    enum class State { Idle, Filling, Playing };
    struct Block {
        std::vector<qint16> samples;
        qint64 tag;
        qsizetype used = 0;
        bool started = false;
        double ratio = 1; // ms spoken per ms played, once hurried
    };

    double msOf(double samples) const { return samples * 1000.0 / m_settings.sampleRate; }
    void startOver(double nowMs);
    double targetLagMs() const;
    void catchUp(double nowMs, std::vector<qint64> &done);
    int take(qint16 *out, int count, std::vector<qint64> &done);
    int coverWith(qint16 *out, int count);
    int rms(const Block &block) const;

    Settings m_settings;
    State m_state = State::Idle;
    std::deque<Block> m_queue;
    double m_speed = 1;
    bool m_catchingUp = false;
    bool m_buildingUp = false;
    bool m_fadeIn = false;

    // This over: blocks come, ideally, one block length after another; the
    // earliest any came relative to that line is its base.
    qint64 m_blocksIn = 0;
    double m_baseMs = 0;
    double m_lastLatenessMs = 0;
    double m_lastPushMs = -1e9;
    double m_deviceMs = 0;
    bool m_lastWasStall = false;
    double m_holdMs = 0;        // lateness the queue holds sound for
    double m_overHoldMs = 0;    // what this over has learned; the next starts with it
    double m_spokenOutMs = 0;   // speech handed to the device, as spoken
    double m_dryMs = 0;         // how long the queue has been dry
    double m_refillFromMs = -1; // a stall ended a dry spell here; >= 0 while it refills
    qint16 m_last = 0;          // the last sample played, to fade from
    Totals m_totals;
};

} // namespace wave
