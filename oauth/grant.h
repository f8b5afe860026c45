// Getting tokens from a provider: the device authorization grant (RFC 8628)
// or the authorization-code grant of installed programs (RFC 6749 section
// 4.1 with PKCE, RFC 7636, and a loopback redirect, RFC 8252) once, when an
// account is added, and the refresh_token grant (RFC 6749 section 6)
// whenever the access token runs out.
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

// What the user must see for the code grant: the URL to open in a browser
// on this machine (or on another, with the loopback port forwarded).
struct AuthorizationPrompt {
    std::string url;  // the authorization request, PKCE challenge and state in it
    int port = 0;     // the loopback port the browser is sent back to
};

// How long the code grant waits for the browser to come back: the user
// signs in, perhaps with a second factor, and approves.
constexpr int kAuthorizationWaitSeconds = 300;

enum class GrantResult : int {
    kGranted,        // tokens filled in
    kDenied,         // the user refused the request
    kExpired,        // the device code ran out before the user approved, or
                     // the browser did not come back in time
    kInvalidGrant,   // the refresh token is no longer good (revoked, expired):
                     // only a new device grant helps
    kProviderError,  // any other error answer, or an answer that makes no sense
    kUnreachable,    // no answer: no connection, time-out, TLS failure, redirect;
                     // or no loopback port to listen on
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

// Runs the code grant: listens on a loopback port, hands the prompt to
// `show` once, waits at most `waitSeconds` for the browser to come back,
// checks that it brings the state of this request, and trades the code
// with the PKCE verifier for tokens. Returns kGranted with `tokens` filled
// in (a refresh token included, as for the device grant); kDenied when the
// browser brings access_denied; kExpired when it does not come back in
// time; kProviderError for another error in the redirect, a state that is
// not this request's, no code, or a refusal at the token endpoint;
// kUnreachable when there is no port to listen on or no answer from the
// token endpoint; each with the reason in `failure`.
GrantResult RunCodeGrant(const ProviderConfig& provider, const HttpOptions& http, OAuthClock& clock,
                         const std::function<void(const AuthorizationPrompt&)>& show,
                         TokenSet& tokens, std::string& failure,
                         int waitSeconds = kAuthorizationWaitSeconds);

// Trades `refreshToken` for a new access token. Returns kGranted with
// `tokens` filled in: the refresh token is the rotated one when the provider
// sent one, else `refreshToken` itself. kInvalidGrant when the provider no
// longer takes the refresh token; kProviderError or kUnreachable otherwise,
// each with the reason in `failure`.
GrantResult RefreshTokens(const ProviderConfig& provider, const HttpOptions& http,
                          OAuthClock& clock, const std::string& refreshToken, TokenSet& tokens,
                          std::string& failure);
