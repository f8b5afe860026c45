// The list that `trawlbox quarantine` prints: one line per kept copy, its
// fields separated by a tab (so that `cut -f` and scripts take them apart
// whatever they hold), in this order:
//
//   id, the kill's local date and time ("2026-03-05 14:07"), account key,
//   sender, subject, the rule that killed it, and "released" for a copy
//   released and not yet handed back (a copy that is not released has no
//   seventh field).
//
// Everything that came from mail or a login is shown through
// Utf8ForOneLine: a subject cannot move the cursor, change colours or break
// the line. The text is UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/quarantine.h"

// Returns the local date and time of a kill as the list shows it
// ("2026-03-05 14:07").
std::string QuarantineDateText(int64_t unixSeconds);

// Returns the entry's line, without a line end.
std::string QuarantineListLine(const QuarantineEntry& entry);

// Returns the entries' lines, each ending in "\n", in the order given.
std::string QuarantineList(const std::vector<QuarantineEntry>& entries);
