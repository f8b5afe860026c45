#include "pop3/relay_blocklists.h"

#include <algorithm>
#include <string_view>

#include "core/log.h"
#include "core/text.h"
#include "dns/ip_address.h"

namespace {

constexpr int kMillisecondsPerSecond = 1000;

// The entries of a comma-separated setting, trimmed, empty ones passed over.
std::vector<std::string> ListEntries(std::string_view value) {
    std::vector<std::string> entries;
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = std::min(value.find(',', start), value.size());
        std::string entry = Trim(value.substr(start, comma - start));
        if (!entry.empty()) entries.push_back(std::move(entry));
        start = comma + 1;
    }
    return entries;
}

}  // namespace

BlocklistSettings ReadBlocklistSettings(const SettingsRecord& settings, std::string& problem) {
    BlocklistSettings blocklists;
    blocklists.zones = ListEntries(settings.DnsBlocklists);
    problem.clear();
    for (const std::string& entry : ListEntries(settings.DnsServers)) {
        ResolverAddress resolver;
        if (ParseResolverAddress(entry, resolver)) {
            blocklists.resolvers.push_back(resolver);
        } else {
            problem +=
                (problem.empty() ? "DNS blocklist: DnsServers entry \"" : ", \"") + entry + "\"";
        }
    }
    if (!problem.empty()) problem += " is not ip[:port]; left out";
    if (settings.DnsTimeout >= 1) {
        blocklists.timeoutMs =
            std::min(settings.DnsTimeout, kLongestDnsTimeoutSeconds) * kMillisecondsPerSecond;
    }
    return blocklists;
}

bool BlocklistsWanted() {
    std::string problem;
    return !ReadBlocklistSettings(CurrentSettings(), problem).zones.empty();
}

std::vector<std::vector<BlocklistListing>> LookUpRelayListings(std::span<const RawHeader> headers,
                                                               int slot) {
    std::vector<std::vector<BlocklistListing>> listings(headers.size());
    std::string problem;
    const SettingsRecord& settings = CurrentSettings();  // a reload may change the lists
    BlocklistSettings blocklists = ReadBlocklistSettings(settings, problem);
    if (blocklists.zones.empty()) return listings;

    // owner[k] is the header whose relay addresses[k] is.
    const auto depth = static_cast<size_t>(std::max(settings.DnsblDepth, 1));
    std::vector<std::string> addresses;
    std::vector<size_t> owner;
    for (size_t i = 0; i < headers.size(); ++i) {
        std::vector<IpAddress> relays = HeaderRelays(headers[i], depth);
        for (auto relay = relays.begin(); relay != relays.end(); ++relay) {
            // The same relay in two Received lines is one listing.
            if (std::find(relays.begin(), relay, *relay) != relay) continue;
            addresses.push_back(IpAddressText(*relay));
            owner.push_back(i);
        }
    }
    BlocklistReport report = CheckBlocklists(addresses, blocklists);
    // One line per scan, however many lookups failed.
    if (!problem.empty() && !report.problem.empty()) problem += "; ";
    problem += report.problem;
    if (!problem.empty()) WriteLog(problem, slot, kLogFailure);
    for (size_t k = 0; k < addresses.size(); ++k) {
        const BlocklistVerdict& verdict = report.verdicts[k];
        if (verdict.outcome != BlocklistOutcome::kListed) continue;
        listings[owner[k]].push_back({addresses[k], verdict.zone, verdict.reason});
    }
    return listings;
}
