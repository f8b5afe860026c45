// Daily figures of the filter's work, for the overview page: per local day
// and account key, how many messages were judged and what became of them,
// and per day, how often each rule hit. They are rows of the state
// database, so they survive restarts.
//
// A login gathers its figures in memory (LoginStatistics) and the scan adds
// them in one transaction at its end (Statistics::Record): one write per
// login, however large the mailbox.
//
// Days are day numbers: the days from 1970-01-01 to a local calendar date
// (DayNumber), so that "the last 30 days" is plain arithmetic whatever the
// time zone did in between.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "store/state_database.h"

// Rows older than this many days are dropped when a login records its
// figures: the pages look back a month at most, and a year of rows stays
// small.
inline constexpr int64_t kStatisticsKeptDays = 400;

// A rule's text and location are kept up to this many bytes (cut between
// UTF-8 characters); a kill-file line is never longer in practice.
inline constexpr size_t kMaxRuleTextBytes = 1000;
inline constexpr size_t kMaxRuleLocationBytes = 300;

// A lookback longer than this is cut to it (a chart of more days than are
// kept would show nothing more).
inline constexpr int64_t kMaxStatisticsLookbackDays = kStatisticsKeptDays;

// The day number of a calendar date (1970-01-01 is 0).
int64_t DayNumber(int year, int month, int day);

// The day number of a local time's date.
int64_t DayNumberOf(const LocalTime& time);

// The date of a day number as "YYYY-MM-DD".
std::string DayText(int64_t day);

// What became of a judged message.
enum class CountedVerdict { kKept, kKilled, kHidden };

struct VerdictCounts {
    int64_t judged = 0;
    int64_t killed = 0;
    int64_t hidden = 0;
    int64_t kept = 0;
    bool operator==(const VerdictCounts&) const = default;
};

struct RuleHits {
    std::string rule;      // the rule as the kill file has it
    std::string location;  // "FILE:LINE", or "" when not given
    int64_t hits = 0;
    bool operator==(const RuleHits&) const = default;
};

struct DayTotals {
    int64_t day = 0;  // day number
    VerdictCounts counts;
    bool operator==(const DayTotals&) const = default;
};

// The figures of one login, gathered while its scan runs.
class LoginStatistics {
  public:
    // Counts one judged message and its verdict.
    void Count(CountedVerdict verdict);

    // Counts one hit of a rule (cut as said at kMaxRuleTextBytes).
    void CountRule(std::string_view rule, std::string_view location);

    const VerdictCounts& Verdicts() const { return verdicts_; }
    bool Empty() const { return verdicts_.judged == 0 && rules_.empty(); }

  private:
    friend class Statistics;
    VerdictCounts verdicts_;
    std::map<std::pair<std::string, std::string>, int64_t> rules_;  // rule, location
};

// The figures on an open StateDatabase of one thread. Every call that
// returns false leaves Problem() saying why, fit for the log; a database
// failure changes nothing.
class Statistics {
  public:
    explicit Statistics(StateDatabase& database);

    // Adds a login's figures to day `day` of the account, in one
    // transaction that also drops rows older than kStatisticsKeptDays
    // before `day`. An empty login writes nothing. Returns false when the
    // database failed.
    bool Record(int64_t day, std::string_view accountKey, const LoginStatistics& login);

    // The totals over all accounts of each of the `days` days up to and
    // including `today`, oldest first; a day without figures is there with
    // zeros. `days` is cut to kMaxStatisticsLookbackDays; 0 or below gives
    // none. Returns false when the database failed.
    bool DailyTotals(int64_t today, int64_t days, std::vector<DayTotals>& totals);

    // The rules with the most hits in the `days` days up to and including
    // `today` (hits of a rule and location added up), most first, ties by
    // rule text and location; at most `limit` of them. Returns false when
    // the database failed.
    bool TopRules(int64_t today, int64_t days, size_t limit, std::vector<RuleHits>& rules);

    const std::string& Problem() const { return problem_; }

  private:
    bool DatabaseFailed();

    StateDatabase& database_;
    std::string problem_;
};

// Adds a login's figures to today's (local) row of the account in the state
// database of `dataDirectory` (as StateDatabase::Open takes it), on a
// connection of its own. Returns "" when they were added or there were none;
// otherwise why not, fit for the log (nothing was added then).
std::string RecordLoginStatistics(const std::string& dataDirectory, std::string_view accountKey,
                                  const LoginStatistics& login);

// What a login or news list calls at its end: RecordLoginStatistics in
// DataDir (the program directory when it is empty), logging a failure at
// level 2 for `slot`. The figures are the web page's: with WebPort=0 nothing
// is written.
void RecordWebFigures(std::string_view accountKey, const LoginStatistics& login, int slot);
