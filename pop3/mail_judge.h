// Judging one message by its header: the header lines as the server sent
// them in answer to TOP n 0, and the message's size, in; what the filter saw,
// every rule that matched and the verdict out. No socket, no log, no clock:
// the scan, a header taken from a cache and the operator's tests of a
// message all judge through JudgeMail, so they cannot disagree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "filter/decision.h"
#include "filter/relay_list.h"
#include "platform/ip_address.h"

// A header of more lines than this is judged on its first lines; the rest is
// read and dropped. Far above real headers, it bounds what one message holds.
inline constexpr size_t kMaxHeaderLines = 2000;

// One kept (unfolded) header line is cut at this length, so that endless
// continuation lines cannot grow a session without bound.
inline constexpr size_t kMaxHeaderLineLength = 16 * 1024;

// Received header lines are kept up to this many bytes in all (a line end
// counted as one byte): as much as the unfolded lines judging keeps can
// hold, so that no real header comes near it, while a server that sends
// endless continuation lines cannot grow a session without bound.
inline constexpr size_t kMaxRawHeaderBytes = kMaxHeaderLines * kMaxHeaderLineLength;

// And up to this many lines: room for every kept field folded into eight
// lines, far above real headers, so that a flood of short continuation lines
// is bounded too.
inline constexpr size_t kMaxRawHeaderLines = 8 * kMaxHeaderLines;

// The envelope handed to the filter when the client gives none (or one that
// fails the envelope test). It must pass that test itself.
inline constexpr std::string_view kDefaultEnvelope = "postmaster@localhost";

// The header of one message as received: what a cache may keep and judge
// again later.
struct RawHeader {
    // The lines as received, without their line ends, in order (AddRawLine
    // leaves out what judging would never read).
    std::vector<std::string> lines;
    int64_t size = 0;  // octets; 0 when the server gave none
    // What AddRawLine has kept so far.
    size_t keptBytes = 0;
    size_t startingLines = 0;  // lines that start a header field (not continuations)
    bool full = false;         // nothing more is kept
};

// Adds one received line of the header (without its line end). Judging
// passes over empty lines, reads only the first kMaxHeaderLineLength
// characters of a line that starts a field, and nothing after the first
// kMaxHeaderLines such lines: so empty lines are not kept, a starting line is
// kept cut, and the lines after those are dropped, which leaves the
// judgement as it would be with every line. Beyond kMaxRawHeaderLines lines
// or kMaxRawHeaderBytes bytes nothing more is kept.
void AddRawLine(RawHeader& header, std::string_view line);

// Returns true when the envelope contains "@" with one of a-z 0-9 . _ -
// directly before and after it (lower case only).
bool EnvelopePasses(std::string_view envelope);

// What the mail filter saw of one message.
struct MessageHeader {
    int64_t size = 0;  // octets, as the RawHeader gave it
    int64_t age = 0;   // days since the first Date line; 0 when unknown
    std::string from;  // the last kept "From:" line's value, decoded
    std::string messageId;
    std::string subject;   // from the last Subject line, decoded
    std::string envelope;  // the one judged with (kDefaultEnvelope for one that failed the test)
    // lines[0] collects continuation lines that come before any header line;
    // lines[1..] are the unfolded, decoded header lines, then the split
    // recipient lines and the "X-RBL: " lines. At most kMaxHeaderLines + 1
    // entries, none longer than kMaxHeaderLineLength.
    std::vector<std::string> lines = std::vector<std::string>(1);
    std::string rblInfo;  // "X-RBL: " + entry + LF for every Received line naming a listed relay
    // Set while the header line being read was dropped for want of room, so
    // that its continuation lines are dropped with it.
    bool droppingLine = false;
};

// What the mail scan does with a message, from the action word of the rules
// that matched.
enum class FilterVerdict {
    kNone,  // no rule matched, or "HEAD": keep
    kRetr,  // "RETR": keep
    kSkip,  // "SKIP": hide from the client, leave on the server
    kDele,  // "DELE": delete on the server and report
};

struct MailJudgement {
    MessageHeader header;
    // The envelope failed EnvelopePasses and kDefaultEnvelope was judged
    // with instead; the caller says so in the log.
    bool envelopeReplaced = false;
    std::vector<FilterMatch> matches;  // every rule that matched, in order
    // Each match whose action word is in the mail table sets the verdict; a
    // word not in it leaves the verdict as it was.
    FilterVerdict verdict = FilterVerdict::kNone;
    std::string action;  // the action word the verdict came from; "" when none did
    std::string reason;  // the last match's reason, whatever its word; "" when none matched
};

// Looks for a listed relay in one header line (a Received line): returns
// true with the entry's text (what the X-RBL line and the report name), or
// false leaving it alone. FindBlacklistedRelay looks in the relay blacklist.
using RelayCheck = std::function<bool(std::string_view line, std::string& entryText)>;

// A relay of the message that a DNS blocklist lists (pop3/relay_blocklists.h
// asks the lists, before judging).
struct BlocklistListing {
    std::string address;  // the relay, in its usual text form
    std::string zone;     // the list that names it
    std::string reason;   // the list's TXT text; "" when it gave none
};

// Returns the relay addresses of the first `depth` Received lines of the
// header (TopRelayAddresses), its lines unfolded as judging unfolds them.
std::vector<IpAddress> HeaderRelays(const RawHeader& raw, size_t depth);

// Judges a message by its header with `killSet`: unfolds and decodes the
// lines (continuations joined, encoded words decoded, To and Cc split into
// one line per address), adds an "X-RBL: " line for every Received line in
// which `relays` finds a listed relay, reads the age from the first Date
// line against `nowUnixSeconds` (seconds since 1970 UTC), and asks the kill
// file with the envelope as the folder. Every listing in `listings` adds an
// "X-RBL: <address> listed by <zone>[: <reason>]" line, which the rules can
// search too; when no rule's action word set the verdict, a listing kills
// the message (kDele) with the reason BlocklistReason gives: so a RETR,
// HEAD or SKIP rule that holds keeps or hides such a message instead. Never
// fails: a header without any usable line is judged as an empty one.
MailJudgement JudgeMail(const RawHeader& raw, std::string_view envelope, int64_t nowUnixSeconds,
                        const KillSet& killSet, const RelayCheck& relays = FindBlacklistedRelay,
                        std::span<const BlocklistListing> listings = {});

// The reason of a kill by a DNS blocklist: written as a rule's reason is,
// "DNS blocklist <zone>", the options marker with the X-RBL header name, the
// target marker and DELE, so that the log and the kill report show it as
// they show a rule that kills on an X-RBL line.
std::string BlocklistReason(std::string_view zone);
