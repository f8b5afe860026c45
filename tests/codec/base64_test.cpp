#include "codec/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Vector {
    std::string plain;
    std::string encoded;
};

// RFC 4648, section 10.
const Vector kRfcVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, RfcVectorsBothWays) {
    for (const Vector& v : kRfcVectors) {
        EXPECT_EQ(Base64Encode(v.plain), v.encoded) << v.plain;
        EXPECT_EQ(Base64Decode(v.encoded), v.plain) << v.encoded;
    }
}

TEST(Base64, EveryByteValueAndNoLineBreaks) {
    std::string all;
    for (int round = 0; round < 3; ++round) {
        for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    }
    std::string encoded = Base64Encode(all);
    EXPECT_EQ(encoded.size(), (all.size() + 2) / 3 * 4);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(encoded.substr(0, 8), "AAECAwQF");
    EXPECT_EQ(encoded.substr(encoded.size() - 4), "/f7/");
    EXPECT_EQ(Base64Decode(encoded), all);
}

TEST(Base64, DecodingSkipsForeignCharactersAndPadding) {
    const Vector cases[] = {
        {"Hallo", "SGFs\r\nbG8="},
        {"", "S"},
        {"H", "SG"},
        {"Ha", "SGE"},
        {"Hallo!", "SGFsbG8h"},
        // Padding neither ends nor restarts the group in progress.
        {"foobar", "Zm9v=YmFy"},
        {"foobar", "Zm=9vYm==Fy"},
        {"foob", " Zm 9v\tYg ** "},
        {"", "====\r\n"},
        {"\xff\xfe", "//4"},
        {"\xfb", "-_+/"},  // "-" and "_" (the URL alphabet) are foreign here
    };
    for (const Vector& c : cases) {
        EXPECT_EQ(Base64Decode(c.encoded), c.plain) << c.encoded;
    }
}

}  // namespace
