#include "store/pending_reports.h"

#include "store/statement.h"

PendingReports::PendingReports(StateDatabase& database) : database_(database) {}

bool PendingReports::DatabaseFailed() {
    problem_ = database_.Problem();
    return false;
}

bool PendingReports::Keep(std::string_view accountKey, std::string_view report, int64_t now) {
    problem_.clear();
    if (report.size() > kMaxPendingReportBytes) {
        problem_ = "the report of " + std::to_string(report.size()) + " bytes is larger than " +
                   std::to_string(kMaxPendingReportBytes) + " and is not kept";
        return false;
    }
    Transaction transaction(database_);
    if (!transaction.Began()) return DatabaseFailed();
    Statement insert(database_,
                     "INSERT INTO pending_report (account, kept_at, report) VALUES (?1, ?2, ?3)");
    insert.BindBytes(1, accountKey);
    insert.BindInteger(2, now);
    insert.BindBytes(3, report);
    Statement trim(database_,
                   "DELETE FROM pending_report WHERE account = ?1 AND seq NOT IN "
                   "(SELECT seq FROM pending_report WHERE account = ?1 "
                   "ORDER BY seq DESC LIMIT ?2)");
    trim.BindBytes(1, accountKey);
    trim.BindInteger(2, static_cast<int64_t>(kMaxPendingReports));
    if (!insert.Run() || !trim.Run() || !transaction.Commit()) return DatabaseFailed();
    return true;
}

bool PendingReports::Take(std::string_view accountKey, std::vector<PendingReport>& reports) {
    reports.clear();
    problem_.clear();
    Transaction transaction(database_);
    if (!transaction.Began()) return DatabaseFailed();
    {
        Statement select(database_,
                         "SELECT kept_at, report FROM pending_report WHERE account = ?1 "
                         "ORDER BY seq");
        select.BindBytes(1, accountKey);
        while (select.NextRow()) {
            // The table is STRICT; a row of other types is damage and skipped.
            if (!select.IsInteger(0) || !select.IsBytes(1)) continue;
            reports.push_back({select.Integer(0), std::string(select.Bytes(1))});
        }
        if (select.Failed()) {
            reports.clear();
            return DatabaseFailed();
        }
    }
    Statement remove(database_, "DELETE FROM pending_report WHERE account = ?1");
    remove.BindBytes(1, accountKey);
    if (!remove.Run() || !transaction.Commit()) {
        reports.clear();
        return DatabaseFailed();
    }
    return true;
}
