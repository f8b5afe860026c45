#include "pop3/kill_copies.h"

#include <algorithm>
#include <span>

#include "codec/code_page.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "platform/clock.h"
#include "store/maildir.h"
#include "store/quarantine.h"

namespace {

// RETRs sent ahead of their answers at most. Each answer is a whole message
// read straight to the disk, so the window only needs to hide the round
// trip between messages; the commands are far below any socket buffer.
constexpr size_t kCopyWindow = 16;

// A server that lists PIPELINING but drops commands that came together never
// answers them; a real one answers a queued command at once (as the scan
// reads it, pop3/mailbox_scan.cpp).
constexpr int kMissingAnswerMs = 10 * 1000;

// A message's lines, read at most: as many as the scan reads of any block.
constexpr size_t kMaxMessageLines = kMaxBlockLines;

// What became of one killed message.
struct CopyOutcome {
    std::string id;   // its quarantine id once indexed
    std::string why;  // why it was kept on the server when not
};

// The quarantine of one account, opened for one copy run.
class AccountQuarantine {
  public:
    AccountQuarantine(const Pop3Session& session, const std::string& directory)
        : accountKey_(AccountKey(session.host, session.account)) {
        const SettingsRecord& settings = CurrentSettings();
        maxKB_ = settings.QuarantineMaxMessageKB;
        if (database_.Open(StateDirectory(settings)) == OpenOutcome::kUnavailable) {
            unavailable_ = "the state database is unavailable: " + database_.Problem();
            return;
        }
        quarantine_ = std::make_unique<Quarantine>(database_, directory);
    }

    // Why no copy can be made at all; "" when copies can be made.
    const std::string& Unavailable() const { return unavailable_; }

    // Why a message of `size` octets is not copied; "" when it may be.
    std::string Refusal(int64_t size) const {
        if (!unavailable_.empty()) return unavailable_;
        if (!FitsQuarantine(size, maxKB_)) {
            return "larger than QuarantineMaxMessageKB=" + std::to_string(maxKB_);
        }
        return {};
    }

    int64_t MaxOctets() const { return maxKB_ * 1024; }

    bool Begin(MaildirDelivery& copy, std::string& why) {
        if (quarantine_->BeginCopy(accountKey_, copy, MaxOctets())) return true;
        why = quarantine_->Problem();
        return false;
    }

    // Finishes and indexes the copy of `kill`; returns its id, or "" with `why`.
    std::string Index(MaildirDelivery& copy, const KilledMessage& kill, std::string& why) {
        if (!copy.Finish()) {
            why = copy.Problem();
            return {};
        }
        QuarantineEntry entry;
        entry.account = accountKey_;
        entry.killedAt = UnixSeconds();
        entry.sender = OemToUtf8(kill.from);
        entry.subject = OemToUtf8(kill.subject);
        entry.rule = OemToUtf8(kill.fields.reason + " -> " + kill.fields.result);
        if (!quarantine_->Add(copy, entry)) {
            why = quarantine_->Problem();
            return {};
        }
        return entry.id;
    }

  private:
    std::string accountKey_;
    int64_t maxKB_ = 0;
    StateDatabase database_;
    std::unique_ptr<Quarantine> quarantine_;
    std::string unavailable_;
};

class CopyRun {
  public:
    CopyRun(Pop3Session& session, const std::string& directory, CopyPace pace)
        : session_(session),
          upstream_(session.upstream),
          pace_(pace),
          quarantine_(session, directory) {}

    bool Run(const std::vector<KilledMessage>& kills);

  private:
    bool Status(std::string& reply);
    void Copy(const KilledMessage& kill, CopyOutcome& outcome);
    void Delete(std::span<const KilledMessage> batch, std::span<const CopyOutcome> outcomes);
    void Report(const KilledMessage& kill, const CopyOutcome& outcome);

    Pop3Session& session_;
    Connection& upstream_;
    CopyPace pace_;
    AccountQuarantine quarantine_;
    // Set once the link failed or the answers went missing: no command is
    // sent any more, and every message not yet copied stays.
    std::string lost_;
};

// Reads the status line of the next answer. Returns false, with lost_ set,
// when the link failed or (pipelined) no answer came.
bool CopyRun::Status(std::string& reply) {
    if (pace_ == CopyPace::kPipelined && !upstream_.AwaitLine(kMissingAnswerMs)) {
        lost_ = upstream_.LinkFailed() ? "the server was lost" : "the server did not answer";
        return false;
    }
    upstream_.ReceiveLine(reply);
    if (upstream_.LinkFailed()) {
        lost_ = "the server was lost";
        return false;
    }
    return true;
}

// Reads the answer to the RETR of `kill` (sent already) into its copy.
void CopyRun::Copy(const KilledMessage& kill, CopyOutcome& outcome) {
    session_.client.KeepAlive();
    if (pace_ == CopyPace::kOneByOne) upstream_.SendLine("RETR " + std::to_string(kill.number));
    std::string reply;
    if (!Status(reply)) return;
    if (!StartsWith(reply, "+OK")) {
        outcome.why = "the server refused RETR: " + reply;
        return;
    }
    MaildirDelivery copy;
    bool writing = quarantine_.Begin(copy, outcome.why);
    // The whole answer is read even when the copy failed, so that the next
    // answer is read in step.
    bool complete = upstream_.ReadBlock(kMaxMessageLines, [&](const std::string& line) {
        if (!writing) return true;
        // RFC 1939 3: a line that begins with "." was sent with one more.
        std::string_view text = line;
        if (!text.empty() && text[0] == '.') text.remove_prefix(1);
        if (!copy.AddLine(text)) {
            outcome.why = copy.Problem();
            writing = false;
        }
        return true;
    });
    if (!complete) {
        lost_ = upstream_.LinkFailed() ? "the server was lost while sending it"
                                       : "the message did not end";
        copy.Abort();
        return;
    }
    if (writing) outcome.id = quarantine_.Index(copy, kill, outcome.why);
}

// Deletes the copied messages of a batch on the server.
void CopyRun::Delete(std::span<const KilledMessage> batch, std::span<const CopyOutcome> outcomes) {
    if (!lost_.empty()) return;
    std::string commands;
    for (size_t i = 0; i < batch.size(); ++i) {
        if (outcomes[i].id.empty()) continue;
        WriteLog("Deleting Message " + std::to_string(batch[i].number), upstream_.slot(),
                 kLogDebug);
        commands += "DELE " + std::to_string(batch[i].number) + "\r\n";
    }
    if (pace_ == CopyPace::kPipelined && !commands.empty()) upstream_.SendText(commands);
    for (size_t i = 0; i < batch.size() && lost_.empty(); ++i) {
        if (outcomes[i].id.empty()) continue;
        if (pace_ == CopyPace::kOneByOne) {
            upstream_.SendLine("DELE " + std::to_string(batch[i].number));
        }
        std::string reply;
        if (!Status(reply)) return;
        WriteLog(reply, upstream_.slot(), kLogDebug);
        MailboxEntryAt(session_, batch[i].number).deleted = StartsWith(reply, "+OK");
    }
}

void CopyRun::Report(const KilledMessage& kill, const CopyOutcome& outcome) {
    std::string status;
    if (!outcome.id.empty()) {
        // A refused DELE leaves the message on the server and the copy in
        // the quarantine: the message is hidden all the same.
        status = MailboxEntryAt(session_, kill.number).deleted
                     ? QuarantinedStatus(outcome.id)
                     : CopiedButKeptStatus(outcome.id, lost_.empty() ? "DELE refused" : lost_);
    } else {
        std::string why = outcome.why.empty() ? lost_ : outcome.why;
        WriteLog("Message " + std::to_string(kill.number) + " kept on the server: " + why,
                 upstream_.slot(), kLogFailure);
        status = KeptOnServerStatus(why);
    }
    session_.killReport += KillReportEntry(kill.from, kill.subject, kill.messageId, kill.size,
                                           kill.headerLines, kill.fields, status);
}

bool CopyRun::Run(const std::vector<KilledMessage>& kills) {
    for (size_t start = 0; start < kills.size();) {
        // A window of messages; those the quarantine does not take are not
        // fetched, but reported in their turn.
        const size_t end = std::min(kills.size(), start + kCopyWindow);
        std::span<const KilledMessage> batch(kills.data() + start, end - start);
        start = end;
        std::vector<CopyOutcome> outcomes(batch.size());
        std::string commands;
        for (size_t i = 0; i < batch.size(); ++i) {
            outcomes[i].why = lost_.empty() ? quarantine_.Refusal(batch[i].size) : lost_;
            if (outcomes[i].why.empty()) {
                commands += "RETR " + std::to_string(batch[i].number) + "\r\n";
            }
        }
        if (pace_ == CopyPace::kPipelined && !commands.empty()) upstream_.SendText(commands);
        for (size_t i = 0; i < batch.size(); ++i) {
            if (lost_.empty() && outcomes[i].why.empty()) Copy(batch[i], outcomes[i]);
        }
        Delete(batch, outcomes);
        for (size_t i = 0; i < batch.size(); ++i) Report(batch[i], outcomes[i]);
    }
    // After a lost answer the server's answers are out of step for good.
    return lost_.empty() && !upstream_.LinkFailed();
}

}  // namespace

bool CopyKilledMessages(Pop3Session& session, const std::vector<KilledMessage>& kills,
                        const std::string& directory, CopyPace pace) {
    if (kills.empty()) return !session.upstream.LinkFailed();
    CopyRun run(session, directory, pace);
    return run.Run(kills);
}
