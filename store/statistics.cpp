#include "store/statistics.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "store/statement.h"

namespace {

// The first day of a window of `days` days that ends with `today`.
int64_t FirstDay(int64_t today, int64_t days) {
    return today - std::min(days, kMaxStatisticsLookbackDays) + 1;
}

}  // namespace

int64_t DayNumber(int year, int month, int day) {
    using namespace std::chrono;
    sys_days date = year_month_day{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                                   std::chrono::day{unsigned(day)}};
    return date.time_since_epoch().count();
}

int64_t DayNumberOf(const LocalTime& time) {
    return DayNumber(time.year, time.month, time.day);
}

std::string DayText(int64_t day) {
    using namespace std::chrono;
    year_month_day date{sys_days{days{day}}};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

void LoginStatistics::Count(CountedVerdict verdict) {
    ++verdicts_.judged;
    switch (verdict) {
        case CountedVerdict::kKept:
            ++verdicts_.kept;
            break;
        case CountedVerdict::kKilled:
            ++verdicts_.killed;
            break;
        case CountedVerdict::kHidden:
            ++verdicts_.hidden;
            break;
    }
}

void LoginStatistics::CountRule(std::string_view rule, std::string_view location) {
    ++rules_[{std::string(Utf8Prefix(rule, kMaxRuleTextBytes)),
              std::string(Utf8Prefix(location, kMaxRuleLocationBytes))}];
}

Statistics::Statistics(StateDatabase& database) : database_(database) {}

bool Statistics::DatabaseFailed() {
    problem_ = database_.Problem();
    return false;
}

bool Statistics::Record(int64_t day, std::string_view accountKey, const LoginStatistics& login) {
    problem_.clear();
    if (login.Empty()) return true;
    Transaction transaction(database_);
    if (!transaction.Began()) return DatabaseFailed();
    const VerdictCounts& counts = login.verdicts_;
    Statement verdicts(database_,
                       "INSERT INTO daily_verdicts (day, account, judged, killed, hidden, kept) "
                       "VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (day, account) DO UPDATE SET "
                       "judged = judged + excluded.judged, killed = killed + excluded.killed, "
                       "hidden = hidden + excluded.hidden, kept = kept + excluded.kept");
    verdicts.BindInteger(1, day);
    verdicts.BindBytes(2, accountKey);
    verdicts.BindInteger(3, counts.judged);
    verdicts.BindInteger(4, counts.killed);
    verdicts.BindInteger(5, counts.hidden);
    verdicts.BindInteger(6, counts.kept);
    if (counts.judged > 0 && !verdicts.Run()) return DatabaseFailed();

    Statement hits(database_,
                   "INSERT INTO daily_rule_hits (day, rule, location, hits) "
                   "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (day, rule, location) DO UPDATE SET "
                   "hits = hits + excluded.hits");
    for (const auto& [rule, count] : login.rules_) {
        hits.BindInteger(1, day);
        hits.BindBytes(2, rule.first);
        hits.BindBytes(3, rule.second);
        hits.BindInteger(4, count);
        if (!hits.Run()) return DatabaseFailed();
    }
    for (const char* table : {"daily_verdicts", "daily_rule_hits"}) {
        Statement prune(database_, std::string("DELETE FROM ") + table + " WHERE day < ?1");
        prune.BindInteger(1, day - kStatisticsKeptDays);
        if (!prune.Run()) return DatabaseFailed();
    }
    if (!transaction.Commit()) return DatabaseFailed();
    return true;
}

bool Statistics::DailyTotals(int64_t today, int64_t days, std::vector<DayTotals>& totals) {
    totals.clear();
    problem_.clear();
    if (days <= 0) return true;
    int64_t first = FirstDay(today, days);
    for (int64_t day = first; day <= today; ++day) totals.push_back({day, {}});
    Statement select(database_,
                     "SELECT day, sum(judged), sum(killed), sum(hidden), sum(kept) "
                     "FROM daily_verdicts WHERE day BETWEEN ?1 AND ?2 GROUP BY day");
    select.BindInteger(1, first);
    select.BindInteger(2, today);
    while (select.NextRow()) {
        DayTotals& total = totals[static_cast<size_t>(select.Integer(0) - first)];
        total.counts = {select.Integer(1), select.Integer(2), select.Integer(3), select.Integer(4)};
    }
    if (!select.Failed()) return true;
    totals.clear();
    return DatabaseFailed();
}

bool Statistics::TopRules(int64_t today, int64_t days, size_t limit, std::vector<RuleHits>& rules) {
    rules.clear();
    problem_.clear();
    if (days <= 0 || limit == 0) return true;
    Statement select(database_,
                     "SELECT rule, location, sum(hits) AS total FROM daily_rule_hits "
                     "WHERE day BETWEEN ?1 AND ?2 GROUP BY rule, location "
                     "ORDER BY total DESC, rule, location LIMIT ?3");
    select.BindInteger(1, FirstDay(today, days));
    select.BindInteger(2, today);
    select.BindInteger(3, static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
    while (select.NextRow()) {
        rules.push_back(
            {std::string(select.Bytes(0)), std::string(select.Bytes(1)), select.Integer(2)});
    }
    if (!select.Failed()) return true;
    rules.clear();
    return DatabaseFailed();
}

std::string RecordLoginStatistics(const std::string& dataDirectory, std::string_view accountKey,
                                  const LoginStatistics& login) {
    if (login.Empty()) return "";
    StateDatabase database;
    if (database.Open(dataDirectory) == OpenOutcome::kUnavailable) return database.Problem();
    Statistics statistics(database);
    if (!statistics.Record(DayNumberOf(LocalNow()), accountKey, login)) {
        return statistics.Problem();
    }
    return "";
}

void RecordWebFigures(std::string_view accountKey, const LoginStatistics& login, int slot) {
    const SettingsRecord& settings = CurrentSettings();
    if (Settings.WebPort == 0) return;
    const std::string problem = RecordLoginStatistics(
        settings.DataDir.empty() ? ProgramDirectory : settings.DataDir, accountKey, login);
    if (!problem.empty()) WriteLog(problem, slot, kLogFailure);
}
