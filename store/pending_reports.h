// Kill reports waiting for delivery. A POP3 client that leaves while its
// login is being scanned never sees the report of what the scan killed; the
// report is kept here, by account key (see store/quarantine's AccountKey),
// and handed out at the account's next login.
//
// Several reports of one account are kept apart, in the order they were
// kept, and handed out in that order: each tells of its own login, and
// joining them is the caller's choice (one message each, or one message).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/state_database.h"

// An account keeps at most this many reports; keeping one more drops the
// oldest. A client that keeps leaving mid-scan must not make the table grow
// without end, and twenty logins of kills are more than anyone reads.
inline constexpr size_t kMaxPendingReports = 20;

// A report is a list of message summaries; one of thousands of kills stays
// well below this. A larger one is not kept.
inline constexpr size_t kMaxPendingReportBytes = 1024 * 1024;

struct PendingReport {
    int64_t keptAt = 0;  // seconds since 1970 (UTC), as given to Keep
    std::string text;    // as given to Keep
};

// The waiting reports on an open StateDatabase of one thread. Every call
// that returns false leaves Problem() saying why, fit for the log; a
// database failure changes nothing.
class PendingReports {
  public:
    explicit PendingReports(StateDatabase& database);

    // Keeps a report (any bytes) for the account's next login, in one
    // transaction with dropping the account's oldest beyond
    // kMaxPendingReports. Returns false when the database failed or the
    // report is larger than kMaxPendingReportBytes (then it is not kept).
    bool Keep(std::string_view accountKey, std::string_view report, int64_t now);

    // Takes the account's reports, oldest first, and removes them, in one
    // transaction: each report is handed out once. A caller that then cannot
    // deliver them keeps them again. Returns false when the database failed;
    // `reports` is empty and the reports stay then.
    bool Take(std::string_view accountKey, std::vector<PendingReport>& reports);

    const std::string& Problem() const { return problem_; }

  private:
    bool DatabaseFailed();

    StateDatabase& database_;
    std::string problem_;
};
