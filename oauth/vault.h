// The token vault: one file in the data directory holding, per account
// (HOST#ACCOUNT), the tokens and what a refresh needs, sealed with a key
// derived from the account's local password. The file holds no token,
// secret or password in clear; what it shows is the accounts and when their
// access tokens run out. Texts in `failure` never carry a secret either.
//
// Changes to an account go through an AccountLock, which serialises them
// between threads of this process and between processes sharing the data
// directory; the file is replaced whole and atomically on every change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "oauth/grant.h"
#include "oauth/provider.h"
#include "platform/private_files.h"

// Names of the vault and of the lock file beside it, in the data directory.
constexpr const char* kVaultFileName = "oauth2.vault";
constexpr const char* kVaultLockFileName = "oauth2.lock";
// An account name is HOST#ACCOUNT in printable ASCII without blanks.
constexpr size_t kMaxVaultAccountBytes = 512;

// What one account holds.
struct VaultEntry {
    TokenSet tokens;
    ProviderConfig provider;
};

// One line of a listing: no secret, so no password is needed.
struct VaultListing {
    std::string account;
    int64_t expiresAt = 0;  // Unix seconds at which the access token runs out
};

enum class VaultStatus : int {
    kOk,
    kNoEntry,        // the vault holds no such account
    kWrongPassword,  // the local password does not open the entry (or the
                     // entry was altered: the two look alike by design)
    kRefused,        // an unusable account name or an empty password
    kDamaged,        // the vault file is not one this program wrote
    kFileError,      // the file or directory cannot be read or written
    kBusy,           // another holder kept the account locked too long
};

// The right to change one account, held from LockAccount until released
// or destroyed. Move-only.
class AccountLock {
  public:
    AccountLock() = default;
    ~AccountLock();
    AccountLock(AccountLock&& other) noexcept;
    AccountLock& operator=(AccountLock&& other) noexcept;
    AccountLock(const AccountLock&) = delete;
    AccountLock& operator=(const AccountLock&) = delete;

    bool IsHeld() const { return claimed_ && fileLock_.IsHeld(); }
    const std::string& account() const { return account_; }
    // Gives the lock up before its end.
    void Release();

  private:
    friend class TokenVault;
    std::string directory_;
    std::string account_;
    bool claimed_ = false;   // this process's claim on the account
    FileByteLock fileLock_;  // the claim that other processes see
};

class TokenVault {
  public:
    // The vault in `directory`, which is created (mode 0700) when an account
    // is first locked.
    explicit TokenVault(std::string directory);

    // Returns true when `account` is usable as a vault account name.
    static bool AccountNameUsable(const std::string& account);

    // Locks `account` for changes. Waits while another thread or process
    // holds it, up to a bound longer than a refresh can take. Returns kOk
    // with `lock` held; kRefused for an unusable account name; kBusy when
    // the wait ran out; kFileError when the lock file cannot be used.
    VaultStatus LockAccount(const std::string& account, AccountLock& lock,
                            std::string& failure) const;

    // Adds the account, or replaces what it holds, sealed with `password`.
    // `lock` must be held for the account. Returns kOk; kRefused (an empty
    // password, a text that is not printable ASCII, or a lock not held for
    // this account in this vault), kDamaged, kBusy (another writer kept the
    // file) or kFileError with the reason in `failure`; the file is then as
    // it was.
    VaultStatus Store(const AccountLock& lock, const std::string& password, const VaultEntry& entry,
                      std::string& failure);

    // Opens the account's entry with `password`. Reads only the file: no
    // lock, no network. Returns kOk with `entry` filled in; kNoEntry,
    // kWrongPassword, kRefused, kDamaged or kFileError with the reason in
    // `failure`.
    VaultStatus Unseal(const std::string& account, const std::string& password, VaultEntry& entry,
                       std::string& failure) const;

    // Lists every account and its expiry, ordered by account. Returns kOk
    // (an empty list when there is no vault file yet); kDamaged or
    // kFileError with the reason in `failure`.
    VaultStatus List(std::vector<VaultListing>& listing, std::string& failure) const;

    // Removes the account. `lock` must be held for it. Returns kOk;
    // kNoEntry, kRefused, kDamaged, kBusy or kFileError with the reason in
    // `failure`; the file is then as it was.
    VaultStatus Remove(const AccountLock& lock, std::string& failure);

    const std::string& path() const { return path_; }

  private:
    bool LockedHere(const AccountLock& lock) const;

    std::string directory_;
    std::string path_;
    std::string lockPath_;
};
