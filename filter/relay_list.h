// The relay blacklist "TRAWLBOX.RBL": mail relays not to be trusted, looked
// for in the Received lines of a header. Read once at start-up, before the
// listeners start, and only read afterwards, without a lock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/address_range.h"
#include "platform/ip_address.h"

inline constexpr std::string_view kRelayBlacklistFileName = "TRAWLBOX.RBL";

// Returns the list in effect (entries in file order, each with the line
// it came from); never nullptr.
std::shared_ptr<const AddressList> CurrentRelayBlacklist();

// Makes `list` the one new judgements read.
void PublishRelayBlacklist(AddressList list);

// The file as LoadAddressList reads it.
extern const AddressListFile kRelayBlacklistFile;

// Publishes the list from its file in ProgramDirectory, as LoadAddressList reads
// it: a missing or empty file is given its two header lines and leaves the
// list empty, as does a file that cannot be opened.
void LoadRelayBlacklist();

// As above, from the file in `directory` (which ends in "/", or is "").
void LoadRelayBlacklistFrom(const std::string& directory);

// Looks for addresses in brackets or parentheses in a header text, left to
// right, and returns true at the first one inside a CurrentRelayBlacklist entry,
// with that entry's line in `entryText`. IPv4 is read as it always was
// ("[a.b.c.d]", "(a.b.c.d)", also mixed closers, "_" for ".", each number
// keeping its low 8 bits); IPv6 strictly, bare or tagged as RFC 5321 writes
// it ("[2001:db8::5]", "[IPv6:2001:db8::5]", "(2001:db8::5)"), an
// IPv4-mapped one as its IPv4 address. Returns false and leaves `entryText`
// alone when none is listed; bare addresses are never checked.
bool FindBlacklistedRelay(std::string_view text, std::string& entryText);

// Returns the relay addresses of the first `depth` Received lines among the
// header lines (each one whole, unfolded "Name: value" line; others are
// passed over), top first: the address of the host that handed the message
// to the server that wrote the line. It is read from the line's "from" part
// (up to its "by"): the address inside its parentheses, where the receiving
// server wrote what it saw ("from name (rdns [192.0.2.5])", "(2001:db8::5)",
// "([IPv6:2001:db8::5]:4711 helo=name)"), else a literal that stands for
// the name ("from [192.0.2.5] (helo=name)"); never one a HELO or EHLO
// names, which the sender chose. Every address is read strictly (a mapped
// one as IPv4). A Received line without a from part or without an address
// gives none but still counts toward `depth`.
std::vector<IpAddress> TopRelayAddresses(const std::vector<std::string>& lines, size_t depth);
