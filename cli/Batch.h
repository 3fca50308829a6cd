#pragma once
// Batch provisioning, the pure parts: a CSV file lists devices, one Set_ID each. Its
// header names the columns; each record becomes a row with the command inputs and the
// frame of one Set_ID, or the reason it cannot be sent. Duplicate IDs and serial numbers
// are found before anything is sent; an exchange's outcome becomes the row's state by
// one table; the summary is made from the journal's counts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Csv.h"
#include "cli/Exchange.h"
#include "cli/Journal.h"
#include "protocol/Frame.h"

// What the header row says.
struct TBatchHeader {
    std::vector<std::string> Columns; // as written
    int ModelColumn = -1, IdColumn = -1, SerialColumn = -1;
    // The columns carried to the report: all but a report's own result columns, so that a
    // report fed back in as the input is not given them twice.
    std::vector<size_t> Kept;
    std::string Error; // the file is unusable: no 'model' or 'id' column, a name twice
};

// Reads the header record: "model" and "id" are needed, "serial" for OSPREY-B rows;
// names are matched without regard to case and outer blanks.
TBatchHeader ReadBatchHeader(const TCsvRecord& record);

// One data row.
struct TBatchRow {
    int Line = 0;                    // where the row begins in the file, from 1
    std::vector<std::string> Fields; // as read, unquoted
    std::string SkipReason;          // why the row cannot be sent; empty for a good row
    TCommandInputs Inputs;           // good rows: the Set_ID inputs
    std::vector<uint8_t> Frame;      // good rows, when asked for: the frame they build
};

// The row of a record. A row that cannot be sent gets a SkipReason: a field count other
// than the header's, an unknown model, an id that is not an integer or lies outside
// CliIdMin..CliIdMax, an OSPREY-B row whose serial gives no device address.
TBatchRow MapBatchRow(TCsvRecord record, const TBatchHeader& header, bool buildFrame = true);

// A whole text read at once (for tests and small inputs; the command streams instead).
struct TBatchFile {
    TBatchHeader Header;
    std::vector<TBatchRow> Rows;
    std::string Error; // the header's, or "no header row ..."
};
TBatchFile ParseBatchCsv(std::string_view text);

// Why an OSPREY-B serial number cannot address a device, or empty when it can: it must be
// 3 to 10 characters, digits except the month character (a digit or A..C), and give an
// address word other than FFFF, which every device on the bus would take as its own.
std::string CheckSerialText(std::string_view serial);

// The journal's record of a row before anything is sent: the kept fields, the ID and
// serial, and for a row that cannot be sent its reason (state Skipped).
TJournalRow JournalRowOf(const TBatchRow& row, const TBatchHeader& header);

// The header the journal keeps: the kept columns as one CSV record without CRLF.
std::string KeptHeaderCsv(const TBatchHeader& header);

// "KESTREL-A id 5", "OSPREY-B id 9 serial 23A1705".
std::string DeviceText(const TCommandInputs& inputs);

// Rows that give the same ID, or address the same OSPREY-B serial, as another row.
class TDuplicateCheck {
public:
    void Add(const TBatchRow& row);
    bool Found() const;
    // "ID 7 on lines 3, 9; serial 23A1705 on lines 4, 8": every duplicate with its lines
    // (at most MaxLinesShown lines each, then "and N more").
    std::string Text() const;

    static constexpr size_t MaxLinesShown = 10;

private:
    struct TSeen {
        size_t Count = 0;
        std::vector<int> Lines; // the first MaxLinesShown + 1
    };
    std::array<TSeen, 256> FIds{};
    std::vector<std::pair<std::string, TSeen>> FSerials; // sorted by serial
};

// ---- From an exchange to a row ----

// What an outcome does to its row: the state it records, whether the row may be sent
// again on the same port (a retry), whether it goes back to the queue for another port
// (only when nothing left this machine), and whether the port is used again.
struct TOutcomeRule {
    TExchangeOutcome Outcome;
    TRowState State;
    bool Retry;
    bool Requeue;
    bool PortUsable;
};
const TOutcomeRule& OutcomeRuleOf(TExchangeOutcome outcome);

// ---- The summary ----

struct TBatchSummary {
    std::array<size_t, RowStateCount> Counts{}; // by TRowState
    std::vector<TJournalRow> Problems;          // the first rows that are not ok, in line order
    size_t MoreProblems = 0;                    // those not listed
    bool Interrupted = false;
    std::string Ports; // PortShares
};

// How many problem rows the summary lists before "... and N more".
inline constexpr size_t SummaryProblemLines = 20;

// "Summary: 4 rows: 1 ok, 1 failed, 1 skipped, 1 not run" (with the states that occur
// beyond those: late reply, lost after send, unknown), then the line and reason of each
// listed problem, "... and N more", and the ports' shares.
std::string FormatBatchSummary(const TBatchSummary& summary);
std::string FormatSummaryJson(const TBatchSummary& summary);
// One JSON object for a row's result, with its input columns.
std::string FormatRowJson(const TBatchHeader& header, const TJournalRow& row);
// The line printed when a row is done: "line 2: ok KESTREL-A id 5 on /dev/pts/3 (1
// attempt, 1000 ms)", "line 4: skipped: ...".
std::string RowLine(const TJournalRow& row, const std::string& device);

// "/dev/pts/3 50 rows, /dev/pts/4 49 rows": the rows each port ran, in order of first use.
std::string PortShares(const std::vector<std::pair<std::string, size_t>>& shares);

// 0 when every row is ok (and there is at least one), 1 otherwise.
int BatchExitCode(const std::array<size_t, RowStateCount>& counts);
