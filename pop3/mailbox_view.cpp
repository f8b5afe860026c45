#include "pop3/mailbox_view.h"

#include <cstdio>

#include "codec/crc32.h"
#include "store/quarantine.h"

MailboxEntry& MailboxEntryAt(Pop3Session& session, int64_t number) {
    if (number < 0) number = 0;
    size_t index = static_cast<size_t>(number);
    if (session.messages.size() <= index) session.messages.resize(index + 1);
    return session.messages[index];
}

namespace {

// Client numbers are fixed for the whole session: they count shown entries,
// deleted ones included, so a client's DELE never shifts the numbers after it.
void BuildClientNumbers(Pop3Session& session) {
    session.clientToServer.assign(1, 0);
    for (int64_t m = 1; m <= session.totalCount; ++m) {
        if (MailboxEntryAt(session, m).shown) session.clientToServer.push_back(m);
    }
}

}  // namespace

void CountShownMessages(Pop3Session& session) {
    session.shownCount = 0;
    session.remainingCount = 0;
    session.remainingOctets = 0;
    for (int64_t m = 1; m <= session.totalCount; ++m) {
        const MailboxEntry& entry = MailboxEntryAt(session, m);
        if (entry.shown) {
            ++session.shownCount;
            ++session.remainingCount;
            session.remainingOctets += entry.size;
        }
        if (entry.deleted) session.hasReport = true;
    }
    if (!session.killReport.empty()) session.hasReport = true;
    BuildClientNumbers(session);
}

namespace {

// Appends a message of the session's own, shown, with the size of its wire
// form; returns its entry.
MailboxEntry& AppendOwnMessage(Pop3Session& session, const std::string& wire, int64_t stuffed,
                               std::string uid) {
    ++session.totalCount;
    ++session.shownCount;
    ++session.remainingCount;
    MailboxEntry& entry = MailboxEntryAt(session, session.totalCount);
    entry.shown = true;
    entry.deleted = false;
    // The size of a message counts its CR LF line ends but not the dots that
    // only the transfer adds (RFC 1939), as the real server counts its own.
    entry.size = static_cast<int64_t>(wire.size()) - stuffed;
    entry.uid = std::move(uid);
    session.remainingOctets += entry.size;
    BuildClientNumbers(session);
    return entry;
}

}  // namespace

void AppendReportMessage(Pop3Session& session, std::string_view reportText) {
    int64_t stuffed = 0;
    session.reportWire = WireForm(reportText, &stuffed);
    AppendOwnMessage(session, session.reportWire, stuffed, ComputeReportUid(reportText));
}

void AppendReleasedMessage(Pop3Session& session, std::string_view id, std::string text) {
    int64_t stuffed = 0;
    const std::string wire = WireForm(text, &stuffed);
    AppendOwnMessage(session, wire, stuffed, ReleasedUidl(id));
    session.released[session.totalCount] = {std::string(id), std::move(text)};
}

const ReleasedMessage* ReleasedAt(const Pop3Session& session, int64_t serverNumber) {
    auto found = session.released.find(serverNumber);
    return found == session.released.end() ? nullptr : &found->second;
}

int64_t ServerNumber(const Pop3Session& session, int64_t clientNumber) {
    if (clientNumber < 1 || clientNumber > session.shownCount) return 0;
    if (static_cast<size_t>(clientNumber) >= session.clientToServer.size()) return 0;
    return session.clientToServer[static_cast<size_t>(clientNumber)];
}

bool IsReportMessage(const Pop3Session& session, int64_t serverNumber) {
    return session.hasReport && serverNumber == session.totalCount;
}

std::string WireForm(std::string_view lfText, int64_t* stuffedDots) {
    std::string wire;
    wire.reserve(lfText.size() + lfText.size() / 16 + 2);
    int64_t dots = 0;
    size_t start = 0;
    while (start < lfText.size()) {
        size_t end = lfText.find('\n', start);
        std::string_view line =
            lfText.substr(start, end == std::string_view::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.front() == '.') {
            wire += '.';
            ++dots;
        }
        wire += line;
        wire += "\r\n";
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    if (stuffedDots != nullptr) *stuffedDots = dots;
    return wire;
}

std::string ReportHeaderPart(std::string_view reportText) {
    size_t pair = reportText.find("\n\n");
    return pair == std::string_view::npos ? std::string()
                                          : std::string(reportText.substr(0, pair + 1));
}

std::string ComputeReportUid(std::string_view reportText) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(Crc32(reportText)));
    return std::string(hex) + std::string(kReportUidSuffix);
}
