#include "web/sessions.h"

#include "web/secrets.h"

std::optional<SessionView> SessionStore::Find(std::string_view id, int64_t nowMs) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = sessions_.find(id);
    if (found == sessions_.end()) return std::nullopt;
    if (nowMs - found->second.lastUsedMs > kSessionIdleMs) {
        sessions_.erase(found);
        return std::nullopt;
    }
    found->second.lastUsedMs = nowMs;
    return SessionView{found->first, found->second.token, found->second.signedIn};
}

std::optional<SessionView> SessionStore::Start(bool signedIn, int64_t nowMs) {
    std::string id = RandomHex(kSessionSecretBytes);
    std::string token = RandomHex(kSessionSecretBytes);
    if (id.empty() || token.empty()) return std::nullopt;
    std::lock_guard<std::mutex> guard(lock_);
    if (sessions_.size() >= kMaxSessions) MakeRoom();
    sessions_[id] = Entry{token, signedIn, nowMs, std::nullopt};
    return SessionView{id, token, signedIn};
}

void SessionStore::MakeRoom() {
    auto oldest = sessions_.end();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if (oldest == sessions_.end() || (!it->second.signedIn && oldest->second.signedIn) ||
            (it->second.signedIn == oldest->second.signedIn &&
             it->second.lastUsedMs < oldest->second.lastUsedMs)) {
            oldest = it;
        }
    }
    if (oldest != sessions_.end()) sessions_.erase(oldest);
}

void SessionStore::End(std::string_view id) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = sessions_.find(id);
    if (found != sessions_.end()) sessions_.erase(found);
}

void SessionStore::SetNotice(std::string_view id, Notice notice) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = sessions_.find(id);
    if (found != sessions_.end()) found->second.notice = std::move(notice);
}

std::optional<Notice> SessionStore::TakeNotice(std::string_view id) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = sessions_.find(id);
    if (found == sessions_.end()) return std::nullopt;
    std::optional<Notice> notice = std::move(found->second.notice);
    found->second.notice.reset();
    return notice;
}

void LoginThrottle::Forget(int64_t nowMs) {
    while (!failures_.empty() && nowMs - failures_.front() >= kFailedLoginWindowMs) {
        failures_.pop_front();
    }
}

int64_t LoginThrottle::WaitSeconds(int64_t nowMs) {
    std::lock_guard<std::mutex> guard(lock_);
    Forget(nowMs);
    if (failures_.size() < static_cast<size_t>(kFailedLoginsAllowed)) return 0;
    int64_t waitMs = failures_.front() + kFailedLoginWindowMs - nowMs;
    return (waitMs + 999) / 1000;
}

void LoginThrottle::CountFailure(int64_t nowMs) {
    std::lock_guard<std::mutex> guard(lock_);
    Forget(nowMs);
    failures_.push_back(nowMs);
}
