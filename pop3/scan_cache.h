// The mail scan's use of the header cache (store/header_cache): which
// messages of a mailbox can be judged from headers read at an earlier login,
// and, after a complete scan, what is remembered and forgotten. The cache
// holds headers, never verdicts: every message is judged again at every
// login. Nothing on disk is trusted: whatever fails is logged (level 2) and
// the scan carries on as if there were no cache.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pop3/mail_judge.h"
#include "pop3/mailbox_view.h"
#include "store/header_cache.h"
#include "store/state_database.h"

class ScanCache {
  public:
    // Opens the state database in DataDir (the program directory when it is
    // empty) for the session's server, port and account, unless ScanCache is
    // off; logs why when it cannot be used. Nothing is looked up yet.
    explicit ScanCache(const Pop3Session& session);

    // Looks up the uids of the whole mailbox (the session's entries
    // 1..totalCount). A message with an empty uid or one listed twice is
    // never found.
    void Load(const Pop3Session& session);

    // Fills `header` with the cached header of the message, its lines taken
    // as a fetched header's are (within the same limits). Returns false,
    // leaving it alone, when its uid is not cached, the cache is not used,
    // or the size cached differs from the listed one (a server that gave a
    // uid to another message; the message is fetched then).
    bool Find(const MailboxEntry& message, RawHeader& header) const;

    // True when Find would find the message.
    bool Has(const MailboxEntry& message) const;

    // Notes a fetched header, to be stored by Save.
    void Remember(const std::string& uid, const RawHeader& header);

    // After a scan that ran to its end: stores the headers noted of messages
    // the scan did not delete, and forgets every cached uid of this mailbox
    // that is not among its messages left on the server.
    void Save(const Pop3Session& session);

  private:
    void LogProblem() const;

    int slot_;
    StateDatabase database_;
    std::unique_ptr<HeaderCache> cache_;  // null while the cache is not used
    CacheLookup lookup_;
    std::vector<CachedHeader> fetched_;
};
