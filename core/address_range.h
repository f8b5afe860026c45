// Address ranges as the list files write them ("a.b.c.d/n comment",
// "2001:db8::/32 comment"), and the reading of such a file: the IP access
// list and the relay blacklist share both.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/problems.h"
#include "platform/ip_address.h"

// One entry: the addresses low..high, both of one family (low above high:
// the entry matches nothing), and for lists that report their matches the
// whole line it came from.
struct AddressRange {
    IpAddress low;
    IpAddress high;
    std::string text;
};

// Reads one entry line: the address part is the text before the first space,
// an address optionally followed by "/" and a prefix length.
// - A part with a colon before any dot is IPv6, read strictly: a valid
//   address ("2001:db8::", "::1") and a prefix of decimal digits up to 128,
//   128 when missing; the range is the whole block the prefix names,
//   whatever the host bits say. An IPv4-mapped address gives the IPv4 block
//   of its prefix less 96 ("::ffff:192.0.2.0/120" is 192.0.2.0/24). Anything
//   else matches nothing.
// - Any other part is "a.b.c.d" read as the lists always read it:
//   non-numeric parts count as 0; a prefix of 0, missing, negative or above
//   32 means 32. The range starts at the written address (it is not masked)
//   and spans 2^(32-n) addresses, wrapping modulo 2^32 (a wrapped range
//   matches nothing).
AddressRange ParseAddressRange(std::string_view line);

// Returns what in an entry line's address part (the text before the first
// space) is not an address as the line's writer meant it, or "" when it
// reads as written: an IPv4 address must be four decimal parts 0..255 with
// an optional prefix 1..32; an IPv6 one an address with an optional prefix
// 0..128.
std::string AddressRangeProblem(std::string_view line);

// Returns the first entry that contains the address, or nullptr when none
// does. An IPv4 address is only ever in an IPv4 range, an IPv6 one only in
// an IPv6 range.
const AddressRange* FindAddressRange(const std::vector<AddressRange>& list,
                                     const IpAddress& address);

using AddressList = std::vector<AddressRange>;

// A list that a reload replaces while sessions read it: a reader takes the
// current list, an immutable value, and holds it as long as it needs it; a
// reload publishes a new one and the old one is freed with its last reader.
// The lock guards only the handing over of the pointer, once per client or
// message, never a walk through the list.
class PublishedAddressList {
  public:
    // Returns the list published last, or an empty one; never nullptr.
    std::shared_ptr<const AddressList> Current() const;
    void Publish(AddressList list);

  private:
    mutable std::mutex lock_;
    std::shared_ptr<const AddressList> list_;
};

// A list file and how it introduces itself.
struct AddressListFile {
    std::string_view name;     // the file's name in its directory
    std::string_view header1;  // the two comment lines a new file is given
    std::string_view header2;
    std::string_view loadingText;  // logged before a file with content is read
    bool keepText;                 // entries keep their line (AddressRange::text)
    // Turns the whole file's bytes into the program's code page before its
    // lines are read, and returns what cannot be turned (each an error);
    // nullptr reads the bytes as they are. The character sets live above
    // this folder, so the list's owner hands its conversion in.
    Problems (*decode)(std::string& data, std::string_view fileName) = nullptr;
};

// What reading a list file found.
struct AddressListRead {
    std::string path;                   // the directory and the file's name
    bool found = false;                 // the file exists
    bool readable = false;              // it could be opened
    std::vector<AddressRange> entries;  // in file order, as LoadAddressList reads them
    // A line whose address AddressRangeProblem rejects (an error; the entry
    // is kept, as it always was read), lines below an empty line and a
    // last line without LF, which are not read (warnings); an unreadable
    // file. A missing file is the caller's to judge.
    Problems problems;
};

// Reads the list file in `directory` as LoadAddressList does, without
// creating, writing or logging anything.
AddressListRead ReadAddressList(const AddressListFile& file, const std::string& directory);

// Returns the entries of the file in `directory` (which ends in "/", or is
// ""), in file order. Every CR is removed from a line; lines starting with "#"
// are skipped; an empty line ends the list, and so does a final line without
// LF, which is not read. A missing or empty file is given its two header lines
// (each ended by CR LF, nothing logged) and gives no entries; a file that
// cannot be opened gives no entries, silently.
std::vector<AddressRange> LoadAddressList(const AddressListFile& file,
                                          const std::string& directory);
