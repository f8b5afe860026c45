// The executable's command line: which command runs, with which directory
// and arguments. Reading it changes nothing; main runs what it names.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

// Exit statuses of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // a check found errors, start-up failed, ...
inline constexpr int kExitUsage = 2;    // the command line itself is wrong

enum class Command {
    kRun,      // no command: the service
    kCheck,    // "check"
    kTest,     // "test FILE [--envelope ADDRESS | --group NAME]"
    kHelp,     // "--help" (also "-h")
    kVersion,  // "--version"
    kOAuth2,   // "oauth2 add|list|remove ..."
    // The quarantine of killed mail.
    kQuarantine,  // "quarantine" or "quarantine show ID"
    kRelease,     // "release ID..."
};

// What an oauth2 command does.
enum class OAuthAction {
    kNone,    // not an oauth2 command
    kAdd,     // "add HOST#ACCOUNT --provider NAME [...]"
    kList,    // "list"
    kRemove,  // "remove HOST#ACCOUNT"
};

struct CommandLine {
    Command command = Command::kRun;
    // Given with -d: the configuration directory, ending in "/"; "" when
    // not given (the executable's directory then).
    std::string directory;
    std::string messageFile;  // test: the message or overview line
    std::string envelope;     // test: --envelope, "" when not given
    std::string group;        // test: --group (the overview form), "" when not given

    // oauth2: the action, its account and the options of add ("" where not given).
    OAuthAction oauthAction = OAuthAction::kNone;
    std::string account;  // add, remove: HOST#ACCOUNT as written
    std::string provider;
    std::string clientId;
    std::string clientSecret;
    std::string deviceUrl;
    std::string tokenUrl;
    std::string scope;
    std::string authUrl;  // --auth-url
    std::string grant;    // --grant device|code
    // quarantine: the id after "show" (empty for the list); release: the ids.
    std::vector<std::string> quarantineIds;
};

// Reads the arguments after the program name. Returns true and fills
// `line`; false with what is wrong in `problem` (an unknown command or
// option, a missing or surplus argument, an option given twice, --envelope
// with --group, an option of another command, oauth2 without its action or
// add without --provider, "quarantine" with other than nothing or "show ID",
// "release" without an id). -d may stand before or after the command.
bool ParseCommandLine(std::span<const std::string_view> arguments, CommandLine& line,
                      std::string& problem);

// Returns the usage text, lines ended by LF.
std::string UsageText();
