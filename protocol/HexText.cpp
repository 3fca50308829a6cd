#include "protocol/HexText.h"

#include <cstdio>

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

std::vector<uint8_t> ParseHexText(std::string_view text) {
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 3 + 1);
    for (size_t p = 0; p + 1 < text.size(); p += 3)
        bytes.push_back(static_cast<uint8_t>(16 * HexDigitValue(text[p]) + HexDigitValue(text[p + 1])));
    return bytes;
}

std::string FormatFrameHex(const uint8_t* frame, size_t length) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text(3 * length, ' ');
    for (size_t k = 0; k < length; ++k) {
        text[3 * k] = Digits[frame[k] >> 4];
        text[3 * k + 1] = Digits[frame[k] & 0x0F];
    }
    return text;
}

std::string HexText(const std::vector<uint8_t>& bytes) {
    std::string text = FormatFrameHex(bytes.data(), bytes.size());
    if (!text.empty()) text.pop_back();
    return text;
}

std::string HexByteText(unsigned value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string HexWordText(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}
