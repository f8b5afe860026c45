#include "pop3/mailbox_scan.h"

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "filter/filter.h"
#include "net/connection.h"
#include "platform/clock.h"
#include "platform/sound.h"
#include "platform/thread.h"
#include "pop3/kill_report.h"
#include "pop3/relay_blocklists.h"

namespace {

// Played for every killed message, from the configuration directory.
constexpr const char* kKillSound = "PLONK.WAV";

// Every listing the scan reads fits in one block: a mailbox it accepts has
// at most kMaxMailboxMessages lines in its LIST and UIDL replies.
static_assert(kMaxBlockLines > kMaxMailboxMessages);

// Deletes a killed message on the server at once, so that it is gone even
// when the client never ends its session; the entry counts as deleted only
// when the server says so.
void DeleteOnServer(Pop3Session& session, int64_t number, MailboxEntry& entry) {
    Connection& upstream = session.upstream;
    const int slot = upstream.slot();
    WriteLog("Deleting Message " + std::to_string(number), slot, kLogDebug);
    upstream.SendLine("DELE " + std::to_string(number));
    std::string reply;
    upstream.ReceiveLine(reply);
    WriteLog(reply, slot, kLogDebug);
    entry.deleted = StartsWith(reply, "+OK");
}

// Judges a header and acts on it. A replaced envelope is logged before the
// verdict's lines, as the judging did when it logged itself.
void JudgeAndApply(Pop3Session& session, int64_t number, const RawHeader& header,
                   const KillSet& killSet, std::span<const BlocklistListing> listings) {
    MailJudgement judgement =
        JudgeMail(header, session.envelope, UnixSeconds(), killSet, FindBlacklistedRelay, listings);
    if (judgement.envelopeReplaced) {
        WriteLog("Incorrect Envelope-To (" + session.envelope + "), using internal Envelope (" +
                     std::string(kDefaultEnvelope) + ") for internal Filter.",
                 session.upstream.slot(), kLogNotice);
    }
    ApplyJudgement(session, number, judgement);
}

}  // namespace

bool ReadHeader(Pop3Session& session, int64_t number, RawHeader& header) {
    Connection& upstream = session.upstream;
    const int slot = upstream.slot();
    std::string command = "TOP " + std::to_string(number) + " 0";
    upstream.SendLine(command);
    std::string reply;
    upstream.ReceiveLine(reply);
    if (!StartsWith(reply, "+OK")) {
        WriteLog(command, slot, kLogFailure);
        WriteLog(reply, slot, kLogFailure);
        return false;
    }
    header.size = LeadingNumber(Field(reply, 1));
    bool complete = upstream.ReadBlock(kMaxBlockLines, [&](const std::string& line) {
        AddRawLine(header, line);
        return true;
    });
    if (!complete) return false;

    // A server that gives no size with TOP has given it in the listing the
    // scan read a moment ago; asking again with LIST n would cost a round
    // trip per message for the same number.
    if (header.size == 0) header.size = MailboxEntryAt(session, number).size;
    if (header.size == 0) {
        upstream.SendLine("LIST " + std::to_string(number));
        upstream.ReceiveLine(reply);
        if (StartsWith(reply, "+OK")) header.size = LeadingNumber(Field(reply, 2));
    }
    return !upstream.LinkFailed();
}

void ApplyJudgement(Pop3Session& session, int64_t number, const MailJudgement& judgement) {
    const int slot = session.upstream.slot();
    const MessageHeader& header = judgement.header;
    MailboxEntry& entry = MailboxEntryAt(session, number);
    // Every judged message passes here once, with what becomes of it: the
    // one place that changes the view, the server's mailbox and the report.
    switch (judgement.verdict) {
        case FilterVerdict::kSkip:
            WriteLog(FilterLogBlock("Filter: ", header.messageId, header.from, header.subject,
                                    judgement.reason),
                     slot, kLogFilter);
            entry.shown = false;
            entry.deleted = false;
            break;
        case FilterVerdict::kDele: {
            WriteLog(FilterLogBlock("Killing: ", header.messageId, header.from, header.subject,
                                    judgement.reason),
                     slot, kLogFilter);
            KillReasonFields fields = DescribeKillReason(judgement.reason, header.rblInfo);
            session.killReport +=
                KillReportEntry(header.from, header.subject, header.messageId, header.size,
                                std::span<const std::string>(header.lines).subspan(1), fields);
            PlayWaveFile(ProgramDirectory + kKillSound);
            entry.shown = false;
            DeleteOnServer(session, number, entry);
            break;
        }
        case FilterVerdict::kNone:
        case FilterVerdict::kRetr:
            entry.shown = true;
            entry.deleted = false;
            break;
    }
}

bool ScanMailbox(Pop3Session& session) {
    HighPriorityScope priority;
    Connection& upstream = session.upstream;
    const int slot = upstream.slot();

    upstream.SendLine("STAT");
    std::string reply;
    upstream.ReceiveLine(reply);
    if (!StartsWith(reply, "+OK")) {
        WriteLog("Error on receiving Mailbox Status", slot, kLogError);
        return false;
    }
    session.totalCount = LeadingNumber(Field(reply, 1));
    session.serverOctets = LeadingNumber(Field(reply, 2));
    if (session.totalCount < 0) session.totalCount = 0;
    WriteLog(std::to_string(session.totalCount) + " Messages with " +
                 std::to_string(session.serverOctets) + " (Bytes)",
             slot, kLogFigures);
    if (session.totalCount > kMaxMailboxMessages) {
        WriteLog("Error on receiving Mailbox Status", slot, kLogError);
        return false;
    }
    session.messages.clear();
    if (session.totalCount == 0) return true;

    // A listed number outside 1..STAT count means the server contradicts itself.
    auto listedEntry = [&](const std::string& line) -> MailboxEntry* {
        int64_t n = LeadingNumber(Field(line, 0));
        if (n < 1 || n > session.totalCount) return nullptr;
        return &MailboxEntryAt(session, n);
    };

    upstream.SendLine("LIST");
    upstream.ReceiveLine(reply);
    if (!StartsWith(reply, "+OK")) {
        WriteLog("Error on receiving Mailbox Listing", slot, kLogFigures);
        return false;
    }
    bool listed = upstream.ReadBlock(kMaxBlockLines, [&](const std::string& line) {
        MailboxEntry* entry = listedEntry(line);
        if (entry == nullptr) return false;
        entry->size = LeadingNumber(Field(line, 1));
        entry->shown = true;
        return true;
    });
    if (!listed) return false;

    upstream.SendLine("UIDL");
    upstream.ReceiveLine(reply);
    if (!StartsWith(reply, "+OK")) {
        WriteLog("Error on receiving Mailbox Informations", slot, kLogFigures);
        return false;
    }
    bool identified = upstream.ReadBlock(kMaxBlockLines, [&](const std::string& line) {
        MailboxEntry* entry = listedEntry(line);
        if (entry == nullptr) return false;
        // A fresh copy of at most the cap: a cut copy would keep its room.
        entry->uid = Field(line, 1).substr(0, kMaxUidLength);
        return true;
    });
    if (!identified) return false;

    // One set judges the whole mailbox, however often the kill file is
    // reloaded meanwhile.
    std::shared_ptr<const KillSet> killSet = CurrentKillSet();
    // Grown as headers arrive, never sized by the count STAT claims.
    std::vector<RawHeader> headers;
    // The scan answers the client only at its end; without this a long scan
    // would let the watchdog close the waiting client's connection.
    for (int64_t i = 1; i <= session.totalCount; ++i) {
        session.client.KeepAlive();
        if (!ReadHeader(session, i, headers.emplace_back())) return false;
    }
    session.client.KeepAlive();
    // Between reading and judging: the blocklists are asked about every
    // header's relays at once, so the login waits for them only once (at
    // most DnsTimeout, well within the client's idle time-out).
    std::vector<std::vector<BlocklistListing>> listings =
        LookUpRelayListings(headers, upstream.slot());
    for (int64_t i = 1; i <= session.totalCount; ++i) {
        session.client.KeepAlive();
        auto index = static_cast<size_t>(i - 1);
        JudgeAndApply(session, i, headers[index], *killSet, listings[index]);
        headers[index] = RawHeader();  // judged: not needed any more
        // A link lost during a kill's DELE fails the scan, as it would the next TOP.
        if (upstream.LinkFailed()) return false;
    }
    session.client.KeepAlive();
    return true;
}
