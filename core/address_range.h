// Address ranges as the list files write them ("a.b.c.d/n comment"), and the
// reading of such a file: the IP access list and the relay blacklist share
// both.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One entry: the addresses low..high (first dotted part most significant),
// and for lists that report their matches the whole line it came from.
struct AddressRange {
    uint32_t low = 0;
    uint32_t high = 0;
    std::string text;
};

// Reads one entry line: the address part is the text before the first space,
// "a.b.c.d" optionally followed by "/" and a prefix length. Non-numeric parts
// count as 0; a prefix of 0, missing, negative or above 32 means 32. The range
// starts at the written address (it is not masked) and spans 2^(32-n)
// addresses, wrapping modulo 2^32 (a wrapped range matches nothing).
AddressRange ParseAddressRange(std::string_view line);

// Returns the first entry that contains the address (host order: first
// dotted part most significant), or nullptr when none does.
const AddressRange* FindAddressRange(const std::vector<AddressRange>& list, uint32_t address);

// A list file and how it introduces itself.
struct AddressListFile {
    std::string_view name;     // the file's name in its directory
    std::string_view header1;  // the two comment lines a new file is given
    std::string_view header2;
    std::string_view loadingText;  // logged before a file with content is read
    bool keepText;                 // entries keep their line (AddressRange::text)
};

// Returns the entries of the file in `directory` (which ends in "/", or is
// ""), in file order. Every CR is removed from a line; lines starting with "#"
// are skipped; an empty line ends the list, and so does a final line without
// LF, which is not read. A missing or empty file is given its two header lines
// (each ended by CR LF, nothing logged) and gives no entries; a file that
// cannot be opened gives no entries, silently.
std::vector<AddressRange> LoadAddressList(const AddressListFile& file,
                                          const std::string& directory);
