#include "store/state_database.h"

#include <sqlite3.h>

#include <array>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "store/statement.h"

namespace {

// The schema, one step per version: step i brings a file of version i
// (PRAGMA user_version) to version i + 1. A released step is never changed;
// a new table or column is a new step at the end. Every table is STRICT, so
// that a column holds only its declared type.
constexpr std::array<std::string_view, 4> kSchemaSteps{
    // 1: the header cache (store/header_cache).
    "CREATE TABLE header_cache ("
    "server BLOB NOT NULL, account BLOB NOT NULL, uidl BLOB NOT NULL, "
    "size INTEGER NOT NULL, line_count INTEGER NOT NULL, header BLOB NOT NULL, "
    "UNIQUE (server, account, uidl)) STRICT",
    // 2: the records of quarantined copies (store/quarantine).
    "CREATE TABLE quarantine ("
    "id BLOB NOT NULL PRIMARY KEY, account BLOB NOT NULL, killed_at INTEGER NOT NULL, "
    "sender BLOB NOT NULL, subject BLOB NOT NULL, rule BLOB NOT NULL, size INTEGER NOT NULL, "
    "path BLOB NOT NULL, released_at INTEGER NOT NULL) STRICT; "
    "CREATE INDEX quarantine_by_account ON quarantine (account, released_at); "
    "CREATE INDEX quarantine_by_time ON quarantine (killed_at)",
    // 3: kill reports waiting for the account's next login (store/pending_reports).
    "CREATE TABLE pending_report ("
    "seq INTEGER PRIMARY KEY, account BLOB NOT NULL, kept_at INTEGER NOT NULL, "
    "report BLOB NOT NULL) STRICT; "
    "CREATE INDEX pending_report_by_account ON pending_report (account, seq)",
    // 4: daily figures (store/statistics).
    "CREATE TABLE daily_verdicts ("
    "day INTEGER NOT NULL, account BLOB NOT NULL, judged INTEGER NOT NULL, "
    "killed INTEGER NOT NULL, hidden INTEGER NOT NULL, kept INTEGER NOT NULL, "
    "PRIMARY KEY (day, account)) STRICT; "
    "CREATE TABLE daily_rule_hits ("
    "day INTEGER NOT NULL, rule BLOB NOT NULL, location BLOB NOT NULL, hits INTEGER NOT NULL, "
    "PRIMARY KEY (day, rule, location)) STRICT",
};
constexpr int kSchemaVersion = static_cast<int>(kSchemaSteps.size());

// What SQLite result codes mean for the user.
struct CodeText {
    int code;
    std::string_view text;
};
constexpr std::array<CodeText, 13> kCodeTexts{{
    {SQLITE_CORRUPT, "the file is damaged"},
    {SQLITE_NOTADB, "the file is not a database"},
    {SQLITE_BUSY, "the file is locked by another program"},
    {SQLITE_LOCKED, "the file is locked"},
    {SQLITE_READONLY_DIRECTORY,
     "the data directory is read-only, so the file's -wal and -shm "
     "companions cannot be made"},
    {SQLITE_READONLY_CANTINIT, "the file's -shm companion cannot be made"},
    {SQLITE_READONLY, "the file is read-only"},
    {SQLITE_FULL, "the disk is full"},
    {SQLITE_CANTOPEN_SYMLINK, "the file is a symbolic link"},
    {SQLITE_CANTOPEN, "the file or its -wal and -shm companions cannot be opened"},
    {SQLITE_PERM, "access was refused"},
    {SQLITE_IOERR, "reading or writing the disk failed"},
    {SQLITE_NOMEM, "out of memory"},
}};

// Said of damage that a connection finds; Open, which sets the file aside
// at once, says so instead.
constexpr std::string_view kSetAsideLater = "; it is set aside once no session uses it";

// A finding of the integrity check quoted in a problem text is cut here:
// the first is enough to tell what happened, and the log line stays short.
constexpr size_t kMaxQuotedFinding = 200;

// The text with line breaks and other control bytes as spaces: problem
// texts become single log lines.
std::string OneLine(std::string_view text) {
    std::string line(text);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return line;
}

// Extended codes (a reason for the primary one) are looked up first.
std::string_view ExplainCode(int code) {
    for (const CodeText& entry : kCodeTexts) {
        if (entry.code == code) return entry.text;
    }
    for (const CodeText& entry : kCodeTexts) {
        if (entry.code == (code & 0xff)) return entry.text;
    }
    return "the database failed";
}

// What this process knows about one state database file, found by the
// identity of its directory (so that two spellings of one path agree).
// Connections of this process count themselves here, because setting a file
// aside while one of them still uses it would let that connection's last
// close remove the fresh file's log by name.
struct FileRecord {
    int openCount = 0;
    bool verified = false;  // checked whole since this process first opened it
    bool suspect = false;   // a connection found damage since
    FileIdentity identity;  // of the file that was checked
};
using RegistryKey = std::pair<uint64_t, uint64_t>;

// Never destroyed: a session thread may close its connection while the
// process ends.
std::mutex& RegistryLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::map<RegistryKey, FileRecord>& Registry() {
    static auto* registry = new std::map<RegistryKey, FileRecord>;
    return *registry;
}

// Reads the schema's rows ("type name table sql"), in name order. Returns
// false when they cannot be read.
bool ReadSchema(sqlite3* connection, std::vector<std::string>& rows) {
    rows.clear();
    sqlite3_stmt* statement = nullptr;
    const char* sql = "SELECT type, name, tbl_name, sql FROM sqlite_schema ORDER BY name";
    if (sqlite3_prepare_v2(connection, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
    int code;
    while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
        std::string row;
        for (int column = 0; column < 4; ++column) {
            const unsigned char* text = sqlite3_column_text(statement, column);
            row += text ? reinterpret_cast<const char*>(text) : "(null)";
            row += '\n';
        }
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    return code == SQLITE_DONE;
}

// The schema a file of `version` must have: the first `version` steps
// applied to an empty database in memory, or null when that failed. Built
// once per version; called with the registry locked.
const std::vector<std::string>* ReferenceSchema(int version) {
    static auto* references = new std::map<int, std::vector<std::string>>;
    auto known = references->find(version);
    if (known != references->end()) return &known->second;
    sqlite3* memory = nullptr;
    bool built = sqlite3_open_v2(":memory:", &memory, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    for (int step = 0; step < version; ++step) {
        std::string sql(kSchemaSteps[static_cast<size_t>(step)]);
        built = built && sqlite3_exec(memory, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    std::vector<std::string> rows;
    built = built && ReadSchema(memory, rows);
    sqlite3_close_v2(memory);
    if (!built) return nullptr;
    return &references->emplace(version, std::move(rows)).first->second;
}

}  // namespace

StateDatabase::~StateDatabase() {
    Close();
}

StateDatabase::StateDatabase(StateDatabase&& other) noexcept
    : connection_(std::exchange(other.connection_, nullptr)),
      path_(std::move(other.path_)),
      problem_(std::move(other.problem_)),
      damaged_(other.damaged_),
      registered_(std::exchange(other.registered_, false)),
      directoryIdentity_(other.directoryIdentity_) {}

StateDatabase& StateDatabase::operator=(StateDatabase&& other) noexcept {
    if (this != &other) {
        Close();
        connection_ = std::exchange(other.connection_, nullptr);
        path_ = std::move(other.path_);
        problem_ = std::move(other.problem_);
        damaged_ = other.damaged_;
        registered_ = std::exchange(other.registered_, false);
        directoryIdentity_ = other.directoryIdentity_;
    }
    return *this;
}

OpenOutcome StateDatabase::Open(const std::string& dataDirectory) {
    Close();
    problem_.clear();
    damaged_ = false;
    std::string directory = dataDirectory.empty() ? "./" : dataDirectory;
    if (directory.back() != '/') directory += '/';
    path_ = directory + std::string(kStateDatabaseName);
    // Each session's connection is used by its thread alone, so SQLite's own
    // locks are left out (SQLITE_OPEN_NOMUTEX); that still needs a library
    // built for threads.
    if (sqlite3_threadsafe() == 0) return Unavailable("the SQLite library has no thread support");

    std::lock_guard lock(RegistryLock());
    if (!IdentifyFile(directory, directoryIdentity_) || !DirectoryExists(directory)) {
        return Unavailable("the data directory is missing");
    }
    std::string reason;
    if (!EnsurePrivateFile(path_, reason)) return Unavailable("the file cannot be made: " + reason);
    FileIdentity identity;
    if (!IdentifyFile(path_, identity)) return Unavailable("the file cannot be examined");
    FileRecord& record = Registry()[{directoryIdentity_.device, directoryIdentity_.inode}];
    bool known = record.verified && !record.suspect && record.identity == identity;
    if (!known && record.openCount > 0) {
        return Unavailable(
            "the file was found damaged or was replaced; it is checked again once "
            "no session uses it");
    }
    if (!Connect()) return OpenOutcome::kUnavailable;

    if (known) {
        // The file was checked whole when this process first opened it.
        bool current = false;
        bool failed = false;
        {
            Statement version(*this, "PRAGMA user_version");
            current = version.NextRow() && version.Integer(0) == kSchemaVersion;
            failed = version.Failed();
        }
        if (current) return Register(OpenOutcome::kOpened);
        if (failed && !damaged_) {
            Disconnect();  // busy, full, unreadable: the file itself may be sound
            return OpenOutcome::kUnavailable;
        }
        // Damaged, or another version under the same name (a file made
        // anew may get the old one's inode number): checked whole again.
        record.verified = false;
        if (record.openCount > 0) {
            record.suspect = record.suspect || damaged_;
            if (!failed) problem_ = Prefix() + "its schema was changed by another program";
            Disconnect();
            return OpenOutcome::kUnavailable;
        }
        damaged_ = false;
        problem_.clear();
    }
    OpenOutcome outcome = OpenOutcome::kOpened;
    Verdict verdict = Verify();
    if (verdict == Verdict::kDamaged) {
        std::string found = problem_;
        if (found.ends_with(kSetAsideLater)) found.resize(found.size() - kSetAsideLater.size());
        Disconnect();
        if (!SetAside()) return OpenOutcome::kUnavailable;
        damaged_ = false;
        if (!EnsurePrivateFile(path_, reason)) {
            return Unavailable("the file cannot be made: " + reason);
        }
        if (!Connect()) return OpenOutcome::kUnavailable;
        verdict = Verify();
        if (verdict == Verdict::kSound) {
            problem_ = found + "; set aside as " + std::string(kStateDatabaseName) +
                       std::string(kSetAsideSuffix) + " and made afresh";
            outcome = OpenOutcome::kRebuilt;
        }
    }
    if (verdict != Verdict::kSound) {
        Disconnect();
        return OpenOutcome::kUnavailable;
    }
    record.verified = IdentifyFile(path_, record.identity);
    record.suspect = false;
    return Register(outcome);
}

OpenOutcome StateDatabase::Register(OpenOutcome outcome) {
    // With a write-ahead log, NORMAL loses at most the last commits on a
    // power failure and never damages the file; a full sync per batch would
    // slow every login for what is only remembered, never needed.
    if (!ExecuteSql(*this, "PRAGMA synchronous=NORMAL", "setting up")) {
        Disconnect();
        return OpenOutcome::kUnavailable;
    }
    ++Registry()[{directoryIdentity_.device, directoryIdentity_.inode}].openCount;
    registered_ = true;
    return outcome;
}

void StateDatabase::Close() {
    // The connection is gone before it stops counting, so that nobody sets
    // the file aside under it.
    Disconnect();
    if (!registered_) return;
    registered_ = false;
    std::lock_guard lock(RegistryLock());
    FileRecord& record = Registry()[{directoryIdentity_.device, directoryIdentity_.inode}];
    --record.openCount;
    if (damaged_) record.suspect = true;
}

void StateDatabase::Disconnect() {
    if (connection_ != nullptr) sqlite3_close_v2(connection_);
    connection_ = nullptr;
}

std::string StateDatabase::Prefix() const {
    return "State database " + path_ + ": ";
}

OpenOutcome StateDatabase::Unavailable(std::string why) {
    Disconnect();
    problem_ = Prefix() + why;
    return OpenOutcome::kUnavailable;
}

bool StateDatabase::Fail(std::string_view doing, bool wrongSchema) {
    if (connection_ == nullptr) {
        if (problem_.empty()) problem_ = Prefix() + "not open";
        return false;
    }
    if (damaged_) return false;
    int code = sqlite3_extended_errcode(connection_);
    damaged_ = wrongSchema || (code & 0xff) == SQLITE_CORRUPT || (code & 0xff) == SQLITE_NOTADB;
    problem_ =
        Prefix() + std::string(doing) + ": " +
        std::string(wrongSchema ? "its tables are not the expected ones" : ExplainCode(code)) +
        " (" + OneLine(sqlite3_errmsg(connection_)) + ")";
    if (damaged_) problem_ += kSetAsideLater;
    return false;
}

bool StateDatabase::Connect() {
    // A symbolic link in its place is refused: the headers go where the
    // data directory is, not where someone else points.
    int code = sqlite3_open_v2(path_.c_str(), &connection_,
                               SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                               nullptr);
    if (code != SQLITE_OK) {
        if (connection_ == nullptr) {
            Unavailable("out of memory");
            return false;
        }
        Fail("opening");
        Disconnect();
        return false;
    }
    sqlite3_extended_result_codes(connection_, 1);
    sqlite3_busy_timeout(connection_, kBusyTimeoutMs);
    // A file that may come from anywhere: no schema tricks (triggers or
    // views calling functions), no writing to the schema table by hand.
    sqlite3_db_config(connection_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(connection_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    // SQLite falls back to reading only when it may not write the file.
    if (sqlite3_db_readonly(connection_, "main") == 1) {
        Unavailable(std::string(ExplainCode(SQLITE_READONLY)));
        return false;
    }
    return true;
}

StateDatabase::Verdict StateDatabase::Verify() {
    auto failed = [this] { return damaged_ ? Verdict::kDamaged : Verdict::kTrouble; };
    // Everything is read before anything is written, so that a file set
    // aside, or a newer program's file, stays exactly as it was found.
    int version = 0;
    if (!VersionIsKnown(version)) return failed();
    {
        Statement check(*this, "PRAGMA integrity_check(1)");
        if (!check.NextRow()) return failed();
        if (check.Bytes(0) != "ok") {
            problem_ = Prefix() + "the file failed the integrity check (" +
                       OneLine(check.Bytes(0).substr(0, kMaxQuotedFinding)) + ")";
            damaged_ = true;
            return Verdict::kDamaged;
        }
    }
    if (!SchemaMatches(version)) return failed();
    {
        // Readers never wait for a writer, so one session's batch does not
        // hold up another's lookup.
        Statement mode(*this, "PRAGMA journal_mode=WAL");
        if (!mode.NextRow()) return failed();
        if (mode.Bytes(0) != "wal") {
            problem_ = Prefix() + "the file cannot keep a write-ahead log";
            return Verdict::kTrouble;
        }
    }
    // Read again inside the write transaction: another program may have
    // brought the file up to date meanwhile, and the steps must not run twice.
    Transaction transaction(*this);
    if (!transaction.Began()) return failed();
    int now = 0;
    if (!VersionIsKnown(now)) return failed();
    if (now != version && !SchemaMatches(now)) return failed();
    if (now < kSchemaVersion && !UpgradeSchema(now)) return failed();
    if (!SchemaMatches(kSchemaVersion)) return failed();
    if (!transaction.Commit()) return failed();
    return Verdict::kSound;
}

bool StateDatabase::VersionIsKnown(int& version) {
    Statement read(*this, "PRAGMA user_version");
    if (!read.NextRow()) return false;
    int64_t found = read.Integer(0);
    if (found > kSchemaVersion || found < 0) {
        problem_ = Prefix() + "the file was written by a newer version of the program (schema " +
                   std::to_string(found) + "); it is left alone";
        return false;
    }
    version = static_cast<int>(found);
    return true;
}

bool StateDatabase::UpgradeSchema(int version) {
    for (int step = version; step < kSchemaVersion; ++step) {
        std::string sql(kSchemaSteps[static_cast<size_t>(step)]);
        int code = sqlite3_exec(connection_, sql.c_str(), nullptr, nullptr, nullptr);
        if (code != SQLITE_OK) return Fail("bringing the schema up to date");
    }
    return ExecuteSql(*this, "PRAGMA user_version=" + std::to_string(kSchemaVersion),
                      "bringing the schema up to date");
}

bool StateDatabase::SchemaMatches(int version) {
    const std::vector<std::string>* reference = ReferenceSchema(version);
    if (reference == nullptr) {
        problem_ = Prefix() + "the expected schema cannot be built";
        return false;
    }
    std::vector<std::string> rows;
    if (!ReadSchema(connection_, rows)) return Fail("reading the schema");
    if (rows != *reference) {
        problem_ = Prefix() + "its tables are not the expected ones";
        damaged_ = true;
        return false;
    }
    return true;
}

bool StateDatabase::SetAside() {
    const std::string aside = path_ + std::string(kSetAsideSuffix);
    const std::string wal = "-wal";
    const std::string shm = "-shm";
    std::string reason;
    RemoveFile(aside + wal);
    RemoveFile(aside + shm);
    if (!RenameFile(path_, aside, reason)) {
        problem_ += "; it cannot be set aside: " + reason;
        return false;
    }
    // The log goes with its file, so that the copy set aside reads as it
    // was. A log left under the old name would be read into the fresh file.
    if (FileExists(path_ + wal) && !RenameFile(path_ + wal, aside + wal, reason) &&
        !RemoveFile(path_ + wal)) {
        problem_ += "; its log cannot be moved away: " + reason;
        return false;
    }
    RemoveFile(path_ + shm);
    return true;
}
