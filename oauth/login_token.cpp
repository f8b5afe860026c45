#include "oauth/login_token.h"

#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "oauth/fresh_token.h"
#include "oauth/vault.h"
#include "oauth/wall_clock.h"

bool NamesTokenLogin(std::string_view method) {
    return UpperCase(method) == "OAUTH2";
}

bool TokenForLogin(const LoginTokenSource& source, const std::string& host,
                   const std::string& account, const std::string& localPassword, int slot,
                   std::string& token) {
    token.clear();
    const std::string name = host + "#" + account;
    // Without DataDir the state lives in the configuration directory, where
    // `trawlbox oauth2 add` put the vault too.
    const std::string& configured =
        source.dataDirectory.empty() ? ProgramDirectory : source.dataDirectory;
    TokenVault vault(configured.empty() ? "." : configured);
    HttpOptions http;
    http.caFile = source.caFile;
    FreshToken fresh;
    std::string failure;
    const FreshTokenStatus status =
        ObtainFreshToken(vault, name, localPassword, http, SystemClock(), fresh, failure);
    switch (status) {
        case FreshTokenStatus::kReady:
            if (fresh.refreshed)
                WriteLog("OAuth 2.0 token of " + name + " refreshed", slot, kLogProgress);
            if (!fresh.storeFailure.empty()) {
                WriteLog("The refreshed tokens of " + name +
                             " could not be stored: " + fresh.storeFailure,
                         slot, kLogFailure);
            }
            token = std::move(fresh.accessToken);
            return true;
        case FreshTokenStatus::kNoEntry:
            WriteLog("No OAuth 2.0 account " + name + ": run trawlbox oauth2 add " + name, slot,
                     kLogFailure);
            return false;
        case FreshTokenStatus::kWrongPassword:
            WriteLog("Wrong local password for the OAuth 2.0 account " + name, slot, kLogFailure);
            return false;
        case FreshTokenStatus::kRevoked:
            WriteLog("The provider no longer grants access to " + name +
                         ": run trawlbox oauth2 add " + name + " again",
                     slot, kLogFailure);
            return false;
        case FreshTokenStatus::kProviderFailed:
        case FreshTokenStatus::kVaultFailed:
            WriteLog("No OAuth 2.0 token for " + name + ": " + failure, slot, kLogFailure);
            return false;
    }
    return false;
}
