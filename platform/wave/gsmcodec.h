#pragma once

#include <QtGlobal>
#include <memory>

struct gsm_state;

namespace wave {

// GSM 06.10 full rate in the WAV49 packing: 320 samples to 65 bytes and back.
// libgsm alternates between the two frame halves of a block inside its state,
// so each direction needs its own coder and every call handles a whole block.
class GsmCoder {
public:
    GsmCoder();
    ~GsmCoder();
    GsmCoder(const GsmCoder &) = delete;
    GsmCoder &operator=(const GsmCoder &) = delete;

    // samples: 320 values; block: 65 bytes.
    void encodeBlock(const qint16 *samples, uchar *block);
    // Any 65 bytes decode to some sound; garbage gives noise, never a fault.
    void decodeBlock(const uchar *block, qint16 *samples);

private:
    struct Deleter {
        void operator()(gsm_state *state) const;
    };
    std::unique_ptr<gsm_state, Deleter> m_state;
};

} // namespace wave
