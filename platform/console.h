// The console: title, output lines and single keys without waiting.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

// Switches a terminal on standard input to raw, no-echo input and arranges
// that it is restored on every way out (normal exit, SIGINT/SIGTERM, fatal
// signal). Nothing happens when standard input is not a terminal.
void ConsoleBegin();

// Restores the terminal state saved by ConsoleBegin (idempotent).
void ConsoleRestore();

// Makes SIGINT and SIGTERM raise `counter` by one instead of ending the
// process, so that the program stops through its own shutdown.
void InstallStopSignals(std::atomic<int>& counter);

// Makes SIGHUP raise `counter` by one instead of ending the process, so
// that the program reloads its configuration.
void InstallReloadSignal(std::atomic<int>& counter);

// The program's texts are held in a code page; a terminal shows the
// environment's character set. A conversion takes one line or title and
// returns it as it is to be written.
using ConsoleTextConversion = std::string (*)(std::string_view text);

// Makes every title and line from now on pass through `convert` (the test
// sink included); nullptr (the start) writes them as they are.
void SetConsoleTextConversion(ConsoleTextConversion convert);

// Sets the terminal title; only when standard output is a terminal.
void ConsoleSetTitle(std::string_view title);

// Writes one line to standard output; lines of different threads never mix.
void ConsoleWriteLine(std::string_view line);

// Replaces where ConsoleWriteLine writes (for tests); nullptr restores stdout.
void SetConsoleSinkForTesting(void (*sink)(std::string_view line));

// Discards keys typed before the program was ready.
void ConsoleFlushInput();

// Returns the next key without waiting: "" when none is pending; one
// character for an ordinary key (Enter always as character 13, a lone ESC as
// 27); two characters, the first a zero byte, for arrow and function keys.
std::string ConsoleReadKey();

enum class SecretRead {
    kRead,     // `line` holds the line
    kEnd,      // input ended before anything was read
    kTooLong,  // the line had more than the limit; `line` is empty
};

// Reads one line of standard input into `line`, without its LF (and a CR
// before it); input that ends without a line end counts as the last line.
// On a terminal `prompt` goes to standard error once the echo is off, the
// typed characters are not shown, and the terminal is set back before this
// returns, and also when SIGINT or SIGTERM end the process meanwhile;
// without a terminal there is no prompt. Reads byte by byte, so nothing
// past the line is taken.
SecretRead ReadSecretLine(std::string_view prompt, size_t limit, std::string& line);
