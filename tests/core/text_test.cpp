#include "core/text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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

TEST(TextTest, Utf8PrefixNeverEndsInsideACharacter) {
    const std::string text = "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a ü € 😀 z
    const std::vector<std::pair<size_t, std::string>> cases = {
        {0, ""},
        {1, "a"},
        {2, "a"},
        {3, "a\xC3\xBC"},
        {4, "a\xC3\xBC"},
        {5, "a\xC3\xBC"},
        {6, "a\xC3\xBC\xE2\x82\xAC"},
        {9, "a\xC3\xBC\xE2\x82\xAC"},
        {10, "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {99, text},
    };
    for (const auto& [limit, expected] : cases)
        EXPECT_EQ(Utf8Prefix(text, limit), expected) << limit;
    // Bytes that are not UTF-8 are cut as single bytes.
    EXPECT_EQ(Utf8Prefix("\x80\x80\x80\x80\x80", 3), "\x80\x80\x80");
    EXPECT_EQ(Utf8Prefix("ab\x80\x80", 3), "ab\x80");
}
