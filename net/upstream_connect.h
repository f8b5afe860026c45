// The connection from a session to its real server, secured as the settings
// ask (Pop3Tls, NntpTls, TlsVerify, TlsCaFile, and a TLS port named in the
// login). The leg to the proxy's own clients is net/client_tls.h's.
#pragma once

#include <string>
#include <vector>

#include "core/settings.h"
#include "net/connection.h"

enum class UpstreamProtocol : int {
    kPop3,  // TLS by Pop3Tls; upgrade command STLS (RFC 2595), answered "+OK"
    kNntp,  // TLS by NntpTls; upgrade command STARTTLS (RFC 4642), answered "382"
};

// What ConnectUpstream came to.
enum class UpstreamOutcome : int {
    kConnected,      // `connection` holds the link to the server
    kConnectFailed,  // no connection was made
    kTlsFailed,      // connected, but TLS was not established
    kNotAllowed,     // AllowedServers or AllowedPorts refused it; no connect was attempted
};

// Connects to host:port (Connection::ConnectTo) into `connection`, sets its
// time-out and reads the server's greeting into `greeting`:
// - TLS off: the greeting, in plaintext;
// - implicit: handshake first, then the greeting over TLS;
// - upgrade: the plaintext greeting (which is what is returned: an APOP login
//   needs its time stamp), then STLS or STARTTLS, then the handshake.
// Returns kConnected with the connection. A greeting that could not be read
// over a working (or plaintext) link shows in the connection's LinkFailed
// as after ReceiveLine. Returns kConnectFailed when the connect failed
// (logged by ConnectTo). Returns kTlsFailed when TLS was asked for and not
// established: the mode setting names no mode, the server greeted with a
// refusal or refused the upgrade, or the handshake or the certificate check
// failed. The reason is logged at level 1 ("STLS refused: " and the server's
// line, "TLS handshake failed: certificate verify failed: unable to get local
// issuer certificate", ...), the connection is closed and released, and
// nothing was sent in plaintext after the upgrade command. On both failures
// `connection` is left empty. On success with TLS, "TLS established: " with
// the protocol version and cipher is logged at level 9.
// `portFromLogin` says that the user wrote the port into the login: the
// protocol's TLS port there (995 for POP3, 563 for news) means implicit TLS
// whatever Pop3Tls or NntpTls says, as a mail program would take it.
UpstreamOutcome ConnectUpstream(const std::string& host, int port, UpstreamProtocol protocol,
                                int timeoutSeconds, Connection& connection, std::string& greeting,
                                bool portFromLogin = false);

// Returns the ports a login may name for the protocol under `settings`: the
// AllowedPorts list, or when it lists none 110, 995 and Pop3PortOutgoing for
// POP3, 119, 563 and NntpPortOutgoing for news (a port may repeat).
std::vector<int> AllowedPortsOf(UpstreamProtocol protocol, const SettingsRecord& settings);

// ConnectUpstream for a client's login, which names its own server: the host
// and port are first judged against AllowedServers and AllowedPorts
// (net/allowed_servers.h; the ports by default 110, 995 and Pop3PortOutgoing
// for POP3, 119, 563 and NntpPortOutgoing for news), a name also by every
// address it resolves to, before a connect to any of them. Returns
// kNotAllowed when refused: no connection was attempted, `connection` is
// empty, and "'host'  Port:n not allowed for <client address>" is logged at
// level 2 under `clientSlot`. Otherwise as ConnectUpstream, `portFromLogin`
// included; an opened connection's entry records `clientSlot` as its
// clientSlot (net/session_table.h).
UpstreamOutcome ConnectForClient(const std::string& host, int port, UpstreamProtocol protocol,
                                 int timeoutSeconds, int clientSlot, Connection& connection,
                                 std::string& greeting, bool portFromLogin = false);
