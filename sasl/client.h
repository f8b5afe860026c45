// The client side of the SASL mechanisms (RFC 4422) as challenge -> response
// steps, apart from any protocol's framing. POP3 carries them in AUTH and
// "+ " continuations (RFC 5034), news in AUTHINFO SASL and 383 continuations
// (RFC 4643). The framing names the mechanism, decodes each challenge and
// hands it to SaslNextStep, writes the step's log lines under its session
// number, and sends the response encoded as its protocol wants.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"

// What a login proves itself with. A mechanism takes what it needs: the
// password mechanisms `password`, the OAuth 2.0 ones `token`.
struct SaslCredentials {
    std::string account;   // the authentication identity
    std::string password;  // "" when none
    std::string token;     // an OAuth 2.0 bearer token; "" when none
};

// One line for the log, written by the framing as it stands.
struct SaslLogLine {
    std::string text;
    LogLevel level = kLogProgress;
};

enum class SaslStatus {
    kRespond,      // send `response`; the server answers with a challenge or its verdict
    kRespondLast,  // send `response`; the server's verdict must follow, a challenge refuses
    kAccepted,     // the login counts as accepted; nothing more is sent
    kFailed,       // give up; nothing more is sent, `log` says why
};

// The outcome of one step. `log` is written first, in order, whatever the
// status. When the server refuses a response instead of going on and
// `refusal` has a text, the framing logs `refusal` in place of the server's
// line.
struct SaslStep {
    SaslStatus status = SaslStatus::kFailed;
    std::string response;  // raw bytes, before the framing's encoding
    std::vector<SaslLogLine> log;
    SaslLogLine refusal;
};

struct SaslMechanism;

// What a mechanism proves the login with: the mechanisms of one kind are
// never chosen for a login that holds the other.
enum class SaslProof {
    kPassword,     // the account's password
    kBearerToken,  // an OAuth 2.0 access token
};

// One login: what the mechanism needs and what it keeps between steps.
struct SaslExchange {
    const SaslMechanism* mechanism = nullptr;
    SaslCredentials credentials;
    std::string service;  // the SASL service name: "pop" for POP3, "nntp" for news
    std::string host;     // the server as the user named it; "" stands for the realm
    int port = 0;         // the server's port, for mechanisms that name it; 0 when unknown
    // DIGEST-MD5's client nonce: "" draws 16 random bytes, written as 32
    // lower-case hexadecimal digits, and keeps them here. Tests set it.
    std::string clientNonce;
    int round = 0;         // challenges answered so far
    std::string expected;  // what the server must prove next (DIGEST-MD5's rspauth)
};

using SaslStepFunction = SaslStep (*)(SaslExchange& exchange, std::string_view challenge);

struct SaslMechanism {
    std::string_view name;  // as the server lists it, upper case
    int preference;         // the higher, the sooner chosen from a server's list
    SaslStepFunction step;
    SaslProof proof = SaslProof::kPassword;
    // Round 0 gives the initial response without a challenge, and the
    // framing sends it with the command that names the mechanism.
    bool initialResponse = false;
    // A challenge after a kRespondLast step is an error report the step must
    // answer (as OAuth 2.0's mechanisms do) instead of a refusal.
    bool answersErrorChallenge = false;
};

// Returns every mechanism spoken, in rising preference.
std::span<const SaslMechanism> SaslMechanisms();

// Returns the mechanism of that name (compared without regard to case) that
// proves with `proof`, or nullptr when none such is spoken by that name.
const SaslMechanism* FindSaslMechanism(std::string_view name, SaslProof proof);

// Returns the mechanism of highest preference proving with `proof` whose
// name occurs in `list` (a server's mechanism list in any layout; found as a
// case-sensitive substring), or nullptr when none does.
const SaslMechanism* PreferredSaslMechanism(std::string_view list, SaslProof proof);

// Answers the server's next challenge (decoded; "" when it sent none) and
// counts the round. Returns the mechanism's step; kFailed without log lines
// when the exchange has no mechanism or the step ran out of memory.
SaslStep SaslNextStep(SaslExchange& exchange, std::string_view challenge);

// Returns the APOP digest (RFC 1939): the MD5 of the greeting's time stamp
// ("<...>" included) followed by the password, as 32 lower-case hexadecimal
// digits. APOP is POP3's own; only its digest lives with the mechanisms.
std::string ApopDigest(std::string_view stamp, std::string_view password);
