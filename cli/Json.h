#pragma once
// A small JSON writer for the machine-readable output of kaldora-cli: one object per line,
// keys in the order added. Texts are taken as UTF-8 bytes; control characters and bytes
// that are not valid UTF-8 are escaped so that the output always parses.

#include <string>
#include <string_view>

// The text as a JSON string literal, quotes included. Bytes that do not form valid UTF-8
// are written as \u00XX of the byte value, so nothing is lost and the line stays valid.
inline std::string JsonQuote(std::string_view text) {
    static const char* const Hex = "0123456789abcdef";
    std::string out = "\"";
    for (size_t k = 0; k < text.size(); ++k) {
        const auto c = static_cast<unsigned char>(text[k]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += Hex[c >> 4];
            out += Hex[c & 15];
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // A well-formed UTF-8 sequence goes out as it is.
            const size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            bool valid = length > 0 && k + length <= text.size();
            for (size_t j = 1; valid && j < length; ++j)
                valid = (static_cast<unsigned char>(text[k + j]) & 0xC0) == 0x80;
            if (valid) {
                out.append(text.substr(k, length));
                k += length - 1;
            } else {
                out += "\\u00";
                out += Hex[c >> 4];
                out += Hex[c & 15];
            }
        }
    }
    return out + "\"";
}

class TJsonObject {
public:
    TJsonObject& Add(std::string_view key, std::string_view value) { return AddRaw(key, JsonQuote(value)); }
    TJsonObject& Add(std::string_view key, const char* value) { return AddRaw(key, JsonQuote(value)); }
    TJsonObject& Add(std::string_view key, const std::string& value) { return AddRaw(key, JsonQuote(value)); }
    TJsonObject& Add(std::string_view key, long long value) { return AddRaw(key, std::to_string(value)); }
    TJsonObject& Add(std::string_view key, int value) { return AddRaw(key, std::to_string(value)); }
    TJsonObject& Add(std::string_view key, bool value) { return AddRaw(key, value ? "true" : "false"); }
    // value must already be JSON (an object, an array).
    TJsonObject& AddRaw(std::string_view key, std::string_view value) {
        FText += FText.empty() ? "{" : ",";
        FText += JsonQuote(key);
        FText += ':';
        FText += value;
        return *this;
    }
    // The object on one line, without a line break.
    std::string Text() const { return FText.empty() ? "{}" : FText + "}"; }

private:
    std::string FText;
};
