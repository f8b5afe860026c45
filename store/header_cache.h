// The header cache: per server, account and unique id (UIDL), the header
// lines of a message as the server sent them in answer to TOP n 0, and the
// message's size. A login judges a cached message from these lines with the
// same code as a fetched one, so the cache holds headers, never verdicts.
//
// The lines are opaque here: an ordered list of byte strings without their
// line ends, kept exactly. Nothing else about a mailbox is stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/state_database.h"

// The scan keeps at most 2000 unfolded header lines; folded, a header has
// more lines than that. A header longer than this is not cached and is
// fetched at every login.
inline constexpr size_t kMaxCachedHeaderLines = 4000;

// Real headers are a few kilobytes; a mailing list's may reach tens. A larger
// one (its lines plus one byte for each line's end) is not cached, so that
// one message cannot make an entry huge.
inline constexpr size_t kMaxCachedHeaderBytes = 256 * 1024;

// The scan keeps unique ids up to 256 bytes (RFC 1939 allows 70); a longer
// one is not cached.
inline constexpr size_t kMaxCachedUidlLength = 256;

// Server and account names longer than this are no real ones; such a mailbox
// is not cached (nothing is found, stored or removed, and that is no failure).
inline constexpr size_t kMaxMailboxNameLength = 1024;

// One lookup stops taking entries beyond this many bytes of header lines,
// so that a login cannot be made to hold an unbounded amount of memory;
// the messages left out are fetched as if they were not cached.
inline constexpr size_t kMaxLookupBytes = 64 * 1024 * 1024;

struct CachedHeader {
    std::string uidl;
    int64_t size = 0;                // octets, as the caller stored it
    std::vector<std::string> lines;  // in the order received, without line ends
};

// The result of one lookup.
struct CacheLookup {
    // The cached entries of the ids asked for, by id. An id listed more than
    // once is never among them.
    std::unordered_map<std::string, CachedHeader> found;
    // Ids that occur more than once in the list asked for, each named once.
    // Their messages cannot be told apart by id, so the caller fetches them
    // and does not store them.
    std::vector<std::string> duplicates;
    // Entries that were there but unreadable (damaged rows) and were left
    // out; the caller fetches these messages, and storing them replaces the
    // entries.
    size_t unreadable = 0;
};

// The cache of one mailbox (server and account) on an open StateDatabase.
// Every call returns false when the database failed; its Problem() then says
// why, nothing was changed, and the caller scans as if there were no cache.
class HeaderCache {
  public:
    // `server` names the server as the caller chooses (host and port, say);
    // `account` is the user name there.
    HeaderCache(StateDatabase& database, std::string server, std::string account);

    // Looks up the ids of the mailbox's messages (the whole UIDL list, in one
    // query). Entries of ids not asked for are not returned. Ids that are
    // empty or longer than kMaxCachedUidlLength are never found.
    bool Load(const std::vector<std::string>& uidls, CacheLookup& lookup);

    // Stores the entries in one transaction; an entry of an id cached
    // already replaces it. Left out (not stored, and not a failure): entries
    // whose id is empty, too long, or occurs more than once in the batch;
    // headers over kMaxCachedHeaderLines or kMaxCachedHeaderBytes, or with a
    // line holding a line feed. Returns the number stored in `stored`.
    bool Store(const std::vector<CachedHeader>& entries, size_t& stored);

    // Removes, in one transaction, every entry of this mailbox whose id is
    // not in `present` (the complete UIDL list of a scan that ran to its end).
    // Returns the number removed in `removed`.
    bool RemoveAbsent(const std::vector<std::string>& present, size_t& removed);

  private:
    StateDatabase& database_;
    std::string server_;
    std::string account_;
    bool cacheable_;  // the names are within kMaxMailboxNameLength
};
