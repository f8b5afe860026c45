#include "sasl/client.h"

#include <new>

#include "codec/md5.h"
#include "core/text.h"
#include "sasl/digest_md5.h"

namespace {

SaslStep Respond(SaslStatus status, std::string response, std::string_view logText = {}) {
    SaslStep step;
    step.status = status;
    step.response = std::move(response);
    if (!logText.empty()) step.log.push_back({std::string(logText), kLogProgress});
    return step;
}

// PLAIN and CRAM-MD5 have said all they have to say with their one response.
// A server that goes on with a challenge instead of its verdict is taken as
// having accepted, as the POP3 login has always taken any "+" there.
SaslStep AcceptedAfterOneResponse() {
    SaslStep step;
    step.status = SaslStatus::kAccepted;
    return step;
}

SaslStep PlainStep(SaslExchange& exchange, std::string_view) {
    if (exchange.round > 0) return AcceptedAfterOneResponse();
    // RFC 4616: authorisation identity (empty: the account's own), NUL,
    // account, NUL, password.
    const SaslCredentials& c = exchange.credentials;
    std::string message;
    message += '\0';
    message += c.account;
    message += '\0';
    message += c.password;
    return Respond(SaslStatus::kRespond, std::move(message));
}

// LOGIN (never more than a draft): servers prompt "Username:" and
// "Password:", which are not looked at; a third prompt is not answered.
SaslStep LoginStep(SaslExchange& exchange, std::string_view) {
    const SaslCredentials& c = exchange.credentials;
    if (exchange.round == 0) return Respond(SaslStatus::kRespond, c.account, "Sending Username");
    if (exchange.round == 1) {
        return Respond(SaslStatus::kRespondLast, c.password, "Sending Password");
    }
    return SaslStep{};
}

SaslStep CramMd5Step(SaslExchange& exchange, std::string_view challenge) {
    // RFC 2195: the password keys the HMAC over the challenge.
    if (exchange.round > 0) return AcceptedAfterOneResponse();
    const SaslCredentials& c = exchange.credentials;
    return Respond(SaslStatus::kRespond, c.account + " " + HmacMd5Hex(challenge, c.password),
                   "Sending Username/Password");
}

// Servers report a refused token in a challenge holding a JSON object; the
// log shows this much of it, enough for its status and scope.
constexpr size_t kMaxErrorReportBytes = 200;

SaslStep TokenRefused(std::string_view challenge, std::string response) {
    SaslStep step = Respond(SaslStatus::kRespondLast, std::move(response));
    std::string report(challenge.substr(0, kMaxErrorReportBytes));
    for (char& c : report) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    step.log.push_back({"Token refused: " + report, kLogFailure});
    return step;
}

// XOAUTH2: one initial response; a refused token comes back as an error
// challenge, which is answered with an empty response so that the server
// can send its verdict.
SaslStep Xoauth2Step(SaslExchange& exchange, std::string_view challenge) {
    const SaslCredentials& c = exchange.credentials;
    if (exchange.round == 0) {
        return Respond(SaslStatus::kRespondLast, "user=" + c.account +
                                                     "\x01"
                                                     "auth=Bearer " +
                                                     c.token + "\x01\x01");
    }
    if (exchange.round == 1) return TokenRefused(challenge, "");
    return SaslStep{};
}

// RFC 7628, 3.1: the GS2 header's authzid is a saslname, in which "=" and
// "," are written as "=3D" and "=2C".
std::string SaslName(std::string_view account) {
    std::string name;
    for (char c : account) {
        if (c == '=') {
            name += "=3D";
        } else if (c == ',') {
            name += "=2C";
        } else {
            name += c;
        }
    }
    return name;
}

// OAUTHBEARER (RFC 7628): the GS2 header names the account, the key/value
// pairs the server and the token. An error challenge is answered with the
// single ^A the RFC prescribes (3.2.3).
SaslStep OauthBearerStep(SaslExchange& exchange, std::string_view challenge) {
    const SaslCredentials& c = exchange.credentials;
    if (exchange.round == 0) {
        std::string message = "n,a=" + SaslName(c.account) + ",\x01";
        if (!exchange.host.empty()) message += "host=" + exchange.host + "\x01";
        if (exchange.port > 0) message += "port=" + std::to_string(exchange.port) + "\x01";
        message += "auth=Bearer " + c.token + "\x01\x01";
        return Respond(SaslStatus::kRespondLast, std::move(message));
    }
    if (exchange.round == 1) return TokenRefused(challenge, "\x01");
    return SaslStep{};
}

// In rising preference. The password mechanisms send no initial response:
// servers that take one still start with a challenge, and each exchange
// stays as it always was. The token mechanisms send theirs at once, and
// OAUTHBEARER, the standard one, comes before XOAUTH2.
constexpr SaslMechanism kMechanisms[] = {
    {.name = "PLAIN", .preference = 10, .step = PlainStep},
    {.name = "LOGIN", .preference = 20, .step = LoginStep},
    {.name = "DIGEST-MD5", .preference = 30, .step = DigestMd5Step},
    {.name = "CRAM-MD5", .preference = 40, .step = CramMd5Step},
    {.name = "XOAUTH2",
     .preference = 50,
     .step = Xoauth2Step,
     .proof = SaslProof::kBearerToken,
     .initialResponse = true,
     .answersErrorChallenge = true},
    {.name = "OAUTHBEARER",
     .preference = 60,
     .step = OauthBearerStep,
     .proof = SaslProof::kBearerToken,
     .initialResponse = true,
     .answersErrorChallenge = true},
};

}  // namespace

std::span<const SaslMechanism> SaslMechanisms() {
    return kMechanisms;
}

const SaslMechanism* FindSaslMechanism(std::string_view name, SaslProof proof) {
    const std::string wanted = UpperCase(name);
    for (const SaslMechanism& mechanism : kMechanisms) {
        if (mechanism.proof == proof && mechanism.name == wanted) return &mechanism;
    }
    return nullptr;
}

const SaslMechanism* PreferredSaslMechanism(std::string_view list, SaslProof proof) {
    const SaslMechanism* best = nullptr;
    for (const SaslMechanism& mechanism : kMechanisms) {
        if (mechanism.proof != proof) continue;
        if (list.find(mechanism.name) == std::string_view::npos) continue;
        if (best == nullptr || mechanism.preference > best->preference) best = &mechanism;
    }
    return best;
}

SaslStep SaslNextStep(SaslExchange& exchange, std::string_view challenge) {
    if (exchange.mechanism == nullptr) return SaslStep{};
    try {
        SaslStep step = exchange.mechanism->step(exchange, challenge);
        ++exchange.round;
        return step;
    } catch (const std::bad_alloc&) {
        return SaslStep{};
    }
}

std::string ApopDigest(std::string_view stamp, std::string_view password) {
    std::string text(stamp);
    text += password;
    return Md5Hex(text);
}
