// Runs SASL exchanges without a server: each case is a script of challenges
// and the step expected for each. Also the server's side of DIGEST-MD5, for
// the scripted servers of the protocols' tests.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/md5.h"
#include "sasl/client.h"

namespace sasltest {

using Log = std::vector<std::pair<LogLevel, std::string>>;

inline Log LogOf(const SaslStep& step) {
    Log log;
    for (const SaslLogLine& line : step.log) log.emplace_back(line.level, line.text);
    return log;
}

struct Expected {
    std::string challenge;
    SaslStatus status;
    std::string response;
    Log log;
    std::string refusal = "";  // logged as an error when the server refuses the response
};

inline SaslExchange Exchange(std::string_view mechanism, SaslCredentials credentials,
                             std::string service = "pop", std::string host = "",
                             std::string clientNonce = "") {
    SaslExchange exchange;
    exchange.mechanism = FindSaslMechanism(mechanism, SaslProof::kPassword);
    if (exchange.mechanism == nullptr) {
        exchange.mechanism = FindSaslMechanism(mechanism, SaslProof::kBearerToken);
    }
    exchange.credentials = std::move(credentials);
    exchange.service = std::move(service);
    exchange.host = std::move(host);
    exchange.clientNonce = std::move(clientNonce);
    return exchange;
}

// Feeds the challenges in order and checks every step against its row.
inline void RunScript(SaslExchange exchange, const std::vector<Expected>& script) {
    ASSERT_NE(exchange.mechanism, nullptr);
    for (size_t i = 0; i < script.size(); ++i) {
        SCOPED_TRACE("round " + std::to_string(i));
        const Expected& row = script[i];
        const SaslStep step = SaslNextStep(exchange, row.challenge);
        EXPECT_EQ(step.status, row.status);
        EXPECT_EQ(step.response, row.response);
        EXPECT_EQ(LogOf(step), row.log);
        EXPECT_EQ(step.refusal.text, row.refusal);
        if (!row.refusal.empty()) {
            EXPECT_EQ(step.refusal.level, kLogError);
        }
    }
}

// A mechanism of the tests' own in the way OAuth 2.0's work: the token as
// the initial response, and an error challenge answered with the empty
// response when the table entry says so.
inline SaslStep TokenStep(SaslExchange& exchange, std::string_view challenge) {
    SaslStep step;
    step.status = SaslStatus::kRespondLast;
    if (exchange.round == 0) {
        step.response = exchange.credentials.token;
    } else {
        step.log.push_back({"Error challenge: " + std::string(challenge), kLogError});
    }
    return step;
}
inline constexpr SaslMechanism kToken{.name = "X-TOKEN",
                                      .preference = 0,
                                      .step = TokenStep,
                                      .initialResponse = true,
                                      .answersErrorChallenge = true};
inline constexpr SaslMechanism kTokenWithoutErrorAnswer{
    .name = "X-TOKEN", .preference = 0, .step = TokenStep, .initialResponse = true};

// The directives of a DIGEST-MD5 response, quotes removed.
inline std::map<std::string, std::string> Directives(const std::string& text) {
    std::map<std::string, std::string> values;
    size_t at = 0;
    while (at < text.size()) {
        const size_t equals = text.find('=', at);
        if (equals == std::string::npos) break;
        const std::string name = text.substr(at, equals - at);
        size_t end;
        std::string value;
        if (equals + 1 < text.size() && text[equals + 1] == '"') {
            end = text.find('"', equals + 2);
            value = text.substr(equals + 2, end - equals - 2);
            end = end == std::string::npos ? end : end + 1;
        } else {
            end = text.find(',', equals);
            value = text.substr(equals + 1, end == std::string::npos ? end : end - equals - 1);
        }
        values[name] = value;
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return values;
}

// What a DIGEST-MD5 server computes from the client's directives `d` with
// its own password and realm (RFC 2831, 2.1.2.1): the client's response
// value when `proof` is false, else the rspauth value it proves itself with.
inline std::string ServerDigestValue(std::map<std::string, std::string> d, std::string_view realm,
                                     std::string_view password, bool proof) {
    std::string a1 =
        Md5Digest(d["username"] + ":" + std::string(realm) + ":" + std::string(password));
    a1 += ":" + d["nonce"] + ":" + d["cnonce"];
    const std::string a2 = (proof ? ":" : "AUTHENTICATE:") + d["digest-uri"];
    return Md5Hex(Md5Hex(a1) + ":" + d["nonce"] + ":" + d["nc"] + ":" + d["cnonce"] + ":" +
                  d["qop"] + ":" + Md5Hex(a2));
}

}  // namespace sasltest
