#include "pop3/upstream_login.h"

#include <cstdio>
#include <iterator>
#include <random>

#include "codec/base64.h"
#include "codec/md5.h"
#include "core/log.h"
#include "core/text.h"
#include "net/connection.h"

namespace {

// The service name of the POP3 profile of SASL (RFC 5034, section 4), which
// DIGEST-MD5 puts in front of the digest-uri (RFC 2831, 2.1.2: serv-type).
// Servers that check the digest-uri refuse any other name, "pop3" included.
constexpr std::string_view kDigestServiceType = "pop";

// The only DIGEST-MD5 variant spoken: md5-sess hashing, authentication only.
constexpr std::string_view kDigestAlgorithm = "md5-sess";
constexpr std::string_view kDigestQop = "auth";

// Each nonce is used once, so the nonce count is always the first.
constexpr std::string_view kDigestNonceCount = "00000001";

// The cnonce is made from a random number in this range (four hex digits).
constexpr int kCnonceRandomMax = 32767;

// Lines a server may send in its AUTH or CAPA list. Real servers send a
// dozen; a peer that never ends its list is not waited for without end.
constexpr size_t kMaxListLines = 1000;

constexpr std::string_view kEstablishedAuth = "POP3 Authentication established";
constexpr std::string_view kEstablishedUser = "POP3 Connection established";

// A lost link yields an empty reply, which fails both tests.
bool BeginsWithOk(std::string_view reply) {
    return StartsWith(reply, "+OK");
}
bool BeginsWithPlus(std::string_view reply) {
    return StartsWith(reply, "+");
}

// Returns the next reply line; "" when the link failed.
std::string Receive(Connection& upstream) {
    std::string line;
    upstream.ReceiveLine(line);
    return line;
}

// The text of a "+ " continuation after its first two characters.
std::string ContinuationData(std::string_view reply) {
    return Base64Decode(reply.size() > 2 ? reply.substr(2) : std::string_view());
}

// Logs the server's refusal (its reply line) and returns 0.
int Refuse(int slot, const std::string& reply) {
    WriteLog(reply, slot, kLogError);
    return 0;
}

// Judges the final reply of an exchange: returns 1 and logs `established`
// when `accepted`, else refuses.
int Conclude(int slot, const std::string& reply, bool accepted, std::string_view established) {
    if (!accepted) return Refuse(slot, reply);
    WriteLog(established, slot, kLogOutcome);
    return 1;
}

// ---- SASL mechanisms -------------------------------------------------------

struct Credentials {
    Connection& upstream;
    const std::string& account;
    const std::string& password;
    const std::string& host;
    int slot = upstream.slot();  // for the log
};

int LoginWithLogin(const Credentials& c) {
    WriteLog("Sending AUTH LOGIN", c.slot, kLogProgress);
    c.upstream.SendLine("AUTH LOGIN");
    std::string reply = Receive(c.upstream);
    if (!BeginsWithPlus(reply)) return Refuse(c.slot, reply);
    WriteLog("Sending Username", c.slot, kLogProgress);
    c.upstream.SendLine(Base64Encode(c.account));
    reply = Receive(c.upstream);
    if (!BeginsWithPlus(reply)) return Refuse(c.slot, reply);
    WriteLog("Sending Password", c.slot, kLogProgress);
    c.upstream.SendLine(Base64Encode(c.password));
    reply = Receive(c.upstream);
    return Conclude(c.slot, reply, BeginsWithOk(reply), kEstablishedAuth);
}

int LoginWithPlain(const Credentials& c) {
    WriteLog("Sending AUTH PLAIN", c.slot, kLogProgress);
    c.upstream.SendLine("AUTH PLAIN");
    std::string reply = Receive(c.upstream);
    if (!BeginsWithPlus(reply)) return Refuse(c.slot, reply);
    // RFC 4616: authorisation identity (empty), NUL, account, NUL, password.
    std::string message;
    message += '\0';
    message += c.account;
    message += '\0';
    message += c.password;
    c.upstream.SendLine(Base64Encode(message));
    reply = Receive(c.upstream);
    return Conclude(c.slot, reply, BeginsWithPlus(reply), kEstablishedAuth);
}

int LoginWithCramMd5(const Credentials& c) {
    WriteLog("Sending AUTH CRAM-MD5", c.slot, kLogProgress);
    c.upstream.SendLine("AUTH CRAM-MD5");
    std::string reply = Receive(c.upstream);
    if (!BeginsWithPlus(reply)) return Refuse(c.slot, reply);
    const std::string challenge = ContinuationData(reply);
    WriteLog("Sending Username/Password", c.slot, kLogProgress);
    c.upstream.SendLine(Base64Encode(c.account + " " + HmacMd5Hex(challenge, c.password)));
    reply = Receive(c.upstream);
    return Conclude(c.slot, reply, BeginsWithPlus(reply), kEstablishedAuth);
}

// A quoted directive value: from just after `name` and its opening quote to
// the next quote or the end of the challenge. Returns false when the name
// does not occur.
bool QuotedDirective(std::string_view challenge, std::string_view name, std::string& value) {
    const size_t at = challenge.find(name);
    if (at == std::string_view::npos) return false;
    const size_t start = at + name.size() + 1;
    if (start >= challenge.size()) {
        value.clear();
        return true;
    }
    const size_t end = challenge.find('"', start);
    value = std::string(challenge.substr(start, end == std::string_view::npos ? end : end - start));
    return true;
}

// A directive value up to the next comma or the end, quotes removed (so a
// quoted list such as "auth,auth-int" yields its first entry). Returns false
// when the name does not occur.
bool TokenDirective(std::string_view challenge, std::string_view name, std::string& value) {
    const size_t at = challenge.find(name);
    if (at == std::string_view::npos) return false;
    const std::string_view rest = challenge.substr(at + name.size());
    value.clear();
    for (char ch : rest.substr(0, rest.find(','))) {
        if (ch != '"') value += ch;
    }
    return true;
}

// The cnonce only has to be unpredictable and differ between logins.
std::string MakeCnonce(std::string_view nonce) {
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<int> pick(1, kCnonceRandomMax);
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", pick(generator));
    return HmacMd5Hex(digits, nonce);
}

int LoginWithDigestMd5(const Credentials& c) {
    const int slot = c.slot;
    Connection& upstream = c.upstream;
    WriteLog("Sending AUTH DIGEST-MD5", slot, kLogProgress);
    upstream.SendLine("AUTH DIGEST-MD5");
    std::string reply = Receive(upstream);
    if (!BeginsWithPlus(reply)) return Refuse(slot, reply);
    const std::string challenge = ContinuationData(reply);
    WriteLog(challenge, slot, kLogDebug);

    // RFC 2831 says an absent realm counts as the empty text in A1.
    std::string realm;
    QuotedDirective(challenge, "realm=", realm);
    std::string nonce;
    if (!QuotedDirective(challenge, "nonce=", nonce)) {
        WriteLog("Missing 'nonce' in Challenge", slot, kLogError);
        return 0;
    }
    std::string algorithm;
    if (!TokenDirective(challenge, "algorithm=", algorithm)) {
        WriteLog("Missing 'algorithm' in Challenge", slot, kLogError);
        return 0;
    }
    if (algorithm != kDigestAlgorithm) {
        WriteLog("Not supportet hash algorithm '" + algorithm + "'", slot, kLogError);
        return 0;
    }
    // A server that names no qop offers "auth" (RFC 2831, 2.1.1).
    std::string qop(kDigestQop);
    TokenDirective(challenge, "qop=", qop);
    if (qop != kDigestQop) {
        WriteLog("Not supportet hash quality protection '" + qop + "'", slot, kLogError);
        return 0;
    }

    const std::string uri = DigestMd5Uri(realm, c.host);
    const std::string cnonce = MakeCnonce(nonce);
    const std::string response = DigestMd5Value(c.account, realm, c.password, nonce, cnonce,
                                                kDigestNonceCount, qop, "AUTHENTICATE:" + uri);
    const std::string answer = "username=\"" + c.account + "\",realm=\"" + realm + "\",nonce=\"" +
                               nonce + "\",nc=" + std::string(kDigestNonceCount) + ",cnonce=\"" +
                               cnonce + "\",digest-uri=\"" + uri + "\",response=" + response +
                               ",qop=" + qop;
    WriteLog("Challenge: " + answer, slot, kLogDebug);
    upstream.SendLine(Base64Encode(answer));
    reply = Receive(upstream);
    if (!BeginsWithPlus(reply)) {
        WriteLog("AUTH/1 Handshake/Client Challenge failure", slot, kLogError);
        return 0;
    }

    // The server proves that it knows the password too (RFC 2831, 2.1.3).
    const std::string proof = ContinuationData(reply);
    constexpr std::string_view kRspauth = "rspauth=";
    if (!StartsWith(proof, kRspauth)) {
        WriteLog("AUTH/2 rspauth failure", slot, kLogError);
        return 0;
    }
    const std::string rspauth = proof.substr(kRspauth.size());
    WriteLog(rspauth, slot, kLogDebug);
    const std::string expected = DigestMd5Value(c.account, realm, c.password, nonce, cnonce,
                                                kDigestNonceCount, qop, ":" + uri);
    if (rspauth != expected) {
        WriteLog("AUTH/2 Response hash failure", slot, kLogError);
        return 0;
    }
    upstream.SendLine("");
    reply = Receive(upstream);
    return Conclude(slot, reply, BeginsWithOk(reply), kEstablishedAuth);
}

using MechanismLogin = int (*)(const Credentials&);

// Indexed by mechanism code.
constexpr MechanismLogin kMechanismLogins[] = {
    nullptr,             // kSaslNone
    LoginWithLogin,      // kSaslLogin
    LoginWithPlain,      // kSaslPlain
    LoginWithDigestMd5,  // kSaslDigestMd5
    LoginWithCramMd5,    // kSaslCramMd5
};

// Mechanism names in rising preference: when several are listed, the last
// one found wins.
struct MechanismName {
    std::string_view name;
    int code;
};
constexpr MechanismName kMechanismNames[] = {
    {"PLAIN", kSaslPlain},
    {"LOGIN", kSaslLogin},
    {"DIGEST-MD5", kSaslDigestMd5},
    {"CRAM-MD5", kSaslCramMd5},
};

// ---- Login methods ---------------------------------------------------------

struct LoginRequest {
    Connection& upstream;
    const std::string& account;
    const std::string& password;
    const std::string& method;
    const std::string& apopStamp;
    const std::string& host;
    int slot = upstream.slot();  // for the log
};

// Reads the lines of an AUTH or CAPA list up to its ".", logging each and
// handing it to `take`. Returns false when the link failed or the list had
// no end in sight.
template <typename Take>
bool ReadList(const LoginRequest& r, Take take) {
    return r.upstream.ReadBlock(kMaxListLines, [&](const std::string& line) {
        WriteLog(line, r.slot, kLogDebug);
        take(line);
        return true;
    });
}

int LoginByAuthList(const LoginRequest& r) {
    r.upstream.SendLine("AUTH");
    const std::string reply = Receive(r.upstream);
    WriteLog(reply, r.slot, kLogDebug);
    if (!BeginsWithOk(reply)) return Refuse(r.slot, reply);
    std::string list;
    const bool complete = ReadList(r, [&list](const std::string& line) {
        list += line;
        list += '\b';
    });
    if (!complete) return 0;
    return SaslLogin(r.upstream, r.account, r.password, ChooseSaslMechanism(r.method, list),
                     r.host);
}

int LoginByCapaList(const LoginRequest& r) {
    r.upstream.SendLine("CAPA");
    const std::string reply = Receive(r.upstream);
    WriteLog(reply, r.slot, kLogDebug);
    if (!BeginsWithOk(reply)) return 0;
    std::string list;
    const bool complete = ReadList(r, [&list](const std::string& line) {
        if (StartsWith(line, "SASL")) list = line.substr(4);
    });
    if (!complete) return 0;
    return SaslLogin(r.upstream, r.account, r.password, ChooseSaslMechanism(r.method, list),
                     r.host);
}

int LoginByName(const LoginRequest& r) {
    return SaslLogin(r.upstream, r.account, r.password, ChooseSaslMechanism(r.method, ""), r.host);
}

int LoginWithApop(const LoginRequest& r) {
    WriteLog("Sending APOP", r.slot, kLogProgress);
    r.upstream.SendLine("APOP " + r.account + " " + Md5Hex(r.apopStamp + r.password));
    const std::string reply = Receive(r.upstream);
    WriteLog(reply, r.slot, kLogDebug);
    return Conclude(r.slot, reply, BeginsWithOk(reply), kEstablishedAuth);
}

int LoginWithUserPass(const LoginRequest& r) {
    // No account: the caller only wanted the connection.
    if (r.account.empty()) {
        WriteLog(kEstablishedUser, r.slot, kLogOutcome);
        return 1;
    }
    WriteLog("Sending USER", r.slot, kLogProgress);
    r.upstream.SendLine("USER " + r.account);
    std::string reply = Receive(r.upstream);
    WriteLog(reply, r.slot, kLogDebug);
    if (!BeginsWithOk(reply)) return Refuse(r.slot, reply);
    WriteLog("Sending PASS", r.slot, kLogProgress);
    r.upstream.SendLine("PASS " + r.password);
    reply = Receive(r.upstream);
    WriteLog(reply, r.slot, kLogDebug);
    return Conclude(r.slot, reply, BeginsWithOk(reply), kEstablishedUser);
}

struct LoginMethod {
    std::string_view name;  // upper case
    int (*login)(const LoginRequest&);
};

// Any method not listed logs in with USER/PASS.
constexpr LoginMethod kLoginMethods[] = {
    {"AUTH", LoginByAuthList}, {"SASL", LoginByCapaList},   {"LOGIN", LoginByName},
    {"PLAIN", LoginByName},    {"DIGEST-MD5", LoginByName}, {"CRAM-MD5", LoginByName},
    {"APOP", LoginWithApop},
};

}  // namespace

int UpstreamLogin(Connection& upstream, const std::string& account, const std::string& password,
                  const std::string& method, const std::string& apopStamp,
                  const std::string& host) {
    if (!upstream.open()) return 0;
    try {
        const LoginRequest request{upstream, account, password, method, apopStamp, host};
        const std::string name = UpperCase(method);
        for (const LoginMethod& entry : kLoginMethods) {
            if (entry.name == name) return entry.login(request);
        }
        return LoginWithUserPass(request);
    } catch (...) {
        return 0;
    }
}

int ChooseSaslMechanism(std::string_view method, std::string_view list) {
    const std::string name = UpperCase(method);
    if (name == "AUTH" || name == "SASL") {
        int code = kSaslNone;
        for (const MechanismName& entry : kMechanismNames) {
            if (list.find(entry.name) != std::string_view::npos) code = entry.code;
        }
        return code;
    }
    for (const MechanismName& entry : kMechanismNames) {
        if (entry.name == name) return entry.code;
    }
    return kSaslNone;
}

int SaslLogin(Connection& upstream, const std::string& account, const std::string& password,
              int code, const std::string& host) {
    if (!upstream.open() || code <= kSaslNone || code >= int(std::size(kMechanismLogins))) return 0;
    try {
        return kMechanismLogins[code](Credentials{upstream, account, password, host});
    } catch (...) {
        return 0;
    }
}

std::string DigestMd5Uri(std::string_view realm, std::string_view host) {
    std::string uri(kDigestServiceType);
    uri += '/';
    uri += host.empty() ? realm : host;
    return uri;
}

std::string DigestMd5Value(std::string_view account, std::string_view realm,
                           std::string_view password, std::string_view nonce,
                           std::string_view cnonce, std::string_view nonceCount,
                           std::string_view qop, std::string_view a2) {
    std::string secret(account);
    secret += ':';
    secret += realm;
    secret += ':';
    secret += password;
    // A1 starts with the 16 raw digest bytes, which may hold zero bytes.
    std::string a1 = Md5Digest(secret);
    a1 += ':';
    a1 += nonce;
    a1 += ':';
    a1 += cnonce;
    std::string text = Md5Hex(a1);
    for (std::string_view part : {nonce, nonceCount, cnonce, qop}) {
        text += ':';
        text += part;
    }
    text += ':';
    text += Md5Hex(a2);
    return Md5Hex(text);
}
