// The console: title, output lines and single keys without waiting.
#pragma once

#include <atomic>
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
