#include "pop3/released_mail.h"

#include <memory>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "store/quarantine.h"

namespace {

// The session's quarantine, opened on a fresh connection to the state database.
class SessionQuarantine {
  public:
    explicit SessionQuarantine(const Pop3Session& session) : slot_(session.client.slot()) {
        const std::string directory = QuarantineDirectory(CurrentSettings());
        if (directory.empty()) return;
        if (database_.Open(StateDirectory(CurrentSettings())) == OpenOutcome::kUnavailable) {
            Log(database_.Problem());
            return;
        }
        quarantine_ = std::make_unique<Quarantine>(database_, directory);
    }

    Quarantine* operator->() { return quarantine_.get(); }
    bool Usable() const { return quarantine_ != nullptr; }

    void Log(const std::string& problem) const {
        WriteLog(problem + "; released messages wait for the next login", slot_, kLogFailure);
    }

  private:
    int slot_;
    StateDatabase database_;
    std::unique_ptr<Quarantine> quarantine_;
};

}  // namespace

void OfferReleasedMessages(Pop3Session& session) {
    SessionQuarantine quarantine(session);
    if (!quarantine.Usable()) return;
    std::vector<QuarantineEntry> released;
    if (!quarantine->ListReleased(AccountKey(session.host, session.account), released)) {
        quarantine.Log(quarantine->Problem());
        return;
    }
    int64_t offered = 0;
    for (const QuarantineEntry& entry : released) {
        if (offered + entry.size > kMaxReleasedOctetsPerLogin && offered > 0) break;
        std::string text;
        if (!quarantine->ReadMessage(entry, text)) {
            quarantine.Log(quarantine->Problem());
            continue;
        }
        offered += entry.size;
        AppendReleasedMessage(session, entry.id, std::move(text));
    }
}

void ForgetDeletedReleases(const Pop3Session& session) {
    std::vector<std::string> deleted;
    for (const auto& [number, released] : session.released) {
        if (session.messages[static_cast<size_t>(number)].deleted) deleted.push_back(released.id);
    }
    if (deleted.empty()) return;
    SessionQuarantine quarantine(session);
    if (!quarantine.Usable()) return;
    for (const std::string& id : deleted) {
        if (quarantine->Remove(id) == QuarantineLookup::kFailed) {
            quarantine.Log(quarantine->Problem());
        }
    }
}
