// Sets built apart from the running one and swapped in: a judgement keeps
// the set it started with, a build leaves the running set alone, and what a
// thread keeps between judgements follows the set.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "filter/kill_table.h"
#include "filter_test_util.h"

namespace {

using Texts = std::vector<std::string>;

// A section of `rules` rules that all match subject "a", their actions
// alternating between the two words: a judgement calls once per rule.
std::vector<std::string> Alternating(int rules, const std::string& first,
                                     const std::string& second) {
    std::vector<std::string> lines{"--- ALLE"};
    for (int i = 0; i < rules; ++i) {
        lines.push_back("\"*a*\" <EA>s <AF>" + (i % 2 == 0 ? first : second));
    }
    return lines;
}

std::shared_ptr<const KillSet> Built(const FilterLogDir& dir, const std::string& name,
                                     const std::vector<std::string>& lines,
                                     int64_t cellLimit = kKillTableCellLimit) {
    dir.dir().Write(name, KillFileText(lines));
    KillSetBuild build = BuildKillSetWithLimit(dir.Path(name), cellLimit);
    EXPECT_TRUE(build.problems.empty()) << name;
    return build.set;
}

FilterSubject SubjectA() {
    FilterSubject message;
    message.folder = "user@example.com";
    message.subject = "a";
    return message;
}

TEST(KillSet, AJudgementFinishesWithTheSetItStartedWith) {
    FilterLogDir dir;
    auto first = Built(dir, "A.CFG", Alternating(4, "SKIP", "DELE"));
    auto second = Built(dir, "B.CFG", Alternating(4, "RETR", "HEAD"), 0);  // streamed
    PublishKillSet(first);
    FilterSubject message = SubjectA();
    FilterCursor cursor;
    std::string action;
    std::string reason;
    Texts actions;
    for (int call = 0; call < 10; ++call) {
        EvaluateFilters(message, cursor, action, reason);
        if (cursor.matched != 1) break;
        actions.push_back(Trim(action));
        // A reload after every call, as many as the judgement has calls.
        PublishKillSet(call % 2 == 0 ? second : first);
    }
    EXPECT_EQ(actions, (Texts{"SKIP", "DELE", "SKIP", "DELE"}));
    // The next judgement starts with the set published last.
    PublishKillSet(second);
    EXPECT_EQ(Judge(message).actions, (Texts{"RETR", "HEAD", "RETR", "HEAD"}));

    // A cursor used again after a miss starts over with the set current
    // then, between the two readers and between two streamed sets.
    auto third = Built(dir, "C.CFG", {"--- USER@*", "\"*a*\" <EA>s <AF>DELE"}, 0);
    const std::shared_ptr<const KillSet>* order[] = {&first, &second, &third, &first};
    const char* firstAction[] = {"SKIP", "RETR", "DELE", "SKIP"};
    for (size_t k = 0; k + 1 < std::size(order); ++k) {
        SCOPED_TRACE(k);
        PublishKillSet(*order[k]);
        FilterSubject other = SubjectA();
        other.subject = "b";
        FilterCursor reused;
        EvaluateFilters(other, reused, action, reason);
        ASSERT_EQ(reused.matched, 0);
        PublishKillSet(*order[k + 1]);
        EvaluateFilters(message, reused, action, reason);
        ASSERT_EQ(reused.matched, 1);
        EXPECT_EQ(Trim(action), firstAction[k + 1]);
    }
}

TEST(KillSet, BuildingLeavesTheRunningSetAlone) {
    FilterLogDir dir;
    PublishKillSet(Built(dir, "A.CFG", Alternating(2, "SKIP", "DELE")));
    std::shared_ptr<const KillSet> running = CurrentKillSet();
    // The same file name, now broken: the caller sees the errors and keeps
    // what runs.
    dir.dir().Write("A.CFG", KillFileText({"--- ALLE", "\"*a*\" <EA>s <AF>DELE", "\"*b*\" DELE"}));
    KillSetBuild broken = BuildKillSet(dir.Path("A.CFG"));
    ASSERT_TRUE(HasErrors(broken.problems));
    ASSERT_NE(broken.set, nullptr);
    EXPECT_EQ(CurrentKillSet(), running);
    EXPECT_EQ(Judge(SubjectA()).actions, (Texts{"SKIP", "DELE"}));
    // A missing file neither.
    EXPECT_EQ(BuildKillSet(dir.Path("GONE.CFG")).set, nullptr);
    EXPECT_EQ(CurrentKillSet(), running);
    // A streamed set reads the bytes it was built from, not the file as it
    // is now.
    dir.dir().Write("S.CFG", KillFileText(Alternating(2, "RETR", "HEAD")));
    KillSetBuild streamed = BuildKillSetWithLimit(dir.Path("S.CFG"), 0);
    dir.dir().Write("S.CFG", KillFileText(Alternating(2, "DELE", "DELE")));
    PublishKillSet(streamed.set);
    EXPECT_EQ(Judge(SubjectA()).actions, (Texts{"RETR", "HEAD"}));
}

TEST(KillSet, WhatAThreadKeepsFollowsTheSet) {
    FilterLogDir dir;
    // The same shape, so that only the set's identity tells them apart:
    // one section each, applying to the folder or not, and header names in
    // a different order, so that the slots differ.
    auto applies = Built(dir, "A.CFG",
                         {"--- USER@*", "\"*cannon*\" <EA>\"X-MAILER:\" <AF>DELE",
                          "\"*corp*\" <EA>\"ORGANIZATION:\" <AF>SKIP"});
    auto other = Built(dir, "B.CFG",
                       {"--- OTHER@*", "\"*corp*\" <EA>\"ORGANIZATION:\" <AF>RETR",
                        "\"*cannon*\" <EA>\"X-MAILER:\" <AF>HEAD"});
    auto swapped = Built(dir, "C.CFG",
                         {"--- USER@*", "\"*corp*\" <EA>\"ORGANIZATION:\" <AF>RETR",
                          "\"*cannon*\" <EA>\"X-MAILER:\" <AF>HEAD"});
    FilterSubject message = SubjectA();
    message.headerLines = {"X-Mailer: Mail Cannon", "Organization: Big Corp"};
    for (int round = 0; round < 3; ++round) {
        PublishKillSet(applies);
        EXPECT_EQ(Judge(message).actions, (Texts{"DELE", "SKIP"}));
        PublishKillSet(other);
        EXPECT_TRUE(Judge(message).actions.empty());
        PublishKillSet(swapped);
        EXPECT_EQ(Judge(message).actions, (Texts{"RETR", "HEAD"}));
    }
}

TEST(KillSet, ThreadsJudgeWhileAnotherSwapsTheSet) {
    FilterLogDir dir;
    constexpr int kRules = 40;
    auto first = Built(dir, "A.CFG", Alternating(kRules, "SKIP", "DELE"));
    auto second = Built(dir, "B.CFG", Alternating(kRules, "RETR", "HEAD"), 0);
    PublishKillSet(first);
    Texts expectFirst = Judge(SubjectA()).actions;
    PublishKillSet(second);
    Texts expectSecond = Judge(SubjectA()).actions;
    ASSERT_EQ(expectFirst.size(), size_t{kRules});
    ASSERT_EQ(expectSecond.size(), size_t{kRules});

    // The judges judge until the swapper is done, so that swaps land in the
    // middle of judgements; both loops are bounded.
    constexpr int kJudges = 3;
    constexpr int kSwaps = 300;
    constexpr int kJudgementLimit = 200'000;
    std::atomic<int> started{0};
    std::atomic<bool> swapping{true};
    std::vector<std::array<int, 3>> seen(kJudges, {0, 0, 0});  // first, second, neither
    std::vector<std::thread> threads;
    for (int t = 0; t < kJudges; ++t) {
        threads.emplace_back([&, t] {
            FilterSubject message = SubjectA();
            ++started;
            for (int j = 0; j < kJudgementLimit && swapping.load(); ++j) {
                Texts actions = Judge(message).actions;
                ++seen[t][actions == expectFirst ? 0 : actions == expectSecond ? 1 : 2];
            }
        });
    }
    while (started.load() < kJudges) std::this_thread::yield();
    for (int swap = 0; swap < kSwaps; ++swap) {
        PublishKillSet(swap % 2 == 0 ? first : second);
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    swapping = false;
    for (std::thread& thread : threads) thread.join();
    std::array<int, 3> total{0, 0, 0};
    for (int t = 0; t < kJudges; ++t) {
        for (size_t k = 0; k < total.size(); ++k) total[k] += seen[t][k];
    }
    EXPECT_EQ(total[2], 0) << "judgements that mixed the two sets";
    // Both sets were judged with, or the test proved little.
    EXPECT_GT(total[0], 0);
    EXPECT_GT(total[1], 0);
}

}  // namespace
