// The access token a session logs in with when the user's login names the
// oauth2 method: the tokens of HOST#ACCOUNT, unsealed with the local
// password the mail program sent and refreshed when they run out. Every
// failure is logged for the user with what to do about it; no token,
// password or secret ever reaches the log.
#pragma once

#include <string>
#include <string_view>

// Returns true when a login names the OAuth 2.0 method ("oauth2", in any case).
bool NamesTokenLogin(std::string_view method);

// Where the vault is and how the provider is reached.
struct LoginTokenSource {
    std::string dataDirectory;  // holds the vault; "" for ProgramDirectory
    std::string caFile;         // further trust anchors for the provider; "" for none
};

// Fills `token` with an access token for `host`#`account`, unsealed with
// `localPassword` (and refreshed at the provider first when it has run out
// or is about to). Logs under `slot`. Returns true with `token` set; false
// when the vault holds no such account, the local password is wrong (no
// request is sent then), the provider refused the refresh (access was
// revoked) or could not be reached, or the vault could not be read.
bool TokenForLogin(const LoginTokenSource& source, const std::string& host,
                   const std::string& account, const std::string& localPassword, int slot,
                   std::string& token);
