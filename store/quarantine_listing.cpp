#include "store/quarantine_listing.h"

#include <cstdio>

#include "codec/code_page.h"
#include "platform/clock.h"

namespace {

constexpr char kSeparator = '\t';

}  // namespace

std::string QuarantineDateText(int64_t unixSeconds) {
    LocalTime time = LocalTimeAt(unixSeconds);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", time.year, time.month, time.day,
                  time.hour, time.minute);
    return text;
}

std::string QuarantineListLine(const QuarantineEntry& entry) {
    std::string line = Utf8ForOneLine(entry.id);
    for (const std::string& field : {QuarantineDateText(entry.killedAt), entry.account,
                                     entry.sender, entry.subject, entry.rule}) {
        line += kSeparator;
        line += Utf8ForOneLine(field);
    }
    if (entry.Released()) {
        line += kSeparator;
        line += "released";
    }
    return line;
}

std::string QuarantineList(const std::vector<QuarantineEntry>& entries) {
    std::string list;
    for (const QuarantineEntry& entry : entries) list += QuarantineListLine(entry) + "\n";
    return list;
}
