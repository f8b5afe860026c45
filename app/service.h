// Start-up, the once-a-second supervision loop and shutdown.
#pragma once

#include <string>

// Runs the whole program with the configuration of `directory` (ending in
// "/", or "" for the current directory): sets up, supervises until ESC,
// SIGINT/SIGTERM or a listener failure, reloading on SIGHUP and the key
// "r", then shuts down. Returns kExitOk after a stop; kExitFailure when
// start-up failed, after saying why on standard error (and in the log when
// one is open): TRAWLBOX.CFG missing or unreadable, the log not writable or
// held by another copy, an unknown TLS mode, a kill file that exists but
// cannot be read, a port in use. Session threads are not waited for, so the
// caller ends the process at once.
int RunService(const std::string& directory);

// The console title line, also written as the first output line.
const char* ConsoleTitle();
