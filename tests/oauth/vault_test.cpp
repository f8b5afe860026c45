// The token vault: sealing, what the file shows, damaged and altered files,
// and the account locks between threads and processes.
#include "oauth/vault.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/temp_dir.h"
#include "platform/clock.h"

namespace {

constexpr const char* kAlice = "mail.example.org#alice";
constexpr const char* kBob = "mail.example.org#bob";
constexpr const char* kPassword = "local pass word";

VaultEntry SampleEntry(const std::string& mark) {
    return VaultEntry{{"at-ACCESS-" + mark + "-0123456789abcdef", 1'700'003'600,
                       "rt-REFRESH-" + mark + "-0123456789abcdef"},
                      {"https://idp.example.org/device", "https://idp.example.org/token",
                       "mail offline_access", "client-" + mark, "cs-SECRET-" + mark + "-42424242"}};
}

std::string Base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    text.resize(size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       int(bytes.size()))));
    return text;
}

class VaultTest : public ::testing::Test {
  protected:
    VaultStatus Store(const std::string& account, const std::string& password,
                      const VaultEntry& entry) {
        AccountLock lock;
        const VaultStatus locked = vault_.LockAccount(account, lock, failure_);
        if (locked != VaultStatus::kOk) return locked;
        return vault_.Store(lock, password, entry, failure_);
    }
    VaultStatus Remove(const std::string& account) {
        AccountLock lock;
        const VaultStatus locked = vault_.LockAccount(account, lock, failure_);
        if (locked != VaultStatus::kOk) return locked;
        return vault_.Remove(lock, failure_);
    }
    VaultStatus Unseal(const std::string& account, const std::string& password) {
        return vault_.Unseal(account, password, opened_, failure_);
    }
    std::string FileText() const { return dir_.Read("data/" + std::string(kVaultFileName)); }
    void WriteFileText(const std::string& text) const {
        dir_.Write("data/" + std::string(kVaultFileName), text);
    }

    TempDir dir_;
    TokenVault vault_{dir_.path() + "data"};
    VaultEntry opened_;
    std::string failure_;
};

TEST_F(VaultTest, SealsAndOpensWithThePassword) {
    const VaultEntry entry = SampleEntry("a");
    ASSERT_EQ(Store(kAlice, kPassword, entry), VaultStatus::kOk) << failure_;
    ASSERT_EQ(Unseal(kAlice, kPassword), VaultStatus::kOk) << failure_;
    EXPECT_EQ(opened_.tokens.accessToken, entry.tokens.accessToken);
    EXPECT_EQ(opened_.tokens.refreshToken, entry.tokens.refreshToken);
    EXPECT_EQ(opened_.tokens.expiresAt, entry.tokens.expiresAt);
    EXPECT_EQ(opened_.provider.deviceUrl, entry.provider.deviceUrl);
    EXPECT_EQ(opened_.provider.tokenUrl, entry.provider.tokenUrl);
    EXPECT_EQ(opened_.provider.scope, entry.provider.scope);
    EXPECT_EQ(opened_.provider.clientId, entry.provider.clientId);
    EXPECT_EQ(opened_.provider.clientSecret, entry.provider.clientSecret);

    struct stat info {};
    ASSERT_EQ(::stat(vault_.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((dir_.path() + "data").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_FALSE(std::filesystem::exists(vault_.path() + ".new"));
}

TEST_F(VaultTest, FileHoldsNoSecretInClear) {
    const VaultEntry alice = SampleEntry("a"), bob = SampleEntry("b");
    ASSERT_EQ(Store(kAlice, kPassword, alice), VaultStatus::kOk) << failure_;
    ASSERT_EQ(Store(kBob, "another password", bob), VaultStatus::kOk) << failure_;
    const std::string bytes = FileText();
    ASSERT_NE(bytes.find(kAlice), std::string::npos);
    for (const std::string& secret :
         {alice.tokens.accessToken, alice.tokens.refreshToken, alice.provider.clientSecret,
          bob.tokens.accessToken, bob.tokens.refreshToken, bob.provider.clientSecret,
          std::string(kPassword), std::string("another password")}) {
        EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;
        EXPECT_EQ(bytes.find(Base64(secret)), std::string::npos) << secret;
        // Any stretch long enough to mean something.
        EXPECT_EQ(bytes.find(secret.substr(0, 12)), std::string::npos) << secret;
    }
}

TEST_F(VaultTest, WrongPasswordFailsCleanly) {
    ASSERT_EQ(Store(kAlice, kPassword, SampleEntry("a")), VaultStatus::kOk) << failure_;
    EXPECT_EQ(Unseal(kAlice, "local pass wort"), VaultStatus::kWrongPassword);
    EXPECT_EQ(failure_, "wrong local password for mail.example.org#alice");
    EXPECT_TRUE(opened_.tokens.accessToken.empty());
    EXPECT_EQ(Unseal(kAlice, ""), VaultStatus::kRefused);
    EXPECT_EQ(Unseal(kBob, kPassword), VaultStatus::kNoEntry);
    EXPECT_EQ(failure_, "no tokens stored for mail.example.org#bob");
}

TEST_F(VaultTest, AlteredEntriesDoNotOpen) {
    ASSERT_EQ(Store(kAlice, kPassword, SampleEntry("a")), VaultStatus::kOk) << failure_;
    ASSERT_EQ(Store(kBob, kPassword, SampleEntry("b")), VaultStatus::kOk) << failure_;
    const nlohmann::json original = nlohmann::json::parse(FileText());

    // A later expiry written in clear, to keep a dead token from refreshing.
    nlohmann::json later = original;
    later["accounts"][0]["expires"] = 1'800'000'000;
    WriteFileText(later.dump());
    EXPECT_EQ(Unseal(kAlice, kPassword), VaultStatus::kWrongPassword);

    // Bob's sealed tokens moved under Alice's name.
    nlohmann::json moved = original;
    moved["accounts"][0]["account"] = kBob;
    moved["accounts"][1]["account"] = kAlice;
    WriteFileText(moved.dump());
    EXPECT_EQ(Unseal(kAlice, kPassword), VaultStatus::kWrongPassword);

    // A key cost that would exhaust the memory.
    nlohmann::json costly = original;
    costly["accounts"][0]["n"] = 1ULL << 30;
    WriteFileText(costly.dump());
    EXPECT_EQ(Unseal(kAlice, kPassword), VaultStatus::kDamaged);
    EXPECT_EQ(failure_,
              "the token vault entry of mail.example.org#alice asks for an unreasonable key cost");

    WriteFileText(original.dump());
    EXPECT_EQ(Unseal(kAlice, kPassword), VaultStatus::kOk) << failure_;
}

TEST_F(VaultTest, ReplaceListAndRemove) {
    std::vector<VaultListing> listing;
    ASSERT_EQ(vault_.List(listing, failure_), VaultStatus::kOk) << failure_;
    EXPECT_TRUE(listing.empty());

    VaultEntry bob = SampleEntry("b");
    bob.tokens.expiresAt = 1'700'000'100;
    ASSERT_EQ(Store(kBob, kPassword, bob), VaultStatus::kOk) << failure_;
    ASSERT_EQ(Store(kAlice, kPassword, SampleEntry("a")), VaultStatus::kOk) << failure_;
    // Replaced with new tokens and a new password.
    VaultEntry renewed = SampleEntry("a2");
    ASSERT_EQ(Store(kAlice, "new password", renewed), VaultStatus::kOk) << failure_;
    EXPECT_EQ(Unseal(kAlice, kPassword), VaultStatus::kWrongPassword);
    ASSERT_EQ(Unseal(kAlice, "new password"), VaultStatus::kOk) << failure_;
    EXPECT_EQ(opened_.tokens.refreshToken, renewed.tokens.refreshToken);

    ASSERT_EQ(vault_.List(listing, failure_), VaultStatus::kOk) << failure_;
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(listing[0].account, kAlice);
    EXPECT_EQ(listing[0].expiresAt, renewed.tokens.expiresAt);
    EXPECT_EQ(listing[1].account, kBob);
    EXPECT_EQ(listing[1].expiresAt, 1'700'000'100);

    EXPECT_EQ(Remove(kAlice), VaultStatus::kOk) << failure_;
    EXPECT_EQ(Remove(kAlice), VaultStatus::kNoEntry);
    EXPECT_EQ(Unseal(kAlice, "new password"), VaultStatus::kNoEntry);
    EXPECT_EQ(Unseal(kBob, kPassword), VaultStatus::kOk) << failure_;
}

TEST_F(VaultTest, DamagedFileIsLeftAlone) {
    ASSERT_EQ(Store(kAlice, kPassword, SampleEntry("a")), VaultStatus::kOk) << failure_;
    const std::string original = FileText();
    for (const std::string& damaged :
         {std::string("not json"), original.substr(0, original.size() / 2),
          std::string(R"({"format": 5, "version": 1, "accounts": []})"),
          std::string(R"({"format": "trawlbox oauth2 vault", "version": 2, "accounts": []})")}) {
        WriteFileText(damaged);
        std::vector<VaultListing> listing;
        EXPECT_EQ(vault_.List(listing, failure_), VaultStatus::kDamaged) << damaged;
        EXPECT_EQ(Unseal(kAlice, kPassword), VaultStatus::kDamaged) << damaged;
        // Storing would drop whatever else the file holds.
        EXPECT_EQ(Store(kBob, kPassword, SampleEntry("b")), VaultStatus::kDamaged) << damaged;
        EXPECT_EQ(FileText(), damaged);
    }
}

TEST_F(VaultTest, RefusedInputs) {
    const struct {
        std::string account;
        bool usable;
    } names[] = {
        {kAlice, true},
        {"[::1]#a", true},
        {"alice", false},
        {"#alice", false},
        {"host#", false},
        {"host #a", false},
        {"host#a\n", false},
        {"", false},
        {"h#" + std::string(kMaxVaultAccountBytes - 2, 'a'), true},
        {"h#" + std::string(kMaxVaultAccountBytes - 1, 'a'), false},
    };
    for (const auto& name : names) {
        EXPECT_EQ(TokenVault::AccountNameUsable(name.account), name.usable) << name.account;
    }
    EXPECT_EQ(Store("alice", kPassword, SampleEntry("a")), VaultStatus::kRefused);
    EXPECT_EQ(Store(kAlice, "", SampleEntry("a")), VaultStatus::kRefused);
    VaultEntry binary = SampleEntry("a");
    binary.tokens.accessToken += "\xff";
    EXPECT_EQ(Store(kAlice, kPassword, binary), VaultStatus::kRefused);

    // A lock not taken, or taken in another vault, gives no right to store.
    AccountLock none;
    EXPECT_EQ(vault_.Store(none, kPassword, SampleEntry("a"), failure_), VaultStatus::kRefused);
    TokenVault other(dir_.path() + "other");
    AccountLock foreign;
    ASSERT_EQ(other.LockAccount(kAlice, foreign, failure_), VaultStatus::kOk) << failure_;
    EXPECT_EQ(vault_.Store(foreign, kPassword, SampleEntry("a"), failure_), VaultStatus::kRefused);
    EXPECT_FALSE(std::filesystem::exists(vault_.path()));
}

// How long a waiter is watched before it is taken to be blocked.
constexpr int kBlockedMs = 300;

TEST_F(VaultTest, AccountLockExcludesThreads) {
    AccountLock held;
    ASSERT_EQ(vault_.LockAccount(kAlice, held, failure_), VaultStatus::kOk) << failure_;
    std::atomic<bool> taken{false};
    std::thread waiter([this, &taken] {
        AccountLock lock;
        std::string failure;
        // A second vault object of the same directory shares the lock.
        TokenVault same(dir_.path() + "data/");
        if (same.LockAccount(kAlice, lock, failure) == VaultStatus::kOk) taken = true;
    });
    SleepMilliseconds(kBlockedMs);
    EXPECT_FALSE(taken.load());
    // Another account is not held up.
    AccountLock bob;
    EXPECT_EQ(vault_.LockAccount(kBob, bob, failure_), VaultStatus::kOk) << failure_;
    held.Release();
    waiter.join();
    EXPECT_TRUE(taken.load());
}

TEST_F(VaultTest, AccountLockExcludesOtherProcesses) {
    int locked[2], release[2];
    ASSERT_EQ(::pipe(locked), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        AccountLock lock;
        std::string failure;
        TokenVault vault(dir_.path() + "data");
        const char state = vault.LockAccount(kAlice, lock, failure) == VaultStatus::kOk ? 'L' : 'F';
        char ignored;
        if (::write(locked[1], &state, 1) == 1) (void)!::read(release[0], &ignored, 1);
        ::_exit(0);
    }
    char state = 0;
    ASSERT_EQ(::read(locked[0], &state, 1), 1);
    ASSERT_EQ(state, 'L');

    std::atomic<bool> taken{false};
    std::thread waiter([this, &taken] {
        AccountLock lock;
        std::string failure;
        if (vault_.LockAccount(kAlice, lock, failure) == VaultStatus::kOk) taken = true;
    });
    SleepMilliseconds(kBlockedMs);
    EXPECT_FALSE(taken.load());
    ASSERT_EQ(::write(release[1], "x", 1), 1);
    waiter.join();
    EXPECT_TRUE(taken.load());
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    for (int fd : {locked[0], locked[1], release[0], release[1]}) ::close(fd);
}

}  // namespace
