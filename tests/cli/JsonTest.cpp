#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "cli/Json.h"

namespace {

// '~' in an expected text stands for U+FFFD, so the rows stay readable.
std::string WithReplacement(std::string text) {
    std::string out;
    for (const char c : text)
        out += c == '~' ? std::string("\xEF\xBF\xBD") : std::string(1, c);
    return out;
}

std::string BytesFromHex(const std::string& hex) {
    std::string bytes;
    for (size_t k = 0; k < hex.size(); k += 3) {
        EXPECT_TRUE(k + 2 == hex.size() || hex[k + 2] == ' ') << hex;
        bytes += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
    }
    return bytes;
}

std::vector<std::string> Keys(const nlohmann::ordered_json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items())
        keys.push_back(item.key());
    return keys;
}

struct TTextRow {
    const char* Name;
    std::string Bytes;
    // nullptr: valid UTF-8, read back as it is with no _hex field.
    const char* Replaced;
    const char* Hex;
};

const TTextRow TextRows[] = {
    {"Ascii", "KESTREL-A 23A1705", nullptr, nullptr},
    {"Empty", "", nullptr, nullptr},
    {"QuotesAndBackslashes", "say \"\\x\" \\", nullptr, nullptr},
    {"ControlCharacters", std::string("\x00\x01\x08\x0C\n\r\t\x1F", 8), nullptr, nullptr},
    {"Del", "a\x7F" "b", nullptr, nullptr},
    {"TwoByteForms", "\xC2\x80 \xC3\xA9 \xDF\xBF", nullptr, nullptr},
    {"ThreeByteForms", "\xE0\xA0\x80 \xE2\x82\xAC \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBF", nullptr, nullptr},
    {"FourByteForms", "\xF0\x90\x80\x80 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF", nullptr, nullptr},
    {"ReplacementCharacterItself", "\xEF\xBF\xBD", nullptr, nullptr},
    {"LeadByteF5", "A\xF5" "B", "A~B", "41 F5 42"},
    {"LeadByteFF", "A\xFF" "B", "A~B", "41 FF 42"},
    {"LeadBytesF8ToFE", "\xF8\x88\x80\x80\x80\xFE", "~~~~~~", "F8 88 80 80 80 FE"},
    {"OverlongC0", "\xC0\xAF", "~~", "C0 AF"},
    {"OverlongC1", "\xC1\xBF", "~~", "C1 BF"},
    {"OverlongE0", "\xE0\x80\xAF", "~~~", "E0 80 AF"},
    {"OverlongE0Highest", "\xE0\x9F\xBF", "~~~", "E0 9F BF"},
    {"OverlongF0", "\xF0\x80\x80\xAF", "~~~~", "F0 80 80 AF"},
    {"OverlongF0Highest", "\xF0\x8F\xBF\xBF", "~~~~", "F0 8F BF BF"},
    {"HighSurrogate", "\xED\xA0\x80", "~~~", "ED A0 80"},
    {"LowSurrogate", "\xED\xBF\xBF", "~~~", "ED BF BF"},
    {"AboveU10FFFF", "\xF4\x90\x80\x80", "~~~~", "F4 90 80 80"},
    {"LoneContinuationByte", "x\x80y", "x~y", "78 80 79"},
    {"TruncatedThenAscii", "\xE2\x82" "A", "~A", "E2 82 41"},
    {"TruncatedAtEnd", "ok\xF0\x9F\x98", "ok~", "6F 6B F0 9F 98"},
    {"InvalidAmongValidAndEscapes", "\xC3\xA9\xFF\"\\\x01\x7F", "\xC3\xA9~\"\\\x01\x7F", "C3 A9 FF 22 5C 01 7F"},
};

class JsonText : public testing::TestWithParam<TTextRow> {};

TEST_P(JsonText, ParsesBackStrictlyWithTheExactBytesRecoverable) {
    const TTextRow& row = GetParam();
    TJsonObject o;
    o.Add("text", row.Bytes).Add("after", 1);
    const std::string line = o.Text();
    ASSERT_EQ(line.find('\n'), std::string::npos) << line;
    nlohmann::ordered_json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::ordered_json::parse(line)) << line;

    if (!row.Replaced) {
        EXPECT_EQ(parsed["text"], row.Bytes);
        EXPECT_EQ(Keys(parsed), (std::vector<std::string>{"text", "after"}));
        return;
    }
    EXPECT_EQ(parsed["text"], WithReplacement(row.Replaced));
    EXPECT_EQ(parsed["text_hex"], row.Hex);
    EXPECT_EQ(BytesFromHex(parsed["text_hex"]), row.Bytes);
    EXPECT_EQ(Keys(parsed), (std::vector<std::string>{"text", "text_hex", "after"}));
}

INSTANTIATE_TEST_SUITE_P(Values, JsonText, testing::ValuesIn(TextRows),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(JsonKey, InvalidKeysAreReplacedAndTheirHexFieldFollowsThem) {
    struct Row {
        std::string Key;
        const char* Replaced;
    } rows[] = {
        {"model", "model"},
        {"no\xC3\xA9", "no\xC3\xA9"},
        {"col\xFF", "col~"},
        {"\xED\xA0\x80" "id", "~~~id"},
        {"q\"\\\n", "q\"\\\n"},
    };
    for (const auto& row : rows) {
        TJsonObject o;
        o.Add(row.Key, "\xFE").Add(row.Key + "!", 7);
        const std::string line = o.Text();
        nlohmann::ordered_json parsed;
        ASSERT_NO_THROW(parsed = nlohmann::ordered_json::parse(line)) << line;
        const std::string key = WithReplacement(row.Replaced);
        EXPECT_EQ(Keys(parsed), (std::vector<std::string>{key, key + "_hex", key + "!"})) << line;
        EXPECT_EQ(parsed[key + "_hex"], "FE") << line;
    }
}

TEST(JsonObject, KeepsItsOneLineLayout) {
    TJsonObject inner;
    inner.Add("a", "x");
    TJsonObject o;
    o.Add("s", "q\"\\\n\x01").Add("n", -5).Add("big", -9007199254740993LL).Add("b", false);
    o.AddRaw("null", "null").AddRaw("inner", inner.Text()).AddRaw("list", "[1,2]");
    EXPECT_EQ(o.Text(), "{\"s\":\"q\\\"\\\\\\n\\u0001\",\"n\":-5,\"big\":-9007199254740993,\"b\":false,"
                        "\"null\":null,\"inner\":{\"a\":\"x\"},\"list\":[1,2]}");
    EXPECT_EQ(TJsonObject().Text(), "{}");
    EXPECT_EQ(JsonQuote("a\xFF"), "\"a\xEF\xBF\xBD\"");
}

} // namespace
