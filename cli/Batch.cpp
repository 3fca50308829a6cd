#include "cli/Batch.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "base/Convert.h"
#include "base/Exception.h"
#include "cli/Json.h"
#include "protocol/HexText.h"
#include "protocol/Reply.h"

namespace {

// The columns the report adds after the input's own.
const char* const AddedColumns[] = {"result", "reason", "reply", "attempts", "port", "elapsed_ms", "time"};

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

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

bool IsAddedColumn(const std::string& name) {
    const std::string key = Lower(Trim(name));
    return std::any_of(std::begin(AddedColumns), std::end(AddedColumns),
                       [&key](const char* c) { return key == c; });
}

// One CSV record as read.
struct TRecord {
    int Line = 0;
    std::vector<std::string> Fields;
    std::string Error;
};

// Splits the text into records, leaving out blank and comment lines.
class TCsvReader {
public:
    explicit TCsvReader(std::string_view text) : FText(text) {
        if (FText.substr(0, 3) == "\xEF\xBB\xBF") FPos = 3;
    }

    bool Next(TRecord& record) {
        while (FPos < FText.size() && SkipIgnoredLine()) {
        }
        if (FPos >= FText.size()) return false;
        record = TRecord{};
        record.Line = FLine;
        ReadRecord(record);
        return true;
    }

private:
    // Steps over one blank or comment line; false when the line at FPos holds a record.
    bool SkipIgnoredLine() {
        size_t end = FText.find_first_of("\r\n", FPos);
        if (end == std::string_view::npos) end = FText.size();
        const std::string_view line = FText.substr(FPos, end - FPos);
        const bool blank = line.find_first_not_of(" \t") == std::string_view::npos;
        if (!blank && line[0] != '#') return false;
        FPos = end;
        SkipLineEnd();
        return true;
    }

    // Steps over "\r\n", "\n" or a lone "\r" at FPos.
    void SkipLineEnd() {
        if (FPos < FText.size() && FText[FPos] == '\r') ++FPos;
        if (FPos < FText.size() && FText[FPos] == '\n') ++FPos;
        ++FLine;
    }

    void ReadRecord(TRecord& record) {
        std::string field;
        for (;;) {
            const bool quoted = FPos < FText.size() && FText[FPos] == '"';
            if (quoted) {
                const int openLine = FLine;
                ++FPos;
                bool closed = false;
                while (FPos < FText.size()) {
                    const char c = FText[FPos++];
                    if (c == '"') {
                        if (FPos < FText.size() && FText[FPos] == '"') {
                            field += '"';
                            ++FPos;
                        } else {
                            closed = true;
                            break;
                        }
                    } else {
                        if (c == '\n') ++FLine;
                        field += c;
                    }
                }
                if (!closed && record.Error.empty())
                    record.Error = "the quote opened on line " + std::to_string(openLine) + " is never closed";
            }
            // Unquoted text, or what follows a closing quote up to the next separator.
            const size_t start = FPos;
            while (FPos < FText.size() && FText[FPos] != ',' && FText[FPos] != '\r' && FText[FPos] != '\n')
                ++FPos;
            const std::string_view rest = FText.substr(start, FPos - start);
            if (quoted && !rest.empty() && record.Error.empty())
                record.Error = "text after a closing quote: '" + std::string(rest) + "'";
            field += rest;
            record.Fields.push_back(std::move(field));
            field.clear();
            if (FPos < FText.size() && FText[FPos] == ',') {
                ++FPos;
                continue;
            }
            if (FPos < FText.size()) SkipLineEnd();
            return;
        }
    }

    std::string_view FText;
    size_t FPos = 0;
    int FLine = 1;
};

std::optional<TModel> ModelOfName(const std::string& name) {
    const std::string key = Upper(Trim(name));
    if (key == "KESTREL-A") return TModel::KestrelA;
    if (key == "MARLIN-A") return TModel::MarlinA;
    if (key == "OSPREY-B") return TModel::OspreyB;
    return std::nullopt;
}

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

// Fills in the row's inputs and frame, or its SkipReason.
void MapRow(TBatchRow& row, const std::vector<std::string>& header, int modelColumn, int idColumn,
            int serialColumn) {
    if (row.Fields.size() > header.size()) {
        std::string extra;
        for (size_t k = header.size(); k < row.Fields.size(); ++k)
            extra += (extra.empty() ? "" : ", ") + Quote(row.Fields[k]);
        row.SkipReason = std::to_string(row.Fields.size()) + " fields, but the header names " +
                         std::to_string(header.size()) + " columns (extra: " + extra + ")";
        return;
    }
    if (row.Fields.size() < header.size()) {
        std::string missing;
        for (size_t k = row.Fields.size(); k < header.size(); ++k)
            missing += (missing.empty() ? "" : ", ") + Quote(header[k]);
        row.SkipReason = "missing column" + std::string(header.size() - row.Fields.size() > 1 ? "s " : " ") + missing;
        return;
    }
    const std::string modelText = Trim(row.Fields[modelColumn]);
    const std::optional<TModel> model = ModelOfName(modelText);
    if (modelText.empty()) {
        row.SkipReason = "no model given";
        return;
    }
    if (!model) {
        row.SkipReason = "unknown model " + Quote(modelText) + " (KESTREL-A, MARLIN-A or OSPREY-B)";
        return;
    }
    const std::string idText = Trim(row.Fields[idColumn]);
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
        if (serialColumn < 0) {
            row.SkipReason = "OSPREY-B needs a serial number, and the file has no 'serial' column";
            return;
        }
        const std::string serial = Trim(row.Fields[serialColumn]);
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
    try {
        TCipherState cipherState{};
        row.Frame = BuildCommandFrame(inputs, cipherState);
        row.Inputs = inputs;
    } catch (const Exception& e) {
        row.SkipReason = e.Message();
    }
}

// A CSV field, quoted when it holds a separator, a quote, a line break or outer blanks.
std::string CsvField(const std::string& text) {
    const bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
                       (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quote) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string CsvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t k = 0; k < fields.size(); ++k) {
        if (k > 0) line += ',';
        line += CsvField(fields[k]);
    }
    return line + "\r\n";
}

size_t CountStatus(const std::vector<TRowResult>& results, TRowStatus status) {
    return static_cast<size_t>(std::count_if(results.begin(), results.end(),
                                             [status](const TRowResult& r) { return r.Status == status; }));
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

TBatchFile ParseBatchCsv(std::string_view text) {
    TBatchFile file;
    TCsvReader reader(text);
    TRecord record;
    if (!reader.Next(record)) {
        file.Error = "no header row (the first line must name the columns, e.g. model,id,serial)";
        return file;
    }
    if (!record.Error.empty()) {
        file.Error = "header row on line " + std::to_string(record.Line) + ": " + record.Error;
        return file;
    }
    file.Header = record.Fields;
    int modelColumn = -1, idColumn = -1, serialColumn = -1;
    for (size_t k = 0; k < file.Header.size(); ++k) {
        const std::string name = Lower(Trim(file.Header[k]));
        for (size_t j = 0; j < k; ++j) {
            if (!name.empty() && Lower(Trim(file.Header[j])) == name) {
                file.Error = "the header names column " + Quote(name) + " twice (columns " +
                             std::to_string(j + 1) + " and " + std::to_string(k + 1) + ")";
                return file;
            }
        }
        if (name == "model") modelColumn = static_cast<int>(k);
        if (name == "id") idColumn = static_cast<int>(k);
        if (name == "serial") serialColumn = static_cast<int>(k);
    }
    if (modelColumn < 0 || idColumn < 0) {
        file.Error = std::string("the header row names no ") + (modelColumn < 0 ? "'model'" : "'id'") +
                     " column (columns 'model' and 'id' are needed, 'serial' for OSPREY-B)";
        return file;
    }
    while (reader.Next(record)) {
        TBatchRow row;
        row.Line = record.Line;
        row.Fields = std::move(record.Fields);
        if (!record.Error.empty())
            row.SkipReason = record.Error;
        else
            MapRow(row, file.Header, modelColumn, idColumn, serialColumn);
        file.Rows.push_back(std::move(row));
    }
    return file;
}

const char* RowStatusText(TRowStatus status) {
    switch (status) {
    case TRowStatus::Ok:
        return "ok";
    case TRowStatus::Failed:
        return "failed";
    case TRowStatus::Skipped:
        return "skipped";
    case TRowStatus::NotRun:
        break;
    }
    return "not run";
}

std::vector<TRowResult> InitialResults(const TBatchFile& file) {
    std::vector<TRowResult> results(file.Rows.size());
    for (size_t k = 0; k < file.Rows.size(); ++k) {
        if (!file.Rows[k].SkipReason.empty()) {
            results[k].Status = TRowStatus::Skipped;
            results[k].Reason = file.Rows[k].SkipReason;
        }
    }
    return results;
}

std::string FormatBatchReport(const TBatchFile& file, const std::vector<TRowResult>& results) {
    // Only a report's own columns are replaced: a file that merely has a "time" or "port"
    // column of its own keeps it.
    const bool isReport = static_cast<size_t>(std::count_if(file.Header.begin(), file.Header.end(),
                                                            IsAddedColumn)) == std::size(AddedColumns);
    std::vector<size_t> kept;
    std::vector<std::string> header;
    for (size_t k = 0; k < file.Header.size(); ++k) {
        if (isReport && IsAddedColumn(file.Header[k])) continue;
        kept.push_back(k);
        header.push_back(file.Header[k]);
    }
    header.insert(header.end(), std::begin(AddedColumns), std::end(AddedColumns));
    std::string report = CsvLine(header);
    for (size_t r = 0; r < file.Rows.size(); ++r) {
        const TBatchRow& row = file.Rows[r];
        const TRowResult& result = results[r];
        std::vector<std::string> fields;
        for (size_t k : kept)
            fields.push_back(k < row.Fields.size() ? row.Fields[k] : "");
        fields.insert(fields.end(), {RowStatusText(result.Status), result.Reason, result.ReplyHex,
                                     std::to_string(result.Attempts), result.Port,
                                     result.Attempts > 0 ? std::to_string(result.ElapsedMs) : "", result.Time});
        report += CsvLine(fields);
    }
    return report;
}

std::string FormatBatchSummary(const TBatchFile& file, const std::vector<TRowResult>& results,
                               bool interrupted) {
    std::string out = interrupted ? "Interrupted. " : "";
    out += "Summary: " + std::to_string(results.size()) + (results.size() == 1 ? " row: " : " rows: ") +
           std::to_string(CountStatus(results, TRowStatus::Ok)) + " ok, " +
           std::to_string(CountStatus(results, TRowStatus::Failed)) + " failed, " +
           std::to_string(CountStatus(results, TRowStatus::Skipped)) + " skipped, " +
           std::to_string(CountStatus(results, TRowStatus::NotRun)) + " not run\n";
    for (TRowStatus status : {TRowStatus::Failed, TRowStatus::Skipped, TRowStatus::NotRun}) {
        for (size_t k = 0; k < results.size(); ++k) {
            const TRowResult& r = results[k];
            if (r.Status != status) continue;
            std::string line = std::string("  ") + RowStatusText(status) + " line " +
                               std::to_string(file.Rows[k].Line) + ": " + r.Reason;
            if (status == TRowStatus::Failed)
                line += " (" + std::to_string(r.Attempts) + (r.Attempts == 1 ? " attempt" : " attempts") +
                        (r.Port.empty() ? "" : ", " + r.Port) + ")";
            out += line + "\n";
        }
    }
    if (results.empty()) out += "  the file lists no devices\n";
    const std::string shares = PortShares(results);
    if (!shares.empty()) out += "Ports: " + shares + "\n";
    return out;
}

std::string PortShares(const std::vector<TRowResult>& results) {
    std::vector<std::pair<std::string, size_t>> shares;
    for (const TRowResult& r : results) {
        if (r.Port.empty()) continue;
        auto it = std::find_if(shares.begin(), shares.end(), [&r](const auto& s) { return s.first == r.Port; });
        if (it == shares.end())
            shares.emplace_back(r.Port, 1);
        else
            ++it->second;
    }
    std::string text;
    for (const auto& [port, count] : shares)
        text += (text.empty() ? "" : ", ") + port + " " + std::to_string(count) + (count == 1 ? " row" : " rows");
    return text;
}

std::string FormatRowJson(const TBatchFile& file, size_t index, const TRowResult& result) {
    const TBatchRow& row = file.Rows[index];
    TJsonObject columns;
    for (size_t k = 0; k < file.Header.size() && k < row.Fields.size(); ++k)
        columns.Add(file.Header[k], row.Fields[k]);
    TJsonObject object;
    object.Add("type", "row")
        .Add("line", row.Line)
        .Add("result", RowStatusText(result.Status))
        .Add("reason", result.Reason)
        .Add("reply", result.ReplyHex)
        .Add("attempts", result.Attempts)
        .Add("port", result.Port)
        .Add("elapsed_ms", static_cast<long long>(result.ElapsedMs))
        .Add("time", result.Time)
        .AddRaw("columns", columns.Text());
    return object.Text();
}

std::string FormatSummaryJson(const TBatchFile& file, const std::vector<TRowResult>& results,
                              bool interrupted) {
    std::string problems = "[";
    for (size_t k = 0; k < results.size(); ++k) {
        if (results[k].Status == TRowStatus::Ok) continue;
        TJsonObject p;
        p.Add("line", file.Rows[k].Line).Add("result", RowStatusText(results[k].Status)).Add("reason", results[k].Reason);
        problems += (problems.size() > 1 ? "," : "") + p.Text();
    }
    problems += "]";
    TJsonObject object;
    object.Add("type", "summary")
        .Add("rows", static_cast<long long>(results.size()))
        .Add("ok", static_cast<long long>(CountStatus(results, TRowStatus::Ok)))
        .Add("failed", static_cast<long long>(CountStatus(results, TRowStatus::Failed)))
        .Add("skipped", static_cast<long long>(CountStatus(results, TRowStatus::Skipped)))
        .Add("not_run", static_cast<long long>(CountStatus(results, TRowStatus::NotRun)))
        .Add("interrupted", interrupted)
        .Add("ports", PortShares(results))
        .AddRaw("problems", problems);
    return object.Text();
}

int BatchExitCode(const std::vector<TRowResult>& results) {
    if (results.empty()) return 1;
    return CountStatus(results, TRowStatus::Ok) == results.size() ? 0 : 1;
}

std::string IsoLocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string out = text;
    // strftime gives +0200; ISO 8601's extended form wants +02:00.
    if (out.size() >= 5) out.insert(out.size() - 2, ":");
    return out;
}

void RunBatchRows(const TBatchFile& file, std::vector<TRowResult>& results, std::vector<TBatchPort>& ports,
                  const TBatchRunOptions& options, const std::atomic<bool>& stop,
                  const std::function<void(size_t index)>& onDone) {
    std::mutex lock;
    std::deque<size_t> queue;
    for (size_t k = 0; k < results.size(); ++k)
        if (results[k].Status == TRowStatus::NotRun && file.Rows[k].SkipReason.empty()) queue.push_back(k);

    if (queue.empty()) return;
    std::atomic<int> opened{0};
    auto work = [&](TBatchPort& port) {
        try {
            if (port.Open && !port.Open().empty()) return;
        } catch (const std::exception&) {
            return;
        }
        ++opened;
        std::string lost;
        for (;;) {
            size_t index;
            {
                std::lock_guard guard(lock);
                if (queue.empty() || stop) break;
                index = queue.front();
                queue.pop_front();
            }
            // A frame that never went out leaves the row to another port.
            bool requeue = false;
            TRowResult result;
            result.Port = port.Name;
            bool linkLost = false;
            for (int attempt = 0; attempt <= options.Retries; ++attempt) {
                if (attempt > 0 && stop) break;
                TBatchAttempt outcome;
                try {
                    outcome = port.Exchange(file.Rows[index].Frame);
                } catch (const std::exception& e) {
                    // A failure inside the link must not end the whole run unreported.
                    outcome.LinkError = e.what();
                }
                ++result.Attempts;
                result.ElapsedMs += outcome.ElapsedMs;
                result.ReplyHex = outcome.ReplyHex;
                if (!outcome.LinkError.empty()) {
                    requeue = outcome.NotSent && result.Attempts == 1;
                    result.Status = TRowStatus::Failed;
                    result.Reason = outcome.LinkError;
                    linkLost = true;
                    break;
                }
                if (outcome.Accepted) {
                    result.Status = TRowStatus::Ok;
                    result.Reason.clear();
                    break;
                }
                result.Status = TRowStatus::Failed;
                result.Reason = outcome.Detail.empty() ? "no result" : outcome.Detail;
            }
            result.Time = IsoLocalTimeNow();
            if (linkLost) lost = result.Reason;
            std::lock_guard guard(lock);
            if (requeue) {
                queue.push_front(index);
                break;
            }
            results[index] = std::move(result);
            if (onDone) onDone(index);
            if (linkLost) break;
        }
        if (port.Close) port.Close(lost);
    };

    std::vector<std::thread> threads;
    for (size_t k = 1; k < ports.size(); ++k)
        threads.emplace_back(work, std::ref(ports[k]));
    if (!ports.empty()) work(ports[0]);
    for (auto& thread : threads)
        thread.join();

    const std::string reason = stop          ? "interrupted before it was sent"
                               : opened == 0 ? "no port could be opened"
                                             : "no port left to send it (every port was lost)";
    for (size_t k : queue) {
        results[k].Status = TRowStatus::NotRun;
        results[k].Reason = reason;
    }
}
