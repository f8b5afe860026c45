#include "app/command_line.h"

#include <array>
#include <vector>

namespace {

struct CommandWord {
    std::string_view word;
    Command command;
};

constexpr std::array<CommandWord, 7> kCommandWords{{
    {"check", Command::kCheck},
    {"test", Command::kTest},
    {"--help", Command::kHelp},
    {"-h", Command::kHelp},
    {"--version", Command::kVersion},
    // The quarantine of killed mail.
    {"quarantine", Command::kQuarantine},
    {"release", Command::kRelease},
}};

// An option that takes a value, and where the value goes.
struct ValueOption {
    std::string_view name;
    std::string CommandLine::*value;
    bool testOnly;  // only the test command reads it
};

constexpr std::array<ValueOption, 3> kValueOptions{{
    {"-d", &CommandLine::directory, false},
    {"--envelope", &CommandLine::envelope, true},
    {"--group", &CommandLine::group, true},
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
    for (const ValueOption* option : given) {
        if (option->testOnly && line.command != Command::kTest) {
            problem = "option " + std::string(option->name) + " belongs to the test command";
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
    } else if (!operands.empty()) {
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
