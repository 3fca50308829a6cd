#include "cli/Json.h"

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

#include "protocol/HexText.h"

namespace {

// nlohmann's decoder is the one judge of UTF-8 here, so the check and the replacement
// can never disagree about which texts are valid.
std::string DumpString(std::string_view text, nlohmann::json::error_handler_t handler) {
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, handler);
}

std::optional<std::string> StrictQuote(std::string_view text) {
    try {
        return DumpString(text, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::type_error&) {
        return std::nullopt;
    }
}

} // namespace

std::string JsonQuote(std::string_view text) {
    return DumpString(text, nlohmann::json::error_handler_t::replace);
}

TJsonObject& TJsonObject::Add(std::string_view key, std::string_view value) {
    if (const std::optional<std::string> quoted = StrictQuote(value)) return AddRaw(key, *quoted);
    AddRaw(key, JsonQuote(value));
    // Never empty here: the empty text is valid.
    std::string hex = FormatFrameHex(reinterpret_cast<const uint8_t*>(value.data()), value.size());
    hex.pop_back();
    return AddRaw(std::string(key) + "_hex", JsonQuote(hex));
}

TJsonObject& TJsonObject::AddRaw(std::string_view key, std::string_view value) {
    FText += FText.empty() ? "{" : ",";
    FText += JsonQuote(key);
    FText += ':';
    FText += value;
    return *this;
}
