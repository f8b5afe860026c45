#include "pop3/mailbox_scan.h"

#include <array>
#include <cctype>

#include "codec/header_decode.h"
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

constexpr int64_t kSecondsPerDay = 86400;

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

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct ZoneName {
    std::string_view name;
    int minutes;  // local time minus UTC
};
constexpr std::array<ZoneName, 11> kZoneNames{{
    {"UT", 0},
    {"GMT", 0},
    {"Z", 0},
    {"EST", -300},
    {"EDT", -240},
    {"CST", -360},
    {"CDT", -300},
    {"MST", -420},
    {"MDT", -360},
    {"PST", -480},
    {"PDT", -420},
}};

constexpr std::array<std::string_view, 12> kMonthNames{"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                       "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

bool AllDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Reads "hh:mm" or "hh:mm:ss"; false when the text is not such a time.
bool ReadTime(std::string_view text, int& hour, int& minute, int& second) {
    std::string_view parts[3];
    size_t count = 0;
    size_t start = 0;
    while (count < 3) {
        size_t colon = text.find(':', start);
        parts[count++] =
            text.substr(start, colon == std::string_view::npos ? colon : colon - start);
        if (colon == std::string_view::npos) break;
        start = colon + 1;
        if (count == 3) return false;
    }
    if (count < 2) return false;
    for (size_t i = 0; i < count; ++i) {
        if (!AllDigits(parts[i]) || parts[i].size() > 2) return false;
    }
    hour = static_cast<int>(LeadingNumber(parts[0]));
    minute = static_cast<int>(LeadingNumber(parts[1]));
    second = count == 3 ? static_cast<int>(LeadingNumber(parts[2])) : 0;
    return hour <= 23 && minute <= 59 && second <= 60;
}

// Reads a zone: "+hhmm", "-hhmm" or a name. Returns false when unreadable.
bool ReadZone(std::string_view text, int& minutes) {
    if (text.size() == 5 && (text[0] == '+' || text[0] == '-') && AllDigits(text.substr(1))) {
        int value = static_cast<int>(LeadingNumber(text.substr(1)));
        if (value % 100 > 59) return false;
        minutes = (value / 100) * 60 + value % 100;
        if (text[0] == '-') minutes = -minutes;
        return true;
    }
    std::string upper = UpperCase(text);
    for (const ZoneName& zone : kZoneNames) {
        if (upper == zone.name) {
            minutes = zone.minutes;
            return true;
        }
    }
    // Military letters and other names carry no reliable offset (RFC 5322 4.3).
    for (char c : upper) {
        if (c < 'A' || c > 'Z') return false;
    }
    minutes = 0;
    return !upper.empty();
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

int64_t AgeInDays(std::string_view dateText, int64_t nowUtcSeconds) {
    // Comments, "(CET)" and the like, carry nothing the zone does not.
    std::string text;
    int depth = 0;
    for (char c : dateText) {
        if (c == '(') {
            ++depth;
        } else if (c == ')' && depth > 0) {
            --depth;
        } else if (depth == 0) {
            text += (c == ',' || c == '\t') ? ' ' : c;
        }
    }
    std::vector<std::string_view> words;
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        rest.remove_prefix(start);
        size_t end = rest.find(' ');
        words.push_back(rest.substr(0, end));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end);
    }
    size_t i = 0;
    if (i < words.size() && !words[i].empty() &&
        std::isalpha(static_cast<unsigned char>(words[i][0]))) {
        ++i;  // the day of the week
    }
    if (words.size() < i + 4) return 0;
    std::string_view dayWord = words[i], monthWord = words[i + 1], yearWord = words[i + 2];
    if (!AllDigits(dayWord) || dayWord.size() > 2 || !AllDigits(yearWord) || yearWord.size() > 4) {
        return 0;
    }
    int month = 0;
    std::string monthUpper = UpperCase(monthWord.substr(0, 3));
    for (size_t m = 0; m < kMonthNames.size(); ++m) {
        if (monthWord.size() >= 3 && monthUpper == kMonthNames[m]) month = static_cast<int>(m) + 1;
    }
    int day = static_cast<int>(LeadingNumber(dayWord));
    int64_t year = LeadingNumber(yearWord);
    // Two-digit years: 00..49 are 2000..2049; three digits count from 1900.
    if (yearWord.size() == 2) year += year < 50 ? 2000 : 1900;
    if (yearWord.size() == 3) year += 1900;
    int hour = 0, minute = 0, second = 0;
    if (month == 0 || day < 1 || day > 31 || !ReadTime(words[i + 3], hour, minute, second)) {
        return 0;
    }
    int zoneMinutes = 0;
    if (words.size() > i + 4 && !ReadZone(words[i + 4], zoneMinutes)) return 0;
    int64_t when = DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 +
                   second - zoneMinutes * 60;
    if (when > nowUtcSeconds) return 0;
    return (nowUtcSeconds - when) / kSecondsPerDay;
}

int64_t CurrentUtcSeconds() {
    LocalTime now = LocalNow();
    return DaysFromCivil(now.year, now.month, now.day) * kSecondsPerDay + now.hour * 3600 +
           now.minute * 60 + now.second + static_cast<int64_t>(TimeZoneBiasMinutes()) * 60;
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
                AgeInDays(Trim(std::string_view(header.lines[j]).substr(5)), CurrentUtcSeconds());
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
