#include "app/oauth_commands.h"

#include <array>
#include <cstdio>
#include <functional>
#include <vector>

#include "core/settings.h"
#include "net/login_target.h"
#include "oauth/grant.h"
#include "oauth/http.h"
#include "oauth/provider.h"
#include "oauth/vault.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/service_manager.h"

namespace {

// Where the commands find the vault and what the provider's TLS trusts,
// as the service would read them from the same configuration.
struct VaultPlace {
    std::string directory;
    HttpOptions http;
};

VaultPlace PlaceOf(const CommandLine& line) {
    const SettingsFile settings = ReadSettingsFile(line.directory);
    VaultPlace place;
    place.directory = settings.record.DataDir.empty() ? line.directory : settings.record.DataDir;
    if (place.directory.empty()) place.directory = ".";
    place.http.caFile = settings.record.TlsCaFile;
    return place;
}

std::string TimeText(int64_t unixSeconds) {
    const LocalTime t = LocalTimeAt(unixSeconds);
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute);
    return text.data();
}

// Returns true when `account` names an account as the sessions look it up:
// HOST#ACCOUNT with neither a login method nor a port in front of the "#"
// (a login may carry both; the vault is keyed without them). Otherwise
// false with the reason in `problem`.
bool AccountAsSessionsName(const std::string& account, std::string& problem) {
    if (!TokenVault::AccountNameUsable(account)) {
        problem = "\"" + account +
                  "\" is no account name: write HOST#ACCOUNT, the server and the account as "
                  "the mail program's login names them";
        return false;
    }
    const LoginTarget target = ParseLoginTarget(account.substr(0, account.find('#')));
    if (target.hasMethod || target.port != 0) {
        problem = "write the account as HOST#ACCOUNT, without a login method or a port (" +
                  target.host + account.substr(account.find('#')) +
                  "); the mail program's login may name them";
        return false;
    }
    return true;
}

int Fail(const OAuthCommandIo& io, const std::string& problem) {
    io.complain("trawlbox: " + problem);
    return kExitFailure;
}

int CannotStore(const OAuthCommandIo& io, const TokenVault& vault, const std::string& problem) {
    return Fail(io, "the tokens could not be stored in " + vault.path() + ": " + problem);
}

std::function<void(const DevicePrompt&)> ShowDevicePrompt(const CommandLine& line,
                                                          const OAuthCommandIo& io) {
    return [&](const DevicePrompt& prompt) {
        io.print("To let Trawlbox read " + line.account + ", open");
        io.print("  " + prompt.verificationUri);
        io.print("and enter the code " + prompt.userCode);
        if (!prompt.verificationUriComplete.empty()) {
            io.print("(or open " + prompt.verificationUriComplete + ", which carries the code)");
        }
        io.print("Waiting for the approval; the code is good until " + TimeText(prompt.expiresAt) +
                 ".");
    };
}

// The URL goes on a line of its own, so that a terminal makes it one link.
std::function<void(const AuthorizationPrompt&)> ShowAuthorization(const CommandLine& line,
                                                                  const OAuthCommandIo& io) {
    return [&](const AuthorizationPrompt& prompt) {
        const std::string port = std::to_string(prompt.port);
        io.print("To let Trawlbox read " + line.account + ", open this URL in a browser:");
        io.print("  " + prompt.url);
        io.print("After the approval the browser is sent back to http://127.0.0.1:" + port +
                 "/, where Trawlbox waits for " + std::to_string(kAuthorizationWaitSeconds / 60) +
                 " minutes.");
        io.print("With the browser on another machine, forward the port first: ssh -L " + port +
                 ":127.0.0.1:" + port + " THIS-HOST");
    };
}

int Add(const CommandLine& line, const OAuthCommandIo& io) {
    std::string problem;
    if (!AccountAsSessionsName(line.account, problem)) return Fail(io, problem);
    ProviderConfig provider;
    if (!ResolveProvider({line.provider, line.clientId, line.clientSecret, line.deviceUrl,
                          line.tokenUrl, line.scope, line.authUrl, line.grant},
                         provider, problem)) {
        return Fail(io, problem);
    }
    // The password before the grant: a typing mistake must not cost the
    // user a second approval in the browser.
    std::string password;
    if (!io.readPassword(line.account, password, problem)) return Fail(io, problem);
    if (password.empty()) return Fail(io, "the local password is empty; nothing was stored");

    const VaultPlace place = PlaceOf(line);
    TokenVault vault(place.directory);
    {
        // A data directory that cannot be written fails now, not after the
        // user approved in the browser.
        AccountLock probe;
        if (vault.LockAccount(line.account, probe, problem) != VaultStatus::kOk) {
            return CannotStore(io, vault, problem);
        }
    }
    TokenSet tokens;
    const GrantResult granted = provider.grant == GrantKind::kCode
                                    ? RunCodeGrant(provider, place.http, *io.clock,
                                                   ShowAuthorization(line, io), tokens, problem)
                                    : RunDeviceGrant(provider, place.http, *io.clock,
                                                     ShowDevicePrompt(line, io), tokens, problem);
    if (granted != GrantResult::kGranted) return Fail(io, problem + "; nothing was stored");

    AccountLock lock;
    VaultStatus status = vault.LockAccount(line.account, lock, problem);
    // Adding an account again is the cure for a revoked grant, so it
    // replaces; the user is told, since a typing slip could hit another
    // account's entry.
    bool replaced = false;
    std::vector<VaultListing> listing;
    if (status == VaultStatus::kOk && vault.List(listing, problem) == VaultStatus::kOk) {
        for (const VaultListing& entry : listing) replaced |= entry.account == line.account;
    }
    if (status == VaultStatus::kOk) {
        status = vault.Store(lock, password, {tokens, provider}, problem);
    }
    if (status != VaultStatus::kOk) {
        return CannotStore(io, vault, problem);
    }
    io.print("Stored the tokens of " + line.account + " in " + vault.path() +
             "; the access token runs out at " + TimeText(tokens.expiresAt) +
             " and is renewed at a login.");
    if (replaced) {
        io.print("They replace the tokens and local password stored for it before.");
    }
    io.print("In the mail program, log in as oauth2:" + line.account + " with the local password.");
    return kExitOk;
}

int List(const CommandLine& line, const OAuthCommandIo& io) {
    TokenVault vault(PlaceOf(line).directory);
    std::vector<VaultListing> listing;
    std::string problem;
    if (vault.List(listing, problem) != VaultStatus::kOk) return Fail(io, problem);
    if (listing.empty()) {
        io.print("No OAuth 2.0 accounts in " + vault.path());
        return kExitOk;
    }
    const int64_t now = io.clock->Now();
    for (const VaultListing& entry : listing) {
        io.print(entry.account + "  access token " +
                 (entry.expiresAt > now ? "good until " : "ran out at ") +
                 TimeText(entry.expiresAt));
    }
    return kExitOk;
}

int Remove(const CommandLine& line, const OAuthCommandIo& io) {
    TokenVault vault(PlaceOf(line).directory);
    AccountLock lock;
    std::string problem;
    VaultStatus status = vault.LockAccount(line.account, lock, problem);
    if (status == VaultStatus::kOk) status = vault.Remove(lock, problem);
    if (status == VaultStatus::kNoEntry) {
        return Fail(io, "no OAuth 2.0 account " + line.account + " in " + vault.path());
    }
    if (status != VaultStatus::kOk) return Fail(io, problem);
    io.print("Removed " + line.account +
             ". The provider still grants access until you revoke it in the account's "
             "settings.");
    return kExitOk;
}

// Writes `line` and its LF to `stream` at once: the prompt of a device
// grant must be seen while the command waits.
void WriteLine(std::FILE* stream, std::string_view line) {
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

bool ReadOnce(std::string_view prompt, std::string& password, std::string& failure) {
    switch (ReadSecretLine(prompt, kMaxLocalPasswordBytes, password)) {
        case SecretRead::kRead:
            return true;
        case SecretRead::kEnd:
            failure = "no local password: standard input ended";
            return false;
        case SecretRead::kTooLong:
            failure = "the local password is longer than " +
                      std::to_string(kMaxLocalPasswordBytes) + " bytes";
            return false;
    }
    return false;
}

bool ReadPassword(const std::string& account, std::string& password, std::string& failure) {
    const std::string prompt =
        "Local password for " + account + " (the mail program will send it): ";
    if (!ReadOnce(prompt, password, failure)) return false;
    if (!StandardInputIsTerminal()) return true;
    std::string again;
    if (!ReadOnce("The same again: ", again, failure)) return false;
    if (again != password) {
        failure = "the two passwords differ; nothing was stored";
        return false;
    }
    return true;
}

struct ActionHandler {
    OAuthAction action;
    int (*run)(const CommandLine&, const OAuthCommandIo&);
};

constexpr std::array<ActionHandler, 3> kActionHandlers{{
    {OAuthAction::kAdd, Add},
    {OAuthAction::kList, List},
    {OAuthAction::kRemove, Remove},
}};

}  // namespace

OAuthCommandIo StandardOAuthCommandIo() {
    OAuthCommandIo io;
    io.print = [](std::string_view line) { WriteLine(stdout, line); };
    io.complain = [](std::string_view line) { WriteLine(stderr, line); };
    io.readPassword = ReadPassword;
    io.clock = &SystemClock();
    return io;
}

int RunOAuthCommand(const CommandLine& line, const OAuthCommandIo& io) {
    for (const ActionHandler& handler : kActionHandlers) {
        if (handler.action == line.oauthAction) return handler.run(line, io);
    }
    return Fail(io, "oauth2 needs add, list or remove");
}
