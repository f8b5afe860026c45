// Failed upstream logins per server and account, shared by every session:
// LoginFailureLimit and LoginFailureWindow. A mail program with a stale
// password retries every few minutes, and every retry it makes through the
// proxy is a failed login at the provider, which locks the account after a
// few; holding the account here after the limit keeps those retries from
// reaching the provider.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Failures counted for one server and account, and the hold they caused.
struct HeldAccount {
    std::string server;  // as the login named it, with ":port"
    std::string account;
    int64_t untilMs = 0;  // monotonic milliseconds (platform/clock.h) the hold ends at
    int failures = 0;     // failures within the window when the hold began
};

// Accounts with too many failed logins. Every member is safe to call from
// any thread. Times are readings of MonotonicMilliseconds.
class LoginFailureLedger {
  public:
    // Returns the hold of the account at that server when one lasts at
    // `nowMs`, with its `untilMs`; an entry with untilMs 0 otherwise.
    HeldAccount HoldOf(std::string_view server, std::string_view account, int64_t nowMs);

    // Counts a failed login at `nowMs`. Failures older than `windowMs` no
    // longer count. When this failure brings the count to `limit`, the
    // account is held from now until nowMs + windowMs and true is returned
    // (once per hold: the caller logs it). A limit of 0 or below counts
    // nothing and returns false.
    bool RecordFailure(std::string_view server, std::string_view account, int64_t nowMs, int limit,
                       int64_t windowMs);

    // Forgets the failures and any hold of the account: it logged in.
    void RecordSuccess(std::string_view server, std::string_view account);

    // Returns the accounts held at `nowMs`, ordered by server and account.
    std::vector<HeldAccount> Held(int64_t nowMs);

  private:
    struct Entry {
        std::deque<int64_t> failures;  // times of failures, oldest first
        int64_t heldUntilMs = 0;       // 0 while not held
        int heldFailures = 0;
    };

    // Drops failures and holds that have run out, and entries left empty.
    void Prune(int64_t nowMs, int64_t windowMs);

    std::mutex lock_;
    std::map<std::pair<std::string, std::string>, Entry> entries_;
};

// The ledger of the running proxy.
LoginFailureLedger& LoginFailures();

// Server text the ledger and its messages use: the host in lower case (names
// do not differ by case) and the port, "pop.example.com:110".
std::string LedgerServer(std::string_view host, int port);

// For a session, with the settings and the clocks: returns "too many failed
// logins for <account>, retry after hh:mm:ss" (local time) while the account
// is held at host:port, for the session to send behind its protocol's
// refusal code; "" when it is not held and the login may go ahead.
std::string HeldLoginText(std::string_view host, int port, std::string_view account);

// For a session, after the server answered a login: a refusal (`accepted`
// false) counts against LoginFailureLimit within LoginFailureWindow; when it
// starts a hold, "Logins for <account> at host:port held until hh:mm:ss after
// n failures" is logged at level 1 under `slot` (once per hold). An accepted
// login forgets the account's failures.
void CountUpstreamLogin(std::string_view host, int port, std::string_view account, bool accepted,
                        int slot);

// For the console's session list: one line per account held now, ordered by
// server and account: "held <account> at host:port until hh:mm:ss after n
// failed logins".
std::vector<std::string> HeldAccountLines();
