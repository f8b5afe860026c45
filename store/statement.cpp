#include "store/statement.h"

#include <sqlite3.h>

#include <string>

Statement::Statement(StateDatabase& database, std::string_view sql) : database_(database) {
    if (!database.IsUsable()) {
        failed_ = true;
        database.Fail("preparing a statement");
        return;
    }
    int code = sqlite3_prepare_v2(database.connection_, sql.data(), static_cast<int>(sql.size()),
                                  &statement_, nullptr);
    if (code != SQLITE_OK) {
        failed_ = true;
        // The statements are fixed and tested: one that does not prepare met
        // tables or columns other than the schema's. A busy or unreadable
        // file reports its own code instead.
        database.Fail("preparing a statement", (code & 0xff) == SQLITE_ERROR);
    }
}

Statement::~Statement() {
    sqlite3_finalize(statement_);
}

void Statement::BindBytes(int index, std::string_view bytes) {
    if (failed_) return;
    // An empty view may carry a null pointer, which SQLite binds as NULL.
    static const char kEmpty = 0;
    const char* data = bytes.empty() ? &kEmpty : bytes.data();
    if (sqlite3_bind_blob64(statement_, index, data, bytes.size(), SQLITE_TRANSIENT) != SQLITE_OK) {
        failed_ = true;
        database_.Fail("binding a value");
    }
}

void Statement::BindInteger(int index, int64_t value) {
    if (failed_) return;
    if (sqlite3_bind_int64(statement_, index, value) != SQLITE_OK) {
        failed_ = true;
        database_.Fail("binding a value");
    }
}

bool Statement::NextRow() {
    if (failed_) return false;
    int code = sqlite3_step(statement_);
    if (code == SQLITE_ROW) return true;
    if (code != SQLITE_DONE) {
        failed_ = true;
        database_.Fail("reading");
    }
    return false;
}

bool Statement::Run() {
    if (failed_) return false;
    int code = sqlite3_step(statement_);
    if (code == SQLITE_ROW || code == SQLITE_DONE) {
        sqlite3_reset(statement_);
        return true;
    }
    failed_ = true;
    database_.Fail("writing");
    return false;
}

bool Statement::IsInteger(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_INTEGER;
}

bool Statement::IsBytes(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_BLOB;
}

int64_t Statement::Integer(int column) const {
    return sqlite3_column_int64(statement_, column);
}

std::string_view Statement::Bytes(int column) const {
    const void* data = sqlite3_column_blob(statement_, column);
    int size = sqlite3_column_bytes(statement_, column);
    if (data == nullptr || size <= 0) return {};
    return {static_cast<const char*>(data), static_cast<size_t>(size)};
}

Transaction::Transaction(StateDatabase& database) : database_(database) {
    open_ = ExecuteSql(database, "BEGIN IMMEDIATE", "beginning a transaction");
}

Transaction::~Transaction() {
    // A failed statement may have ended the transaction already (SQLite rolls
    // back by itself after a full disk); then there is nothing to undo.
    if (open_ && database_.connection_ != nullptr &&
        sqlite3_get_autocommit(database_.connection_) == 0) {
        sqlite3_exec(database_.connection_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

bool Transaction::Commit() {
    if (!open_) return false;
    if (!ExecuteSql(database_, "COMMIT", "committing")) return false;
    open_ = false;
    return true;
}

bool ExecuteSql(StateDatabase& database, std::string_view sql, std::string_view doing) {
    if (!database.IsUsable()) return database.Fail(doing);
    std::string text(sql);
    if (sqlite3_exec(database.connection_, text.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        return database.Fail(doing);
    }
    return true;
}
