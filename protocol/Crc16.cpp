#include "protocol/Crc16.h"

#include <algorithm>

uint16_t Crc16(uint16_t start, const uint8_t* data, uint16_t length) {
    uint16_t crc = start;
    for (uint16_t k = 0; k < length; ++k)
        crc = CrcTable[(crc ^ data[k]) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint16_t Crc16Range(uint16_t start, const uint8_t* data, size_t length) {
    uint16_t crc = start;
    while (length > 0) {
        const auto piece = static_cast<uint16_t>(std::min<size_t>(length, UINT16_MAX));
        crc = Crc16(crc, data, piece);
        data += piece;
        length -= piece;
    }
    return crc;
}
