#include "net/upstream_connect.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/allowed_servers.h"
#include "net/session_table.h"

namespace {

// A server's line quoted in the log is cut here: it is the server's text,
// and a refusal needs no more to be understood.
constexpr size_t kLoggedLineLimit = 200;

struct ProtocolTexts {
    const char* modeKey;                      // the setting, for its log line
    const char* upgradeCommand;               // asks for TLS after the greeting
    std::string_view upgradeAccepted;         // the answer that lets TLS begin
    std::array<std::string_view, 2> serving;  // greetings of a server that serves
    int implicitPort;                         // the well-known port of TLS from the first byte
};

// Indexed by UpstreamProtocol.
constexpr std::array<ProtocolTexts, 2> kProtocols{{
    {"Pop3Tls", "STLS", "+OK", {"+OK", "+OK"}, 995},
    {"NntpTls", "STARTTLS", "382", {"200", "201"}, 563},
}};

TlsMode ModeOf(UpstreamProtocol protocol) {
    return protocol == UpstreamProtocol::kPop3 ? Settings.Pop3Tls : Settings.NntpTls;
}

bool Serves(const ProtocolTexts& texts, std::string_view greeting) {
    for (std::string_view code : texts.serving) {
        if (StartsWith(greeting, code)) return true;
    }
    return false;
}

// The server's line as the log shows it; a link that ended gave none.
std::string QuotedLine(const Connection& connection, const std::string& line) {
    if (connection.LinkFailed()) return "connection lost";
    return line.substr(0, kLoggedLineLimit);
}

// Logs why TLS did not come about, then closes and gives back the
// connection without another byte to the server.
UpstreamOutcome GiveUp(Connection& connection, const std::string& reason) {
    WriteLog(reason, connection.slot(), kLogError);
    connection.Close();
    connection.Release();
    return UpstreamOutcome::kTlsFailed;
}

// Establishes TLS on a connected link; gives the link up when it fails.
UpstreamOutcome Secure(Connection& connection, const std::string& host) {
    TlsClientOptions options;
    options.verify = Settings.TlsVerify;
    options.caFile = Settings.TlsCaFile;
    std::string failure = connection.SecureAsClient(host, options);
    if (!failure.empty()) return GiveUp(connection, "TLS handshake failed: " + failure);
    WriteLog("TLS established: " + connection.TlsDescription(), connection.slot(), kLogConnection);
    return UpstreamOutcome::kConnected;
}

// Standard ports a login may reach when AllowedPorts lists none: the
// protocol's plaintext and implicit-TLS ports (RFC 1939, 8314; RFC 3977,
// 8143) besides the configured one.
constexpr int kPop3Port = 110;
constexpr int kPop3sPort = 995;
constexpr int kNntpPort = 119;
constexpr int kNntpsPort = 563;

bool PortAllowed(UpstreamProtocol protocol, int port) {
    const std::vector<int> ports = AllowedPortsOf(protocol, Settings);
    return std::find(ports.begin(), ports.end(), port) != ports.end();
}

void LogNotAllowed(const std::string& host, int port, int clientSlot) {
    WriteLog("'" + host.substr(0, kHostNameLimit) + "'  Port:" + NumberText(port) +
                 " not allowed for " + IpAddressText(SlotAddress(clientSlot)),
             clientSlot, kLogFailure);
}

// ConnectUpstream with a gate on the addresses; `notAllowed` is what the gate
// sets when it refuses them.
UpstreamOutcome Connect(const std::string& host, int port, UpstreamProtocol protocol,
                        int timeoutSeconds, Connection& connection, std::string& greeting,
                        const AddressGate& admits, const bool& notAllowed, bool portFromLogin) {
    greeting.clear();
    connection.Release();
    const ProtocolTexts& texts = kProtocols[static_cast<size_t>(protocol)];
    const TlsMode mode =
        portFromLogin && port == texts.implicitPort ? TlsMode::kImplicit : ModeOf(protocol);
    if (mode != TlsMode::kOff && mode != TlsMode::kUpgrade && mode != TlsMode::kImplicit) {
        WriteLog(std::string(texts.modeKey) + " names no TLS mode, no connection made", -1,
                 kLogError);
        return UpstreamOutcome::kTlsFailed;
    }

    connection = Connection::ConnectTo(host, port, admits);
    if (notAllowed) return UpstreamOutcome::kNotAllowed;
    if (!connection.open()) return UpstreamOutcome::kConnectFailed;
    connection.SetTimeout(timeoutSeconds);
    // The name the certificate must carry is the one the user gave, as far
    // as the connect used it.
    const std::string checkedHost = host.substr(0, kHostNameLimit);

    if (mode == TlsMode::kImplicit &&
        Secure(connection, checkedHost) != UpstreamOutcome::kConnected)
        return UpstreamOutcome::kTlsFailed;

    connection.ReceiveLine(greeting);
    if (mode != TlsMode::kUpgrade) return UpstreamOutcome::kConnected;

    // The upgrade: only over a server that greeted as serving, and TLS only
    // after its consent. Nothing else is sent in plaintext; whatever followed
    // the consent arrived in plaintext and is dropped when TLS begins.
    std::string refused = std::string(texts.upgradeCommand) + " refused: ";
    if (connection.LinkFailed() || !Serves(texts, greeting)) {
        return GiveUp(connection, refused + QuotedLine(connection, greeting));
    }
    connection.SendLine(texts.upgradeCommand);
    std::string reply;
    connection.ReceiveLine(reply);
    if (connection.LinkFailed() || !StartsWith(reply, texts.upgradeAccepted)) {
        return GiveUp(connection, refused + QuotedLine(connection, reply));
    }
    return Secure(connection, checkedHost);
}

}  // namespace

std::vector<int> AllowedPortsOf(UpstreamProtocol protocol, const SettingsRecord& settings) {
    const bool pop3 = protocol == UpstreamProtocol::kPop3;
    const std::array<int, 3> defaults =
        pop3 ? std::array<int, 3>{kPop3Port, kPop3sPort, settings.Pop3PortOutgoing}
             : std::array<int, 3>{kNntpPort, kNntpsPort, settings.NntpPortOutgoing};
    return AllowedPortList(settings.AllowedPorts, defaults);
}

UpstreamOutcome ConnectUpstream(const std::string& host, int port, UpstreamProtocol protocol,
                                int timeoutSeconds, Connection& connection, std::string& greeting,
                                bool portFromLogin) {
    bool refused = false;
    return Connect(host, port, protocol, timeoutSeconds, connection, greeting, {}, refused,
                   portFromLogin);
}

UpstreamOutcome ConnectForClient(const std::string& host, int port, UpstreamProtocol protocol,
                                 int timeoutSeconds, int clientSlot, Connection& connection,
                                 std::string& greeting, bool portFromLogin) {
    greeting.clear();
    connection.Release();
    const ServerAllowList allowed(Settings.AllowedServers);
    // The connect uses only the first kHostNameLimit characters; so does the judgement.
    const std::string checkedHost = host.substr(0, kHostNameLimit);
    if (!PortAllowed(protocol, port)) {
        LogNotAllowed(host, port, clientSlot);
        return UpstreamOutcome::kNotAllowed;
    }
    bool refused = false;
    AddressGate admits;
    if (!allowed.AllowsHost(checkedHost)) {
        admits = [&](const std::vector<IpAddress>& addresses) {
            refused = !allowed.AllowsResolved(checkedHost, addresses);
            if (refused) LogNotAllowed(host, port, clientSlot);
            return !refused;
        };
    }
    const UpstreamOutcome outcome = Connect(host, port, protocol, timeoutSeconds, connection,
                                            greeting, admits, refused, portFromLogin);
    // The client's row on the page and the console names this server, so
    // the connection need not be listed on its own.
    if (connection.open()) SessionTable[connection.slot()].clientSlot = clientSlot;
    return outcome;
}
