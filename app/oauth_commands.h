// `trawlbox oauth2 add|list|remove`: the OAuth 2.0 accounts of the token
// vault in the data directory (DataDir=, else the configuration directory),
// the same vault the sessions unseal at an oauth2 login.
#pragma once

#include <functional>
#include <string>

#include "app/check.h"
#include "app/command_line.h"
#include "oauth/wall_clock.h"

// A local password longer than this is none a person types or a mail
// program sends in one PASS line.
constexpr size_t kMaxLocalPasswordBytes = 512;

// What the commands read from and write to; a seam, so that tests run add
// with a provider on loopback, their own password and a clock that does not
// wait.
struct OAuthCommandIo {
    LineWriter print;     // a line for the user (standard output)
    LineWriter complain;  // an error line (standard error)
    // Asks for the local password of `account`. Returns true with it in
    // `password` (possibly empty: the command refuses that); false with the
    // reason in `failure` (input ended, the two entries differ, too long).
    std::function<bool(const std::string& account, std::string& password, std::string& failure)>
        readPassword;
    OAuthClock* clock = nullptr;
};

// The commands' real surroundings: standard output and error, the system
// clock, and the password read from standard input (at most
// kMaxLocalPasswordBytes): one line when it is no terminal; asked twice
// without echo when it is, the prompts on standard error.
OAuthCommandIo StandardOAuthCommandIo();

// Runs the oauth2 action of `line` (line.directory ending in "/", or "").
// add: resolves the provider, asks for the local password, runs the device
// grant (printing where to approve) and stores the tokens sealed with the
// password. list: one line per account with its access token's expiry.
// remove: forgets the account. Returns kExitOk; kExitFailure after an error
// line through io.complain (nothing is stored or removed then). No token,
// secret or password is ever printed.
int RunOAuthCommand(const CommandLine& line, const OAuthCommandIo& io);
