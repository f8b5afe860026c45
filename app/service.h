// Start-up, the once-a-second supervision loop and shutdown.
#pragma once

// Runs the whole program: sets up, supervises until ESC, SIGINT/SIGTERM or a
// listener failure, then shuts down. Returns when the program stops; session
// threads are not waited for, so the caller ends the process at once.
void RunService();

// The console title line, also written as the first output line.
const char* ConsoleTitle();
