#pragma once
// The options of a program or command as one table: one row per option, read by one
// parser and shown by one help formatter, so that a range in the help is the range
// checked. No I/O: the caller prints what these functions return.
//
// Command-line conventions, the same for every program:
//   --name VALUE, --name=VALUE, -x VALUE; flags take no value ("--name=" is refused).
//   A value is the next argument unless that is an option itself ("--x", -h or a short
//   name of the tables); such a value needs "=". "-1" is a value.
//   "--" ends the options: every argument after it is positional, even "-x".
//   -h and --help always ask for help, --version for the version, whatever the table.
//   "-" alone is positional (standard input, by the usual convention).

#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class TOptionKind { Flag, Integer, Text, Choice };

struct TOption {
    std::string Name; // long name without the dashes: "baud"
    char Short = 0;   // 'p' for -p; 0 for none
    TOptionKind Kind = TOptionKind::Flag;
    std::string ValueName;            // shown in the help: "RATE", "MS"
    std::string Help;                 // "{}" stands for the allowed values; without it they are appended
    int Min = 0, Max = 0;             // Integer: the values allowed
    std::vector<std::string> Choices; // Choice: the words allowed, as shown; matched in any case
    bool Repeatable = false;          // else a second occurrence is refused
    // What a refusal says after "--name VALUE: "; "{}" stands for the allowed values.
    // Empty: "give a whole number MIN..MAX" or "give one of A, B, C".
    std::string Refusal;
};

using TOptionTable = std::vector<TOption>;
using TOptionTables = std::initializer_list<std::span<const TOption>>;

TOption FlagOption(std::string name, std::string help, char shortName = 0);
TOption IntegerOption(std::string name, std::string valueName, int min, int max, std::string help,
                      char shortName = 0);
TOption TextOption(std::string name, std::string valueName, std::string help, char shortName = 0);
TOption ChoiceOption(std::string name, std::string valueName, std::vector<std::string> choices,
                     std::string help, char shortName = 0);

// The allowed values of a row as text: "0..255", "KESTREL-A, MARLIN-A or OSPREY-B"; empty
// for flags and texts.
std::string AllowedText(const TOption& option);

struct TOptionValue {
    std::string Name; // the row's long name
    std::string Text; // as given; a choice in the row's spelling; empty for a flag
    int Number = 0;   // Integer rows, and Choice rows whose word is a number
};

struct TParsedOptions {
    bool Help = false;                    // -h or --help was given
    bool Version = false;                 // --version was given
    std::string Error;                    // the first refusal, empty when every argument was read
    std::vector<TOptionValue> Values;     // in the order given
    std::vector<std::string> Positionals; // in the order given

    bool Has(std::string_view name) const;
    // The value of the row's last occurrence, or fallback when it was not given.
    std::string Text(std::string_view name, std::string_view fallback = "") const;
    int Integer(std::string_view name, int fallback = 0) const;
    std::optional<int> IntegerIf(std::string_view name) const;
    // Every value of a repeatable row, in the order given.
    std::vector<std::string> All(std::string_view name) const;
};

// Reads args (the arguments after the program or command name) against the rows of the
// tables, the first table's row winning a name that two share. Help and Version are set
// wherever -h, --help or --version stand before "--", even beside an error, so a caller
// looks at them first. The error names the option, the value and what is allowed:
//   "--baud 1200: give one of 2400, 4800, 9600", "--retries 101: give a whole number 0..100",
//   "--id abc: 'abc' is not a valid integer value", "unknown option '--bogus'",
//   "option '--report' needs a value", "option '--json' takes no value", "--baud given twice".
TParsedOptions ParseOptions(const std::vector<std::string>& args, TOptionTables tables);

// One line per row, "  -p, --port PATH  help", the help texts aligned in one column and
// wrapped at 80 characters; a row for -h, --help ends the list unless a table has one.
std::string OptionsHelpText(TOptionTables tables);

// "kaldora-cli 1.0.0": the program's name and the project's version.
std::string VersionText(std::string_view program);
