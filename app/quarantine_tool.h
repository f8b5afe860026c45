// The quarantine from outside the sessions: the commands `trawlbox
// quarantine`, `trawlbox quarantine show ID` and `trawlbox release ID...`,
// and the retention clean-up the service runs at start and once a day.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "app/command_line.h"
#include "core/settings.h"

// The service cleans the quarantine up this often, besides at its start:
// copies expire by the day, so a daily run keeps none a day too long.
inline constexpr int64_t kQuarantineCleanupIntervalMs = 24LL * 60 * 60 * 1000;

// Writes text as it is (it carries its own line ends).
using WriteOut = std::function<void(std::string_view text)>;

// `trawlbox quarantine`: the kept copies, newest first, one line each
// (QuarantineListLine), or "no kept messages" on `error`; `quarantine show
// ID`: the stored message as it is. Reads TRAWLBOX.CFG of line.directory for
// DataDir and Quarantine. Returns kExitOk; kExitFailure, with the reason on
// `error`, when no quarantine is configured, the database fails, or (show)
// the id names no copy.
int RunQuarantineCommand(const CommandLine& line, const WriteOut& out, const WriteOut& error);

// `trawlbox release ID...`: marks the copies to be handed back at their
// account's next login, and prints "released ID" for each. Returns kExitOk
// when every id named a copy; kExitFailure, with each unknown id or the
// failure on `error`, otherwise (the known ones are released all the same).
int RunReleaseCommand(const CommandLine& line, const WriteOut& out, const WriteOut& error);

// Removes copies older than settings.QuarantineDays (and what the clean-up
// finds left over) and logs what it removed (level 2 for a failure). Nothing
// without a quarantine.
void CleanUpQuarantine(const SettingsRecord& settings);
