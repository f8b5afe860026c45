#include "codec/message_date.h"

#include <gtest/gtest.h>

namespace {

TEST(MessageAge, ReadsRfc5322DatesWithTheirZone) {
    // 2026-12-06 12:00:00 UTC.
    const int64_t now = 1796558400;
    const struct {
        const char* date;
        int64_t days;
    } cases[] = {
        {"Sun, 06 Dec 2026 11:00:00 +0000", 0},
        {"Fri, 04 Dec 2026 12:00:00 +0000", 2},
        {"Fri, 04 Dec 2026 12:00:01 +0000", 1},
        {"4 Dec 2026 12:30 +0100", 2},           // no weekday, no seconds
        {"Fri, 04 Dec 2026 11:00:01 -0100", 1},  // 12:00:01 UTC
        {"Fri, 4 Dec 26 12:00:00 GMT", 2},       // two-digit year
        {"Fri, 4 Dec 126 12:00:00 GMT", 2},      // three digits count from 1900
        {"Fri, 4 Dec 99 12:00:00 GMT", 9864},    // 1999
        {"Thu, 03 Dec 2026 20:00:00 PST", 2},    // 04:00 UTC on the 4th
        {"Fri, 04 Dec 2026 12:00:00 J", 2},      // a military letter counts as UTC
        {"Fri, 04 Dec 2026 12:00:00", 2},        // no zone at all: UTC
        {"Fri,04 Dec\t2026 12:00:00 +0000", 2},  // commas and TABs separate words
        {"Fri, 04 december 2026 12:00:00 +0000", 2},
        {"Mon, 1 Jan 2001 10:00:00 +0100 (CET)", 9470},
        // A comment is left out without ending its word.
        {"Fri, 04 Dec 2026 12:00:00 +01(x)00", 2},
        {"Mon, 7 Dec 2026 12:00:00 +0000", 0},  // in the future
        {"yesterday", 0},
        {"Sun, 06 Foo 2026 11:00:00 +0000", 0},
        {"Sun, 06 Dec 2026 25:00:00 +0000", 0},
        {"Sun, 06 Dec 2026 11:00:00 +0060", 0},  // minutes of the zone above 59
        {"Sun, 06 Dec 2026 11:00:00 +1", 0},
        {"Sun, 32 Dec 2026 11:00:00 +0000", 0},
        {"Sun, 06 Dec 12026 11:00:00 +0000", 0},
        {"Sun, 06 Dec 2026 11:00:00:00 +0000", 0},
        {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(AgeInDays(c.date, now), c.days) << c.date;
}

}  // namespace
