#include "base/Options.h"

#include <gtest/gtest.h>

namespace {

const TOptionTable LinkTable = {
    TextOption("port", "PATH", "a serial device", 'p'),
    ChoiceOption("baud", "RATE", {"2400", "4800", "9600", "19200", "38400", "57600", "115200"}, "line rate"),
};

TOptionTable CommandTable() {
    TOptionTable table = {
        IntegerOption("retries", "K", 0, 100, "resends of a row without an accepted reply"),
        TextOption("report", "FILE", "where the report goes"),
        FlagOption("json", "one JSON object per result"),
        IntegerOption("item", "N", -1, 8, "command item"),
        ChoiceOption("model", "MODEL", {"KESTREL-A", "MARLIN-A", "OSPREY-B"}, "device model, {}"),
    };
    table[3].Refusal = "a command item is {}";
    table[4].Refusal = "unknown model; give {}";
    table.push_back(TextOption("tag", "TEXT", "a tag for the report"));
    table.back().Repeatable = true;
    return table;
}

const TOptionTable Command = CommandTable();

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t p = 0;
    while (p < line.size()) {
        const size_t end = std::min(line.find(' ', p), line.size());
        words.push_back(line.substr(p, end - p));
        p = end + 1;
    }
    return words;
}

// The values as "name=text" in the order given, then the positionals after a "|".
std::string Summary(const TParsedOptions& parsed) {
    std::string text;
    for (const auto& v : parsed.Values)
        text += v.Name + "=" + v.Text + " ";
    text += "|";
    for (const auto& p : parsed.Positionals)
        text += " " + p;
    return text;
}

TEST(ParseOptions, ReadsEveryFormOfValueInTheOrderGiven) {
    struct Row {
        const char* name;
        const char* args;
        const char* summary;
    };
    const Row rows[] = {
        {"separate and joined values", "--retries 3 --report=r.csv", "retries=3 report=r.csv |"},
        {"short name", "-p /dev/ttyS0 x.csv", "port=/dev/ttyS0 | x.csv"},
        {"flag", "a --json b", "json= | a b"},
        {"choice in any case takes the row's spelling", "--model osprey-b", "model=OSPREY-B |"},
        {"negative number as the next argument", "--item -1", "item=-1 |"},
        {"empty joined value", "--report=", "report= |"},
        {"a value may hold '='", "--report=a=b", "report=a=b |"},
        {"repeatable in order", "--tag b --tag a", "tag=b tag=a |"},
        {"two tables", "--baud 9600 --port=COM2 --json", "baud=9600 port=COM2 json= |"},
        {"-- ends the options", "--json -- -p --retries -h --version", "json= | -p --retries -h --version"},
        {"a lone dash is positional", "- --json", "json= | -"},
    };
    for (const auto& row : rows) {
        const TParsedOptions parsed = ParseOptions(Words(row.args), {Command, LinkTable});
        EXPECT_EQ(parsed.Error, "") << row.name;
        EXPECT_EQ(Summary(parsed), row.summary) << row.name;
        EXPECT_FALSE(parsed.Help || parsed.Version) << row.name;
    }
}

TEST(ParseOptions, RefusalsNameTheOptionTheValueAndWhatIsAllowed) {
    struct Row {
        const char* name;
        const char* args;
        const char* error;
    };
    const Row rows[] = {
        {"choice", "--baud 1200", "--baud 1200: give one of 2400, 4800, 9600, 19200, 38400, 57600, 115200"},
        {"range above", "--retries 101", "--retries 101: give a whole number 0..100"},
        {"range below", "--retries=-1", "--retries -1: give a whole number 0..100"},
        {"not a number", "--retries 1x", "--retries 1x: '1x' is not a valid integer value"},
        {"empty number", "--retries=", "--retries '': '' is not a valid integer value"},
        {"row's own wording", "--item 9", "--item 9: a command item is -1..8"},
        {"row's own choice wording", "--model HERON",
         "--model HERON: unknown model; give KESTREL-A, MARLIN-A or OSPREY-B"},
        {"unknown long", "--bogus", "unknown option '--bogus'"},
        {"unknown long with value", "--bogus=1", "unknown option '--bogus'"},
        {"unknown short", "-q", "unknown option '-q'"},
        {"bundled shorts", "-pq", "unknown option '-pq'"},
        {"missing value at the end", "--report", "option '--report' needs a value"},
        {"an option is no value", "--report --json", "option '--report' needs a value"},
        {"short missing value", "-p", "option '-p' needs a value"},
        {"a short option is no value", "--report -p x", "option '--report' needs a value"},
        {"flag with value", "--json=yes", "option '--json' takes no value"},
        {"twice", "--baud 9600 --baud=19200", "--baud given twice"},
        {"twice by short name", "--port a -p b", "--port given twice"},
        {"first error wins", "--bogus --retries 101", "unknown option '--bogus'"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ParseOptions(Words(row.args), {Command, LinkTable}).Error, row.error) << row.name;
}

TEST(ParseOptions, HelpAndVersionAlwaysCount) {
    struct Row {
        const char* args;
        bool help, version;
    };
    const Row rows[] = {
        {"-h", true, false},
        {"--retries 101 --help", true, false},
        {"--bogus --version", false, true},
        {"--report -h", true, false}, // an option is no value
        {"--report -p", false, false},
        {"-- --help --version", false, false},
    };
    for (const auto& row : rows) {
        const TParsedOptions parsed = ParseOptions(Words(row.args), {Command});
        EXPECT_EQ(parsed.Help, row.help) << row.args;
        EXPECT_EQ(parsed.Version, row.version) << row.args;
    }
}

TEST(ParseOptions, ValuesReadBack) {
    const TParsedOptions parsed =
        ParseOptions(Words("--retries 7 --tag x --baud 19200 --tag y"), {Command, LinkTable});
    ASSERT_EQ(parsed.Error, "");
    EXPECT_TRUE(parsed.Has("retries"));
    EXPECT_FALSE(parsed.Has("json"));
    EXPECT_EQ(parsed.Integer("retries"), 7);
    EXPECT_EQ(parsed.Integer("item", -1), -1);
    EXPECT_EQ(parsed.IntegerIf("item"), std::nullopt);
    EXPECT_EQ(parsed.Integer("baud"), 19200);
    EXPECT_EQ(parsed.Text("report", "lot.csv"), "lot.csv");
    EXPECT_EQ(parsed.Text("tag"), "y");
    EXPECT_EQ(parsed.All("tag"), (std::vector<std::string>{"x", "y"}));
    EXPECT_TRUE(parsed.All("port").empty());
}

TEST(OptionsHelpText, AlignsTheRowsAndDrawsRangesFromThem) {
    EXPECT_EQ(OptionsHelpText({LinkTable, Command}),
              "  -p, --port PATH  a serial device\n"
              "  --baud RATE      line rate (2400, 4800, 9600, 19200, 38400, 57600 or 115200)\n"
              "  --retries K      resends of a row without an accepted reply (0..100)\n"
              "  --report FILE    where the report goes\n"
              "  --json           one JSON object per result\n"
              "  --item N         command item (-1..8)\n"
              "  --model MODEL    device model, KESTREL-A, MARLIN-A or OSPREY-B\n"
              "  --tag TEXT       a tag for the report\n"
              "  -h, --help       show this text\n");
}

TEST(OptionsHelpText, WrapsLongTextsAndPutsLongNamesOnTheirOwnLine) {
    const TOptionTable table = {
        TextOption("round-trip", "PICTURE.png",
                   "Set_ID over TCP to the host and port shown, print the log, save a picture of the "
                   "window, and end\nexit code 0 when SetID_OK was logged"),
        FlagOption("help", "show this text"),
    };
    EXPECT_EQ(OptionsHelpText({table}),
              "  --round-trip PICTURE.png\n"
              "          Set_ID over TCP to the host and port shown, print the log, save a\n"
              "          picture of the window, and end\n"
              "          exit code 0 when SetID_OK was logged\n"
              "  --help  show this text\n");
}

TEST(VersionText, IsTheProgramAndTheProjectVersion) {
    EXPECT_EQ(VersionText("kaldora-cli"), "kaldora-cli 1.0.0");
}

} // namespace
