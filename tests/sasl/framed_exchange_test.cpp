#include "sasl/framed_exchange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A server that never stops challenging, and a mechanism that never stops
// answering: the loop must end on its own.
class EndlessServer final : public SaslFraming {
  public:
    EndlessServer() : SaslFraming("AUTH", 255) {}
    void SendLine(std::string_view line) override { sent.emplace_back(line); }
    SaslReply Receive(SaslStatus) override {
        return {SaslReplyKind::kChallenge, "more", "+ bW9yZQ=="};
    }
    void Refused(std::string_view, const SaslLogLine&) override { ++refusals; }
    void GiveUp() override { ++giveUps; }

    std::vector<std::string> sent;
    int refusals = 0;
    int giveUps = 0;
};

SaslStep AlwaysRespond(SaslExchange&, std::string_view) {
    SaslStep step;
    step.status = SaslStatus::kRespond;
    step.response = "again";
    return step;
}

TEST(SaslFramedExchange, EndlessChallengesAreGivenUpOn) {
    constexpr SaslMechanism kChatty{.name = "X-CHATTY", .preference = 0, .step = AlwaysRespond};
    SaslExchange exchange;
    exchange.mechanism = &kChatty;
    EndlessServer server;
    EXPECT_FALSE(RunSaslExchange(exchange, server, 0));
    EXPECT_EQ(server.giveUps, 1);
    EXPECT_EQ(server.refusals, 0);
    ASSERT_FALSE(server.sent.empty());
    EXPECT_EQ(server.sent.front(), "AUTH X-CHATTY");
    // The command, then one response per round, and a bounded number of them.
    EXPECT_EQ(server.sent.size(), size_t(exchange.round) + 1);
    EXPECT_LE(exchange.round, 16);
}

TEST(SaslFramedExchange, NoMechanismSendsNothing) {
    SaslExchange exchange;
    EndlessServer server;
    EXPECT_FALSE(RunSaslExchange(exchange, server, 0));
    EXPECT_TRUE(server.sent.empty());
}

}  // namespace
