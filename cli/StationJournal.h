#pragma once
// The station's journal: an SQLite database (WAL, synchronous FULL, as the batch
// journal) holding the lot (its model and its pool) and one record per device: its ELN,
// the ID it was given, the fixture, the attempts and the result. "One ID per lot, one
// ELN per lot" is a pair of unique indexes, so that no two fixtures and no two
// processes on one journal ever hold one ID, whatever the code above does. An ID is
// taken, and its record is "sending", in a transaction that is durable before the
// Set_ID frame leaves: a process killed at any moment leaves every ID that may have
// left taken.
//
// Thread-safe: one connection guarded by a mutex. Nothing here writes to the standard
// streams.

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "cli/StationPool.h"

struct sqlite3;

// Sending: the ID is taken and its frame may be on its way. Uncertain: the frame may have
// left without an accepted reply (or a run ended before its outcome was recorded); the ID
// stays taken. Released: such an ID given back to the pool (--release-uncertain).
// Reassigned: an ID the device held before it was given a new one (--reassign).
enum class TStationState { Sending, Ok, Uncertain, Released, Reassigned };

// "sending", "ok", "uncertain", "released", "reassigned".
const char* StationStateName(TStationState state);

struct TStationRecord {
    long long Seq = 0; // the record's key, in the order the IDs were taken
    std::string Eln;
    int Id = -1;
    TStationState State = TStationState::Sending;
    std::string Fixture;
    int Attempts = 0; // Set_ID frames sent to this device for this ID
    std::string Reason;
    std::string Time; // ISO 8601 local time of the last change
};

// What a device that has been identified is to get.
enum class TClaimKind {
    Known,      // the ELN holds an ID already (Ok): nothing is sent
    New,        // the lowest free ID was taken for it
    Retry,      // it holds an uncertain ID: that ID again, the attempt counted
    PoolUsedUp, // no ID is free
    Failed,     // the journal could not be written: nothing may be sent
};

struct TClaim {
    TClaimKind Kind = TClaimKind::Failed;
    TStationRecord Record; // Known: the ELN's record; New, Retry: the record, now Sending
    std::string Error;     // Failed: why
};

struct TStationCounts {
    size_t Ok = 0, Uncertain = 0, Free = 0; // Uncertain includes Sending
};

class TStationJournal {
public:
    // Opens the journal at path; create: make it (and its schema) when it does not exist.
    // Null with the reason in error, naming the file. notStation is set when the file is
    // a database but not a station's journal (a batch journal, for one), so that a caller
    // may read it as such.
    static std::unique_ptr<TStationJournal> Open(const std::string& path, bool create, std::string& error,
                                                 bool* notStation = nullptr);
    ~TStationJournal();
    TStationJournal(const TStationJournal&) = delete;
    TStationJournal& operator=(const TStationJournal&) = delete;

    // The lot: a new journal stores the model and the pool; one that holds another is
    // refused ("journal 'x.db' belongs to another lot: MARLIN-A, IDs 1-20; this command
    // gives KESTREL-A, IDs 1-10").
    bool BindLot(const std::string& model, const TIdPool& pool, std::string& error);

    // Records an earlier run left Sending become Uncertain with the reason "the run ended
    // before the outcome was recorded; the device may hold the ID". Returns how many.
    int SettleInterrupted(std::string& error);

    // In one transaction: what the device of eln is to get (see TClaimKind). With reassign,
    // an ELN that holds an ID is given a new one, its old record Reassigned.
    TClaim Claim(const std::string& eln, const std::string& fixture, bool reassign);

    // The outcome of a claimed record: Ok, Uncertain or Released, with the reason.
    bool Record(long long seq, TStationState state, const std::string& reason, std::string& error);

    TStationCounts Counts();

    // The report: "eln,id,result,fixture,attempts,time", then one record per line in the
    // order the IDs were taken (CRLF), each passed to write; write returns false to stop.
    bool Export(const std::function<bool(const std::string& csvLine)>& write, std::string& error);

private:
    TStationJournal(std::string path, sqlite3* db);
    std::string Failure() const;
    bool TakeFreeId(TStationRecord& record);

    std::string FPath;
    sqlite3* FDb;
    std::mutex FLock;
};
