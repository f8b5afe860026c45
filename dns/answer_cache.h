// The blocklist answers of every session, kept for as long as their TTL says,
// so that a relay seen in each login of a busy mailbox is asked about once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

// A busy site sees a few thousand relays an hour across a handful of lists;
// beyond this many entries the ones closest to expiry make way, which keeps
// the cache at a few megabytes whatever the mail brings.
inline constexpr size_t kDnsCacheEntryLimit = 20000;

// Lists change by the minute; an answer is not trusted for longer than this
// whatever TTL its zone gives it.
inline constexpr uint32_t kLongestCacheSeconds = 3600;

// What a zone said about one address.
struct CachedAnswer {
    bool listed = false;
    std::string reason;  // the TXT reason of a listing; "" when none
};

// Thread-safe: every method may be called from any session thread at once.
class DnsAnswerCache {
  public:
    using Clock = int64_t (*)();  // monotonic milliseconds

    // `clock` lets tests move time on; the real one is MonotonicMilliseconds.
    explicit DnsAnswerCache(size_t entryLimit = kDnsCacheEntryLimit, Clock clock = nullptr);

    // Returns true with the answer stored for the query name while its TTL
    // runs; false when none is stored or it has expired.
    bool Find(const std::string& name, CachedAnswer& answer);

    // Stores the answer for ttlSeconds (at most kLongestCacheSeconds), in
    // place of any earlier one for the name. A TTL of 0 stores nothing, as
    // the zone asked. Expired entries go first; when the cache is still full,
    // the entry that would expire soonest is dropped.
    void Store(const std::string& name, const CachedAnswer& answer, uint32_t ttlSeconds);

    // Returns the number of entries held, expired ones not yet dropped included.
    size_t size() const;

  private:
    using ExpiryIndex = std::multimap<int64_t, std::string>;
    struct Entry {
        CachedAnswer answer;
        ExpiryIndex::iterator expiry;
    };

    int64_t Now() const;
    void Erase(std::unordered_map<std::string, Entry>::iterator entry);

    const size_t entryLimit_;
    const Clock clock_;
    mutable std::mutex lock_;
    std::unordered_map<std::string, Entry> entries_;
    ExpiryIndex expiries_;  // expiry time in milliseconds -> name
};

// Returns the one cache that all sessions share; it lives until the process ends.
DnsAnswerCache& SharedDnsAnswerCache();
