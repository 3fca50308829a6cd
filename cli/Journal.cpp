#include "cli/Journal.h"


#include <ctime>
#include <sstream>

#include "cli/Csv.h"
#include "cli/Sqlite.h"

namespace {

// Raised whenever the tables change shape; a journal of another version is refused
// rather than read wrongly.
constexpr const char* SchemaVersion = "1";

constexpr const char* SettledReason =
    "the frame may have left: the run ended before its outcome was recorded";

struct TStateWords {
    const char* Name;
    const char* Text;
};
// Indexed by TRowState.
constexpr TStateWords StateWords[RowStateCount] = {
    {"pending", "not run"}, {"sending", "unknown"}, {"ok", "ok"},
    {"failed", "failed"},   {"late", "late reply"}, {"lost", "lost after send"},
    {"unknown", "unknown"}, {"skipped", "skipped"}, {"not_run", "not run"},
};

constexpr const char* Schema =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE rows("
    " line INTEGER PRIMARY KEY,"
    " fields TEXT NOT NULL,"
    " state TEXT NOT NULL CHECK(state IN"
    "  ('pending','sending','ok','failed','late','lost','unknown','skipped','not_run')),"
    " reason TEXT NOT NULL DEFAULT '',"
    " reply TEXT NOT NULL DEFAULT '',"
    " attempts INTEGER NOT NULL DEFAULT 0,"
    " port TEXT NOT NULL DEFAULT '',"
    " elapsed_ms INTEGER NOT NULL DEFAULT 0,"
    " time TEXT NOT NULL DEFAULT '',"
    " frame TEXT NOT NULL DEFAULT '',"
    " id INTEGER NOT NULL DEFAULT -1,"
    " serial TEXT NOT NULL DEFAULT '');"
    // Resume asks for the rows of a few states in line order, Counts groups by state.
    "CREATE INDEX rows_by_state ON rows(state, line);";

constexpr const char* RowColumns =
    "line, fields, state, reason, reply, attempts, port, elapsed_ms, time, frame, id, serial";


} // namespace

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

std::string SetDurableJournalMode(sqlite3* db, const std::string& path) {
    const std::string failure = "journal '" + path + "': ";
    {
        TStatement mode(db, "PRAGMA journal_mode=WAL");
        if (!mode.Ok() || mode.Step() != SQLITE_ROW) return failure + sqlite3_errmsg(db);
        if (mode.Text(0) != "wal")
            return failure + "cannot be put in WAL mode (it stays in " + mode.Text(0) + " mode)";
    }
    if (sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK)
        return failure + sqlite3_errmsg(db);
    return "";
}

namespace {

// " IN (?,?,?)" for the states, bound from first on; only the count of placeholders
// comes from the caller, never a value.
std::string StateFilter(size_t count) {
    std::string sql = " state IN (";
    for (size_t k = 0; k < count; ++k)
        sql += k ? ",?" : "?";
    return sql + ")";
}

void BindStates(TStatement& stmt, const std::vector<TRowState>& states, int first) {
    for (size_t k = 0; k < states.size(); ++k)
        stmt.Bind(first + static_cast<int>(k), RowStateName(states[k]));
}

// A row from a statement that selects RowColumns; false for a state this program
// does not know.
bool ReadRow(const TStatement& stmt, TJournalRow& row) {
    row.Line = static_cast<int>(stmt.Int(0));
    row.Fields = stmt.Text(1);
    if (!RowStateOfName(stmt.Text(2), row.State)) return false;
    row.Reason = stmt.Text(3);
    row.Reply = stmt.Text(4);
    row.Attempts = static_cast<int>(stmt.Int(5));
    row.Port = stmt.Text(6);
    row.ElapsedMs = static_cast<long>(stmt.Int(7));
    row.Time = stmt.Text(8);
    row.Frame = stmt.Text(9);
    row.Id = static_cast<int>(stmt.Int(10));
    row.Serial = stmt.Text(11);
    return true;
}

std::vector<std::string> SplitRecord(const std::string& record) {
    std::istringstream in(record);
    TCsvReader reader(in);
    TCsvRecord fields;
    if (!reader.Next(fields)) return {};
    return std::move(fields.Fields);
}

} // namespace

const char* RowStateText(TRowState state) {
    return StateWords[static_cast<size_t>(state)].Text;
}

const char* RowStateName(TRowState state) {
    return StateWords[static_cast<size_t>(state)].Name;
}

bool RowStateOfName(const std::string& name, TRowState& state) {
    for (size_t k = 0; k < RowStateCount; ++k)
        if (name == StateWords[k].Name) {
            state = static_cast<TRowState>(k);
            return true;
        }
    return false;
}

TJournal::TJournal(std::string path, sqlite3* db) : FPath(std::move(path)), FDb(db) {}

TJournal::~TJournal() {
    sqlite3_close_v2(FDb);
}

std::unique_ptr<TJournal> TJournal::Open(const std::string& path, std::string& error) {
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(
        path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    // The handle exists even when the open failed, so the journal owns it from here on.
    std::unique_ptr<TJournal> journal(new TJournal(path, db));
    if (opened != SQLITE_OK) {
        error = journal->Failure();
        return nullptr;
    }
    sqlite3_busy_timeout(db, JournalBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);

    // Look before writing anything, so a database of another program is left untouched.
    std::string version;
    bool foreign = false;
    if (!journal->ReadSchemaVersion(version, foreign, error)) return nullptr;
    if (foreign || (!version.empty() && version != SchemaVersion)) {
        error = journal->NotOurs(foreign ? "it holds tables of another program"
                                         : "its schema version is " + version + ", this program reads " +
                                               SchemaVersion);
        return nullptr;
    }

    error = SetDurableJournalMode(db, path);
    if (!error.empty()) return nullptr;

    if (version.empty() && !journal->CreateSchema(error)) return nullptr;
    return journal;
}

bool TJournal::CreateSchema(std::string& error) {
    TTransaction transaction(FDb, true);
    if (!transaction.Begun()) return error = Failure(), false;
    // Another process may have created it meanwhile: decide again under the write lock.
    std::string version;
    bool foreign = false;
    if (!ReadSchemaVersion(version, foreign, error)) return false;
    if (foreign || (!version.empty() && version != SchemaVersion)) {
        error = NotOurs("it changed while it was opened");
        return false;
    }
    if (!version.empty()) return true;
    if (!Exec(Schema, error)) return false;
    TStatement put(FDb, "INSERT INTO meta(key, value) VALUES('schema', ?)");
    if (!put.Ok()) return error = Failure(), false;
    put.Bind(1, SchemaVersion);
    if (put.Step() != SQLITE_DONE || !transaction.Commit()) return error = Failure(), false;
    return true;
}

bool TJournal::ReadSchemaVersion(std::string& version, bool& foreign, std::string& error) {
    version.clear();
    foreign = false;
    TStatement tables(FDb, "SELECT count(*), count(CASE WHEN name = 'meta' THEN 1 END) FROM sqlite_master "
                           "WHERE type = 'table'");
    if (!tables.Ok() || tables.Step() != SQLITE_ROW) {
        // The first read of a file that is no database fails here.
        const int code = sqlite3_errcode(FDb) & 0xff;
        error = code == SQLITE_NOTADB || code == SQLITE_CORRUPT ? NotOurs(sqlite3_errmsg(FDb)) : Failure();
        return false;
    }
    if (tables.Int(0) == 0) return true;
    if (tables.Int(1) == 0) return foreign = true;
    TStatement get(FDb, "SELECT value FROM meta WHERE key = 'schema'");
    if (!get.Ok()) return foreign = true;
    const int step = get.Step();
    if (step == SQLITE_ROW)
        version = get.Text(0);
    else if (step == SQLITE_DONE)
        foreign = true;
    else
        return error = Failure(), false;
    return true;
}

std::string TJournal::Failure() const {
    return "journal '" + FPath + "': " + (FDb ? sqlite3_errmsg(FDb) : "out of memory");
}

std::string TJournal::NotOurs(const std::string& why) const {
    return "journal '" + FPath + "' is not a journal of kaldora-cli: " + why;
}

bool TJournal::Exec(const char* sql, std::string& error) {
    if (sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    error = Failure();
    return false;
}

bool TJournal::BindHeader(const std::string& headerCsv, std::string& error) {
    std::lock_guard<std::mutex> lock(FLock);
    TTransaction transaction(FDb, true);
    if (!transaction.Begun()) return error = Failure(), false;
    TStatement get(FDb, "SELECT value FROM meta WHERE key = 'header'");
    if (!get.Ok()) return error = Failure(), false;
    const int step = get.Step();
    if (step == SQLITE_ROW) {
        if (get.Text(0) == headerCsv) return true;
        error = "journal '" + FPath + "' belongs to another lot: its columns are " + get.Text(0);
        return false;
    }
    if (step != SQLITE_DONE) return error = Failure(), false;
    TStatement put(FDb, "INSERT INTO meta(key, value) VALUES('header', ?)");
    if (!put.Ok()) return error = Failure(), false;
    put.Bind(1, headerCsv);
    if (put.Step() != SQLITE_DONE || !transaction.Commit()) return error = Failure(), false;
    return true;
}

bool TJournal::AddRows(std::vector<TJournalRow>& rows, std::string& error) {
    std::lock_guard<std::mutex> lock(FLock);
    TTransaction transaction(FDb, true);
    if (!transaction.Begun()) return error = Failure(), false;
    TStatement put(FDb, "INSERT INTO rows(" + std::string(RowColumns) +
                            ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT(line) DO NOTHING");
    TStatement get(FDb, "SELECT " + std::string(RowColumns) + " FROM rows WHERE line = ?");
    if (!put.Ok() || !get.Ok()) return error = Failure(), false;
    // The vector is changed only once the whole batch is in, so a refused batch leaves
    // the caller's rows as they were.
    std::vector<std::pair<size_t, TJournalRow>> held;
    for (size_t k = 0; k < rows.size(); ++k) {
        const TJournalRow& row = rows[k];
        put.Reset();
        put.Bind(1, row.Line);
        put.Bind(2, row.Fields);
        put.Bind(3, RowStateName(row.State));
        put.Bind(4, row.Reason);
        put.Bind(5, row.Reply);
        put.Bind(6, row.Attempts);
        put.Bind(7, row.Port);
        put.Bind(8, row.ElapsedMs);
        put.Bind(9, row.Time);
        put.Bind(10, row.Frame);
        put.Bind(11, row.Id);
        put.Bind(12, row.Serial);
        if (put.Step() != SQLITE_DONE) return error = Failure(), false;
        if (sqlite3_changes(FDb) == 1) continue;
        get.Reset();
        get.Bind(1, row.Line);
        TJournalRow stored;
        if (get.Step() != SQLITE_ROW || !ReadRow(get, stored)) return error = Failure(), false;
        if (stored.Fields != row.Fields) {
            error = "journal '" + FPath + "' belongs to another lot: line " + std::to_string(row.Line) +
                    " reads '" + stored.Fields + "' there, '" + row.Fields + "' here";
            return false;
        }
        held.emplace_back(k, std::move(stored));
    }
    if (!transaction.Commit()) return error = Failure(), false;
    for (auto& [k, stored] : held)
        rows[k] = std::move(stored);
    return true;
}

int TJournal::SettleInterrupted(std::string& error) {
    std::lock_guard<std::mutex> lock(FLock);
    // The time stays that of the send: it says when the frame may have left.
    TStatement settle(FDb, "UPDATE rows SET state = 'unknown', reason = ? WHERE state = 'sending'");
    if (!settle.Ok()) return error = Failure(), 0;
    settle.Bind(1, SettledReason);
    if (settle.Step() != SQLITE_DONE) return error = Failure(), 0;
    return sqlite3_changes(FDb);
}

bool TJournal::MarkPendingNotRun(const std::string& reason, std::string& error) {
    std::lock_guard<std::mutex> lock(FLock);
    TStatement mark(FDb, "UPDATE rows SET state = 'not_run', reason = ? WHERE state = 'pending'");
    if (!mark.Ok()) return error = Failure(), false;
    mark.Bind(1, reason);
    if (mark.Step() != SQLITE_DONE) return error = Failure(), false;
    return true;
}

bool TJournal::MarkSending(int line, const std::string& port, const std::string& frameHex, int attempts,
                           std::string& error) {
    std::lock_guard<std::mutex> lock(FLock);
    TStatement mark(FDb, "UPDATE rows SET state = 'sending', reason = '', reply = '', port = ?, frame = ?, "
                         "attempts = ?, elapsed_ms = 0, time = ? WHERE line = ?");
    if (!mark.Ok()) return error = Failure(), false;
    mark.Bind(1, port);
    mark.Bind(2, frameHex);
    mark.Bind(3, attempts);
    mark.Bind(4, IsoLocalTimeNow());
    mark.Bind(5, line);
    if (mark.Step() != SQLITE_DONE) return error = Failure(), false;
    if (sqlite3_changes(FDb) == 0) {
        error = "journal '" + FPath + "' holds no line " + std::to_string(line);
        return false;
    }
    return true;
}

bool TJournal::Record(const TJournalRow& row, std::string& error) {
    std::lock_guard<std::mutex> lock(FLock);
    TStatement put(
        FDb, "UPDATE rows SET state = ?, reason = ?, reply = ?, attempts = ?, port = ?, elapsed_ms = ?, "
             "time = ? WHERE line = ?");
    if (!put.Ok()) return error = Failure(), false;
    put.Bind(1, RowStateName(row.State));
    put.Bind(2, row.Reason);
    put.Bind(3, row.Reply);
    put.Bind(4, row.Attempts);
    put.Bind(5, row.Port);
    put.Bind(6, row.ElapsedMs);
    put.Bind(7, row.Time);
    put.Bind(8, row.Line);
    if (put.Step() != SQLITE_DONE) return error = Failure(), false;
    if (sqlite3_changes(FDb) == 0) {
        error = "journal '" + FPath + "' holds no line " + std::to_string(row.Line);
        return false;
    }
    return true;
}

std::array<size_t, RowStateCount> TJournal::Counts() {
    std::lock_guard<std::mutex> lock(FLock);
    std::array<size_t, RowStateCount> counts{};
    TStatement count(FDb, "SELECT state, count(*) FROM rows GROUP BY state");
    if (!count.Ok()) return counts;
    TRowState state;
    while (count.Step() == SQLITE_ROW)
        if (RowStateOfName(count.Text(0), state))
            counts[static_cast<size_t>(state)] = static_cast<size_t>(count.Int(1));
    return counts;
}

std::vector<TJournalRow> TJournal::RowsIn(const std::vector<TRowState>& states, size_t limit) {
    std::vector<TJournalRow> rows;
    if (limit == 0) return rows;
    std::string error;
    ForEachRow(
        states,
        [&](const TJournalRow& row) {
            rows.push_back(row);
            return rows.size() < limit;
        },
        error);
    return rows;
}

bool TJournal::ForEachRow(const std::vector<TRowState>& states,
                          const std::function<bool(const TJournalRow&)>& visit, std::string& error) {
    if (states.empty()) return true;
    std::lock_guard<std::mutex> lock(FLock);
    TStatement select(FDb, "SELECT " + std::string(RowColumns) + " FROM rows WHERE" +
                               StateFilter(states.size()) + " ORDER BY line");
    if (!select.Ok()) return error = Failure(), false;
    BindStates(select, states, 1);
    TJournalRow row;
    int step;
    while ((step = select.Step()) == SQLITE_ROW) {
        if (!ReadRow(select, row))
            return error = "journal '" + FPath + "': line " + std::to_string(row.Line) +
                           " holds an unknown state",
                   false;
        if (!visit(row)) return true;
    }
    if (step != SQLITE_DONE) return error = Failure(), false;
    return true;
}

bool TJournal::Export(const std::function<bool(const std::string& csvLine)>& write, std::string& error) {
    std::lock_guard<std::mutex> lock(FLock);
    // One read transaction, so the header and the rows are of one moment even while
    // another process writes.
    TTransaction snapshot(FDb, false);
    if (!snapshot.Begun()) return error = Failure(), false;

    TStatement header(FDb, "SELECT value FROM meta WHERE key = 'header'");
    if (!header.Ok()) return error = Failure(), false;
    const int headerStep = header.Step();
    if (headerStep != SQLITE_ROW && headerStep != SQLITE_DONE) return error = Failure(), false;
    std::vector<std::string> fields =
        headerStep == SQLITE_ROW ? SplitRecord(header.Text(0)) : std::vector<std::string>{};
    fields.insert(fields.end(), ReportColumns.begin(), ReportColumns.end());
    if (!write(CsvLine(fields))) return false;

    TStatement select(FDb, "SELECT fields, state, reason, reply, attempts, port, elapsed_ms, time FROM rows "
                           "ORDER BY line");
    if (!select.Ok()) return error = Failure(), false;
    int step;
    while ((step = select.Step()) == SQLITE_ROW) {
        TRowState state = TRowState::NotRun;
        RowStateOfName(select.Text(1), state);
        const long long attempts = select.Int(4);
        fields = SplitRecord(select.Text(0));
        fields.push_back(RowStateText(state));
        fields.push_back(select.Text(2));
        fields.push_back(select.Text(3));
        fields.push_back(std::to_string(attempts));
        fields.push_back(select.Text(5));
        fields.push_back(attempts == 0 ? std::string() : std::to_string(select.Int(6)));
        fields.push_back(select.Text(7));
        if (!write(CsvLine(fields))) return false;
    }
    if (step != SQLITE_DONE) return error = Failure(), false;
    return true;
}
