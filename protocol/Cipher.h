#pragma once
// RC4 stream cipher over the frame payload. The key schedule runs afresh for every
// frame, so no keystream position carries over from one frame to the next.

#include <cstdint>

struct TCipherState {
    uint32_t i, j;  // both always 0..255
    uint8_t S[256]; // a permutation of 0..255 once CipherInit has run
};

inline constexpr char CipherKey[] = "9D3B71E0C4A86F25";
inline constexpr uint32_t CipherKeyLength = 16; // key bytes used: the characters, no terminator

// RC4 key schedule: i = j = 0, S the identity, then mixed with keyLength key bytes.
// keyLength must be at least 1.
void CipherInit(TCipherState& state, const uint8_t* key, uint32_t keyLength);

// The next keystream byte; advances i, j and S.
uint8_t CipherNextByte(TCipherState& state);

// output[k] = input[k] XOR the next keystream byte, for k = 0 .. count-1.
// output may be the same range as input (enciphering in place); partial overlap is not allowed.
void CipherApply(TCipherState& state, uint8_t* output, const uint8_t* input, uint32_t count);

// CipherInit with CipherKey, then CipherApply in place over count bytes: what a frame's
// enciphered span goes through. Applying it twice restores the plain bytes.
void CipherFrameSpan(TCipherState& state, uint8_t* span, uint32_t count);
