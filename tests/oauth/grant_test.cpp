// The device grant and the refresh against the fixture provider, with a
// clock that moves only when the grant sleeps.
#include "oauth/grant.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <vector>

#include "oauth_test_support.h"

namespace {

using namespace oauth_test;

class GrantTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_GT(provider_.port(), 0) << provider_.failure(); }

    GrantResult Device(const ProviderConfig& config) {
        return RunDeviceGrant(
            config, {}, clock_, [this](const DevicePrompt& prompt) { prompts_.push_back(prompt); },
            tokens_, failure_);
    }
    GrantResult Device() { return Device(provider_.Config()); }

    // The code grant, with a browser that opens the printed URL at once
    // and follows the provider's redirect back to the loopback port.
    // The browser here comes back within milliseconds; a fault waits this long.
    static constexpr int kBrowserWaitSeconds = 30;
    GrantResult Code(int waitSeconds = kBrowserWaitSeconds, bool browse = true) {
        ProviderConfig config = provider_.Config();
        config.grant = GrantKind::kCode;
        config.authUrl = provider_.Url("/authorize");
        config.clientSecret = "s3cret";
        config.authorizationExtras = {{"access_type", "offline"}};
        return RunCodeGrant(
            config, {}, clock_,
            [&](const AuthorizationPrompt& prompt) {
                authorizations_.push_back(prompt);
                if (browse) page_ = Browse(prompt.url);
            },
            tokens_, failure_, waitSeconds);
    }
    // Returns the body of the page the browser ends on; "" when none.
    static std::string Browse(const std::string& url) {
        const size_t path = url.find('/', url.find("://") + 3);
        httplib::Client browser(url.substr(0, path));
        browser.set_follow_location(true);
        const httplib::Result result = browser.Get(url.substr(path));
        return result ? result->body : "";
    }
    GrantResult Refresh(const std::string& refreshToken) {
        return RefreshTokens(provider_.Config(), {}, clock_, refreshToken, tokens_, failure_);
    }
    bool Active(const std::string& accessToken) const {
        return provider_.Introspect(accessToken).value("active", false);
    }

    IdentityProvider provider_;
    FakeClock clock_;
    std::vector<DevicePrompt> prompts_;
    std::vector<AuthorizationPrompt> authorizations_;
    std::string page_;
    TokenSet tokens_;
    std::string failure_;
};

TEST_F(GrantTest, DeviceFlowPendingThenApproved) {
    ASSERT_TRUE(provider_.Configure({{"pending_polls", "2"}}));
    ProviderConfig config = provider_.Config();
    config.clientSecret = "s3cret";
    ASSERT_EQ(Device(config), GrantResult::kGranted) << failure_;

    ASSERT_EQ(prompts_.size(), 1u);
    const DevicePrompt& prompt = prompts_[0];
    EXPECT_EQ(prompt.verificationUri, provider_.Url("/activate"));
    EXPECT_EQ(prompt.userCode.size(), 9u);
    EXPECT_EQ(prompt.verificationUriComplete, prompt.verificationUri + "?code=" + prompt.userCode);
    EXPECT_EQ(prompt.expiresAt, FakeClock::kStart + 900);

    EXPECT_EQ(clock_.sleeps(), (std::vector<int64_t>{5, 5, 5}));
    EXPECT_EQ(provider_.Count("poll"), 3);
    EXPECT_EQ(tokens_.accessToken.rfind("at-", 0), 0u);
    EXPECT_EQ(tokens_.refreshToken.rfind("rt-", 0), 0u);
    EXPECT_EQ(tokens_.expiresAt, FakeClock::kStart + 15 + 3600);
    EXPECT_TRUE(Active(tokens_.accessToken));

    // The secret goes to the token endpoint only.
    const nlohmann::json device = provider_.LastFields("device");
    EXPECT_EQ(device.value("client_id", ""), kClientId);
    EXPECT_EQ(device.value("scope", ""), "mail offline_access");
    EXPECT_FALSE(device.contains("client_secret"));
    const nlohmann::json poll = provider_.LastFields("poll");
    EXPECT_EQ(poll.value("grant_type", ""), "urn:ietf:params:oauth:grant-type:device_code");
    EXPECT_EQ(poll.value("client_secret", ""), "s3cret");
}

TEST_F(GrantTest, SlowDownAddsFiveSecondsEachTime) {
    ASSERT_TRUE(provider_.Configure({{"slow_down_polls", "2"},
                                     {"pending_polls", "1"},
                                     {"interval", "3"},
                                     {"complete_uri", "0"}}));
    ASSERT_EQ(Device(), GrantResult::kGranted) << failure_;
    EXPECT_EQ(clock_.sleeps(), (std::vector<int64_t>{3, 8, 13, 13}));
    ASSERT_EQ(prompts_.size(), 1u);
    EXPECT_EQ(prompts_[0].verificationUriComplete, "");
}

TEST_F(GrantTest, RefusedByTheUser) {
    for (const char* error : {"access_denied", "authorization_declined"}) {
        ASSERT_TRUE(provider_.Configure({{"outcome", "deny"}, {"deny_error", error}}));
        EXPECT_EQ(Device(), GrantResult::kDenied) << error;
        EXPECT_EQ(failure_, "access was refused at the identity provider: " + std::string(error) +
                                " (the user declined)");
        EXPECT_TRUE(tokens_.accessToken.empty());
    }
}

TEST_F(GrantTest, CodeExpires) {
    // By the provider's word.
    ASSERT_TRUE(provider_.Configure({{"outcome", "expire"}, {"pending_polls", "1"}}));
    EXPECT_EQ(Device(), GrantResult::kExpired);
    EXPECT_EQ(failure_, "the code expired at the identity provider before it was approved");

    // By the clock: polls at 5 and 10 s, and none at 15 s, past the 12 s
    // the code lives.
    ASSERT_TRUE(provider_.Configure({{"outcome", "never"}, {"device_expires_in", "12"}}));
    const int pollsBefore = provider_.Count("poll");
    EXPECT_EQ(Device(), GrantResult::kExpired);
    EXPECT_EQ(failure_, "the code expired before it was approved");
    EXPECT_EQ(provider_.Count("poll") - pollsBefore, 2);
}

TEST_F(GrantTest, GrantWithoutRefreshTokenIsRefused) {
    ASSERT_TRUE(provider_.Configure({{"issue_refresh", "0"}}));
    EXPECT_EQ(Device(), GrantResult::kProviderError);
    EXPECT_EQ(failure_,
              "the identity provider granted no refresh token (does the scope ask for offline "
              "access?)");
    EXPECT_TRUE(tokens_.accessToken.empty());
}

TEST_F(GrantTest, ProviderDownOrSlow) {
    ProviderConfig down = provider_.Config();
    down.deviceUrl = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/device";
    EXPECT_EQ(Device(down), GrantResult::kUnreachable);
    EXPECT_EQ(failure_.rfind("cannot reach the identity provider at 127.0.0.1:", 0), 0u)
        << failure_;
    EXPECT_TRUE(prompts_.empty());

    ASSERT_TRUE(provider_.Configure({{"delay_seconds", "5"}}));
    HttpOptions hurried;
    hurried.totalTimeoutMs = 300;
    EXPECT_EQ(RefreshTokens(provider_.Config(), hurried, clock_, "rt-any", tokens_, failure_),
              GrantResult::kUnreachable);
    EXPECT_EQ(failure_.rfind("no answer in time from the identity provider", 0), 0u) << failure_;
}

TEST_F(GrantTest, CodeGrantWithPkceBringsTokens) {
    ASSERT_EQ(Code(), GrantResult::kGranted) << failure_;
    EXPECT_EQ(tokens_.refreshToken.rfind("rt-", 0), 0u);
    EXPECT_TRUE(Active(tokens_.accessToken));
    EXPECT_NE(page_.find("You may close this window"), std::string::npos) << page_;

    ASSERT_EQ(authorizations_.size(), 1u);
    const std::string redirect =
        "http://127.0.0.1:" + std::to_string(authorizations_[0].port) + "/";
    const nlohmann::json asked = provider_.LastFields("authorize");
    EXPECT_EQ(asked.value("response_type", ""), "code");
    EXPECT_EQ(asked.value("client_id", ""), kClientId);
    EXPECT_EQ(asked.value("redirect_uri", ""), redirect);
    EXPECT_EQ(asked.value("scope", ""), "mail offline_access");
    EXPECT_EQ(asked.value("code_challenge_method", ""), "S256");
    EXPECT_EQ(asked.value("code_challenge", "").size(), 43u);
    EXPECT_EQ(asked.value("access_type", ""), "offline");
    EXPECT_FALSE(asked.contains("client_secret"));
    // The fixture refuses a verifier that does not hash to the challenge,
    // so the grant above proves the pair; the verifier stays off the URL.
    const nlohmann::json traded = provider_.LastFields("code");
    EXPECT_EQ(traded.value("redirect_uri", ""), redirect);
    EXPECT_EQ(traded.value("client_secret", ""), "s3cret");
    EXPECT_EQ(traded.value("code_verifier", "").size(), 43u);
    EXPECT_EQ(authorizations_[0].url.find(traded.value("code_verifier", "")), std::string::npos);

    // Each grant has a state and verifier of its own.
    ASSERT_EQ(Code(), GrantResult::kGranted) << failure_;
    EXPECT_NE(provider_.LastFields("authorize").value("state", ""), asked.value("state", ""));
    EXPECT_NE(provider_.LastFields("code").value("code_verifier", ""),
              traded.value("code_verifier", ""));
}

TEST_F(GrantTest, CodeGrantRefusals) {
    ASSERT_TRUE(provider_.Configure({{"authorize_outcome", "deny"}}));
    EXPECT_EQ(Code(), GrantResult::kDenied);
    EXPECT_EQ(failure_, "access was refused at the identity provider: access_denied");

    // An answer to another request is not traded, whatever it carries.
    ASSERT_TRUE(provider_.Configure({{"authorize_outcome", "other_state"}}));
    EXPECT_EQ(Code(), GrantResult::kProviderError);
    EXPECT_EQ(failure_,
              "the browser came back with the answer to another request (its state does not "
              "match)");
    EXPECT_EQ(provider_.Count("code"), 0);

    ASSERT_TRUE(provider_.Configure({{"authorize_outcome", "approve"}}));
    EXPECT_EQ(Code(2, false), GrantResult::kExpired);
    EXPECT_EQ(failure_, "the browser did not come back within 2 seconds");
    EXPECT_TRUE(tokens_.accessToken.empty());
}

TEST_F(GrantTest, RefreshRotatesAndTheOldTokenDies) {
    ASSERT_EQ(Device(), GrantResult::kGranted) << failure_;
    const TokenSet first = tokens_;
    clock_.Advance(4000);

    ASSERT_EQ(Refresh(first.refreshToken), GrantResult::kGranted) << failure_;
    const TokenSet second = tokens_;
    EXPECT_NE(second.refreshToken, first.refreshToken);
    EXPECT_NE(second.accessToken, first.accessToken);
    EXPECT_EQ(second.expiresAt, clock_.Now() + 3600);
    EXPECT_TRUE(Active(second.accessToken));
    const nlohmann::json sent = provider_.LastFields("refresh");
    EXPECT_EQ(sent.value("client_id", ""), kClientId);
    EXPECT_EQ(sent.value("scope", ""), "mail offline_access");

    EXPECT_EQ(Refresh(first.refreshToken), GrantResult::kInvalidGrant);
    EXPECT_EQ(failure_, "the identity provider no longer takes the refresh token: invalid_grant");
    EXPECT_EQ(Refresh(second.refreshToken), GrantResult::kGranted) << failure_;
}

TEST_F(GrantTest, RefreshWithoutRotationKeepsTheRefreshToken) {
    ASSERT_TRUE(provider_.Configure({{"rotate", "0"}}));
    ASSERT_EQ(Device(), GrantResult::kGranted) << failure_;
    const std::string refresh = tokens_.refreshToken;
    ASSERT_EQ(Refresh(refresh), GrantResult::kGranted) << failure_;
    EXPECT_EQ(tokens_.refreshToken, refresh);
}

TEST_F(GrantTest, RevokedAccessAndEchoedTokenHidden) {
    ASSERT_EQ(Device(), GrantResult::kGranted) << failure_;
    const TokenSet granted = tokens_;
    ASSERT_TRUE(provider_.Revoke(granted.refreshToken));
    EXPECT_FALSE(Active(granted.accessToken));

    // A careless provider repeats the token in its refusal.
    ASSERT_TRUE(provider_.Configure({{"echo_token_in_error", "1"}}));
    EXPECT_EQ(Refresh(granted.refreshToken), GrantResult::kInvalidGrant);
    EXPECT_EQ(failure_,
              "the identity provider no longer takes the refresh token: invalid_grant (the token "
              "[hidden] is not good)");
    EXPECT_TRUE(tokens_.refreshToken.empty());
}

}  // namespace
