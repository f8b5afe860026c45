#include "pop3/mailbox_scan.h"

#include <array>

#include "codec/header_decode.h"
#include "codec/message_date.h"
#include "core/globals.h"
#include "core/log.h"
#include "core/text.h"
#include "filter/filter.h"
#include "filter/relay_list.h"
#include "net/connection.h"
#include "platform/clock.h"
#include "platform/sound.h"
#include "platform/thread.h"
#include "pop3/kill_report.h"

namespace {

// Played for every killed message, from the working directory.
constexpr const char* kKillSound = "PLONK.WAV";

// Every listing the scan reads fits in one block: a mailbox it accepts has
// at most kMaxMailboxMessages lines in its LIST and UIDL replies.
static_assert(kMaxBlockLines > kMaxMailboxMessages);

bool StartsWithUpper(std::string_view text, std::string_view upperPrefix) {
    return UpperCase(text.substr(0, upperPrefix.size())) == upperPrefix;
}

std::string Capped(std::string text) {
    if (text.size() > kMaxHeaderLineLength) text.resize(kMaxHeaderLineLength);
    return text;
}

// Adds a line to the header's list while there is room; returns false when full.
bool AddLine(MessageHeader& header, std::string text) {
    if (header.lines.size() > kMaxHeaderLines) return false;
    header.lines.push_back(Capped(std::move(text)));
    return true;
}

// Replaces every run of eight spaces by one space, left to right.
std::string CollapseEightSpaces(std::string_view text) {
    static constexpr std::string_view kEight = "        ";
    std::string out;
    out.reserve(text.size());
    size_t start = 0;
    for (;;) {
        size_t run = text.find(kEight, start);
        if (run == std::string_view::npos) break;
        out.append(text.substr(start, run - start));
        out += ' ';
        start = run + kEight.size();
    }
    out.append(text.substr(start));
    return out;
}

// Splits at every ",", quotes not respected.
std::vector<std::string_view> CommaFields(std::string_view text) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        fields.push_back(
            text.substr(start, comma == std::string_view::npos ? comma : comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return fields;
}

}  // namespace

void TakeHeaderLine(MessageHeader& header, std::string_view line) {
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
        // Continuation: the folding white space is dropped with the first
        // character, so the two parts are joined with nothing between them.
        if (header.droppingLine) return;
        std::string& last = header.lines.back();
        if (last.size() >= kMaxHeaderLineLength) return;
        std::string decoded = DecodeHeaderText(CollapseEightSpaces(line));
        if (!decoded.empty()) last.append(decoded, 1, std::string::npos);
        if (last.size() > kMaxHeaderLineLength) last.resize(kMaxHeaderLineLength);
        return;
    }
    if (line.empty()) return;
    header.droppingLine = !AddLine(header, DecodeHeaderText(line.substr(0, kMaxHeaderLineLength)));
    if (header.droppingLine) return;
    std::string_view kept = line.substr(0, kMaxHeaderLineLength);
    if (StartsWithUpper(kept, "FROM:")) {
        header.from = DecodeHeaderText(Trim(kept.substr(5)));
    } else if (StartsWithUpper(kept, "MESSAGE-ID:")) {
        header.messageId = Field(Trim(kept.substr(11)), 0);
    }
}

void SplitRecipientLines(MessageHeader& header) {
    size_t lineCount = header.lines.size() - 1;
    for (size_t j = 1; j <= lineCount; ++j) {
        std::string_view line = header.lines[j];
        // The lines were decoded as they were read; decoding them again would
        // convert their characters to the console's code page a second time.
        if (StartsWithUpper(line, "SUBJECT:")) {
            header.subject = Trim(line.substr(8));
            continue;
        }
        std::string_view label;
        if (StartsWithUpper(line, "TO:")) {
            label = "To: ";
        } else if (StartsWithUpper(line, "CC:")) {
            label = "Cc: ";
        } else {
            continue;
        }
        std::string value = Trim(line.substr(3));
        std::vector<std::string_view> fields = CommaFields(value);
        if (fields.size() < 2) continue;
        std::vector<std::string> split;
        for (std::string_view field : fields) {
            split.push_back(std::string(label) + Trim(field));
        }
        header.lines[j] = Capped(std::move(split[0]));
        for (size_t k = 1; k < split.size(); ++k) {
            if (!AddLine(header, std::move(split[k]))) break;
        }
    }
}

void MarkBlacklistedRelays(MessageHeader& header) {
    size_t lineCount = header.lines.size() - 1;
    for (size_t j = 1; j <= lineCount; ++j) {
        if (!StartsWithUpper(header.lines[j], "RECEIVED:")) continue;
        std::string info;
        if (!FindBlacklistedRelay(header.lines[j], info)) continue;
        header.rblInfo += "X-RBL: " + info + "\n";
        AddLine(header, "X-RBL: " + info);
    }
}

bool EnvelopePasses(std::string_view envelope) {
    auto allowed = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    };
    for (size_t at = envelope.find('@'); at != std::string_view::npos;
         at = envelope.find('@', at + 1)) {
        if (at > 0 && at + 1 < envelope.size() && allowed(envelope[at - 1]) &&
            allowed(envelope[at + 1])) {
            return true;
        }
    }
    return false;
}

FilterVerdict EvaluateVerdict(MessageHeader& header) {
    header.verdict = kVerdictNone;
    FilterSubject subject;
    subject.folder = AddressFirst(header.envelope);
    subject.from = AddressFirst(header.from);
    subject.subject = header.subject;
    subject.messageId = header.messageId;
    subject.headerLines.assign(header.lines.begin() + 1, header.lines.end());
    subject.size = header.size;
    subject.age = header.age;

    struct ActionVerdict {
        std::string_view word;
        FilterVerdict verdict;
    };
    static constexpr std::array<ActionVerdict, 4> kActions{{
        {"RETR", kVerdictRetr},
        {"SKIP", kVerdictSkip},
        {"HEAD", kVerdictNone},
        {"DELE", kVerdictDele},
    }};

    FilterCursor cursor;
    std::string action;
    for (;;) {
        EvaluateFilters(subject, cursor, action, header.reason);
        if (cursor.matched != 1) break;
        header.actionWord = Trim(action);
        for (const ActionVerdict& known : kActions) {
            if (header.actionWord == known.word) header.verdict = known.verdict;
        }
        if ((cursor.options & kOptionQ) != 0) break;
    }
    return header.verdict;
}

std::string FilterLogBlock(std::string_view heading, const MessageHeader& header) {
    std::string newline(TextNewline);
    return std::string(heading) + header.messageId + newline +
           "\t\t\t\xC3 from: " + NameFirst(header.from) + newline +
           "\t\t\t\xC3 Subject: " + header.subject + newline +
           "\t\t\t\xC0 Reason: " + header.reason;
}

int FetchHeader(Pop3Session& session, int64_t number) {
    Connection& upstream = session.upstream;
    const int slot = upstream.slot();
    MessageHeader header;
    header.number = number;

    std::string command = "TOP " + std::to_string(number) + " 0";
    upstream.SendLine(command);
    std::string reply;
    upstream.ReceiveLine(reply);
    if (!StartsWith(reply, "+OK")) {
        WriteLog(command, slot, kLogFailure);
        WriteLog(reply, slot, kLogFailure);
        return 0;
    }
    header.size = LeadingNumber(Field(reply, 1));
    bool complete = upstream.ReadBlock(kMaxBlockLines, [&](const std::string& line) {
        TakeHeaderLine(header, line);
        return true;
    });
    if (!complete) return 0;
    SplitRecipientLines(header);

    // A server that gives no size with TOP has given it in the listing the
    // scan read a moment ago; asking again with LIST n would cost a round
    // trip per message for the same number.
    if (header.size == 0) header.size = MailboxEntryAt(session, number).size;
    if (header.size == 0) {
        upstream.SendLine("LIST " + std::to_string(number));
        upstream.ReceiveLine(reply);
        if (StartsWith(reply, "+OK")) header.size = LeadingNumber(Field(reply, 2));
    }
    if (upstream.LinkFailed()) return 0;

    MarkBlacklistedRelays(header);
    for (size_t j = 1; j < header.lines.size(); ++j) {
        if (StartsWithUpper(header.lines[j], "DATE:")) {
            header.age =
                AgeInDays(Trim(std::string_view(header.lines[j]).substr(5)), UnixSeconds());
            break;
        }
    }

    header.envelope = session.envelope;
    if (!EnvelopePasses(header.envelope)) {
        WriteLog("Incorrect Envelope-To (" + header.envelope + "), using internal Envelope (" +
                     std::string(DefaultEnvelope) + ") for internal Filter.",
                 slot, kLogNotice);
        header.envelope = std::string(DefaultEnvelope);
    }

    EvaluateVerdict(header);

    MailboxEntry& entry = MailboxEntryAt(session, number);
    switch (header.verdict) {
        case kVerdictSkip:
            WriteLog(FilterLogBlock("Filter: ", header), slot, kLogFilter);
            entry.shown = 0;
            entry.deleted = 0;
            break;
        case kVerdictDele: {
            WriteLog(FilterLogBlock("Killing: ", header), slot, kLogFilter);
            KillReasonFields fields = DescribeKillReason(header.reason, header.rblInfo);
            session.killReport +=
                KillReportEntry(header.from, header.subject, header.messageId, header.size,
                                std::span<const std::string>(header.lines).subspan(1), fields);
            PlayWaveFile(kKillSound);
            entry.shown = 0;
            WriteLog("Deleting Message " + std::to_string(number), slot, kLogDebug);
            upstream.SendLine("DELE " + std::to_string(number));
            upstream.ReceiveLine(reply);
            WriteLog(reply, slot, kLogDebug);
            entry.deleted = StartsWith(reply, "+OK") ? 1 : 0;
            break;
        }
        default:
            entry.shown = 1;
            entry.deleted = 0;
            break;
    }
    return 1;
}

int ScanMailbox(Pop3Session& session) {
    HighPriorityScope priority;
    Connection& upstream = session.upstream;
    const int slot = upstream.slot();

    upstream.SendLine("STAT");
    std::string reply;
    upstream.ReceiveLine(reply);
    if (!StartsWith(reply, "+OK")) {
        WriteLog("Error on receiving Mailbox Status", slot, kLogError);
        return 0;
    }
    session.totalCount = LeadingNumber(Field(reply, 1));
    session.serverOctets = LeadingNumber(Field(reply, 2));
    if (session.totalCount < 0) session.totalCount = 0;
    WriteLog(std::to_string(session.totalCount) + " Messages with " +
                 std::to_string(session.serverOctets) + " (Bytes)",
             slot, kLogFigures);
    if (session.totalCount > kMaxMailboxMessages) {
        WriteLog("Error on receiving Mailbox Status", slot, kLogError);
        return 0;
    }
    session.messages.clear();
    if (session.totalCount == 0) return 1;

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
        return 0;
    }
    bool listed = upstream.ReadBlock(kMaxBlockLines, [&](const std::string& line) {
        MailboxEntry* entry = listedEntry(line);
        if (entry == nullptr) return false;
        entry->size = LeadingNumber(Field(line, 1));
        entry->shown = 1;
        return true;
    });
    if (!listed) return 0;

    upstream.SendLine("UIDL");
    upstream.ReceiveLine(reply);
    if (!StartsWith(reply, "+OK")) {
        WriteLog("Error on receiving Mailbox Informations", slot, kLogFigures);
        return 0;
    }
    bool identified = upstream.ReadBlock(kMaxBlockLines, [&](const std::string& line) {
        MailboxEntry* entry = listedEntry(line);
        if (entry == nullptr) return false;
        // A fresh copy of at most the cap: a cut copy would keep its room.
        entry->uid = Field(line, 1).substr(0, kMaxUidLength);
        return true;
    });
    if (!identified) return 0;

    // The scan answers the client only at its end; without this a long scan
    // would let the watchdog close the waiting client's connection.
    for (int64_t i = 1; i <= session.totalCount; ++i) {
        session.client.KeepAlive();
        if (FetchHeader(session, i) != 1) return 0;
    }
    session.client.KeepAlive();
    return 1;
}
