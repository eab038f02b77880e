#include "playout.h"

#include <sonic.h>

#include <algorithm>
#include <cmath>

namespace wave {

Playout::Playout() : Playout(Settings()) {}

Playout::Playout(const Settings &settings) : m_settings(settings) {}

double Playout::queuedMs() const {
    double samples = 0;
    for (const Block &block : m_queue)
        samples += double(block.samples.size() - block.used) * block.ratio;
    return msOf(samples);
}

double Playout::extraDelayMs(double nowMs) const {
    // How long after its ideal arrival the speech now handed out will be
    // heard, against what the learned lateness calls for.
    return nowMs + m_deviceMs - m_baseMs - m_spokenOutMs - targetLagMs();
}

double Playout::targetLagMs() const {
    return m_holdMs + m_settings.deviceSlackMs;
}

void Playout::startOver(double nowMs) {
    // An over starts with the lateness the last one learned: the line is
    // likely still the same, but a hiccup of an over long past is forgotten.
    m_holdMs = m_overHoldMs;
    m_overHoldMs = 0;
    m_lastLatenessMs = 0;
    m_state = State::Filling;
    m_blocksIn = 0;
    m_baseMs = nowMs;
    m_lastWasStall = false;
    m_spokenOutMs = 0;
    m_dryMs = 0;
    m_refillFromMs = -1;
    m_speed = 1;
    m_catchingUp = false;
    m_buildingUp = false;
    m_fadeIn = false;
    m_last = 0;
    ++m_totals.overs;
}

void Playout::push(const qint16 *samples, int count, qint64 tag, double nowMs) {
    if (m_state == State::Idle)
        startOver(nowMs);
    const double blockMs = msOf(m_settings.blockSamples);
    // Where this block lies against the ideal line of the over.
    const double offsetMs = nowMs - double(m_blocksIn) * blockMs;
    const double latenessMs = offsetMs - m_baseMs;
    // What a stall held back comes all at once, each block a block length
    // less late than the one before: those are the stall's, not the line's
    // jitter, however the reading of the socket spread them out.
    const bool burst = nowMs - m_lastPushMs < 3 || latenessMs < m_lastLatenessMs - blockMs / 2;
    bool stall = m_blocksIn > 0 && (latenessMs > m_settings.stallMs || (m_lastWasStall && burst));
    m_lastLatenessMs = latenessMs;
    if (m_lastWasStall && !burst && latenessMs > m_settings.stallMs) {
        // As late as the block before and not in a burst: no stall held
        // these back, the talker paused (or keyed again at once). The line
        // goes on from here, and its jitter is learned again.
        m_baseMs = offsetMs;
        m_lastLatenessMs = 0;
        stall = false;
    }
    if (!stall) {
        // Each block against the earliest seen before it: a backlog the
        // talker sends at the start of an over moves the line earlier, but
        // does not make the first block count as late.
        m_baseMs = std::min(m_baseMs, offsetMs);
        const double lateness = offsetMs - m_baseMs;
        const double learned = lateness <= m_settings.deviceRidesMs
                                   ? 0
                                   : lateness + m_settings.marginMs - m_settings.deviceRidesMs;
        m_overHoldMs = std::max(m_overHoldMs, learned);
        m_holdMs = std::max(m_holdMs, learned);
    }
    m_lastWasStall = stall;
    // A stall's first block often comes alone, the rest a little after it:
    // played at once, it would be a fragment of speech between two gaps.
    if (stall && m_dryMs > 0 && m_refillFromMs < 0)
        m_refillFromMs = nowMs;
    m_lastPushMs = nowMs;
    m_blocksIn += std::max(1, (count + m_settings.blockSamples - 1) / m_settings.blockSamples);
    m_queue.push_back({std::vector<qint16>(samples, samples + count), tag});
}

int Playout::rms(const Block &block) const {
    if (block.samples.empty())
        return 0;
    double sum = 0;
    for (qint16 s : block.samples)
        sum += double(s) * s;
    return int(std::sqrt(sum / double(block.samples.size())));
}

void Playout::catchUp(double nowMs, std::vector<qint64> &done) {
    const double extra = extraDelayMs(nowMs);
    // The reckoning of the delay drifts when the talker's blocks come at
    // another pace than the loudspeaker's; the sound actually waiting decides
    // whether there is anything to catch up on or to build up.
    const double waiting = queuedMs() + m_deviceMs;
    const double blockMs = msOf(m_settings.blockSamples);
    const bool piledUp = waiting > m_holdMs + m_settings.deviceSlackMs + blockMs;
    const bool short_ = waiting < m_holdMs + blockMs;
    if (!m_catchingUp && extra > m_settings.catchUpStartMs && piledUp)
        m_catchingUp = true;
    else if (m_catchingUp && (extra < m_settings.catchUpStopMs || !piledUp))
        m_catchingUp = false;
    if (!m_buildingUp && extra < -m_settings.catchUpStartMs && short_)
        m_buildingUp = true;
    else if (m_buildingUp && (extra > -m_settings.catchUpStopMs || !short_))
        m_buildingUp = false;
    // Far behind, with that much sound really waiting: near-silent blocks go
    // first, whole, before speech is hurried. A drifted reckoning alone cuts
    // nothing.
    const double farBehindMs = std::min(extra, waiting - m_holdMs);
    if (farBehindMs > m_settings.cutAboveMs) {
        double cut = 0;
        for (auto it = m_queue.begin();
             it != m_queue.end() && farBehindMs - cut > m_settings.cutAboveMs;) {
            if (it->used == 0 && rms(*it) < m_settings.nearSilentRms) {
                cut += msOf(double(it->samples.size()));
                done.push_back(it->tag);
                it = m_queue.erase(it);
            } else {
                ++it;
            }
        }
        m_spokenOutMs += cut;
        m_totals.cutMs += cut;
    }
    const double behind = extraDelayMs(nowMs);
    double speed = 1;
    if (m_catchingUp)
        speed = std::min(m_settings.maxSpeed, 1 + std::max(0.0, behind) / m_settings.catchUpMs);
    else if (m_buildingUp)
        speed = std::max(m_settings.minSpeed, 1 + std::min(0.0, behind) / m_settings.catchUpMs);
    m_speed = speed;
}

int Playout::take(qint16 *out, int count, std::vector<qint64> &done) {
    int got = 0;
    while (got < count && !m_queue.empty()) {
        Block &block = m_queue.front();
        if (!block.started) {
            // A block is hurried or drawn out as a whole as it starts: the
            // time stretcher takes out or repeats whole pitch periods, so the
            // voice keeps its pitch.
            block.started = true;
            const int n = int(block.samples.size());
            if (std::abs(m_speed - 1) > 0.001 && n >= m_settings.blockSamples / 2) {
                // The stretcher writes its result over its input: room for
                // a drawn-out block.
                block.samples.resize(size_t(n) * 2 + 256);
                const int left = sonicChangeShortSpeed(block.samples.data(), n, float(m_speed), 1,
                                                       1, 1, 0, m_settings.sampleRate, 1);
                const int kept = left > 0 ? left : n;
                block.samples.resize(size_t(kept));
                block.ratio = double(n) / kept;
                if (kept < n)
                    m_totals.spedUpMs += msOf(n - kept);
                else
                    m_totals.drawnOutMs += msOf(kept - n);
            }
        }
        const int n =
            int(std::min<qsizetype>(count - got, qsizetype(block.samples.size()) - block.used));
        std::copy_n(block.samples.data() + block.used, n, out + got);
        block.used += n;
        got += n;
        m_spokenOutMs += msOf(n) * block.ratio;
        if (block.used >= qsizetype(block.samples.size())) {
            done.push_back(block.tag);
            m_queue.pop_front();
        }
    }
    return got;
}

int Playout::pull(qint16 *out, int count, double nowMs, double deviceMs, bool cover,
                  std::vector<qint64> &done) {
    m_deviceMs = deviceMs;
    if (m_state == State::Idle || count <= 0)
        return 0;
    if (m_state == State::Filling) {
        // The over starts once the first block is as late as the queue is
        // to allow for.
        if (m_queue.empty() || nowMs - m_baseMs < targetLagMs())
            return 0;
        m_state = State::Playing;
    }
    // After a stall the sound resumes once more than that first block is
    // queued, or once it has waited two blocks' time beyond the lag the
    // queue keeps: the stall has cost far more, and catching up takes the
    // wait back.
    const double blockMs = msOf(m_settings.blockSamples);
    if (m_refillFromMs >= 0 && queuedMs() < targetLagMs() + blockMs &&
        nowMs - m_refillFromMs < targetLagMs() + 2 * blockMs)
        return cover ? coverWith(out, count) : 0;
    m_refillFromMs = -1;
    catchUp(nowMs, done);
    int got = take(out, count, done);
    if (got > 0) {
        if (m_fadeIn) {
            const int fade = std::min(got, int(m_settings.fadeMs * m_settings.sampleRate / 1000));
            for (int i = 0; i < fade; ++i)
                out[i] = qint16(out[i] * (i + 1) / (fade + 1));
            m_fadeIn = false;
        }
        m_last = out[got - 1];
        m_dryMs = 0;
        return got;
    }
    return cover ? coverWith(out, count) : 0;
}

int Playout::coverWith(qint16 *out, int count) {
    // Late: a short fade from where the sound stopped, then silence.
    if (m_dryMs == 0)
        ++m_totals.underruns;
    const int fade = int(m_settings.fadeMs * m_settings.sampleRate / 1000);
    for (int i = 0; i < count; ++i) {
        const int left = fade - i;
        out[i] = left > 0 ? qint16(m_last * left / (fade + 1)) : qint16(0);
    }
    m_last = 0;
    m_fadeIn = true;
    m_dryMs += msOf(count);
    m_totals.coveredMs += msOf(count);
    if (m_dryMs >= m_settings.overEndsAfterMs && m_queue.empty()) {
        // Nothing came for so long: the over has ended. What was covered
        // after the last block was no lateness.
        m_totals.coveredMs -= m_dryMs;
        --m_totals.underruns;
        m_state = State::Idle;
    }
    return count;
}

void Playout::clear(std::vector<qint64> &done) {
    for (const Block &block : m_queue)
        done.push_back(block.tag);
    m_queue.clear();
    m_state = State::Idle;
}

} // namespace wave
