#include "protocol/Cipher.h"

#include <utility>

void CipherInit(TCipherState& state, const uint8_t* key, uint32_t keyLength) {
    state.i = 0;
    state.j = 0;
    for (unsigned k = 0; k < 256; ++k)
        state.S[k] = static_cast<uint8_t>(k);
    // The running index is local to the schedule; the state's j stays 0.
    uint8_t x = 0;
    uint32_t p = 0;
    for (unsigned k = 0; k < 256; ++k) {
        x = static_cast<uint8_t>(x + state.S[k] + key[p]);
        std::swap(state.S[k], state.S[x]);
        if (++p == keyLength) p = 0;
    }
}

uint8_t CipherNextByte(TCipherState& state) {
    state.i = (state.i + 1) & 0xFF;
    const uint8_t a = state.S[state.i];
    state.j = (a + state.j) & 0xFF;
    const uint8_t b = state.S[state.j];
    state.S[state.j] = a;
    state.S[state.i] = b;
    return state.S[(a + b) & 0xFF];
}

void CipherApply(TCipherState& state, uint8_t* output, const uint8_t* input, uint32_t count) {
    for (uint32_t k = 0; k < count; ++k)
        output[k] = input[k] ^ CipherNextByte(state);
}

void CipherFrameSpan(TCipherState& state, uint8_t* span, uint32_t count) {
    CipherInit(state, reinterpret_cast<const uint8_t*>(CipherKey), CipherKeyLength);
    CipherApply(state, span, span, count);
}
