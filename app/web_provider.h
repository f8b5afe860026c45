// The web page's view of the running program (web/provider.h): the daily
// figures and the quarantine from the state database, live connections from
// the session table, the rule tester on the running kill set, and the kill
// file with what `trawlbox check` finds in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/problems.h"
#include "web/provider.h"

// The kill file's previous version is kept under its name with this suffix
// when the page saves a new one; one backup, replaced at each save.
inline constexpr std::string_view kKillFileBackupSuffix = ".BAK";

// The page's text is written here first (beside the kill file, so that the
// rename that puts it in place stays on one file system) and checked there.
inline constexpr std::string_view kKillFileDraftSuffix = ".NEW";

// The kill file is shown and checked up to this size; a kill file is a few
// kilobytes, and the page's requests are capped far below this anyway.
inline constexpr size_t kMaxKillFileBytes = size_t{4} << 20;

// Returns a provider whose members read the state database in DataDir, the
// session table, the running kill set and the kill file KILLFILE names.
// `startedAt` (seconds since 1970) is when the program started, for the
// uptime. Call after the configuration is read.
WebProvider MakeWebProvider(int64_t startedAt);

// Returns the problems of the kill file among `problems` (those of
// `killFile`), as the page shows them beside their lines.
std::vector<KillFileProblem> KillFileProblems(const Problems& problems);

// Saves `text` (code page 437, as the page holds it) as the kill file
// `killFile` as the page's save does: writes it to the draft beside it, in
// UTF-8 when the file on disk is a UTF-8 one, and checks the draft; with an error, removes the
// draft and returns the errors (the file untouched). Otherwise copies the file
// to its backup, renames the draft over it and calls `reload`; returns the
// warnings with saved set, or `failure` when a write or the reload failed.
KillFileSave SaveKillFileText(const std::string& killFile, const std::string& text,
                              bool (*reload)());
