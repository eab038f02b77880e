#include "gsmcodec.h"

#include "wavetypes.h"

#include <algorithm>
#include <array>
#include <gsm.h>
#include <new>

namespace wave {

void GsmCoder::Deleter::operator()(gsm_state *state) const {
    gsm_destroy(state);
}

GsmCoder::GsmCoder() : m_state(gsm_create()) {
    if (!m_state)
        throw std::bad_alloc();
    int on = 1;
    gsm_option(m_state.get(), GSM_OPT_WAV49, &on);
}

GsmCoder::~GsmCoder() = default;

// The first frame of a block is written in 32 bytes and half a byte that the
// second frame's 33 bytes complete; reading takes 33 bytes first, then 32.
void GsmCoder::encodeBlock(const qint16 *samples, uchar *block) {
    // libgsm takes its input unqualified, so it gets a copy.
    std::array<gsm_signal, gsmBlockSamples> in;
    std::copy(samples, samples + gsmBlockSamples, in.begin());
    gsm_encode(m_state.get(), in.data(), block);
    gsm_encode(m_state.get(), in.data() + gsmBlockSamples / 2, block + 32);
}

void GsmCoder::decodeBlock(const uchar *block, qint16 *samples) {
    auto *in = const_cast<gsm_byte *>(block);
    static_assert(sizeof(gsm_signal) == sizeof(qint16));
    auto *out = reinterpret_cast<gsm_signal *>(samples);
    gsm_decode(m_state.get(), in, out);
    gsm_decode(m_state.get(), in + 33, out + gsmBlockSamples / 2);
}

} // namespace wave
