#include "oauth/fresh_token.h"

#include "oauth/grant.h"

namespace {

FreshTokenStatus FromVault(VaultStatus status) {
    switch (status) {
        case VaultStatus::kNoEntry:
            return FreshTokenStatus::kNoEntry;
        case VaultStatus::kWrongPassword:
            return FreshTokenStatus::kWrongPassword;
        default:
            return FreshTokenStatus::kVaultFailed;
    }
}

}  // namespace

FreshTokenStatus ObtainFreshToken(TokenVault& vault, const std::string& account,
                                  const std::string& password, const HttpOptions& http,
                                  OAuthClock& clock, FreshToken& token, std::string& failure) {
    token = FreshToken{};
    const auto fresh = [&clock, &token](const VaultEntry& entry) {
        if (entry.tokens.expiresAt - clock.Now() <= kRefreshMarginSeconds) return false;
        token.accessToken = entry.tokens.accessToken;
        token.expiresAt = entry.tokens.expiresAt;
        return true;
    };
    // Most logins find a good token: they neither wait for nor hold the lock.
    VaultEntry entry;
    VaultStatus status = vault.Unseal(account, password, entry, failure);
    if (status != VaultStatus::kOk) return FromVault(status);
    if (fresh(entry)) return FreshTokenStatus::kReady;

    AccountLock lock;
    status = vault.LockAccount(account, lock, failure);
    if (status != VaultStatus::kOk) return FromVault(status);
    // Unsealed again under the lock: a session that waited for another one's
    // refresh finds the tokens that refresh stored, and must not use the
    // refresh token that refresh used up.
    status = vault.Unseal(account, password, entry, failure);
    if (status != VaultStatus::kOk) return FromVault(status);
    if (fresh(entry)) return FreshTokenStatus::kReady;
    TokenSet renewed;
    switch (
        RefreshTokens(entry.provider, http, clock, entry.tokens.refreshToken, renewed, failure)) {
        case GrantResult::kGranted:
            break;
        case GrantResult::kInvalidGrant:
            return FreshTokenStatus::kRevoked;
        default:
            return FreshTokenStatus::kProviderFailed;
    }
    entry.tokens = renewed;
    if (vault.Store(lock, password, entry, token.storeFailure) == VaultStatus::kOk) {
        token.storeFailure.clear();
    } else if (token.storeFailure.empty()) {
        token.storeFailure = "the refreshed tokens could not be stored";
    }
    token.accessToken = renewed.accessToken;
    token.expiresAt = renewed.expiresAt;
    token.refreshed = true;
    return FreshTokenStatus::kReady;
}
