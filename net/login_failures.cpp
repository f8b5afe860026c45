#include "net/login_failures.h"

#include <algorithm>
#include <cstdio>

#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "platform/clock.h"

namespace {

// Accounts tracked at most. Each failed login of a new account adds one;
// a client that makes up account names could otherwise grow the process
// without bound. Beyond this, entries whose failures have run out go first,
// then new failures are not counted until some do.
constexpr size_t kMaxTrackedAccounts = 10000;

constexpr int64_t kMillisecondsPerSecond = 1000;

// The local clock time a hold ends at, rounded up to the second so that a
// retry at that time finds the hold over.
std::string ClockTextAt(int64_t untilMs) {
    const int64_t leftMs = std::max<int64_t>(untilMs - MonotonicMilliseconds(), 0);
    const LocalTime at =
        LocalTimeAt(UnixSeconds() + (leftMs + kMillisecondsPerSecond - 1) / kMillisecondsPerSecond);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", at.hour, at.minute, at.second);
    return text;
}

}  // namespace

HeldAccount LoginFailureLedger::HoldOf(std::string_view server, std::string_view account,
                                       int64_t nowMs) {
    std::lock_guard guard(lock_);
    HeldAccount hold{std::string(server), std::string(account), 0, 0};
    auto found = entries_.find({hold.server, hold.account});
    if (found == entries_.end() || found->second.heldUntilMs <= nowMs) return hold;
    hold.untilMs = found->second.heldUntilMs;
    hold.failures = found->second.heldFailures;
    return hold;
}

bool LoginFailureLedger::RecordFailure(std::string_view server, std::string_view account,
                                       int64_t nowMs, int limit, int64_t windowMs) {
    if (limit <= 0) return false;
    std::lock_guard guard(lock_);
    const std::pair<std::string, std::string> key{std::string(server), std::string(account)};
    if (entries_.size() >= kMaxTrackedAccounts && entries_.count(key) == 0) {
        Prune(nowMs, windowMs);
        if (entries_.size() >= kMaxTrackedAccounts) return false;
    }
    Entry& entry = entries_[key];
    while (!entry.failures.empty() && entry.failures.front() <= nowMs - windowMs) {
        entry.failures.pop_front();
    }
    entry.failures.push_back(nowMs);
    if (entry.heldUntilMs > nowMs || entry.failures.size() < static_cast<size_t>(limit)) {
        return false;
    }
    entry.heldUntilMs = nowMs + windowMs;
    entry.heldFailures = static_cast<int>(entry.failures.size());
    // The hold starts the count afresh: after it, the next limit's worth of
    // failures is needed before the account is held again.
    entry.failures.clear();
    return true;
}

void LoginFailureLedger::RecordSuccess(std::string_view server, std::string_view account) {
    std::lock_guard guard(lock_);
    entries_.erase({std::string(server), std::string(account)});
}

std::vector<HeldAccount> LoginFailureLedger::Held(int64_t nowMs) {
    std::lock_guard guard(lock_);
    std::vector<HeldAccount> held;
    for (const auto& [key, entry] : entries_) {
        if (entry.heldUntilMs > nowMs) {
            held.push_back({key.first, key.second, entry.heldUntilMs, entry.heldFailures});
        }
    }
    return held;
}

void LoginFailureLedger::Prune(int64_t nowMs, int64_t windowMs) {
    std::erase_if(entries_, [&](const auto& item) {
        const Entry& entry = item.second;
        const bool failuresOver =
            entry.failures.empty() || entry.failures.back() <= nowMs - windowMs;
        return entry.heldUntilMs <= nowMs && failuresOver;
    });
}

LoginFailureLedger& LoginFailures() {
    // Never destroyed: sessions may still log in while the process ends.
    static LoginFailureLedger& ledger = *new LoginFailureLedger();
    return ledger;
}

std::string LedgerServer(std::string_view host, int port) {
    return LowerCase(host) + ":" + std::to_string(port);
}

std::string HeldLoginText(std::string_view host, int port, std::string_view account) {
    const HeldAccount hold =
        LoginFailures().HoldOf(LedgerServer(host, port), account, MonotonicMilliseconds());
    if (hold.untilMs == 0) return {};
    return "too many failed logins for " + std::string(account) + ", retry after " +
           ClockTextAt(hold.untilMs);
}

void CountUpstreamLogin(std::string_view host, int port, std::string_view account, bool accepted,
                        int slot) {
    const std::string server = LedgerServer(host, port);
    if (accepted) {
        LoginFailures().RecordSuccess(server, account);
        return;
    }
    const int64_t nowMs = MonotonicMilliseconds();
    const int64_t windowMs = int64_t{Settings.LoginFailureWindow} * kMillisecondsPerSecond;
    if (!LoginFailures().RecordFailure(server, account, nowMs, Settings.LoginFailureLimit,
                                       windowMs)) {
        return;
    }
    WriteLog("Logins for " + std::string(account) + " at " + server + " held until " +
                 ClockTextAt(nowMs + windowMs) + " after " +
                 std::to_string(Settings.LoginFailureLimit) + " failures",
             slot, kLogError);
}

std::vector<std::string> HeldAccountLines() {
    std::vector<std::string> lines;
    for (const HeldAccount& hold : LoginFailures().Held(MonotonicMilliseconds())) {
        lines.push_back("held " + hold.account + " at " + hold.server + " until " +
                        ClockTextAt(hold.untilMs) + " after " + std::to_string(hold.failures) +
                        " failed logins");
    }
    return lines;
}
