// The relay blacklist "TRAWLBOX.RBL": mail relays not to be trusted, looked
// for in the Received lines of a header. Read once at start-up, before the
// listeners start, and only read afterwards, without a lock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/address_range.h"

inline constexpr std::string_view kRelayBlacklistFileName = "TRAWLBOX.RBL";

// Entries in file order, each with the line it came from.
extern std::vector<AddressRange>& RelayBlacklist;

// Fills the list from its file in ProgramDirectory, as LoadAddressList reads
// it: a missing or empty file is given its two header lines and leaves the
// list empty, as does a file that cannot be opened.
void LoadRelayBlacklist();

// As above, from the file in `directory` (which ends in "/", or is "").
void LoadRelayBlacklistFrom(const std::string& directory);

// Looks for addresses written as "[a.b.c.d]" or "(a.b.c.d)" in a header text,
// left to right, and returns true at the first one inside a RelayBlacklist
// entry, with that entry's line in `entryText`. Returns false and leaves
// `entryText` alone when none is listed; bare addresses are never checked.
bool FindBlacklistedRelay(std::string_view text, std::string& entryText);
