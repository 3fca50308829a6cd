#include "base/Options.h"

#include <algorithm>
#include <cctype>

#include "base/Convert.h"

namespace {

constexpr size_t HelpWidth = 80;
constexpr size_t MaxNameColumn = 24;

bool SameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A value as an error shows it: quoted when it would not read as one word.
std::string Shown(const std::string& value) {
    if (value.empty() || value.find_first_of(" \t") != std::string::npos) return "'" + value + "'";
    return value;
}

std::string Join(const std::vector<std::string>& words, const char* last) {
    std::string text;
    for (size_t k = 0; k < words.size(); ++k) {
        if (k > 0) text += k + 1 == words.size() ? last : ", ";
        text += words[k];
    }
    return text;
}

std::string WithAllowed(const std::string& text, const TOption& option) {
    const size_t at = text.find("{}");
    if (at == std::string::npos) return text;
    return text.substr(0, at) + AllowedText(option) + text.substr(at + 2);
}

const TOption* FindRow(TOptionTables tables, std::string_view name, char shortName) {
    for (const auto& table : tables)
        for (const auto& row : table)
            if (shortName ? row.Short == shortName : row.Name == name) return &row;
    return nullptr;
}

// Whether an argument is taken for an option rather than the value before it; "-1" is a value.
bool LooksLikeOption(const std::string& arg, TOptionTables tables) {
    if (arg.rfind("--", 0) == 0 || arg == "-h") return true;
    return arg.size() == 2 && arg[0] == '-' && FindRow(tables, "", arg[1]);
}

std::string Refusal(const TOption& option, const std::string& given, const std::string& value) {
    std::string why = option.Refusal;
    if (why.empty())
        why = option.Kind == TOptionKind::Integer ? "give a whole number {}"
                                                  : "give one of " + Join(option.Choices, ", ");
    return given + " " + Shown(value) + ": " + WithAllowed(why, option);
}

std::string HelpLeft(const TOption& option) {
    std::string left = "  ";
    if (option.Short) left += std::string("-") + option.Short + ", ";
    left += "--" + option.Name;
    if (option.Kind != TOptionKind::Flag) left += " " + option.ValueName;
    return left;
}

std::string HelpRight(const TOption& option) {
    if (option.Help.find("{}") != std::string::npos || AllowedText(option).empty())
        return WithAllowed(option.Help, option);
    return option.Help + (option.Help.empty() ? "" : " ") + "(" + AllowedText(option) + ")";
}

// Words of text filled into lines from column on; a newline in text starts a new line.
void AppendWrapped(std::string& out, const std::string& text, size_t column, size_t used) {
    size_t lineLength = used;
    bool lineEmpty = true;
    size_t k = 0;
    while (k <= text.size()) {
        const size_t end = std::min(text.find_first_of(" \n", k), text.size());
        const std::string word = text.substr(k, end - k);
        if (!word.empty()) {
            if (!lineEmpty && lineLength + 1 + word.size() > HelpWidth) {
                out += "\n" + std::string(column, ' ');
                lineLength = column;
                lineEmpty = true;
            }
            if (!lineEmpty) {
                out += ' ';
                ++lineLength;
            }
            out += word;
            lineLength += word.size();
            lineEmpty = false;
        }
        if (end < text.size() && text[end] == '\n') {
            out += "\n" + std::string(column, ' ');
            lineLength = column;
            lineEmpty = true;
        }
        k = end + 1;
    }
    out += "\n";
}

} // namespace

TOption FlagOption(std::string name, std::string help, char shortName) {
    TOption o;
    o.Name = std::move(name);
    o.Short = shortName;
    o.Help = std::move(help);
    return o;
}

TOption IntegerOption(std::string name, std::string valueName, int min, int max, std::string help,
                      char shortName) {
    TOption o = FlagOption(std::move(name), std::move(help), shortName);
    o.Kind = TOptionKind::Integer;
    o.ValueName = std::move(valueName);
    o.Min = min;
    o.Max = max;
    return o;
}

TOption TextOption(std::string name, std::string valueName, std::string help, char shortName) {
    TOption o = FlagOption(std::move(name), std::move(help), shortName);
    o.Kind = TOptionKind::Text;
    o.ValueName = std::move(valueName);
    return o;
}

TOption ChoiceOption(std::string name, std::string valueName, std::vector<std::string> choices,
                     std::string help, char shortName) {
    TOption o = TextOption(std::move(name), std::move(valueName), std::move(help), shortName);
    o.Kind = TOptionKind::Choice;
    o.Choices = std::move(choices);
    return o;
}

std::string AllowedText(const TOption& option) {
    if (option.Kind == TOptionKind::Integer)
        return std::to_string(option.Min) + ".." + std::to_string(option.Max);
    if (option.Kind == TOptionKind::Choice) return Join(option.Choices, " or ");
    return "";
}

bool TParsedOptions::Has(std::string_view name) const {
    return std::any_of(Values.begin(), Values.end(),
                       [name](const TOptionValue& v) { return v.Name == name; });
}

std::string TParsedOptions::Text(std::string_view name, std::string_view fallback) const {
    for (auto v = Values.rbegin(); v != Values.rend(); ++v)
        if (v->Name == name) return v->Text;
    return std::string(fallback);
}

std::optional<int> TParsedOptions::IntegerIf(std::string_view name) const {
    for (auto v = Values.rbegin(); v != Values.rend(); ++v)
        if (v->Name == name) return v->Number;
    return std::nullopt;
}

int TParsedOptions::Integer(std::string_view name, int fallback) const {
    return IntegerIf(name).value_or(fallback);
}

std::vector<std::string> TParsedOptions::All(std::string_view name) const {
    std::vector<std::string> all;
    for (const auto& v : Values)
        if (v.Name == name) all.push_back(v.Text);
    return all;
}

TParsedOptions ParseOptions(const std::vector<std::string>& args, TOptionTables tables) {
    TParsedOptions parsed;
    auto fail = [&parsed](std::string error) {
        if (parsed.Error.empty()) parsed.Error = std::move(error);
    };
    bool optionsEnded = false;
    for (size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.Positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            parsed.Help = true;
            continue;
        }
        if (arg == "--version") {
            parsed.Version = true;
            continue;
        }
        const bool isLong = arg[1] == '-';
        const size_t equals = isLong ? arg.find('=') : std::string::npos;
        const std::string given = arg.substr(0, equals);
        const TOption* row = nullptr;
        if (isLong)
            row = FindRow(tables, std::string_view(given).substr(2), 0);
        else if (arg.size() == 2)
            row = FindRow(tables, "", arg[1]);
        if (!row) {
            fail("unknown option '" + given + "'");
            continue;
        }
        std::optional<std::string> value;
        if (equals != std::string::npos) value = arg.substr(equals + 1);
        if (row->Kind == TOptionKind::Flag) {
            if (value) fail("option '" + given + "' takes no value");
        } else if (!value) {
            if (k + 1 < args.size() && !LooksLikeOption(args[k + 1], tables))
                value = args[++k];
            else {
                fail("option '" + given + "' needs a value");
                continue;
            }
        }
        if (!row->Repeatable && parsed.Has(row->Name)) {
            fail("--" + row->Name + " given twice");
            continue;
        }
        TOptionValue v{row->Name, value.value_or(""), 0};
        if (row->Kind == TOptionKind::Integer) {
            const auto number = TryStrToInt(v.Text);
            if (!number) {
                fail(given + " " + Shown(v.Text) + ": " + InvalidIntegerMessage(v.Text));
                continue;
            }
            if (*number < row->Min || *number > row->Max) {
                fail(Refusal(*row, given, v.Text));
                continue;
            }
            v.Number = *number;
        } else if (row->Kind == TOptionKind::Choice) {
            const auto choice = std::find_if(row->Choices.begin(), row->Choices.end(),
                                             [&v](const std::string& c) { return SameWord(c, v.Text); });
            if (choice == row->Choices.end()) {
                fail(Refusal(*row, given, v.Text));
                continue;
            }
            v.Text = *choice;
            v.Number = TryStrToInt(v.Text).value_or(0);
        }
        parsed.Values.push_back(std::move(v));
    }
    return parsed;
}

std::string OptionsHelpText(TOptionTables tables) {
    std::vector<const TOption*> rows;
    for (const auto& table : tables)
        for (const auto& row : table)
            rows.push_back(&row);
    TOption help = FlagOption("help", "show this text", 'h');
    if (!FindRow(tables, "help", 0)) rows.push_back(&help);
    size_t column = 0;
    for (const TOption* row : rows) {
        const size_t width = HelpLeft(*row).size() + 2;
        if (width <= MaxNameColumn) column = std::max(column, width);
    }
    std::string out;
    for (const TOption* row : rows) {
        const std::string left = HelpLeft(*row);
        out += left;
        if (left.size() + 2 > column) {
            out += "\n" + std::string(column, ' ');
        } else {
            out += std::string(column - left.size(), ' ');
        }
        AppendWrapped(out, HelpRight(*row), column, column);
    }
    return out;
}

std::string VersionText(std::string_view program) {
    return std::string(program) + " " + KALDORA_VERSION;
}
