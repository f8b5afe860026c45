// The vault a login reads is the one `trawlbox oauth2 add` wrote: in DataDir,
// or without it in the configuration directory, not wherever the service
// happens to run.
#include "oauth/login_token.h"

#include <gtest/gtest.h>

#include "core/settings.h"
#include "core/temp_dir.h"
#include "oauth/vault.h"
#include "platform/clock.h"

namespace {

constexpr const char* kPassword = "local pass word";
constexpr int64_t kGoodForSeconds = 3600;  // far from the renewal a minute before the end

void Store(const std::string& directory, const std::string& accessToken) {
    TokenVault vault(directory);
    AccountLock lock;
    std::string failure;
    ASSERT_EQ(vault.LockAccount("mail.example.org#alice", lock, failure), VaultStatus::kOk);
    VaultEntry entry;
    entry.tokens = {accessToken, UnixSeconds() + kGoodForSeconds, "refresh"};
    entry.provider = {"http://127.0.0.1:9/device", "http://127.0.0.1:9/token", "mail", "id", ""};
    ASSERT_EQ(vault.Store(lock, kPassword, entry, failure), VaultStatus::kOk) << failure;
}

TEST(LoginTokenTest, VaultInDataDirElseInTheConfigurationDirectory) {
    TempDir configuration;
    TempDir data;
    ASSERT_NO_FATAL_FAILURE(Store(configuration.path(), "token-beside-the-configuration"));
    ASSERT_NO_FATAL_FAILURE(Store(data.path(), "token-in-data-dir"));
    const std::string saved = ProgramDirectory;
    ProgramDirectory = configuration.path();
    std::string token;
    EXPECT_TRUE(TokenForLogin({"", ""}, "mail.example.org", "alice", kPassword, 0, token));
    EXPECT_EQ(token, "token-beside-the-configuration");
    EXPECT_TRUE(TokenForLogin({data.path(), ""}, "mail.example.org", "alice", kPassword, 0, token));
    EXPECT_EQ(token, "token-in-data-dir");
    ProgramDirectory = saved;
}

}  // namespace
