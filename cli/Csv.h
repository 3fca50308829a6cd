#pragma once
// CSV as the batch reads and writes it: a record per line, fields separated by commas,
// quoted where they hold a separator ("a,b", "say ""hi""", line breaks inside quotes),
// LF or CRLF line ends. Reading streams: one record at a time, so a file of any length
// costs the memory of its longest record.

#include <istream>
#include <string>
#include <vector>

struct TCsvRecord {
    int Line = 0;                    // where the record begins, from 1
    std::vector<std::string> Fields; // unquoted
    std::string Error;               // a quote never closed, text after a closing quote
};

class TCsvReader {
public:
    // Skips a UTF-8 byte order mark at the start.
    explicit TCsvReader(std::istream& in);
    // The next record, stepping over blank lines and lines whose first character is '#';
    // false at the end of the input.
    bool Next(TCsvRecord& record);

private:
    int Peek();
    int Get();
    void SkipLineEnd();
    bool SkipIgnoredLine();

    std::streambuf* FIn;
    std::string FAhead; // bytes taken from FIn and given back, served before it
    size_t FAheadPos = 0;
    int FLine = 1;
};

// One field as written: quoted when it begins with '#' (a reader would take the line
// for a comment), holds a quote, a comma, CR or LF, or begins or ends with a blank or a
// tab, so that what is written reads back the same.
std::string CsvField(const std::string& text);
// The fields as one record, ending in CRLF.
std::string CsvLine(const std::vector<std::string>& fields);
