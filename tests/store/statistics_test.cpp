#include "store/statistics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/statement.h"
#include "store_test_util.h"

namespace {

const int64_t kToday = DayNumber(2026, 3, 5);
const std::string kAnna = "pop.example.net#anna";
const std::string kBert = "mail.example.org#bert";

// A login that judged `kept` + `killed` + `hidden` messages.
LoginStatistics Login(int kept, int killed, int hidden) {
    LoginStatistics login;
    for (int i = 0; i < kept; ++i) login.Count(CountedVerdict::kKept);
    for (int i = 0; i < killed; ++i) login.Count(CountedVerdict::kKilled);
    for (int i = 0; i < hidden; ++i) login.Count(CountedVerdict::kHidden);
    return login;
}

class StatisticsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = FreshDirectory();
        Reopen();
    }

    void Reopen() {
        database_.Close();
        ASSERT_EQ(database_.Open(directory_), OpenOutcome::kOpened) << database_.Problem();
    }

    void Record(int64_t day, const std::string& account, const LoginStatistics& login) {
        Statistics statistics(database_);
        EXPECT_TRUE(statistics.Record(day, account, login)) << statistics.Problem();
    }

    std::vector<DayTotals> Totals(int64_t today, int64_t days) {
        Statistics statistics(database_);
        std::vector<DayTotals> totals;
        EXPECT_TRUE(statistics.DailyTotals(today, days, totals)) << statistics.Problem();
        return totals;
    }

    std::vector<RuleHits> Top(int64_t today, int64_t days, size_t limit) {
        Statistics statistics(database_);
        std::vector<RuleHits> rules;
        EXPECT_TRUE(statistics.TopRules(today, days, limit, rules)) << statistics.Problem();
        return rules;
    }

    std::string directory_;
    StateDatabase database_;
};

TEST(StatisticsDays, DayNumbersAreCalendarDays) {
    EXPECT_EQ(DayNumber(1970, 1, 1), 0);
    EXPECT_EQ(DayNumber(2000, 3, 1), 11017);
    EXPECT_EQ(DayNumber(2024, 3, 1) - DayNumber(2024, 2, 28), 2);  // a leap year
    EXPECT_EQ(DayNumber(2026, 3, 1) - DayNumber(2026, 2, 28), 1);
    EXPECT_EQ(DayText(DayNumber(2024, 2, 29)), "2024-02-29");
    EXPECT_EQ(DayText(0), "1970-01-01");
    LocalTime time{2026, 12, 31, 4, 23, 59, 59, 999};
    EXPECT_EQ(DayText(DayNumberOf(time)), "2026-12-31");
}

TEST_F(StatisticsTest, DailyTotalsAddUpAccountsAndLoginsAndSurviveRestarts) {
    Record(kToday, kAnna, Login(3, 2, 1));
    Record(kToday, kAnna, Login(1, 1, 0));
    Record(kToday, kBert, Login(10, 0, 0));
    Record(kToday - 1, kAnna, Login(0, 4, 0));
    Record(kToday - 30, kAnna, Login(7, 7, 7));  // just outside the 30 days
    Record(kToday + 1, kAnna, Login(5, 5, 5));   // "tomorrow": after the window
    Record(kToday, kBert, LoginStatistics{});    // nothing judged

    Reopen();
    std::vector<DayTotals> totals = Totals(kToday, 30);
    ASSERT_EQ(totals.size(), 30u);
    EXPECT_EQ(totals.front().day, kToday - 29);
    EXPECT_EQ(totals.back(), (DayTotals{kToday, {18, 3, 1, 14}}));
    EXPECT_EQ(totals[28], (DayTotals{kToday - 1, {4, 4, 0, 0}}));
    for (size_t i = 0; i < 28; ++i) {
        EXPECT_EQ(totals[i], (DayTotals{kToday - 29 + static_cast<int64_t>(i), {}})) << i;
    }
    EXPECT_EQ(Totals(kToday, 31).front(), (DayTotals{kToday - 30, {21, 7, 7, 7}}));
    EXPECT_TRUE(Totals(kToday, 0).empty());
    EXPECT_EQ(Totals(kToday, 100000).size(), static_cast<size_t>(kMaxStatisticsLookbackDays));

    RawConnection raw(DatabasePath(directory_));
    EXPECT_EQ(raw.Query("SELECT count(*) FROM daily_verdicts"), "5");
}

TEST_F(StatisticsTest, TopRulesOfTheLastDays) {
    LoginStatistics today;
    for (int i = 0; i < 3; ++i) today.CountRule("Subject: ~\"offer\"", "TRAWLBOX.KIL:12");
    today.CountRule("From: spam@", "TRAWLBOX.KIL:3");
    today.CountRule("From: spam@", "");  // the same text elsewhere is another rule
    LoginStatistics earlier;
    earlier.CountRule("From: spam@", "TRAWLBOX.KIL:3");
    earlier.CountRule("From: spam@", "TRAWLBOX.KIL:3");
    earlier.CountRule("Lines: >5000", "TRAWLBOX.KIL:20");
    LoginStatistics outside;
    for (int i = 0; i < 50; ++i) outside.CountRule("Old rule", "TRAWLBOX.KIL:1");
    Record(kToday, kAnna, today);
    Record(kToday - 6, kBert, earlier);
    Record(kToday - 7, kAnna, outside);

    Reopen();
    EXPECT_EQ(Top(kToday, 7, 10), (std::vector<RuleHits>{
                                      {"From: spam@", "TRAWLBOX.KIL:3", 3},
                                      {"Subject: ~\"offer\"", "TRAWLBOX.KIL:12", 3},
                                      {"From: spam@", "", 1},
                                      {"Lines: >5000", "TRAWLBOX.KIL:20", 1},
                                  }));
    EXPECT_EQ(Top(kToday, 7, 1).size(), 1u);
    EXPECT_EQ(Top(kToday, 8, 1).front().rule, "Old rule");
    EXPECT_TRUE(Top(kToday, 7, 0).empty());

    // A rule text far longer than a kill-file line is kept cut.
    LoginStatistics huge;
    huge.CountRule(std::string(5000, 'r'), std::string(5000, 'f'));
    Record(kToday + 1, kAnna, huge);
    std::vector<RuleHits> top = Top(kToday + 1, 1, 1);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].rule.size(), kMaxRuleTextBytes);
    EXPECT_EQ(top[0].location.size(), kMaxRuleLocationBytes);
}

TEST_F(StatisticsTest, OldRowsGoWhenALoginRecords) {
    LoginStatistics login = Login(1, 1, 0);
    login.CountRule("rule", "F:1");
    Record(kToday - kStatisticsKeptDays - 1, kAnna, login);
    Record(kToday - kStatisticsKeptDays, kAnna, login);
    Record(kToday, kBert, login);
    RawConnection raw(DatabasePath(directory_));
    EXPECT_EQ(raw.Query("SELECT count(*) FROM daily_verdicts"), "2");
    EXPECT_EQ(raw.Query("SELECT count(*) FROM daily_rule_hits"), "2");
    EXPECT_EQ(raw.Query("SELECT min(day) FROM daily_rule_hits"),
              std::to_string(kToday - kStatisticsKeptDays));
}

// A login's figures are written whole or not at all.
TEST_F(StatisticsTest, FailedRecordLeavesNoPartOfTheLogin) {
    Record(kToday, kAnna, Login(1, 0, 0));
    LoginStatistics login = Login(5, 5, 5);
    for (int i = 0; i < 2000; ++i) {
        login.CountRule("rule " + std::to_string(i) + std::string(200, 'x'),
                        "F:" + std::to_string(i));
    }
    ASSERT_TRUE(ExecuteSql(database_, "PRAGMA max_page_count=1", "limiting"));
    Statistics statistics(database_);
    EXPECT_FALSE(statistics.Record(kToday, kAnna, login));
    EXPECT_NE(statistics.Problem().find("the disk is full"), std::string::npos)
        << statistics.Problem();
    EXPECT_EQ(Totals(kToday, 1).front().counts, (VerdictCounts{1, 0, 0, 1}));
    EXPECT_TRUE(Top(kToday, 1, 5).empty());

    ASSERT_TRUE(ExecuteSql(database_, "PRAGMA max_page_count=1000000", "raising the limit"));
    EXPECT_TRUE(statistics.Record(kToday, kAnna, login)) << statistics.Problem();
    EXPECT_EQ(Totals(kToday, 1).front().counts, (VerdictCounts{16, 5, 5, 6}));
}

}  // namespace
