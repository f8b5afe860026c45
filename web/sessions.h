// The page's sessions and the throttle on failed logins.
//
// A session is named by a random value in a cookie and carries its own
// random form token, which every form of the page sends back: a site that
// makes the browser post to the page cannot read a page and so cannot know
// the token. Sessions live in memory only; a restart signs everybody out.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// One person with a few tabs needs a handful; the bound keeps requests
// without a cookie from filling memory.
inline constexpr size_t kMaxSessions = 64;
// A session unused this long ends: a page left open over night asks for the
// password again in the morning.
inline constexpr int64_t kSessionIdleMs = 12LL * 60 * 60 * 1000;
// Random bytes in a session's name and in its token: guessing either is
// hopeless.
inline constexpr size_t kSessionSecretBytes = 32;

struct SessionView {
    std::string id;
    std::string token;
    bool signedIn = false;
};

// A message for the page shown next in the session (after a form's
// redirect), UTF-8.
struct Notice {
    bool failed = false;
    std::string text;
};

class SessionStore {
  public:
    // Returns the session named `id` and restarts its idle time; nullopt
    // when there is none (never made, ended, or idle longer than
    // kSessionIdleMs, and then it ends).
    std::optional<SessionView> Find(std::string_view id, int64_t nowMs);

    // Starts a session; nullopt when no random name could be made. When
    // kMaxSessions are live, the one unused longest ends first, a signed-out
    // one before any signed-in one.
    std::optional<SessionView> Start(bool signedIn, int64_t nowMs);

    // Ends the session; nothing when there is none.
    void End(std::string_view id);

    // Keeps one notice for the session's next page, replacing an earlier
    // one; nothing when there is no such session.
    void SetNotice(std::string_view id, Notice notice);

    // Returns the session's notice and forgets it; nullopt when there is none.
    std::optional<Notice> TakeNotice(std::string_view id);

  private:
    struct Entry {
        std::string token;
        bool signedIn = false;
        int64_t lastUsedMs = 0;
        std::optional<Notice> notice;
    };
    void MakeRoom();

    std::mutex lock_;
    std::map<std::string, Entry, std::less<>> sessions_;
};

// Failed logins allowed in a window before every login is refused until the
// window has passed: five tries are plenty for a typo, and a page elsewhere
// that guesses gets a few hundred a day. The throttle is one for the whole
// page, since every local client, hostile or not, has the same address.
inline constexpr int kFailedLoginsAllowed = 5;
inline constexpr int64_t kFailedLoginWindowMs = 60 * 1000;

class LoginThrottle {
  public:
    // Returns 0 when a login may be tried now, else the whole seconds until
    // one may.
    int64_t WaitSeconds(int64_t nowMs);

    void CountFailure(int64_t nowMs);

  private:
    void Forget(int64_t nowMs);

    std::mutex lock_;
    std::deque<int64_t> failures_;  // times of the failures in the window, oldest first
};
