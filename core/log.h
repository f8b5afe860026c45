// The log file "TRAWLBOX.LOG": one line per noteworthy step, from any thread.
#pragma once

#include <string>
#include <string_view>

// Levels of WriteLog and what they are for; the markers and the switches that
// suppress some of them live in log.cpp.
enum LogLevel : int {
    kLogNotice = 0,      // sockets and sessions
    kLogError = 1,       // errors, authentication failures
    kLogFailure = 2,     // an operation failed or was refused
    kLogSpare = 3,       // written, used by nothing
    kLogNever = 4,       // never written
    kLogListen = 5,      // listening (LogSession)
    kLogProgress = 6,    // progress
    kLogFilter = 7,      // filter hits (LogFilter)
    kLogFigures = 8,     // mailbox figures
    kLogConnection = 9,  // connections (LogSession)
    kLogOutcome = 10,    // outcome of an upstream login
    kLogDebug = 255,     // protocol trace, socket error names (LogDebug)
};

// Opens the log for appending, exclusively. Returns true when it is open;
// false (no log) when the path cannot be opened or another copy holds it.
bool OpenLog(const std::string& path);

// As above; on false `problem` says why ("held by another running copy", or
// the system's reason).
bool OpenLog(const std::string& path, std::string& problem);

// Returns the banner line written first in each run (with the debug line
// behind an LF when LogDebug is on).
std::string LogBanner();

// Returns the date part of the banner in the style the environment variable
// "OrvelLOG" chooses.
std::string LogDate();

// Writes one line: level marker, local time, session field, text, ended by
// LF (a CR LF inside the text becomes LF too). `session` is a slot number,
// or negative for none. Dropped when the log is closed or the level is
// switched off. Safe from any thread; lines never interleave.
void WriteLog(std::string_view text, int session, int level);

// With `on`, every line WriteLog writes (and the banner) also goes to
// standard error, the same bytes as in the file: where no one watches a console, a service
// manager's journal keeps the log. Off at start.
void MirrorLogToStandardError(bool on);

// The program's texts are held in a code page; the log is read in the
// environment's character set. A conversion takes a whole line (without its
// line end) and returns it as it is to be written.
using LogTextConversion = std::string (*)(std::string_view line);

// Makes every line written from now on (file and mirror) pass through
// `convert`; nullptr (the start) writes lines as they are composed.
void SetLogTextConversion(LogTextConversion convert);

// Closes the log if it is open.
void CloseLog();

// Returns the composed line WriteLog would write (without line end and
// before the conversion), or "" when
// the level is not written. Exposed for tests.
std::string ComposeLogLine(std::string_view text, int session, int level);

// Appends the banner line (LogBanner) to the open log, as WriteLog does.
void WriteLogBanner();
