#include "pop3/mailbox_commands.h"

#include <string_view>

#include "core/globals.h"
#include "core/log.h"
#include "core/text.h"
#include "net/connection.h"
#include "platform/thread.h"

namespace {

constexpr std::string_view kReportNote = " (internal spam-message)";
constexpr std::string_view kEndOfBlock = ".\r\n";

// Relays the server's multi-line reply, announced by `lead`, to the client.
// When the client goes away meanwhile, the rest of the reply is read and
// dropped: the server is still sending it and would otherwise never read the
// QUIT that carries out this session's deletions.
void RelayForClient(Pop3Session& session, const std::string& lead) {
    session.upstream.RelayBlockTo(session.client, lead);
    if (session.client.LinkFailed() && !session.upstream.LinkFailed()) {
        session.upstream.SkipBlock();
    }
}

// Finds the client's message n. Returns its server number, or 0 after the
// error reply has been sent.
int64_t FindMessage(Pop3Session& session, const std::string& argument, bool topReply) {
    int64_t n = LeadingNumber(argument);
    int64_t m = ServerNumber(session, n);
    if (m == 0) {
        session.client.SendLine(std::string(kReplyNoSuchMessage) + (topReply ? " Arg" : ""));
        return 0;
    }
    if (MailboxEntryAt(session, m).deleted) {
        session.client.SendLine(kReplyNoSuchMessage);
        return 0;
    }
    return m;
}

std::string Octets(int64_t size) {
    return "+OK " + std::to_string(size) + " octets";
}

// Sends a command upstream and returns true when the reply is "+OK".
bool AskUpstream(Pop3Session& session, const std::string& command) {
    session.upstream.SendLine(command);
    std::string reply;
    session.upstream.ReceiveLine(reply);
    return !session.upstream.LinkFailed() && StartsWith(reply, "+OK");
}

// The header of a message of the session's own (LF line ends), the empty
// line after it and its first `lines` body lines, as TOP sends them (without
// the final "."). A text without an empty line is all header.
std::string OwnTop(const std::string& text, int64_t lines) {
    std::string header = ReportHeaderPart(text);
    if (header.empty()) return WireForm(text);
    size_t bodyStart = header.size() + 1;
    size_t bodyEnd = bodyStart;
    for (int64_t i = 0; i < lines && bodyEnd < text.size(); ++i) {
        size_t feed = text.find('\n', bodyEnd);
        bodyEnd = feed == std::string::npos ? text.size() : feed + 1;
    }
    return WireForm(header) + "\r\n" +
           WireForm(std::string_view(text).substr(bodyStart, bodyEnd - bodyStart));
}

}  // namespace

ClientCommand SplitClientCommand(const std::string& line) {
    ClientCommand command;
    command.name = UpperCase(Field(line, 0));
    command.argument = Field(line, 1);
    size_t space = line.find(' ');
    if (space != std::string::npos) command.rest = line.substr(space + 1);
    return command;
}

void HandleTop(Pop3Session& session, const ClientCommand& command) {
    if (command.argument.empty()) {
        session.client.SendLine(kReplyUnknownCommand);
        return;
    }
    int64_t m = FindMessage(session, command.argument, true);
    if (m == 0) return;
    // The client's line count is passed on: a client that fetches whole
    // messages with TOP n <large> must get them whole.
    int64_t lines = LeadingNumber(Field(command.rest, 1));
    if (lines < 0) lines = 0;
    const MailboxEntry& entry = MailboxEntryAt(session, m);
    if (IsReportMessage(session, m)) {
        session.client.SendLine(Octets(entry.size) + std::string(kReportNote));
        session.client.SendText(OwnTop(session.killReport, lines) + std::string(kEndOfBlock));
        return;
    }
    if (const ReleasedMessage* released = ReleasedAt(session, m)) {
        session.client.SendText(Octets(entry.size) + "\r\n" + OwnTop(released->text, lines) +
                                std::string(kEndOfBlock));
        return;
    }
    if (!AskUpstream(session, "TOP " + std::to_string(m) + " " + std::to_string(lines))) {
        session.client.SendLine(kReplyNoSuchMessage);
        return;
    }
    RelayForClient(session, Octets(entry.size));
}

void HandleRetr(Pop3Session& session, const ClientCommand& command) {
    HighPriorityScope priority;
    if (command.argument.empty()) {
        session.client.SendLine(kReplyUnknownCommand);
        return;
    }
    int64_t m = FindMessage(session, command.argument, false);
    if (m == 0) return;
    const MailboxEntry& entry = MailboxEntryAt(session, m);
    if (IsReportMessage(session, m)) {
        session.client.SendLine(Octets(entry.size) + std::string(kReportNote));
        session.client.SendText(session.reportWire + std::string(kEndOfBlock));
        return;
    }
    if (const ReleasedMessage* released = ReleasedAt(session, m)) {
        session.client.SendText(Octets(entry.size) + "\r\n" + WireForm(released->text) +
                                std::string(kEndOfBlock));
        return;
    }
    if (!AskUpstream(session, "RETR " + std::to_string(m))) {
        session.client.SendLine(kReplyNoSuchMessage);
        return;
    }
    RelayForClient(session, Octets(entry.size));
}

void HandleDele(Pop3Session& session, const ClientCommand& command) {
    if (command.argument.empty()) {
        session.client.SendLine(kReplyUnknownCommand);
        return;
    }
    int64_t m = FindMessage(session, command.argument, false);
    if (m == 0) return;
    MailboxEntry& entry = MailboxEntryAt(session, m);
    if (IsReportMessage(session, m)) {
        session.client.SendLine("+OK internal spam-message deleted");
    } else if (ReleasedAt(session, m) != nullptr) {
        // Leaves the quarantine at the client's QUIT (pop3/released_mail.h).
        session.client.SendLine("+OK message " + std::to_string(LeadingNumber(command.argument)) +
                                " deleted");
    } else if (AskUpstream(session, "DELE " + std::to_string(m))) {
        session.client.SendLine("+OK message " + std::to_string(LeadingNumber(command.argument)) +
                                " deleted");
    } else {
        session.client.SendLine(kReplyNoSuchMessage);
        return;
    }
    entry.deleted = true;
    session.remainingOctets -= entry.size;
    --session.remainingCount;
}

bool UndoClientDeletions(Pop3Session& session) {
    bool onServer = false;
    for (int64_t n = 1; n <= session.shownCount; ++n) {
        const int64_t m = ServerNumber(session, n);
        onServer |= MailboxEntryAt(session, m).deleted && !IsReportMessage(session, m) &&
                    ReleasedAt(session, m) == nullptr;
    }
    if (onServer && !AskUpstream(session, "RSET")) {
        WriteLog("RSET refused by the server", session.upstream.slot(), kLogFailure);
        return false;
    }
    for (int64_t n = 1; n <= session.shownCount; ++n) {
        MailboxEntry& entry = MailboxEntryAt(session, ServerNumber(session, n));
        if (!entry.deleted) continue;
        entry.deleted = false;
        session.remainingOctets += entry.size;
        ++session.remainingCount;
    }
    if (!onServer) return true;
    for (int64_t m = 1; m < static_cast<int64_t>(session.messages.size()); ++m) {
        const MailboxEntry& entry = session.messages[static_cast<size_t>(m)];
        if (entry.shown || !entry.deleted) continue;
        if (!AskUpstream(session, "DELE " + std::to_string(m))) {
            WriteLog("Killed message " + std::to_string(m) + " stays on the server after RSET",
                     session.upstream.slot(), kLogFailure);
        }
    }
    return true;
}

namespace {

// Sends the listing of every remaining message: one line per message with
// the client's number and the value `column` gives, then ".".
template <typename Column>
void SendListing(Pop3Session& session, const std::string& firstLine, Column column) {
    std::string block = firstLine + "\r\n";
    for (int64_t n = 1; n <= session.shownCount; ++n) {
        const MailboxEntry& entry = MailboxEntryAt(session, ServerNumber(session, n));
        if (entry.deleted) continue;
        block += std::to_string(n) + " " + column(entry) + "\r\n";
        if (block.size() >= kRelayBatchBytes) {
            session.client.SendText(block);
            block.clear();
        }
    }
    session.client.SendText(block + std::string(kEndOfBlock));
}

}  // namespace

void HandleList(Pop3Session& session, const ClientCommand& command) {
    if (command.argument.empty()) {
        SendListing(session, "+OK " + std::to_string(session.remainingCount) + " messages follows",
                    [](const MailboxEntry& entry) { return std::to_string(entry.size); });
        return;
    }
    int64_t m = FindMessage(session, command.argument, false);
    if (m == 0) return;
    session.client.SendLine("+OK " + std::to_string(LeadingNumber(command.argument)) + " " +
                            std::to_string(MailboxEntryAt(session, m).size));
}

void HandleUidl(Pop3Session& session, const ClientCommand& command) {
    if (command.argument.empty()) {
        SendListing(session, "+OK " + std::to_string(session.remainingCount) + " uidl follows",
                    [](const MailboxEntry& entry) { return entry.uid; });
        return;
    }
    int64_t m = FindMessage(session, command.argument, false);
    if (m == 0) return;
    session.client.SendLine("+OK " + std::to_string(LeadingNumber(command.argument)) + " " +
                            MailboxEntryAt(session, m).uid);
}
