// DNS blocklists in the mail scan: once the headers of a login are read and
// before any of them is judged, the relays of every header are asked about
// in one batch (CheckBlocklists, dns/blocklist.h), so that a login waits for
// the lists at most once, and each header's listings go to JudgeMail.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/settings.h"
#include "dns/blocklist.h"
#include "pop3/mail_judge.h"

// Reads the blocklist keys: the zones of DnsBlocklists and the resolvers of
// DnsServers (both separated by commas, blanks around an entry dropped,
// empty entries passed over) and DnsTimeout in seconds (the default below 1
// second, kLongestDnsTimeoutSeconds above it). Every DnsServers entry that
// is not "ip[:port]" (ParseResolverAddress) is left out and named in
// `problem`, which is "" when there is none; with every entry left out the
// system's resolvers are asked.
BlocklistSettings ReadBlocklistSettings(const SettingsRecord& settings, std::string& problem);

// Returns true when DnsBlocklists (as in effect now) names a zone to ask.
bool BlocklistsWanted();

// Returns the listings of each header, listings[i] for headers[i]: the
// relays of its first DnsblDepth Received lines (HeaderRelays; at least 1)
// that a zone of DnsBlocklists lists, each relay once, with the first zone
// that lists it. Nothing is asked, and every list is empty, when
// DnsBlocklists names no zone. A relay whose lookups failed counts as not
// listed: the mail is kept. Whatever failed (a resolver entry that is not
// one, lookups without a usable answer) is logged once per call at
// kLogFailure on `slot`. Returns within the DnsTimeout, plus the time to
// close the resolver's sockets.
std::vector<std::vector<BlocklistListing>> LookUpRelayListings(std::span<const RawHeader> headers,
                                                               int slot);
