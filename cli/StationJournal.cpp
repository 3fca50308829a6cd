#include "cli/StationJournal.h"


#include "cli/Csv.h"
#include "cli/Sqlite.h"
#include "cli/Journal.h"

namespace {

// Raised whenever the tables change shape. The batch journal keeps its own version under
// the same key, so that each program refuses the other's file instead of misreading it.
constexpr const char* SchemaVersion = "station-1";

constexpr const char* SettledReason =
    "the run ended before the outcome was recorded; the device may hold the ID";

constexpr const char* StateNames[] = {"sending", "ok", "uncertain", "released", "reassigned"};

constexpr const char* Schema =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE pool(id INTEGER PRIMARY KEY CHECK(id BETWEEN 0 AND 255));"
    "CREATE TABLE devices("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " eln TEXT NOT NULL CHECK(eln <> ''),"
    " id INTEGER NOT NULL REFERENCES pool(id),"
    " state TEXT NOT NULL CHECK(state IN ('sending','ok','uncertain','released','reassigned')),"
    " fixture TEXT NOT NULL,"
    " attempts INTEGER NOT NULL DEFAULT 0,"
    " reason TEXT NOT NULL DEFAULT '',"
    " time TEXT NOT NULL);"
    // One ID per lot: a released ID is free again; a reassigned one stays spent, since a
    // device may still answer to it.
    "CREATE UNIQUE INDEX one_device_per_id ON devices(id) WHERE state <> 'released';"
    // One ELN per lot: its earlier records, released or reassigned, are history.
    "CREATE UNIQUE INDEX one_id_per_eln ON devices(eln) WHERE state NOT IN ('released','reassigned');";


bool StateOfName(const std::string& name, TStationState& state) {
    for (size_t k = 0; k < std::size(StateNames); ++k)
        if (name == StateNames[k]) return state = static_cast<TStationState>(k), true;
    return false;
}

void ReadRecord(const TStatement& s, TStationRecord& r) {
    r.Seq = s.Int(0);
    r.Eln = s.Text(1);
    r.Id = static_cast<int>(s.Int(2));
    StateOfName(s.Text(3), r.State);
    r.Fixture = s.Text(4);
    r.Attempts = static_cast<int>(s.Int(5));
    r.Reason = s.Text(6);
    r.Time = s.Text(7);
}

std::string MetaValue(sqlite3* db, const char* key, int& step) {
    TStatement get(db, "SELECT value FROM meta WHERE key = ?");
    get.Bind(1, std::string(key));
    step = get.Step();
    return step == SQLITE_ROW ? get.Text(0) : "";
}

} // namespace

const char* StationStateName(TStationState state) {
    return StateNames[static_cast<size_t>(state)];
}

TStationJournal::TStationJournal(std::string path, sqlite3* db) : FPath(std::move(path)), FDb(db) {}

TStationJournal::~TStationJournal() {
    sqlite3_close_v2(FDb);
}

std::string TStationJournal::Failure() const {
    return "journal '" + FPath + "': " + sqlite3_errmsg(FDb);
}

std::unique_ptr<TStationJournal> TStationJournal::Open(const std::string& path, bool create,
                                                       std::string& error, bool* notStation) {
    if (notStation) *notStation = false;
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    const int opened = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    std::unique_ptr<TStationJournal> journal(new TStationJournal(path, db));
    if (opened != SQLITE_OK) return error = journal->Failure(), nullptr;
    sqlite3_busy_timeout(db, JournalBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);

    // Look before writing anything, so that another program's database is left untouched.
    bool empty = false, hasMeta = false;
    {
        TStatement tables(db, "SELECT count(*), count(CASE WHEN name = 'meta' THEN 1 END) FROM sqlite_master "
                              "WHERE type = 'table'");
        if (tables.Step() != SQLITE_ROW) {
            const int code = sqlite3_errcode(db) & 0xff;
            if (notStation) *notStation = code == SQLITE_NOTADB;
            return error = journal->Failure(), nullptr;
        }
        empty = tables.Int(0) == 0;
        hasMeta = tables.Int(1) > 0;
    }
    int step = SQLITE_DONE;
    const std::string version = hasMeta ? MetaValue(db, "schema", step) : "";
    if (!empty && version != SchemaVersion) {
        if (notStation) *notStation = true;
        error = "journal '" + path + "' is not a station's journal: " +
                (version == "1" ? std::string("it is a batch journal (kaldora-cli batch)")
                 : version.empty()
                     ? std::string("it holds tables of another program")
                     : "its schema version is " + version + ", this program reads " + SchemaVersion);
        return nullptr;
    }
    if (empty && !create) {
        if (notStation) *notStation = true;
        return error = "journal '" + path + "' is empty", nullptr;
    }
    error = SetDurableJournalMode(db, path);
    if (!error.empty()) return nullptr;
    if (sqlite3_exec(db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr) != SQLITE_OK)
        return error = journal->Failure(), nullptr;
    if (!empty) return journal;

    TTransaction transaction(db, true);
    if (!transaction.Begun()) return error = journal->Failure(), nullptr;
    // Another process may have made it meanwhile: decide again under the write lock.
    TStatement again(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table'");
    if (again.Step() != SQLITE_ROW) return error = journal->Failure(), nullptr;
    if (again.Int(0) > 0) return journal;
    if (sqlite3_exec(db, Schema, nullptr, nullptr, nullptr) != SQLITE_OK)
        return error = journal->Failure(), nullptr;
    TStatement put(db, "INSERT INTO meta(key, value) VALUES('schema', ?)");
    if (put.Bind(1, std::string(SchemaVersion)).Step() != SQLITE_DONE || !transaction.Commit())
        return error = journal->Failure(), nullptr;
    return journal;
}

bool TStationJournal::BindLot(const std::string& model, const TIdPool& pool, std::string& error) {
    std::lock_guard guard(FLock);
    TTransaction transaction(FDb, true);
    if (!transaction.Begun()) return error = Failure(), false;
    int modelStep = 0, poolStep = 0;
    const std::string heldModel = MetaValue(FDb, "model", modelStep);
    const std::string heldPool = MetaValue(FDb, "pool", poolStep);
    if (modelStep == SQLITE_ROW && poolStep == SQLITE_ROW) {
        if (heldModel == model && heldPool == pool.Text()) return true;
        error = "journal '" + FPath + "' belongs to another lot: " + heldModel + ", IDs " + heldPool +
                "; this command gives " + model + ", IDs " + pool.Text();
        return false;
    }
    if (modelStep != SQLITE_DONE || poolStep != SQLITE_DONE) return error = Failure(), false;
    for (const auto& [key, value] : {std::pair{"model", model}, std::pair{"pool", pool.Text()}}) {
        TStatement put(FDb, "INSERT INTO meta(key, value) VALUES(?, ?)");
        if (put.Bind(1, std::string(key)).Bind(2, value).Step() != SQLITE_DONE)
            return error = Failure(), false;
    }
    for (int n : pool.Ids) {
        TStatement put(FDb, "INSERT INTO pool(id) VALUES(?)");
        if (put.Bind(1, n).Step() != SQLITE_DONE) return error = Failure(), false;
    }
    if (!transaction.Commit()) return error = Failure(), false;
    return true;
}

int TStationJournal::SettleInterrupted(std::string& error) {
    std::lock_guard guard(FLock);
    TStatement settle(FDb, "UPDATE devices SET state = 'uncertain', reason = ? WHERE state = 'sending'");
    if (settle.Bind(1, std::string(SettledReason)).Step() != SQLITE_DONE) return error = Failure(), 0;
    return sqlite3_changes(FDb);
}

bool TStationJournal::TakeFreeId(TStationRecord& record) {
    TStatement free(FDb,
                    "SELECT id FROM pool WHERE id NOT IN (SELECT id FROM devices WHERE state <> 'released') "
                    "ORDER BY id LIMIT 1");
    const int step = free.Step();
    if (step == SQLITE_DONE) return record.Id = -1, true;
    if (step != SQLITE_ROW) return false;
    record.Id = static_cast<int>(free.Int(0));
    TStatement put(
        FDb, "INSERT INTO devices(eln, id, state, fixture, attempts, time) VALUES(?, ?, 'sending', ?, 1, ?)");
    if (put.Bind(1, record.Eln).Bind(2, record.Id).Bind(3, record.Fixture).Bind(4, record.Time).Step() !=
        SQLITE_DONE)
        return false;
    record.Seq = sqlite3_last_insert_rowid(FDb);
    record.State = TStationState::Sending;
    record.Attempts = 1;
    return true;
}

TClaim TStationJournal::Claim(const std::string& eln, const std::string& fixture, bool reassign) {
    std::lock_guard guard(FLock);
    TClaim claim;
    auto fail = [&] {
        claim.Kind = TClaimKind::Failed;
        claim.Error = Failure();
        return claim;
    };
    TTransaction transaction(FDb, true);
    if (!transaction.Begun()) return fail();
    const std::string now = IsoLocalTimeNow();
    TStatement held(FDb, "SELECT seq, eln, id, state, fixture, attempts, reason, time FROM devices "
                         "WHERE eln = ? AND state NOT IN ('released', 'reassigned')");
    const int step = held.Bind(1, eln).Step();
    if (step != SQLITE_ROW && step != SQLITE_DONE) return fail();
    TStationRecord& r = claim.Record;
    if (step == SQLITE_ROW) ReadRecord(held, r);
    if (step == SQLITE_ROW && r.State == TStationState::Ok && !reassign) {
        claim.Kind = TClaimKind::Known;
        return claim;
    }
    if (step == SQLITE_ROW && r.State != TStationState::Ok) {
        // An uncertain ID is this device's: sending it again cannot give it to another.
        TStatement retry(FDb, "UPDATE devices SET state = 'sending', attempts = attempts + 1, fixture = ?, "
                              "reason = '', time = ? WHERE seq = ?");
        if (retry.Bind(1, fixture).Bind(2, now).Bind(3, r.Seq).Step() != SQLITE_DONE || !transaction.Commit())
            return fail();
        r.State = TStationState::Sending;
        r.Fixture = fixture;
        r.Time = now;
        ++r.Attempts;
        claim.Kind = TClaimKind::Retry;
        return claim;
    }
    if (step == SQLITE_ROW) {
        TStatement old(FDb, "UPDATE devices SET state = 'reassigned', time = ? WHERE seq = ?");
        if (old.Bind(1, now).Bind(2, r.Seq).Step() != SQLITE_DONE) return fail();
    }
    const int previousId = step == SQLITE_ROW ? r.Id : -1;
    r = TStationRecord{};
    r.Eln = eln;
    r.Fixture = fixture;
    r.Time = now;
    if (!TakeFreeId(r)) return fail();
    if (r.Id < 0) {
        claim.Kind = TClaimKind::PoolUsedUp;
        r.Id = previousId;
        return claim; // rolled back: a reassigned device keeps its record when no ID is left
    }
    if (!transaction.Commit()) return fail();
    claim.Kind = TClaimKind::New;
    return claim;
}

bool TStationJournal::Record(long long seq, TStationState state, const std::string& reason,
                             std::string& error) {
    std::lock_guard guard(FLock);
    TStatement put(FDb, "UPDATE devices SET state = ?, reason = ?, time = ? WHERE seq = ?");
    if (put.Bind(1, std::string(StationStateName(state)))
            .Bind(2, reason)
            .Bind(3, IsoLocalTimeNow())
            .Bind(4, seq)
            .Step() != SQLITE_DONE)
        return error = Failure(), false;
    if (sqlite3_changes(FDb) == 0)
        return error = "journal '" + FPath + "' holds no record " + std::to_string(seq), false;
    return true;
}

TStationCounts TStationJournal::Counts() {
    std::lock_guard guard(FLock);
    TStationCounts counts;
    TStatement count(FDb, "SELECT count(CASE WHEN state = 'ok' THEN 1 END), "
                          "count(CASE WHEN state IN ('sending', 'uncertain') THEN 1 END), "
                          "(SELECT count(*) FROM pool WHERE id NOT IN "
                          " (SELECT id FROM devices WHERE state <> 'released')) FROM devices");
    if (count.Step() != SQLITE_ROW) return counts;
    counts.Ok = static_cast<size_t>(count.Int(0));
    counts.Uncertain = static_cast<size_t>(count.Int(1));
    counts.Free = static_cast<size_t>(count.Int(2));
    return counts;
}

bool TStationJournal::Export(const std::function<bool(const std::string& csvLine)>& write,
                             std::string& error) {
    std::lock_guard guard(FLock);
    TTransaction snapshot(FDb, false);
    if (!snapshot.Begun()) return error = Failure(), false;
    if (!write(CsvLine({"eln", "id", "result", "fixture", "attempts", "time"}))) return false;
    TStatement select(
        FDb, "SELECT seq, eln, id, state, fixture, attempts, reason, time FROM devices ORDER BY seq");
    int step;
    while ((step = select.Step()) == SQLITE_ROW) {
        TStationRecord r;
        ReadRecord(select, r);
        // A record still sending may be of a run that is writing now, or of one that was
        // killed: either way the device may hold the ID.
        const char* result = r.State == TStationState::Sending ? "uncertain" : StationStateName(r.State);
        if (!write(CsvLine(
                {r.Eln, std::to_string(r.Id), result, r.Fixture, std::to_string(r.Attempts), r.Time})))
            return false;
    }
    if (step != SQLITE_DONE) return error = Failure(), false;
    return true;
}
