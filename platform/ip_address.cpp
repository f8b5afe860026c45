#include "platform/ip_address.h"

#include <arpa/inet.h>

#include <algorithm>

namespace {

constexpr size_t kIpv4Bytes = 4;
constexpr size_t kLongestAddressText = INET6_ADDRSTRLEN;  // what inet_pton reads at most

// The IPv4-mapped block ::ffff:0:0/96 (RFC 4291 section 2.5.5.2).
constexpr std::array<uint8_t, 12> kMappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

int FamilyBits(IpFamily family) {
    return family == IpFamily::kIpv4 ? kIpv4Bits : kIpv6Bits;
}

// Sets the bits after the first `prefixLength` to `hostBits`.
IpAddress WithHostBits(const IpAddress& address, int prefixLength, bool hostBits) {
    IpAddress result = address;
    int bits = FamilyBits(address.family);
    int kept = std::clamp(prefixLength, 0, bits);
    for (int bit = kept; bit < bits; ++bit) {
        auto mask = static_cast<uint8_t>(0x80u >> (bit % 8));
        uint8_t& byte = result.bytes[static_cast<size_t>(bit / 8)];
        byte = hostBits ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
    }
    return result;
}

}  // namespace

bool ParseIpAddress(std::string_view text, IpAddress& address) {
    if (text.empty() || text.size() >= kLongestAddressText) return false;
    std::string terminated(text);
    IpAddress parsed;
    if (inet_pton(AF_INET, terminated.c_str(), parsed.bytes.data()) == 1) {
        parsed.family = IpFamily::kIpv4;
    } else if (inet_pton(AF_INET6, terminated.c_str(), parsed.bytes.data()) == 1) {
        parsed = Ipv6Address(parsed.bytes.data());
    } else {
        return false;
    }
    address = parsed;
    return true;
}

std::string IpAddressText(const IpAddress& address) {
    char text[kLongestAddressText] = {};
    int family = address.family == IpFamily::kIpv4 ? AF_INET : AF_INET6;
    inet_ntop(family, address.bytes.data(), text, sizeof text);
    return text;
}

IpAddress Ipv4Address(uint32_t value) {
    IpAddress address;
    for (size_t i = 0; i < kIpv4Bytes; ++i) {
        address.bytes[i] = static_cast<uint8_t>(value >> (8 * (kIpv4Bytes - 1 - i)));
    }
    return address;
}

IpAddress Ipv6Address(const uint8_t* bytes) {
    IpAddress address;
    if (std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), bytes)) {
        std::copy(bytes + kMappedPrefix.size(), bytes + address.bytes.size(),
                  address.bytes.begin());
    } else {
        address.family = IpFamily::kIpv6;
        std::copy(bytes, bytes + address.bytes.size(), address.bytes.begin());
    }
    return address;
}

uint32_t Ipv4Value(const IpAddress& address) {
    if (address.family != IpFamily::kIpv4) return 0;
    uint32_t value = 0;
    for (size_t i = 0; i < kIpv4Bytes; ++i) value = (value << 8) | address.bytes[i];
    return value;
}

IpAddress PrefixStart(const IpAddress& address, int prefixLength) {
    return WithHostBits(address, prefixLength, false);
}

IpAddress PrefixEnd(const IpAddress& address, int prefixLength) {
    return WithHostBits(address, prefixLength, true);
}

bool InPrefix(const IpAddress& address, const IpAddress& prefix, int prefixLength) {
    return address.family == prefix.family &&
           PrefixStart(address, prefixLength) == PrefixStart(prefix, prefixLength);
}

IpAddress LoopbackAddress(IpFamily family) {
    if (family == IpFamily::kIpv4) return Ipv4Address(INADDR_LOOPBACK);
    IpAddress address = AnyAddress(IpFamily::kIpv6);
    address.bytes.back() = 1;
    return address;
}

IpAddress AnyAddress(IpFamily family) {
    IpAddress address;
    address.family = family;
    return address;
}
