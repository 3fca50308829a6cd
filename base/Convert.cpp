#include "base/Convert.h"

#include "base/Exception.h"

std::optional<int32_t> TryStrToInt(std::string_view text) {
    size_t p = 0;
    while (p < text.size() && text[p] == ' ') ++p;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    if (p == text.size()) return std::nullopt;
    int64_t value = 0;
    for (; p < text.size(); ++p) {
        const char c = text[p];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
    return static_cast<int32_t>(value);
}

std::string InvalidIntegerMessage(std::string_view text) {
    return "'" + std::string(text) + "' is not a valid integer value";
}

int32_t StrToInt(std::string_view text) {
    const auto value = TryStrToInt(text);
    if (!value) throw Exception(InvalidIntegerMessage(text));
    return *value;
}
