// The mailbox scan: right after the upstream login, before the client's PASS
// is answered, learn every message's size and uid, fetch every header (TOP n
// 0), judge it with the kill file and the relay blacklist, and act: keep,
// hide from the client, or kill (delete on the server at once, log, report,
// sound). Runs on the session's thread; all its log lines carry the upstream
// slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pop3/mailbox_view.h"

// A header of more lines than this is judged on its first lines; the rest is
// read and dropped. Far above real headers, it bounds what one message holds.
inline constexpr size_t kMaxHeaderLines = 2000;

// One kept (unfolded) header line is cut at this length, so that endless
// continuation lines cannot grow a session without bound.
inline constexpr size_t kMaxHeaderLineLength = 16 * 1024;

// A STAT count above this is not believed: the session's table would not fit
// in memory. No real mailbox comes near it.
inline constexpr int64_t kMaxMailboxMessages = 1000000;

// A unique id is 1 to 70 characters (RFC 1939). Longer ones from lax servers
// are kept up to this length, so that they stay apart; beyond it they are cut,
// since the session keeps every id for its whole life.
inline constexpr size_t kMaxUidLength = 256;

// What the scan does with a message, from the action word of the deciding
// rule. Any other action word leaves the verdict as it was.
enum FilterVerdict : int {
    kVerdictNone = 0,   // no rule matched, or "HEAD": keep
    kVerdictRetr = 1,   // "RETR": keep
    kVerdictSkip = 2,   // "SKIP": hide from the client, leave on the server
    kVerdictDele = 10,  // "DELE": delete on the server and report
};

// What the scan knows about one message while it decides about it.
struct MessageHeader {
    int64_t number = 0;
    int64_t size = 0;  // octets, from the TOP reply or else from LIST n
    int64_t age = 0;   // days since the Date header; 0 when unknown
    std::string from;  // last "From:" line's value, decoded
    std::string messageId;
    std::string subject;
    std::string envelope;
    // lines[0] collects continuation lines that come before any header line;
    // lines[1..] are the unfolded, decoded header lines, then the split
    // recipient lines and the "X-RBL: " lines. At most kMaxHeaderLines + 1
    // entries, none longer than kMaxHeaderLineLength.
    std::vector<std::string> lines = std::vector<std::string>(1);
    std::string rblInfo;     // "X-RBL: " + info + LF for every blacklisted Received line
    std::string actionWord;  // of the last matching rule, trimmed
    std::string reason;      // of the last matching rule
    FilterVerdict verdict = kVerdictNone;
    // Set while the header line being read was dropped for want of room, so
    // that its continuation lines are dropped with it.
    bool droppingLine = false;
};

// Takes one line of the TOP reply's header (without its line end): a line
// that starts with a space or TAB continues the last header line, the empty
// line is passed over, any other line starts a new header line (kept while
// there is room); From and Message-ID are read from the lines kept.
void TakeHeaderLine(MessageHeader& header, std::string_view line);

// Sets the subject from the (decoded) Subject line, and splits every To: and
// Cc: line with more than one comma-separated field into one line per field
// (the first in place, the others at the end).
void SplitRecipientLines(MessageHeader& header);

// Adds an "X-RBL: " line and an rblInfo line for every Received line that
// names a blacklisted relay.
void MarkBlacklistedRelays(MessageHeader& header);

// Returns true when the envelope contains "@" with one of a-z 0-9 . _ -
// directly before and after it (lower case only).
bool EnvelopePasses(std::string_view envelope);

// Asks the kill file for the verdict (calling protocol: again after each
// match unless the match carries option Q; the last action word decides) and
// fills actionWord, reason and verdict. The header's envelope must have
// passed the envelope test.
FilterVerdict EvaluateVerdict(MessageHeader& header);

// Returns the log block for a hidden or killed message: `heading` and the
// Message-ID, then the sender, subject and reason lines, joined by CR LF.
std::string FilterLogBlock(std::string_view heading, const MessageHeader& header);

// Fetches, judges and acts on server message `number`; updates its entry of
// the session's table. Returns 1 on success, 0 when the TOP was refused, its
// header did not end within kMaxBlockLines lines, or the upstream link failed.
int FetchHeader(Pop3Session& session, int64_t number);

// Scans the whole mailbox on session.upstream: STAT fills totalCount and
// serverOctets, LIST and UIDL the entries' size, uid and shown flag, then
// FetchHeader for every message. Keeps the client's idle countdown from
// running out meanwhile. Returns 1 when the mailbox was scanned, 0 when it
// failed (the table is then partly filled and must not be served).
int ScanMailbox(Pop3Session& session);
