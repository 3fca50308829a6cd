#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/HexText.h"

namespace {

TEST(HexText, DigitValues) {
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('A'), 10);
    EXPECT_EQ(HexDigitValue('f'), 15);
    for (char c : {'g', 'G', ' ', '/', ':', '@', '`', static_cast<char>(0x80), static_cast<char>(0xC1),
                   static_cast<char>(0xFF)})
        EXPECT_EQ(HexDigitValue(c), 0) << int(static_cast<unsigned char>(c));
}

TEST(HexText, ParseReadsGroupsAtEveryThirdPosition) {
    struct Row {
        const char* name;
        std::string text;
        std::vector<uint8_t> bytes;
    };
    const Row rows[] = {
        {"empty", "", {}},
        {"one digit", "0", {}},
        {"one group", "0F", {0x0F}},
        {"lower case with trailing blank", "00 1a FF ", {0x00, 0x1A, 0xFF}},
        {"lone last digit ignored", "00 0", {0x00}},
        {"invalid digits read as zero", "zz", {0x00}},
        {"half invalid", "z5 G1", {0x05, 0x01}},
        {"separator skipped whatever it is", "12x34-56", {0x12, 0x34, 0x56}},
        {"no separators misreads by design", "123456", {0x12, 0x45}},
        {"blanks read as zero digits", std::string(6, ' '), {0x00, 0x00}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ParseHexText(row.text), row.bytes) << row.name;

    std::string model;
    for (int k = 0; k < 44; ++k)
        model += "00 ";
    ASSERT_EQ(model.size(), 132u);
    EXPECT_EQ(ParseHexText(model), std::vector<uint8_t>(44, 0));
    EXPECT_EQ(ParseHexText(model.substr(0, 131)), std::vector<uint8_t>(44, 0)); // without the last blank
}

TEST(HexText, FormatGivesThreeCharactersPerByte) {
    const uint8_t bytes[] = {0x05, 0xA0, 0x00, 0xFF, 0x10};
    EXPECT_EQ(FormatFrameHex(bytes, 2), "05 A0 ");
    EXPECT_EQ(FormatFrameHex(bytes, 5), "05 A0 00 FF 10 ");
    EXPECT_EQ(FormatFrameHex(bytes, 0), "");

    std::vector<uint8_t> all(256);
    for (int k = 0; k < 256; ++k)
        all[k] = static_cast<uint8_t>(k);
    const std::string text = FormatFrameHex(all.data(), all.size());
    EXPECT_EQ(text.size(), 768u);
    EXPECT_EQ(ParseHexText(text), all); // what is shown reads back as the same bytes
}

} // namespace
