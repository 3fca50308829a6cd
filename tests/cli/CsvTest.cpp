#include <gtest/gtest.h>

#include <sstream>

#include "cli/Csv.h"

namespace {

std::vector<TCsvRecord> ReadAll(const std::string& text) {
    std::istringstream in(text);
    TCsvReader reader(in);
    std::vector<TCsvRecord> records;
    for (TCsvRecord record; reader.Next(record);)
        records.push_back(record);
    return records;
}

TEST(Csv, FieldIsQuotedWhereAReaderWouldMisreadIt) {
    const std::pair<const char*, const char*> cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"inner # and blank", "inner # and blank"},
        {"#leading hash", "\"#leading hash\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"a,b", "\"a,b\""},
        {"cr\rhere", "\"cr\rhere\""},
        {"lf\nhere", "\"lf\nhere\""},
        {" leading blank", "\" leading blank\""},
        {"trailing blank ", "\"trailing blank \""},
        {"\tleading tab", "\"\tleading tab\""},
    };
    for (const auto& [text, written] : cases)
        EXPECT_EQ(CsvField(text), written) << text;
    EXPECT_EQ(CsvLine({"a", "b,c", ""}), "a,\"b,c\",\r\n");
}

TEST(Csv, ReaderTable) {
    struct Case {
        const char* name;
        const char* text;
        std::vector<std::pair<int, std::vector<std::string>>> records; // line, fields
        std::string error;                                             // of the first record
    };
    const Case cases[] = {
        {"byte order mark",
         "\xEF\xBB\xBF"
         "a,b\n",
         {{1, {"a", "b"}}},
         ""},
        {"a partial mark stays data", "\xEF\xBBx\n", {{1, {"\xEF\xBBx"}}}, ""},
        {"CRLF, lone CR, no last line end", "a\r\nb\rc", {{1, {"a"}}, {2, {"b"}}, {3, {"c"}}}, ""},
        {"comments and blank lines keep line numbers", "#c,d\n\n\r\na\n", {{4, {"a"}}}, ""},
        {"blanks-only lines skipped, leading blanks kept", "  \n\t\n  a, b \n   ", {{3, {"  a", " b "}}}, ""},
        {"empty fields", ",\n", {{1, {"", ""}}}, ""},
        {"quoted line breaks", "\"x\r\ny\",\"p\nq\"\nw\n", {{1, {"x\r\ny", "p\nq"}}, {4, {"w"}}}, ""},
        {"unclosed quote", "a\n\"bc\nd", {{1, {"a"}}, {2, {"bc\nd"}}}, ""},
        {"text after a closing quote", "\"a\"b,c\n", {{1, {"ab", "c"}}}, "text after a closing quote: 'b'"},
    };
    for (const auto& c : cases) {
        const auto records = ReadAll(c.text);
        ASSERT_EQ(records.size(), c.records.size()) << c.name;
        for (size_t k = 0; k < records.size(); ++k) {
            EXPECT_EQ(records[k].Line, c.records[k].first) << c.name;
            EXPECT_EQ(records[k].Fields, c.records[k].second) << c.name;
        }
        EXPECT_EQ(records[0].Error, c.error) << c.name;
    }
    EXPECT_EQ(ReadAll("a\n\"bc\nd")[1].Error, "the quote opened on line 2 is never closed");
}

TEST(Csv, WhatIsWrittenReadsBackTheSame) {
    const std::vector<std::vector<std::string>> records = {
        {"#not a comment", "a,b", "say \"hi\""},
        {"two\r\nlines", " padded ", "\t"},
        {""},
        {"", ""},
        {"\xEF\xBB\xBF"
         "mark inside"},
    };
    std::string text;
    for (const auto& fields : records)
        text += CsvLine(fields);
    const auto read = ReadAll(text);
    ASSERT_EQ(read.size(), records.size());
    const int lines[] = {1, 2, 4, 5, 6};
    for (size_t k = 0; k < records.size(); ++k) {
        EXPECT_EQ(read[k].Fields, records[k]) << k;
        EXPECT_EQ(read[k].Line, lines[k]) << k;
        EXPECT_EQ(read[k].Error, "") << k;
    }
}

} // namespace
