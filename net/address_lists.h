// The IP access list "ACCESS.IP" (which client machines may use the proxy)
// and the relay blacklist "TRAWLBOX.RBL" (mail relays not to be trusted).
// Both are read once at start-up, before the listeners start, and only read
// afterwards, without a lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view kAccessListFileName = "ACCESS.IP";
inline constexpr std::string_view kRelayBlacklistFileName = "TRAWLBOX.RBL";

// One entry of either list: the addresses low..high (first dotted part most
// significant), and for the blacklist the whole line it came from.
struct AddressRange {
    uint32_t low = 0;
    uint32_t high = 0;
    std::string text;
};

// Entries in file order.
extern std::vector<AddressRange>& AccessList;
extern std::vector<AddressRange>& RelayBlacklist;

// Fill the list from its file in ProgramDirectory. A missing or empty file is
// given its two header lines and leaves the list empty; a file that cannot be
// opened leaves it empty silently.
void LoadAccessList();
void LoadRelayBlacklist();

// As above, from the file in `directory` (which ends in "/", or is "").
void LoadAccessListFrom(const std::string& directory);
void LoadRelayBlacklistFrom(const std::string& directory);

// Reads one entry line: the address part is the text before the first space,
// "a.b.c.d" optionally followed by "/" and a prefix length. Non-numeric parts
// count as 0; a prefix of 0, missing, negative or above 32 means 32. The range
// starts at the written address (it is not masked) and spans 2^(32-n)
// addresses, wrapping modulo 2^32 (a wrapped range matches nothing).
AddressRange ParseAddressRange(std::string_view line);

// Returns true when some AccessList entry contains the address (network byte
// order). An empty list allows nobody.
bool IsAddressAllowed(uint32_t address);

// Looks for addresses written as "[a.b.c.d]" or "(a.b.c.d)" in a header text,
// left to right, and returns true at the first one inside a RelayBlacklist
// entry, with that entry's line in `entryText`. Returns false and leaves
// `entryText` alone when none is listed; bare addresses are never checked.
bool FindBlacklistedRelay(std::string_view text, std::string& entryText);

// Opens the file for reading and writing, creating it when missing, under
// FileOpenLock. Returns true with its file number; false with -1.
bool OpenSharedFile(const std::string& path, int& fileNumber);

// Closes a file opened by OpenSharedFile (nothing for an unknown number).
void CloseSharedFile(int fileNumber);

// Returns the next line of the file without its LF and with every CR removed,
// counting it in `lineCounter`. Returns "" with `atEnd` set at the end of the
// file and on any file error; a final line without LF is never returned.
// Keeps a single reader state: one file at a time, from its start.
std::string ReadFileLine(int fileNumber, int& lineCounter, bool& atEnd);
