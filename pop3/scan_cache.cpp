#include "pop3/scan_cache.h"

#include <unordered_set>
#include <utility>

#include "core/log.h"
#include "core/settings.h"

ScanCache::ScanCache(const Pop3Session& session) : slot_(session.upstream.slot()) {
    if (!Settings.ScanCache) return;
    OpenOutcome outcome = database_.Open(StateDirectory(Settings));
    if (outcome != OpenOutcome::kOpened) LogProblem();
    if (outcome == OpenOutcome::kUnavailable) return;
    // The port tells apart two servers on one host; the user's spelling of
    // the host is kept, so another spelling is only another cache.
    cache_ = std::make_unique<HeaderCache>(
        database_, session.host + ":" + std::to_string(Settings.Pop3PortOutgoing), session.account);
}

void ScanCache::LogProblem() const {
    WriteLog(database_.Problem() + "; the mailbox is scanned without the header cache", slot_,
             kLogFailure);
}

void ScanCache::Load(const Pop3Session& session) {
    if (cache_ == nullptr) return;
    // Only the uids the server gave: a STAT count the listings do not bear
    // out must not make a list of that many empty ones.
    std::vector<std::string> uids;
    for (int64_t n = 1; n <= session.totalCount; ++n) {
        const std::string& uid = session.messages[static_cast<size_t>(n)].uid;
        if (!uid.empty()) uids.push_back(uid);
    }
    if (!cache_->Load(uids, lookup_)) {
        LogProblem();
        cache_.reset();
    }
}

bool ScanCache::Has(const MailboxEntry& message) const {
    if (cache_ == nullptr || message.uid.empty()) return false;
    auto found = lookup_.found.find(message.uid);
    return found != lookup_.found.end() &&
           (message.size <= 0 || found->second.size == message.size);
}

bool ScanCache::Find(const MailboxEntry& message, RawHeader& header) const {
    if (!Has(message)) return false;
    const CachedHeader& cached = lookup_.found.at(message.uid);
    // The lines came from disk: they pass the same limits as received ones.
    for (const std::string& line : cached.lines) AddRawLine(header, line);
    header.size = cached.size;
    return true;
}

void ScanCache::Remember(const std::string& uid, const RawHeader& header) {
    if (cache_ == nullptr || uid.empty()) return;
    fetched_.push_back({uid, header.size, header.lines});
}

void ScanCache::Save(const Pop3Session& session) {
    if (cache_ == nullptr) return;
    // A message killed by this scan is gone once the client quits, so its
    // header is not kept.
    std::vector<std::string> present;
    std::unordered_set<std::string> killed;
    for (int64_t n = 1; n <= session.totalCount; ++n) {
        const MailboxEntry& entry = session.messages[static_cast<size_t>(n)];
        if (entry.uid.empty()) continue;
        if (entry.deleted) {
            killed.insert(entry.uid);
        } else {
            present.push_back(entry.uid);
        }
    }
    std::erase_if(fetched_,
                  [&](const CachedHeader& header) { return killed.count(header.uidl) != 0; });
    size_t stored = 0;
    size_t removed = 0;
    if (!cache_->Store(fetched_, stored) || !cache_->RemoveAbsent(present, removed)) LogProblem();
    fetched_.clear();
}
