#include "cli/Batch.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <optional>
#include <sstream>

#include "base/Convert.h"
#include "base/Exception.h"
#include "cli/Json.h"
#include "cli/KaldoraCli.h"
#include "protocol/CommandInputRules.h"
#include "protocol/HexText.h"

namespace {

std::string Trim(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t'))
        ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t'))
        --e;
    return std::string(text.substr(b, e - b));
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool IsReportColumn(const std::string& name) {
    const std::string key = Lower(Trim(name));
    return std::any_of(ReportColumns.begin(), ReportColumns.end(), [&key](const char* c) { return key == c; });
}

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

// Fills in the row's inputs and frame, or its SkipReason.
void MapRow(TBatchRow& row, const TBatchHeader& header, bool buildFrame) {
    const size_t columns = header.Columns.size();
    if (row.Fields.size() > columns) {
        std::string extra;
        for (size_t k = columns; k < row.Fields.size(); ++k)
            extra += (extra.empty() ? "" : ", ") + Quote(row.Fields[k]);
        row.SkipReason = std::to_string(row.Fields.size()) + " fields, but the header names " +
                         std::to_string(columns) + " columns (extra: " + extra + ")";
        return;
    }
    if (row.Fields.size() < columns) {
        std::string missing;
        for (size_t k = row.Fields.size(); k < columns; ++k)
            missing += (missing.empty() ? "" : ", ") + Quote(header.Columns[k]);
        row.SkipReason = "missing column" + std::string(columns - row.Fields.size() > 1 ? "s " : " ") + missing;
        return;
    }
    const std::string modelText = Trim(row.Fields[header.ModelColumn]);
    const std::optional<TModel> model = ModelOfName(modelText);
    if (modelText.empty()) {
        row.SkipReason = "no model given";
        return;
    }
    if (!model) {
        row.SkipReason = "unknown model " + Quote(modelText) + " (" + ModelNamesText() + ")";
        return;
    }
    const std::string idText = Trim(row.Fields[header.IdColumn]);
    if (idText.empty()) {
        row.SkipReason = "no id given";
        return;
    }
    const std::optional<int32_t> id = TryStrToInt(idText);
    if (!id) {
        row.SkipReason = "id " + Quote(idText) + " is not a whole number";
        return;
    }
    if (*id < CliIdMin || *id > CliIdMax) {
        row.SkipReason = "id " + idText + " is outside " + std::to_string(CliIdMin) + ".." +
                         std::to_string(CliIdMax) + " (one byte in the frame)";
        return;
    }
    TCommandInputs inputs;
    ApplyModelSelection(inputs, *model);
    inputs.Kind = TCommandKind::SetId;
    inputs.Id = *id;
    if (*model == TModel::OspreyB) {
        if (header.SerialColumn < 0) {
            row.SkipReason = "OSPREY-B needs a serial number, and the file has no 'serial' column";
            return;
        }
        const std::string serial = Trim(row.Fields[header.SerialColumn]);
        if (serial.empty()) {
            row.SkipReason = "OSPREY-B needs a serial number (its address on the bus); the serial is empty";
            return;
        }
        const std::string problem = CheckSerialText(serial);
        if (!problem.empty()) {
            row.SkipReason = problem;
            return;
        }
        inputs.SerialText = serial;
    }
    row.Inputs = inputs;
    if (!buildFrame) return;
    try {
        TCipherState cipherState{};
        row.Frame = BuildCommandFrame(inputs, cipherState);
    } catch (const Exception& e) {
        row.SkipReason = e.Message();
    }
}

std::string WithoutLineEnd(std::string line) {
    if (line.size() >= 2) line.resize(line.size() - 2);
    return line;
}

std::vector<std::string> FieldsOf(const std::string& csv) {
    std::istringstream in(csv);
    TCsvReader reader(in);
    TCsvRecord record;
    if (!reader.Next(record)) return {};
    return record.Fields;
}

std::string LinesText(const std::vector<int>& lines, size_t count) {
    std::string text;
    for (size_t k = 0; k < lines.size() && k < TDuplicateCheck::MaxLinesShown; ++k)
        text += (k ? ", " : "") + std::to_string(lines[k]);
    if (count > TDuplicateCheck::MaxLinesShown)
        text += " and " + std::to_string(count - TDuplicateCheck::MaxLinesShown) + " more";
    return text;
}

void Note(std::vector<int>& lines, size_t& count, int line) {
    ++count;
    if (lines.size() <= TDuplicateCheck::MaxLinesShown) lines.push_back(line);
}

} // namespace

std::string CheckSerialText(std::string_view serial) {
    const std::string shown = Quote(std::string(serial));
    if (serial.size() < 3 || serial.size() > 10)
        return "serial " + shown + " must have 3 to 10 characters (year, month, number, e.g. 23A1705)";
    for (size_t k = 0; k < serial.size(); ++k) {
        const char c = serial[k];
        const bool digit = c >= '0' && c <= '9';
        if (k == 2 ? !(digit || (c >= 'A' && c <= 'C')) : !digit)
            return "serial " + shown + ": character " + std::to_string(k + 1) + " '" + std::string(1, c) +
                   (k == 2 ? "' is not a month (0..9 or A..C)" : "' is not a digit");
    }
    try {
        ElnFromSerialText(serial);
    } catch (const Exception& e) {
        return "serial " + shown + " gives no address: " + e.Message();
    }
    return "";
}

TBatchHeader ReadBatchHeader(const TCsvRecord& record) {
    TBatchHeader header;
    if (!record.Error.empty()) {
        header.Error = "header row on line " + std::to_string(record.Line) + ": " + record.Error;
        return header;
    }
    header.Columns = record.Fields;
    for (size_t k = 0; k < header.Columns.size(); ++k) {
        const std::string name = Lower(Trim(header.Columns[k]));
        for (size_t j = 0; j < k; ++j) {
            if (!name.empty() && Lower(Trim(header.Columns[j])) == name) {
                header.Error = "the header names column " + Quote(name) + " twice (columns " +
                               std::to_string(j + 1) + " and " + std::to_string(k + 1) + ")";
                return header;
            }
        }
        if (name == "model") header.ModelColumn = static_cast<int>(k);
        if (name == "id") header.IdColumn = static_cast<int>(k);
        if (name == "serial") header.SerialColumn = static_cast<int>(k);
    }
    if (header.ModelColumn < 0 || header.IdColumn < 0) {
        header.Error = std::string("the header row names no ") + (header.ModelColumn < 0 ? "'model'" : "'id'") +
                       " column (columns 'model' and 'id' are needed, 'serial' for OSPREY-B)";
        return header;
    }
    // Only a report's own columns are left out: a file that merely has a "time" or "port"
    // column of its own keeps it.
    const bool isReport = static_cast<size_t>(std::count_if(header.Columns.begin(), header.Columns.end(),
                                                            IsReportColumn)) == ReportColumns.size();
    for (size_t k = 0; k < header.Columns.size(); ++k)
        if (!isReport || !IsReportColumn(header.Columns[k])) header.Kept.push_back(k);
    return header;
}

TBatchRow MapBatchRow(TCsvRecord record, const TBatchHeader& header, bool buildFrame) {
    TBatchRow row;
    row.Line = record.Line;
    row.Fields = std::move(record.Fields);
    if (!record.Error.empty())
        row.SkipReason = record.Error;
    else
        MapRow(row, header, buildFrame);
    return row;
}

TBatchFile ParseBatchCsv(std::string_view text) {
    TBatchFile file;
    std::istringstream in{std::string(text)};
    TCsvReader reader(in);
    TCsvRecord record;
    if (!reader.Next(record)) {
        file.Error = "no header row (the first line must name the columns, e.g. model,id,serial)";
        return file;
    }
    file.Header = ReadBatchHeader(record);
    file.Error = file.Header.Error;
    if (!file.Error.empty()) return file;
    while (reader.Next(record))
        file.Rows.push_back(MapBatchRow(std::move(record), file.Header));
    return file;
}

std::string KeptHeaderCsv(const TBatchHeader& header) {
    std::vector<std::string> names;
    for (size_t k : header.Kept)
        names.push_back(header.Columns[k]);
    return WithoutLineEnd(CsvLine(names));
}

TJournalRow JournalRowOf(const TBatchRow& row, const TBatchHeader& header) {
    TJournalRow out;
    out.Line = row.Line;
    std::vector<std::string> kept;
    for (size_t k : header.Kept)
        kept.push_back(k < row.Fields.size() ? row.Fields[k] : "");
    out.Fields = WithoutLineEnd(CsvLine(kept));
    if (!row.SkipReason.empty()) {
        out.State = TRowState::Skipped;
        out.Reason = row.SkipReason;
        return out;
    }
    out.Id = row.Inputs.Id;
    if (row.Inputs.Model == TModel::OspreyB) out.Serial = row.Inputs.SerialText;
    return out;
}

std::string DeviceText(const TCommandInputs& inputs) {
    std::string text = std::string(ModelCaption(inputs.Model)) + " id " + std::to_string(inputs.Id);
    if (inputs.Model == TModel::OspreyB) text += " serial " + inputs.SerialText;
    return text;
}

void TDuplicateCheck::Add(const TBatchRow& row) {
    if (!row.SkipReason.empty()) return;
    TSeen& id = FIds[static_cast<size_t>(row.Inputs.Id) & 0xFF];
    Note(id.Lines, id.Count, row.Line);
    if (row.Inputs.Model != TModel::OspreyB) return;
    auto it = std::lower_bound(FSerials.begin(), FSerials.end(), row.Inputs.SerialText,
                               [](const auto& entry, const std::string& key) { return entry.first < key; });
    if (it == FSerials.end() || it->first != row.Inputs.SerialText)
        it = FSerials.insert(it, {row.Inputs.SerialText, TSeen{}});
    Note(it->second.Lines, it->second.Count, row.Line);
}

bool TDuplicateCheck::Found() const {
    return std::any_of(FIds.begin(), FIds.end(), [](const TSeen& s) { return s.Count > 1; }) ||
           std::any_of(FSerials.begin(), FSerials.end(), [](const auto& s) { return s.second.Count > 1; });
}

std::string TDuplicateCheck::Text() const {
    std::string text;
    for (size_t id = 0; id < FIds.size(); ++id)
        if (FIds[id].Count > 1)
            text += (text.empty() ? "" : "; ") + ("ID " + std::to_string(id)) + " on lines " +
                    LinesText(FIds[id].Lines, FIds[id].Count);
    for (const auto& [serial, seen] : FSerials)
        if (seen.Count > 1)
            text += (text.empty() ? "" : "; ") + ("serial " + serial) + " on lines " + LinesText(seen.Lines, seen.Count);
    return text;
}

const TOutcomeRule& OutcomeRuleOf(TExchangeOutcome outcome) {
    // One row per outcome. Only a frame of which nothing left goes back to the queue; a
    // frame that may have left is never sent on another port.
    static constexpr TOutcomeRule Rules[] = {
        {TExchangeOutcome::Accepted, TRowState::Ok, false, false, true},
        {TExchangeOutcome::WrongLength, TRowState::Failed, true, false, true},
        {TExchangeOutcome::NoReply, TRowState::Failed, true, false, true},
        {TExchangeOutcome::LateReply, TRowState::LateReply, false, false, true},
        {TExchangeOutcome::NotSent, TRowState::Pending, false, true, false},
        {TExchangeOutcome::LostAfterSend, TRowState::LostAfterSend, false, false, false},
        {TExchangeOutcome::Interrupted, TRowState::Unknown, false, false, true},
        {TExchangeOutcome::Sent, TRowState::Failed, false, false, true},
    };
    for (const TOutcomeRule& rule : Rules)
        if (rule.Outcome == outcome) return rule;
    return Rules[std::size(Rules) - 1];
}

std::string FormatBatchSummary(const TBatchSummary& s) {
    const auto count = [&s](TRowState state) { return s.Counts[static_cast<size_t>(state)]; };
    size_t total = 0;
    for (size_t n : s.Counts)
        total += n;
    std::string out = s.Interrupted ? "Interrupted. " : "";
    out += "Summary: " + std::to_string(total) + (total == 1 ? " row: " : " rows: ") +
           std::to_string(count(TRowState::Ok)) + " ok, " + std::to_string(count(TRowState::Failed)) + " failed, ";
    for (TRowState state : {TRowState::LateReply, TRowState::LostAfterSend})
        if (count(state)) out += std::to_string(count(state)) + " " + RowStateText(state) + ", ";
    const size_t unknown = count(TRowState::Unknown) + count(TRowState::Sending);
    if (unknown) out += std::to_string(unknown) + " unknown, ";
    out += std::to_string(count(TRowState::Skipped)) + " skipped, " +
           std::to_string(count(TRowState::NotRun) + count(TRowState::Pending)) + " not run\n";
    for (const TJournalRow& r : s.Problems) {
        std::string line = std::string("  ") + RowStateText(r.State) + " line " + std::to_string(r.Line) + ": " + r.Reason;
        if (r.Attempts > 0)
            line += " (" + std::to_string(r.Attempts) + (r.Attempts == 1 ? " attempt" : " attempts") +
                    (r.Port.empty() ? "" : ", " + r.Port) + ")";
        out += line + "\n";
    }
    if (s.MoreProblems) out += "  ... and " + std::to_string(s.MoreProblems) + " more (see the report)\n";
    if (total == 0) out += "  the file lists no devices\n";
    if (!s.Ports.empty()) out += "Ports: " + s.Ports + "\n";
    return out;
}

std::string FormatSummaryJson(const TBatchSummary& s) {
    const auto count = [&s](TRowState state) { return static_cast<long long>(s.Counts[static_cast<size_t>(state)]); };
    long long total = 0;
    for (size_t n : s.Counts)
        total += static_cast<long long>(n);
    std::string problems = "[";
    for (const TJournalRow& r : s.Problems) {
        TJsonObject p;
        p.Add("line", r.Line).Add("result", RowStateText(r.State)).Add("reason", r.Reason);
        problems += (problems.size() > 1 ? "," : "") + p.Text();
    }
    problems += "]";
    TJsonObject object;
    object.Add("type", "summary")
        .Add("rows", total)
        .Add("ok", count(TRowState::Ok))
        .Add("failed", count(TRowState::Failed))
        .Add("late_reply", count(TRowState::LateReply))
        .Add("lost_after_send", count(TRowState::LostAfterSend))
        .Add("unknown", count(TRowState::Unknown) + count(TRowState::Sending))
        .Add("skipped", count(TRowState::Skipped))
        .Add("not_run", count(TRowState::NotRun) + count(TRowState::Pending))
        .Add("interrupted", s.Interrupted)
        .Add("ports", s.Ports)
        .AddRaw("problems", problems)
        .Add("more_problems", static_cast<long long>(s.MoreProblems));
    return object.Text();
}

std::string FormatRowJson(const TBatchHeader& header, const TJournalRow& row) {
    const std::vector<std::string> fields = FieldsOf(row.Fields);
    TJsonObject columns;
    for (size_t k = 0; k < header.Kept.size() && k < fields.size(); ++k)
        columns.Add(header.Columns[header.Kept[k]], fields[k]);
    TJsonObject object;
    object.Add("type", "row")
        .Add("line", row.Line)
        .Add("result", RowStateText(row.State))
        .Add("reason", row.Reason)
        .Add("reply", row.Reply)
        .Add("attempts", row.Attempts)
        .Add("port", row.Port)
        .Add("elapsed_ms", static_cast<long long>(row.ElapsedMs))
        .Add("time", row.Time)
        .AddRaw("columns", columns.Text());
    return object.Text();
}

std::string RowLine(const TJournalRow& row, const std::string& device) {
    std::string line = "line " + std::to_string(row.Line) + ": " + RowStateText(row.State);
    if (row.State == TRowState::Skipped || row.Attempts == 0) return line + ": " + row.Reason;
    line += " " + device + " on " + row.Port;
    if (!row.Reason.empty()) line += ": " + row.Reason;
    line += " (" + std::to_string(row.Attempts) + (row.Attempts == 1 ? " attempt, " : " attempts, ") +
            std::to_string(row.ElapsedMs) + " ms)";
    return line;
}

std::string PortShares(const std::vector<std::pair<std::string, size_t>>& shares) {
    std::string text;
    for (const auto& [port, count] : shares)
        text += (text.empty() ? "" : ", ") + port + " " + std::to_string(count) + (count == 1 ? " row" : " rows");
    return text;
}

int BatchExitCode(const std::array<size_t, RowStateCount>& counts) {
    size_t total = 0;
    for (size_t n : counts)
        total += n;
    return total > 0 && counts[static_cast<size_t>(TRowState::Ok)] == total ? 0 : 1;
}
