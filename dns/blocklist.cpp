#include "dns/blocklist.h"

#include <ares.h>
#include <ares_dns.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

#include "platform/clock.h"

namespace {

// The time-out is split so that a lost datagram or a dead first resolver
// still leaves time for one more attempt (a resend, or the next resolver).
constexpr int kAttemptsWithinTimeout = 2;

// A list answers with one code per sub-list that holds the address; more
// than this many are not read (the first listing one decides anyway).
constexpr int kMostAddressRecords = 16;

// The reason goes into the kill report and the log: a sentence and a link
// fit, a zone's whole essay does not.
constexpr size_t kLongestReason = 200;

// Answers in 127.255.255.0/24 are how lists say "query refused", not "listed".
constexpr uint32_t kLoopbackNet = 127;
constexpr uint32_t kRefusalNet = 0x7FFFFF;  // 127.255.255, the top 24 bits

// Texts of the failures a lookup can meet, for the problem line; any other
// status is named in c-ares's words. This c-ares does not hand SERVFAIL,
// REFUSED and NOTIMP answers on: it tries the next resolver, and when none is
// left reports "connection refused", as for an unreachable resolver.
struct StatusText {
    int status;
    std::string_view text;
};
constexpr StatusText kStatusTexts[] = {
    {ARES_ETIMEOUT, "no answer in time"},
    {ARES_ECANCELLED, "no answer in time"},  // ours, at the time-out
    {ARES_ECONNREFUSED, "no usable answer (resolver unreachable, refusing or failing)"},
    {ARES_EFORMERR, "query rejected as malformed"},
    {ARES_EBADRESP, "malformed answer"},
    {ARES_EBADNAME, "not a valid name"},
};
constexpr std::string_view kTruncatedText = "truncated answer";

std::string FailureText(int status) {
    for (const StatusText& entry : kStatusTexts) {
        if (entry.status == status) return std::string(entry.text);
    }
    return ares_strerror(status);
}

enum class LookupState : int { kOpen, kListed, kNotListed, kFailed };

struct Batch;

// One question to one zone about one address.
struct Lookup {
    Batch* batch = nullptr;
    std::string name;
    LookupState state = LookupState::kOpen;
    bool fromCache = false;
    std::string reason;
    uint32_t ttl = 0;       // seconds to cache the answer; 0: not cached
    bool complete = false;  // a listing's TXT question has a final answer too
    std::string failure;    // kFailed: what went wrong
};

// The lookups of one call and the sockets c-ares waits on for them.
struct Batch {
    ares_channel channel = nullptr;
    int open = 0;          // questions sent and not yet called back
    bool closing = false;  // past the time-out: no follow-up questions
    std::map<ares_socket_t, short> sockets;
};

struct ChannelCloser {
    void operator()(ares_channel channel) const { ares_destroy(channel); }
};
using ChannelOwner = std::unique_ptr<ares_channeldata, ChannelCloser>;

void Fail(Lookup& lookup, std::string failure) {
    lookup.state = LookupState::kFailed;
    lookup.failure = std::move(failure);
}

// RFC 2308: a negative answer is cached for the minimum field of the SOA
// record in its authority section, and not at all without one. This c-ares
// looks for an SOA record only among the answers; the authority records
// follow the answers directly, so a copy whose header counts them as answers
// lets its parser find the record.
uint32_t NegativeTtl(const unsigned char* answer, int length) {
    if (answer == nullptr || length < HFIXEDSZ) return 0;
    std::vector<unsigned char> copy(answer, answer + length);
    unsigned records = DNS_HEADER_ANCOUNT(answer) + DNS_HEADER_NSCOUNT(answer);
    DNS_HEADER_SET_ANCOUNT(copy.data(), std::min(records, 0xFFFFu));
    DNS_HEADER_SET_NSCOUNT(copy.data(), 0);
    ares_soa_reply* soa = nullptr;
    if (ares_parse_soa_reply(copy.data(), length, &soa) != ARES_SUCCESS) return 0;
    uint32_t ttl = soa->minttl;
    ares_free_data(soa);
    return ttl;
}

void NotListed(Lookup& lookup, uint32_t ttl) {
    lookup.state = LookupState::kNotListed;
    lookup.ttl = ttl;
}

// TXT strings of one record run together (RFC 7208 section 3.3); records are
// separated. Peer text: only printable ASCII goes on, capped.
std::string ReasonText(const ares_txt_ext* txt) {
    std::string reason;
    for (; txt != nullptr; txt = txt->next) {
        if (txt->record_start && !reason.empty()) reason += "; ";
        for (size_t i = 0; i < txt->length; ++i) {
            unsigned char byte = txt->txt[i];
            reason += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '?';
        }
    }
    if (reason.size() > kLongestReason) reason.resize(kLongestReason);
    return reason;
}

// Blocklist answers are a few dozen bytes, so a truncated one comes from a
// broken path, and what it holds may be only part of the answer. It is not
// fetched again over TCP (the channel ignores the TC bit): in this c-ares one
// refused TCP connection would fail every lookup in flight on that resolver.
bool Truncated(const unsigned char* answer, int length) {
    return answer != nullptr && length >= HFIXEDSZ && DNS_HEADER_TC(answer);
}

void OnReason(void* argument, int status, int, unsigned char* answer, int length) {
    auto& lookup = *static_cast<Lookup*>(argument);
    --lookup.batch->open;
    if (Truncated(answer, length)) return;
    if (status == ARES_ENOTFOUND || status == ARES_ENODATA) {
        lookup.complete = true;
    } else if (status == ARES_SUCCESS) {
        ares_txt_ext* txt = nullptr;
        if (ares_parse_txt_reply_ext(answer, length, &txt) == ARES_SUCCESS) {
            lookup.reason = ReasonText(txt);
            lookup.complete = true;
            ares_free_data(txt);
        }
    }
}

void AskForReason(Lookup& lookup) {
    Batch& batch = *lookup.batch;
    if (batch.closing) return;
    ++batch.open;
    ares_query(batch.channel, lookup.name.c_str(), ns_c_in, ns_t_txt, OnReason, &lookup);
}

void OnAddress(void* argument, int status, int, unsigned char* answer, int length) {
    auto& lookup = *static_cast<Lookup*>(argument);
    --lookup.batch->open;
    if (Truncated(answer, length)) {
        Fail(lookup, std::string(kTruncatedText));
        return;
    }
    if (status == ARES_ENOTFOUND || status == ARES_ENODATA) {
        NotListed(lookup, NegativeTtl(answer, length));
        return;
    }
    if (status != ARES_SUCCESS) {
        Fail(lookup, FailureText(status));
        return;
    }
    ares_addrttl records[kMostAddressRecords];
    int count = kMostAddressRecords;
    int parsed = ares_parse_a_reply(answer, length, nullptr, records, &count);
    if (parsed == ARES_ENODATA) {
        NotListed(lookup, NegativeTtl(answer, length));
        return;
    }
    if (parsed != ARES_SUCCESS) {
        Fail(lookup, FailureText(parsed));
        return;
    }
    uint32_t listedTtl = std::numeric_limits<uint32_t>::max();
    uint32_t anyTtl = std::numeric_limits<uint32_t>::max();
    uint32_t refusal = 0;
    for (int i = 0; i < count; ++i) {
        uint32_t code = ntohl(records[i].ipaddr.s_addr);
        auto ttl = static_cast<uint32_t>(std::max(records[i].ttl, 0));
        anyTtl = std::min(anyTtl, ttl);
        if (code >> 24 != kLoopbackNet) continue;  // RFC 5782 section 2.1: codes are in 127/8
        if (code >> 8 == kRefusalNet) {
            refusal = code;
        } else {
            listedTtl = std::min(listedTtl, ttl);
        }
    }
    if (listedTtl != std::numeric_limits<uint32_t>::max()) {
        lookup.state = LookupState::kListed;
        lookup.ttl = listedTtl;
        AskForReason(lookup);
    } else if (refusal != 0) {
        in_addr code{htonl(refusal)};
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &code, text, sizeof text);
        Fail(lookup, std::string("refused by the list (") + text + ")");
    } else {
        NotListed(lookup, count > 0 ? anyTtl : 0);
    }
}

void OnSocketState(void* data, ares_socket_t socket, int readable, int writable) {
    auto& sockets = static_cast<Batch*>(data)->sockets;
    short events = static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));
    if (events == 0) {
        sockets.erase(socket);
    } else {
        sockets[socket] = events;
    }
}

// Returns ARES_SUCCESS with a channel that sends to the configured resolvers
// and tells `batch` which sockets to wait on; otherwise the c-ares status.
int OpenChannel(const BlocklistSettings& settings, Batch& batch, ChannelOwner& owner) {
    static std::once_flag initialised;
    static int initStatus = ARES_SUCCESS;
    std::call_once(initialised, [] { initStatus = ares_library_init(ARES_LIB_INIT_ALL); });
    if (initStatus != ARES_SUCCESS) return initStatus;

    ares_options options{};
    options.flags = ARES_FLAG_NOSEARCH | ARES_FLAG_NOALIASES | ARES_FLAG_IGNTC;
    options.timeout = std::max(settings.timeoutMs / kAttemptsWithinTimeout, 1);
    options.tries = kAttemptsWithinTimeout;
    options.sock_state_cb = OnSocketState;
    options.sock_state_cb_data = &batch;
    int mask = ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_SOCK_STATE_CB;
    int status = ares_init_options(&batch.channel, &options, mask);
    if (status != ARES_SUCCESS) return status;
    owner.reset(batch.channel);
    if (settings.resolvers.empty()) return ARES_SUCCESS;

    std::vector<ares_addr_port_node> nodes(settings.resolvers.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
        const ResolverAddress& resolver = settings.resolvers[i];
        ares_addr_port_node& node = nodes[i];
        node.next = i + 1 < nodes.size() ? &nodes[i + 1] : nullptr;
        if (resolver.address.family == IpFamily::kIpv4) {
            node.family = AF_INET;
            std::copy_n(resolver.address.bytes.begin(), sizeof node.addr.addr4,
                        reinterpret_cast<uint8_t*>(&node.addr.addr4));
        } else {
            node.family = AF_INET6;
            std::copy_n(resolver.address.bytes.begin(), sizeof node.addr.addr6,
                        reinterpret_cast<uint8_t*>(&node.addr.addr6));
        }
        node.udp_port = resolver.port;
        node.tcp_port = resolver.port;
    }
    return ares_set_servers_ports(batch.channel, nodes.data());
}

// Runs the channel until every question has its answer or the deadline has
// passed; what is still open then is cancelled.
void RunUntil(Batch& batch, int64_t deadline) {
    while (batch.open > 0) {
        int64_t remaining = deadline - MonotonicMilliseconds();
        if (remaining <= 0) break;
        timeval longest{static_cast<time_t>(remaining / 1000),
                        static_cast<suseconds_t>(remaining % 1000 * 1000)};
        timeval buffer{};
        timeval* wait = ares_timeout(batch.channel, &longest, &buffer);
        auto waitMs = static_cast<int>(wait->tv_sec * 1000 + (wait->tv_usec + 999) / 1000);

        std::vector<pollfd> watched;
        for (const auto& [socket, events] : batch.sockets) watched.push_back({socket, events, 0});
        int ready = ::poll(watched.data(), watched.size(), waitMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) {
            ares_process_fd(batch.channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // retries, time-outs
            continue;
        }
        for (const pollfd& entry : watched) {
            if (entry.revents == 0 || (entry.revents & POLLNVAL)) continue;
            bool failed = entry.revents & (POLLERR | POLLHUP);
            bool readable = failed || (entry.revents & POLLIN);
            bool writable = failed || (entry.revents & POLLOUT);
            ares_process_fd(batch.channel, readable ? entry.fd : ARES_SOCKET_BAD,
                            writable ? entry.fd : ARES_SOCKET_BAD);
        }
    }
    batch.closing = true;
    if (batch.open > 0) ares_cancel(batch.channel);
}

void Remember(const Lookup& lookup, DnsAnswerCache& cache) {
    if (lookup.fromCache) return;
    if (lookup.state == LookupState::kNotListed) {
        cache.Store(lookup.name, CachedAnswer{false, ""}, lookup.ttl);
    } else if (lookup.state == LookupState::kListed && lookup.complete) {
        cache.Store(lookup.name, CachedAnswer{true, lookup.reason}, lookup.ttl);
    }
}

std::string ProblemLine(const std::vector<Lookup>& lookups) {
    int asked = 0;
    int failed = 0;
    const Lookup* first = nullptr;
    for (const Lookup& lookup : lookups) {
        if (lookup.fromCache) continue;
        ++asked;
        if (lookup.state != LookupState::kFailed) continue;
        ++failed;
        if (first == nullptr) first = &lookup;
    }
    if (failed == 0) return "";
    return "DNS blocklist: " + std::to_string(failed) + " of " + std::to_string(asked) +
           " lookups failed; first " + first->name + ": " + first->failure;
}

}  // namespace

BlocklistReport CheckBlocklists(const std::vector<std::string>& addresses,
                                const BlocklistSettings& settings, DnsAnswerCache& cache) {
    int64_t deadline = MonotonicMilliseconds() + settings.timeoutMs;
    const size_t zoneCount = settings.zones.size();
    BlocklistReport report;
    report.verdicts.resize(addresses.size());

    // Each distinct public address is asked about once; firstLookup[i] is
    // where the zones' lookups of addresses[i] begin (zoneCount in a row).
    std::vector<Lookup> lookups;
    std::map<IpAddress, size_t> seen;
    std::vector<size_t> firstLookup(addresses.size(), 0);
    for (size_t i = 0; i < addresses.size(); ++i) {
        IpAddress address;
        if (!ParseIpAddress(addresses[i], address)) {
            report.verdicts[i].outcome = BlocklistOutcome::kInvalid;
            continue;
        }
        if (ClassifyAddress(address) != AddressScope::kPublic) {
            report.verdicts[i].outcome = BlocklistOutcome::kSkipped;
            continue;
        }
        auto [position, added] = seen.emplace(address, lookups.size());
        firstLookup[i] = position->second;
        if (!added) continue;
        for (const std::string& zone : settings.zones) {
            Lookup lookup;
            lookup.name = BlocklistQueryName(address, zone);
            CachedAnswer known;
            if (cache.Find(lookup.name, known)) {
                lookup.fromCache = true;
                lookup.state = known.listed ? LookupState::kListed : LookupState::kNotListed;
                lookup.reason = known.reason;
            }
            lookups.push_back(std::move(lookup));
        }
    }

    // Declared before the channel, so that they outlive it: c-ares calls
    // back into both while the channel closes.
    Batch batch;
    ChannelOwner channel;
    bool anyOpen = std::any_of(lookups.begin(), lookups.end(),
                               [](const Lookup& l) { return l.state == LookupState::kOpen; });
    if (anyOpen) {
        int status = OpenChannel(settings, batch, channel);
        for (Lookup& lookup : lookups) {
            if (lookup.state != LookupState::kOpen) continue;
            if (status != ARES_SUCCESS) {
                Fail(lookup, "resolver not set up: " + std::string(ares_strerror(status)));
                continue;
            }
            lookup.batch = &batch;
            ++batch.open;
            ares_query(batch.channel, lookup.name.c_str(), ns_c_in, ns_t_a, OnAddress, &lookup);
        }
        if (status == ARES_SUCCESS) RunUntil(batch, deadline);
    }
    for (Lookup& lookup : lookups) {
        if (lookup.state == LookupState::kOpen) Fail(lookup, FailureText(ARES_ETIMEOUT));
    }

    for (const Lookup& lookup : lookups) Remember(lookup, cache);
    for (size_t i = 0; i < addresses.size(); ++i) {
        BlocklistVerdict& verdict = report.verdicts[i];
        if (verdict.outcome != BlocklistOutcome::kNotListed) continue;  // invalid or skipped
        for (size_t zone = 0; zone < zoneCount; ++zone) {
            const Lookup& lookup = lookups[firstLookup[i] + zone];
            if (lookup.state == LookupState::kListed) {
                verdict = {BlocklistOutcome::kListed, settings.zones[zone], lookup.reason};
                break;
            }
            if (lookup.state != LookupState::kNotListed)
                verdict.outcome = BlocklistOutcome::kUnknown;
        }
    }
    report.problem = ProblemLine(lookups);
    return report;
}
