#include "pop3/kill_report.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "codec/code_page.h"
#include "codec/header_decode.h"
#include "codec/header_encode.h"
#include "core/globals.h"
#include "core/settings.h"
#include "core/text.h"
#include "filter/filter.h"

namespace {

// Continuation lines of a value stand under the value of "RBL Info   : ".
constexpr std::string_view kValueIndent = "             ";  // 13 spaces
const std::string kRule(70, '-');

// The option letters that the report names, in the order it names them.
struct OptionName {
    char letter;
    std::string_view name;
};
constexpr std::array<OptionName, 6> kOptionNames{{
    {'n', "From "},
    {'b', "Envelope-To "},
    {'s', "Subject "},
    {'x', "Invers-Mode "},
    {'c', "Casesensitiv "},
    {'q', "Quit "},
}};

constexpr std::array<std::string_view, 7> kWeekdays{"Sun", "Mon", "Tue", "Wed",
                                                    "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string TwoDigits(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

// Seconds since midnight with the milliseconds as a fraction, written the way
// the number-to-text conversion writes a fractional number: no trailing
// zeros, no lone ".", no "0" before the point.
std::string SecondsText(const LocalTime& now) {
    int milliseconds =
        now.hour * 3600000 + now.minute * 60000 + now.second * 1000 + now.millisecond;
    std::string text = std::to_string(milliseconds / 1000);
    int fraction = milliseconds % 1000;
    if (fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%03d", fraction);
        std::string part = digits;
        while (!part.empty() && part.back() == '0') part.pop_back();
        if (text == "0") text.clear();
        text += "." + part;
    }
    return text;
}

}  // namespace

KillReasonFields DescribeKillReason(std::string_view reasonText, std::string_view rblText) {
    KillReasonFields fields;

    // Every "X-RBL: " line but the text after the last LF (normally empty).
    size_t lastFeed = rblText.rfind('\n');
    if (lastFeed != std::string_view::npos) {
        std::string_view lines = rblText.substr(0, lastFeed);
        size_t start = 0;
        for (;;) {
            size_t feed = lines.find('\n', start);
            fields.rblInfo +=
                lines.substr(start, feed == std::string_view::npos ? feed : feed - start);
            if (feed == std::string_view::npos) break;
            fields.rblInfo += "\n";
            fields.rblInfo += kValueIndent;
            start = feed + 1;
        }
    }

    // The condition text ends two characters before the options marker: the
    // marker and the space that separates it from the condition.
    size_t marker = reasonText.find(kOptionsMarker);
    if (marker == std::string_view::npos || marker == 0) {
        fields.reason = std::string(reasonText);
    } else {
        fields.reason = std::string(reasonText.substr(0, marker - 1));
    }

    size_t target = reasonText.find(kTargetMarker);
    fields.result =
        std::string(target == std::string_view::npos ? reasonText : reasonText.substr(target + 1));

    std::string_view word;
    if (marker != std::string_view::npos) {
        word = reasonText.substr(marker + 1);
        word = word.substr(0, word.find(' '));
    }
    std::string letters;
    std::string names;
    bool quoted = false;
    for (char c : word) {
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted) {
            names += c == ':' ? ' ' : c;
        } else {
            letters += c;
        }
    }
    for (const OptionName& option : kOptionNames) {
        if (letters.find(option.letter) != std::string::npos) names += option.name;
    }
    fields.searchIn = letters + " - " + Trim(names);
    return fields;
}

std::string KillReportEntry(std::string_view from, std::string_view subject,
                            std::string_view messageId, int64_t size,
                            std::span<const std::string> headerLines,
                            const KillReasonFields& fields, std::string_view status) {
    std::string entry;
    for (const std::string& line : headerLines) {
        if (UpperCase(std::string_view(line).substr(0, 3)) == "TO:") {
            entry += "To         : " + Trim(std::string_view(line).substr(3)) + "\n";
        }
    }
    entry += "From       : " + NameFirst(from) + "\n";
    entry += "Subject    : " + std::string(subject) + "\n";
    entry += "Message-ID : " + std::string(messageId) + "\n";
    entry += "Size       :" + NumberText(size) + " Bytes\n";
    if (!status.empty()) entry += "Status     : " + std::string(status) + "\n";
    entry += "\n";
    entry += "RBL Info   : " + fields.rblInfo + "\n";
    entry += "\n";
    entry += "Reason     : " + fields.reason + "\n";
    entry += "Search in  : " + fields.searchIn + "\n";
    entry += "Result     : " + fields.result + "\n";
    entry += "\n";
    entry += kRule + "\n";
    entry += "\n";
    return entry;
}

std::string QuarantinedStatus(std::string_view id) {
    return "deleted on the server, copy kept in the quarantine as " + std::string(id);
}

std::string KeptOnServerStatus(std::string_view why) {
    return "kept on the server (hidden), no copy could be kept: " + std::string(why);
}

std::string CopiedButKeptStatus(std::string_view id, std::string_view why) {
    return "kept on the server (hidden), copy in the quarantine as " + std::string(id) +
           ", not deleted: " + std::string(why);
}

namespace {

// The recipient is configured in the code page. A display name before
// "<address>" may hold any letter and goes as encoded-words; an address
// cannot be encoded and goes in UTF-8 as it is (RFC 6532).
std::string RecipientField(std::string_view recipient) {
    const std::string utf8 = OemToUtf8(recipient);
    const size_t open = utf8.find('<');
    if (open == std::string::npos) return utf8;
    std::string_view name = std::string_view(utf8).substr(0, open);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (name.empty()) return utf8;
    return EncodedHeaderText(name) + " " + utf8.substr(open);
}

}  // namespace

std::string KillReportHeader(std::string_view recipient, const LocalTime& now, int biasMinutes,
                             ReportKind kind) {
    std::string header;
    header += "To: " + RecipientField(recipient) + "\n";
    header += "From: " + std::string(kReportSender) + " (Trawlbox " + std::string(kProgramVersion) +
              ")\n";
    // Always ASCII, so never an encoded-word.
    header += "Subject: Killed Messages\n";
    header += "Message-ID: <" + SecondsText(now) + TwoDigits(now.month) + "-" + TwoDigits(now.day) +
              "-" + std::to_string(now.year) + "@" + std::string(kReportMessageIdDomain) + ">\n";
    header += FormatDateLine(now, biasMinutes) + "\n";
    header += "X-Mailer: Trawlbox " + std::string(kProgramVersion) + "\n";
    // The entries quote names and subjects in whatever script they came;
    // CompleteKillReport writes them in UTF-8, and says so.
    header += "MIME-Version: 1.0\n";
    header += "Content-Type: text/plain; charset=utf-8\n";
    header += "Content-Transfer-Encoding: 8bit\n";
    header += "\n\n";
    if (kind == ReportKind::kDryRun) {
        header += "Dry run: nothing has been deleted or hidden on the Pop3-Server.\n";
        header += "The following message(s) would have been killed or hidden:\n";
    } else {
        header += "The following message(s) has been killed directly on the Pop3-Server:\n";
    }
    header += "\n\n";
    header += kRule + "\n";
    header += "\n";
    return header;
}

std::string CompleteKillReport(std::string_view entries, ReportKind kind) {
    if (entries.empty()) return {};
    const std::string& configured = CurrentSettings().KillReport;
    std::string_view recipient =
        configured.empty() ? kDefaultKillReport : std::string_view(configured);
    return KillReportHeader(recipient, LocalNow(), TimeZoneBiasMinutes(), kind) +
           OemToUtf8(entries);
}

std::string FormatDateLine(const LocalTime& now, int biasMinutes) {
    // RFC 822 writes the zone as local time minus UTC; the bias is the reverse.
    char sign = biasMinutes < 0 ? '+' : '-';
    int bias = std::abs(biasMinutes);
    char zone[16];
    std::snprintf(zone, sizeof zone, "%04d", (bias / 60) * 100 + bias % 60);
    std::string_view weekday = kWeekdays[static_cast<size_t>(now.weekday % 7)];
    std::string_view month = kMonths[static_cast<size_t>((now.month + 11) % 12)];
    return "Date: " + std::string(weekday) + ", " + TwoDigits(now.day) + " " + std::string(month) +
           " " + std::to_string(now.year) + " " + TwoDigits(now.hour) + ":" +
           TwoDigits(now.minute) + ":" + TwoDigits(now.second) + " " + sign + zone;
}

std::string FormatDateLine() {
    return FormatDateLine(LocalNow(), TimeZoneBiasMinutes());
}
