#include "base/Convert.h"
#include "base/Exception.h"

#include <gtest/gtest.h>

TEST(StrToInt, AcceptsSignedDecimalWithLeadingBlanks) {
    EXPECT_EQ(StrToInt("4660"), 4660);
    EXPECT_EQ(StrToInt("  -12"), -12);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
}

TEST(StrToInt, RefusesWhatIsNotA32BitDecimal) {
    for (const char* text : {"", " ", "-", "12a", "0x10", "2147483648", "-2147483649", "99999999999", "1 "})
        EXPECT_FALSE(TryStrToInt(text).has_value()) << text;
}

TEST(StrToInt, ErrorMessageQuotesTheText) {
    try {
        StrToInt("23X1705");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "'23X1705' is not a valid integer value");
    }
}

TEST(FormatErrorNumber, ReplacesThePlaceholder) {
    EXPECT_EQ(FormatErrorNumber("Port not open (Error: %d)", -1), "Port not open (Error: -1)");
    EXPECT_EQ(FormatErrorNumber("EscapeCommFunction failure (Error: %d)", 25),
              "EscapeCommFunction failure (Error: 25)");
}

TEST(StrToInt, ErrorMessageKeepsATextWithAZeroByte) {
    const std::string text("12\0" "3", 4);
    try {
        StrToInt(text);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "'" + text + "' is not a valid integer value");
    }
}
