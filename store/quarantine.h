// The quarantine: a copy of every killed message, kept on this machine
// before the message is deleted on the server, so that a rule that matched
// by mistake can be undone.
//
// The copies are files in one Maildir per account (store/maildir) under the
// quarantine directory; their records (who, when, why) are rows of the state
// database. A copy is indexed only once its file is safely on disk, so a row
// always had a file. Either side may still lose the other (a file removed by
// hand, a database set aside): a row without its file is skipped where the
// file is needed and dropped by the clean-up; a file without a row is never
// listed, and the clean-up removes it once it is as old as the retention.
//
// Account keys name a mailbox: the server's host name, "#", and the account
// there (AccountKey).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/maildir.h"
#include "store/state_database.h"

// The directory's name inside the data directory when the configuration
// names none.
inline constexpr std::string_view kDefaultQuarantineDirectoryName = "QUARANTINE";

// Copies older than this many days are removed.
inline constexpr int64_t kDefaultQuarantineDays = 14;

// Killed messages larger than this (in KB of 1024 octets) are left on the
// server, hidden, instead of being copied.
inline constexpr int64_t kDefaultQuarantineMaxMessageKB = 10240;

// Ids are this many characters of kQuarantineIdAlphabet: 40 random bits, so
// that the few thousand copies of two weeks practically never meet a taken
// id (one that does is drawn again), short enough to type.
inline constexpr size_t kQuarantineIdLength = 8;

// Digits and lower-case letters without i, l, o and u, which are read as
// 1, 1, 0 and v (or make words). Typed ids are taken in either case, with
// o read as 0 and i and l as 1.
inline constexpr std::string_view kQuarantineIdAlphabet = "0123456789abcdefghjkmnpqrstvwxyz";

// A released message's unique id in UIDL is this followed by its id: it is
// stable across logins and cannot be taken for a server's own (RFC 1939 ids
// are the server's choice, and this one names the program).
inline constexpr std::string_view kReleasedUidlPrefix = "trawlbox-q-";

// An account's folder name stays below this many bytes; a longer one is
// cut and ends in "~" and a digest of the whole key, so that it stays one
// account's. Far below the 255 bytes a file name may have.
inline constexpr size_t kMaxQuarantineFolderName = 100;

// Sender and subject are kept up to this many bytes (cut between UTF-8
// characters): enough for any list or page, and no message can make a row
// huge.
inline constexpr size_t kMaxQuarantineTextBytes = 1000;

// The rule text is a kill-file line; none is longer in practice.
inline constexpr size_t kMaxQuarantineRuleBytes = 1000;

// A stored message is read whole into memory to be shown or handed back;
// one larger than this (only with a size cap raised far beyond its default)
// is refused rather than read.
inline constexpr int64_t kMaxQuarantineReadBytes = 256 * 1024 * 1024;

// A file in tmp/ is an unfinished delivery; one older than this was left by
// a crash and is removed (the Maildir convention's 36 hours).
inline constexpr int64_t kStaleMaildirTmpSeconds = 36 * 3600;

// Returns the account key of an account on a server: host, "#", account.
std::string AccountKey(std::string_view serverHost, std::string_view account);

// Returns the folder name of an account's Maildir: the key with every byte
// but letters, digits and "-_.@+=,#" written as "%XX" (so no "/", no control
// byte, and no leading "." since that is written "%2E" too), cut to
// kMaxQuarantineFolderName as said there.
std::string QuarantineFolderName(std::string_view accountKey);

// True when a killed message of `octets` may be copied under the cap
// QuarantineMaxMessageKB = `maxKB`; a cap of 0 or below copies nothing.
bool FitsQuarantine(int64_t octets, int64_t maxKB);

// Reads an id as a user typed it. Returns true and sets `id` to the id as
// stored when `typed` has kQuarantineIdLength characters of the alphabet
// (case and the look-alikes as said there); false otherwise.
bool ReadQuarantineId(std::string_view typed, std::string& id);

// Returns kReleasedUidlPrefix followed by the id.
std::string ReleasedUidl(std::string_view id);

// The record of one kept copy.
struct QuarantineEntry {
    std::string id;          // assigned by Add
    std::string account;     // account key
    int64_t killedAt = 0;    // seconds since 1970 (UTC)
    std::string sender;      // UTF-8 as the caller gave it (cut as said above)
    std::string subject;     // likewise
    std::string rule;        // the rule that killed it, as the kill file has it
    int64_t size = 0;        // octets with CR LF line ends, as POP3's LIST counts them
    std::string path;        // "<folder>/new/<file>", inside the quarantine directory
    int64_t releasedAt = 0;  // seconds since 1970 when released; 0 when not released

    bool Released() const { return releasedAt > 0; }
};

// What a list shows.
struct QuarantineQuery {
    // Only entries whose sender or subject contain this, without regard to
    // case for ASCII letters ("" for all).
    std::string text;
    // Only entries of this account key ("" for all).
    std::string account;
    // At most this many entries, the newest (0 for all).
    size_t limit = 0;
};

// What a clean-up removed.
struct QuarantineCleanup {
    size_t expired = 0;       // copies older than the retention (file and row)
    size_t danglingRows = 0;  // rows whose file was gone
    size_t strayFiles = 0;    // files without a row, and files left in tmp/
};

// Which way a lookup by id went.
enum class QuarantineLookup {
    kFound,
    kUnknown,  // no copy has that id (or it is no id at all)
    kFailed,   // the database failed; Problem() says why
};

// The quarantine under one directory, on an open StateDatabase of one thread.
// Every call that returns false (or kFailed) leaves Problem() saying why, fit
// for the log; a database failure changes nothing in the database.
class Quarantine {
  public:
    // `directory` is the quarantine directory (with or without a trailing
    // "/"); it is made (mode 0700) when a copy is begun and it is missing,
    // but its parent never is.
    Quarantine(StateDatabase& database, std::string directory);

    // Returns the account's Maildir: the directory and its folder name.
    std::string MaildirOf(std::string_view accountKey) const;

    // Begins a copy of a message of the account in its Maildir (see
    // MaildirDelivery::Begin; `maxOctets` caps its size, 0 for none).
    // Returns false, with Problem(), when that failed; nothing is left then.
    bool BeginCopy(std::string_view accountKey, MaildirDelivery& copy, int64_t maxOctets = 0);

    // Indexes a copy finished in the Maildir of `entry.account` (begun with
    // BeginCopy): sets `entry`'s id, size and path, clears its release, cuts
    // its texts, and adds its row. Returns true when the row is in the
    // database; the killed message may be deleted on the server only then.
    // Returns false, with Problem(), when the copy is not finished there or
    // the row could not be added; the copy's file is removed then.
    bool Add(const MaildirDelivery& copy, QuarantineEntry& entry);

    // The rows that match the query, newest kill first. Rows that are
    // unreadable (damaged) are left out. Returns false when the database failed.
    bool List(const QuarantineQuery& query, std::vector<QuarantineEntry>& entries);

    // Finds the row of an id as a user typed it (see ReadQuarantineId).
    QuarantineLookup Get(std::string_view typedId, QuarantineEntry& entry);

    // Reads the stored message of an entry: its bytes as stored (LF line
    // ends). Finds it in new/, or in cur/ when a mail program opened the
    // folder and moved it. Returns false, with Problem(), when the file is
    // gone, unreadable, larger than kMaxQuarantineReadBytes, or the entry's
    // path does not point into the account's folder (a damaged row).
    bool ReadMessage(const QuarantineEntry& entry, std::string& message);

    // Marks the copies of the ids (as typed) released at `now`, in one
    // transaction; a copy released before keeps its first time. Ids that
    // name no copy are listed in `unknown` as typed, and do not stop the
    // others. Returns false when the database failed; nothing is marked then.
    bool Release(const std::vector<std::string>& typedIds, int64_t now,
                 std::vector<std::string>& unknown);

    // The released copies of an account, oldest kill first: the messages its
    // next login hands back. Returns false when the database failed.
    bool ListReleased(std::string_view accountKey, std::vector<QuarantineEntry>& entries);

    // Removes a copy: its row, then its file (a file that cannot be removed
    // stays for the clean-up). kUnknown when no copy has the id.
    QuarantineLookup Remove(std::string_view typedId);

    // Removes the copies killed, or released, more than `days` days before
    // `now` (none by age when `days` is 0 or below), rows whose file is gone,
    // own files without a row as old as that, and files left in tmp/ for
    // kStaleMaildirTmpSeconds. Rows go in one transaction; their files after
    // it. Only files whose names this program makes (IsOwnMaildirName) in
    // the Maildirs directly under the directory are ever touched. Returns
    // false when the database failed; nothing is removed then.
    bool CleanUp(int64_t days, int64_t now, QuarantineCleanup& cleanup);

    const std::string& Problem() const { return problem_; }

  private:
    // Sets Problem() from the database's; returns false.
    bool DatabaseFailed();
    // Draws an id no row has, inside the caller's transaction. Returns false
    // when the database failed; `id` is "" when every draw was taken.
    bool FreeId(std::string& id);
    // Folder and file names (without flags) of copies.
    using FolderNames = std::set<std::pair<std::string, std::string>>;
    // Removes own files in new/ and cur/ not in `kept` and written before
    // `cutoff`, and own files in tmp/ older than kStaleMaildirTmpSeconds at
    // `now`. Returns how many it removed.
    size_t RemoveStrayFiles(const FolderNames& kept, int64_t cutoff, int64_t now);
    // The full path of the entry's file as it is now (in new/ or cur/), or ""
    // when it is gone or the path is not one of the account's.
    std::string Locate(const QuarantineEntry& entry) const;

    StateDatabase& database_;
    std::string directory_;  // ends in "/"
    std::string problem_;
};
