// IP addresses as the blocklist lookups see them: read from text (IPv4 and
// IPv6), sorted into the scopes a blocklist can or cannot say anything about,
// and turned into the names a blocklist zone is asked for.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

enum class IpFamily : int { kIpv4, kIpv6 };

// One address; an IPv4 one uses the first four bytes. Bytes in network order.
struct IpAddress {
    IpFamily family = IpFamily::kIpv4;
    std::array<uint8_t, 16> bytes{};

    friend auto operator<=>(const IpAddress&, const IpAddress&) = default;
};

// Reads "a.b.c.d" (four decimal parts, nothing lenient) or any IPv6 text form
// ("2001:db8::5", "::ffff:192.0.2.1"). An IPv4-mapped IPv6 address is read as
// the IPv4 address it carries, since the relay it names is that machine.
// Returns false, leaving `address` alone, for anything else (brackets, an
// "IPv6:" tag, a prefix length or surrounding spaces included).
bool ParseIpAddress(std::string_view text, IpAddress& address);

// Returns the usual text form ("192.0.2.1", "2001:db8::5").
std::string IpAddressText(const IpAddress& address);

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
