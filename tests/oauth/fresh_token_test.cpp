// A token for a login: unsealed, refreshed when about to run out, stored
// back; one account refreshed once however many sessions ask at once.
#include "oauth/fresh_token.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "oauth_test_support.h"

namespace {

using namespace oauth_test;

constexpr const char* kAccount = "mail.example.org#alice";
constexpr const char* kOtherAccount = "mail.example.org#bob";
constexpr const char* kPassword = "local pass word";

class FreshTokenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GT(provider_.port(), 0) << provider_.failure();
        for (const char* account : {kAccount, kOtherAccount}) {
            ASSERT_NO_FATAL_FAILURE(Add(account));
        }
    }

    // What `oauth2 add` does: a device grant, stored.
    void Add(const std::string& account) {
        VaultEntry entry{{}, provider_.Config()};
        ASSERT_EQ(
            RunDeviceGrant(
                entry.provider, {}, clock_, [](const DevicePrompt&) {}, entry.tokens, failure_),
            GrantResult::kGranted)
            << failure_;
        AccountLock lock;
        ASSERT_EQ(vault_.LockAccount(account, lock, failure_), VaultStatus::kOk) << failure_;
        ASSERT_EQ(vault_.Store(lock, kPassword, entry, failure_), VaultStatus::kOk) << failure_;
        added_[account] = entry.tokens;
    }
    FreshTokenStatus Obtain(const std::string& account, const std::string& password,
                            const HttpOptions& http = {}) {
        return ObtainFreshToken(vault_, account, password, http, clock_, token_, failure_);
    }
    TokenSet Stored(const std::string& account) {
        VaultEntry entry;
        std::string failure;
        EXPECT_EQ(vault_.Unseal(account, kPassword, entry, failure), VaultStatus::kOk) << failure;
        return entry.tokens;
    }
    // Moves the clock to `secondsLeft` before the access token runs out.
    void LeaveSeconds(int64_t secondsLeft) {
        clock_.Advance(added_[kAccount].expiresAt - secondsLeft - clock_.Now());
    }

    IdentityProvider provider_;
    FakeClock clock_;
    TempDir dir_;
    TokenVault vault_{dir_.path() + "data"};
    std::map<std::string, TokenSet> added_;
    FreshToken token_;
    std::string failure_;
};

TEST_F(FreshTokenTest, RefreshedOnlyWithinTheLastMinute) {
    LeaveSeconds(kRefreshMarginSeconds + 1);
    ASSERT_EQ(Obtain(kAccount, kPassword), FreshTokenStatus::kReady) << failure_;
    EXPECT_FALSE(token_.refreshed);
    EXPECT_EQ(token_.accessToken, added_[kAccount].accessToken);
    EXPECT_EQ(provider_.Count("refresh"), 0);

    LeaveSeconds(kRefreshMarginSeconds);
    ASSERT_EQ(Obtain(kAccount, kPassword), FreshTokenStatus::kReady) << failure_;
    EXPECT_TRUE(token_.refreshed);
    EXPECT_TRUE(token_.storeFailure.empty()) << token_.storeFailure;
    EXPECT_EQ(provider_.Count("refresh"), 1);
    EXPECT_NE(token_.accessToken, added_[kAccount].accessToken);
    EXPECT_EQ(token_.expiresAt, clock_.Now() + 3600);
    EXPECT_TRUE(provider_.Introspect(token_.accessToken).value("active", false));

    // The rotated refresh token was stored and is the one the provider takes.
    const TokenSet stored = Stored(kAccount);
    EXPECT_EQ(stored.accessToken, token_.accessToken);
    EXPECT_EQ(stored.expiresAt, token_.expiresAt);
    EXPECT_NE(stored.refreshToken, added_[kAccount].refreshToken);
    clock_.Advance(3600);
    ASSERT_EQ(Obtain(kAccount, kPassword), FreshTokenStatus::kReady) << failure_;
    EXPECT_TRUE(token_.refreshed);
}

TEST_F(FreshTokenTest, WrongPasswordSendsNothing) {
    LeaveSeconds(0);
    EXPECT_EQ(Obtain(kAccount, "not the password"), FreshTokenStatus::kWrongPassword);
    EXPECT_EQ(failure_, "wrong local password for mail.example.org#alice");
    EXPECT_TRUE(token_.accessToken.empty());
    EXPECT_EQ(provider_.Count("refresh"), 0);
    EXPECT_EQ(Obtain("mail.example.org#carol", kPassword), FreshTokenStatus::kNoEntry);
}

TEST_F(FreshTokenTest, RevokedAccessNeedsANewGrant) {
    ASSERT_TRUE(provider_.Revoke(added_[kAccount].refreshToken));
    LeaveSeconds(0);
    EXPECT_EQ(Obtain(kAccount, kPassword), FreshTokenStatus::kRevoked);
    EXPECT_EQ(failure_, "the identity provider no longer takes the refresh token: invalid_grant");
    EXPECT_TRUE(token_.accessToken.empty());
    EXPECT_EQ(Stored(kAccount).refreshToken, added_[kAccount].refreshToken);
}

TEST_F(FreshTokenTest, ProviderDownOrSlowLeavesTheEntry) {
    LeaveSeconds(10);
    ASSERT_TRUE(provider_.Configure({{"delay_seconds", "5"}}));
    HttpOptions hurried;
    hurried.totalTimeoutMs = 300;
    EXPECT_EQ(Obtain(kAccount, kPassword, hurried), FreshTokenStatus::kProviderFailed);
    EXPECT_EQ(failure_.rfind("no answer in time from the identity provider", 0), 0u) << failure_;

    provider_.Stop();
    EXPECT_EQ(Obtain(kAccount, kPassword), FreshTokenStatus::kProviderFailed);
    EXPECT_EQ(failure_.rfind("cannot reach the identity provider", 0), 0u) << failure_;
    EXPECT_TRUE(token_.accessToken.empty());
    const TokenSet stored = Stored(kAccount);
    EXPECT_EQ(stored.accessToken, added_[kAccount].accessToken);
    EXPECT_EQ(stored.refreshToken, added_[kAccount].refreshToken);
}

// Sessions per account logging in at once; two accounts, so that the two
// accounts' stores also meet in the one file.
constexpr int kSessionsPerAccount = 4;

TEST_F(FreshTokenTest, ConcurrentLoginsRefreshOnce) {
    LeaveSeconds(0);
    clock_.Advance(added_[kOtherAccount].expiresAt - clock_.Now());
    struct Outcome {
        FreshTokenStatus status = FreshTokenStatus::kVaultFailed;
        FreshToken token;
        std::string failure;
    };
    std::vector<Outcome> outcomes(2 * kSessionsPerAccount);
    std::vector<std::thread> sessions;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        sessions.emplace_back([this, i, &outcomes] {
            Outcome& outcome = outcomes[i];
            outcome.status =
                ObtainFreshToken(vault_, i % 2 == 0 ? kAccount : kOtherAccount, kPassword, {},
                                 clock_, outcome.token, outcome.failure);
        });
    }
    for (std::thread& session : sessions) session.join();

    EXPECT_EQ(provider_.Count("refresh"), 2);
    for (size_t i = 0; i < outcomes.size(); ++i) {
        ASSERT_EQ(outcomes[i].status, FreshTokenStatus::kReady) << i << ": " << outcomes[i].failure;
        EXPECT_EQ(outcomes[i].token.accessToken, outcomes[i % 2].token.accessToken) << i;
    }
    // Each account's stored refresh token is the one the provider issued
    // last, which it still takes.
    for (const char* account : {kAccount, kOtherAccount}) {
        const TokenSet stored = Stored(account);
        TokenSet renewed;
        std::string failure;
        EXPECT_EQ(
            RefreshTokens(provider_.Config(), {}, clock_, stored.refreshToken, renewed, failure),
            GrantResult::kGranted)
            << account << ": " << failure;
    }
}

}  // namespace
