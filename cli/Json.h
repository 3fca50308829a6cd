#pragma once
// A small JSON writer for the machine-readable output of kaldora-cli: one object per line,
// keys in the order added. The output is strict UTF-8 JSON (RFC 8259, RFC 3629) whatever
// bytes the texts hold; texts are taken as UTF-8.

#include <string>
#include <string_view>

// The text as a JSON string literal, quotes included, with U+FFFD in place of each
// sequence that is not valid UTF-8.
std::string JsonQuote(std::string_view text);

class TJsonObject {
public:
    // A value that is not valid UTF-8 is written with U+FFFD in place of each invalid
    // sequence and followed by "<key>_hex" with its exact bytes ("41 FF 42"), so a reader
    // can still recover them. Valid texts get no extra field. Keys are written as JsonQuote.
    TJsonObject& Add(std::string_view key, std::string_view value);
    TJsonObject& Add(std::string_view key, const char* value) { return Add(key, std::string_view(value)); }
    TJsonObject& Add(std::string_view key, const std::string& value) { return Add(key, std::string_view(value)); }
    TJsonObject& Add(std::string_view key, long long value) { return AddRaw(key, std::to_string(value)); }
    TJsonObject& Add(std::string_view key, int value) { return AddRaw(key, std::to_string(value)); }
    TJsonObject& Add(std::string_view key, bool value) { return AddRaw(key, value ? "true" : "false"); }
    // value must already be JSON (an object, an array, null).
    TJsonObject& AddRaw(std::string_view key, std::string_view value);
    // The object on one line, without a line break.
    std::string Text() const { return FText.empty() ? "{}" : FText + "}"; }

private:
    std::string FText;
};
