#include "pop3/session.h"

#include <array>
#include <atomic>

#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/client_tls.h"
#include "net/login_failures.h"
#include "net/login_target.h"
#include "net/session_table.h"
#include "net/upstream_connect.h"
#include "oauth/login_token.h"
#include "pop3/kill_report.h"
#include "pop3/mailbox_commands.h"
#include "pop3/mailbox_scan.h"
#include "pop3/released_mail.h"
#include "pop3/report_carry.h"
#include "pop3/upstream_login.h"

namespace {

// While the client is idle this long, the server's session is kept alive
// with a NOOP. RFC 1939 lets a server log an idle client out after ten
// minutes (Dovecot does); some log out sooner than the RFC allows, and a
// NOOP a minute costs nothing.
constexpr int kUpstreamNoopIntervalMs = 60 * 1000;
std::atomic<int> upstreamNoopIntervalMs{kUpstreamNoopIntervalMs};

// Ends the greeting after " ready,": how to name the real server.
constexpr std::string_view kGreetingNotice = " log in as USER [method:]host#account";

constexpr std::array<std::string_view, 14> kHelpLines{
    "+OK implemented Trawlbox commands follow:",
    "    capa",
    "    dele Number",
    "    help",
    "    list [Number]",
    "    pass Pasword",
    "    quit",
    "    retr Number",
    "    rset",
    "    stat",
    "    top Number",
    "    uidl [Number]",
    "    user Username",
    ".",
};

// What the proxy itself offers (RFC 2449) in both states. Commands are read
// and answered one after the other from the client's buffer, so a client
// may send several before reading the answers (PIPELINING).
constexpr std::array<std::string_view, 5> kOwnCapabilities{
    "TOP", "UIDL", "USER", "RESP-CODES", "PIPELINING",
};

// Capabilities of the real server that hold for the proxy's clients too:
// how long it keeps mail and how often it may be polled.
constexpr std::array<std::string_view, 2> kServerCapabilitiesPassed{"EXPIRE", "LOGIN-DELAY"};

// Lines of a server's CAPA list read at most; real servers send a dozen.
constexpr size_t kMaxServerCapabilities = 1000;

// How long the end of a scan looks for the client's close: a closed socket
// reads at once, and a client still there must not wait for the check.
constexpr int kClientGoneCheckMs = 1;

constexpr std::string_view kTlsRequired = "-ERR TLS required, send STLS first";

// Outcome of the authorisation state.
enum class AuthResult {
    kPending,   // still waiting for USER/PASS
    kQuit,      // the client sent QUIT
    kLoggedIn,  // logged in upstream and scanned
    kFailed,    // an error reply has been sent
};

struct SessionState {
    Pop3Session session;
    AuthResult authResult = AuthResult::kPending;
    bool quit = false;              // the client sent QUIT in the transaction state
    bool upstreamQuitSent = false;  // the server has had its QUIT
};

using Handler = void (*)(SessionState& state, const ClientCommand& command);

struct CommandEntry {
    std::string_view name;
    Handler handler;
};

void Reply(SessionState& state, std::string_view text) {
    state.session.client.SendLine(text);
}

std::string Greeting(int clientSlot) {
    return "+OK POP3-Trawlbox " + std::string(kProgramVersion) + " Server #" +
           std::to_string(clientSlot);
}

// --- Authorisation state ---------------------------------------------------

// The capability list of either state: the proxy's own, then `extra`.
std::string CapabilityList(const std::string& extra) {
    std::string text = "+OK Capability list follows\r\n";
    for (std::string_view name : kOwnCapabilities) text += std::string(name) + "\r\n";
    text += "IMPLEMENTATION Trawlbox-" + std::string(kProgramVersion) + "\r\n";
    return text + extra + ".\r\n";
}

void OnUser(SessionState& state, const ClientCommand& command) {
    if (ClientMustStartTls(state.session.client)) {
        Reply(state, kTlsRequired);
        return;
    }
    std::string unknownMethod;
    if (!TakeUserArgument(state.session, command.argument, unknownMethod)) {
        Reply(state, "-ERR unknown login method " + unknownMethod);
        return;
    }
    const Pop3Session& session = state.session;
    SetSlotLogin(session.client.slot(), session.host,
                 session.port != 0 ? session.port : Settings.Pop3PortOutgoing, session.account);
    Reply(state, "+OK More authentication information required");
}

void OnPass(SessionState& state, const ClientCommand& command) {
    Pop3Session& session = state.session;
    if (ClientMustStartTls(session.client)) {
        Reply(state, kTlsRequired);
        return;
    }
    if (!session.userSeen) {
        Reply(state, "-ERR Authentication rejected");
        return;
    }
    TakePassArgument(session, command.rest);

    const int port = session.port != 0 ? session.port : Settings.Pop3PortOutgoing;
    const std::string held = HeldLoginText(session.host, port, session.account);
    if (!held.empty()) {
        Reply(state, "-ERR [AUTH] " + held);
        state.authResult = AuthResult::kFailed;
        return;
    }
    SetSlotActivity(session.client.slot(), SessionActivity::kLoggingIn);

    // An OAuth 2.0 login proves itself with the account's token: what the
    // mail program sent only unseals it, and a wrong one never reaches the
    // server.
    std::string proof = session.password;
    if (NamesTokenLogin(session.method) &&
        !TokenForLogin({CurrentSettings().DataDir, Settings.TlsCaFile}, session.host,
                       session.account, session.password, session.client.slot(), proof)) {
        Reply(state, "-ERR " + session.host + " authentication error");
        state.authResult = AuthResult::kFailed;
        return;
    }

    std::string greeting;
    const UpstreamOutcome outcome =
        ConnectForClient(session.host, port, UpstreamProtocol::kPop3, CurrentSettings().Pop3Timeout,
                         session.client.slot(), session.upstream, greeting, session.port != 0);
    if (outcome != UpstreamOutcome::kConnected) {
        const bool refused = outcome == UpstreamOutcome::kNotAllowed;
        Reply(state, "-ERR " + session.host + (refused ? " not allowed" : " not found/ready"));
        state.authResult = AuthResult::kFailed;
        return;
    }

    const int client = session.client.slot();
    WriteLog("Bridge from #" + std::to_string(client) + " to #" +
                 std::to_string(session.upstream.slot()),
             client, kLogNotice);
    const bool accepted = UpstreamLogin(session.upstream, session.account, proof, session.method,
                                        ApopStamp(greeting), session.host) == 1;
    // Only a server's answer counts: a lost link says nothing of the password.
    if (!session.upstream.LinkFailed()) {
        CountUpstreamLogin(session.host, port, session.account, accepted, client);
    }
    if (!accepted) {
        Reply(state, "-ERR " + session.host + " authentication error");
        state.authResult = AuthResult::kFailed;
        return;
    }
    SetSlotActivity(client, SessionActivity::kScanning);
    if (!ScanMailbox(session)) {
        // What the scan did before the server was lost is told at the next login.
        KeepUnreadReport(session);
        Reply(state, "-ERR external Mailbox scan");
        state.authResult = AuthResult::kFailed;
        return;
    }
    // A client that gave up waiting for the scan never reads its report.
    if (!session.client.AwaitLine(kClientGoneCheckMs) && session.client.LinkFailed()) {
        KeepUnreadReport(session);
        state.authResult = AuthResult::kFailed;
        return;
    }
    Reply(state, "+OK Mailbox scan running to " + session.host + " successfull");
    state.authResult = AuthResult::kLoggedIn;
}

void OnAuthQuit(SessionState& state, const ClientCommand&) {
    state.authResult = AuthResult::kQuit;
}

void OnAuthCapa(SessionState& state, const ClientCommand&) {
    const bool offersTls = ClientTlsOffered() && !state.session.client.TlsActive();
    state.session.client.SendText(CapabilityList(offersTls ? "STLS\r\n" : ""));
}

// RFC 2595 4: TLS begins right after the "+OK"; what the client said before
// is forgotten, so that its login is taken only over TLS.
void OnStls(SessionState& state, const ClientCommand&) {
    Pop3Session& session = state.session;
    if (session.client.TlsActive()) {
        Reply(state, "-ERR TLS already active");
        return;
    }
    if (!ClientTlsOffered()) {
        Reply(state, "-ERR TLS not available");
        return;
    }
    Reply(state, "+OK Begin TLS negotiation");
    if (!SecureClient(session.client)) {
        state.authResult = AuthResult::kFailed;
        return;
    }
    session.userSeen = false;
    session.method.clear();
}

constexpr std::array<CommandEntry, 5> kAuthorisationCommands{{
    {"USER", OnUser},
    {"PASS", OnPass},
    {"QUIT", OnAuthQuit},
    {"CAPA", OnAuthCapa},
    {"STLS", OnStls},
}};

// --- Transaction state -----------------------------------------------------

void OnQuit(SessionState& state, const ClientCommand&) {
    Connection& upstream = state.session.upstream;
    upstream.SendLine("QUIT");
    std::string reply;
    upstream.ReceiveLine(reply);
    state.upstreamQuitSent = true;
    state.quit = true;
    // Like the server's, the client's deletions of released messages take
    // effect only with its QUIT.
    ForgetDeletedReleases(state.session);
}

void OnRset(SessionState& state, const ClientCommand&) {
    Pop3Session& session = state.session;
    if (!UndoClientDeletions(session)) {
        Reply(state, "-ERR the server refused RSET; deleted messages stay deleted");
        return;
    }
    Reply(state, "+OK " + session.account + " has " + std::to_string(session.totalCount) +
                     " messages (" + std::to_string(session.remainingOctets) + " octets)");
}

void OnNoop(SessionState& state, const ClientCommand&) {
    Reply(state, "+OK");
}

void OnStat(SessionState& state, const ClientCommand&) {
    Reply(state, "+OK " + std::to_string(state.session.remainingCount) + " " +
                     std::to_string(state.session.remainingOctets));
}

void OnStatAll(SessionState& state, const ClientCommand&) {
    Reply(state, "+OK " + std::to_string(state.session.totalCount) + " " +
                     std::to_string(state.session.serverOctets));
}

void OnHelp(SessionState& state, const ClientCommand&) {
    std::string text;
    for (std::string_view line : kHelpLines) text += std::string(line) + "\r\n";
    state.session.client.SendText(text);
}

// The server's own limits, which it names only in its CAPA list, are asked
// for when the client asks.
void OnCapa(SessionState& state, const ClientCommand&) {
    Connection& upstream = state.session.upstream;
    std::string passed;
    upstream.SendLine("CAPA");
    std::string reply;
    upstream.ReceiveLine(reply);
    if (StartsWith(reply, "+OK")) {
        upstream.ReadBlock(kMaxServerCapabilities, [&](const std::string& line) {
            const std::string label = UpperCase(Field(line, 0));
            for (std::string_view name : kServerCapabilitiesPassed) {
                if (label == name) passed += line + "\r\n";
            }
            return true;
        });
    }
    if (upstream.LinkFailed()) return;
    state.session.client.SendText(CapabilityList(passed));
}

void OnDele(SessionState& state, const ClientCommand& command) {
    HandleDele(state.session, command);
}
void OnRetr(SessionState& state, const ClientCommand& command) {
    HandleRetr(state.session, command);
}
void OnList(SessionState& state, const ClientCommand& command) {
    HandleList(state.session, command);
}
void OnTop(SessionState& state, const ClientCommand& command) {
    HandleTop(state.session, command);
}
void OnUidl(SessionState& state, const ClientCommand& command) {
    HandleUidl(state.session, command);
}

constexpr std::array<CommandEntry, 12> kTransactionCommands{{
    {"CAPA", OnCapa},
    {"QUIT", OnQuit},
    {"RSET", OnRset},
    {"NOOP", OnNoop},
    {"STAT", OnStat},
    {"STATALL", OnStatAll},
    {"DELE", OnDele},
    {"RETR", OnRetr},
    {"LIST", OnList},
    {"TOP", OnTop},
    {"UIDL", OnUidl},
    {"HELP", OnHelp},
}};

// Runs the command's handler from the table; returns false when the table has
// no such command.
template <size_t N>
bool Dispatch(const std::array<CommandEntry, N>& table, SessionState& state,
              const ClientCommand& command) {
    for (const CommandEntry& entry : table) {
        if (entry.name == command.name) {
            entry.handler(state, command);
            return true;
        }
    }
    return false;
}

void RunAuthorisation(SessionState& state) {
    Connection& client = state.session.client;
    std::string line;
    while (state.authResult == AuthResult::kPending && !client.LinkFailed() &&
           !state.session.upstream.LinkFailed()) {
        client.ReceiveLine(line);
        if (client.LinkFailed()) break;
        ClientCommand command = SplitClientCommand(line);
        if (!Dispatch(kAuthorisationCommands, state, command)) {
            Reply(state, "-ERR Authentication required");
        }
    }
}

void PrepareView(SessionState& state) {
    Pop3Session& session = state.session;
    TakeUnreadReports(session);
    CountShownMessages(session);
    OfferReleasedMessages(session);
    if (session.hasReport) {
        session.killReport = CompleteKillReport(
            session.killReport, session.dryRun ? ReportKind::kDryRun : ReportKind::kKilled);
        AppendReportMessage(session, session.killReport);
    }
    WriteLog(std::to_string(session.shownCount) + " Messages with " +
                 std::to_string(session.remainingOctets) + " (Bytes)",
             session.client.slot(), kLogFigures);
}

void LogClosedByPeer(int slot) {
    WriteLog("Socket #" + std::to_string(slot) + " closed by remote host!", slot, kLogNotice);
}

// Waits until the client sends its next line or its link fails. Answers
// come from the session's table, so the server hears nothing while the
// client reads; a client that waits between commands would otherwise find
// the server's session gone, and its deletions with it.
void AwaitClient(SessionState& state) {
    Connection& client = state.session.client;
    Connection& upstream = state.session.upstream;
    while (!client.AwaitLine(upstreamNoopIntervalMs) && !client.LinkFailed() &&
           !upstream.LinkFailed()) {
        upstream.SendLine("NOOP");
        std::string reply;
        upstream.ReceiveLine(reply);
    }
}

void RunTransaction(SessionState& state) {
    Connection& client = state.session.client;
    Connection& upstream = state.session.upstream;
    std::string line;
    while (!state.quit && !client.LinkFailed() && !upstream.LinkFailed()) {
        AwaitClient(state);
        // A link the wait found failed (an endless line cut off) is not
        // read again: the client may be waiting for the close.
        if (!client.LinkFailed()) client.ReceiveLine(line);
        bool clientLost = client.LinkFailed();
        bool upstreamLost = upstream.LinkFailed();
        if (clientLost) LogClosedByPeer(client.slot());
        if (upstreamLost) LogClosedByPeer(upstream.slot());
        if (clientLost) break;
        // The answers to the client come from the session's own table, so the
        // upstream connection may stay silent for a long time while the client
        // is busy; it must survive that, or the client's deletions would be
        // lost with it.
        upstream.KeepAlive();
        ClientCommand command = SplitClientCommand(line);
        if (!Dispatch(kTransactionCommands, state, command)) Reply(state, kReplyUnknownCommand);
    }
}

void EndSession(SessionState& state) {
    Connection& client = state.session.client;
    Connection& upstream = state.session.upstream;
    SetSlotActivity(client.slot(), SessionActivity::kClosing);
    if (upstream.open()) {
        if (upstream.LinkFailed()) {
            WriteLog("Connection lost ...", upstream.slot(), kLogFailure);
        } else if (!state.upstreamQuitSent && (state.authResult != AuthResult::kLoggedIn ||
                                               UndoClientDeletions(state.session))) {
            // The server carries out the deletions only on QUIT; its answer
            // tells that it has read the command before the link is closed.
            // A client that left without QUIT has its own deletions taken
            // back first, and the scan's kept.
            upstream.SendLine("QUIT");
            std::string reply;
            upstream.ReceiveLine(reply);
        }
        upstream.Close();
        upstream.Release();
    }
    if (client.LinkFailed()) {
        WriteLog("Connection lost ...", client.slot(), kLogFailure);
    } else {
        client.SendLine(Greeting(client.slot()) + ", good bye spam");
    }
    client.Close();
    client.Release();
}

}  // namespace

bool TakeUserArgument(Pop3Session& session, std::string_view argument, std::string& unknownMethod) {
    const size_t hash = argument.find('#');
    LoginTarget target = ParseLoginTarget(argument.substr(0, hash));
    if (target.hasMethod && FindLoginMethod(target.method) == nullptr) {
        unknownMethod = target.method;
        return false;
    }
    if (target.hasMethod) session.method = target.method;
    session.host = target.host;
    session.port = target.port;
    session.account.clear();
    if (hash != std::string_view::npos) {
        std::string_view rest = argument.substr(hash + 1);
        session.account = std::string(rest.substr(0, rest.find('#')));
    }
    session.userSeen = true;
    return true;
}

void TakePassArgument(Pop3Session& session, std::string_view argument) {
    size_t hash = argument.find('#');
    session.password = std::string(argument.substr(0, hash));
    session.envelope.clear();
    if (hash != std::string_view::npos) {
        std::string_view rest = argument.substr(hash + 1);
        session.envelope = std::string(rest.substr(0, rest.find('#')));
    }
    if (session.envelope.empty()) session.envelope = std::string(kDefaultEnvelope);
}

std::string ApopStamp(std::string_view greeting) {
    size_t open = greeting.find('<');
    if (open == std::string_view::npos) return {};
    size_t close = greeting.find('>', open);
    if (close == std::string_view::npos) return {};
    return std::string(greeting.substr(open, close - open + 1));
}

void RunPop3Session(Connection client) {
    SessionState state;
    Pop3Session& session = state.session;
    session.client = std::move(client);
    session.client.SendLine(Greeting(session.client.slot()) + " ready," +
                            std::string(kGreetingNotice));
    RunAuthorisation(state);
    if (state.authResult == AuthResult::kLoggedIn && !session.client.LinkFailed() &&
        !session.upstream.LinkFailed()) {
        SetSlotActivity(session.client.slot(), SessionActivity::kServing);
        PrepareView(state);
        RunTransaction(state);
    }
    EndSession(state);
}

void RunPop3sSession(Connection client) {
    ServeOverTls(std::move(client), RunPop3Session);
}

void SetUpstreamNoopIntervalForTesting(int milliseconds) {
    upstreamNoopIntervalMs = milliseconds > 0 ? milliseconds : kUpstreamNoopIntervalMs;
}

const ListenerDescription kPop3ListenerDescription{
    "Pop3",
    &SettingsRecord::Pop3Timeout,
    "-ERR permission denied, closing connection ...",
    RunPop3Session,
};

const ListenerDescription kPop3sListenerDescription{
    "Pop3s",
    &SettingsRecord::Pop3Timeout,
    "-ERR permission denied, closing connection ...",
    RunPop3sSession,
};
