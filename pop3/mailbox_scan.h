// The mailbox scan: right after the upstream login, before the client's PASS
// is answered, learn every message's size and uid, read every message's
// header (ReadHeader), ask the DNS blocklists about their relays
// (pop3/relay_blocklists.h), then for each message judge it (JudgeMail,
// pop3/mail_judge.h) and act on the judgement (ApplyJudgement): keep, hide from the client, or kill
// (delete on the server at once, log, report, sound). Runs on the session's
// thread; all its log lines carry the upstream slot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pop3/mail_judge.h"
#include "pop3/mailbox_view.h"

// A STAT count above this is not believed: the session's table would not fit
// in memory. No real mailbox comes near it.
inline constexpr int64_t kMaxMailboxMessages = 1000000;

// A unique id is 1 to 70 characters (RFC 1939). Longer ones from lax servers
// are kept up to this length, so that they stay apart; beyond it they are cut,
// since the session keeps every id for its whole life.
inline constexpr size_t kMaxUidLength = 256;

// Reads the header of server message `number` on session.upstream with
// TOP n 0, into `header` (AddRawLine), with the message's size: from the TOP
// reply, else from the listing the scan read, else from LIST n (0 when that
// is refused too). Returns true when the header was read; false when the TOP
// was refused (the command and the reply are logged), its header did not end
// within kMaxBlockLines lines, or the upstream link failed.
bool ReadHeader(Pop3Session& session, int64_t number, RawHeader& header);

// Acts on the judgement of server message `number` on the session's view:
// keeps it shown; hides it (SKIP: logged in the filter log, left on the
// server); or kills it (DELE: logged, entered in the kill report, the kill
// sound played, not shown, deleted on the server at once; the entry counts
// as deleted only when the server accepted the DELE). With a quarantine
// directory (QuarantineDirectory) the message is copied there first and
// deleted only when the copy was kept (pop3/kill_copies.h). With
// session.dryRun nothing is hidden or deleted, and the report tells what
// would have been. A link that fails during the DELE shows in
// session.upstream.LinkFailed().
void ApplyJudgement(Pop3Session& session, int64_t number, const MailJudgement& judgement);

// Scans the whole mailbox on session.upstream: STAT fills totalCount and
// serverOctets, LIST and UIDL the entries' size, uid and shown flag, then
// every message is read (from the header cache when it holds the uid, see
// pop3/scan_cache.h), judged with the kill set current when the scan starts,
// and acted on, in the order of the mailbox (killed messages are copied to
// the quarantine after the last header, pipelined as the TOPs were, and
// deleted then; session.dryRun is set from DryRun); with DNS blocklists every
// header is read first and the relays of those fetched now are asked
// about at once (LookUpRelayListings) before any is judged. When the server lists
// PIPELINING in CAPA (asked at the mailbox's first login in this process,
// and again after answers out of step), STAT, LIST and UIDL go out together
// and TOPs and DELEs in a bounded window; after an answer out of step or
// missing the rest goes one command at a time. Keeps the client's idle countdown from running out
// meanwhile. Returns true when the mailbox was scanned (and the cache
// brought up to date); false when it failed (the table is then partly
// filled and must not be served, and the cache is left as it was).
bool ScanMailbox(Pop3Session& session);

// Forgets which mailboxes' servers were seen to list PIPELINING. For tests.
void ForgetPipeliningForTesting();
