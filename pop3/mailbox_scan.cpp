#include "pop3/mailbox_scan.h"

#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
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
#include "pop3/kill_copies.h"
#include "pop3/kill_report.h"
#include "pop3/relay_blocklists.h"
#include "pop3/scan_cache.h"
#include "pop3/upstream_login.h"
#include "store/quarantine.h"
#include "store/statistics.h"

namespace {

// Played for every killed message, from the configuration directory.
constexpr const char* kKillSound = "PLONK.WAV";

// Every listing the scan reads fits in one block: a mailbox it accepts has
// at most kMaxMailboxMessages lines in its LIST and UIDL replies.
static_assert(kMaxBlockLines > kMaxMailboxMessages);

// Whether ApplyVerdict waits for the answer to its DELE.
enum class DeleteTiming {
    kAtOnce,  // sent and answered before the next message is judged
    kQueued,  // the caller sends it with the next commands and reads its answer in turn
};

std::string DeleCommand(int64_t number) {
    return "DELE " + std::to_string(number);
}

// The server's answer to DELE n: the entry counts as deleted only when the
// server says so.
void TakeDeleAnswer(Pop3Session& session, int64_t number, const std::string& reply) {
    WriteLog(reply, session.upstream.slot(), kLogDebug);
    MailboxEntryAt(session, number).deleted = StartsWith(reply, "+OK");
}

// Deletes a killed message on the server at once, so that it is gone even
// when the client never ends its session.
void DeleteOnServer(Pop3Session& session, int64_t number) {
    session.upstream.SendLine(DeleCommand(number));
    std::string reply;
    session.upstream.ReceiveLine(reply);
    TakeDeleAnswer(session, number, reply);
}

bool ApplyVerdict(Pop3Session& session, int64_t number, const MailJudgement& judgement,
                  DeleteTiming timing, std::vector<KilledMessage>* copies);

// Judges a header and acts on it. A replaced envelope is logged before the
// verdict's lines, as the judging did when it logged itself. Returns true
// when the message is to be deleted and `timing` left the DELE to the caller.
bool JudgeAndApply(Pop3Session& session, int64_t number, const RawHeader& header,
                   const KillSet& killSet, std::span<const BlocklistListing> listings,
                   DeleteTiming timing, std::vector<KilledMessage>* copies) {
    MailJudgement judgement =
        JudgeMail(header, session.envelope, UnixSeconds(), killSet, FindBlacklistedRelay, listings);
    // The overview page's figures; added to the state database when the scan ends.
    session.statistics.Count(judgement.verdict == FilterVerdict::kDele   ? CountedVerdict::kKilled
                             : judgement.verdict == FilterVerdict::kSkip ? CountedVerdict::kHidden
                                                                         : CountedVerdict::kKept);
    if (const FilterMatch* rule = DecidingMatch(judgement.matches, judgement.action)) {
        session.statistics.CountRule(rule->rule, rule->location);
    }
    if (judgement.envelopeReplaced) {
        WriteLog("Incorrect Envelope-To (" + session.envelope + "), using internal Envelope (" +
                     std::string(kDefaultEnvelope) + ") for internal Filter.",
                 session.upstream.slot(), kLogNotice);
    }
    return ApplyVerdict(session, number, judgement, timing, copies);
}

std::string TopCommand(int64_t number) {
    return "TOP " + std::to_string(number) + " 0";
}

// Logs a TOP the server refused, or whose answer the link lost, as the scan
// has always logged it.
void LogRefusedTop(int slot, int64_t number, const std::string& reply) {
    WriteLog(TopCommand(number), slot, kLogFailure);
    WriteLog(reply, slot, kLogFailure);
}

// Reads the header that follows the "+OK" answer `reply` to TOP n 0, with
// the message's size as ReadHeader gets it.
bool ReadTopAnswer(Pop3Session& session, int64_t number, const std::string& reply,
                   RawHeader& header) {
    Connection& upstream = session.upstream;
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
        std::string listed;
        upstream.SendLine("LIST " + std::to_string(number));
        upstream.ReceiveLine(listed);
        if (StartsWith(listed, "+OK")) header.size = LeadingNumber(Field(listed, 2));
    }
    return !upstream.LinkFailed();
}

}  // namespace

bool ReadHeader(Pop3Session& session, int64_t number, RawHeader& header) {
    Connection& upstream = session.upstream;
    upstream.SendLine(TopCommand(number));
    std::string reply;
    upstream.ReceiveLine(reply);
    if (!StartsWith(reply, "+OK")) {
        LogRefusedTop(upstream.slot(), number, reply);
        return false;
    }
    return ReadTopAnswer(session, number, reply, header);
}

void ApplyJudgement(Pop3Session& session, int64_t number, const MailJudgement& judgement) {
    const std::string quarantine = QuarantineDirectory(CurrentSettings());
    if (quarantine.empty()) {
        ApplyVerdict(session, number, judgement, DeleteTiming::kAtOnce, nullptr);
        return;
    }
    std::vector<KilledMessage> kills;
    ApplyVerdict(session, number, judgement, DeleteTiming::kAtOnce, &kills);
    CopyKilledMessages(session, kills, quarantine, CopyPace::kOneByOne);
}

namespace {

// Enters a message in the report with `status` ("" for none).
void ReportEntry(Pop3Session& session, const MailJudgement& judgement, std::string_view status) {
    const MessageHeader& header = judgement.header;
    session.killReport +=
        KillReportEntry(header.from, header.subject, header.messageId, header.size,
                        std::span<const std::string>(header.lines).subspan(1),
                        DescribeKillReason(judgement.reason, header.rblInfo), status);
}

// ApplyJudgement, with the DELE of a killed message sent at once or left to
// the caller (returns true then). With `copies`, a killed message is only
// hidden and added there: its copy, DELE and report entry come later.
bool ApplyVerdict(Pop3Session& session, int64_t number, const MailJudgement& judgement,
                  DeleteTiming timing, std::vector<KilledMessage>* copies) {
    const int slot = session.upstream.slot();
    const MessageHeader& header = judgement.header;
    MailboxEntry& entry = MailboxEntryAt(session, number);
    entry.deleted = false;
    // Every judged message passes here once, with what becomes of it: the
    // one place that changes the view, the server's mailbox and the report.
    switch (judgement.verdict) {
        case FilterVerdict::kSkip:
            WriteLog(FilterLogBlock("Filter: ", header.messageId, header.from, header.subject,
                                    judgement.reason),
                     slot, kLogFilter);
            entry.shown = session.dryRun;
            if (session.dryRun) ReportEntry(session, judgement, kDryRunHideStatus);
            break;
        case FilterVerdict::kDele: {
            WriteLog(FilterLogBlock("Killing: ", header.messageId, header.from, header.subject,
                                    judgement.reason),
                     slot, kLogFilter);
            entry.shown = session.dryRun;
            if (session.dryRun) {
                ReportEntry(session, judgement, kDryRunKillStatus);
                break;
            }
            PlayWaveFile(ProgramDirectory + kKillSound);
            if (copies != nullptr) {
                copies->push_back(
                    {number, header.from, header.subject, header.messageId, header.size,
                     std::vector<std::string>(header.lines.begin() + 1, header.lines.end()),
                     DescribeKillReason(judgement.reason, header.rblInfo)});
                break;
            }
            ReportEntry(session, judgement, {});
            WriteLog("Deleting Message " + std::to_string(number), slot, kLogDebug);
            if (timing == DeleteTiming::kQueued) return true;
            DeleteOnServer(session, number);
            break;
        }
        case FilterVerdict::kNone:
        case FilterVerdict::kRetr:
            entry.shown = true;
            break;
    }
    return false;
}

// Commands sent ahead of their answers at most. At a 20 ms round trip this
// many headers of a few kilobytes keep the link busy, while the answers of
// one window are well within what a server buffers for one client.
constexpr size_t kWindowCommands = 64;

// Bytes of commands sent and not yet answered at most: far below any
// socket's buffer, so that sending never waits on a server that is itself
// waiting for its answers to be read.
constexpr size_t kWindowCommandBytes = 2048;

// The window is topped up once no more than this many commands are in
// flight, so that commands go out in batches rather than one send each.
constexpr size_t kWindowRefillAt = kWindowCommands / 2;

// A server that lists PIPELINING but drops commands that came together with
// others never answers them. A real server answers a queued command at once,
// so this long a silence while answers are owed means one is missing.
constexpr int kMissingAnswerMs = 10 * 1000;

// After the answers went out of step, whatever the server still sends of
// them is read and dropped until it has been silent this long.
constexpr int kDrainQuietMs = 500;

// Mailboxes (server, port and account) whose server listed PIPELINING at an
// earlier login of this process. Their scans pipeline at once, which spares
// the CAPA round trip of every repeat login; a mailbox whose answers went
// out of step is forgotten, so that its next login asks again.
class PipeliningMemory {
  public:
    bool Knows(const std::string& mailbox) {
        std::lock_guard lock(lock_);
        return mailboxes_.count(mailbox) != 0;
    }
    void Learn(const std::string& mailbox, bool pipelines) {
        std::lock_guard lock(lock_);
        if (pipelines) {
            mailboxes_.insert(mailbox);
        } else {
            mailboxes_.erase(mailbox);
        }
    }
    void Clear() {
        std::lock_guard lock(lock_);
        mailboxes_.clear();
    }

  private:
    std::mutex lock_;
    std::unordered_set<std::string> mailboxes_;
};

// Never destroyed: a session thread may finish its scan while the process ends.
PipeliningMemory& Pipelining() {
    static auto* memory = new PipeliningMemory;
    return *memory;
}

std::string MailboxKey(const Pop3Session& session) {
    return session.host + ":" + std::to_string(Settings.Pop3PortOutgoing) + "#" + session.account;
}

// How the scan talks to the server.
enum class Pace {
    kPipelined,  // commands go out in a window ahead of their answers (RFC 2449 PIPELINING)
    kOneByOne,   // each command waits for the answer to the one before
};

// What came back for one command.
enum class Answer {
    kOk,          // "+OK ..."
    kRefused,     // anything else the server may say to it ("-ERR ...")
    kOutOfStep,   // pipelined: no status line where one was due, or none came at all
    kLinkFailed,  // the link failed while waiting
};

enum class CommandKind { kTop, kDele };

// A command sent (or about to be sent) and not yet answered.
struct InFlight {
    CommandKind kind;
    int64_t number;
    size_t bytes;
};

// One scan of the mailbox on the session's upstream connection.
class MailboxScan {
  public:
    MailboxScan(Pop3Session& session, Pace pace)
        : session_(session),
          upstream_(session.upstream),
          slot_(upstream_.slot()),
          pace_(pace),
          quarantine_(QuarantineDirectory(CurrentSettings())) {}

    // STAT, LIST and UIDL. Returns false when the scan failed.
    bool List();

    // Reads, judges and acts on every message in order, taking the headers
    // `cache` holds from it. Returns false when the scan failed.
    bool JudgeAll(ScanCache& cache);

    // True unless the answers went out of step.
    bool StayedPipelined() const { return pace_ == Pace::kPipelined; }

  private:
    Answer ReadAnswer(std::string& reply);
    void FallBack();
    bool ReadListingAnswer(const char* command, std::string& reply);
    bool Fetch(int64_t number, RawHeader& header, const ScanCache& cache);
    bool Judge(int64_t number, const RawHeader& header, const KillSet& killSet,
               std::span<const BlocklistListing> listings);
    void Refill(const ScanCache& cache);
    bool Queue(CommandKind kind, int64_t number);
    void Push(CommandKind kind, int64_t number, const std::string& command);
    void Flush();
    bool TakeFront();

    Pop3Session& session_;
    Connection& upstream_;
    const int slot_;
    Pace pace_;
    std::deque<InFlight> inFlight_;
    size_t inFlightBytes_ = 0;
    std::string outgoing_;  // queued commands not sent yet
    int64_t nextTop_ = 1;   // the next message whose TOP may be queued
    // Headers read ahead of their message's turn, by message number.
    std::unordered_map<int64_t, RawHeader> readAhead_;
    // Where killed messages are copied before their DELE; "" for no copies.
    const std::string quarantine_;
    // The killed messages waiting for their copy, in mailbox order: they are
    // fetched once every header is judged, so that the window of TOPs is
    // never held up by whole messages.
    std::vector<KilledMessage> kills_;
};

Answer MailboxScan::ReadAnswer(std::string& reply) {
    reply.clear();
    if (pace_ == Pace::kPipelined && !upstream_.AwaitLine(kMissingAnswerMs)) {
        return upstream_.LinkFailed() ? Answer::kLinkFailed : Answer::kOutOfStep;
    }
    upstream_.ReceiveLine(reply);
    if (upstream_.LinkFailed()) return Answer::kLinkFailed;
    if (StartsWith(reply, "+OK")) return Answer::kOk;
    if (pace_ == Pace::kPipelined && !StartsWith(reply, "-ERR")) return Answer::kOutOfStep;
    return Answer::kRefused;
}

// From here on one command at a time, for the rest of the session. What is
// still on its way is read and dropped; the headers it held are fetched
// again, the DELEs it answered are sent again.
void MailboxScan::FallBack() {
    WriteLog("Answers out of step, pipelining given up", slot_, kLogFailure);
    pace_ = Pace::kOneByOne;
    std::string line;
    for (size_t dropped = 0; dropped < kMaxBlockLines && upstream_.AwaitLine(kDrainQuietMs);
         ++dropped) {
        upstream_.ReceiveLine(line);
    }
    outgoing_.clear();
    std::deque<InFlight> owed;
    owed.swap(inFlight_);
    inFlightBytes_ = 0;
    for (const InFlight& command : owed) {
        if (command.kind != CommandKind::kDele) continue;
        DeleteOnServer(session_, command.number);
        if (MailboxEntryAt(session_, command.number).deleted || upstream_.LinkFailed()) continue;
        // Refused: perhaps because the lost answer had deleted it already,
        // which LIST n, refused for a deleted message, tells.
        upstream_.SendLine("LIST " + std::to_string(command.number));
        upstream_.ReceiveLine(line);
        if (!upstream_.LinkFailed() && !StartsWith(line, "+OK")) {
            MailboxEntryAt(session_, command.number).deleted = true;
        }
    }
}

// The status line of LIST or UIDL, sent again one by one when the
// pipelined answer went out of step.
bool MailboxScan::ReadListingAnswer(const char* command, std::string& reply) {
    if (pace_ == Pace::kOneByOne) upstream_.SendLine(command);
    Answer answer = ReadAnswer(reply);
    if (answer == Answer::kOutOfStep) {
        FallBack();
        upstream_.SendLine(command);
        answer = ReadAnswer(reply);
    }
    return answer == Answer::kOk;
}

bool MailboxScan::List() {
    if (pace_ == Pace::kPipelined) {
        upstream_.SendText("STAT\r\nLIST\r\nUIDL\r\n");
    } else {
        upstream_.SendLine("STAT");
    }
    std::string reply;
    upstream_.ReceiveLine(reply);
    if (!StartsWith(reply, "+OK")) {
        WriteLog("Error on receiving Mailbox Status", slot_, kLogError);
        return false;
    }
    session_.totalCount = LeadingNumber(Field(reply, 1));
    session_.serverOctets = LeadingNumber(Field(reply, 2));
    if (session_.totalCount < 0) session_.totalCount = 0;
    WriteLog(std::to_string(session_.totalCount) + " Messages with " +
                 std::to_string(session_.serverOctets) + " (Bytes)",
             slot_, kLogFigures);
    if (session_.totalCount > kMaxMailboxMessages) {
        WriteLog("Error on receiving Mailbox Status", slot_, kLogError);
        return false;
    }
    session_.messages.clear();
    // Pipelined, the answers to LIST and UIDL are on their way all the same.
    if (session_.totalCount == 0 && pace_ == Pace::kOneByOne) return true;

    // A listed number outside 1..STAT count means the server contradicts itself.
    auto listedEntry = [&](const std::string& line) -> MailboxEntry* {
        int64_t n = LeadingNumber(Field(line, 0));
        if (n < 1 || n > session_.totalCount) return nullptr;
        return &MailboxEntryAt(session_, n);
    };

    if (!ReadListingAnswer("LIST", reply)) {
        WriteLog("Error on receiving Mailbox Listing", slot_, kLogFigures);
        return false;
    }
    bool listed = upstream_.ReadBlock(kMaxBlockLines, [&](const std::string& line) {
        MailboxEntry* entry = listedEntry(line);
        if (entry == nullptr) return false;
        entry->size = LeadingNumber(Field(line, 1));
        entry->shown = true;
        return true;
    });
    if (!listed) return false;

    if (!ReadListingAnswer("UIDL", reply)) {
        WriteLog("Error on receiving Mailbox Informations", slot_, kLogFigures);
        return false;
    }
    return upstream_.ReadBlock(kMaxBlockLines, [&](const std::string& line) {
        MailboxEntry* entry = listedEntry(line);
        if (entry == nullptr) return false;
        // A fresh copy of at most the cap: a cut copy would keep its room.
        entry->uid = Field(line, 1).substr(0, kMaxUidLength);
        return true;
    });
}

void MailboxScan::Flush() {
    if (outgoing_.empty()) return;
    upstream_.SendText(outgoing_);
    outgoing_.clear();
}

// Queues a command, first taking answers while the window is full. Returns
// false when the scan failed meanwhile. After a fall-back the command is
// not queued: a DELE is then sent at once, a TOP left to Fetch.
bool MailboxScan::Queue(CommandKind kind, int64_t number) {
    std::string command = kind == CommandKind::kTop ? TopCommand(number) : DeleCommand(number);
    command += "\r\n";
    while (pace_ == Pace::kPipelined && !inFlight_.empty() &&
           (inFlight_.size() >= kWindowCommands ||
            inFlightBytes_ + command.size() > kWindowCommandBytes)) {
        if (!TakeFront()) return false;
    }
    if (pace_ == Pace::kOneByOne) {
        if (kind == CommandKind::kDele) DeleteOnServer(session_, number);
        return !upstream_.LinkFailed();
    }
    Push(kind, number, command);
    return true;
}

void MailboxScan::Push(CommandKind kind, int64_t number, const std::string& command) {
    inFlight_.push_back({kind, number, command.size()});
    inFlightBytes_ += command.size();
    outgoing_ += command;
}

// Tops the window up with the TOPs of the next messages the cache does not
// hold, and sends what is queued.
void MailboxScan::Refill(const ScanCache& cache) {
    if (inFlight_.size() <= kWindowRefillAt) {
        while (nextTop_ <= session_.totalCount && inFlight_.size() < kWindowCommands) {
            std::string command = TopCommand(nextTop_) + "\r\n";
            if (inFlightBytes_ + command.size() > kWindowCommandBytes) break;
            if (!cache.Has(MailboxEntryAt(session_, nextTop_))) {
                Push(CommandKind::kTop, nextTop_, command);
            }
            ++nextTop_;
        }
    }
    Flush();
}

// Reads the answer to the oldest command in flight. Returns false when the
// scan failed: a TOP refused, or the link lost.
bool MailboxScan::TakeFront() {
    Flush();
    InFlight command = inFlight_.front();
    std::string reply;
    Answer answer = ReadAnswer(reply);
    if (answer == Answer::kOutOfStep) {
        FallBack();
        return !upstream_.LinkFailed();
    }
    inFlight_.pop_front();
    inFlightBytes_ -= command.bytes;
    if (command.kind == CommandKind::kDele) {
        TakeDeleAnswer(session_, command.number, reply);
        return !upstream_.LinkFailed();
    }
    if (answer != Answer::kOk) {
        LogRefusedTop(slot_, command.number, reply);
        return false;
    }
    RawHeader header;
    if (!ReadTopAnswer(session_, command.number, reply, header)) return false;
    readAhead_.emplace(command.number, std::move(header));
    return true;
}

bool MailboxScan::Fetch(int64_t number, RawHeader& header, const ScanCache& cache) {
    for (;;) {
        auto ahead = readAhead_.find(number);
        if (ahead != readAhead_.end()) {
            header = std::move(ahead->second);
            readAhead_.erase(ahead);
            return true;
        }
        if (pace_ == Pace::kOneByOne) return ReadHeader(session_, number, header);
        Refill(cache);
        if (inFlight_.empty() || !TakeFront()) return false;
    }
}

// Judges the message and acts on it; a DELE waits in the window when the
// scan is pipelined. Returns false when the scan failed.
bool MailboxScan::Judge(int64_t number, const RawHeader& header, const KillSet& killSet,
                        std::span<const BlocklistListing> listings) {
    const DeleteTiming timing =
        pace_ == Pace::kPipelined ? DeleteTiming::kQueued : DeleteTiming::kAtOnce;
    std::vector<KilledMessage>* copies = quarantine_.empty() ? nullptr : &kills_;
    return !JudgeAndApply(session_, number, header, killSet, listings, timing, copies) ||
           Queue(CommandKind::kDele, number);
}

bool MailboxScan::JudgeAll(ScanCache& cache) {
    // Without a size for every message in the listing a header could need a
    // LIST n of its own in the middle of the window; such servers are old
    // enough to be asked one command at a time.
    for (int64_t n = 1; n <= session_.totalCount && pace_ == Pace::kPipelined; ++n) {
        if (MailboxEntryAt(session_, n).size <= 0) pace_ = Pace::kOneByOne;
    }
    // One set judges the whole mailbox, however often the kill file is
    // reloaded meanwhile.
    std::shared_ptr<const KillSet> killSet = CurrentKillSet();
    // With DNS blocklists every header is read before any is judged, so
    // that the relays of the headers fetched now are asked about at once and
    // the login waits for the lists once (at most DnsTimeout, well within the
    // client's idle time-out); cached headers were asked about when they were
    // fetched. Without blocklists each header is judged as it comes.
    const bool batch = BlocklistsWanted();
    std::vector<RawHeader> fresh;  // batch: the headers fetched now, in mailbox order
    std::vector<RawHeader> known;  // batch: the headers from the cache, in mailbox order
    std::vector<bool> isFresh;     // batch: per message, which of the two holds it
    for (int64_t n = 1; n <= session_.totalCount; ++n) {
        // The scan answers the client only at its end; without this a long
        // scan would let the watchdog close the waiting client's connection.
        session_.client.KeepAlive();
        const MailboxEntry& entry = MailboxEntryAt(session_, n);
        RawHeader header;
        bool cached = cache.Find(entry, header);
        if (!cached && !Fetch(n, header, cache)) return false;
        if (!cached) cache.Remember(entry.uid, header);
        if (batch) {
            (cached ? known : fresh).push_back(std::move(header));
            isFresh.push_back(!cached);
        } else if (!Judge(n, header, *killSet, {})) {
            return false;
        }
    }
    if (batch) {
        session_.client.KeepAlive();
        const std::vector<std::vector<BlocklistListing>> listings =
            LookUpRelayListings(fresh, upstream_.slot());
        size_t nextFresh = 0;
        size_t nextKnown = 0;
        for (int64_t n = 1; n <= session_.totalCount; ++n) {
            session_.client.KeepAlive();
            const bool wasFetched = isFresh[static_cast<size_t>(n - 1)];
            RawHeader& header = wasFetched ? fresh[nextFresh] : known[nextKnown];
            std::span<const BlocklistListing> listed;
            if (wasFetched) listed = listings[nextFresh];
            (wasFetched ? nextFresh : nextKnown)++;
            const bool judged = Judge(n, header, *killSet, listed);
            header = RawHeader();  // judged: not needed any more
            if (!judged) return false;
        }
    }
    while (!inFlight_.empty()) {
        session_.client.KeepAlive();
        if (!TakeFront()) return false;
    }
    if (!kills_.empty()) {
        const CopyPace copyPace =
            pace_ == Pace::kPipelined ? CopyPace::kPipelined : CopyPace::kOneByOne;
        if (!CopyKilledMessages(session_, kills_, quarantine_, copyPace)) return false;
    }
    return !upstream_.LinkFailed();
}

}  // namespace

bool ScanMailbox(Pop3Session& session) {
    HighPriorityScope priority;
    session.dryRun = CurrentSettings().DryRun;
    const std::string mailbox = MailboxKey(session);
    bool pipelines = Pipelining().Knows(mailbox) || ServerPipelines(session.upstream);
    MailboxScan scan(session, pipelines ? Pace::kPipelined : Pace::kOneByOne);
    bool listed = scan.List();
    Pipelining().Learn(mailbox, pipelines && scan.StayedPipelined());
    if (!listed) return false;
    // Messages the listings left out still get an entry: the cache reads
    // them all. An empty mailbox goes on too, so that its cache is emptied.
    if (session.totalCount > 0) MailboxEntryAt(session, session.totalCount);
    ScanCache cache(session);
    cache.Load(session);
    bool judged = scan.JudgeAll(cache);
    if (!scan.StayedPipelined()) Pipelining().Learn(mailbox, false);
    if (!judged) return false;
    cache.Save(session);
    RecordWebFigures(AccountKey(session.host, session.account), session.statistics,
                     session.upstream.slot());
    session.client.KeepAlive();
    return true;
}

void ForgetPipeliningForTesting() {
    Pipelining().Clear();
}
