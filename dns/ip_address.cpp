#include "dns/ip_address.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "core/text.h"

namespace {

constexpr size_t kIpv4Bytes = 4;
constexpr size_t kIpv6Bytes = 16;
constexpr int kHighestPort = 65535;

struct SpecialBlock {
    std::string_view prefix;
    int length;
    AddressScope scope;
};

// First match wins, so a block inside a wider one comes before it.
constexpr SpecialBlock kSpecialBlocks[] = {
    {"0.0.0.0", 8, AddressScope::kReserved},  // "this network"
    {"10.0.0.0", 8, AddressScope::kPrivate},
    {"100.64.0.0", 10, AddressScope::kPrivate},  // shared by carrier-grade NAT
    {"127.0.0.0", 8, AddressScope::kLoopback},
    {"169.254.0.0", 16, AddressScope::kLinkLocal},
    {"172.16.0.0", 12, AddressScope::kPrivate},
    {"192.0.0.0", 24, AddressScope::kReserved},    // IETF protocol assignments
    {"192.0.2.0", 24, AddressScope::kReserved},    // documentation
    {"192.88.99.0", 24, AddressScope::kReserved},  // 6to4 relay anycast, withdrawn
    {"192.168.0.0", 16, AddressScope::kPrivate},
    {"198.18.0.0", 15, AddressScope::kReserved},    // benchmarking
    {"198.51.100.0", 24, AddressScope::kReserved},  // documentation
    {"203.0.113.0", 24, AddressScope::kReserved},   // documentation
    {"224.0.0.0", 4, AddressScope::kReserved},      // multicast
    {"240.0.0.0", 4, AddressScope::kReserved},      // future use, broadcast
    {"::1", 128, AddressScope::kLoopback},
    {"fc00::", 7, AddressScope::kPrivate},  // unique local
    {"fe80::", 10, AddressScope::kLinkLocal},
    {"2001:2::", 48, AddressScope::kReserved},    // benchmarking
    {"2001:10::", 28, AddressScope::kReserved},   // ORCHID, withdrawn
    {"2001:db8::", 32, AddressScope::kReserved},  // documentation
    {"3fff::", 20, AddressScope::kReserved},      // documentation
    {"2000::", 3, AddressScope::kPublic},         // the only global unicast block
    // The rest: unspecified, IPv4-compatible, translation prefixes,
    // discard-only, site-local, multicast and the unallocated space.
    {"::", 0, AddressScope::kReserved},
};

struct ParsedBlock {
    IpAddress prefix;
    int length;
    AddressScope scope;
};

const std::vector<ParsedBlock>& SpecialBlocks() {
    static const auto& blocks = *[] {
        auto* parsed = new std::vector<ParsedBlock>();
        for (const SpecialBlock& block : kSpecialBlocks) {
            IpAddress prefix;
            ParseIpAddress(block.prefix, prefix);
            parsed->push_back({prefix, block.length, block.scope});
        }
        return parsed;
    }();
    return blocks;
}

bool ParsePort(std::string_view text, int& port) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    if (value < 1 || value > kHighestPort) return false;
    port = value;
    return true;
}

}  // namespace

AddressScope ClassifyAddress(const IpAddress& address) {
    for (const ParsedBlock& block : SpecialBlocks()) {
        if (InPrefix(address, block.prefix, block.length)) return block.scope;
    }
    return AddressScope::kPublic;
}

std::string BlocklistQueryName(const IpAddress& address, std::string_view zone) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string name;
    if (address.family == IpFamily::kIpv4) {
        for (size_t i = kIpv4Bytes; i-- > 0;) {
            name += std::to_string(address.bytes[i]);
            name += '.';
        }
    } else {
        for (size_t i = kIpv6Bytes; i-- > 0;) {
            name += kHexDigits[address.bytes[i] & 0x0F];
            name += '.';
            name += kHexDigits[address.bytes[i] >> 4];
            name += '.';
        }
    }
    while (!zone.empty() && zone.back() == '.') zone.remove_suffix(1);
    return name + LowerCase(zone);
}

bool ParseResolverAddress(std::string_view text, ResolverAddress& resolver) {
    ResolverAddress parsed;
    std::string_view host = text;
    if (StartsWith(text, "[")) {
        size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        host = text.substr(1, close - 1);
        std::string_view after = text.substr(close + 1);
        if (!after.empty() && (after[0] != ':' || !ParsePort(after.substr(1), parsed.port))) {
            return false;
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        size_t colon = text.find(':');
        host = text.substr(0, colon);
        if (!ParsePort(text.substr(colon + 1), parsed.port)) return false;
    }
    if (!ParseIpAddress(host, parsed.address)) return false;
    resolver = parsed;
    return true;
}
