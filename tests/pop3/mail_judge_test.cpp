#include "pop3/mail_judge.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/temp_dir.h"
#include "filter/judge_cases.h"
#include "filter/kill_table.h"
#include "filter/relay_list.h"
#include "pop3/kill_report.h"

namespace {

// 2026-12-06 12:00:00 UTC.
constexpr int64_t kNow = 1796558400;

bool NoRelays(std::string_view, std::string&) {
    return false;
}

RawHeader Raw(std::initializer_list<std::string> lines, int64_t size = 100) {
    RawHeader header;
    for (const std::string& line : lines) AddRawLine(header, line);
    header.size = size;
    return header;
}

const char* Outcome(FilterVerdict verdict) {
    switch (verdict) {
        case FilterVerdict::kDele:
            return "kill";
        case FilterVerdict::kSkip:
            return "hide";
        case FilterVerdict::kNone:
        case FilterVerdict::kRetr:
            return "keep";
    }
    return "?";
}

class MailJudgeTest : public ::testing::Test {
  protected:
    // Builds the kill file from `text`; the judgements use it.
    void Use(const std::string& text) {
        dir_.Write("KILLFILE.CFG", text);
        set_ = BuildKillSet(dir_.path() + "KILLFILE.CFG").set;
        ASSERT_NE(set_, nullptr);
    }

    MailJudgement Judge(const RawHeader& header, const std::string& envelope = "me@example.org") {
        return JudgeMail(header, envelope, kNow, *set_, NoRelays);
    }

    TempDir dir_;
    std::shared_ptr<const KillSet> set_;
};

TEST_F(MailJudgeTest, ActionWordsReadByTheMailTable) {
    Use(judge_cases::kKillFile);
    const std::string path = dir_.path() + "KILLFILE.CFG";
    for (const judge_cases::Case& c : judge_cases::Cases()) {
        SCOPED_TRACE(c.subject);
        MailJudgement judgement =
            Judge(Raw({"From: someone@example.org", std::string("Subject: ") + c.subject}));
        EXPECT_STREQ(Outcome(judgement.verdict), c.mail);
        EXPECT_EQ(judgement.action, c.mailAction);
        EXPECT_EQ(judge_cases::Locations(judgement.matches),
                  judge_cases::ExpectedLocations(c, path));
        // The reason is the last match's, also when its word decided nothing.
        EXPECT_EQ(judgement.reason,
                  judgement.matches.empty() ? "" : judgement.matches.back().reason);
    }
}

TEST_F(MailJudgeTest, SizeAgeAndEnvelopeReachTheRules) {
    Use("--- me@example.org\r\n"
        "BYTES@5000 \xEA \xAFSKIP\r\n"
        "DAYS@30 \xEA \xAF"
        "DELE\r\n"
        "--- postmaster@localhost\r\n"
        "\"*mine*\" \xEAs \xAF"
        "DELE\r\n");
    EXPECT_EQ(Judge(Raw({"Subject: big"}, 6000)).verdict, FilterVerdict::kSkip);
    EXPECT_EQ(Judge(Raw({"Subject: small"}, 4000)).verdict, FilterVerdict::kNone);

    MailJudgement old = Judge(Raw({"Subject: old", "Date: Mon, 1 Jan 2001 10:00:00 +0100",
                                   "Date: Sun, 06 Dec 2026 11:00:00 +0000"}));
    EXPECT_EQ(old.header.age, 9470);  // the first Date line counts
    EXPECT_EQ(old.verdict, FilterVerdict::kDele);
    EXPECT_EQ(Judge(Raw({"Subject: unreadable", "Date: yesterday"})).header.age, 0);

    // An envelope that fails the test is replaced, and the caller told.
    MailJudgement replaced = Judge(Raw({"Subject: mine"}), "Me@Example.org");
    EXPECT_TRUE(replaced.envelopeReplaced);
    EXPECT_EQ(replaced.header.envelope, kDefaultEnvelope);
    EXPECT_EQ(replaced.verdict, FilterVerdict::kDele);
    MailJudgement kept = Judge(Raw({"Subject: mine"}));
    EXPECT_FALSE(kept.envelopeReplaced);
    EXPECT_EQ(kept.header.envelope, "me@example.org");
    EXPECT_EQ(kept.verdict, FilterVerdict::kNone);
}

// A listing kills unless a rule's action word decided; the rules see its line.
TEST_F(MailJudgeTest, BlocklistListingsKillUnlessARuleDecides) {
    Use("--- ALLE\r\n"
        "\"*friend*\" \xEAs \xAFRETR\r\n"
        "\"*hide*\" \xEAs \xAFSKIP\r\n"
        "\"*bl.two*\" \xEA\"X-RBL:\" \xAFHEAD\r\n"
        "\"*unknown word*\" \xEAs \xAFMOVE\r\n");
    const std::vector<BlocklistListing> listings{{"45.33.10.1", "bl.one", "Spam source"},
                                                 {"2a01:4f8::66", "bl.one", ""}};
    auto judge = [&](const std::string& subject, std::span<const BlocklistListing> listed) {
        return JudgeMail(Raw({"Subject: " + subject}), "me@example.org", kNow, *set_, NoRelays,
                         listed);
    };

    MailJudgement killed = judge("offer", listings);
    EXPECT_EQ(killed.verdict, FilterVerdict::kDele);
    EXPECT_EQ(killed.action, "DELE");
    EXPECT_EQ(killed.reason, BlocklistReason("bl.one"));
    EXPECT_EQ(killed.header.rblInfo,
              "X-RBL: 45.33.10.1 listed by bl.one: Spam source\n"
              "X-RBL: 2a01:4f8::66 listed by bl.one\n");
    EXPECT_EQ(killed.header.lines.back(), "X-RBL: 2a01:4f8::66 listed by bl.one");
    // The report shows the kill as that of a rule on the X-RBL line.
    KillReasonFields fields = DescribeKillReason(killed.reason, killed.header.rblInfo);
    EXPECT_EQ(fields.reason, "DNS blocklist bl.one");
    EXPECT_EQ(fields.searchIn, " - X-RBL");
    EXPECT_EQ(fields.result, "DELE");

    EXPECT_EQ(judge("offer", {}).verdict, FilterVerdict::kNone);
    EXPECT_EQ(judge("a friend", listings).verdict, FilterVerdict::kRetr);
    EXPECT_EQ(judge("hide me", listings).verdict, FilterVerdict::kSkip);
    const BlocklistListing second{"45.33.10.2", "bl.two", ""};
    MailJudgement kept = judge("offer", std::span(&second, 1));
    EXPECT_EQ(kept.verdict, FilterVerdict::kNone);
    EXPECT_EQ(kept.action, "HEAD");
    // A word outside the mail table decides nothing, so the listing does.
    EXPECT_EQ(judge("unknown word", listings).verdict, FilterVerdict::kDele);
}

// Relays come from whole Received fields, folded or not, top first, and only
// the first `depth` of them count.
TEST(HeaderRelaysTest, TopReceivedFieldsUnfolded) {
    RawHeader raw;
    for (const char* line :
         {"Return-Path: <a@example.org>", "Received: from a.example.org",
          "\t(a.example.org [45.33.10.1])", "\tby mx.example.net", "X-Note: (45.33.10.9)",
          "Received: from b (b [45.33.10.2]) by c", "Received: from d (d [45.33.10.3]) by e"}) {
        AddRawLine(raw, line);
    }
    auto texts = [&](size_t depth) {
        std::vector<std::string> out;
        for (const IpAddress& address : HeaderRelays(raw, depth)) {
            out.push_back(IpAddressText(address));
        }
        return out;
    };
    EXPECT_EQ(texts(1), std::vector<std::string>{"45.33.10.1"});
    EXPECT_EQ(texts(2), (std::vector<std::string>{"45.33.10.1", "45.33.10.2"}));
    EXPECT_EQ(texts(5), (std::vector<std::string>{"45.33.10.1", "45.33.10.2", "45.33.10.3"}));
    EXPECT_TRUE(HeaderRelays(Raw({"Subject: no relays"}), 1).empty());
}

TEST(EnvelopeTest, NeedsLowerCaseAddressCharactersAroundTheAt) {
    const struct {
        const char* envelope;
        bool passes;
    } cases[] = {
        {"me@example.org", true},
        {"x <a_b-c.d@e>", true},
        {"Me@Example.org", false},
        {"me@", false},
        {"@example.org", false},
        {"no address", false},
        {"A@b", false},
        {"a@B", false},
        {"A@B a@b", true},
        {"postmaster@localhost", true},
    };
    for (const auto& c : cases) EXPECT_EQ(EnvelopePasses(c.envelope), c.passes) << c.envelope;
    EXPECT_TRUE(EnvelopePasses(kDefaultEnvelope));
}

class HeaderLines : public MailJudgeTest {
  protected:
    void SetUp() override { Use("--- ALLE\r\n"); }

    MessageHeader Seen(const RawHeader& header) { return Judge(header).header; }
};

TEST_F(HeaderLines, ContinuationsJoinWithoutTheirFoldingCharacter) {
    MessageHeader header = Seen(Raw({"\tbefore any header", "Subject: first", "\tsecond",
                                     "         third", "", "X-Long: a", " b        c"}));
    ASSERT_EQ(header.lines.size(), 3u);
    EXPECT_EQ(header.lines[0], "before any header");
    // The eight-space run collapses to one space, then the first character goes.
    EXPECT_EQ(header.lines[1], "Subject: firstsecond third");
    EXPECT_EQ(header.lines[2], "X-Long: ab c");
}

TEST_F(HeaderLines, LastFromAndMessageIdWin) {
    MessageHeader header = Seen(Raw({"From: first@example.org", "from:   second@example.org  ",
                                     "Message-ID: <a@b>", "MESSAGE-ID:  <c@d> (comment)"}));
    EXPECT_EQ(header.from, "second@example.org");
    EXPECT_EQ(header.messageId, "<c@d>");
}

TEST_F(HeaderLines, RecipientLinesSplitAtEveryComma) {
    MessageHeader header =
        Seen(Raw({"To: a@x, b@x, c@x", "Subject:  =?iso-8859-1?Q?Gr=FC=DFe?=  ", "cc: d@x,e@x",
                  "To: single@x"}));
    EXPECT_EQ(header.lines,
              (std::vector<std::string>{"", "To: a@x", header.lines[2], "Cc: d@x", "To: single@x",
                                        "To: b@x", "To: c@x", "Cc: e@x"}));
    EXPECT_EQ(header.subject,
              "Gr\x81\xE1"
              "e");  // code page 437 u-umlaut and sharp s
}

TEST_F(HeaderLines, ListedRelaysAddRblLines) {
    AddressRange range = ParseAddressRange("10.0.0.0/8 Test relay list");
    range.text = "10.0.0.0/8 Test relay list";
    PublishRelayBlacklist({range});
    RawHeader raw = Raw({"Received: from a ([10.1.2.3]) by b", "Received: from c (192.0.2.1)",
                         "X-Note: [10.9.9.9]", "received: from d (10.4.4.4)"});
    // The scan's check is the relay blacklist.
    MessageHeader header = JudgeMail(raw, "me@example.org", kNow, *set_).header;
    PublishRelayBlacklist({});
    EXPECT_EQ(header.rblInfo,
              "X-RBL: 10.0.0.0/8 Test relay list\nX-RBL: 10.0.0.0/8 Test relay list\n");
    ASSERT_EQ(header.lines.size(), 7u);
    EXPECT_EQ(header.lines[5], "X-RBL: 10.0.0.0/8 Test relay list");

    // Another check sees every Received line, and only those.
    std::vector<std::string> asked;
    RelayCheck everyRelay = [&asked](std::string_view line, std::string& entry) {
        asked.emplace_back(line);
        entry = "listed";
        return true;
    };
    header = JudgeMail(raw, "me@example.org", kNow, *set_, everyRelay).header;
    EXPECT_EQ(asked.size(), 3u);
    EXPECT_EQ(header.rblInfo, "X-RBL: listed\nX-RBL: listed\nX-RBL: listed\n");
}

// What is left out of a long header is what judging would not read anyway.
TEST_F(HeaderLines, ALongHeaderIsJudgedOnWhatWasKept) {
    RawHeader raw;
    for (size_t i = 0; i < kMaxHeaderLines; ++i) AddRawLine(raw, "X-Filler: line");
    AddRawLine(raw, "Subject: dropped");
    AddRawLine(raw, " continuation of the dropped line");
    AddRawLine(raw, "From: dropped@example.org");
    EXPECT_EQ(raw.lines.size(), kMaxHeaderLines);
    MessageHeader header = Seen(raw);
    EXPECT_EQ(header.lines.size(), kMaxHeaderLines + 1);
    EXPECT_EQ(header.lines.back(), "X-Filler: line");
    EXPECT_EQ(header.from, "");
    EXPECT_EQ(header.subject, "");

    // An endless field is cut when unfolded; a long first line when received.
    RawHeader endless = Raw({"X-Endless: " + std::string(kMaxHeaderLineLength, 'x')});
    EXPECT_EQ(endless.lines[0].size(), kMaxHeaderLineLength);
    for (int i = 0; i < 100; ++i) AddRawLine(endless, " " + std::string(1000, 'y'));
    EXPECT_EQ(endless.lines.size(), 101u);
    EXPECT_EQ(Seen(endless).lines[1].size(), kMaxHeaderLineLength);

    // Empty lines are passed over; a flood of short lines stops at the cap.
    RawHeader flood = Raw({"Subject: flood", ""});
    EXPECT_EQ(flood.lines.size(), 1u);
    for (size_t i = 0; i < kMaxRawHeaderLines + 10; ++i) AddRawLine(flood, " z");
    EXPECT_EQ(flood.lines.size(), kMaxRawHeaderLines);
    EXPECT_TRUE(flood.full);
    AddRawLine(flood, "From: late@example.org");
    EXPECT_EQ(Seen(flood).from, "");
}

TEST(RawHeader, KeepsNoMoreThanItsBytes) {
    RawHeader raw;
    const std::string line = " " + std::string(1024 * 1024 - 2, 'w');  // with its line end: 1 MiB
    const size_t fit = kMaxRawHeaderBytes / (line.size() + 1);
    for (size_t i = 0; i <= fit; ++i) AddRawLine(raw, line);
    EXPECT_EQ(raw.lines.size(), fit);
    EXPECT_TRUE(raw.full);
    EXPECT_LE(raw.keptBytes, kMaxRawHeaderBytes);
}

}  // namespace
