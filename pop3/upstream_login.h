// Logging in at the real POP3 server, on the upstream connection: USER/PASS,
// APOP (RFC 1939), and the SASL mechanisms of the sasl/ table through AUTH
// (RFC 5034), named or chosen from the server's list. This module is the
// POP3 framing of those mechanisms; every step is logged with the
// connection's slot number.
#pragma once

#include <string>
#include <string_view>

#include "net/connection.h"
#include "sasl/client.h"

// A way of logging in, as the user names it before the host.
struct Pop3LoginMethod;

// Returns the login method of that name, compared without regard to case:
// "" (USER/PASS), "AUTH" (the strongest mechanism of the AUTH command's
// list), "SASL" (the same from the CAPA command's SASL line), "APOP",
// "OAUTH2" (the preferred OAuth 2.0 mechanism of the CAPA SASL line), or the
// name of a password SASL mechanism ("LOGIN", "PLAIN", "DIGEST-MD5",
// "CRAM-MD5"). Returns nullptr for any other name.
const Pop3LoginMethod* FindLoginMethod(std::string_view name);

// Logs in on the connection, whose server greeting has been read, with the
// method FindLoginMethod finds for `method`; a name it does not know means
// USER/PASS. `apopStamp` is the greeting's time stamp ("<...>", "" when it
// has none); only APOP uses it. `host` is the server's name as the user gave
// it; DIGEST-MD5 uses it for its digest-uri ("" falls back to the realm the
// server names), OAUTHBEARER to name the server. With "OAUTH2", `password`
// is the OAuth 2.0 access token the session obtained for the account.
// Returns 1 when logged in (or, for USER/PASS with an empty account, when
// nothing was to be sent), 0 when the server refused, the link failed, no
// usable mechanism was offered, or `upstream` is no connection (nothing is
// sent or logged then).
int UpstreamLogin(Connection& upstream, const std::string& account, const std::string& password,
                  const std::string& method, const std::string& apopStamp,
                  const std::string& host = "");

// Logs in through AUTH with the mechanism and credentials on the connection,
// whose greeting has been read: "AUTH <NAME>" (with the initial response
// when the mechanism has one and the command line can carry it), each "+ "
// continuation decoded for the mechanism and each response sent in Base64.
// `host` as for UpstreamLogin. Returns 1 when the server accepted, 0 when it
// refused, the link failed or the mechanism gave up, or `upstream` is no
// connection (nothing is sent or logged then).
int UpstreamSaslLogin(Connection& upstream, const SaslMechanism& mechanism,
                      const SaslCredentials& credentials, const std::string& host = "");

// Asks a logged-in server for its capabilities (CAPA, RFC 2449; asked after
// the login, since a server may offer more then). Returns true when it lists
// PIPELINING; false when it does not, refuses CAPA, sends no end to its list
// within a sane length, or the link failed (LinkFailed tells).
bool ServerPipelines(Connection& upstream);
