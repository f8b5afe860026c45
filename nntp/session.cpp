#include "nntp/session.h"

#include <array>
#include <string_view>

#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/client_tls.h"
#include "net/login_failures.h"
#include "net/login_target.h"
#include "net/session_table.h"
#include "net/upstream_connect.h"
#include "nntp/overview_filter.h"
#include "nntp/upstream_login.h"
#include "oauth/login_token.h"

namespace {

// Ends the greeting after " ready": how to name the real server.
constexpr std::string_view kGreetingNotice = ", log in as AUTHINFO USER host#user";

// Server greetings that offer service (RFC 3977 5.1.1: 200 posting allowed,
// 201 not); 400 and 502 say the server will not serve this connection.
constexpr std::array<std::string_view, 2> kServiceGreetings{"200", "201"};

// Before the login there is no server to ask: the proxy lists what it offers
// itself, so that a reader (RFC 3977 5.2, RFC 4643 3.1) learns to log in.
// STARTTLS (RFC 4642) is listed, after these, while it may be used.
constexpr std::string_view kLoginCapabilities =
    "101 Capability list:\r\n"
    "VERSION 2\r\n"
    "AUTHINFO USER\r\n";

constexpr std::string_view kTlsRequired = "483 TLS required, send STARTTLS first";

// Capabilities of the real server that are not passed through this proxy: the
// proxy answers AUTHINFO itself, refuses transit commands, and relays lines,
// so a TLS or compression layer started by the reader would never reach the
// server.
constexpr std::array<std::string_view, 6> kHiddenCapabilities{
    "AUTHINFO", "SASL", "STARTTLS", "COMPRESS", "IHAVE", "STREAMING",
};

// Position of the group name in a 211 reply: "211 count low high group".
constexpr size_t kGroupWordOfReply = 4;

void LogClosedByPeer(int slot) {
    WriteLog("Socket #" + std::to_string(slot) + " closed by remote host!", slot, kLogNotice);
}

std::string Greeting(int clientSlot) {
    return "200 NNTP-Trawlbox " + std::string(kProgramVersion) + " Server #" +
           std::to_string(clientSlot) + " ready" + std::string(kGreetingNotice);
}

std::string Goodbye(int clientSlot) {
    return "205 NNTP-Trawlbox " + std::string(kProgramVersion) + " Server #" +
           std::to_string(clientSlot) + ", good bye spam";
}

// Returns the text after the first two space-separated words (after the
// space that ends the second), or "" when there is none.
std::string_view AfterTwoWords(std::string_view line) {
    size_t first = line.find(' ');
    if (first == std::string_view::npos) return {};
    size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) return {};
    return line.substr(second + 1);
}

// --- Login phase -------------------------------------------------------------

struct LoginState {
    LoginState(Connection& reader, Connection& server) : reader(reader), server(server) {}

    Connection& reader;
    Connection& server;
    std::string method;  // "" for AUTHINFO USER/PASS upstream
    std::string host;
    int port = 0;  // from the login; 0: NntpPortOutgoing
    std::string user;
    std::string password;
    bool userGiven = false;
    NntpLoginResult result = NntpLoginResult::kPending;
    std::string line;  // the reader's line being handled
};

void LoginReply(LoginState& state, std::string_view text) {
    state.reader.SendLine(text);
}

// Takes "[method:]host[:port][#user]" (ParseLoginTarget). A method the
// proxy cannot log in with is refused before anything reaches a server.
void OnLoginUser(LoginState& state) {
    if (ClientMustStartTls(state.reader)) {
        LoginReply(state, kTlsRequired);
        return;
    }
    const std::string argument = Trim(Field(state.line, 2));
    const size_t hash = argument.find('#');
    LoginTarget target = ParseLoginTarget(std::string_view(argument).substr(0, hash));
    if (target.hasMethod && !IsNewsLoginMethod(target.method)) {
        state.userGiven = false;
        LoginReply(state, "481 unknown login method " + target.method);
        return;
    }
    state.method = target.method;
    state.host = target.host;
    state.port = target.port;
    state.user.clear();
    if (hash != std::string::npos) {
        std::string_view rest = std::string_view(argument).substr(hash + 1);
        state.user = std::string(rest.substr(0, rest.find('#')));
    }
    state.userGiven = true;
    SetSlotLogin(state.reader.slot(), state.host,
                 state.port != 0 ? state.port : Settings.NntpPortOutgoing, state.user);
    LoginReply(state, "381 More authentication information required");
}

// Connects to the reader's server and logs in there.
void OnLoginPass(LoginState& state) {
    if (ClientMustStartTls(state.reader)) {
        LoginReply(state, kTlsRequired);
        return;
    }
    if (!state.userGiven) {
        LoginReply(state, "381 more authentication information required");
        return;
    }
    // The password runs to the end of the line, so that it may hold spaces;
    // a "#" still ends it.
    std::string_view argument = AfterTwoWords(state.line);
    state.password = std::string(argument.substr(0, argument.find('#')));

    const int port = state.port != 0 ? state.port : Settings.NntpPortOutgoing;
    const std::string held = HeldLoginText(state.host, port, state.user);
    if (!held.empty()) {
        LoginReply(state, "481 " + held);
        state.result = NntpLoginResult::kFailed;
        return;
    }
    SetSlotActivity(state.reader.slot(), SessionActivity::kLoggingIn);

    // An OAuth 2.0 login proves itself with the account's token: what the
    // reader sent only unseals it, and a wrong one never reaches the server.
    std::string proof = state.password;
    if (NamesTokenLogin(state.method) &&
        !TokenForLogin({CurrentSettings().DataDir, Settings.TlsCaFile}, state.host, state.user,
                       state.password, state.reader.slot(), proof)) {
        LoginReply(state, "481 Authentication failed");
        state.result = NntpLoginResult::kFailed;
        return;
    }

    std::string notFound = "502 " + state.host + " not found/ready";
    std::string greeting;
    const UpstreamOutcome outcome =
        ConnectForClient(state.host, port, UpstreamProtocol::kNntp, CurrentSettings().NntpTimeout,
                         state.reader.slot(), state.server, greeting, state.port != 0);
    if (outcome != UpstreamOutcome::kConnected) {
        const bool refused = outcome == UpstreamOutcome::kNotAllowed;
        LoginReply(state, refused ? "502 " + state.host + " not allowed" : notFound);
        state.result = NntpLoginResult::kFailed;
        return;
    }
    Connection& server = state.server;
    const int reader = state.reader.slot();
    WriteLog("Bridge from #" + std::to_string(reader) + " to #" + std::to_string(server.slot()),
             reader, kLogNotice);

    // A server that hangs up at once, or greets with a refusal, serves no
    // reader: telling the reader it was accepted would only fail its next
    // command.
    if (server.LinkFailed()) {
        LoginReply(state, notFound);
        state.result = NntpLoginResult::kFailed;
        return;
    }
    bool serves = false;
    for (std::string_view code : kServiceGreetings) serves = serves || StartsWith(greeting, code);
    if (!serves) {
        WriteLog(greeting, server.slot(), kLogFailure);
        LoginReply(state, greeting);
        state.result = NntpLoginResult::kFailed;
        return;
    }

    std::string lastReply;
    const bool accepted =
        UpstreamNewsLogin(server, state.method, state.user, proof, state.host, lastReply);
    // Only a server's answer counts: a lost link says nothing of the password.
    if (!server.LinkFailed()) CountUpstreamLogin(state.host, port, state.user, accepted, reader);
    if (accepted) {
        WriteLog("NNTP Connection established", server.slot(), kLogOutcome);
        LoginReply(state, "281 Authenticaion accepted from " + state.host);
        state.result = NntpLoginResult::kBridged;
        return;
    }
    WriteLog("No permission", server.slot(), kLogOutcome);
    // An empty last reply means the server went away during the login; an
    // empty line would be no answer at all for the reader.
    LoginReply(state, lastReply.empty() ? notFound : lastReply);
    state.result = NntpLoginResult::kFailed;
}

void OnLoginQuit(LoginState& state) {
    state.result = NntpLoginResult::kReaderQuit;
}

bool StartTlsAllowed(const LoginState& state) {
    return ClientTlsOffered() && !state.reader.TlsActive();
}

void OnLoginCapabilities(LoginState& state) {
    std::string list(kLoginCapabilities);
    if (StartTlsAllowed(state)) list += "STARTTLS\r\n";
    state.reader.SendText(list + ".\r\n");
}

// RFC 4642 2.2: TLS begins right after the 382; the login starts afresh
// over it.
void OnLoginStartTls(LoginState& state) {
    if (!StartTlsAllowed(state)) {
        LoginReply(state, "502 STARTTLS not available");
        return;
    }
    LoginReply(state, "382 Continue with TLS negotiation");
    if (!SecureClient(state.reader)) {
        state.result = NntpLoginResult::kFailed;
        return;
    }
    state.userGiven = false;
}

using LoginHandler = void (*)(LoginState& state);

struct LoginCommand {
    std::string_view key;  // the upper-cased first word, or first two words
    LoginHandler handler;
};

constexpr std::array<LoginCommand, 5> kLoginCommands{{
    {"AUTHINFO USER", OnLoginUser},
    {"AUTHINFO PASS", OnLoginPass},
    {"QUIT", OnLoginQuit},
    {"CAPABILITIES", OnLoginCapabilities},
    {"STARTTLS", OnLoginStartTls},
}};

// Returns the handler of the reader's line, or nullptr.
LoginHandler FindLoginHandler(std::string_view line) {
    std::string command = UpperCase(Field(line, 0));
    std::string pair = command + " " + UpperCase(Field(line, 1));
    for (const LoginCommand& entry : kLoginCommands) {
        bool twoWords = entry.key.find(' ') != std::string_view::npos;
        if (entry.key == (twoWords ? pair : command)) return entry.handler;
    }
    return nullptr;
}

// --- Bridged phase -----------------------------------------------------------

// The session: it owns the reader's connection and, once the login
// connected, the server's.
struct Bridge {
    Connection reader;
    Connection server;
    std::string group;     // selected by the last successful GROUP or LISTGROUP
    std::string line;      // the reader's line, forwarded exactly as received
    std::string argument;  // its second word
    bool quit = false;
};

struct BridgedCommand;
using BridgedHandler = void (*)(Bridge& bridge, const BridgedCommand& entry);

struct BridgedCommand {
    std::string_view name;
    BridgedHandler handler;
    // For RelayOnCode: the reply code after which a multi-line block follows.
    std::string_view blockCode;
};

// Forwards the reader's line and passes the server's reply on. Returns the
// reply; "" when the server connection failed (then nothing is passed on:
// the session ends on the failed flag and says good-bye instead).
std::string Exchange(Bridge& bridge) {
    bridge.server.SendLine(bridge.line);
    std::string reply;
    bridge.server.ReceiveLine(reply);
    if (bridge.server.LinkFailed()) return {};
    bridge.reader.SendLine(reply);
    return reply;
}

void RelaySingle(Bridge& bridge, const BridgedCommand&) {
    Exchange(bridge);
}

// Every 1xx, 2xx and 3xx reply is followed by a block; 4xx and 5xx stand
// alone. The first three characters are compared as text.
bool BlockFollows(std::string_view reply) {
    return !reply.empty() && reply.substr(0, 3) <= "399";
}

void RelayBelow400(Bridge& bridge, const BridgedCommand&) {
    std::string reply = Exchange(bridge);
    if (BlockFollows(reply)) bridge.server.RelayBlockTo(bridge.reader);
}

// For the RFC 3977 commands: a block follows exactly the one reply code the
// command's definition gives.
void RelayOnCode(Bridge& bridge, const BridgedCommand& entry) {
    std::string reply = Exchange(bridge);
    if (!reply.empty() && StartsWith(reply, entry.blockCode)) {
        bridge.server.RelayBlockTo(bridge.reader);
    }
}

void TakeGroup(Bridge& bridge, std::string_view reply) {
    if (StartsWith(reply, "211")) bridge.group = Field(reply, kGroupWordOfReply);
}

void OnGroup(Bridge& bridge, const BridgedCommand&) {
    TakeGroup(bridge, Exchange(bridge));
}

// LISTGROUP selects its group on the server as GROUP does (RFC 3977 6.1.2);
// the filter's folder has to follow it.
void OnListGroup(Bridge& bridge, const BridgedCommand&) {
    std::string reply = Exchange(bridge);
    if (BlockFollows(reply)) bridge.server.RelayBlockTo(bridge.reader);
    if (!bridge.server.LinkFailed()) TakeGroup(bridge, reply);
}

void OnPost(Bridge& bridge, const BridgedCommand&) {
    if (!StartsWith(Exchange(bridge), "340")) return;
    bridge.reader.RelayBlockTo(bridge.server);
    if (bridge.reader.LinkFailed()) return;
    std::string reply;
    bridge.server.ReceiveLine(reply);
    if (!bridge.server.LinkFailed()) bridge.reader.SendLine(reply);
}

void OnOverview(Bridge& bridge, const BridgedCommand&) {
    RelayOverview(bridge.reader, bridge.server, bridge.group, bridge.line);
}

bool HiddenCapability(std::string_view line) {
    std::string label = UpperCase(Field(line, 0));
    for (std::string_view hidden : kHiddenCapabilities) {
        if (label == hidden) return true;
    }
    return false;
}

void OnCapabilities(Bridge& bridge, const BridgedCommand&) {
    if (!StartsWith(Exchange(bridge), "101")) return;
    std::string list;
    bool complete = bridge.server.ReadBlock(kMaxBlockLines, [&](const std::string& line) {
        if (!HiddenCapability(line)) {
            list += line;
            list += kWireNewline;
        }
        if (list.size() > kRelayBatchBytes) {
            bridge.reader.SendText(list);
            list.clear();
        }
        return true;
    });
    if (!complete) return;
    list += ".\r\n";
    bridge.reader.SendText(list);
}

// The reader is logged in already: the proxy answers, nothing reaches the
// server.
void OnAuthinfo(Bridge& bridge, const BridgedCommand&) {
    std::string argument = UpperCase(bridge.argument);
    if (argument == "USER") {
        bridge.reader.SendLine("381 ignored");
    } else if (argument == "PASS") {
        bridge.reader.SendLine("281 ignored");
    } else {
        // Every command needs an answer, or the reader waits for ever.
        bridge.reader.SendLine("500 command not (yet) implemented");
    }
}

void OnQuit(Bridge& bridge, const BridgedCommand&) {
    bridge.server.SendLine("QUIT");
    std::string reply;
    bridge.server.ReceiveLine(reply);
    bridge.quit = true;
}

void OnBlank(Bridge&, const BridgedCommand&) {}

// The reader commands of RFC 3977 and the common extensions of RFC 2980.
// IHAVE and the other transit commands are left out on purpose: this is a
// reader's proxy. A block is relayed only after a reply that announces one.
constexpr BridgedCommand kBridgedCommands[] = {
    {"AUTHINFO", OnAuthinfo, ""},
    {"QUIT", OnQuit, ""},
    {"GROUP", OnGroup, ""},
    {"POST", OnPost, ""},
    {"LAST", RelaySingle, ""},
    {"SLAVE", RelaySingle, ""},
    {"DATE", RelaySingle, ""},
    {"MODE", RelaySingle, ""},
    {"NEXT", RelaySingle, ""},
    {"STAT", RelaySingle, ""},
    {"NEWGROUPS", RelayBelow400, ""},
    {"ARTICLE", RelayBelow400, ""},
    {"HELP", RelayBelow400, ""},
    {"HEAD", RelayBelow400, ""},
    {"LIST", RelayBelow400, ""},
    {"BODY", RelayBelow400, ""},
    {"XHDR", RelayBelow400, ""},
    {"XPAT", RelayBelow400, ""},
    {"LISTGROUP", OnListGroup, ""},
    {"HDR", RelayOnCode, "225"},
    {"NEWNEWS", RelayOnCode, "230"},
    {"CAPABILITIES", OnCapabilities, ""},
    {"XOVER", OnOverview, ""},
    {"OVER", OnOverview, ""},
    {"", OnBlank, ""},
};

const BridgedCommand* FindBridgedCommand(std::string_view command) {
    for (const BridgedCommand& entry : kBridgedCommands) {
        if (entry.name == command) return &entry;
    }
    return nullptr;
}

void RunBridge(Bridge& bridge) {
    Connection& reader = bridge.reader;
    Connection& server = bridge.server;
    while (!bridge.quit && !reader.LinkFailed() && !server.LinkFailed()) {
        reader.ReceiveLine(bridge.line);
        bool readerLost = reader.LinkFailed();
        bool serverLost = server.LinkFailed();
        if (readerLost) LogClosedByPeer(reader.slot());
        if (serverLost) LogClosedByPeer(server.slot());
        if (readerLost || serverLost) break;

        std::string command = UpperCase(Field(bridge.line, 0));
        bridge.argument = Field(bridge.line, 1);
        const BridgedCommand* entry = FindBridgedCommand(command);
        if (entry == nullptr) {
            reader.SendLine("500 command not (yet) implemented");
        } else {
            entry->handler(bridge, *entry);
        }
    }
}

void EndSession(Bridge& bridge) {
    Connection& server = bridge.server;
    Connection& reader = bridge.reader;
    SetSlotActivity(reader.slot(), SessionActivity::kClosing);
    if (server.open()) {
        if (server.LinkFailed()) {
            WriteLog("Nntp-Connection lost ...", server.slot(), kLogFailure);
        } else {
            server.SendLine("QUIT");
        }
        server.Close();
        server.Release();
    }
    if (reader.LinkFailed()) {
        WriteLog("Nntp-Connection lost ...", reader.slot(), kLogFailure);
    } else {
        reader.SendLine(Goodbye(reader.slot()));
    }
    reader.Close();
    reader.Release();
}

}  // namespace

NntpLoginResult NntpLogin(Connection& reader, Connection& server, std::string& host,
                          std::string& user, std::string& password) {
    LoginState state(reader, server);
    while (state.result == NntpLoginResult::kPending && !reader.LinkFailed() &&
           !server.LinkFailed()) {
        reader.ReceiveLine(state.line);
        if (reader.LinkFailed()) break;
        LoginHandler handler = FindLoginHandler(state.line);
        if (handler == nullptr) {
            LoginReply(state, "480 Authentication required");
        } else {
            handler(state);
        }
    }
    host = state.host;
    user = state.user;
    password = state.password;
    return state.result;
}

void RunNntpsSession(Connection reader) {
    ServeOverTls(std::move(reader), RunNntpSession);
}

void RunNntpSession(Connection reader) {
    Bridge bridge;
    bridge.reader = std::move(reader);
    bridge.reader.SendLine(Greeting(bridge.reader.slot()));
    std::string host;
    std::string user;
    std::string password;
    NntpLoginResult result = NntpLogin(bridge.reader, bridge.server, host, user, password);
    if (result == NntpLoginResult::kBridged) {
        SetSlotActivity(bridge.reader.slot(), SessionActivity::kReadingNews);
        RunBridge(bridge);
    }
    EndSession(bridge);
}

const ListenerDescription kNntpListenerDescription{
    "Nntp",
    &SettingsRecord::NntpTimeout,
    "502 permission denied, closing connection ...",
    RunNntpSession,
};

const ListenerDescription kNntpsListenerDescription{
    "Nntps",
    &SettingsRecord::NntpTimeout,
    "502 permission denied, closing connection ...",
    RunNntpsSession,
};
