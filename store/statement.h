// Prepared statements and write transactions on a StateDatabase, for the
// table modules of store/ only. Every failure is recorded in the database's
// Problem(); once a statement failed, its further calls do nothing and fail.
#pragma once

#include <cstdint>
#include <string_view>

#include "store/state_database.h"

struct sqlite3_stmt;

class Statement {
  public:
    // Prepares the SQL. On failure (the connection is not usable, or the
    // statement does not fit the file's schema, which counts as damage)
    // Failed() is true from the start.
    Statement(StateDatabase& database, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Bind parameter `index` (1-based). Byte strings are bound as BLOBs, so
    // that any byte, NUL included, survives and compares exactly.
    void BindBytes(int index, std::string_view bytes);
    void BindInteger(int index, int64_t value);

    // Steps to the next row. Returns true at a row; false when the rows are
    // done or the step failed (Failed() tells which).
    bool NextRow();

    // Runs a statement that yields no rows and makes it ready to run again
    // with new bindings. Returns false when it failed.
    bool Run();

    bool Failed() const { return failed_; }

    // The current row's columns (0-based). IsInteger / IsBytes tell the
    // stored type: a damaged row may hold anything. Bytes() stays valid
    // until the next step.
    bool IsInteger(int column) const;
    bool IsBytes(int column) const;
    int64_t Integer(int column) const;
    std::string_view Bytes(int column) const;

  private:
    StateDatabase& database_;
    sqlite3_stmt* statement_ = nullptr;
    bool failed_ = false;
};

// A write transaction, taken at once (BEGIN IMMEDIATE): a transaction that
// began as a reader could not wait for the write lock when it later needs
// it, while this one waits up to kBusyTimeoutMs when another writer holds
// it. Rolls back on destruction unless committed.
class Transaction {
  public:
    explicit Transaction(StateDatabase& database);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // False when the transaction could not begin.
    bool Began() const { return open_; }

    // Returns true when the changes are on disk; false (and rolled back)
    // when the commit failed or the transaction never began.
    bool Commit();

  private:
    StateDatabase& database_;
    bool open_ = false;
};

// Runs SQL that yields no rows (one statement, or several with no
// parameters). Returns false when it failed; `doing` names the step in the
// problem text.
bool ExecuteSql(StateDatabase& database, std::string_view sql, std::string_view doing);
