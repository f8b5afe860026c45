#include "store/header_cache.h"

#include <string_view>
#include <unordered_set>
#include <utility>

#include "store/statement.h"

namespace {

// A header is stored as one BLOB: each line followed by a line feed. Its
// line count is stored beside it, so that a damaged entry shows.
constexpr char kLineEnd = '\n';

bool UidlCacheable(const std::string& uidl) {
    return !uidl.empty() && uidl.size() <= kMaxCachedUidlLength;
}

// Returns false when the lines cannot be stored (too many, too long, or a
// line holding the separator).
bool EncodeLines(const std::vector<std::string>& lines, std::string& blob) {
    if (lines.size() > kMaxCachedHeaderLines) return false;
    size_t total = 0;
    for (const std::string& line : lines) {
        total += line.size() + 1;
        if (total > kMaxCachedHeaderBytes) return false;
        if (line.find(kLineEnd) != std::string::npos) return false;
    }
    blob.clear();
    blob.reserve(total);
    for (const std::string& line : lines) {
        blob += line;
        blob += kLineEnd;
    }
    return true;
}

// Returns false when the blob is not what EncodeLines makes of `count` lines.
bool DecodeLines(std::string_view blob, int64_t count, std::vector<std::string>& lines) {
    if (count < 0 || static_cast<uint64_t>(count) > kMaxCachedHeaderLines) return false;
    if (blob.size() > kMaxCachedHeaderBytes) return false;
    if (!blob.empty() && blob.back() != kLineEnd) return false;
    lines.clear();
    size_t start = 0;
    while (start < blob.size()) {
        if (lines.size() == static_cast<size_t>(count)) return false;
        size_t end = blob.find(kLineEnd, start);
        lines.emplace_back(blob.substr(start, end - start));
        start = end + 1;
    }
    return lines.size() == static_cast<size_t>(count);
}

// How often each id occurs in the list.
std::unordered_map<std::string_view, int> CountIds(const std::vector<std::string>& uidls) {
    std::unordered_map<std::string_view, int> counts;
    counts.reserve(uidls.size());
    for (const std::string& uidl : uidls) ++counts[uidl];
    return counts;
}

}  // namespace

HeaderCache::HeaderCache(StateDatabase& database, std::string server, std::string account)
    : database_(database),
      server_(std::move(server)),
      account_(std::move(account)),
      cacheable_(server_.size() <= kMaxMailboxNameLength &&
                 account_.size() <= kMaxMailboxNameLength) {}

bool HeaderCache::Load(const std::vector<std::string>& uidls, CacheLookup& lookup) {
    lookup = CacheLookup{};
    std::unordered_map<std::string_view, int> counts = CountIds(uidls);
    for (const std::string& uidl : uidls) {
        int& count = counts[uidl];
        if (count > 1) {
            lookup.duplicates.push_back(uidl);
            count = -count;  // named once
        }
    }
    if (!cacheable_) return true;

    Statement select(database_,
                     "SELECT uidl, size, line_count, header FROM header_cache "
                     "WHERE server = ?1 AND account = ?2");
    select.BindBytes(1, server_);
    select.BindBytes(2, account_);
    size_t taken = 0;
    while (select.NextRow()) {
        if (!select.IsBytes(0)) {
            ++lookup.unreadable;
            continue;
        }
        std::string_view uidl = select.Bytes(0);
        auto wanted = counts.find(uidl);
        if (wanted == counts.end() || wanted->second != 1) continue;
        if (!select.IsInteger(1) || !select.IsInteger(2) || !select.IsBytes(3)) {
            ++lookup.unreadable;
            continue;
        }
        std::string_view blob = select.Bytes(3);
        if (taken + blob.size() > kMaxLookupBytes) continue;
        CachedHeader entry;
        entry.uidl = std::string(uidl);
        entry.size = select.Integer(1);
        if (entry.size < 0 || !DecodeLines(blob, select.Integer(2), entry.lines)) {
            ++lookup.unreadable;
            continue;
        }
        taken += blob.size();
        std::string key = entry.uidl;
        lookup.found.emplace(std::move(key), std::move(entry));
    }
    if (select.Failed()) {
        lookup.found.clear();
        return false;
    }
    return true;
}

bool HeaderCache::Store(const std::vector<CachedHeader>& entries, size_t& stored) {
    stored = 0;
    if (!cacheable_ || entries.empty()) return true;
    std::unordered_map<std::string_view, int> counts;
    for (const CachedHeader& entry : entries) ++counts[entry.uidl];

    Transaction transaction(database_);
    if (!transaction.Began()) return false;
    Statement insert(database_,
                     "INSERT OR REPLACE INTO header_cache "
                     "(server, account, uidl, size, line_count, header) "
                     "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    std::string blob;
    size_t count = 0;
    for (const CachedHeader& entry : entries) {
        if (!UidlCacheable(entry.uidl) || counts[entry.uidl] != 1 || entry.size < 0) continue;
        if (!EncodeLines(entry.lines, blob)) continue;
        insert.BindBytes(1, server_);
        insert.BindBytes(2, account_);
        insert.BindBytes(3, entry.uidl);
        insert.BindInteger(4, entry.size);
        insert.BindInteger(5, static_cast<int64_t>(entry.lines.size()));
        insert.BindBytes(6, blob);
        if (!insert.Run()) return false;
        ++count;
    }
    if (!transaction.Commit()) return false;
    stored = count;
    return true;
}

bool HeaderCache::RemoveAbsent(const std::vector<std::string>& present, size_t& removed) {
    removed = 0;
    if (!cacheable_) return true;
    std::unordered_set<std::string_view> kept(present.begin(), present.end());

    Transaction transaction(database_);
    if (!transaction.Began()) return false;
    // Collected first: rows are not deleted under a running SELECT.
    std::vector<std::string> absent;
    {
        Statement select(database_,
                         "SELECT uidl FROM header_cache WHERE server = ?1 AND account = ?2");
        select.BindBytes(1, server_);
        select.BindBytes(2, account_);
        while (select.NextRow()) {
            std::string uidl(select.Bytes(0));
            if (kept.count(uidl) == 0) absent.push_back(std::move(uidl));
        }
        if (select.Failed()) return false;
    }
    Statement remove(database_,
                     "DELETE FROM header_cache WHERE server = ?1 AND account = ?2 AND uidl = ?3");
    for (const std::string& uidl : absent) {
        remove.BindBytes(1, server_);
        remove.BindBytes(2, account_);
        remove.BindBytes(3, uidl);
        if (!remove.Run()) return false;
    }
    if (!transaction.Commit()) return false;
    removed = absent.size();
    return true;
}
