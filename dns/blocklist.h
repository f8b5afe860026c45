// DNS blocklists: asks each configured zone whether it lists the relays that
// handed messages over, for a whole batch at once, and never lets a missing
// or broken answer cost mail.
//
// Meant to be called once per login with the relay addresses of the messages
// judged in that login, before judging them: every lookup of the batch goes
// out together and the batch waits at most the time-out, once.
#pragma once

#include <string>
#include <vector>

#include "dns/answer_cache.h"
#include "dns/ip_address.h"

// Long enough for a resolver that has to ask the list's own servers; short
// enough that a dead resolver holds a login only briefly.
inline constexpr int kDefaultDnsTimeoutMs = 2000;

struct BlocklistSettings {
    // Zones to ask ("bl.example.org"), in the order their verdicts count.
    std::vector<std::string> zones;
    // Resolvers, tried in order for each lookup; empty means the system's
    // (the nameserver lines of resolv.conf).
    std::vector<ResolverAddress> resolvers;
    // Bound on a whole CheckBlocklists call, in milliseconds.
    int timeoutMs = kDefaultDnsTimeoutMs;
};

enum class BlocklistOutcome : int {
    kNotListed,  // every zone answered that the address is not listed
    kListed,     // a zone listed it: see `zone` and `reason`
    kSkipped,    // not a public address (ClassifyAddress); nothing was asked
    kInvalid,    // the text is not an IP address (ParseIpAddress); nothing was asked
    kUnknown,    // no zone listed it, but some zone gave no usable answer:
                 // to be treated as not listed
};

struct BlocklistVerdict {
    BlocklistOutcome outcome = BlocklistOutcome::kNotListed;
    std::string zone;    // kListed: the first zone, in settings order, that lists it
    std::string reason;  // kListed: the zone's TXT text (printable ASCII, capped),
                         // "" when it gives none
};

struct BlocklistReport {
    // verdicts[i] belongs to addresses[i]; one per address, repeats included.
    std::vector<BlocklistVerdict> verdicts;
    // "" when every lookup got a usable answer. Otherwise one line for the
    // log, naming how many lookups failed and the first of them, e.g.
    // "DNS blocklist: 2 of 6 lookups failed; first 4.3.2.1.bl.example.org: no
    // answer in time".
    std::string problem;
};

// Looks every public address up in every zone: "reversed-octets.zone" for
// IPv4, "reversed-nibbles.zone" for IPv6 (BlocklistQueryName). An A answer
// inside 127.0.0.0/8 lists the address, and its TXT record is then asked for
// the reason; the answers 127.255.255.0/24, by which lists say they refused
// the query (a public resolver, a quota), count as failures instead, since
// they say nothing about the address.
//
// Answers come from `cache` while their TTL runs; the rest are asked for all
// at once and stored in `cache` with their TTL (a listing with the A record's,
// a "not listed" with the zone's negative TTL from its SOA record).
//
// Fails open: a silent, unreachable, refusing or failing resolver (SERVFAIL),
// a truncated answer (TC bit; not retried over TCP) or a malformed answer
// leaves the pair unanswered; the address is then kUnknown unless
// another zone lists it, and `problem` says what went wrong. Such failures
// are not cached. NXDOMAIN and an answer without A records are the plain "not
// listed" and no problem. Returns within settings.timeoutMs (plus the time to
// close the sockets); lookups still open then count as failed. Safe to call
// from any number of threads at once.
BlocklistReport CheckBlocklists(const std::vector<std::string>& addresses,
                                const BlocklistSettings& settings,
                                DnsAnswerCache& cache = SharedDnsAnswerCache());
