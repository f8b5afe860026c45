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

// In rising preference; the numbers leave room for the OAuth 2.0 entries.
// None of these sends an initial response: servers that take one still
// start with a challenge, and each exchange stays as it always was.
constexpr SaslMechanism kMechanisms[] = {
    {.name = "PLAIN", .preference = 10, .step = PlainStep},
    {.name = "LOGIN", .preference = 20, .step = LoginStep},
    {.name = "DIGEST-MD5", .preference = 30, .step = DigestMd5Step},
    {.name = "CRAM-MD5", .preference = 40, .step = CramMd5Step},
};

}  // namespace

std::span<const SaslMechanism> SaslMechanisms() {
    return kMechanisms;
}

const SaslMechanism* FindSaslMechanism(std::string_view name) {
    const std::string wanted = UpperCase(name);
    for (const SaslMechanism& mechanism : kMechanisms) {
        if (mechanism.name == wanted) return &mechanism;
    }
    return nullptr;
}

const SaslMechanism* PreferredSaslMechanism(std::string_view list) {
    const SaslMechanism* best = nullptr;
    for (const SaslMechanism& mechanism : kMechanisms) {
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
