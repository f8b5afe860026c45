#include "store/pending_reports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "store_test_util.h"

namespace {

const std::string kAnna = "pop.example.net#anna";
const std::string kBert = "mail.example.org#bert";

std::vector<std::string> Texts(const std::vector<PendingReport>& reports) {
    std::vector<std::string> texts;
    for (const PendingReport& report : reports) texts.push_back(report.text);
    return texts;
}

class PendingReportsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = FreshDirectory();
        ASSERT_EQ(database_.Open(directory_), OpenOutcome::kOpened) << database_.Problem();
    }

    std::vector<PendingReport> TakeAll(const std::string& account) {
        PendingReports reports(database_);
        std::vector<PendingReport> taken;
        EXPECT_TRUE(reports.Take(account, taken)) << reports.Problem();
        return taken;
    }

    std::string directory_;
    StateDatabase database_;
};

TEST_F(PendingReportsTest, ReportsAreHandedOutOnceInOrderAtTheNextLogin) {
    const std::string first = "Trawlbox kill report\r\n\r\n1 message killed\r\n";
    const std::string second = std::string("second\0with nul \xff\r\n", 19);
    {
        PendingReports reports(database_);
        ASSERT_TRUE(reports.Keep(kAnna, first, 1000)) << reports.Problem();
        ASSERT_TRUE(reports.Keep(kBert, "bert's", 1500));
        ASSERT_TRUE(reports.Keep(kAnna, second, 2000));
    }
    database_.Close();
    ASSERT_EQ(database_.Open(directory_), OpenOutcome::kOpened);

    std::vector<PendingReport> taken = TakeAll(kAnna);
    ASSERT_EQ(Texts(taken), (std::vector<std::string>{first, second}));
    EXPECT_EQ(taken[0].keptAt, 1000);
    EXPECT_EQ(taken[1].keptAt, 2000);
    EXPECT_TRUE(TakeAll(kAnna).empty());
    EXPECT_EQ(Texts(TakeAll(kBert)), std::vector<std::string>{"bert's"});
    EXPECT_TRUE(TakeAll("pop.example.net#ann").empty());
}

TEST_F(PendingReportsTest, AnAccountKeepsItsNewestReportsUpToTheBound) {
    PendingReports reports(database_);
    std::vector<std::string> expected;
    for (size_t i = 0; i < kMaxPendingReports + 5; ++i) {
        std::string text = "report " + std::to_string(i);
        ASSERT_TRUE(reports.Keep(kAnna, text, static_cast<int64_t>(i))) << reports.Problem();
        if (i >= 5) expected.push_back(text);
    }
    ASSERT_TRUE(reports.Keep(kBert, "bert's", 0));
    EXPECT_EQ(Texts(TakeAll(kAnna)), expected);
    EXPECT_EQ(TakeAll(kBert).size(), 1u);

    std::string largest(kMaxPendingReportBytes, 'x');
    EXPECT_TRUE(reports.Keep(kAnna, largest, 1));
    EXPECT_FALSE(reports.Keep(kAnna, largest + "x", 2));
    EXPECT_EQ(reports.Problem(),
              "the report of 1048577 bytes is larger than 1048576 and is not kept");
    EXPECT_EQ(Texts(TakeAll(kAnna)), std::vector<std::string>{largest});
}

// A take that fails takes nothing: the reports wait for the login after.
TEST_F(PendingReportsTest, FailedTakeLeavesTheReports) {
    PendingReports reports(database_);
    ASSERT_TRUE(reports.Keep(kAnna, "waiting", 1));
    std::vector<PendingReport> taken;
    {
        RawConnection holder(DatabasePath(directory_));
        ASSERT_EQ(holder.Run("BEGIN IMMEDIATE"), "");
        EXPECT_FALSE(reports.Take(kAnna, taken));
        EXPECT_NE(reports.Problem().find("locked"), std::string::npos) << reports.Problem();
        EXPECT_TRUE(taken.empty());
        EXPECT_FALSE(reports.Keep(kAnna, "while locked", 2));
    }
    EXPECT_EQ(Texts(TakeAll(kAnna)), std::vector<std::string>{"waiting"});
}

// Logins of one account at once, while a session that lost its client keeps
// reports: each report reaches exactly one login.
TEST(PendingReportsConcurrency, SimultaneousLoginsTakeEachReportOnce) {
    constexpr int kTakers = 3;
    constexpr int kReports = static_cast<int>(kMaxPendingReports) - 5;  // none dropped
    constexpr int kMaxRounds = 100000;
    const std::string directory = FreshDirectory();
    {
        StateDatabase database;  // made before the threads race to open it
        ASSERT_EQ(database.Open(directory), OpenOutcome::kOpened) << database.Problem();
    }
    // On a slow machine a writer may wait out the busy time-out while the
    // others hold the file; that call fails whole and is simply made again.
    auto Busy = [](const std::string& problem) {
        return problem.find("locked by another program") != std::string::npos;
    };
    std::atomic<bool> keeping{true};
    std::vector<std::vector<std::string>> taken(kTakers);
    std::vector<std::string> failures(kTakers + 1);

    auto keeper = [&] {
        StateDatabase database;
        PendingReports reports(database);
        if (database.Open(directory) != OpenOutcome::kOpened) {
            failures[kTakers] = database.Problem();
        }
        for (int i = 0, attempt = 0; i < kReports && failures[kTakers].empty(); ++attempt) {
            if (reports.Keep(kAnna, "report " + std::to_string(i), i)) {
                ++i;
            } else if (!Busy(reports.Problem()) || attempt >= kMaxRounds) {
                failures[kTakers] = reports.Problem();
            }
        }
        keeping = false;
    };
    auto taker = [&](int number) {
        std::string& failure = failures[static_cast<size_t>(number)];
        StateDatabase database;
        if (database.Open(directory) != OpenOutcome::kOpened) {
            failure = database.Problem();
            return;
        }
        PendingReports reports(database);
        // One more take after the keeper is done, so that nothing is left.
        bool last = false;
        for (int round = 0; round < kMaxRounds && !last && failure.empty(); ++round) {
            last = !keeping;
            std::vector<PendingReport> got;
            if (!reports.Take(kAnna, got)) {
                if (!Busy(reports.Problem())) failure = reports.Problem();
                last = false;  // whatever was pending is still there: take again
            }
            for (const PendingReport& report : got) {
                taken[static_cast<size_t>(number)].push_back(report.text);
            }
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(keeper);
    for (int number = 0; number < kTakers; ++number) threads.emplace_back(taker, number);
    for (std::thread& thread : threads) thread.join();

    std::vector<std::string> all;
    for (size_t number = 0; number < failures.size(); ++number) {
        EXPECT_EQ(failures[number], "") << number;
        if (number < taken.size())
            all.insert(all.end(), taken[number].begin(), taken[number].end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kReports));
    EXPECT_EQ(std::unique(all.begin(), all.end()), all.end());
}

}  // namespace
