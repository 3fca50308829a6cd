// Hexadecimal text helpers and the integer conversion, fed the same arbitrary text.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Convert.h"
#include "base/Exception.h"
#include "fuzz/FuzzCheck.h"
#include "protocol/HexText.h"

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// A second reading of a signed 32-bit decimal, written without looking at TryStrToInt:
// blanks, an optional sign, at least one digit and nothing else; the value must fit.
std::optional<int32_t> ReferenceInt(std::string_view text) {
    size_t p = text.find_first_not_of(' ');
    if (p == std::string_view::npos) return std::nullopt;
    bool negative = false;
    if (text[p] == '+' || text[p] == '-') negative = text[p++] == '-';
    std::string_view digits = text.substr(p);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const size_t first = digits.find_first_not_of('0');
    digits = first == std::string_view::npos ? std::string_view("0") : digits.substr(first);
    if (digits.size() > 10) return std::nullopt;
    int64_t magnitude = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

void CheckDigits(std::string_view text) {
    for (char c : text) {
        const int v = HexDigitValue(c);
        FUZZ_CHECK(v >= 0 && v <= 15);
        if (IsHexDigit(c)) {
            FUZZ_CHECK(v == std::stoi(std::string(1, c), nullptr, 16));
        } else {
            FUZZ_CHECK(v == 0);
        }
    }
}

void CheckParse(std::string_view text) {
    const std::vector<uint8_t> bytes = ParseHexText(text);
    // One byte per two-character group at 0, 3, 6, ...; a lone last character is dropped.
    FUZZ_CHECK(bytes.size() == (text.size() + 1) / 3);
    for (size_t k = 0; k < bytes.size(); ++k)
        FUZZ_CHECK(bytes[k] == 16 * HexDigitValue(text[3 * k]) + HexDigitValue(text[3 * k + 1]));
}

void CheckFormat(const uint8_t* data, size_t size) {
    const std::string text = FormatFrameHex(data, size);
    FUZZ_CHECK(text.size() == 3 * size);
    for (size_t k = 0; k < text.size(); ++k) {
        const char c = text[k];
        if (k % 3 == 2)
            FUZZ_CHECK(c == ' ');
        else
            FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
    }
    // What the window shows reads back as the same bytes, with or without the last blank.
    const std::vector<uint8_t> original(data, data + size);
    FUZZ_CHECK(ParseHexText(text) == original);
    if (!text.empty())
        FUZZ_CHECK(ParseHexText(std::string_view(text).substr(0, text.size() - 1)) == original);
    for (size_t k = 0; k < size; ++k)
        FUZZ_CHECK(text.compare(3 * k, 2, HexByteText(data[k])) == 0);
    if (size >= 2) {
        const unsigned word = data[0] << 8 | data[1];
        const std::string wordText = HexWordText(word);
        FUZZ_CHECK(wordText.size() == 4 && wordText == HexByteText(data[0]) + HexByteText(data[1]));
    }
}

void CheckInteger(std::string_view text) {
    const std::optional<int32_t> value = TryStrToInt(text);
    FUZZ_CHECK(value == ReferenceInt(text));
    try {
        const int32_t strict = StrToInt(text);
        FUZZ_CHECK(value && strict == *value);
    } catch (const Exception& e) {
        FUZZ_CHECK(!value);
        FUZZ_CHECK(e.Message() == InvalidIntegerMessage(text));
    }
    if (value) FUZZ_CHECK(TryStrToInt(std::to_string(*value)) == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckDigits(text);
    CheckParse(text);
    CheckFormat(data, size);
    CheckInteger(text);
    return 0;
}
