#include "cli/Csv.h"

namespace {
constexpr int End = std::char_traits<char>::eof();
}

TCsvReader::TCsvReader(std::istream& in) : FIn(in.rdbuf()) {
    if (Peek() != 0xEF) return;
    // Only a whole mark is skipped; anything else that starts with EF stays data.
    std::string start;
    for (int k = 0; k < 3 && Peek() != End; ++k)
        start += static_cast<char>(Get());
    if (start != "\xEF\xBB\xBF") FAhead = start;
}

int TCsvReader::Peek() {
    if (FAheadPos < FAhead.size()) return static_cast<unsigned char>(FAhead[FAheadPos]);
    return FIn ? FIn->sgetc() : End;
}

int TCsvReader::Get() {
    if (FAheadPos < FAhead.size()) {
        const int c = static_cast<unsigned char>(FAhead[FAheadPos++]);
        if (FAheadPos == FAhead.size()) FAhead.clear(), FAheadPos = 0;
        return c;
    }
    return FIn ? FIn->sbumpc() : End;
}

// Steps over "\r\n", "\n" or a lone "\r".
void TCsvReader::SkipLineEnd() {
    if (Peek() == '\r') Get();
    if (Peek() == '\n') Get();
    ++FLine;
}

// Steps over one blank or comment line; false when the next line holds a record.
bool TCsvReader::SkipIgnoredLine() {
    if (Peek() == '#') {
        while (Peek() != End && Peek() != '\r' && Peek() != '\n')
            Get();
        SkipLineEnd();
        return true;
    }
    // Blanks alone on a line: look ahead without losing them when a record follows.
    std::string blanks;
    while (Peek() == ' ' || Peek() == '\t')
        blanks += static_cast<char>(Get());
    if (Peek() == '\r' || Peek() == '\n') {
        SkipLineEnd();
        return true;
    }
    if (Peek() == End) return !blanks.empty();
    FAhead = blanks + FAhead.substr(FAheadPos);
    FAheadPos = 0;
    return false;
}

bool TCsvReader::Next(TCsvRecord& record) {
    while (Peek() != End && SkipIgnoredLine()) {
    }
    if (Peek() == End) return false;
    record = TCsvRecord{};
    record.Line = FLine;
    std::string field;
    for (;;) {
        const bool quoted = Peek() == '"';
        if (quoted) {
            const int openLine = FLine;
            Get();
            bool closed = false;
            for (int c = Get(); c != End; c = Get()) {
                if (c == '"') {
                    if (Peek() == '"') {
                        field += '"';
                        Get();
                        continue;
                    }
                    closed = true;
                    break;
                }
                if (c == '\n') ++FLine;
                field += static_cast<char>(c);
            }
            if (!closed && record.Error.empty())
                record.Error = "the quote opened on line " + std::to_string(openLine) + " is never closed";
        }
        // Unquoted text, or what follows a closing quote up to the next separator.
        std::string rest;
        while (Peek() != End && Peek() != ',' && Peek() != '\r' && Peek() != '\n')
            rest += static_cast<char>(Get());
        if (quoted && !rest.empty() && record.Error.empty())
            record.Error = "text after a closing quote: '" + rest + "'";
        field += rest;
        record.Fields.push_back(std::move(field));
        field.clear();
        if (Peek() == ',') {
            Get();
            continue;
        }
        if (Peek() != End) SkipLineEnd();
        return true;
    }
}

std::string CsvField(const std::string& text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
                       (!text.empty() && (text.front() == '#' || blank(text.front()) || blank(text.back())));
    if (!quote) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string CsvLine(const std::vector<std::string>& fields) {
    // Written bare, one empty field would be a blank line, which a reader steps over.
    if (fields.size() == 1 && fields[0].empty()) return "\"\"\r\n";
    std::string line;
    for (size_t k = 0; k < fields.size(); ++k) {
        if (k > 0) line += ',';
        line += CsvField(fields[k]);
    }
    return line + "\r\n";
}
