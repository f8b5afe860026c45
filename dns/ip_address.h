// What the blocklist lookups add to IP addresses (platform/ip_address.h):
// the scopes a blocklist can or cannot say anything about, the names a
// blocklist zone is asked for, and the resolvers the questions go to.
#pragma once

#include <string>
#include <string_view>

#include "platform/ip_address.h"

// Where an address lives. Only kPublic addresses are worth asking a blocklist
// about: the others never hand mail over across the Internet, and asking
// about them leaks the local network's layout to the list's operator.
enum class AddressScope : int {
    kPublic,
    kPrivate,    // 10/8, 172.16/12, 192.168/16, 100.64/10 (carrier NAT), fc00::/7
    kLoopback,   // 127/8, ::1
    kLinkLocal,  // 169.254/16, fe80::/10
    kReserved,   // unspecified, documentation, benchmarking, multicast, future use,
                 // IETF protocol blocks; for IPv6 everything outside 2000::/3 besides
                 // the blocks above
};

// Returns the scope of the address, from the special-purpose registries of
// both families (RFC 6890 and its updates).
AddressScope ClassifyAddress(const IpAddress& address);

// Returns the name to ask `zone` about the address (RFC 5782): the four
// octets in reverse order for IPv4 ("2.0.0.127.zone"), the 32 nibbles of an
// IPv6 address in reverse order ("b.a.9.8. ... .2.zone"), in lower case.
std::string BlocklistQueryName(const IpAddress& address, std::string_view zone);

// A resolver to send the lookups to.
inline constexpr int kDnsPort = 53;
struct ResolverAddress {
    IpAddress address;
    int port = kDnsPort;
};

// Reads "ip[:port]": "192.0.2.53", "192.0.2.53:5353", "2001:db8::53",
// "[2001:db8::53]" or "[2001:db8::53]:5353" (an IPv6 address takes a port
// only inside brackets). Returns false, leaving `resolver` alone, when the
// address is not one or the port is not a number in 1..65535.
bool ParseResolverAddress(std::string_view text, ResolverAddress& resolver);
