#include "dns/answer_cache.h"

#include <algorithm>

#include "platform/clock.h"

namespace {
constexpr int64_t kMillisecondsPerSecond = 1000;
}

DnsAnswerCache::DnsAnswerCache(size_t entryLimit, Clock clock)
    : entryLimit_(std::max<size_t>(entryLimit, 1)), clock_(clock) {}

int64_t DnsAnswerCache::Now() const {
    return clock_ ? clock_() : MonotonicMilliseconds();
}

void DnsAnswerCache::Erase(std::unordered_map<std::string, Entry>::iterator entry) {
    expiries_.erase(entry->second.expiry);
    entries_.erase(entry);
}

bool DnsAnswerCache::Find(const std::string& name, CachedAnswer& answer) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = entries_.find(name);
    if (found == entries_.end()) return false;
    if (found->second.expiry->first <= Now()) {
        Erase(found);
        return false;
    }
    answer = found->second.answer;
    return true;
}

void DnsAnswerCache::Store(const std::string& name, const CachedAnswer& answer,
                           uint32_t ttlSeconds) {
    if (ttlSeconds == 0) return;
    std::lock_guard<std::mutex> hold(lock_);
    int64_t now = Now();
    int64_t expiry = now + std::min(ttlSeconds, kLongestCacheSeconds) * kMillisecondsPerSecond;
    if (auto old = entries_.find(name); old != entries_.end()) Erase(old);
    while (!expiries_.empty() &&
           (expiries_.begin()->first <= now || entries_.size() >= entryLimit_)) {
        Erase(entries_.find(expiries_.begin()->second));
    }
    auto position = expiries_.emplace(expiry, name);
    entries_.emplace(name, Entry{answer, position});
}

size_t DnsAnswerCache::size() const {
    std::lock_guard<std::mutex> hold(lock_);
    return entries_.size();
}

DnsAnswerCache& SharedDnsAnswerCache() {
    // Never destroyed: a session thread may still store into it at exit.
    static auto& cache = *new DnsAnswerCache();
    return cache;
}
