// The IP access list "ACCESS.IP": which client machines may use the proxy.
// Read once at start-up, before the listeners start, and only read
// afterwards, without a lock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/address_range.h"

inline constexpr std::string_view kAccessListFileName = "ACCESS.IP";

// Entries in file order.
extern std::vector<AddressRange>& AccessList;

// Fills the list from its file in ProgramDirectory, as LoadAddressList reads
// it: a missing or empty file is given its two header lines and leaves the
// list empty, as does a file that cannot be opened.
void LoadAccessList();

// As above, from the file in `directory` (which ends in "/", or is "").
void LoadAccessListFrom(const std::string& directory);

// Returns true when some AccessList entry contains the address. An empty
// list allows nobody.
bool IsAddressAllowed(const IpAddress& address);
