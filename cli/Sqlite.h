#pragma once
// The two pieces of SQLite that every journal of the program uses: a prepared statement
// finalized on every path out, and a transaction that rolls back unless committed.

#include <sqlite3.h>

#include <string>

class TStatement {
public:
    TStatement(sqlite3* db, const std::string& sql) {
        FOk = sqlite3_prepare_v2(db, sql.c_str(), -1, &FStmt, nullptr) == SQLITE_OK;
    }
    ~TStatement() { sqlite3_finalize(FStmt); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;

    bool Ok() const { return FOk; }

    TStatement& Bind(int k, const std::string& text) {
        sqlite3_bind_text(FStmt, k, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    TStatement& Bind(int k, const char* text) {
        sqlite3_bind_text(FStmt, k, text, -1, SQLITE_TRANSIENT);
        return *this;
    }
    TStatement& Bind(int k, long long value) {
        sqlite3_bind_int64(FStmt, k, value);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code; an error for a statement that did not
    // prepare.
    int Step() { return FOk ? sqlite3_step(FStmt) : SQLITE_ERROR; }
    void Reset() {
        sqlite3_reset(FStmt);
        sqlite3_clear_bindings(FStmt);
    }
    std::string Text(int k) const {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(FStmt, k));
        return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(FStmt, k))) : std::string();
    }
    long long Int(int k) const { return sqlite3_column_int64(FStmt, k); }

private:
    sqlite3_stmt* FStmt = nullptr;
    bool FOk = false;
};

// A write begins IMMEDIATE: it takes the write lock at once, so another process's writer
// is waited for (the busy timeout) here, rather than failing midway when a read would
// have to turn into a write.
class TTransaction {
public:
    TTransaction(sqlite3* db, bool write) : FDb(db) {
        FOpen = sqlite3_exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~TTransaction() {
        if (FOpen) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    TTransaction(const TTransaction&) = delete;
    TTransaction& operator=(const TTransaction&) = delete;

    bool Begun() const { return FOpen; }
    bool Commit() {
        FOpen = sqlite3_exec(FDb, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK;
        return !FOpen;
    }

private:
    sqlite3* FDb;
    bool FOpen;
};
