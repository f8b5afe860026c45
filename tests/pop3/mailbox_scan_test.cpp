#include "pop3/mailbox_scan.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/temp_dir.h"
#include "filter/filter.h"
#include "filter/relay_list.h"
#include "net/connection.h"
#include "platform/clock.h"
#include "pop3/kill_report.h"
#include "pop3/pop3_fake_server.h"
#include "store/quarantine.h"
#include "store/statistics.h"
#include "store/store_test_util.h"

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
        ForgetPipeliningForTesting();
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
        Settings.ScanCache = false;
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
        session_.host = "127.0.0.1";
        session_.account = "alice";
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

    // What a scan left: per message shown / deleted / uid, then the report.
    std::vector<std::string> Outcome() const {
        std::vector<std::string> outcome;
        for (int64_t n = 1; n <= session_.totalCount; ++n) {
            const MailboxEntry& entry = session_.messages[static_cast<size_t>(n)];
            outcome.push_back(std::to_string(entry.shown) + std::to_string(entry.deleted) + " " +
                              entry.uid + " " + std::to_string(entry.size));
        }
        outcome.push_back(session_.killReport);
        return outcome;
    }

    static size_t CountStarting(FakePop3Server& server, const std::string& prefix) {
        std::vector<std::string> commands = server.Commands();
        return static_cast<size_t>(
            std::count_if(commands.begin(), commands.end(),
                          [&](const std::string& command) { return command.starts_with(prefix); }));
    }

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

    // Without blocklists each header is judged as it comes, so a kill's
    // DELE goes out before the next TOP.
    EXPECT_EQ(server.Commands(),
              (std::vector<std::string>{"CAPA", "STAT", "LIST", "UIDL", "TOP 1 0", "TOP 2 0",
                                        "DELE 2", "TOP 3 0", "TOP 4 0"}));

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
    EXPECT_NE(log.find("Killing: <spam@example.com>\n\t\t\t\xC3 from: Spammer "
                       "<spam@example.com>\n\t\t\t\xC3 Subject: Cheap viagra\n\t\t\t\xC0 "
                       "Reason: \"*viagra*\" \xEAs \xAF"
                       "DELE \n"),
              std::string::npos);
    EXPECT_NE(log.find("Filter: \n"), std::string::npos);
    EXPECT_NE(log.find("Deleting Message 2\n"), std::string::npos);

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
    EXPECT_NE(dir_.Read("TRAWLBOX.LOG").find("TOP 2 0\n"), std::string::npos);
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
    // The kill is reported even though nothing was deleted: the user must
    // learn that a message was hidden on purpose.
    CountShownMessages(session_);
    EXPECT_TRUE(session_.hasReport);
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
    EXPECT_EQ(server.Commands(), (std::vector<std::string>{"CAPA", "STAT"}));
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
        {"no TOP", {.refuseTop = true}, "TOP 1 0\n"},
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

// A mailbox larger than the scan's window, with messages to kill and hide
// scattered through it.
std::vector<FakeMessage> MixedMailbox(int count) {
    std::vector<FakeMessage> messages;
    for (int i = 1; i <= count; ++i) messages.push_back(Plain(i));
    for (int i : {2, 40, 64, 65, 66, 130}) {
        if (i > count) continue;
        messages[static_cast<size_t>(i - 1)] = Spam("viagra " + std::to_string(i));
        messages[static_cast<size_t>(i - 1)].uid = "uid-" + std::to_string(i);
    }
    messages[99] = {Message("From: lottery@spam.example\r\nSubject: x\r\n"), "uid-100"};
    return messages;
}

// The same mailbox scanned one command at a time, pipelined, pipelined by a
// server that answers one at a time, and pipelined by one whose answers go
// out of step: the same view, the same kills, the same report.
TEST_F(ScanTest, EveryPaceGivesTheSameOutcome) {
    const std::vector<FakeMessage> mailbox = MixedMailbox(150);
    FakePop3Server reference(mailbox);
    ASSERT_TRUE(Scan(reference));
    const std::vector<std::string> expected = Outcome();
    EndUpstream();
    EXPECT_EQ(reference.Expunged(), (std::set<int>{2, 40, 64, 65, 66, 130}));
    EXPECT_EQ(reference.MostQueued(), 1u);

    const struct {
        const char* name;
        FakeServerOptions options;
        bool fallsBack;
    } cases[] = {
        {"pipelined", {.pipelining = true}, false},
        {"answers one at a time", {.pipelining = true, .dropsQueuedCommands = true}, true},
        {"stray line after TOP 70", {.pipelining = true, .strayLineAfterTop = 70}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir_.Write("TRAWLBOX.LOG", "");
        FakePop3Server server(mailbox, c.options);
        ASSERT_TRUE(Scan(server));
        EXPECT_EQ(Outcome(), expected);
        EndUpstream();
        EXPECT_EQ(server.Expunged(), reference.Expunged());
        // Every header was read once, and each message killed was deleted once,
        // except what a fall-back asked again.
        EXPECT_GE(CountStarting(server, "TOP "), 150u);
        EXPECT_GE(CountStarting(server, "DELE "), 6u);
        bool fellBack = dir_.Read("TRAWLBOX.LOG").find("pipelining given up") != std::string::npos;
        EXPECT_EQ(fellBack, c.fallsBack);
        if (!c.fallsBack) {
            EXPECT_EQ(CountStarting(server, "TOP "), 150u);
            EXPECT_EQ(CountStarting(server, "DELE "), 6u);
            EXPECT_GT(server.MostQueued(), 3u);
            EXPECT_LE(server.MostQueued(), 64u);
        }
    }
}

// The server goes away in the middle of a window: the scan fails (the login
// is refused) and, without QUIT, nothing is deleted; every message is still
// there for the next login to deliver or kill and report.
TEST_F(ScanTest, ServerDyingMidWindowLosesNoMail) {
    FakePop3Server server(MixedMailbox(150), {.dropOnCommand = "TOP 90", .pipelining = true});
    EXPECT_FALSE(Scan(server));
    EXPECT_GE(CountStarting(server, "DELE "), 1u);  // the DELEs went out pipelined
    EndUpstream();
    EXPECT_TRUE(server.Expunged().empty());
}

// --- Copies of killed mail before their DELE ---------------------------------

class QuarantineScanTest : public ScanTest {
  protected:
    void SetUp() override {
        ScanTest::SetUp();
        data_ = FreshDirectory();
        Settings.DataDir = data_;
        Settings.Quarantine = "QUARANTINE";
        Settings.QuarantineMaxMessageKB = 10240;
    }

    // The kept copies of the scans' account, newest first, with their bytes.
    std::vector<std::pair<QuarantineEntry, std::string>> Kept() {
        StateDatabase database;
        EXPECT_NE(database.Open(data_), OpenOutcome::kUnavailable) << database.Problem();
        Quarantine quarantine(database, data_ + "QUARANTINE");
        std::vector<QuarantineEntry> entries;
        EXPECT_TRUE(quarantine.List({}, entries)) << quarantine.Problem();
        std::vector<std::pair<QuarantineEntry, std::string>> kept;
        for (const QuarantineEntry& entry : entries) {
            std::string bytes;
            EXPECT_TRUE(quarantine.ReadMessage(entry, bytes)) << quarantine.Problem();
            kept.emplace_back(entry, bytes);
        }
        return kept;
    }

    static std::string WithLineFeeds(std::string text) {
        for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
        return text;
    }

    std::string data_;
};

// A spam whose body holds what the wire changes: dot lines (stuffed by the
// server), a lone ".", 8-bit bytes and a long line (below the BYTES@5000 rule).
FakeMessage AwkwardSpam(const std::string& subject, const std::string& uid) {
    return {Message("From: spam@example.com\r\nSubject: " + subject + "\r\n",
                    ".\r\n..two\r\n.x\r\n\xE4\xF6\xFC 8bit\r\n" + std::string(3000, 'L') +
                        "\r\nend\r\n"),
            uid};
}

// In either pace each killed message is fetched whole, kept byte for byte
// (dots unstuffed, LF line ends) and only then deleted; its report entry
// names the copy.
TEST_F(QuarantineScanTest, EachKillIsKeptBeforeItsDelete) {
    for (bool pipelining : {false, true}) {
        SCOPED_TRACE(pipelining ? "pipelined" : "one by one");
        data_ = FreshDirectory();
        Settings.DataDir = data_;
        ForgetPipeliningForTesting();
        const std::vector<FakeMessage> mailbox{Plain(1), AwkwardSpam("viagra a", "u2"), Plain(3),
                                               AwkwardSpam("viagra b", "u4")};
        FakePop3Server server(mailbox, {.pipelining = pipelining});
        ASSERT_TRUE(Scan(server));
        const std::vector<std::string> commands = server.Commands();
        for (const std::string n : {"2", "4"}) {
            auto retr = std::find(commands.begin(), commands.end(), "RETR " + n);
            auto dele = std::find(commands.begin(), commands.end(), "DELE " + n);
            ASSERT_NE(retr, commands.end()) << n;
            EXPECT_LT(retr, dele) << n;
        }
        EXPECT_EQ(CountStarting(server, "RETR "), 2u);
        if (pipelining) {
            EXPECT_GE(server.MostQueued(), 2u);  // both RETRs went together
        }
        EXPECT_FALSE(session_.messages[2].shown);
        EXPECT_TRUE(session_.messages[2].deleted);

        auto kept = Kept();
        ASSERT_EQ(kept.size(), 2u);
        for (const auto& [entry, bytes] : kept) {
            const FakeMessage& original = mailbox[entry.subject == "viagra a" ? 1 : 3];
            EXPECT_EQ(bytes, WithLineFeeds(original.text)) << entry.subject;
            EXPECT_EQ(entry.size, static_cast<int64_t>(original.text.size()));
            EXPECT_EQ(entry.account, AccountKey("127.0.0.1", "alice"));
            EXPECT_NE(Report().find("Status     : " + QuarantinedStatus(entry.id) + "\n"),
                      std::string::npos);
        }
        EndUpstream();
        EXPECT_EQ(server.Expunged(), (std::set<int>{2, 4}));
    }
}

// Whatever keeps a copy from the disk keeps the message on the server,
// hidden, and the report and the log say why; other kills go on.
TEST_F(QuarantineScanTest, NoCopyMeansNoDelete) {
    {
        SCOPED_TRACE("the quarantine cannot be made");
        dir_.Write("NOT-A-DIRECTORY", "x");
        Settings.Quarantine = dir_.path() + "NOT-A-DIRECTORY/Q";
        FakePop3Server server({Spam("viagra"), Plain(2)}, {.pipelining = true});
        ASSERT_TRUE(Scan(server));
        EXPECT_FALSE(session_.messages[1].shown);
        EXPECT_FALSE(session_.messages[1].deleted);
        EXPECT_EQ(CountStarting(server, "DELE "), 0u);
        EXPECT_NE(
            Report().find("Status     : kept on the server (hidden), no copy could be kept: "),
            std::string::npos);
        EXPECT_NE(dir_.Read("TRAWLBOX.LOG").find("Message 1 kept on the server: "),
                  std::string::npos);
        CountShownMessages(session_);
        EXPECT_TRUE(session_.hasReport);
        EndUpstream();
        EXPECT_TRUE(server.Expunged().empty());
        Settings.Quarantine = "QUARANTINE";
    }
    {
        SCOPED_TRACE("over the size cap, beside one under it");
        Settings.QuarantineMaxMessageKB = 2;
        FakePop3Server server({AwkwardSpam("viagra big", "u1"), Spam("viagra small")});
        ASSERT_TRUE(Scan(server));
        EXPECT_FALSE(Sent(server, "RETR 1"));
        EXPECT_FALSE(session_.messages[1].deleted);
        EXPECT_TRUE(session_.messages[2].deleted);
        EXPECT_NE(Report().find("larger than QuarantineMaxMessageKB=2\n"), std::string::npos);
        EndUpstream();
        EXPECT_EQ(server.Expunged(), (std::set<int>{2}));
        Settings.QuarantineMaxMessageKB = 10240;
    }
    {
        SCOPED_TRACE("the server refuses the DELE of a kept copy");
        data_ = FreshDirectory();
        Settings.DataDir = data_;
        FakePop3Server server({Spam("viagra")}, {.refuseDele = {1}, .pipelining = true});
        ASSERT_TRUE(Scan(server));
        EXPECT_FALSE(session_.messages[1].shown);
        EXPECT_FALSE(session_.messages[1].deleted);
        auto kept = Kept();
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_NE(Report().find(CopiedButKeptStatus(kept[0].first.id, "DELE refused") + "\n"),
                  std::string::npos);
        EndUpstream();
    }
    {
        SCOPED_TRACE("the server goes away in the middle of a copy");
        FakePop3Server server({Spam("viagra"), Plain(2), Spam("viagra 3")},
                              {.dropOnCommand = "RETR 3", .pipelining = true});
        EXPECT_FALSE(Scan(server));
        EXPECT_FALSE(session_.messages[3].deleted);
        EXPECT_NE(Report().find("no copy could be kept: the server was lost"), std::string::npos);
        EndUpstream();
        EXPECT_TRUE(server.Expunged().empty());
    }
}

// A dry run sends nothing that changes the mailbox and hides nothing; the
// report tells what would have been killed or hidden, under its own heading.
TEST_F(QuarantineScanTest, DryRunChangesNothing) {
    Settings.DryRun = true;
    FakePop3Server server({Plain(1),
                           Spam("Cheap viagra"),
                           {Message("From: lottery@spam.example\r\nSubject: You won\r\n"), "u3"}});
    ASSERT_TRUE(Scan(server));
    EXPECT_EQ(CountStarting(server, "DELE "), 0u);
    EXPECT_EQ(CountStarting(server, "RETR "), 0u);
    for (int m = 1; m <= 3; ++m) EXPECT_TRUE(session_.messages[m].shown) << m;
    EXPECT_NE(Report().find("Subject    : Cheap viagra\nMessage-ID : <spam@example.com>\nSize"
                            "       :"),
              std::string::npos);
    EXPECT_NE(Report().find("Status     : " + std::string(kDryRunKillStatus) + "\n"),
              std::string::npos);
    EXPECT_NE(Report().find("Status     : " + std::string(kDryRunHideStatus) + "\n"),
              std::string::npos);
    EXPECT_NE(CompleteKillReport(Report(), ReportKind::kDryRun).find("Dry run: nothing has been"),
              std::string::npos);
    EXPECT_TRUE(Kept().empty());
}

// --- The header cache in the scan ---------------------------------------------

// The cache's mailbox key: the scan's server with the configured port.
constexpr int kCachePort = 110;

class CachedScanTest : public ScanTest {
  protected:
    void SetUp() override {
        ScanTest::SetUp();
        data_ = FreshDirectory();
        Settings.ScanCache = true;
        Settings.DataDir = data_;
        Settings.Pop3PortOutgoing = kCachePort;
    }

    // A scan on a server of its own (pipelining unless told otherwise) over
    // `mailbox`; returns the number of TOPs it sent, or -1 when it failed.
    int ScanOnce(const std::vector<FakeMessage>& mailbox, bool pipelining = true) {
        FakePop3Server server(mailbox, {.pipelining = pipelining});
        bool scanned = Scan(server);
        EndUpstream();
        mostQueued_ = server.MostQueued();
        deletes_ = CountStarting(server, "DELE ");
        capas_ = CountStarting(server, "CAPA");
        return scanned ? static_cast<int>(CountStarting(server, "TOP ")) : -1;
    }

    // The uids of `wanted` the cache holds for the scans' mailbox.
    std::vector<std::string> CachedOf(const std::vector<std::string>& wanted) {
        StateDatabase database;
        EXPECT_NE(database.Open(data_), OpenOutcome::kUnavailable) << database.Problem();
        HeaderCache cache(database, "127.0.0.1:" + std::to_string(kCachePort), "alice");
        CacheLookup lookup;
        EXPECT_TRUE(cache.Load(wanted, lookup));
        std::vector<std::string> found;
        for (const std::string& uid : wanted) {
            if (lookup.found.count(uid) != 0) found.push_back(uid);
        }
        return found;
    }

    std::string data_;
    size_t mostQueued_ = 0;
    size_t deletes_ = 0;
    size_t capas_ = 0;
};

// Messages whose judging reads folded, encoded, dated and sized headers.
std::vector<FakeMessage> AwkwardMailbox() {
    std::vector<FakeMessage> messages = MixedMailbox(120);
    messages[4] = {Message("Subject: =?iso-8859-1?Q?Gr=FC=DFe?=\r\n\tfolded  on\r\n"
                           "..dotted: x\r\nMessage-ID: <awkward@example.org>\r\n"),
                   "uid-5"};
    messages[5] = {Message("Subject: old\r\nDate: Mon, 1 Jan 2001 10:00:00 +0100\r\n"), "uid-6"};
    messages[6] = {Message("Subject: big\r\n", std::string(6000, 'x') + "\r\n"), "uid-7"};
    messages[7] = {Message("From: spam@example.com\r\nSubject: Buy\r\n\tviagra  now\r\n"
                           "To: a@example.org, b@example.org\r\n"),
                   "uid-8"};
    return messages;
}

// The differential: with the cache, without it and filling it, a login
// shows the same view, kills the same messages and writes the same report.
TEST_F(CachedScanTest, CachedAndFetchedHeadersAreJudgedAlike) {
    const std::vector<FakeMessage> mailbox = AwkwardMailbox();
    ASSERT_EQ(ScanOnce(mailbox), 120);
    const std::vector<std::string> filling = Outcome();
    EXPECT_EQ(deletes_, 6u);
    EXPECT_EQ(capas_, 1u);

    // Killed messages were not remembered; the server given here still has
    // them. It was seen to pipeline, so it is not asked again.
    ASSERT_EQ(ScanOnce(mailbox), 6);
    EXPECT_EQ(Outcome(), filling);
    EXPECT_EQ(capas_, 0u);
    ASSERT_EQ(ScanOnce(mailbox, false), 6);
    EXPECT_EQ(Outcome(), filling);

    Settings.ScanCache = false;
    ASSERT_EQ(ScanOnce(mailbox), 120);
    EXPECT_EQ(Outcome(), filling);
}

// Each login adds what it judged to the day's figures of the web page, the
// deciding rule's hits with its line; without the page nothing is written.
TEST_F(CachedScanTest, EachLoginAddsItsFigures) {
    const std::vector<FakeMessage> mailbox = {
        Plain(1),
        Spam("Cheap viagra"),
        {Message("From: Lottery Winner <lottery@spam.example>\r\nSubject: You won\r\n"), "uid-3"},
        Plain(4)};
    Settings.WebPort = 11180;
    ASSERT_GE(ScanOnce(mailbox), 0);
    ASSERT_GE(ScanOnce(mailbox), 0);
    Settings.WebPort = 0;
    ASSERT_GE(ScanOnce(mailbox), 0);

    StateDatabase database;
    ASSERT_NE(database.Open(data_), OpenOutcome::kUnavailable) << database.Problem();
    Statistics statistics(database);
    const int64_t today = DayNumberOf(LocalNow());
    std::vector<DayTotals> totals;
    ASSERT_TRUE(statistics.DailyTotals(today, 1, totals)) << statistics.Problem();
    ASSERT_EQ(totals.size(), 1u);
    EXPECT_EQ(totals[0].counts, (VerdictCounts{8, 2, 2, 4}));
    std::vector<RuleHits> rules;
    ASSERT_TRUE(statistics.TopRules(today, 1, 10, rules)) << statistics.Problem();
    const std::string file = dir_.path() + "KILLFILE.CFG:";
    EXPECT_EQ(rules, (std::vector<RuleHits>{{"\"*lottery*\" \xEAn \xAFSKIP", file + "4", 2},
                                            {"\"*viagra*\" \xEAs \xAF"
                                             "DELE",
                                             file + "3", 2}}));
}

// The cache holds headers, never verdicts: a new kill file applies to
// cached mail at once; the flood of DELEs stays within the window.
TEST_F(CachedScanTest, ChangedKillFileAppliesToCachedMail) {
    std::vector<FakeMessage> mailbox;
    for (int i = 1; i <= 100; ++i) mailbox.push_back(Plain(i));
    ASSERT_EQ(ScanOnce(mailbox), 100);
    EXPECT_EQ(deletes_, 0u);

    dir_.Write("KILLFILE.CFG",
               "--- ALLE\r\n\"*hello*\" \xEAs \xAF"
               "DELE\r\n");
    ASSERT_EQ(LoadKillFile(dir_.path() + "KILLFILE.CFG"), 1);
    ASSERT_EQ(ScanOnce(mailbox), 0);
    EXPECT_EQ(deletes_, 100u);
    EXPECT_LE(mostQueued_, 64u);
    for (int n = 1; n <= 100; ++n) EXPECT_TRUE(session_.messages[static_cast<size_t>(n)].deleted);
    EXPECT_NE(Report().find("Subject    : hello 100\n"), std::string::npos);
    // Killed now, so forgotten.
    EXPECT_TRUE(CachedOf({"uid-1", "uid-100"}).empty());
}

// New mail is fetched, mail deleted elsewhere is forgotten, and messages
// that cannot be told apart by uid are fetched at every login, as is one
// whose listed size is not the one cached.
TEST_F(CachedScanTest, NewGoneAndAmbiguousMessages) {
    std::vector<FakeMessage> mailbox;
    for (int i = 1; i <= 5; ++i) mailbox.push_back(Plain(i));
    mailbox.push_back({Message("Subject: twin a\r\n"), "twin"});
    mailbox.push_back({Message("Subject: twin b\r\n"), "twin"});
    ASSERT_EQ(ScanOnce(mailbox), 7);

    mailbox.erase(mailbox.begin());  // deleted by another program
    mailbox.push_back(Plain(9));     // new
    // A uid given to another message: its size tells.
    mailbox[1].text = Message("Subject: not what was cached under uid-3\r\n");
    ASSERT_EQ(ScanOnce(mailbox), 4);
    EXPECT_EQ(CachedOf({"uid-1", "uid-2", "uid-9"}), (std::vector<std::string>{"uid-2", "uid-9"}));
    ASSERT_EQ(ScanOnce(mailbox), 2);
    ASSERT_EQ(ScanOnce({}), 0);
    EXPECT_TRUE(CachedOf({"uid-2", "uid-9"}).empty());
}

// Nothing on disk is trusted: whatever is wrong with the file, the login
// scans as it would without a cache and the log says why.
TEST_F(CachedScanTest, BrokenDatabaseFilesCostOnlyTheCache) {
    std::vector<FakeMessage> mailbox;
    for (int i = 1; i <= 20; ++i) mailbox.push_back(Plain(i));
    ASSERT_EQ(ScanOnce(mailbox), 20);
    const std::vector<std::string> expected = Outcome();
    const std::string file = DatabasePath(data_);

    // Read-only, as the service's unprivileged user meets it.
    ASSERT_EQ(::chmod(data_.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    {
        UnprivilegedFiles unprivileged;
        ASSERT_EQ(ScanOnce(mailbox), 20);
    }
    EXPECT_EQ(Outcome(), expected);
    EXPECT_NE(dir_.Read("TRAWLBOX.LOG")
                  .find("the file is read-only; the mailbox is scanned "
                        "without the header cache"),
              std::string::npos);
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);

    // Damaged: set aside, made afresh, filled again.
    WriteBytes(file, std::string(8192, 'x'));
    ::unlink((file + "-wal").c_str());
    ::unlink((file + "-shm").c_str());
    ASSERT_EQ(ScanOnce(mailbox), 20);
    EXPECT_EQ(Outcome(), expected);
    EXPECT_TRUE(std::filesystem::exists(file + std::string(kSetAsideSuffix)));
    EXPECT_NE(dir_.Read("TRAWLBOX.LOG").find("made afresh"), std::string::npos);
    ASSERT_EQ(ScanOnce(mailbox), 0);

    // Missing data directory.
    Settings.DataDir = data_ + "missing/";
    ASSERT_EQ(ScanOnce(mailbox), 20);
    EXPECT_EQ(Outcome(), expected);
    EXPECT_NE(dir_.Read("TRAWLBOX.LOG").find("the data directory is missing"), std::string::npos);
}

// Sessions of different accounts, each on its own thread and connection,
// fill and read the one file at the same time.
TEST_F(CachedScanTest, ConcurrentSessionsOfDifferentAccounts) {
    constexpr int kSessions = 4;
    std::vector<FakeMessage> mailbox;
    for (int i = 1; i <= 60; ++i) mailbox.push_back(Plain(i));
    FakePop3Server warm(mailbox);  // the file is made and checked once, before the rush
    ASSERT_TRUE(Scan(warm));
    EndUpstream();

    std::vector<int> tops(kSessions * 2, -2);
    std::vector<std::thread> threads;
    for (int s = 0; s < kSessions; ++s) {
        threads.emplace_back([&, s] {
            for (int round = 0; round < 2; ++round) {
                FakePop3Server server(mailbox, {.pipelining = true});
                Pop3Session session;
                session.host = "127.0.0.1";
                session.account = "account" + std::to_string(s);
                session.envelope = "me@example.org";
                session.upstream = Connection::ConnectTo("127.0.0.1", server.port());
                session.upstream.SetTimeout(kUpstreamTimeoutSeconds);
                std::string greeting;
                session.upstream.ReceiveLine(greeting);
                bool scanned = ScanMailbox(session);
                session.upstream.SendLine("QUIT");
                session.upstream.ReceiveLine(greeting);
                session.upstream.Close();
                session.upstream.Release();
                tops[static_cast<size_t>(s * 2 + round)] =
                    scanned ? static_cast<int>(CountStarting(server, "TOP ")) : -1;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int s = 0; s < kSessions; ++s) {
        EXPECT_EQ(tops[static_cast<size_t>(s * 2)], 60) << s;
        EXPECT_EQ(tops[static_cast<size_t>(s * 2 + 1)], 0) << s;
    }
}

}  // namespace
