#include "pop3/mailbox_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct EntrySpec {
    bool shown;
    bool deleted;
    int64_t size;
};

// A session as the scan leaves it: server messages 1..n with the given flags.
Pop3Session ScannedSession(const std::vector<EntrySpec>& entries) {
    Pop3Session session;
    session.totalCount = static_cast<int64_t>(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        MailboxEntry& entry = MailboxEntryAt(session, static_cast<int64_t>(i + 1));
        entry.shown = entries[i].shown;
        entry.deleted = entries[i].deleted;
        entry.size = entries[i].size;
        entry.uid = "uid" + std::to_string(i + 1);
    }
    return session;
}

TEST(MailboxView, KilledAndHiddenMessagesAreSkippedAndTheReportComesLast) {
    // 2 killed on the server, 3 hidden (skipped), report appended as 5.
    Pop3Session session = ScannedSession(
        {{true, false, 100}, {false, true, 200}, {false, false, 300}, {true, false, 400}});
    CountShownMessages(session);
    EXPECT_EQ(session.shownCount, 2);
    EXPECT_EQ(session.remainingOctets, 500);
    ASSERT_TRUE(session.hasReport);
    AppendReportMessage(session, "To: x\n\nbody\n");

    EXPECT_EQ(session.totalCount, 5);
    EXPECT_EQ(session.shownCount, 3);
    EXPECT_EQ(session.remainingCount, 3);
    const int64_t reportSize = static_cast<int64_t>(std::string("To: x\r\n\r\nbody\r\n").size());
    EXPECT_EQ(session.messages[5].size, reportSize);
    EXPECT_EQ(session.remainingOctets, 500 + reportSize);

    const int64_t expected[] = {0, 1, 4, 5};
    for (int64_t n = 1; n <= 3; ++n) EXPECT_EQ(ServerNumber(session, n), expected[n]) << n;
    EXPECT_TRUE(IsReportMessage(session, 5));
    EXPECT_FALSE(IsReportMessage(session, 4));

    // The client deletes its message 2: numbers after it do not shift.
    session.messages[4].deleted = true;
    EXPECT_EQ(ServerNumber(session, 3), 5);
    EXPECT_EQ(ServerNumber(session, 2), 4);
}

TEST(MailboxView, NumbersOutsideTheViewMapToNothing) {
    Pop3Session session = ScannedSession({{true, false, 1}, {false, false, 1}, {true, false, 1}});
    CountShownMessages(session);
    EXPECT_FALSE(session.hasReport);
    for (int64_t n : {0LL, -1LL, 3LL, 1000LL}) EXPECT_EQ(ServerNumber(session, n), 0) << n;
    EXPECT_EQ(ServerNumber(session, 2), 3);
    EXPECT_FALSE(IsReportMessage(session, 3));
}

TEST(MailboxView, ARefusedServerDeleteGivesNoReport) {
    // The scan hid the message but the server kept it (not deleted).
    Pop3Session session = ScannedSession({{false, false, 10}, {true, false, 20}});
    CountShownMessages(session);
    EXPECT_FALSE(session.hasReport);
    EXPECT_EQ(session.shownCount, 1);
    EXPECT_EQ(ServerNumber(session, 1), 2);
}

TEST(MailboxView, AnyNumberOfMessagesFits) {
    std::vector<EntrySpec> entries(250, EntrySpec{true, false, 7});
    entries[99] = {false, true, 7};
    Pop3Session session = ScannedSession(entries);
    CountShownMessages(session);
    AppendReportMessage(session, "a\n\nb\n");
    EXPECT_EQ(session.shownCount, 250);
    EXPECT_EQ(ServerNumber(session, 100), 101);
    EXPECT_EQ(ServerNumber(session, 250), 251);
    EXPECT_TRUE(IsReportMessage(session, 251));
}

TEST(MailboxView, WireFormEndsLinesWithCrLfAndStuffsDots) {
    const struct {
        std::string text;
        std::string wire;
        int64_t dots;
    } cases[] = {
        {"a\nb\n", "a\r\nb\r\n", 0},
        {"a\r\nb\n", "a\r\nb\r\n", 0},  // an existing CR LF stays one line end
        {".\n..x\nend", "..\r\n...x\r\nend\r\n", 2},
        {"\n\n", "\r\n\r\n", 0},
        {"", "", 0},
        {"x . y\n", "x . y\r\n", 0},
    };
    for (const auto& c : cases) {
        int64_t dots = -1;
        EXPECT_EQ(WireForm(c.text, &dots), c.wire) << c.text;
        EXPECT_EQ(dots, c.dots) << c.text;
    }
}

TEST(MailboxView, ReportSizeCountsCrLfButNotStuffedDots) {
    Pop3Session session = ScannedSession({{false, true, 5}});
    CountShownMessages(session);
    AppendReportMessage(session, "H: v\n\n.dot\n");
    EXPECT_EQ(session.reportWire, "H: v\r\n\r\n..dot\r\n");
    EXPECT_EQ(session.messages[2].size, static_cast<int64_t>(session.reportWire.size()) - 1);
}

// Released messages go between the server's messages and the report, sized
// as the server would list them: CR LF counted, stuffed dots not.
TEST(MailboxView, ReleasedMessagesComeBeforeTheReport) {
    Pop3Session session = ScannedSession({{true, false, 10}, {false, true, 20}});
    CountShownMessages(session);
    AppendReleasedMessage(session, "ab12cd34", "H: v\n\n.dot\n..two\n");
    AppendReportMessage(session, "To: x\n\nbody\n");
    EXPECT_EQ(session.totalCount, 4);
    EXPECT_EQ(session.shownCount, 3);
    const MailboxEntry& released = session.messages[3];
    EXPECT_EQ(released.size,
              static_cast<int64_t>(std::string("H: v\r\n\r\n.dot\r\n..two\r\n").size()));
    EXPECT_EQ(released.uid, "trawlbox-q-ab12cd34");
    ASSERT_NE(ReleasedAt(session, 3), nullptr);
    EXPECT_EQ(ReleasedAt(session, 3)->id, "ab12cd34");
    EXPECT_EQ(ReleasedAt(session, 4), nullptr);
    EXPECT_EQ(ServerNumber(session, 2), 3);
    EXPECT_EQ(ServerNumber(session, 3), 4);
    EXPECT_TRUE(IsReportMessage(session, 4));
    EXPECT_EQ(session.remainingOctets, 10 + released.size + session.messages[4].size);
}

TEST(MailboxView, ReportHeaderPartEndsBeforeTheFirstEmptyLine) {
    EXPECT_EQ(ReportHeaderPart("To: a\nFrom: b\n\n\nbody\n"), "To: a\nFrom: b\n");
    EXPECT_EQ(ReportHeaderPart("no empty line\n"), "");
    EXPECT_EQ(ReportHeaderPart("\n\nx"), "\n");
}

TEST(MailboxView, ReportUidIsTheUpperCaseCrcWithoutLeadingZeros) {
    EXPECT_EQ(ComputeReportUid("123456789"), "CBF43926.trawlbox");
    EXPECT_EQ(ComputeReportUid("m279"), "E5E900.trawlbox");  // CRC 0x00E5E900
    EXPECT_EQ(ComputeReportUid(""), "0.trawlbox");
    // The uid is taken from the LF text, whatever form goes on the wire.
    Pop3Session session = ScannedSession({{false, true, 5}});
    CountShownMessages(session);
    AppendReportMessage(session, "123456789");
    EXPECT_EQ(session.messages[2].uid, "CBF43926.trawlbox");
    Pop3Session again = ScannedSession({{false, true, 9}, {true, false, 1}});
    CountShownMessages(again);
    AppendReportMessage(again, "123456789");
    EXPECT_EQ(again.messages[3].uid, session.messages[2].uid);
}

}  // namespace
