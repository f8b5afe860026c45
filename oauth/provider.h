// Identity providers: where their endpoints are and what a grant asks for.
#pragma once

#include <string>

#include "oauth/http.h"

// How an account is granted when it is added.
enum class GrantKind : int {
    kDevice,  // device authorization (RFC 8628): a code typed in any browser
    kCode,    // authorization code with PKCE, back to a loopback listener (RFC 8252)
};

// Everything a device grant and a later refresh send to a provider. Stored
// (sealed) with the tokens, so that a login can refresh without options.
struct ProviderConfig {
    std::string deviceUrl;     // device authorization endpoint (RFC 8628)
    std::string tokenUrl;      // token endpoint (RFC 6749)
    std::string scope;         // space-separated scopes
    std::string clientId;      // the application registered with the provider
    std::string clientSecret;  // "" for a public client
    // Not stored: only a new grant uses them.
    GrantKind grant = GrantKind::kDevice;
    std::string authUrl;             // authorization endpoint (RFC 6749 section 4.1)
    FormFields authorizationExtras;  // the provider's own fields of that request
};

// What the user named: a provider and the options that override or fill in
// its defaults ("" where not given).
struct ProviderChoice {
    std::string provider;  // "microsoft", "google" or "custom", any case
    std::string clientId;
    std::string clientSecret;
    std::string deviceUrl;
    std::string tokenUrl;
    std::string scope;
    std::string authUrl;
    std::string grant;  // "device", "code" or "" for the provider's usual one
};

// Fills `config` from the provider's published endpoints and mail scope,
// each replaced by the option when one is given, and picks the grant: the
// one named, else the provider's usual one (custom: the code grant when an
// authorization endpoint is given and no device endpoint, else the device
// grant). Returns true; false with the reason in `failure` when the
// provider or the grant is unknown (the reason names the known ones), the
// client id is missing (every provider needs one; there is no built-in
// one), the grant lacks its endpoints or the scope, or an endpoint is not
// allowed (EndpointAllowed in oauth/http.h).
bool ResolveProvider(const ProviderChoice& choice, ProviderConfig& config, std::string& failure);
