#pragma once
// Frame checksum: CRC-16 with the reflected polynomial A001 (CRC-16/ARC when started at 0).

#include <array>
#include <cstddef>
#include <cstdint>

namespace Detail {
constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned k = 0; k < 256; ++k) {
        uint16_t crc = static_cast<uint16_t>(k);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
        table[k] = crc;
    }
    return table;
}
} // namespace Detail

// Entry k is the reflected remainder of the byte k; 0000, C0C1, C181, 0140, ...
inline constexpr std::array<uint16_t, 256> CrcTable = Detail::MakeCrcTable();

// CRC of length bytes of data, continuing from start (0 for a fresh CRC); no final XOR.
// One table lookup per byte. Returns start for an empty range.
uint16_t Crc16(uint16_t start, const uint8_t* data, uint16_t length);

// The same over a range of any length, chaining Crc16 over 16-bit sized pieces.
uint16_t Crc16Range(uint16_t start, const uint8_t* data, size_t length);
