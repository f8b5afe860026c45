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

// Long texts are converted in pieces; the pieces must join without a seam,
// also when line breaks shift every group against the piece boundaries.
TEST(Base64, LongTextsWithLineBreaksRoundTrip) {
    std::string text;
    for (int i = 0; i < 100001; ++i) text += static_cast<char>(i * 31 % 251);
    const std::string encoded = Base64Encode(text);
    ASSERT_EQ(encoded.size(), (text.size() + 2) / 3 * 4);
    std::string folded;
    for (size_t at = 0; at < encoded.size(); at += 76) folded += encoded.substr(at, 76) + "\r\n";
    EXPECT_EQ(Base64Decode(encoded), text);
    EXPECT_EQ(Base64Decode(folded), text);
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
