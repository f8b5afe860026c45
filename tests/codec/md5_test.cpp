#include "codec/md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct DigestCase {
    std::string text;
    const char* hex;
};

// The test suite of RFC 1321, appendix A.5.
const DigestCase kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
     "0",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

// Zero bytes are digested like any other byte: the whole length counts.
const DigestCase kZeroBytes[] = {
    {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b"},
    {std::string(1, '\0'), "93b885adfe0da089cdf634904fd59f71"},
    {std::string(3, '\0'), "693e9af84d3dfcc71e640e005bdc5e2e"},
};

std::string HexOf(const std::string& bytes) {
    std::string hex;
    char pair[3];
    for (unsigned char byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

TEST(Md5, Rfc1321Suite) {
    for (const auto& c : kRfc1321) {
        EXPECT_EQ(Md5Hex(c.text), c.hex) << '"' << c.text << '"';
        const std::string raw = Md5Digest(c.text);
        EXPECT_EQ(raw.size(), 16u);
        EXPECT_EQ(HexOf(raw), c.hex);
    }
}

TEST(Md5, ZeroBytes) {
    for (const auto& c : kZeroBytes) {
        EXPECT_EQ(Md5Hex(c.text), c.hex) << "length " << c.text.size();
    }
}

struct HmacCase {
    std::string key;
    std::string text;
    const char* hex;
};

// RFC 2202, section 2 (the HMAC-MD5 cases; case 1 and 2 are those of RFC 2104).
const HmacCase kRfc2202[] = {
    {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
    {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
    {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
    {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16"
     "\x17\x18\x19",
     std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
    {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
    {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
     "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
    {std::string(80, '\xaa'),
     "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
     "6f630fad67cda0ee1fb1f562db3aa53e"},
    // Zero bytes in key and text count like any other byte.
    {std::string("k\0ey", 4), std::string("te\0xt", 5), "93011e2eefb48cd81b5b71d8e4b68f26"},
    // An empty password keys CRAM-MD5 with the empty key.
    {"", "", "74e6f7298a9c2d168935f58c001bad88"},
};

TEST(HmacMd5, Rfc2202Vectors) {
    for (const auto& c : kRfc2202) {
        EXPECT_EQ(HmacMd5Hex(c.text, c.key), c.hex) << c.text;
    }
}

// The two uses in logins, with the examples of their RFCs: APOP (RFC 1939)
// digests stamp + secret; CRAM-MD5 (RFC 2195) keys the HMAC with the password
// and hashes the challenge, which catches swapped arguments.
TEST(Md5, LoginExamplesOfTheirRfcs) {
    EXPECT_EQ(Md5Hex("<1896.697170952@dbc.mtview.ca.us>tanstaaf"),
              "c4c9334bac560ecc979e58001b3e22fb");
    EXPECT_EQ(HmacMd5Hex("<1896.697170952@postoffice.reston.mci.net>", "tanstaaftanstaaf"),
              "b913a602c7eda7a495b4e6e7334d3890");
}

}  // namespace
