// The IP access list "ACCESS.IP": which client machines may use the proxy.
// Read at start-up, before the listeners start, and again at each reload,
// which publishes a new list while listeners read the old one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/address_range.h"

inline constexpr std::string_view kAccessListFileName = "ACCESS.IP";

// Returns the list in effect (entries in file order); never nullptr.
std::shared_ptr<const AddressList> CurrentAccessList();

// Makes `list` the one new clients are judged by.
void PublishAccessList(AddressList list);

// The file as LoadAddressList reads it.
extern const AddressListFile kAccessListFile;

// Publishes the list from its file in ProgramDirectory, as LoadAddressList reads
// it: a missing or empty file is given its two header lines and leaves the
// list empty, as does a file that cannot be opened.
void LoadAccessList();

// As above, from the file in `directory` (which ends in "/", or is "").
void LoadAccessListFrom(const std::string& directory);

// Returns true when some CurrentAccessList entry contains the address. An empty
// list allows nobody.
bool IsAddressAllowed(const IpAddress& address);
