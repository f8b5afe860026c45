// The kill report: one entry per message the scan killed, completed after the
// scan into a mail message that the session appends to the client's mailbox.
// The text, with LF line ends, belongs to its session (Pop3Session::killReport).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/clock.h"

// The report's sender mailbox and the domain of its Message-ID: fixed names on
// the local host, so a client never mistakes the report for outside mail.
inline constexpr std::string_view kReportSender = "trawlbox@localhost";
inline constexpr std::string_view kReportMessageIdDomain = "trawlbox.localhost";

// The four fields of a report entry that describe why a message was killed.
struct KillReasonFields {
    std::string reason;    // the rule's condition text, without its options word
    std::string searchIn;  // option letters, " - ", the header names and option names
    std::string result;    // the action word as written in the rule
    std::string rblInfo;   // the "X-RBL: " lines, continuation lines indented 13 spaces
};

// Splits the filter's reason text (rule text, 0xAF, action word) and the
// message's RBL text (one "X-RBL: ..." line per LF) into the report fields.
// Never fails: texts without the expected markers give the fields described
// on the struct as far as they can be found (see the .cpp for the rules).
KillReasonFields DescribeKillReason(std::string_view reasonText, std::string_view rblText);

// Returns the entry text of one killed message: a "To" line for every header
// line beginning "To:" (any case), then From (in name-first form), Subject,
// Message-ID, Size, a "Status" line with `status` when that is not "", and
// the reason fields; every line ends in LF. `headerLines` are the message's
// kept header lines in order.
std::string KillReportEntry(std::string_view from, std::string_view subject,
                            std::string_view messageId, int64_t size,
                            std::span<const std::string> headerLines,
                            const KillReasonFields& fields, std::string_view status = {});

// The Status texts of a report entry: the message is kept in the quarantine
// under `id` (and deleted on the server); it was left on the server, hidden,
// for `why`, with no copy or with the copy `id`; under DryRun, what would
// have become of it.
std::string QuarantinedStatus(std::string_view id);
std::string KeptOnServerStatus(std::string_view why);
std::string CopiedButKeptStatus(std::string_view id, std::string_view why);
inline constexpr std::string_view kDryRunKillStatus = "dry run, would have been killed";
inline constexpr std::string_view kDryRunHideStatus = "dry run, would have been hidden";

// What the report tells of: messages the scan acted on, or under DryRun
// messages it would have acted on (nothing was changed).
enum class ReportKind { kKilled, kDryRun };

// Returns the report's header and preamble for the given local time and zone
// bias (UTC minus local time, minutes), addressed to `recipient` (held in
// code page 437), in UTF-8: a display name in the recipient that is not
// ASCII as RFC 2047 encoded-words, the address as it is.
std::string KillReportHeader(std::string_view recipient, const LocalTime& now, int biasMinutes,
                             ReportKind kind = ReportKind::kKilled);

// Returns the whole report: the header (KillReportHeader for the KillReport
// setting and the current local time) followed by `entries` (held in code
// page 437 like every text of the program), the whole written in UTF-8 as
// its Content-Type says; "" when there are no entries.
std::string CompleteKillReport(std::string_view entries, ReportKind kind = ReportKind::kKilled);

// Returns the "Date: " header line (no line end) for the given local time and
// zone bias: "Date: Sun, 06 Dec 2026 07:05:09 +0100" for a bias of -60.
std::string FormatDateLine(const LocalTime& now, int biasMinutes);

// As above for the current local time and zone.
std::string FormatDateLine();
