// Getting tokens from a provider: the device authorization grant (RFC 8628)
// once, when an account is added, and the refresh_token grant (RFC 6749
// section 6) whenever the access token runs out.
//
// Failure texts name the provider's host and its error words (capped and
// reduced to printable ASCII) but never a token, code or secret.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "oauth/http.h"
#include "oauth/provider.h"
#include "oauth/wall_clock.h"

// Tokens are printable ASCII without blanks (they travel inside SASL lines)
// and, for the providers seen, a few kilobytes at the most.
constexpr size_t kMaxTokenBytes = 16 * 1024;

struct TokenSet {
    std::string accessToken;
    int64_t expiresAt = 0;  // Unix seconds at which the access token runs out
    std::string refreshToken;
};

// What the user must see to approve the device: open the URL and enter the
// code, or open the complete URL, which carries the code.
struct DevicePrompt {
    std::string verificationUri;
    std::string userCode;
    std::string verificationUriComplete;  // "" when the provider gives none
    int64_t expiresAt = 0;                // Unix seconds at which the code runs out
};

enum class GrantResult : int {
    kGranted,        // tokens filled in
    kDenied,         // the user refused the request
    kExpired,        // the device code ran out before the user approved
    kInvalidGrant,   // the refresh token is no longer good (revoked, expired):
                     // only a new device grant helps
    kProviderError,  // any other error answer, or an answer that makes no sense
    kUnreachable,    // no answer: no connection, time-out, TLS failure, redirect
};

// Runs the device grant: asks for a device code, hands the prompt to `show`
// once (the caller prints it; the texts are printable ASCII, each at most
// 2 KiB), then polls the token endpoint at the interval the provider gave
// (5 s when it gave none; 5 s more after each slow_down) until it grants,
// refuses, or the code expires by the provider's word or by `clock`.
// Returns kGranted with `tokens` filled in (a refresh token included; a
// grant without one is kProviderError, since it would stop working within
// the hour); kDenied, kExpired, kProviderError or kUnreachable with the
// reason in `failure`.
GrantResult RunDeviceGrant(const ProviderConfig& provider, const HttpOptions& http,
                           OAuthClock& clock, const std::function<void(const DevicePrompt&)>& show,
                           TokenSet& tokens, std::string& failure);

// Trades `refreshToken` for a new access token. Returns kGranted with
// `tokens` filled in: the refresh token is the rotated one when the provider
// sent one, else `refreshToken` itself. kInvalidGrant when the provider no
// longer takes the refresh token; kProviderError or kUnreachable otherwise,
// each with the reason in `failure`.
GrantResult RefreshTokens(const ProviderConfig& provider, const HttpOptions& http,
                          OAuthClock& clock, const std::string& refreshToken, TokenSet& tokens,
                          std::string& failure);
