#include "pop3/mailbox_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/temp_dir.h"
#include "filter/filter.h"
#include "filter/relay_list.h"
#include "net/connection.h"
#include "pop3/pop3_fake_server.h"

namespace {

using mail_test::FakeMessage;
using mail_test::FakePop3Server;
using mail_test::FakeServerOptions;

// Upstream waits in these tests end after this long, so a fault cannot hang
// the test program; no test comes near it.
constexpr int kUpstreamTimeoutSeconds = 60;

const char kKillFile[] =
    "' rules of the scan tests\r\n"
    "--- ALLE\r\n"
    "\"*viagra*\" \xEAs \xAF"
    "DELE\r\n"
    "\"*lottery*\" \xEAn \xAFSKIP\r\n"
    "\"*keepme*\" \xEAs \xAF"
    "DELE\r\n"
    "\"*keepme*\" \xEAs \xAFRETR\r\n"
    "\"*final*\" \xEAsq \xAF"
    "DELE\r\n"
    "\"*final*\" \xEAs \xAFRETR\r\n"
    "\"*bulkmailer*\" \xEA\"X-MAILER:\" \xAF"
    "DELE\r\n"
    "BYTES@5000 \xEA \xAFSKIP\r\n"
    "DAYS@30 \xEA \xAFSKIP\r\n";

std::string Message(const std::string& header, const std::string& body = "Body line\r\n") {
    return header + "\r\n" + body;
}

FakeMessage Plain(int n) {
    return {Message("From: friend@example.org\r\nSubject: hello " + std::to_string(n) +
                    "\r\nMessage-ID: <plain" + std::to_string(n) + "@example.org>\r\n"),
            "uid-" + std::to_string(n)};
}

FakeMessage Spam(const std::string& subject, const std::string& extraHeader = "") {
    return {Message("From: \"Spammer\" <spam@example.com>\r\nTo: me@example.org\r\nSubject: " +
                    subject + "\r\nMessage-ID: <spam@example.com> trailing\r\n" + extraHeader),
            "uid-spam-" + subject.substr(0, 4)};
}

AddressRange BlacklistEntry(const std::string& line) {
    AddressRange range = ParseAddressRange(line);
    range.text = line;
    return range;
}

class ScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CloseLog();
        Settings = SettingsRecord{};
        Settings.LogFilter = true;
        Settings.LogDebug = true;
        ASSERT_TRUE(OpenLog(dir_.path() + "TRAWLBOX.LOG"));
        dir_.Write("KILLFILE.CFG", kKillFile);
        ASSERT_EQ(LoadKillFile(dir_.path() + "KILLFILE.CFG"), 1);
        PublishRelayBlacklist({BlacklistEntry("10.0.0.0/8 Test relay list")});
    }

    void TearDown() override {
        EndUpstream();
        ClearKillTable();
        PublishRelayBlacklist({});
        CloseLog();
    }

    // Connects to the server and runs the scan; returns its result (false
    // too when the connect failed, which fails the test).
    bool Scan(FakePop3Server& server, const std::string& envelope = "me@example.org") {
        return Connect(server, envelope) && ScanMailbox(session_);
    }

    // Connects the session to the server and reads its greeting; returns
    // false (failing the test) when the connect failed.
    bool Connect(FakePop3Server& server, const std::string& envelope = "me@example.org") {
        session_ = Pop3Session{};
        session_.upstream = Connection::ConnectTo("127.0.0.1", server.port());
        EXPECT_TRUE(session_.upstream.open());
        if (!session_.upstream.open()) return false;
        session_.upstream.SetTimeout(kUpstreamTimeoutSeconds);
        std::string greeting;
        session_.upstream.ReceiveLine(greeting);
        session_.envelope = envelope;
        return true;
    }

    // Sends QUIT (so the server carries out the deletions) and frees the
    // connection.
    void EndUpstream() {
        Connection& upstream = session_.upstream;
        if (!upstream.open()) return;
        upstream.SendLine("QUIT");
        std::string reply;
        upstream.ReceiveLine(reply);
        upstream.Close();
        upstream.Release();
    }

    const std::string& Report() const { return session_.killReport; }

    static bool Sent(FakePop3Server& server, const std::string& command) {
        std::vector<std::string> commands = server.Commands();
        return std::find(commands.begin(), commands.end(), command) != commands.end();
    }

    TempDir dir_;
    Pop3Session session_;
};

TEST_F(ScanTest, KillsHidesAndKeepsByVerdict) {
    FakePop3Server server({Plain(1),
                           Spam("Cheap viagra"),
                           {Message("From: Lottery Winner <lottery@spam.example>\r\n"
                                    "Subject: You won\r\n"),
                            "uid-3"},
                           Plain(4)});
    ASSERT_TRUE(Scan(server));
    EXPECT_EQ(session_.totalCount, 4);
    const struct {
        bool shown, deleted;
    } expected[] = {{false, false}, {true, false}, {false, true}, {false, false}, {true, false}};
    for (int m = 1; m <= 4; ++m) {
        EXPECT_EQ(session_.messages[m].shown, expected[m].shown) << m;
        EXPECT_EQ(session_.messages[m].deleted, expected[m].deleted) << m;
    }
    EXPECT_EQ(session_.messages[1].uid, "uid-1");
    EXPECT_EQ(session_.messages[3].uid, "uid-3");
    EXPECT_EQ(session_.messages[2].size, static_cast<int64_t>(Spam("Cheap viagra").text.size()));

    // Every header is read before any is judged (the blocklists are asked
    // in between), so the DELEs follow the last TOP.
    EXPECT_EQ(server.Commands(),
              (std::vector<std::string>{"STAT", "LIST", "UIDL", "TOP 1 0", "TOP 2 0", "TOP 3 0",
                                        "TOP 4 0", "DELE 2"}));

    std::string report = Report();
    EXPECT_EQ(report.substr(0, 33), "To         : me@example.org\nFrom ");
    EXPECT_NE(report.find("From       : Spammer <spam@example.com>\n"), std::string::npos);
    EXPECT_NE(report.find("Subject    : Cheap viagra\n"), std::string::npos);
    EXPECT_NE(report.find("Message-ID : <spam@example.com>\n"), std::string::npos);
    EXPECT_NE(report.find("Reason     : \"*viagra*\"\nSearch in  : s - Subject\n"
                          "Result     : DELE \n"),
              std::string::npos);
    EXPECT_EQ(report.find("lottery"), std::string::npos);

    std::string log = dir_.Read("TRAWLBOX.LOG");
    EXPECT_NE(log.find(": 4 Messages with "), std::string::npos);
    EXPECT_NE(log.find("Killing: <spam@example.com>\r\n\t\t\t\xC3 from: Spammer "
                       "<spam@example.com>\r\n\t\t\t\xC3 Subject: Cheap viagra\r\n\t\t\t\xC0 "
                       "Reason: \"*viagra*\" \xEAs \xAF"
                       "DELE \r\n"),
              std::string::npos);
    EXPECT_NE(log.find("Filter: \r\n"), std::string::npos);
    EXPECT_NE(log.find("Deleting Message 2\r\n"), std::string::npos);

    EndUpstream();
    EXPECT_EQ(server.Expunged(), (std::set<int>{2}));
}

// The read step keeps the header lines as the server sent them: not
// decoded, not unfolded, not even dot-unstuffed, so that judging them later
// starts from the same bytes as judging them now.
TEST_F(ScanTest, ReadingKeepsTheHeaderLinesAsReceived) {
    const std::string header =
        "Subject: =?iso-8859-1?Q?Gr=FC=DFe?=\r\n\tfolded  on\r\n..dotted: x\r\n";
    FakePop3Server server({{Message(header), "u1"}});
    ASSERT_TRUE(Connect(server));
    RawHeader raw;
    ASSERT_TRUE(ReadHeader(session_, 1, raw));
    EXPECT_EQ(raw.lines, (std::vector<std::string>{"Subject: =?iso-8859-1?Q?Gr=FC=DFe?=",
                                                   "\tfolded  on", "...dotted: x"}));
    EXPECT_EQ(raw.size, static_cast<int64_t>(Message(header).size()));
    EXPECT_EQ(server.Commands(), std::vector<std::string>{"TOP 1 0"});
    // A refused TOP fails the read and is logged.
    RawHeader none;
    EXPECT_FALSE(ReadHeader(session_, 2, none));
    EXPECT_NE(dir_.Read("TRAWLBOX.LOG").find("TOP 2 0\r\n"), std::string::npos);
}

TEST_F(ScanTest, FoldedSubjectAndEverySplitRecipientReachTheReport) {
    FakePop3Server server(
        {{Message("From: spam@example.com\r\n"
                  "To: a@example.org, \"Bee, B\" <b@example.org>,c@example.org\r\n"
                  "Cc: carl@example.org, dora@example.org\r\n"
                  "Subject: Buy\r\n"
                  "\tviagra  now\r\n"),
          "u1"}});
    ASSERT_TRUE(Scan(server));
    EXPECT_TRUE(session_.messages[1].deleted);
    std::string report = Report();
    // The quoted display name is split at its comma too.
    EXPECT_EQ(report.substr(0, report.find("From ")),
              "To         : a@example.org\n"
              "To         : \"Bee\n"
              "To         : B\" <b@example.org>\n"
              "To         : c@example.org\n");
    EXPECT_NE(report.find("Subject    : Buyviagra  now\n"), std::string::npos);
}

TEST_F(ScanTest, SizeComesFromTopOrTheListingOrListOrIsZero) {
    const struct {
        bool topGivesSize;
        bool listingGivesZero;
        bool listRefused;
        bool expectListCommand;
        bool sizeKnown;
    } cases[] = {
        {true, false, false, false, true},
        {false, false, false, false, true},  // the listing's size saves a round trip
        {false, true, false, true, true},
        {false, true, true, true, false},
    };
    for (const auto& c : cases) {
        FakeServerOptions options;
        options.topGivesSize = c.topGivesSize;
        options.listingGivesZero = c.listingGivesZero;
        options.listNumberRefused = c.listRefused;
        FakeMessage spam = Spam("viagra deal");
        FakePop3Server server({spam}, options);
        ASSERT_TRUE(Scan(server));
        EXPECT_EQ(Sent(server, "LIST 1"), c.expectListCommand);
        std::string size = c.sizeKnown ? std::to_string(spam.text.size()) : "0";
        EXPECT_NE(Report().find("\nSize       : " + size + " Bytes\n"), std::string::npos)
            << c.topGivesSize << c.listRefused;
        EndUpstream();
    }
}

TEST_F(ScanTest, QuitOptionMakesTheFirstMatchFinal) {
    FakePop3Server server({Spam("keepme please"), Spam("final offer")});
    ASSERT_TRUE(Scan(server));
    // DELE then RETR without Q: the later rule decides, the message is kept.
    EXPECT_TRUE(session_.messages[1].shown);
    EXPECT_FALSE(session_.messages[1].deleted);
    EXPECT_FALSE(Sent(server, "DELE 1"));
    // DELE with Q: the RETR rule after it is never reached.
    EXPECT_TRUE(session_.messages[2].deleted);
    EXPECT_TRUE(Sent(server, "DELE 2"));
}

TEST_F(ScanTest, RefusedDeleteHidesTheMessageButReportsIt) {
    FakeServerOptions options;
    options.refuseDele = {1};
    FakePop3Server server({Spam("viagra"), Plain(2)}, options);
    ASSERT_TRUE(Scan(server));
    EXPECT_FALSE(session_.messages[1].shown);
    EXPECT_FALSE(session_.messages[1].deleted);
    EXPECT_NE(Report().find("Subject    : viagra\n"), std::string::npos);
    CountShownMessages(session_);
    EXPECT_FALSE(session_.hasReport);
    EXPECT_EQ(session_.shownCount, 1);
    EndUpstream();
    EXPECT_TRUE(server.Expunged().empty());
}

TEST_F(ScanTest, SizeAndAgeRulesSeeRealValues) {
    std::string big(6000, 'x');
    FakePop3Server server(
        {{Message("Subject: big\r\n", big + "\r\n"), "u1"},
         {Message("Subject: old\r\nDate: Mon, 1 Jan 2001 10:00:00 +0100\r\n"), "u2"},
         {Message("Subject: unreadable date\r\nDate: yesterday\r\n"), "u3"}});
    ASSERT_TRUE(Scan(server));
    EXPECT_FALSE(session_.messages[1].shown);
    EXPECT_FALSE(session_.messages[2].shown);
    EXPECT_TRUE(session_.messages[3].shown);
    EXPECT_FALSE(session_.messages[1].deleted || session_.messages[2].deleted);
}

TEST_F(ScanTest, AnyMailboxSizeIsScanned) {
    std::vector<FakeMessage> messages;
    for (int i = 1; i <= 150; ++i) messages.push_back(Plain(i));
    messages[119] = Spam("viagra 120");
    FakePop3Server server(messages);
    ASSERT_TRUE(Scan(server));
    EXPECT_EQ(session_.totalCount, 150);
    EXPECT_TRUE(session_.messages[150].shown);
    EXPECT_EQ(session_.messages[150].uid, "uid-150");
    EXPECT_TRUE(session_.messages[120].deleted);
    EXPECT_TRUE(Sent(server, "TOP 150 0"));
}

TEST_F(ScanTest, EmptyMailboxSendsOnlyStat) {
    FakePop3Server server({});
    ASSERT_TRUE(Scan(server));
    EXPECT_EQ(session_.totalCount, 0);
    EXPECT_EQ(server.Commands(), std::vector<std::string>{"STAT"});
}

TEST_F(ScanTest, ContradictionsAndRefusalsFailTheScan) {
    const struct {
        const char* name;
        FakeServerOptions options;
        const char* logText;
    } cases[] = {
        {"listed number above the count", {.extraListLines = {"3 10"}}, nullptr},
        {"listed number 0", {.extraListLines = {"0 10"}}, nullptr},
        {"no UIDL", {.refuseUidl = true}, "Error on receiving Mailbox Informations"},
        {"no TOP", {.refuseTop = true}, "TOP 1 0\r\n"},
        {"link lost at TOP 2", {.dropOnCommand = "TOP 2"}, nullptr},
    };
    for (const auto& c : cases) {
        FakePop3Server server({Plain(1), Plain(2)}, c.options);
        EXPECT_FALSE(Scan(server)) << c.name;
        if (c.logText != nullptr) {
            EXPECT_NE(dir_.Read("TRAWLBOX.LOG").find(c.logText), std::string::npos) << c.name;
        }
        EndUpstream();
    }
}

TEST_F(ScanTest, AnEnvelopeFailingTheTestIsReplacedForEveryMessage) {
    FakePop3Server server({Plain(1), Plain(2)});
    ASSERT_TRUE(Scan(server, "Me@Example.org"));
    std::string log = dir_.Read("TRAWLBOX.LOG");
    const std::string line =
        "Incorrect Envelope-To (Me@Example.org), using internal Envelope (postmaster@localhost) "
        "for internal Filter.";
    size_t first = log.find(line);
    ASSERT_NE(first, std::string::npos);
    size_t second = log.find(line, first + 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(log.find(line, second + 1), std::string::npos);
}

}  // namespace
