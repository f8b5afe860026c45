// The session's view of the real mailbox: which server messages the client
// sees, under which numbers, and the kill report message appended at the end.
// The scan fills the table, the session counts it once, the message commands
// read and update it. A Pop3Session belongs to its session's thread alone,
// and with it its two connections and its kill report.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "net/connection.h"
#include "store/statistics.h"

// Appended to the hexadecimal CRC-32 of the report text to make its uid.
inline constexpr std::string_view kReportUidSuffix = ".trawlbox";

// One message of the server's mailbox as the session knows it (or the report).
struct MailboxEntry {
    bool shown = false;    // the client sees it
    bool deleted = false;  // deleted on the server by the scan, or by the client
    int64_t size = 0;      // octets: from the upstream LIST; for the report, with CR LF ends
    std::string uid;       // from the upstream UIDL; for the report, ComputeReportUid
};

// A message released from the quarantine and handed back in this session.
struct ReleasedMessage {
    std::string id;    // its quarantine id
    std::string text;  // as stored: LF line ends, not dot-stuffed
};

struct Pop3Session {
    Connection client;
    Connection upstream;    // no connection until PASS connects upstream
    bool userSeen = false;  // a USER command came
    std::string method;     // login method selector from USER, "" for none
    std::string host;
    int port = 0;  // the server's port from USER; 0: Pop3PortOutgoing
    std::string account;
    std::string password;
    std::string envelope;
    int64_t totalCount = 0;    // upstream STAT count, plus 1 once the report is appended
    int64_t serverOctets = 0;  // upstream STAT octets
    int64_t shownCount = 0;    // client numbers run 1..shownCount for the whole session
    int64_t remainingCount = 0;
    int64_t remainingOctets = 0;
    // The scan deleted a message on the server or reported one, so the
    // report is appended as the last message.
    bool hasReport = false;
    // DryRun was on when the scan began: nothing was changed or hidden, and
    // the report tells what would have been.
    bool dryRun = false;
    // Indexed by server message number; entry 0 is never used. Grows as the
    // scan meets messages, so a mailbox of any size fits (see MailboxEntryAt).
    std::vector<MailboxEntry> messages;
    // clientToServer[n] is the server number of client message n; entry 0 unused.
    std::vector<int64_t> clientToServer;
    // The kill report: the scan's entries (LF line ends), then, once the
    // view is counted, the whole report message; empty when nothing was killed.
    std::string killReport;
    // The report message with CR LF line ends and dot-stuffed, as RETR sends
    // it (without the terminating "."); empty when there is no report.
    std::string reportWire;
    // Released messages by server number (kept apart from `messages`,
    // whose every entry a mailbox of a million messages pays for).
    std::map<int64_t, ReleasedMessage> released;
    LoginStatistics statistics;  // what the scan judged, for the overview page
};

// Returns the entry of server message `number` (>= 1), growing the table with
// empty entries when it is shorter.
MailboxEntry& MailboxEntryAt(Pop3Session& session, int64_t number);

// Counts the view after a successful scan: shownCount, remainingCount and
// remainingOctets from the shown entries 1..totalCount; hasReport when any
// entry was deleted on the server or killReport holds entries. Builds the client numbering.
void CountShownMessages(Pop3Session& session);

// Appends the completed report text (LF line ends) as message totalCount + 1:
// shown, its size the octets RETR sends for it, its uid ComputeReportUid of
// the text; counts it in totalCount, shownCount, remainingCount and
// remainingOctets and numbers it last for the client.
void AppendReportMessage(Pop3Session& session, std::string_view reportText);

// Appends a released message (`text` with LF line ends, as the quarantine
// stores it) as message totalCount + 1: shown, its size the octets RETR sends
// for it less the stuffed dots, its uid ReleasedUidl(id); counts it as
// AppendReportMessage does. Before the report, which stays last.
void AppendReleasedMessage(Pop3Session& session, std::string_view id, std::string text);

// Returns the released message that server message m is, or nullptr.
const ReleasedMessage* ReleasedAt(const Pop3Session& session, int64_t serverNumber);

// Returns the server number of client message n, or 0 when n lies outside
// 1..shownCount.
int64_t ServerNumber(const Pop3Session& session, int64_t clientNumber);

// Returns true when server message m is the appended report message.
bool IsReportMessage(const Pop3Session& session, int64_t serverNumber);

// Returns the text with every LF line end made CR LF and every line that
// starts with "." given one more (dot-stuffing), ready to be sent as the body
// of a multi-line reply (the terminating "." line is not included). A CR that
// stands before an LF is taken as part of that line end; a last line without
// LF gets CR LF too. `stuffedDots`, when given, receives the number of dots
// added, which the message's size does not count.
std::string WireForm(std::string_view lfText, int64_t* stuffedDots = nullptr);

// Returns the report's header part: the text up to and including the first LF
// of the first pair of LFs; "" when the text has no empty line.
std::string ReportHeaderPart(std::string_view reportText);

// Returns the uid of a report text: its CRC-32 in upper-case hexadecimal
// without leading zeros, followed by ".trawlbox". The same text always gives
// the same uid.
std::string ComputeReportUid(std::string_view reportText);
