// Logging in at the real news server on the reader's behalf, on the server
// connection whose greeting has been read: AUTHINFO USER/PASS (RFC 4643,
// 2.3), or AUTHINFO SASL (RFC 4643, 2.4) with a mechanism of the sasl/ table
// when the reader's login names a method. This module is the news framing of
// those mechanisms; every step is logged with the connection's slot number.
#pragma once

#include <string>
#include <string_view>

#include "net/connection.h"
#include "sasl/client.h"

// Returns true when `name`, compared without regard to case, names a news
// login method: "sasl" (the strongest mechanism of the server's
// CAPABILITIES SASL line), "oauth2" (the preferred OAuth 2.0 mechanism of
// that line) or the name of a password SASL mechanism ("PLAIN", "LOGIN",
// "CRAM-MD5", "DIGEST-MD5"). Returns false for any other name, ""
// included (a login without a method uses AUTHINFO USER/PASS).
bool IsNewsLoginMethod(std::string_view name);

// Logs in as `user` with `password`: with AUTHINFO USER/PASS when `method`
// is "", else with the method as IsNewsLoginMethod names it. `host` is the
// server's name as the reader gave it; DIGEST-MD5 uses it for its
// digest-uri ("" falls back to the realm the server names), OAUTHBEARER to
// name the server. With "oauth2", `password` is the OAuth 2.0 access token
// the session obtained for the account.
// Returns true when the server accepted, and at once, sending nothing, when
// `user` is empty. Returns false otherwise; `lastReply` then holds the line
// for the reader: the server's refusal (or its answer to the withdrawal of a
// mechanism that gave up); a 481 refusal of the proxy's own when the server
// offers no mechanism it speaks, the method is unknown, or the server
// accepted without the proof its mechanism owes; "" when the connection
// failed.
bool UpstreamNewsLogin(Connection& server, std::string_view method, const std::string& user,
                       const std::string& password, const std::string& host,
                       std::string& lastReply);

// Logs in with AUTHINFO SASL: "AUTHINFO SASL <NAME>" (with the initial
// response when the mechanism has one: "=" when it is empty, and after the
// server's first, empty challenge when the command line cannot carry it),
// each 383 challenge decoded for the mechanism and each response sent in
// Base64; 281 accepts, 283 accepts with success data the mechanism checks
// (DIGEST-MD5's proof), anything else refuses. A mechanism that gives up
// withdraws with "*". Returns true and false, and fills `lastReply`, as
// UpstreamNewsLogin does.
bool UpstreamAuthinfoSasl(Connection& server, const SaslMechanism& mechanism,
                          const SaslCredentials& credentials, const std::string& host,
                          std::string& lastReply);
