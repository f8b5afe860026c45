// Runs SASL exchanges without a server: each case is a script of challenges
// and the step expected for each.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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
    exchange.mechanism = FindSaslMechanism(mechanism);
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

}  // namespace sasltest
