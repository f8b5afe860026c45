// The state database: one SQLite file in the data directory that keeps what
// must outlive a session (the header cache; later the daily figures,
// quarantine records and reports waiting for delivery). Nothing on disk is
// trusted: every way the file can fail ends in a problem text for the log,
// after which the caller carries on as if there were no database.
//
// Each session thread opens its own connection and closes it when it ends;
// a connection is never shared between threads. This module opens the file,
// brings its schema up to date and deals with damage; each table's access
// lives in a module of its own beside it.
#pragma once

#include <string>
#include <string_view>

#include "platform/files.h"

struct sqlite3;

// The file's name inside the data directory. It holds mail headers, so it is
// made readable by its owner only.
inline constexpr std::string_view kStateDatabaseName = "TRAWLBOX.DB";

// A damaged file is renamed to its name plus this suffix and a fresh one is
// made. An earlier copy set aside is replaced, so that a file damaged again
// and again cannot fill the disk.
inline constexpr std::string_view kSetAsideSuffix = ".DAMAGED";

// How long a connection waits for another one's write to end. A batch of a
// thousand headers commits in tens of milliseconds; anything held much longer
// is another program, and a login should not wait on it.
inline constexpr int kBusyTimeoutMs = 2000;

// What Open achieved.
enum class OpenOutcome {
    kOpened,       // ready for use
    kRebuilt,      // ready for use, but a damaged file was set aside and a
                   // fresh one made; Problem() says what was found
    kUnavailable,  // not open; Problem() says why; the file is left as it was
};

// One connection to the state database, for one thread. Move-only; closes on
// destruction. After any failure Problem() holds a text fit for the log
// (level 2); a connection that found the file damaged refuses all further
// work, and the next Open while no other connection of this process uses the
// file sets the file aside.
class StateDatabase {
  public:
    StateDatabase() = default;
    ~StateDatabase();
    StateDatabase(StateDatabase&& other) noexcept;
    StateDatabase& operator=(StateDatabase&& other) noexcept;
    StateDatabase(const StateDatabase&) = delete;
    StateDatabase& operator=(const StateDatabase&) = delete;

    // Opens kStateDatabaseName in `dataDirectory` (with or without a trailing
    // "/"; "" is the current directory), making the file (mode 0600) when it
    // is missing. The directory itself is never made. The first opening of a
    // file in this process, or of a file replaced since, checks it whole
    // (integrity and schema) and brings its schema up to date; later openings
    // are cheap. A file written by a newer version of the program is left
    // alone (kUnavailable). Closes what was open before.
    OpenOutcome Open(const std::string& dataDirectory);

    // True between a successful Open and Close, until damage was found.
    bool IsUsable() const { return connection_ != nullptr && !damaged_; }

    void Close();

    // What the last failure was, or what Open found when it returned
    // kRebuilt; "" when nothing has gone wrong since Open. A later success
    // does not clear it.
    const std::string& Problem() const { return problem_; }

  private:
    friend class Statement;
    friend class Transaction;
    friend bool ExecuteSql(StateDatabase& database, std::string_view sql, std::string_view doing);

    // Sets Problem() from the connection's last error while `doing`; marks
    // the connection (and the file, for the next Open) damaged when SQLite
    // found the file corrupt or `wrongSchema` says the statement did not fit
    // the schema. On a connection that is closed or already damaged it keeps
    // the problem found first. Returns false, for `return database.Fail(...)`.
    bool Fail(std::string_view doing, bool wrongSchema = false);

    // Open's steps; each returns false with problem_ set.
    bool Connect();
    enum class Verdict { kSound, kDamaged, kTrouble };
    Verdict Verify();
    // False, with problem_ set, when the version cannot be read or is newer
    // than this program's.
    bool VersionIsKnown(int& version);
    bool UpgradeSchema(int version);
    // False, with problem_ set (and damaged_ when the tables differ), unless
    // the file's tables are those of `version`.
    bool SchemaMatches(int version);
    bool SetAside();
    OpenOutcome Unavailable(std::string why);
    void Disconnect();
    std::string Prefix() const;
    // Sets the connection up and counts it among the file's; the end of a
    // successful Open, with the registry locked.
    OpenOutcome Register(OpenOutcome outcome);

    sqlite3* connection_ = nullptr;
    std::string path_;
    std::string problem_;
    bool damaged_ = false;
    bool registered_ = false;  // counted among the file's open connections
    FileIdentity directoryIdentity_;
};
