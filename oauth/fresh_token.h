// An access token good for a login now: taken from the vault, and first
// refreshed (and the result stored back) when it has run out or is about to.
// One account is refreshed by one session at a time, so that a refresh token
// the provider rotates is never used twice nor lost.
#pragma once

#include <cstdint>
#include <string>

#include "oauth/http.h"
#include "oauth/vault.h"
#include "oauth/wall_clock.h"

// An access token with less life left than this is refreshed first: the
// login that uses it must finish before it runs out.
constexpr int64_t kRefreshMarginSeconds = 60;

enum class FreshTokenStatus : int {
    kReady,           // `token` holds an access token to log in with
    kNoEntry,         // the vault holds no such account
    kWrongPassword,   // the local password does not open the entry; no
                      // request was sent anywhere
    kRevoked,         // the provider no longer takes the refresh token
                      // (invalid_grant): the account must be added again
    kProviderFailed,  // the refresh failed otherwise: provider down, slow,
                      // refusing, or answering nonsense
    kVaultFailed,     // the vault could not be read or locked, or is damaged
};

struct FreshToken {
    std::string accessToken;
    int64_t expiresAt = 0;
    bool refreshed = false;
    // Set when a refresh succeeded but its tokens could not be stored: the
    // token above still serves this login, the caller should log this.
    std::string storeFailure;
};

// Unseals the account's entry; when its access token expires within
// kRefreshMarginSeconds of `clock.Now()`, then under the account's lock
// (AccountLock) unseals it again, refreshes it unless another session just
// did, and stores the new tokens (a rotated refresh token included) sealed
// with the same password. Returns kReady with `token` filled in, or another
// status with the reason in `failure`.
FreshTokenStatus ObtainFreshToken(TokenVault& vault, const std::string& account,
                                  const std::string& password, const HttpOptions& http,
                                  OAuthClock& clock, FreshToken& token, std::string& failure);
