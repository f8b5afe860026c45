#include "core/text.h"

#include <gtest/gtest.h>

TEST(TextTest, UpperAndLowerCaseMapAsciiAndTheSevenCodePagePairs) {
    const std::string small = "az\x84\x94\x81\x82\xA4\x86\x87";
    const std::string capital = "AZ\x8E\x99\x9A\x90\xA5\x8F\x80";
    EXPECT_EQ(UpperCase(small), capital);
    EXPECT_EQ(LowerCase(capital), small);
    // Bytes without a partner stay, both ways (0xE1 sharp s, 0x9B cent sign).
    const std::string others = std::string("1_[{\xE1\x9B\xFF", 7) + std::string(1, '\0');
    EXPECT_EQ(UpperCase(others), others);
    EXPECT_EQ(LowerCase(others), others);
}

TEST(TextTest, NumberTextHasLeadingSpaceForZeroAndAbove) {
    EXPECT_EQ(NumberText(0), " 0");
    EXPECT_EQ(NumberText(12), " 12");
    EXPECT_EQ(NumberText(-3), "-3");
}

TEST(TextTest, TrimRemovesSpacesOnly) {
    EXPECT_EQ(Trim("  a b  "), "a b");
    EXPECT_EQ(Trim("\ta\t"), "\ta\t");
    EXPECT_EQ(Trim("    "), "");
    EXPECT_EQ(TrimRight("  a  "), "  a");
}

TEST(TextTest, LeadingNumberAndFields) {
    EXPECT_EQ(LeadingNumber("1234 octets"), 1234);
    EXPECT_EQ(LeadingNumber("-1"), -1);
    EXPECT_EQ(LeadingNumber("x1"), 0);
    EXPECT_EQ(LeadingNumber(""), 0);
    EXPECT_GT(LeadingNumber("99999999999999999999999999"), 0);  // saturates, no overflow
    EXPECT_EQ(Field("+OK 7 1234", 0), "+OK");
    EXPECT_EQ(Field("+OK 7 1234", 2), "1234");
    EXPECT_EQ(Field("+OK 7 1234", 3), "");
    EXPECT_EQ(Field("a  b", 1), "");  // split at every single space
    EXPECT_EQ(Field("a  b", 2), "b");
}

TEST(TextTest, EditDistanceCountsInsertionsDeletionsAndReplacements) {
    struct Case {
        const char* a;
        const char* b;
        size_t distance;
    } cases[] = {
        {"", "", 0},
        {"", "abc", 3},
        {"abc", "", 3},
        {"POP3PORTOUTGOIN", "POP3PORTOUTGOING", 1},
        {"KITTEN", "SITTING", 3},
        {"FLAW", "LAWN", 2},
        {"ab", "ba", 2},  // a swap is two steps
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EditDistance(c.a, c.b), c.distance) << c.a << " / " << c.b;
        EXPECT_EQ(EditDistance(c.b, c.a), c.distance) << c.b << " / " << c.a;
    }
}
