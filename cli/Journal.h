#pragma once
// The batch journal: an SQLite database (WAL mode) that records every row of a lot as
// it happens. A row is added before anything is sent; its state becomes "sending",
// with its port and frame, in a transaction that is durable before the frame leaves;
// its outcome is written when it is known. So a process killed at any moment leaves a
// journal that says which frames may have left, and the same command run again
// resumes from it. The report CSV is an export of the journal.
//
// Thread-safe: one connection guarded by a mutex; every method may be called from any
// thread. Every write is one transaction. Nothing here writes to the standard streams.

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

// A row's state. Pending rows have not been sent in this lot; Sending rows had their
// frame handed to a link with no outcome recorded yet (after a crash: the frame may
// have left).
enum class TRowState { Pending, Sending, Ok, Failed, LateReply, LostAfterSend, Unknown, Skipped, NotRun };
inline constexpr size_t RowStateCount = 9;

// The word of the report's result column: "not run" (Pending and NotRun), "unknown"
// (Sending and Unknown), "ok", "failed", "late reply", "lost after send", "skipped".
const char* RowStateText(TRowState state);
// The name the database stores: "pending", "sending", "ok", "failed", "late", "lost",
// "unknown", "skipped", "not_run".
const char* RowStateName(TRowState state);
// The state of a stored name; false for a name that is none of them.
bool RowStateOfName(const std::string& name, TRowState& state);

struct TJournalRow {
    int Line = 0;            // the input line the row begins on: the row's key within the lot
    std::string Fields;      // the input row's own columns as one CSV record (CsvLine, without
                             // its CRLF): what is matched on resume and exported
    TRowState State = TRowState::Pending;
    std::string Reason;      // why, for every state but Ok and Pending
    std::string Reply;       // hexadecimal text of the reply bytes kept
    int Attempts = 0;
    std::string Port;        // the link the row went over
    long ElapsedMs = 0;
    std::string Time;        // ISO 8601 local time of the last change
    std::string Frame;       // hexadecimal text of the frame, from Sending on
    int Id = -1;             // the ID the row gives (-1: none, a skipped row)
    std::string Serial;      // OSPREY-B: the serial number addressed
};

// "2024-05-01T09:30:05+02:00" for now, in local time: the time the journal stamps.
std::string IsoLocalTimeNow();

// How long a write waits for another process's transaction on the same journal.
inline constexpr int JournalBusyTimeoutMs = 5000;

// Puts an open database in WAL mode with synchronous FULL, as every journal of this
// program runs: a committed transaction survives a crash, and readers never block the
// writer. Empty on success, else the reason naming the file.
std::string SetDurableJournalMode(sqlite3* db, const std::string& path);

// The columns the report adds after the input's own, in this order.
inline constexpr std::array<const char*, 7> ReportColumns = {"result", "reason", "reply", "attempts",
                                                             "port", "elapsed_ms", "time"};

class TJournal {
public:
    // Opens the journal at path, creating it (and its schema) when it does not exist.
    // Null with the reason in error, naming the file ("journal 'x.db': unable to open
    // database file", "journal 'x.db' is not a journal of kaldora-cli: ...").
    static std::unique_ptr<TJournal> Open(const std::string& path, std::string& error);
    ~TJournal();
    TJournal(const TJournal&) = delete;
    TJournal& operator=(const TJournal&) = delete;

    const std::string& Path() const { return FPath; }

    // The lot's header, as one CSV record without CRLF (the input's own columns). A new
    // journal stores it; an existing one must hold the same, else false with error
    // ("journal 'x.db' belongs to another lot: its columns are model,id,note").
    bool BindHeader(const std::string& headerCsv, std::string& error);

    // Adds the rows the journal does not hold yet, all in one transaction. Rows it
    // already holds (the same Line) are left as stored and copied back into the vector
    // (state, reason, attempts, ...), so the caller sees what an earlier run did; a held
    // row whose Fields differ is an error: false with error naming the line ("journal
    // 'x.db' belongs to another lot: line 5 reads 'KESTREL-A,9' there, 'KESTREL-A,7'
    // here"), and nothing is added.
    bool AddRows(std::vector<TJournalRow>& rows, std::string& error);

    // Rows that an earlier run left in Sending become Unknown with the reason "the frame
    // may have left: the run ended before its outcome was recorded". Returns how many.
    // Called once when a batch starts on an existing journal.
    int SettleInterrupted(std::string& error);

    // Rows still Pending when a run ends become NotRun with the reason (one transaction).
    bool MarkPendingNotRun(const std::string& reason, std::string& error);

    // Sending, with the port, the frame and the attempt number; durable (synchronous
    // FULL) before it returns, so a frame never leaves unrecorded. False with error when
    // the write fails; the caller then does not send.
    bool MarkSending(int line, const std::string& port, const std::string& frameHex, int attempts,
                     std::string& error);

    // The row's outcome (State, Reason, Reply, Attempts, Port, ElapsedMs, Time).
    bool Record(const TJournalRow& row, std::string& error);

    // How many rows are in each state, indexed by TRowState.
    std::array<size_t, RowStateCount> Counts();

    // The first limit rows, in line order, whose state is one of states.
    std::vector<TJournalRow> RowsIn(const std::vector<TRowState>& states, size_t limit);

    // The rows whose state is one of states, in line order, one at a time (streams:
    // a million rows cost no memory). visit returns false to stop.
    bool ForEachRow(const std::vector<TRowState>& states, const std::function<bool(const TJournalRow&)>& visit,
                    std::string& error);

    // The report: the header and ReportColumns, then one record per row in line order
    // (CsvLine, CRLF), each passed to write as it is made; write returns false to stop
    // (a write error), and Export then returns false. error says why when the journal
    // could not be read.
    bool Export(const std::function<bool(const std::string& csvLine)>& write, std::string& error);

private:
    TJournal(std::string path, sqlite3* db);
    bool Exec(const char* sql, std::string& error);
    bool CreateSchema(std::string& error);
    // The schema version stored in meta; empty for a database with no tables at all,
    // foreign for one whose tables are not ours.
    bool ReadSchemaVersion(std::string& version, bool& foreign, std::string& error);
    std::string Failure() const; // the file and SQLite's last error
    std::string NotOurs(const std::string& why) const;

    std::string FPath;
    sqlite3* FDb;
    std::mutex FLock;
};
