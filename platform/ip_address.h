// IP addresses of both families as every layer sees them: the peers of the
// sockets, the entries of the address lists, the relays of Received lines and
// the addresses a blocklist is asked about.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

enum class IpFamily : int { kIpv4, kIpv6 };

inline constexpr int kIpv4Bits = 32;
inline constexpr int kIpv6Bits = 128;

// One address; an IPv4 one uses the first four bytes and leaves the others 0.
// Bytes in network order, so that the ordering below is the numeric one
// within a family (IPv4 addresses sort before IPv6 ones).
struct IpAddress {
    IpFamily family = IpFamily::kIpv4;
    std::array<uint8_t, 16> bytes{};

    friend auto operator<=>(const IpAddress&, const IpAddress&) = default;
};

// Reads "a.b.c.d" (four decimal parts, nothing lenient) or any IPv6 text form
// ("2001:db8::5", "::ffff:192.0.2.1"). An IPv4-mapped IPv6 address is read as
// the IPv4 address it carries: it names that IPv4 machine. Returns false,
// leaving `address` alone, for anything else (brackets, an "IPv6:" tag, a
// zone, a prefix length or surrounding spaces included).
bool ParseIpAddress(std::string_view text, IpAddress& address);

// Returns the usual text form: dotted IPv4 ("192.0.2.1"), IPv6 as RFC 5952
// writes it ("2001:db8::5").
std::string IpAddressText(const IpAddress& address);

// Returns the IPv4 address whose value is `value` (first dotted part most
// significant: 0x7F000001 is 127.0.0.1).
IpAddress Ipv4Address(uint32_t value);

// Returns the address of 16 bytes in network order: an IPv6 address, or the
// IPv4 address an IPv4-mapped one carries (::ffff:192.0.2.1 is 192.0.2.1).
IpAddress Ipv6Address(const uint8_t* bytes);

// Returns the value of an IPv4 address (first dotted part most significant);
// 0 for an IPv6 address.
uint32_t Ipv4Value(const IpAddress& address);

// Returns the first and the last address of the block of `prefixLength`
// leading bits that holds `address` (host bits cleared, or set). A length
// beyond the family's size counts as the whole address, a negative one as 0.
IpAddress PrefixStart(const IpAddress& address, int prefixLength);
IpAddress PrefixEnd(const IpAddress& address, int prefixLength);

// Returns true when `address` is of the family of `prefix` and shares its
// first `prefixLength` bits.
bool InPrefix(const IpAddress& address, const IpAddress& prefix, int prefixLength);

// 127.0.0.1 or ::1; 0.0.0.0 or :: (every address of the family).
IpAddress LoopbackAddress(IpFamily family = IpFamily::kIpv4);
IpAddress AnyAddress(IpFamily family = IpFamily::kIpv4);
