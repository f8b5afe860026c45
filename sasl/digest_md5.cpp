#include "sasl/digest_md5.h"

#include <openssl/rand.h>

#include <string>

#include "codec/hex.h"
#include "codec/md5.h"
#include "core/secret_text.h"
#include "core/text.h"

namespace {

// The only variant spoken: md5-sess hashing, authentication only.
constexpr std::string_view kAlgorithm = "md5-sess";
constexpr std::string_view kQop = "auth";

// Each nonce is used once, so the nonce count is always the first.
constexpr std::string_view kNonceCount = "00000001";

// The client nonce has as many random bits as an MD5 digest.
constexpr int kClientNonceBytes = 16;

constexpr std::string_view kProofPrefix = "rspauth=";

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

// The response value with md5-sess (RFC 2831, 2.1.2.1). `a2` is
// "AUTHENTICATE:" + digest-uri for the client's response and ":" + digest-uri
// for the rspauth value the server must answer with.
std::string ResponseValue(const SaslExchange& exchange, std::string_view realm,
                          std::string_view nonce, std::string_view a2) {
    const SaslCredentials& c = exchange.credentials;
    // A1 starts with the 16 raw digest bytes, which may hold zero bytes.
    std::string a1 = Md5Digest(c.account + ":" + std::string(realm) + ":" + c.password);
    for (std::string_view part : {nonce, std::string_view(exchange.clientNonce)}) {
        a1 += ':';
        a1 += part;
    }
    std::string text = Md5Hex(a1);
    for (std::string_view part :
         {nonce, kNonceCount, std::string_view(exchange.clientNonce), kQop}) {
        text += ':';
        text += part;
    }
    text += ':';
    text += Md5Hex(a2);
    return Md5Hex(text);
}

// Returns false when OpenSSL's generator has no random bytes to give.
bool DrawClientNonce(std::string& nonce) {
    unsigned char bytes[kClientNonceBytes];
    if (RAND_bytes(bytes, kClientNonceBytes) != 1) return false;
    nonce = LowerHex(std::string_view(reinterpret_cast<const char*>(bytes), kClientNonceBytes));
    return true;
}

SaslStep Fail(SaslStep step, std::string text) {
    step.status = SaslStatus::kFailed;
    step.log.push_back({std::move(text), kLogError});
    return step;
}

SaslStep AnswerChallenge(SaslExchange& exchange, std::string_view challenge) {
    SaslStep step;
    step.log.push_back({std::string(challenge), kLogDebug});
    // RFC 2831 says an absent realm counts as the empty text in A1.
    std::string realm;
    QuotedDirective(challenge, "realm=", realm);
    std::string nonce;
    if (!QuotedDirective(challenge, "nonce=", nonce)) {
        return Fail(std::move(step), "Missing 'nonce' in Challenge");
    }
    std::string algorithm;
    if (!TokenDirective(challenge, "algorithm=", algorithm)) {
        return Fail(std::move(step), "Missing 'algorithm' in Challenge");
    }
    if (algorithm != kAlgorithm) {
        return Fail(std::move(step), "Not supportet hash algorithm '" + algorithm + "'");
    }
    // A server that names no qop offers "auth" (RFC 2831, 2.1.1).
    std::string qop(kQop);
    TokenDirective(challenge, "qop=", qop);
    if (qop != kQop) {
        return Fail(std::move(step), "Not supportet hash quality protection '" + qop + "'");
    }
    if (exchange.clientNonce.empty() && !DrawClientNonce(exchange.clientNonce)) {
        return Fail(std::move(step), "No random bytes for the DIGEST-MD5 client nonce");
    }

    // The service name goes in front of the digest-uri (RFC 2831, 2.1.2:
    // serv-type); servers that check it refuse any other name.
    const std::string uri =
        exchange.service + "/" + (exchange.host.empty() ? realm : exchange.host);
    const std::string response = ResponseValue(exchange, realm, nonce, "AUTHENTICATE:" + uri);
    exchange.expected = ResponseValue(exchange, realm, nonce, ":" + uri);
    step.response = "username=\"" + exchange.credentials.account + "\",realm=\"" + realm +
                    "\",nonce=\"" + nonce + "\",nc=" + std::string(kNonceCount) + ",cnonce=\"" +
                    exchange.clientNonce + "\",digest-uri=\"" + uri + "\",response=" + response +
                    ",qop=" + qop;
    // The response value and the server's proof are digests of the
    // password: worth a dictionary attack, so the log does not keep them.
    step.log.push_back(
        {"Challenge: " + std::string(step.response, 0, step.response.find(",response=")) +
             ",response=" + std::string(kSecretMask) + ",qop=" + qop,
         kLogDebug});
    step.status = SaslStatus::kRespond;
    step.refusal = {"AUTH/1 Handshake/Client Challenge failure", kLogError};
    return step;
}

// The server proves that it knows the password too (RFC 2831, 2.1.3).
SaslStep CheckProof(const SaslExchange& exchange, std::string_view challenge) {
    SaslStep step;
    if (!StartsWith(challenge, kProofPrefix))
        return Fail(std::move(step), "AUTH/2 rspauth failure");
    const std::string_view proof = challenge.substr(kProofPrefix.size());
    step.log.push_back({std::string(kProofPrefix) + std::string(kSecretMask), kLogDebug});
    // No proof is expected when the challenge was never answered.
    if (exchange.expected.empty() || proof != exchange.expected) {
        return Fail(std::move(step), "AUTH/2 Response hash failure");
    }
    step.status = SaslStatus::kRespondLast;
    return step;
}

}  // namespace

SaslStep DigestMd5Step(SaslExchange& exchange, std::string_view challenge) {
    if (exchange.round == 0) return AnswerChallenge(exchange, challenge);
    if (exchange.round == 1) return CheckProof(exchange, challenge);
    return SaslStep{};
}
