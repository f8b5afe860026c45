#include "app/command_line.h"

#include <array>
#include <vector>

namespace {

struct CommandWord {
    std::string_view word;
    Command command;
};

constexpr std::array<CommandWord, 8> kCommandWords{{
    {"check", Command::kCheck},
    {"oauth2", Command::kOAuth2},
    {"test", Command::kTest},
    {"--help", Command::kHelp},
    {"-h", Command::kHelp},
    {"--version", Command::kVersion},
    // The quarantine of killed mail.
    {"quarantine", Command::kQuarantine},
    {"release", Command::kRelease},
}};

// Which command reads an option.
enum class OptionOwner {
    kEvery,
    kTest,
    kOAuth2Add,
};

// An option that takes a value, and where the value goes.
struct ValueOption {
    std::string_view name;
    std::string CommandLine::*value;
    OptionOwner owner;
};

constexpr std::array<ValueOption, 11> kValueOptions{{
    {"-d", &CommandLine::directory, OptionOwner::kEvery},
    {"--envelope", &CommandLine::envelope, OptionOwner::kTest},
    {"--group", &CommandLine::group, OptionOwner::kTest},
    // oauth2 add
    {"--provider", &CommandLine::provider, OptionOwner::kOAuth2Add},
    {"--client-id", &CommandLine::clientId, OptionOwner::kOAuth2Add},
    {"--client-secret", &CommandLine::clientSecret, OptionOwner::kOAuth2Add},
    {"--device-url", &CommandLine::deviceUrl, OptionOwner::kOAuth2Add},
    {"--token-url", &CommandLine::tokenUrl, OptionOwner::kOAuth2Add},
    {"--scope", &CommandLine::scope, OptionOwner::kOAuth2Add},
    {"--auth-url", &CommandLine::authUrl, OptionOwner::kOAuth2Add},
    {"--grant", &CommandLine::grant, OptionOwner::kOAuth2Add},
}};

// The actions of the oauth2 command and how many operands follow each.
struct OAuthActionWord {
    std::string_view word;
    OAuthAction action;
    bool takesAccount;
};

constexpr std::array<OAuthActionWord, 3> kOAuthActions{{
    {"add", OAuthAction::kAdd, true},
    {"list", OAuthAction::kList, false},
    {"remove", OAuthAction::kRemove, true},
}};

const ValueOption* FindValueOption(std::string_view word) {
    for (const ValueOption& option : kValueOptions) {
        if (option.name == word) return &option;
    }
    return nullptr;
}

const CommandWord* FindCommand(std::string_view word) {
    for (const CommandWord& entry : kCommandWords) {
        if (entry.word == word) return &entry;
    }
    return nullptr;
}

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// Reads the operands of the oauth2 command into `line`. Returns false with
// what is wrong in `problem`.
bool ParseOAuthOperands(const std::vector<std::string_view>& operands, CommandLine& line,
                        std::string& problem) {
    if (operands.empty()) {
        problem = "oauth2 needs add, list or remove";
        return false;
    }
    const OAuthActionWord* found = nullptr;
    for (const OAuthActionWord& entry : kOAuthActions) {
        if (entry.word == operands[0]) found = &entry;
    }
    if (found == nullptr) {
        problem = "unknown oauth2 action " + Quoted(operands[0]) + " (add, list or remove)";
        return false;
    }
    line.oauthAction = found->action;
    const std::string name = "oauth2 " + std::string(found->word);
    const size_t wanted = found->takesAccount ? 2 : 1;
    if (found->takesAccount && operands.size() == 1) {
        problem = name + " needs HOST#ACCOUNT";
        return false;
    }
    if (operands.size() > wanted) {
        problem = "unexpected argument " + Quoted(operands[wanted]);
        return false;
    }
    if (found->takesAccount) line.account = std::string(operands[1]);
    if (line.oauthAction == OAuthAction::kAdd && line.provider.empty()) {
        problem = "oauth2 add needs --provider microsoft, google or custom";
        return false;
    }
    return true;
}

// Returns the name of the command that reads options of `owner`.
std::string OwnerName(OptionOwner owner) {
    return owner == OptionOwner::kTest ? "the test command" : "the oauth2 add command";
}

}  // namespace

bool ParseCommandLine(std::span<const std::string_view> arguments, CommandLine& line,
                      std::string& problem) {
    line = CommandLine{};
    bool commandGiven = false;
    std::vector<std::string_view> operands;
    std::vector<const ValueOption*> given;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string_view word = arguments[i];
        if (const ValueOption* option = FindValueOption(word)) {
            if (i + 1 == arguments.size()) {
                problem = "option " + std::string(word) + " needs a value";
                return false;
            }
            for (const ValueOption* earlier : given) {
                if (earlier == option) {
                    problem = "option " + std::string(word) + " given twice";
                    return false;
                }
            }
            given.push_back(option);
            line.*option->value = std::string(arguments[++i]);
            if (arguments[i].empty()) {
                problem = "option " + std::string(word) + " needs a value";
                return false;
            }
            continue;
        }
        if (!commandGiven && operands.empty()) {
            if (const CommandWord* command = FindCommand(word)) {
                line.command = command->command;
                commandGiven = true;
                continue;
            }
        }
        if (word.size() > 1 && word[0] == '-') {
            problem = "unknown option " + Quoted(word);
            return false;
        }
        if (!commandGiven) {
            problem = "unknown command " + Quoted(word);
            return false;
        }
        operands.push_back(word);
    }
    if (line.command == Command::kOAuth2 && !ParseOAuthOperands(operands, line, problem)) {
        return false;
    }
    for (const ValueOption* option : given) {
        const bool belongs =
            option->owner == OptionOwner::kEvery ||
            (option->owner == OptionOwner::kTest && line.command == Command::kTest) ||
            (option->owner == OptionOwner::kOAuth2Add && line.oauthAction == OAuthAction::kAdd);
        if (!belongs) {
            problem =
                "option " + std::string(option->name) + " belongs to " + OwnerName(option->owner);
            return false;
        }
    }
    if (!line.group.empty() && !line.envelope.empty()) {
        problem = "--envelope and --group exclude each other";
        return false;
    }
    if (line.command == Command::kTest) {
        if (operands.size() != 1) {
            problem = operands.empty()
                          ? "test needs the FILE of a message"
                          : "test takes one FILE, not " + std::to_string(operands.size());
            return false;
        }
        line.messageFile = std::string(operands[0]);
    } else if (line.command == Command::kQuarantine) {
        if (!operands.empty() && (operands[0] != "show" || operands.size() != 2)) {
            problem = operands[0] == "show" ? "quarantine show needs one ID"
                                            : "unexpected argument " + Quoted(operands[0]);
            return false;
        }
        if (!operands.empty()) line.quarantineIds.emplace_back(operands[1]);
    } else if (line.command == Command::kRelease) {
        if (operands.empty()) {
            problem = "release needs the ID of a kept message";
            return false;
        }
        line.quarantineIds.assign(operands.begin(), operands.end());
    } else if (line.command != Command::kOAuth2 && !operands.empty()) {
        problem = "unexpected argument " + Quoted(operands[0]);
        return false;
    }
    if (!line.directory.empty() && line.directory.back() != '/') line.directory += '/';
    return true;
}

std::string UsageText() {
    return "Usage: trawlbox [-d DIR] [COMMAND]\n"
           "\n"
           "Without a command, runs the service.\n"
           "\n"
           "Commands:\n"
           "  check             read TRAWLBOX.CFG, the kill file, ACCESS.IP and TRAWLBOX.RBL\n"
           "                    and print every problem as FILE:LINE: what is wrong;\n"
           "                    exit 1 when there is an error\n"
           "  test FILE [--envelope ADDRESS | --group NAME]\n"
           "                    judge the message in FILE as a session would and print\n"
           "                    every rule it hits; with --group, FILE holds one overview\n"
           "                    line of that newsgroup\n"
           "  oauth2 add HOST#ACCOUNT --provider microsoft|google|custom [--client-id ID]\n"
           "         [--client-secret SECRET] [--grant device|code] [--device-url URL]\n"
           "         [--auth-url URL] [--token-url URL] [--scope SCOPES]\n"
           "                    get OAuth 2.0 tokens for the mail account, approved in a\n"
           "                    browser: by the device grant (a code to enter), or by the\n"
           "                    code grant (open the printed URL; the browser comes back\n"
           "                    to a port on 127.0.0.1; google's usual one), and store\n"
           "                    them sealed with a local password: read from standard\n"
           "                    input, or asked twice on a terminal; the mail program then\n"
           "                    logs in as oauth2:HOST#ACCOUNT with that password\n"
           "  oauth2 list       list the OAuth 2.0 accounts and their tokens' expiry\n"
           "  oauth2 remove HOST#ACCOUNT\n"
           "                    forget the account's tokens\n"
           "  quarantine        list the kept copies of killed mail, one a line: id,\n"
           "                    date, account, sender, subject, rule (tab-separated)\n"
           "  quarantine show ID\n"
           "                    print the kept message ID as it is stored\n"
           "  release ID...     hand the kept messages back: each appears in its\n"
           "                    account's mailbox at the next login\n"
           "  --help            print this text\n"
           "  --version         print the version and the libraries it runs on\n"
           "\n"
           "Options:\n"
           "  -d DIR            the directory of TRAWLBOX.CFG; relative paths in its keys\n"
           "                    are read against it (default: the program's directory)\n"
           "\n"
           "Exit status: 0 success, 1 failure, 2 wrong command line.\n";
}
