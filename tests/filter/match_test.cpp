#include "filter/match.h"

#include <gtest/gtest.h>

#include "filter/rules.h"
#include "filter_test_util.h"

namespace {

struct MatchCase {
    const char* pattern;
    std::string text;
    FilterOptions options;
    int expected;
};

TEST(MatchPattern, Wildcards) {
    const FilterOptions none = 0;
    const MatchCase cases[] = {
        // Without wildcards the pattern is the whole field.
        {"HELLO", "Hello", none, 1},
        {"HELLO", "Hello world", none, 0},
        {"HELLO", "Hell", none, 0},
        {"", "", none, 1},
        {"", "x", none, 0},
        // The text is upper-cased unless C; the pattern never is here.
        {"HELLO", "hello", kOptionC, 0},
        {"hello", "hello", kOptionC, 1},
        {"hello", "hello", none, 0},
        // Code page letters fold too: 0x84 (a umlaut) to 0x8E.
        {"M\x8E"
         "DCHEN",
         "m\x84"
         "dchen",
         none, 1},
        {"?ELLO", "hello", none, 1},
        {"H?LLO", "HLLO", none, 0},
        {"HELLO?", "HELLO", none, 0},
        {"*", "", none, 1},
        {"*", "anything", none, 1},
        {"*LO", "hello", none, 1},
        {"H*", "hello", none, 1},
        {"*ELL*", "hello", none, 1},
        {"*XYZ*", "hello", none, 0},
        {"H*O", "hello", none, 1},
        // Only the first occurrence of a floating piece is tried.
        {"*AB", "ABXAB", none, 0},
        {"*AB", "XXAB", none, 1},
        {"*A*B", "AXB", none, 1},
        {"*A?C", "ABXAXC", none, 0},
        // A run of stars counts as one; "?" after a star takes a character.
        {"**LO", "hello", none, 1},
        {"*?LO", "LO", none, 0},
        {"*?LO", "xLO", none, 1},
        // The end of the pattern may meet a value separator.
        {"FOO",
         "foo\xFF"
         "bar\xFF",
         none, 1},
        {"BAR",
         "foo\xFF"
         "bar\xFF",
         none, 0},
        {"*BAR",
         "foo\xFF"
         "bar\xFF",
         none, 1},
        {"*BA",
         "foo\xFF"
         "bar\xFF",
         none, 0},
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " / " + c.text);
        EXPECT_EQ(MatchPattern(c.pattern, c.text, c.options, false), c.expected);
    }
}

TEST(MatchPattern, WholeWordChecksOnlyTheOpenEndsOfTheFirstOccurrence) {
    const MatchCase cases[] = {
        {"*FREE*", "get free stuff", kOptionG, 1},
        {"*FREE*", "free", kOptionG, 1},
        {"*FREE*", "free!", kOptionG, 1},
        {"*FREE*", "(free)", kOptionG, 1},
        {"*FREE*", "freedom is free", kOptionG, 0},
        {"*FREE*", "freedom is free", 0, 1},
        {"*FREE*", "carefree", kOptionG, 0},
        {"*FREE*", "free2go", kOptionG, 0},  // digits are word characters
        {"*FREE*", "free_x", kOptionG, 0},
        {"*FREE*", "free\x81", kOptionG, 0},  // bytes from 0x80 up are letters
        // Only a piece right after a leading "*" is checked on its left, and
        // only a piece before the closing "*" on its right.
        {"X*FREE*", "xcarefree", kOptionG, 1},
        {"*FREE", "carefree", kOptionG, 0},
        {"*FREE", "a free", kOptionG, 1},
        {"*FR*EE", "afr ee", kOptionG, 0},
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " / " + c.text);
        EXPECT_EQ(MatchPattern(c.pattern, c.text, c.options, false), c.expected);
    }
}

TEST(MatchPattern, RegularExpressionsSearchTheUpperCasedTextWithLineEnd) {
    const MatchCase cases[] = {
        {"RE: *[0-9]+", "Re: 12", 0, 1},
        {"RE: *[0-9]+", "Re: ab", 0, 0},
        // The appended CR LF is part of the searched text, so "$" (end, or
        // before a final LF) never meets the field's end.
        {"^SALE\\r\\n", "sale", 0, 1},
        {"^SALE$", "sale", 0, 0},
        {"e\\r\\n", "sale", kOptionC, 1},
        {"[a-z]+", "ABC", kOptionC, 0},
        {"[a-z]+", "abc", kOptionC, 1},
        // Without C the caller upper-cases the whole expression, escape
        // letters included: "\d" becomes "\D", which the CR LF satisfies.
        {"\\D+", "123", 0, 1},
        {"^\\d+$", "abc", kOptionC, 0},
        {"([A-", "anything", 0, 0},  // does not compile
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " / " + c.text);
        EXPECT_EQ(MatchPattern(c.pattern, c.text, c.options, true), c.expected);
    }
}

TEST(IsWordSeparator, BelowCapitalAExceptDigits) {
    for (int c = 0; c < 256; ++c) {
        bool expected = c < 65 && !(c >= '0' && c <= '9');
        EXPECT_EQ(IsWordSeparator(static_cast<char>(c)), expected) << c;
    }
}

struct OptionsCase {
    const char* part;  // upper-cased, with <EA>
    FilterOptions expected;
    std::vector<std::string> names;
};

TEST(ParseRuleOptions, LettersDefaultsAndHeaderNames) {
    const FilterOptions sm = kOptionS | kOptionM;
    const OptionsCase cases[] = {
        {"\"*X*\"", sm, {}},
        {"<EA>", sm, {}},
        {"<EA>S", sm, {}},
        {"<EA>N", kOptionN | kOptionM, {}},
        {"<EA>B", kOptionB | kOptionM, {}},
        {"<EA>V", kOptionV | kOptionM, {}},
        {"<EA>SCGXQ", sm | kOptionC | kOptionG | kOptionX | kOptionQ, {}},
        {"<EA>YIRL", sm | kOptionY | kOptionI | kOptionR | kOptionL, {}},
        // Any letter of the E..- group suppresses the default M.
        {"<EA>SE", kOptionS | kOptionE, {}},
        {"<EA>S+", kOptionS | kOptionPlus, {}},
        {"<EA>S-KHDPF",
         kOptionS | kOptionMinus | kOptionK | kOptionH | kOptionD | kOptionP | kOptionF,
         {}},
        {"<EA>Z9!", sm, {}},
        // The word ends at the first space, and only the first marker counts.
        {"<EA>S N", sm, {}},
        {"\"*A*\" <EA>N <EA>S", kOptionN | kOptionM, {}},
        // Header names: no default S then.
        {"<EA>\"X-MAILER:\"", kOptionM, {"X-MAILER:"}},
        {"<EA>\"X-MAILER:ORGANIZATION:\"N", kOptionN | kOptionM, {"X-MAILER:", "ORGANIZATION:"}},
        {"<EA>S\"MID:\"\"BEZ:\"", sm, {"MID:", "BEZ:"}},
        {"<EA>\"A:B\"", kOptionM, {"A:", "B"}},
        // Without a closing quote the rest of the word is the name.
        {"<EA>S\"LEN:", sm, {"LEN:"}},
    };
    for (const OptionsCase& c : cases) {
        SCOPED_TRACE(c.part);
        std::vector<std::string> names{"left over"};
        EXPECT_EQ(ParseRuleOptions(Bytes(c.part), names), c.expected);
        EXPECT_EQ(names, c.names);
    }
}

}  // namespace
