// Regular-expression conditions: compiled once, shared between session
// threads, bounded against hostile headers, and a bad one reported once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "filter/kill_table.h"
#include "filter/match.h"
#include "filter_test_util.h"

namespace {

using Texts = std::vector<std::string>;

FilterSubject Subject(std::string subject) {
    FilterSubject s;
    s.folder = "user@example.com";
    s.subject = std::move(subject);
    s.from = "someone@example.com";
    return s;
}

TEST(RegexRules, ThreadsEvaluatingAtOnceAgreeWithOneThread) {
    FilterLogDir dir;
    ASSERT_EQ(dir.Load({"--- ALLE", "REGEXPR \"^RE: *[0-9]+\" <EA>s <AF>RETR",
                        "REGEXPR \"(CHEAP|FREE) +(PILLS|MONEY)\" <EA>s <AF>DELE",
                        "REGEXPR \"@SPAM\\.[A-Z]+\" <EA>n <AF>SKIP",
                        "REGEXPR \"[0-9]{3,}\" <EA>\"X-ID:\" <AF>HEAD"}),
              1);
    std::vector<FilterSubject> messages;
    const char* subjects[] = {"Re: 12", "cheap pills", "free  money",
                              "hello",  "re:x",        "FREE PILLS"};
    for (int i = 0; i < 24; ++i) {
        FilterSubject s = Subject(subjects[i % 6]);
        if (i % 4 == 1) s.from = "x@spam.example";
        s.headerLines = {i % 3 ? "X-Id: 12" : "X-Id: 12345"};
        messages.push_back(s);
    }
    std::vector<Texts> expected;
    for (const FilterSubject& s : messages) expected.push_back(Judge(s).actions);
    ASSERT_GT(
        std::count_if(expected.begin(), expected.end(), [](const Texts& t) { return !t.empty(); }),
        12);

    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                for (size_t i = 0; i < messages.size(); ++i) {
                    if (Judge(messages[i]).actions != expected[i]) ++mismatches;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(RegexRules, NewPatternsCompiledFromSeveralThreadsAtOnce) {
    constexpr int kThreads = 4;
    constexpr int kPatterns = 50;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            // Every thread asks for the same new patterns in the same order,
            // so they race on compiling and storing each one.
            for (int p = 0; p < kPatterns; ++p) {
                std::string pattern = "^CONCURRENT-" + std::to_string(p) + "-[0-9]+\\r\\n";
                std::string hit = "concurrent-" + std::to_string(p) + "-42";
                if (MatchPattern(pattern, hit, 0, true) != 1) ++wrong;
                if (MatchPattern(pattern, hit + "x", 0, true) != 0) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(RegexRules, CatastrophicBacktrackingStopsAtTheMatchLimit) {
    FilterLogDir dir;
    ASSERT_EQ(dir.Load({"--- ALLE", "REGEXPR \"^(\\w+\\s?)*$\" <EA>sc <AF>DELE",
                        "REGEXPR \"^(A+)+B\" <EA>s <AF>SKIP"}),
              1);
    std::string hostile(40, 'a');
    hostile += "!b";
    FilterSubject message = Subject(hostile);
    // Both expressions would backtrack for far longer than a session may
    // wait; the limit turns that into "no match".
    EXPECT_TRUE(Judge(message).actions.empty());
    // The same expressions still match what they are meant for.
    EXPECT_EQ(Judge(Subject("aaab")).actions, (Texts{"DELE", "SKIP"}));
}

TEST(RegexRules, PatternThatDoesNotCompileIsFalseAndReportedOnce) {
    FilterLogDir dir;
    dir.dir().Write("BAD.CFG",
                    KillFileText({"--- ALLE", "REGEXPR \"([A-Z\" <EA>s <AF>DELE",
                                  "REGEXPR \"([A-Z\" <EA>sx <AF>SKIP", "KILLALL <EA> <AF>RETR"}));
    ASSERT_EQ(LoadKillFile(dir.Path("BAD.CFG")), 1);
    EXPECT_EQ(Judge(Subject("ABC")).actions, Texts{"RETR"});
    // Read at each evaluation the rules are parsed again, but the failure
    // is not reported again.
    ASSERT_EQ(LoadKillFileWithLimit(dir.Path("BAD.CFG"), 0), 1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Judge(Subject("ABC")).actions, Texts{"RETR"});

    Texts texts = dir.LogTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("incorrect REGEXPR", 0), 0u);
    EXPECT_NE(texts[0].find(Bytes(": REGEXPR \"([A-Z\" <EA>s <AF>DELE")), std::string::npos);
}

}  // namespace
