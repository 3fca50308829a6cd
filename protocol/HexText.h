#pragma once
// Hexadecimal text helpers: the data text of a command and the shown text of a frame.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// '0'..'9' give 0..9, 'A'..'F' and 'a'..'f' give 10..15, every other character 0.
int HexDigitValue(char c);

// Reads two-character groups at positions 0, 3, 6, ...; the character after each group
// is skipped whatever it is, a lone last character is ignored, invalid digits read as 0.
// "00 1A FF" and "00 1A FF " both give 00 1A FF. Never fails.
std::vector<uint8_t> ParseHexText(std::string_view text);

// Each byte as two upper-case digits and one blank: 05 A0 gives "05 A0 ".
std::string FormatFrameHex(const uint8_t* frame, size_t length);
// The same without the last blank: "05 A0", as reports and JSON show bytes.
std::string HexText(const std::vector<uint8_t>& bytes);

// Two upper-case hexadecimal digits of a byte ("0A"), four of a 16-bit word ("DC0A").
std::string HexByteText(unsigned value);
std::string HexWordText(unsigned value);
