#include "dns/ip_address.h"

#include <gtest/gtest.h>

#include <string>

namespace {

IpAddress Parsed(const std::string& text) {
    IpAddress address;
    EXPECT_TRUE(ParseIpAddress(text, address)) << text;
    return address;
}

TEST(IpAddressTest, ScopesOfBothFamilies) {
    struct Case {
        const char* text;
        AddressScope scope;
    } cases[] = {
        {"81.2.69.160", AddressScope::kPublic},
        {"9.255.255.255", AddressScope::kPublic},
        {"10.0.0.0", AddressScope::kPrivate},
        {"10.255.255.255", AddressScope::kPrivate},
        {"11.0.0.0", AddressScope::kPublic},
        {"100.63.255.255", AddressScope::kPublic},
        {"100.64.0.0", AddressScope::kPrivate},
        {"100.127.255.255", AddressScope::kPrivate},
        {"100.128.0.0", AddressScope::kPublic},
        {"127.0.0.1", AddressScope::kLoopback},
        {"127.255.255.255", AddressScope::kLoopback},
        {"169.254.1.1", AddressScope::kLinkLocal},
        {"169.255.0.0", AddressScope::kPublic},
        {"172.15.255.255", AddressScope::kPublic},
        {"172.16.0.0", AddressScope::kPrivate},
        {"172.31.255.255", AddressScope::kPrivate},
        {"172.32.0.0", AddressScope::kPublic},
        {"192.168.1.1", AddressScope::kPrivate},
        {"0.0.0.0", AddressScope::kReserved},
        {"0.255.255.255", AddressScope::kReserved},
        {"192.0.0.8", AddressScope::kReserved},
        {"192.0.2.1", AddressScope::kReserved},
        {"192.0.3.0", AddressScope::kPublic},
        {"198.18.0.0", AddressScope::kReserved},
        {"198.19.255.255", AddressScope::kReserved},
        {"198.20.0.0", AddressScope::kPublic},
        {"198.51.100.7", AddressScope::kReserved},
        {"203.0.113.7", AddressScope::kReserved},
        {"223.255.255.255", AddressScope::kPublic},
        {"224.0.0.1", AddressScope::kReserved},
        {"255.255.255.255", AddressScope::kReserved},
        {"::ffff:10.0.0.1", AddressScope::kPrivate},  // judged as the IPv4 address
        {"2a00:1450:4001:82a::5", AddressScope::kPublic},
        {"2001::1", AddressScope::kPublic},
        {"3ffe::1", AddressScope::kPublic},
        {"1fff:ffff::1", AddressScope::kReserved},
        {"4000::1", AddressScope::kReserved},
        {"::", AddressScope::kReserved},
        {"::1", AddressScope::kLoopback},
        {"::2", AddressScope::kReserved},
        {"::81.2.69.160", AddressScope::kReserved},  // IPv4-compatible, withdrawn
        {"64:ff9b::8.8.8.8", AddressScope::kReserved},
        {"100::1", AddressScope::kReserved},
        {"2001:2::1", AddressScope::kReserved},
        {"2001:3::1", AddressScope::kPublic},
        {"2001:10::1", AddressScope::kReserved},
        {"2001:1f::1", AddressScope::kReserved},
        {"2001:20::1", AddressScope::kPublic},
        {"2001:db8::5", AddressScope::kReserved},
        {"2001:db9::5", AddressScope::kPublic},
        {"3fff:fff::1", AddressScope::kReserved},
        {"3fff:1000::1", AddressScope::kPublic},
        {"fc00::1", AddressScope::kPrivate},
        {"fdff:ffff::1", AddressScope::kPrivate},
        {"fe80::1", AddressScope::kLinkLocal},
        {"febf::1", AddressScope::kLinkLocal},
        {"fec0::1", AddressScope::kReserved},
        {"ff02::1", AddressScope::kReserved},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifyAddress(Parsed(c.text)), c.scope) << c.text;
    }
}

TEST(IpAddressTest, QueryNames) {
    struct Case {
        const char* address;
        const char* zone;
        const char* name;
    } cases[] = {
        {"192.0.2.99", "bl.example", "99.2.0.192.bl.example"},
        {"10.0.0.255", "BL.Example.", "255.0.0.10.bl.example"},
        {"::ffff:192.0.2.99", "bl.example", "99.2.0.192.bl.example"},
        // RFC 5782 section 2.4.
        {"2001:db8:1:2:3:4:567:89ab", "ugly.example.com",
         "b.a.9.8.7.6.5.0.4.0.0.0.3.0.0.0.2.0.0.0.1.0.0.0.8.b.d.0.1.0.0.2.ugly.example.com"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BlocklistQueryName(Parsed(c.address), c.zone), c.name);
    }
}

TEST(IpAddressTest, ResolverAddresses) {
    struct Case {
        const char* text;
        const char* address;  // nullptr: refused
        int port;
    } cases[] = {
        {"192.0.2.53", "192.0.2.53", 53},
        {"127.0.0.1:5353", "127.0.0.1", 5353},
        {"2001:db8::53", "2001:db8::53", 53},
        {"[2001:db8::53]", "2001:db8::53", 53},
        {"[::1]:65535", "::1", 65535},
        {"127.0.0.1:", nullptr, 0},
        {"127.0.0.1:0", nullptr, 0},
        {"127.0.0.1:65536", nullptr, 0},
        {"127.0.0.1:53x", nullptr, 0},
        {"127.0.0.1:-53", nullptr, 0},
        {"[::1]53", nullptr, 0},
        {"[::1", nullptr, 0},
        {"resolver.example:53", nullptr, 0},
        {"", nullptr, 0},
    };
    for (const Case& c : cases) {
        ResolverAddress resolver;
        resolver.port = 1;
        bool read = ParseResolverAddress(c.text, resolver);
        EXPECT_EQ(read, c.address != nullptr) << c.text;
        if (read) {
            EXPECT_EQ(IpAddressText(resolver.address), c.address) << c.text;
            EXPECT_EQ(resolver.port, c.port) << c.text;
        } else {
            EXPECT_EQ(resolver.port, 1) << c.text << ": left alone";
        }
    }
}

}  // namespace
