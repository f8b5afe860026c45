// Logging in at the real POP3 server, on the upstream connection: USER/PASS,
// APOP (RFC 1939), and the SASL mechanisms LOGIN, PLAIN, CRAM-MD5 (RFC 2195)
// and DIGEST-MD5 (RFC 2831) through AUTH (RFC 5034), named or chosen from the
// server's list. Every step is logged with the connection's slot number.
#pragma once

#include <string>
#include <string_view>

#include "net/connection.h"

// Mechanism codes of ChooseSaslMechanism and SaslLogin.
enum SaslMechanism : int {
    kSaslNone = 0,  // nothing usable
    kSaslLogin = 1,
    kSaslPlain = 2,
    kSaslDigestMd5 = 3,
    kSaslCramMd5 = 4,
};

// Logs in on the connection, whose server greeting has been read. The method is
// compared without regard to case: "AUTH" (choose from the AUTH command's
// list), "SASL" (choose from the CAPA command's SASL line), "LOGIN", "PLAIN",
// "DIGEST-MD5", "CRAM-MD5", "APOP"; anything else, the empty text included,
// means USER/PASS. `apopStamp` is the greeting's time stamp ("<...>", "" when
// it has none); only APOP uses it. `host` is the server's name as the user
// gave it; only DIGEST-MD5 uses it (for its digest-uri), and "" falls back
// to the realm the server names.
// Returns 1 when logged in (or, for USER/PASS with an empty account, when
// nothing was to be sent), 0 when the server refused, the link failed, no
// usable mechanism was offered, or `upstream` is no connection (nothing is
// sent or logged then).
int UpstreamLogin(Connection& upstream, const std::string& account, const std::string& password,
                  const std::string& method, const std::string& apopStamp,
                  const std::string& host = "");

// Returns the mechanism to use. For the methods "AUTH" and "SASL" (any case):
// the strongest name found as a case-sensitive substring of `list`, CRAM-MD5
// before DIGEST-MD5 before LOGIN before PLAIN, or kSaslNone. For "LOGIN",
// "PLAIN", "DIGEST-MD5" and "CRAM-MD5": that mechanism. Otherwise kSaslNone.
int ChooseSaslMechanism(std::string_view method, std::string_view list);

// Runs the AUTH exchange of the mechanism on the connection. Returns 1 when
// the server accepted the login; 0 when it refused, the link failed, or the
// code is kSaslNone or unknown or `upstream` is no connection (nothing is
// sent or logged then). `host` as for UpstreamLogin.
int SaslLogin(Connection& upstream, const std::string& account, const std::string& password,
              int code, const std::string& host = "");

// Returns the DIGEST-MD5 digest-uri: "pop/" + host, or "pop/" + realm when
// the host is empty.
std::string DigestMd5Uri(std::string_view realm, std::string_view host);

// Returns the 32 hexadecimal digits of a DIGEST-MD5 response with the
// md5-sess algorithm (RFC 2831, 2.1.2.1). `a2` is "AUTHENTICATE:" + digest-uri
// for the client's response and ":" + digest-uri for the rspauth value the
// server must answer with.
std::string DigestMd5Value(std::string_view account, std::string_view realm,
                           std::string_view password, std::string_view nonce,
                           std::string_view cnonce, std::string_view nonceCount,
                           std::string_view qop, std::string_view a2);
