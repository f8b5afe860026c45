// Identity providers: where their endpoints are and what a grant asks for.
#pragma once

#include <string>

// Everything a device grant and a later refresh send to a provider. Stored
// (sealed) with the tokens, so that a login can refresh without options.
struct ProviderConfig {
    std::string deviceUrl;     // device authorization endpoint (RFC 8628)
    std::string tokenUrl;      // token endpoint (RFC 6749)
    std::string scope;         // space-separated scopes
    std::string clientId;      // the application registered with the provider
    std::string clientSecret;  // "" for a public client
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
};

// Fills `config` from the provider's published endpoints and mail scope,
// each replaced by the option when one is given. Returns true; false with
// the reason in `failure` when the provider is unknown (the reason names the
// known ones), the client id is missing (every provider needs one; there is
// no built-in one), `custom` lacks an endpoint or a scope, or an endpoint is
// not allowed (EndpointAllowed in oauth/http.h).
bool ResolveProvider(const ProviderChoice& choice, ProviderConfig& config, std::string& failure);
