#include "nntp/overview_filter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/settings.h"
#include "filter/judge_cases.h"
#include "net/connection.h"
#include "news_test_support.h"
#include "platform/clock.h"
#include "store/state_database.h"
#include "store/statistics.h"

namespace {

using newstest::FakeNewsServer;
using newstest::FakeReply;
using newstest::KillFileScope;
using newstest::OverviewLine;
using newstest::ReaderConnection;

constexpr int kTimeoutSeconds = 60;

std::string Rule(const std::string& pattern, const std::string& options,
                 const std::string& action) {
    return "\"" + pattern + "\" \xEA" + options + " \xAF" + action + "\r\n";
}

class JudgeArticleTest : public nettest::NetTest {
  protected:
    // Judges with the kill set loaded last.
    ArticleVerdict Judge(const std::string& group, const std::string& subject,
                         std::string* reasonOut = nullptr) {
        ArticleJudgement judgement = JudgeArticle(group, "someone@example.org", subject,
                                                  "<id@example.org>", "", *CurrentKillSet());
        if (reasonOut != nullptr) *reasonOut = judgement.reason;
        return judgement.verdict;
    }
};

TEST(NewsFolderTest, GroupNameBecomesFolder) {
    const std::pair<const char*, const char*> cases[] = {
        {"de.test", "/de/test"}, {"de.comp.lang.c++", "/de/comp/lang/c++"},
        {"local", "/local"},     {"", "/"},
        {"a..b.", "/a//b/"},
    };
    for (const auto& [group, folder] : cases) EXPECT_EQ(NewsFolder(group), folder) << group;
}

// Only SKIP withholds: for news DELE, HEAD, RETR and any unknown word pass.
TEST_F(JudgeArticleTest, ActionWordDecidesVerdict) {
    const std::pair<const char*, ArticleVerdict> cases[] = {
        {"SKIP", ArticleVerdict::kWithhold}, {"RETR", ArticleVerdict::kPass},
        {"HEAD", ArticleVerdict::kPass},     {"DELE", ArticleVerdict::kPass},
        {"KILL", ArticleVerdict::kPass},     {"skip", ArticleVerdict::kPass},
        {"", ArticleVerdict::kPass},
    };
    for (const auto& [word, expected] : cases) {
        KillFileScope kill(dir_, "--- ALLE\r\n" + Rule("*spam*", "s", word));
        ASSERT_TRUE(kill.loaded());
        std::string reason;
        EXPECT_EQ(Judge("de.test", "cheap spam here", &reason), expected) << word;
        // The loader ends every rule line with one space.
        EXPECT_EQ(reason, std::string("\"*spam*\" \xEAs \xAF") + word + " ") << word;
        EXPECT_EQ(Judge("de.test", "a fine article", &reason), ArticleVerdict::kPass) << word;
        EXPECT_EQ(reason, "") << word;
    }
}

// Without Q the last matching rule in file order decides, and for news an
// unknown word sets the verdict back to pass; Q ends the search.
TEST_F(JudgeArticleTest, LastMatchingRuleDecidesUnlessQ) {
    struct Case {
        const char* name;
        std::string rules;
        ArticleVerdict expected;
        std::string reasonAction;
    };
    const Case cases[] = {
        {"skip then retr", Rule("*spam*", "s", "SKIP") + Rule("*cheap*", "s", "RETR"),
         ArticleVerdict::kPass, "RETR"},
        {"skip with q", Rule("*spam*", "sq", "SKIP") + Rule("*cheap*", "s", "RETR"),
         ArticleVerdict::kWithhold, "SKIP"},
        {"retr then skip", Rule("*spam*", "s", "RETR") + Rule("*cheap*", "s", "SKIP"),
         ArticleVerdict::kWithhold, "SKIP"},
        {"skip then unknown", Rule("*spam*", "s", "SKIP") + Rule("*cheap*", "s", "MAYBE"),
         ArticleVerdict::kPass, "MAYBE"},
        {"skip then dele", Rule("*spam*", "s", "SKIP") + Rule("*cheap*", "s", "DELE"),
         ArticleVerdict::kPass, "DELE"},
        {"later rule misses", Rule("*spam*", "s", "SKIP") + Rule("*nothing*", "s", "RETR"),
         ArticleVerdict::kWithhold, "SKIP"},
        {"second section decides",
         Rule("*spam*", "s", "SKIP") + "--- /DE/*\r\n" + Rule("*cheap*", "s", "HEAD"),
         ArticleVerdict::kPass, "HEAD"},
    };
    for (const Case& c : cases) {
        KillFileScope kill(dir_, "--- ALLE\r\n" + c.rules);
        ASSERT_TRUE(kill.loaded()) << c.name;
        std::string reason;
        EXPECT_EQ(Judge("de.test", "cheap spam", &reason), c.expected) << c.name;
        EXPECT_EQ(reason.substr(reason.find('\xAF') + 1), c.reasonAction + " ") << c.name;
    }
}

// The kill file the mail tests judge with too: news reads the same matches
// with its own table.
TEST_F(JudgeArticleTest, ActionWordsReadByTheNewsTable) {
    KillFileScope kill(dir_, judge_cases::kKillFile);
    ASSERT_TRUE(kill.loaded());
    const std::string path = dir_.path() + "KILLFILE.CFG";
    for (const judge_cases::Case& c : judge_cases::Cases()) {
        SCOPED_TRACE(c.subject);
        ArticleJudgement judgement = JudgeOverviewLine(
            "de.test", OverviewLine("7", c.subject, "someone@example.org", "<id@example.org>"),
            *CurrentKillSet());
        EXPECT_EQ(judgement.verdict == ArticleVerdict::kWithhold ? "withhold" : "pass",
                  std::string(c.news));
        EXPECT_EQ(judge_cases::Locations(judgement.matches),
                  judge_cases::ExpectedLocations(c, path));
        EXPECT_EQ(judgement.action,
                  judgement.matches.empty() ? "" : judgement.matches.back().action);
    }
    // What the filter saw: the fields decoded, the sender address first.
    ArticleJudgement seen = JudgeOverviewLine(
        "de.test",
        OverviewLine("8", "=?utf-8?q?caf=C3=A9?=", "\"Some One\" <one@example.org>", "<m@x>",
                     "<r@x>"),
        *CurrentKillSet());
    EXPECT_EQ(seen.article.folder, "/de/test");
    EXPECT_EQ(seen.article.subject, "caf\x82");  // code page 437 e-acute
    EXPECT_EQ(seen.article.from, "one@example.org (Some One)");
    EXPECT_EQ(seen.article.messageId, "<m@x>");
    EXPECT_EQ(seen.article.references, "<r@x>");
}

// Sections apply by the folder made from the group; no group gives "/".
TEST_F(JudgeArticleTest, SectionsApplyByGroupFolder) {
    KillFileScope kill(dir_, "--- /DE/TEST\r\n" + Rule("*spam*", "s", "SKIP") + "--- /\r\n" +
                                 Rule("*ham*", "s", "SKIP"));
    ASSERT_TRUE(kill.loaded());
    const std::tuple<const char*, const char*, ArticleVerdict> cases[] = {
        {"de.test", "spam", ArticleVerdict::kWithhold},
        {"DE.TEST", "spam", ArticleVerdict::kWithhold},
        {"de.test.sub", "spam", ArticleVerdict::kPass},
        {"local.test", "spam", ArticleVerdict::kPass},
        {"", "spam", ArticleVerdict::kPass},
        {"", "ham", ArticleVerdict::kWithhold},
        {"de.test", "ham", ArticleVerdict::kPass},
    };
    for (const auto& [group, subject, expected] : cases) {
        EXPECT_EQ(Judge(group, subject), expected) << group << " / " << subject;
    }
}

// RelayOverview between a scripted server and a reader, both on loopback
// slots owned by the test's thread.
class RelayOverviewTest : public nettest::NetTest {
  protected:
    void TearDown() override {
        server_.Close();
        server_.Release();
        if (reader_) {
            reader_->connection().Close();
            reader_->connection().Release();
        }
        reader_.reset();
        NetTest::TearDown();
    }

    void Connect(FakeNewsServer& server) {
        reader_ = std::make_unique<ReaderConnection>(kTimeoutSeconds);
        server_ = Connection::ConnectTo("127.0.0.1", server.port());
        ASSERT_TRUE(server_.open());
        server_.SetTimeout(kTimeoutSeconds);
        std::string greeting;
        server_.ReceiveLine(greeting);
        ASSERT_EQ(greeting, "200 fake news ready");
    }

    // Runs the relay while the reader's end collects what arrives, up to the
    // line "." or the end of the connection.
    std::vector<std::string> Relay(const std::string& group, const std::string& command) {
        std::vector<std::string> seen;
        std::thread collector([&] { seen = reader_->Block(); });
        RelayOverview(reader_->connection(), server_, group, command);
        if (server_.LinkFailed()) {
            // No closing "." comes: end the reader's wait.
            reader_->connection().Close();
        }
        collector.join();
        return seen;
    }

    std::unique_ptr<ReaderConnection> reader_;
    Connection server_;
};

const std::string kSpamLine =
    OverviewLine("2", "=?UTF-8?B?Q2hlYXAgc3BhbQ==?=", "king@spam.example (Spam King)",
                 "<spam@example.org>", "<root@example.org>");
const std::vector<std::string> kOverview = {
    OverviewLine("1", "Hello", "ann@example.org", "<one@example.org>"),
    kSpamLine,
    OverviewLine("3", "Re: cheap spam", "bob@example.org", "<three@example.org>"),
    "4\tShort line\tcarol@example.org",
    "5",
    "",
    OverviewLine("6", "Last", "dan@example.org", "<six@example.org>"),
};

std::string ListReply(const std::vector<std::string>& lines) {
    std::string text = "224 Overview information follows\r\n";
    for (const std::string& line : lines) text += line + "\r\n";
    return text + ".\r\n";
}

// The From field is matched in its address-first form, decoded after.
TEST_F(RelayOverviewTest, FromFieldMatchesDecodedAddressFirst) {
    KillFileScope kill(dir_,
                       "--- /DE/TEST\r\n" + Rule("king@spam.example (Spam King)", "n", "SKIP"));
    ASSERT_TRUE(kill.loaded());
    const std::string encoded =
        OverviewLine("1", "Hi", "=?UTF-8?B?U3BhbSBLaW5n?= <king@spam.example>", "<1@x>");
    const std::string other = OverviewLine("2", "Hi", "Spam King <other@example.org>", "<2@x>");
    FakeNewsServer server([&](const std::string&) {
        return FakeReply{ListReply({encoded, other})};
    });
    Connect(server);
    EXPECT_EQ(Relay("de.test", "XOVER 1-2"),
              (std::vector<std::string>{"224 Overview information follows", other, "."}));
}

// The encoded subject is matched and logged decoded, the sender logged in its
// name-first form. Malformed lines pass; an empty line from a live server
// does not end the list.
TEST_F(RelayOverviewTest, SkipRuleWithholdsLineAndWritesLogBlock) {
    KillFileScope kill(dir_, "--- /DE/TEST\r\n" + Rule("Cheap spam", "s", "SKIP"));
    ASSERT_TRUE(kill.loaded());
    FakeNewsServer server([](const std::string&) { return FakeReply{ListReply(kOverview)}; });
    Connect(server);

    std::vector<std::string> seen = Relay("de.test", "XOVER 1-6");
    std::vector<std::string> expected = {"224 Overview information follows"};
    for (const std::string& line : kOverview) {
        if (line != kSpamLine) expected.push_back(line);
    }
    expected.push_back(".");
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(
        Logged("Filter: <spam@example.org>\n"
               "\t\t\t\xC3 from: Spam King <king@spam.example>\n"
               "\t\t\t\xC3 Subject: Cheap spam\n"
               "\t\t\t\xC0 Reason: \"Cheap spam\" \xEAs \xAFSKIP ",
               server_.slot()))
        << Log();
}

// Each list adds its judged and withheld lines, and the deciding rule's hit,
// to the web page's figures of the day.
TEST_F(RelayOverviewTest, ListAddsItsFigures) {
    KillFileScope kill(dir_, "--- /DE/TEST\r\n" + Rule("Cheap spam", "s", "SKIP"));
    ASSERT_TRUE(kill.loaded());
    const std::string data = dir_.path() + "data/";
    ASSERT_TRUE(std::filesystem::create_directory(data));
    Settings.DataDir = data;
    Settings.WebPort = 11180;
    FakeNewsServer server([](const std::string&) { return FakeReply{ListReply(kOverview)}; });
    Connect(server);
    Relay("de.test", "XOVER 1-6");
    Settings.WebPort = 0;
    Settings.DataDir.clear();

    StateDatabase database;
    ASSERT_NE(database.Open(data), OpenOutcome::kUnavailable) << database.Problem();
    Statistics statistics(database);
    const int64_t today = DayNumberOf(LocalNow());
    std::vector<DayTotals> totals;
    ASSERT_TRUE(statistics.DailyTotals(today, 1, totals)) << statistics.Problem();
    ASSERT_EQ(totals.size(), 1u);
    const int64_t lines = static_cast<int64_t>(kOverview.size());
    EXPECT_EQ(totals[0].counts, (VerdictCounts{lines, 0, 1, lines - 1}));
    std::vector<RuleHits> rules;
    ASSERT_TRUE(statistics.TopRules(today, 1, 10, rules)) << statistics.Problem();
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].hits, 1);
    EXPECT_EQ(rules[0].location, dir_.path() + "KILLFILE.CFG:2");
}

// The same list in another group, or with no kill file loaded, passes whole.
TEST_F(RelayOverviewTest, OtherFolderOrNoFilterPassesEverything) {
    KillFileScope kill(dir_, "--- /DE/TEST\r\n" + Rule("Cheap spam", "s", "SKIP"));
    ASSERT_TRUE(kill.loaded());
    FakeNewsServer server([](const std::string&) { return FakeReply{ListReply(kOverview)}; });
    Connect(server);
    std::vector<std::string> whole = {"224 Overview information follows"};
    whole.insert(whole.end(), kOverview.begin(), kOverview.end());
    whole.push_back(".");

    EXPECT_EQ(Relay("local.test", "XOVER"), whole);
    EXPECT_EQ(Relay("", "OVER"), whole);
    FilterLoaded = false;
    EXPECT_EQ(Relay("de.test", "XOVER"), whole);
    EXPECT_EQ(Log().find("Filter: "), std::string::npos);
}

TEST_F(RelayOverviewTest, RefusalIsPassedAsOneLine) {
    FakeNewsServer server([](const std::string& line) {
        if (line == "XOVER") return FakeReply{"412 No newsgroup selected\r\n"};
        return FakeReply{"111 20240101000000\r\n"};
    });
    Connect(server);
    std::thread collector([&] { EXPECT_EQ(reader_->Line(), "412 No newsgroup selected"); });
    RelayOverview(reader_->connection(), server_, "", "XOVER");
    collector.join();
    // The server's next reply is still there for the next command.
    server_.SendLine("DATE");
    std::string reply;
    server_.ReceiveLine(reply);
    EXPECT_EQ(reply, "111 20240101000000");
}

TEST_F(RelayOverviewTest, LostServerEndsListWithoutDot) {
    FakeNewsServer server([](const std::string&) {
        FakeReply reply{"224 follows\r\n" + OverviewLine("1", "a", "b@c", "<1@c>") + "\r\n"};
        reply.hangUp = true;
        return reply;
    });
    Connect(server);
    std::vector<std::string> seen = Relay("de.test", "XOVER 1-100");
    EXPECT_EQ(seen, (std::vector<std::string>{"224 follows", OverviewLine("1", "a", "b@c", "<1@c>"),
                                              "<closed>"}));
    EXPECT_TRUE(server_.LinkFailed());
    EXPECT_TRUE(Logged("Connection lost during XOVER", reader_->slot())) << Log();
}

// A list far larger than one batch arrives whole and in order, with exactly
// the rejected lines missing.
TEST_F(RelayOverviewTest, LongListIsRelayedInOrder) {
    constexpr int kLines = 20000;
    KillFileScope kill(dir_, "--- ALLE\r\n" + Rule("*spam*", "s", "SKIP"));
    ASSERT_TRUE(kill.loaded());
    auto line = [](int n) {
        return OverviewLine(std::to_string(n), n % 7 == 0 ? "spam " + std::to_string(n) : "ok",
                            "a@b.example", "<" + std::to_string(n) + "@b.example>");
    };
    std::string list = "224 follows\r\n";
    for (int n = 1; n <= kLines; ++n) list += line(n) + "\r\n";
    list += ".\r\n";
    FakeNewsServer server([&](const std::string&) { return FakeReply{list}; });
    Connect(server);

    std::vector<std::string> seen = Relay("de.test", "XOVER 1-20000");
    std::vector<std::string> expected = {"224 follows"};
    for (int n = 1; n <= kLines; ++n) {
        if (n % 7 != 0) expected.push_back(line(n));
    }
    expected.push_back(".");
    EXPECT_EQ(seen, expected);
}

}  // namespace
