#include "pop3/kill_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/globals.h"
#include "core/settings.h"

namespace {

const std::string kRule(70, '-');

TEST(DescribeKillReason, SplitsRuleTextIntoReportFields) {
    const struct {
        std::string reasonText;
        std::string reason;
        std::string searchIn;
        std::string result;
    } cases[] = {
        {"\"*viagra*\" \xEAsx \xAF"
         "DELE ",
         "\"*viagra*\"", "sx - Subject Invers-Mode", "DELE "},
        {"\"*bulk*\" \xEAn\"X-MAILER:\" \xAF"
         "DELE ",
         "\"*bulk*\"", "n - X-MAILER From", "DELE "},
        {"\"*a*\" \xEAS \xAF"
         "DELE",
         "\"*a*\"", "S - ", "DELE"},  // upper case names nothing
        {"\"*a*\" \xEA\"FROM:SUBJECT:\"bcq \xAF"
         "DELE",
         "\"*a*\"", "bcq - FROM SUBJECT Envelope-To Casesensitiv Quit", "DELE"},
        {"\xEAs TIMES@3,free \xAF"
         "DELE",
         "\xEAs TIMES@3,free \xAF"
         "DELE",
         "s - Subject", "DELE"},  // marker first: the whole text is the reason
        {"x\xEAs \xAF"
         "DELE",
         "", "s - Subject", "DELE"},  // marker second: empty reason
        {"KILLALL \xAF"
         "DELE",
         "KILLALL \xAF"
         "DELE",
         " - ", "DELE"},                                               // no options marker
        {"\"*a*\" \xEAs", "\"*a*\"", "s - Subject", "\"*a*\" \xEAs"},  // no target marker
    };
    for (const auto& c : cases) {
        KillReasonFields fields = DescribeKillReason(c.reasonText, "");
        EXPECT_EQ(fields.reason, c.reason) << c.reasonText;
        EXPECT_EQ(fields.searchIn, c.searchIn) << c.reasonText;
        EXPECT_EQ(fields.result, c.result) << c.reasonText;
        EXPECT_EQ(fields.rblInfo, "") << c.reasonText;
    }
}

TEST(DescribeKillReason, RblLinesStandUnderTheFirstValue) {
    const struct {
        std::string rbl;
        std::string info;
    } cases[] = {
        {"", ""},
        {"X-RBL: no line feed", ""},
        {"X-RBL: 10.0.0.0/8 a\n", "X-RBL: 10.0.0.0/8 a"},
        {"X-RBL: one\nX-RBL: two\n", "X-RBL: one\n             X-RBL: two"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DescribeKillReason("\"*a*\" \xEAs \xAF"
                                     "DELE",
                                     c.rbl)
                      .rblInfo,
                  c.info)
            << c.rbl;
    }
}

TEST(KillReportEntry, ListsEveryRecipientAndTheReasonFields) {
    std::vector<std::string> lines = {
        "Received: from x",    "To: alice@example.org", "Subject: Cheap",
        "TO: bob@example.org", "Cc: carol@example.org", "to:  dave@example.org ",
    };
    KillReasonFields fields{"\"*cheap*\"", "s - Subject", "DELE ", "X-RBL: a"};
    std::string entry =
        KillReportEntry("Spammer <spam@example.com>", "Cheap", "<1@x>", 1234, lines, fields);
    EXPECT_EQ(entry,
              "To         : alice@example.org\n"
              "To         : bob@example.org\n"
              "To         : dave@example.org\n"
              "From       : Spammer <spam@example.com>\n"
              "Subject    : Cheap\n"
              "Message-ID : <1@x>\n"
              "Size       : 1234 Bytes\n"
              "\n"
              "RBL Info   : X-RBL: a\n"
              "\n"
              "Reason     : \"*cheap*\"\n"
              "Search in  : s - Subject\n"
              "Result     : DELE \n"
              "\n" +
                  kRule + "\n\n");
}

TEST(KillReportEntry, WithoutRecipientsStartsWithFromAndShowsZeroSize) {
    std::string entry = KillReportEntry("spam@example.com", "", "", 0, {}, KillReasonFields{});
    EXPECT_EQ(entry.substr(0, 32), "From       : <spam@example.com>\n");
    EXPECT_NE(entry.find("\nSize       : 0 Bytes\n"), std::string::npos);
    EXPECT_NE(entry.find("\nRBL Info   : \n"), std::string::npos);
}

TEST(FormatDateLine, WritesTheZoneAsLocalMinusUtc) {
    LocalTime time{2026, 12, 6, 0, 7, 5, 9, 0};
    const struct {
        int bias;
        std::string suffix;
    } cases[] = {
        {-60, "+0100"}, {0, "-0000"}, {300, "-0500"}, {-345, "+0545"}, {210, "-0330"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatDateLine(time, c.bias), "Date: Sun, 06 Dec 2026 07:05:09 " + c.suffix);
    }
    LocalTime other{2025, 1, 31, 5, 23, 59, 0, 999};
    EXPECT_EQ(FormatDateLine(other, -120), "Date: Fri, 31 Jan 2025 23:59:00 +0200");
}

TEST(KillReportHeader, IsTheMessageHeaderThenThePreamble) {
    LocalTime time{2026, 12, 6, 0, 7, 5, 9, 120};
    std::string header = KillReportHeader("killreport@localhost", time, -60);
    EXPECT_EQ(header,
              "To: killreport@localhost\n"
              "From: trawlbox@localhost (Trawlbox v0.25)\n"
              "Subject: Killed Messages\n"
              "Message-ID: <25509.1212-06-2026@trawlbox.localhost>\n"
              "Date: Sun, 06 Dec 2026 07:05:09 +0100\n"
              "X-Mailer: Trawlbox v0.25\n"
              "MIME-Version: 1.0\n"
              "Content-Type: text/plain; charset=utf-8\n"
              "Content-Transfer-Encoding: 8bit\n"
              "\n\n"
              "The following message(s) has been killed directly on the Pop3-Server:\n"
              "\n\n" +
                  kRule + "\n\n");
}

TEST(KillReportHeader, MessageIdSecondsAreWrittenLikeANumber) {
    const struct {
        LocalTime time;
        std::string id;
    } cases[] = {
        {{2026, 3, 4, 3, 7, 5, 9, 0}, "25509"},  // no fraction, no point
        {{2026, 3, 4, 3, 0, 0, 0, 500}, ".5"},   // no zero before the point
        {{2026, 3, 4, 3, 0, 0, 1, 5}, "1.005"},
    };
    for (const auto& c : cases) {
        std::string header = KillReportHeader("r@localhost", c.time, 0);
        EXPECT_NE(header.find("\nMessage-ID: <" + c.id + "03-04-2026@trawlbox.localhost>\n"),
                  std::string::npos)
            << c.id;
    }
}

// The recipient is configured in the code page; a header carries only ASCII
// phrases, so a display name with letters beyond it is encoded, and an
// address, which cannot be, goes in UTF-8.
TEST(KillReportHeader, RecipientNamesBeyondAsciiAreEncodedWords) {
    LocalTime time{2026, 12, 6, 0, 7, 5, 9, 120};
    const struct {
        const char* recipient;
        const char* toLine;
    } cases[] = {
        {"Me <me@localhost>", "To: Me <me@localhost>\n"},
        {"D\x94rte  <d@localhost>", "To: =?UTF-8?B?RMO2cnRl?= <d@localhost>\n"},
        {"d\x94rte@localhost", "To: d\xC3\xB6rte@localhost\n"},
        {"<d@localhost>", "To: <d@localhost>\n"},
    };
    for (const auto& c : cases) {
        const std::string header = KillReportHeader(c.recipient, time, 0);
        EXPECT_EQ(header.substr(0, header.find('\n') + 1), c.toLine) << c.recipient;
    }
}

TEST(CompleteKillReport, PutsTheHeaderInFrontOfTheEntriesOnly) {
    EXPECT_EQ(CompleteKillReport(""), "");

    std::string savedRecipient = Settings.KillReport;
    Settings.KillReport = "";
    const std::string entry = KillReportEntry("a@b", "s", "<m>", 5, {}, KillReasonFields{});
    std::string text = CompleteKillReport(entry);
    EXPECT_EQ(text.substr(0, 25), "To: killreport@localhost\n");
    ASSERT_GT(text.size(), entry.size());
    EXPECT_EQ(text.substr(text.size() - entry.size()), entry);
    EXPECT_NE(text.find("\nContent-Transfer-Encoding: 8bit\n\n\nThe following"), std::string::npos);
    // Names and subjects are held in code page 437 and written in UTF-8.
    const std::string named = KillReportEntry("D\x94rte Gro\xE1 <d@example.org>",
                                              "Gr\x81\xE1"
                                              "e",
                                              "<m>", 5, {}, KillReasonFields{});
    text = CompleteKillReport(named);
    EXPECT_NE(text.find("From       : D\xC3\xB6rte Gro\xC3\x9F <d@example.org>\n"
                        "Subject    : Gr\xC3\xBC\xC3\x9F"
                        "e\n"),
              std::string::npos)
        << text;

    Settings.KillReport = "me@localhost";
    EXPECT_EQ(CompleteKillReport(entry).substr(0, 17), "To: me@localhost\n");
    Settings.KillReport = savedRecipient;
}

}  // namespace
