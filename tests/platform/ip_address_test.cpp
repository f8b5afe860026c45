#include "platform/ip_address.h"

#include <gtest/gtest.h>

#include <string>

namespace {

IpAddress Parsed(const std::string& text) {
    IpAddress address;
    EXPECT_TRUE(ParseIpAddress(text, address)) << text;
    return address;
}

TEST(IpAddressTest, ReadsBothFamiliesStrictly) {
    struct Case {
        const char* text;
        const char* shown;  // nullptr: not an address
    } cases[] = {
        {"192.0.2.1", "192.0.2.1"},
        {"2001:DB8:0:0::5", "2001:db8::5"},
        {"::ffff:81.2.69.160", "81.2.69.160"},  // mapped: the IPv4 relay
        {"::FFFF:5102:45a0", "81.2.69.160"},
        {"::1", "::1"},
        {"", nullptr},
        {"192.0.2", nullptr},
        {"127.1", nullptr},  // the lenient forms the socket layer reads are no relay
        {"192.0.2.1.5", nullptr},
        {"256.0.2.1", nullptr},
        {"0x7f.0.0.1", nullptr},
        {" 192.0.2.1", nullptr},
        {"192.0.2.1/24", nullptr},
        {"[2001:db8::5]", nullptr},
        {"IPv6:2001:db8::5", nullptr},
        {"2001:db8::5::1", nullptr},
        {"2001:db8::g", nullptr},
    };
    for (const Case& c : cases) {
        IpAddress address;
        address.bytes[0] = 99;
        bool read = ParseIpAddress(c.text, address);
        EXPECT_EQ(read, c.shown != nullptr) << c.text;
        if (read) {
            EXPECT_EQ(IpAddressText(address), c.shown);
        } else {
            EXPECT_EQ(address.bytes[0], 99) << c.text << ": left alone";
        }
    }
}

TEST(IpAddressTest, Ipv6TextAsRfc5952WritesIt) {
    struct Case {
        const char* text;
        const char* shown;
    } cases[] = {
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},  // lower case, no zeros
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},               // the first of equal runs
        {"2001:db8:0:0:0:1:0:0", "2001:db8::1:0:0"},                 // the longest run
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},            // one zero field stays
        {"0:0:0:0:0:0:0:0", "::"},
        {"fe80:0:0:0:0:0:0:1", "fe80::1"},
    };
    for (const Case& c : cases) EXPECT_EQ(IpAddressText(Parsed(c.text)), c.shown) << c.text;
}

TEST(IpAddressTest, Ipv4ValuesAndOrder) {
    EXPECT_EQ(Ipv4Address(0x7F000001u), Parsed("127.0.0.1"));
    EXPECT_EQ(Ipv4Value(Parsed("192.0.2.1")), 0xC0000201u);
    EXPECT_EQ(Ipv4Value(Parsed("::1")), 0u);
    // Bytes as the system hands them over: a mapped address is its IPv4 one.
    const uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 1};
    EXPECT_EQ(Ipv6Address(mapped), Parsed("192.0.2.1"));
    const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(Ipv6Address(loopback), Parsed("::1"));
    // Within a family the order is the numeric one; IPv4 sorts first.
    EXPECT_LT(Parsed("9.255.255.255"), Parsed("10.0.0.0"));
    EXPECT_LT(Parsed("2001:db8::ffff"), Parsed("2001:db8::1:0"));
    EXPECT_LT(Parsed("255.255.255.255"), Parsed("::"));
}

TEST(IpAddressTest, PrefixBlocks) {
    struct Case {
        const char* address;
        int length;
        const char* start;
        const char* end;
    } cases[] = {
        {"2001:db8:1234::5", 32, "2001:db8::", "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"2001:db8::5", 127, "2001:db8::4", "2001:db8::5"},
        {"2001:db8::5", 128, "2001:db8::5", "2001:db8::5"},
        {"2001:db8::5", 200, "2001:db8::5", "2001:db8::5"},  // beyond the size: itself
        {"2001:db8::5", 0, "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"fe80::1", 10, "fe80::", "febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},  // inside a byte
        {"192.0.2.77", 24, "192.0.2.0", "192.0.2.255"},
        {"192.0.2.77", 33, "192.0.2.77", "192.0.2.77"},
        {"192.0.2.77", -1, "0.0.0.0", "255.255.255.255"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + "/" + std::to_string(c.length));
        EXPECT_EQ(IpAddressText(PrefixStart(Parsed(c.address), c.length)), c.start);
        EXPECT_EQ(IpAddressText(PrefixEnd(Parsed(c.address), c.length)), c.end);
    }
    EXPECT_TRUE(InPrefix(Parsed("2001:db8:ffff::1"), Parsed("2001:db8::"), 32));
    EXPECT_FALSE(InPrefix(Parsed("2001:db9::1"), Parsed("2001:db8::"), 32));
    // The families never share a block, not even the one of every address.
    EXPECT_FALSE(InPrefix(Parsed("10.0.0.1"), Parsed("::"), 0));
    EXPECT_FALSE(InPrefix(Parsed("::a00:1"), Parsed("10.0.0.0"), 8));
}

}  // namespace
