#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/check.h"
#include "app/command_line.h"
#include "app/message_test.h"
#include "app/oauth_commands.h"
#include "app/quarantine_tool.h"
#include "app/service.h"
#include "codec/code_page.h"
#include "core/globals.h"
#include "core/log.h"
#include "filter/match.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/tls.h"

namespace {

void Print(std::string_view line) {
    std::string text = OemToUtf8(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
}

int Help(const CommandLine&) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
}

int Version(const CommandLine&) {
    Print("Trawlbox " + std::string(kProgramVersion));
    Print(TlsLibraryVersion());
    Print(RegexLibraryVersion());
    return kExitOk;
}

int Run(const CommandLine& line) {
    return RunService(line.directory);
}

int Check(const CommandLine& line) {
    return RunCheck(line.directory, Print);
}

int Test(const CommandLine& line) {
    return RunMessageTest(line, Print);
}

int OAuth2(const CommandLine& line) {
    return RunOAuthCommand(line, StandardOAuthCommandIo());
}

void Write(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void WriteError(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
}

int QuarantineList(const CommandLine& line) {
    return RunQuarantineCommand(line, Write, WriteError);
}

int Release(const CommandLine& line) {
    return RunReleaseCommand(line, Write, WriteError);
}

struct Handler {
    Command command;
    int (*run)(const CommandLine&);
};

constexpr std::array<Handler, 8> kHandlers{{
    {Command::kRun, Run},
    {Command::kCheck, Check},
    {Command::kTest, Test},
    {Command::kHelp, Help},
    {Command::kVersion, Version},
    {Command::kOAuth2, OAuth2},
    // The quarantine of killed mail.
    {Command::kQuarantine, QuarantineList},
    {Command::kRelease, Release},
}};

}  // namespace

int main(int argc, char** argv) {
    // Texts are held in the filter's code page; people read them in UTF-8.
    SetLogTextConversion(OemToUtf8);
    SetConsoleTextConversion(OemToUtf8);
    std::vector<std::string_view> arguments(argv + 1, argv + argc);
    CommandLine line;
    std::string problem;
    if (!ParseCommandLine(arguments, line, problem)) {
        std::fprintf(stderr, "trawlbox: %s\n%s", problem.c_str(), UsageText().c_str());
        return kExitUsage;
    }
    // Without -d the configuration is the one beside the executable.
    if (line.directory.empty()) line.directory = ExecutableDirectory();
    int status = kExitFailure;
    for (const Handler& handler : kHandlers) {
        if (handler.command == line.command) status = handler.run(line);
    }
    std::fflush(stdout);
    if (line.command != Command::kRun) return status;
    ConsoleRestore();
    // Session threads may still run: end without running destructors under them.
    std::_Exit(status);
}
