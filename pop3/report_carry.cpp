#include "pop3/report_carry.h"

#include <ctime>

#include "core/log.h"
#include "core/settings.h"
#include "platform/clock.h"
#include "store/pending_reports.h"
#include "store/quarantine.h"

namespace {

std::string SessionAccountKey(const Pop3Session& session) {
    return AccountKey(session.host, session.account);
}

// Opens the state database for the session; false (logged) when it cannot.
// Reports are carried with the quarantine: Quarantine= empty keeps the
// program as it was before, which touched no database for a login.
bool OpenFor(const Pop3Session& session, StateDatabase& database) {
    if (QuarantineDirectory(CurrentSettings()).empty()) return false;
    if (database.Open(StateDirectory(CurrentSettings())) != OpenOutcome::kUnavailable) return true;
    WriteLog(database.Problem() + "; kill reports of earlier logins are not kept",
             session.client.slot(), kLogFailure);
    return false;
}

// "From the login of 2026-12-08 01:15 (UTC):", the heading of a carried report.
std::string CarriedHeading(int64_t keptAt) {
    std::time_t seconds = static_cast<std::time_t>(keptAt);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &utc);
    return std::string("From the login of ") + when + " (UTC), not received then:\n\n";
}

}  // namespace

void KeepUnreadReport(const Pop3Session& session) {
    if (session.killReport.empty()) return;
    StateDatabase database;
    if (!OpenFor(session, database)) return;
    PendingReports reports(database);
    if (!reports.Keep(SessionAccountKey(session), session.killReport, UnixSeconds())) {
        WriteLog(reports.Problem() + "; the kill report is lost", session.client.slot(),
                 kLogFailure);
        return;
    }
    WriteLog("Kill report kept for the next login", session.client.slot(), kLogNotice);
}

void TakeUnreadReports(Pop3Session& session) {
    StateDatabase database;
    if (!OpenFor(session, database)) return;
    PendingReports reports(database);
    std::vector<PendingReport> kept;
    if (!reports.Take(SessionAccountKey(session), kept)) {
        WriteLog(reports.Problem() + "; kill reports of earlier logins wait", session.client.slot(),
                 kLogFailure);
        return;
    }
    if (kept.empty()) return;
    std::string earlier;
    for (const PendingReport& report : kept) earlier += CarriedHeading(report.keptAt) + report.text;
    session.killReport = earlier + session.killReport;
}
