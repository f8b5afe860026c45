#include "pop3/mail_judge.h"

#include <array>

#include "codec/header_decode.h"
#include "codec/message_date.h"
#include "core/text.h"
#include "filter/filter.h"

namespace {

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

// Takes one line of the TOP reply's header (without its line end): a line
// that starts with a space or TAB continues the last header line, the empty
// line is passed over, any other line starts a new header line (kept while
// there is room); From and Message-ID are read from the lines kept.
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

// Sets the subject from the (decoded) Subject line, and splits every To: and
// Cc: line with more than one comma-separated field into one line per field
// (the first in place, the others at the end).
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

// Adds an "X-RBL: " line and an rblInfo line for every Received line that
// names a listed relay.
void MarkListedRelays(MessageHeader& header, const RelayCheck& relays) {
    size_t lineCount = header.lines.size() - 1;
    for (size_t j = 1; j <= lineCount; ++j) {
        if (!StartsWithUpper(header.lines[j], "RECEIVED:")) continue;
        std::string info;
        if (!relays(header.lines[j], info)) continue;
        header.rblInfo += "X-RBL: " + info + "\n";
        AddLine(header, "X-RBL: " + info);
    }
}

// Adds an "X-RBL: " line and an rblInfo line for every blocklist listing.
void MarkBlocklistListings(MessageHeader& header, std::span<const BlocklistListing> listings) {
    for (const BlocklistListing& listing : listings) {
        std::string info = listing.address + " listed by " + listing.zone;
        if (!listing.reason.empty()) info += ": " + listing.reason;
        header.rblInfo += "X-RBL: " + info + "\n";
        AddLine(header, "X-RBL: " + info);
    }
}

// Each word sets the mail verdict; any other word leaves it as it was.
constexpr std::array<ActionVerdict<FilterVerdict>, 4> kMailActions{{
    {"RETR", FilterVerdict::kRetr},
    {"SKIP", FilterVerdict::kSkip},
    {"HEAD", FilterVerdict::kNone},
    {"DELE", FilterVerdict::kDele},
}};

}  // namespace

void AddRawLine(RawHeader& header, std::string_view line) {
    if (header.full || line.empty()) return;
    bool starting = line[0] != ' ' && line[0] != '\t';
    if (starting) {
        if (header.startingLines == kMaxHeaderLines) {
            header.full = true;
            return;
        }
        line = line.substr(0, kMaxHeaderLineLength);
    }
    if (header.lines.size() == kMaxRawHeaderLines ||
        header.keptBytes + line.size() + 1 > kMaxRawHeaderBytes) {
        header.full = true;
        return;
    }
    if (starting) ++header.startingLines;
    header.keptBytes += line.size() + 1;
    header.lines.emplace_back(line);
}

std::vector<IpAddress> HeaderRelays(const RawHeader& raw, size_t depth) {
    // Only the Received fields are taken, and none after the last one asked
    // for: the relays are wanted for every message before any is judged.
    MessageHeader received;
    size_t fields = 0;
    bool inReceived = false;
    for (const std::string& line : raw.lines) {
        bool starting = !line.empty() && line[0] != ' ' && line[0] != '\t';
        if (starting) {
            if (fields == depth) break;
            inReceived = StartsWithUpper(line, "RECEIVED:");
            if (inReceived) ++fields;
        }
        if (inReceived) TakeHeaderLine(received, line);
    }
    return TopRelayAddresses(received.lines, depth);
}

std::string BlocklistReason(std::string_view zone) {
    return "DNS blocklist " + std::string(zone) + " " + kOptionsMarker + "\"X-RBL:\" " +
           kTargetMarker + "DELE";
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

MailJudgement JudgeMail(const RawHeader& raw, std::string_view envelope, int64_t nowUnixSeconds,
                        const KillSet& killSet, const RelayCheck& relays,
                        std::span<const BlocklistListing> listings) {
    MailJudgement judgement;
    MessageHeader& header = judgement.header;
    header.size = raw.size;
    for (const std::string& line : raw.lines) TakeHeaderLine(header, line);
    SplitRecipientLines(header);
    MarkListedRelays(header, relays);
    MarkBlocklistListings(header, listings);
    for (size_t j = 1; j < header.lines.size(); ++j) {
        if (StartsWithUpper(header.lines[j], "DATE:")) {
            header.age =
                AgeInDays(Trim(std::string_view(header.lines[j]).substr(5)), nowUnixSeconds);
            break;
        }
    }
    header.envelope = std::string(envelope);
    if (!EnvelopePasses(header.envelope)) {
        judgement.envelopeReplaced = true;
        header.envelope = std::string(kDefaultEnvelope);
    }

    FilterSubject subject;
    subject.folder = AddressFirst(header.envelope);
    subject.from = AddressFirst(header.from);
    subject.subject = header.subject;
    subject.messageId = header.messageId;
    subject.headerLines.assign(header.lines.begin() + 1, header.lines.end());
    subject.size = header.size;
    subject.age = header.age;
    judgement.matches = DecideAction(subject, killSet);

    for (const FilterMatch& match : judgement.matches) {
        if (const FilterVerdict* verdict = FindVerdict(kMailActions, match.action)) {
            judgement.verdict = *verdict;
            judgement.action = match.action;
        }
    }
    if (!judgement.matches.empty()) judgement.reason = judgement.matches.back().reason;
    if (judgement.action.empty() && !listings.empty()) {
        judgement.verdict = FilterVerdict::kDele;
        judgement.action = "DELE";
        judgement.reason = BlocklistReason(listings.front().zone);
    }
    return judgement;
}
