// The JSON writer of kaldora-cli on arbitrary bytes, as a value and as a key. Every line
// must parse strictly; a value must read back as it is when it is valid UTF-8, and else with
// U+FFFD for each maximal invalid subpart and its exact bytes in "<key>_hex".

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/Json.h"
#include "fuzz/FuzzCheck.h"

namespace {

const char Replacement[] = "\xEF\xBF\xBD";

// A second reading of RFC 3629, written without looking at the writer: each maximal subpart
// of an ill-formed sequence becomes one U+FFFD. Sets valid to false if any did.
std::string ReferenceReplace(std::string_view text, bool& valid) {
    valid = true;
    std::string out;
    size_t k = 0;
    while (k < text.size()) {
        const auto lead = static_cast<unsigned char>(text[k]);
        if (lead < 0x80) {
            out += text[k++];
            continue;
        }
        size_t trail = 0;
        unsigned low = 0x80, high = 0xBF; // range of the first trailing byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            trail = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            trail = 2;
            if (lead == 0xE0) low = 0xA0;  // overlong
            if (lead == 0xED) high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            trail = 3;
            if (lead == 0xF0) low = 0x90;  // overlong
            if (lead == 0xF4) high = 0x8F; // above U+10FFFF
        }
        size_t n = 1;
        while (trail > 0 && n <= trail && k + n < text.size()) {
            const auto byte = static_cast<unsigned char>(text[k + n]);
            if (byte < (n == 1 ? low : 0x80) || byte > (n == 1 ? high : 0xBF)) break;
            ++n;
        }
        if (trail > 0 && n == trail + 1) {
            out.append(text.substr(k, n));
        } else {
            out += Replacement;
            valid = false;
        }
        k += n;
    }
    return out;
}

std::string BytesFromHex(const std::string& hex) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    FUZZ_CHECK(hex.size() % 3 == 2);
    std::string bytes;
    for (size_t k = 0; k < hex.size(); k += 3) {
        const std::string_view digits(Digits);
        const size_t high = digits.find(hex[k]), low = digits.find(hex[k + 1]);
        FUZZ_CHECK(high != std::string_view::npos && low != std::string_view::npos);
        FUZZ_CHECK(k + 2 == hex.size() || hex[k + 2] == ' ');
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

nlohmann::ordered_json ParseStrictly(const std::string& line) {
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    nlohmann::ordered_json object;
    bool parsed = true;
    try {
        object = nlohmann::ordered_json::parse(line);
    } catch (const nlohmann::ordered_json::parse_error&) {
        parsed = false;
    }
    FUZZ_CHECK(parsed);
    return object;
}

std::vector<std::string> Keys(const nlohmann::ordered_json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items())
        keys.push_back(item.key());
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    bool valid = true;
    const std::string replaced = ReferenceReplace(text, valid);

    TJsonObject value;
    value.Add("v", text).Add("end", 1);
    const nlohmann::ordered_json v = ParseStrictly(value.Text());
    FUZZ_CHECK(v["v"] == replaced);
    if (valid) {
        FUZZ_CHECK(Keys(v) == (std::vector<std::string>{"v", "end"}));
    } else {
        FUZZ_CHECK(Keys(v) == (std::vector<std::string>{"v", "v_hex", "end"}));
        FUZZ_CHECK(BytesFromHex(v["v_hex"]) == text);
    }

    TJsonObject key;
    key.Add(text, 0);
    const nlohmann::ordered_json k = ParseStrictly(key.Text());
    FUZZ_CHECK(Keys(k) == std::vector<std::string>{replaced});
    return 0;
}
