// kaldora-gendoc TEMPLATES OUT VERSION DATE: writes the manual pages (OUT/man/*.1) and the
// bash completions (OUT/completions/kaldora-cli, kaldora-devsim) of the programs, made of
// the help texts and option tables the programs themselves print. A page's hand-written
// parts come from TEMPLATES/NAME.1.in, whose @SYNOPSIS@, @DESCRIPTION@, @OPTIONS@ and
// @COMMANDS@ lines are replaced. Run at build time; not installed.
//
// A help text must read as its head, OptionsHelpText of its tables and its tail; when it
// does not, the build stops here rather than ship a page that differs from --help.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/WindowOptions.h"
#include "base/Options.h"
#include "cli/KaldoraCli.h"
#include "devsim/DevsimOptions.h"

namespace {

// ---- Plain text

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

size_t Indent(const std::string& line) {
    const size_t at = line.find_first_not_of(' ');
    return at == std::string::npos ? line.size() : at;
}

std::string Trim(const std::string& text) {
    const size_t from = text.find_first_not_of(' ');
    if (from == std::string::npos) return "";
    return text.substr(from, text.find_last_not_of(' ') - from + 1);
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

bool HasUpper(const std::string& word) {
    return std::any_of(word.begin(), word.end(), [](unsigned char c) { return std::isupper(c); });
}

// ---- roff

// One line of text as roff: a backslash and a hyphen-minus printed as typed, and a line
// never taken for a request.
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
    return out;
}

std::string Bold(const std::string& text) {
    return "\\fB" + Roff(text) + "\\fR";
}

std::string Italic(const std::string& text) {
    return "\\fI" + Roff(text) + "\\fR";
}

// An option list's left column: option names bold, value names (they have capitals)
// italic, literal words such as "off" bold.
std::string Term(const std::string& term) {
    if (term.empty() || term[0] != '-') return Bold(term);
    std::string out;
    for (std::string word : Words(term)) {
        std::string comma;
        if (word.size() > 1 && word.back() == ',') {
            comma = ",";
            word.pop_back();
        }
        if (!out.empty()) out += " ";
        out += (word[0] != '-' && HasUpper(word) ? Italic(word) : Bold(word)) + comma;
    }
    return out;
}

// ---- Help texts

// An indented block of two columns ("  --tcp HOST:PORT    listen on ..."), the second
// column possibly wrapped onto lines of its own.
struct TListItem {
    std::string Term, Text;
};

// Where the second column of a line begins: after the first gap of two blanks.
std::optional<size_t> SecondColumn(const std::string& line) {
    const size_t gap = line.find("  ", Indent(line));
    if (gap == std::string::npos) return std::nullopt;
    const size_t at = line.find_first_not_of(' ', gap);
    if (at == std::string::npos) return std::nullopt;
    return at;
}

std::optional<std::vector<TListItem>> ListItems(const std::vector<std::string>& block) {
    const auto column = SecondColumn(block.at(0));
    if (!column) return std::nullopt;
    const size_t indent = Indent(block[0]);
    std::vector<TListItem> items;
    for (const std::string& line : block) {
        if (Indent(line) >= *column && !items.empty()) {
            items.back().Text += "\n" + Trim(line);
            continue;
        }
        if (Indent(line) != indent) return std::nullopt;
        auto at = SecondColumn(line);
        // A long first column leaves one blank before the second.
        if (!at || *at + 4 < *column || *at > *column + 4) {
            if (line.size() <= *column || line[*column - 1] != ' ' || line[*column] == ' ') return std::nullopt;
            at = *column;
        }
        items.push_back({Trim(line.substr(0, *at)), Trim(line.substr(*at))});
    }
    return items;
}

std::string RenderList(const std::vector<TListItem>& items) {
    std::string out;
    for (const TListItem& item : items) {
        out += ".TP\n" + Term(item.Term) + "\n";
        for (const std::string& line : Lines(item.Text))
            out += Roff(line) + "\n";
    }
    return out;
}

// Paragraphs filled, indented blocks as lists or kept line for line.
std::string RenderText(const std::string& text) {
    const std::vector<std::string> lines = Lines(text);
    std::string out;
    bool paragraph = false;
    for (size_t k = 0; k < lines.size();) {
        if (Trim(lines[k]).empty()) {
            paragraph = !out.empty();
            ++k;
            continue;
        }
        if (paragraph) out += ".PP\n";
        paragraph = false;
        if (Indent(lines[k]) > 0) {
            std::vector<std::string> block;
            for (; k < lines.size() && Indent(lines[k]) > 0 && !Trim(lines[k]).empty(); ++k)
                block.push_back(lines[k]);
            if (const auto items = ListItems(block)) {
                out += RenderList(*items);
            } else {
                out += ".RS 2\n.nf\n";
                for (const std::string& line : block)
                    out += Roff(line.substr(2)) + "\n";
                out += ".fi\n.RE\n";
            }
            // Text after a block starts a paragraph of its own.
            paragraph = true;
            continue;
        }
        for (; k < lines.size() && Indent(lines[k]) == 0 && !lines[k].empty(); ++k)
            out += Roff(lines[k]) + "\n";
    }
    return out;
}

std::string OptionsText(const std::vector<const TOptionTable*>& tables) {
    switch (tables.size()) {
    case 0: return "";
    case 1: return OptionsHelpText({*tables[0]});
    case 2: return OptionsHelpText({*tables[0], *tables[1]});
    case 3: return OptionsHelpText({*tables[0], *tables[1], *tables[2]});
    }
    throw std::runtime_error("more option tables than OptionsText takes");
}

// A help text cut at its option list.
struct THelpParts {
    std::vector<std::string> Usage; // "kaldora-cli frame [options]", continuation lines as printed
    std::string Head, Tail;         // before and after the option list
    std::vector<const TOption*> Rows;
    std::string HelpRowText; // the text of -h, --help when OptionsHelpText adds that row
};

THelpParts SplitHelp(const std::string& what, const std::string& text,
                     const std::vector<const TOptionTable*>& tables) {
    THelpParts parts;
    const std::string options = OptionsText(tables);
    size_t at = text.size();
    if (!options.empty()) {
        at = text.find(options);
        if (at == std::string::npos || text.find(options, at + 1) != std::string::npos)
            throw std::runtime_error("the help of " + what + " does not list its option tables once");
        parts.Tail = text.substr(at + options.size());
        for (const TOptionTable* table : tables)
            for (const TOption& row : *table)
                parts.Rows.push_back(&row);
        const std::string helpRow = "  -h, --help";
        if (const size_t h = options.rfind(helpRow); h != std::string::npos)
            parts.HelpRowText = Trim(options.substr(h + helpRow.size(), options.find('\n', h) - h - helpRow.size()));
    }
    std::vector<std::string> head = Lines(text.substr(0, at));
    size_t k = 0;
    if (!head.empty() && (head[0].rfind("Usage: ", 0) == 0 || head[0].rfind("usage: ", 0) == 0)) {
        parts.Usage.push_back(head[0].substr(7));
        for (k = 1; k < head.size() && Indent(head[k]) > 0 && !Trim(head[k]).empty(); ++k)
            parts.Usage.push_back(head[k]);
    }
    // The list's own heading is the page's to give.
    size_t end = head.size();
    while (end > k && Trim(head[end - 1]).empty())
        --end;
    if (end > k && head[end - 1] == "Options:") head.resize(end - 1);
    for (; k < head.size(); ++k)
        parts.Head += head[k] + "\n";
    if (parts.Usage.empty()) throw std::runtime_error("the help of " + what + " has no usage line");
    return parts;
}

// A row's text as OptionsHelpText shows it.
std::string RowHelp(const TOption& row) {
    const std::string allowed = AllowedText(row);
    const size_t at = row.Help.find("{}");
    if (at != std::string::npos) return row.Help.substr(0, at) + allowed + row.Help.substr(at + 2);
    if (allowed.empty()) return row.Help;
    return row.Help + (row.Help.empty() ? "" : " ") + "(" + allowed + ")";
}

std::string RenderRows(const THelpParts& parts) {
    std::string out;
    for (const TOption* row : parts.Rows) {
        std::string term = row->Short ? std::string("-") + row->Short + ", " : "";
        term += "--" + row->Name;
        if (row->Kind != TOptionKind::Flag) term += " " + row->ValueName;
        out += ".TP\n" + Term(term) + "\n";
        const std::vector<std::string> lines = Lines(RowHelp(*row));
        for (size_t k = 0; k < lines.size(); ++k)
            out += (k > 0 ? ".br\n" : "") + Roff(lines[k]) + "\n";
        if (row->Repeatable) out += "(may be given more than once)\n";
    }
    if (!parts.HelpRowText.empty()) out += ".TP\n" + Term("-h, --help") + "\n" + Roff(parts.HelpRowText) + "\n";
    return out;
}

// The usage lines, the program and command words bold.
std::string RenderUsage(const std::vector<std::string>& usage) {
    std::string out;
    const std::string program = Words(usage.at(0)).at(0);
    for (size_t k = 0; k < usage.size(); ++k) {
        // A continuation of the line before, or a usage of its own.
        if (k > 0 && Words(usage[k]).at(0) != program) {
            out += "    " + Roff(Trim(usage[k])) + "\n";
            continue;
        }
        const std::vector<std::string> words = Words(usage[k]);
        std::string line;
        size_t w = 0;
        for (; w < words.size() && words[w].find_first_of("[(-.") == std::string::npos && !HasUpper(words[w]); ++w)
            line += (w ? " " : "") + words[w];
        line = Bold(line);
        for (; w < words.size(); ++w)
            line += " " + Roff(words[w]);
        out += line + "\n";
    }
    return out;
}

// ---- Pages

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::string Replace(std::string text, const std::string& marker, const std::string& with) {
    for (size_t at; (at = text.find(marker)) != std::string::npos;)
        text.replace(at, marker.size(), with);
    return text;
}

// The template with its markers replaced; every marker must be used once.
std::string Page(const std::filesystem::path& templateFile, const std::map<std::string, std::string>& parts,
                 const std::string& version, const std::string& date) {
    std::string page = ReadFile(templateFile);
    for (const auto& [marker, text] : parts) {
        const std::string line = "@" + marker + "@\n";
        if (page.find(line) == std::string::npos)
            throw std::runtime_error(templateFile.string() + " has no line " + "@" + marker + "@");
        page = Replace(page, line, text);
    }
    page = Replace(Replace(page, "@VERSION@", version), "@DATE@", date);
    for (const char* marker : {"@SYNOPSIS@", "@DESCRIPTION@", "@OPTIONS@", "@COMMANDS@"})
        if (page.find(marker) != std::string::npos)
            throw std::runtime_error(templateFile.string() + ": nothing replaces " + marker);
    return page;
}

// ---- Completion

enum class TValues { None, Words, Files, Ports };

struct TCompletedOption {
    std::vector<std::string> Names; // "--port", "-p"
    bool TakesValue = false;
    TValues Values = TValues::None;
    std::vector<std::string> Words;
};

struct TCompletedCommand {
    std::string Name; // empty: the program has no commands
    std::vector<TCompletedOption> Options;
    std::vector<TCompletedOption> Positionals; // what each positional argument takes
};

// FILE, FILE.csv, PATH, PICTURE.png name files; HEX... does not.
TValues ValuesOfName(const std::string& valueName) {
    const size_t dot = valueName.rfind('.');
    const bool extension = dot != std::string::npos && dot + 1 < valueName.size() && std::islower(valueName[dot + 1]);
    if (valueName.find("FILE") != std::string::npos || valueName == "PATH" || extension) return TValues::Files;
    return TValues::None;
}

TCompletedCommand CompletionOf(const std::string& name, const THelpParts& parts) {
    TCompletedCommand command{name, {}, {}};
    for (const TOption* row : parts.Rows) {
        TCompletedOption o;
        o.Names.push_back("--" + row->Name);
        if (row->Short) o.Names.push_back(std::string("-") + row->Short);
        o.TakesValue = row->Kind != TOptionKind::Flag;
        if (row->Kind == TOptionKind::Choice) {
            o.Values = TValues::Words;
            o.Words = row->Choices;
        } else if (row->Name == "port" && row->ValueName.find("COM") != std::string::npos) {
            o.Values = TValues::Ports;
        } else if (o.TakesValue) {
            o.Values = ValuesOfName(row->ValueName);
        }
        command.Options.push_back(o);
    }
    command.Options.push_back({{"--help", "-h"}, false, TValues::None, {}});
    command.Options.push_back({{"--version"}, false, TValues::None, {}});
    // The positional arguments the usage line names before its options: literal words
    // ("journal export FILE") and file names.
    const std::vector<std::string> words = Words(parts.Usage.at(0));
    for (size_t w = name.empty() ? 1 : 2; w < words.size(); ++w) {
        const std::string& word = words[w];
        if (word.find_first_of("[(-") == 0) break;
        TCompletedOption p;
        if (!HasUpper(word)) {
            p.Values = TValues::Words;
            p.Words = {word};
        } else {
            p.Values = ValuesOfName(word);
        }
        command.Positionals.push_back(p);
    }
    return command;
}

std::string Joined(const std::vector<std::string>& words, const char* between = " ") {
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : between) + w;
    return out;
}

std::string ValueReply(const TCompletedOption& o, const std::string& function) {
    switch (o.Values) {
    case TValues::Words: return "mapfile -t COMPREPLY < <(compgen -W \"" + Joined(o.Words) + "\" -- \"$cur\")";
    case TValues::Files: return "_kaldora_files";
    case TValues::Ports: return function + "_ports";
    case TValues::None: break;
    }
    return "";
}

// One completion function: with commands, the first word chooses one; without, the
// options start at once.
std::string CompletionScript(const std::string& program, const std::vector<TCompletedCommand>& commands) {
    std::string function = "_" + program;
    std::replace(function.begin(), function.end(), '-', '_');
    const bool withCommands = !commands.at(0).Name.empty();
    const std::string first = withCommands ? "2" : "1";
    std::string s = "# bash completion for " + program +
                    ", generated from the program's option tables when it is built.\n\n";
    s += "_kaldora_files() {\n"
         "    compopt -o filenames 2>/dev/null\n"
         "    mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n"
         "}\n\n";
    bool ports = false;
    for (const TCompletedCommand& c : commands)
        for (const TCompletedOption& o : c.Options)
            ports = ports || o.Values == TValues::Ports;
    if (ports)
        s += "# The ports that '" + program +
             " ports' lists, by COM name and path; a path being typed is completed as a file.\n" + function +
             "_ports() {\n"
             "    local program=${COMP_WORDS[0]}\n"
             "    type -P \"$program\" >/dev/null || program=" +
             program +
             "\n"
             "    mapfile -t COMPREPLY < <(compgen -W \"$(\"$program\" ports 2>/dev/null |\n"
             "        while read -r com path _; do [[ $com == COM[0-9]* ]] && echo \"$com $path\"; done)\" -- \"$cur\")\n"
             "    if [[ $cur == */* ]]; then\n"
             "        compopt -o filenames 2>/dev/null\n"
             "        mapfile -t -O ${#COMPREPLY[@]} COMPREPLY < <(compgen -f -- \"$cur\")\n"
             "    fi\n"
             "}\n\n";
    s += function + "() {\n"
                    "    local cur=${COMP_WORDS[COMP_CWORD]} prev= command= options= values= i n=0\n"
                    "    COMPREPLY=()\n"
                    "    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
                    "    # --name=VALUE comes split at the '=' (COMP_WORDBREAKS).\n"
                    "    if [[ $cur == = ]]; then\n"
                    "        cur=\n"
                    "    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then\n"
                    "        prev=${COMP_WORDS[COMP_CWORD - 2]}\n"
                    "    fi\n";
    if (withCommands) {
        std::vector<std::string> names;
        for (const TCompletedCommand& c : commands)
            names.push_back(c.Name);
        s += "    if ((COMP_CWORD == 1)); then\n"
             "        mapfile -t COMPREPLY < <(compgen -W \"" +
             Joined(names) +
             " help --help --version\" -- \"$cur\")\n"
             "        return 0\n"
             "    fi\n"
             "    command=${COMP_WORDS[1]}\n"
             "    if [[ $command == help ]]; then\n"
             "        ((COMP_CWORD == 2)) && mapfile -t COMPREPLY < <(compgen -W \"" +
             Joined(names) +
             "\" -- \"$cur\")\n"
             "        return 0\n"
             "    fi\n";
    }
    s += "    case $command in\n";
    for (const TCompletedCommand& c : commands) {
        std::vector<std::string> all, valued;
        for (const TCompletedOption& o : c.Options)
            for (const std::string& n : o.Names) {
                all.push_back(n);
                if (o.TakesValue) valued.push_back(n);
            }
        s += "    " + (c.Name.empty() ? std::string("\"\"") : c.Name) + ")\n";
        s += "        options=\"" + Joined(all) + "\"\n";
        s += "        values=\"" + Joined(valued) + "\"\n";
        s += "        ;;\n";
    }
    s += "    *) return 0 ;;\n    esac\n";
    // The value of the option before.
    s += "    if [[ -n $prev && \" $values \" == *\" $prev \"* ]]; then\n        case $command:$prev in\n";
    std::map<std::string, std::vector<std::string>> byReply;
    std::vector<std::string> order;
    for (const TCompletedCommand& c : commands)
        for (const TCompletedOption& o : c.Options) {
            const std::string reply = ValueReply(o, function);
            if (reply.empty()) continue;
            if (!byReply.count(reply)) order.push_back(reply);
            for (const std::string& n : o.Names)
                byReply[reply].push_back(c.Name + ":" + n);
        }
    for (const std::string& reply : order)
        s += "        " + Joined(byReply[reply], "|") + ") " + reply + " ;;\n";
    s += "        esac\n        return 0\n    fi\n";
    s += "    if [[ $cur == -* ]]; then\n"
         "        mapfile -t COMPREPLY < <(compgen -W \"$options\" -- \"$cur\")\n"
         "        return 0\n"
         "    fi\n";
    // Which positional argument this is: the words before it that are neither options nor
    // their values.
    s += "    for ((i = " + first +
         "; i < COMP_CWORD; i++)); do\n"
         "        if [[ \" $values \" == *\" ${COMP_WORDS[i]} \"* ]]; then\n"
         "            [[ ${COMP_WORDS[i + 1]} == = ]] && ((i++))\n"
         "            ((i++))\n"
         "        elif [[ ${COMP_WORDS[i]} != -* && ${COMP_WORDS[i]} != = ]]; then\n"
         "            ((n++))\n"
         "        fi\n"
         "    done\n"
         "    case $command:$n in\n";
    for (const TCompletedCommand& c : commands)
        for (size_t k = 0; k < c.Positionals.size(); ++k) {
            const std::string reply = ValueReply(c.Positionals[k], function);
            if (!reply.empty()) s += "    " + c.Name + ":" + std::to_string(k) + ") " + reply + " ;;\n";
        }
    s += "    esac\n    return 0\n}\n\n";
    s += "complete -F " + function + " " + program + "\n";
    return s;
}

// ---- The three programs

struct TDocs {
    std::string Page;
    std::string Completion;
};

TDocs KaldoraCliDocs(const std::filesystem::path& templates, const std::string& version, const std::string& date) {
    const std::vector<TCommandHelp> helps = CliCommandHelps();
    std::string synopsis = ".nf\n", commands;
    std::map<std::string, std::string> page;
    std::vector<TCompletedCommand> completion;
    for (const TCommandHelp& help : helps) {
        const std::string what = "kaldora-cli" + (help.Command.empty() ? "" : " " + help.Command);
        const THelpParts parts = SplitHelp(what, help.Text, help.Tables);
        synopsis += RenderUsage(parts.Usage);
        if (help.Command.empty()) {
            page["DESCRIPTION"] = RenderText(parts.Head) + ".PP\n" + RenderText(parts.Tail);
            page["OPTIONS"] = RenderRows(parts);
            continue;
        }
        commands += ".SS \"" + Roff(what) + "\"\n" + RenderText(parts.Head);
        // The rows get a heading unless the text before them is one ("... or one --tcp:").
        const std::string head = Trim(parts.Head.substr(0, parts.Head.find_last_not_of('\n') + 1));
        if (!parts.Rows.empty())
            commands += (head.empty() || head.back() != ':' ? ".PP\nOptions:\n" : "") + RenderRows(parts) + ".PP\n";
        commands += RenderText(parts.Tail);
        completion.push_back(CompletionOf(help.Command, parts));
        // The commands that send a frame read the frame command's options too.
        const bool frameOptions = std::any_of(parts.Usage.begin(), parts.Usage.end(), [](const std::string& line) {
            return line.find("[frame options]") != std::string::npos;
        });
        if (frameOptions)
            for (const TCompletedCommand& c : completion)
                if (c.Name == "frame")
                    for (const TCompletedOption& o : c.Options)
                        if (std::none_of(completion.back().Options.begin(), completion.back().Options.end(),
                                         [&o](const TCompletedOption& x) { return x.Names == o.Names; }))
                            completion.back().Options.push_back(o);
    }
    page["SYNOPSIS"] = synopsis + ".fi\n";
    page["COMMANDS"] = commands;
    return {Page(templates / "kaldora-cli.1.in", page, version, date), CompletionScript("kaldora-cli", completion)};
}

TDocs DevsimDocs(const std::filesystem::path& templates, const std::string& version, const std::string& date) {
    const THelpParts parts = SplitHelp("kaldora-devsim", DevsimHelpText(), {&DevsimOptionTable()});
    std::map<std::string, std::string> page;
    page["SYNOPSIS"] = ".nf\n" + RenderUsage(parts.Usage) + ".fi\n";
    page["DESCRIPTION"] = RenderText(parts.Head);
    page["OPTIONS"] = RenderRows(parts) + ".PP\n" + RenderText(parts.Tail);
    return {Page(templates / "kaldora-devsim.1.in", page, version, date),
            CompletionScript("kaldora-devsim", {CompletionOf("", parts)})};
}

std::string WindowPage(const std::filesystem::path& templates, const std::string& version, const std::string& date) {
    const TOptionTable table = WindowOptionTable();
    const THelpParts parts = SplitHelp("kaldora", WindowUsage(table), {&table});
    std::map<std::string, std::string> page;
    page["SYNOPSIS"] = ".nf\n" + RenderUsage(parts.Usage) + ".fi\n";
    page["OPTIONS"] = RenderText(parts.Head) + RenderRows(parts) + RenderText(parts.Tail);
    return Page(templates / "kaldora.1.in", page, version, date);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: kaldora-gendoc TEMPLATES OUT VERSION DATE\n";
        return 2;
    }
    const std::filesystem::path templates = argv[1], out = argv[2];
    const std::string version = argv[3], date = argv[4];
    try {
        const TDocs cli = KaldoraCliDocs(templates, version, date);
        const TDocs devsim = DevsimDocs(templates, version, date);
        WriteFile(out / "man" / "kaldora.1", WindowPage(templates, version, date));
        WriteFile(out / "man" / "kaldora-cli.1", cli.Page);
        WriteFile(out / "man" / "kaldora-devsim.1", devsim.Page);
        WriteFile(out / "completions" / "kaldora-cli", cli.Completion);
        WriteFile(out / "completions" / "kaldora-devsim", devsim.Completion);
    } catch (const std::exception& e) {
        std::cerr << "kaldora-gendoc: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
