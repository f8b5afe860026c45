#include "net/allowed_servers.h"

#include <algorithm>
#include <charconv>

#include "core/text.h"

namespace {

constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;
constexpr std::string_view kPatternStart = "*.";

// Calls `take` with each comma-separated entry of the value, blanks around
// it dropped; empty entries are skipped.
template <typename Take>
void ForEachEntry(std::string_view value, Take take) {
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) comma = value.size();
        const std::string entry = Trim(value.substr(start, comma - start));
        if (!entry.empty()) take(entry);
        start = comma + 1;
    }
}

// Reads a decimal number that is the whole text; false for anything else.
bool WholeNumber(std::string_view text, int& number) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, number);
    return error == std::errc() && stop == end;
}

// An address, or an address and a prefix length within its family's bits.
bool ReadPrefix(std::string_view entry, AddressRange& range) {
    const size_t slash = entry.find('/');
    IpAddress address;
    if (!ParseIpAddress(entry.substr(0, slash), address)) return false;
    const int bits = address.family == IpFamily::kIpv4 ? kIpv4Bits : kIpv6Bits;
    int length = bits;
    if (slash != std::string_view::npos &&
        (!WholeNumber(entry.substr(slash + 1), length) || length < 0 || length > bits)) {
        return false;
    }
    range.low = PrefixStart(address, length);
    range.high = PrefixEnd(address, length);
    range.text = std::string(entry);
    return true;
}

// A name as it is compared: upper case, without the dot that may end a
// fully qualified name.
std::string ComparedName(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    return UpperCase(name);
}

// Letters, digits, "-", "_" and dots between labels: what a host name may
// hold. Anything else in an entry is a typing error, not a name.
bool LooksLikeName(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.find("..") != std::string_view::npos) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.';
    });
}

// The host of a login without the brackets an IPv6 address is written in.
std::string_view Unbracketed(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

}  // namespace

ServerAllowList::ServerAllowList(std::string_view value) {
    ForEachEntry(value, [this](const std::string& entry) {
        restricted_ = true;
        AddressRange range;
        if (ReadPrefix(entry, range)) {
            ranges_.push_back(range);
        } else if (StartsWith(entry, kPatternStart) &&
                   LooksLikeName(std::string_view(entry).substr(kPatternStart.size()))) {
            domains_.push_back(ComparedName(std::string_view(entry).substr(1)));
        } else if (LooksLikeName(entry) && entry.find('/') == std::string::npos) {
            names_.push_back(ComparedName(entry));
        } else {
            invalid_.push_back(entry);
        }
    });
}

bool ServerAllowList::AllowsAddress(const IpAddress& address) const {
    return FindAddressRange(ranges_, address) != nullptr;
}

bool ServerAllowList::AllowsHost(std::string_view host) const {
    if (!restricted_) return true;
    IpAddress address;
    if (ParseIpAddress(Unbracketed(host), address)) return AllowsAddress(address);
    const std::string name = ComparedName(host);
    if (name.empty()) return false;
    if (std::find(names_.begin(), names_.end(), name) != names_.end()) return true;
    return std::any_of(domains_.begin(), domains_.end(), [&name](const std::string& domain) {
        return name.size() > domain.size() && name.ends_with(domain);
    });
}

bool ServerAllowList::AllowsResolved(std::string_view host,
                                     std::span<const IpAddress> addresses) const {
    if (AllowsHost(host)) return true;
    return !addresses.empty() &&
           std::all_of(addresses.begin(), addresses.end(),
                       [this](const IpAddress& address) { return AllowsAddress(address); });
}

std::vector<int> AllowedPortList(std::string_view value, std::span<const int> defaults,
                                 std::vector<std::string>* invalid) {
    std::vector<int> ports;
    bool listed = false;
    ForEachEntry(value, [&](const std::string& entry) {
        listed = true;
        int port = 0;
        if (WholeNumber(entry, port) && port >= kLowestPort && port <= kHighestPort) {
            ports.push_back(port);
        } else if (invalid != nullptr) {
            invalid->push_back(entry);
        }
    });
    if (!listed) ports.assign(defaults.begin(), defaults.end());
    return ports;
}

std::vector<std::string> AllowedServersProblems(std::string_view value) {
    std::vector<std::string> problems;
    const ServerAllowList list(value);
    for (const std::string& entry : list.invalid()) {
        problems.push_back("entry \"" + entry +
                           "\" of AllowedServers is no host name, *.domain pattern, address or "
                           "prefix; write entries as pop.example.com, *.example.com, 192.0.2.7 "
                           "or 192.0.2.0/24, separated by commas");
    }
    return problems;
}

std::vector<std::string> AllowedPortsProblems(std::string_view value) {
    std::vector<std::string> invalid;
    AllowedPortList(value, {}, &invalid);
    std::vector<std::string> problems;
    for (const std::string& entry : invalid) {
        const bool digits =
            std::all_of(entry.begin(), entry.end(), [](char c) { return c >= '0' && c <= '9'; });
        const std::string what = digits ? " is out of range 1..65535" : " is not a port number";
        problems.push_back("entry \"" + entry + "\" of AllowedPorts" + what +
                           "; write port numbers separated by commas (as AllowedPorts=110,995), "
                           "or nothing for each protocol's standard ports");
    }
    return problems;
}
