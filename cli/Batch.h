#pragma once
// Batch provisioning: a CSV file lists devices, one Set_ID each. The file is read into rows
// (model, id, serial and any other columns), each row becomes the command inputs of one
// Set_ID frame, the frames go out over one or more links, and the outcome of every row is
// written to a report CSV and summed up. Reading, mapping, report and summary are pure;
// RunBatchRows runs the rows over links given as functions, so it is tested with fakes.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/KaldoraCli.h"
#include "protocol/Frame.h"

// One data row of the input file.
struct TBatchRow {
    int Line = 0;                    // line of the file where the row begins, from 1
    std::vector<std::string> Fields; // as read, unquoted
    std::string SkipReason;          // why the row cannot be sent; empty for a good row
    TCommandInputs Inputs;           // good rows: the Set_ID inputs
    std::vector<uint8_t> Frame;      // good rows: the frame those inputs build
};

struct TBatchFile {
    std::vector<std::string> Header; // column names as written
    std::vector<TBatchRow> Rows;     // data rows in file order, malformed ones included
    std::string Error;               // the file as a whole is unusable (no header, no model column)
};

// Reads a CSV text: a header row names the columns ("model" and "id" required, "serial"
// needed for OSPREY-B rows; names are matched without regard to case and surrounding
// blanks); fields may be quoted ("a,b", "say ""hi""", line breaks inside quotes); lines end
// with LF or CRLF; a UTF-8 BOM, blank lines and lines whose first character is '#' are
// ignored. A row that cannot be sent keeps its fields and gets a SkipReason: a field count
// other than the header's, an unknown model, an id that is not an integer or lies outside
// CliIdMin..CliIdMax (the IDs the window offers), an OSPREY-B row whose serial gives no
// device address.
TBatchFile ParseBatchCsv(std::string_view text);

// Why an OSPREY-B serial number cannot address a device, or empty when it can: it must be
// 3 to 10 characters, digits except the month character (a digit or A..C), and give an
// address word other than FFFF, which every device on the bus would take as its own.
std::string CheckSerialText(std::string_view serial);

// ---- Results ----

enum class TRowStatus { NotRun, Ok, Failed, Skipped };

// "ok", "failed", "skipped" or "not run".
const char* RowStatusText(TRowStatus status);

struct TRowResult {
    TRowStatus Status = TRowStatus::NotRun;
    std::string Reason;   // skipped, failed or not run: why; ok: empty
    std::string ReplyHex; // the last attempt's reply bytes, "0D 00 ..." without trailing blank
    int Attempts = 0;
    std::string Port;     // the link the row went over
    long ElapsedMs = 0;   // over all attempts
    std::string Time;     // when the row was judged, ISO 8601 local time
};

// The result of every row before anything runs: skipped rows with their reason, the rest
// not run.
std::vector<TRowResult> InitialResults(const TBatchFile& file);

// The report: the input columns (less the added ones when the input is itself a report, so
// that a report can be fed back in), then result, reason, reply, attempts, port, elapsed_ms,
// time; one row per input row, in file order; CRLF line ends, fields quoted where needed.
std::string FormatBatchReport(const TBatchFile& file, const std::vector<TRowResult>& results);

// The closing summary: counts of ok, failed, skipped and not run, then the line and reason
// of each row that did not succeed.
std::string FormatBatchSummary(const TBatchFile& file, const std::vector<TRowResult>& results,
                               bool interrupted);

// "/dev/pts/3 50 rows, /dev/pts/4 49 rows": the rows each port ran, in order of first use.
std::string PortShares(const std::vector<TRowResult>& results);

// One JSON object (one line) for a row's result, and one for the summary.
std::string FormatRowJson(const TBatchFile& file, size_t index, const TRowResult& result);
std::string FormatSummaryJson(const TBatchFile& file, const std::vector<TRowResult>& results,
                              bool interrupted);

// 0 when every row is ok (and there is at least one), 1 otherwise.
int BatchExitCode(const std::vector<TRowResult>& results);

// "2024-05-01T09:30:05+02:00" for now, in local time.
std::string IsoLocalTimeNow();

// ---- Running ----

// The outcome of sending one frame and waiting for the device's judgement.
struct TBatchAttempt {
    bool Accepted = false;
    std::string ReplyHex;
    std::string Detail;    // not accepted: what came back, in words
    long ElapsedMs = 0;
    std::string LinkError; // the link itself failed (lost, write refused): it is not used again
    bool NotSent = false;  // with LinkError: no whole frame went out, the device cannot have taken it
};

// One link of the run. Open, Exchange and Close are called on the port's own thread.
struct TBatchPort {
    std::string Name;
    std::function<std::string()> Open; // the reason it did not open, empty when it did
    std::function<TBatchAttempt(const std::vector<uint8_t>& frame)> Exchange;
    std::function<void(const std::string& lostReason)> Close; // lostReason empty unless lost
};

struct TBatchRunOptions {
    int Retries = 0; // further attempts after an unaccepted one
};

// Runs the good rows whose result is still NotRun: one thread per port, which opens the
// port and then takes the next row in file order until none is left or stop is set. A row
// gets up to 1 + Retries attempts, no further one once stop is set. A port that does not
// open takes no rows; a port whose exchange reports a link error takes no more, and fails
// that row, unless its first frame never went out: then the row goes back to the head of
// the queue for another port. Rows that no port takes stay NotRun with the reason. Nothing is opened when no
// row is to run. onDone runs for every finished row, one call at a time, on a port's thread.
void RunBatchRows(const TBatchFile& file, std::vector<TRowResult>& results, std::vector<TBatchPort>& ports,
                  const TBatchRunOptions& options, const std::atomic<bool>& stop,
                  const std::function<void(size_t index)>& onDone);

// ---- The command ----

// "kaldora-cli batch FILE.csv [options]": args are the arguments after "batch". Writes the
// row lines, progress and summary to out, messages to err; returns the exit code.
int RunBatchCommand(const std::vector<std::string>& args);
