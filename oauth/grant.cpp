#include "oauth/grant.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <strings.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <vector>

#include "oauth/loopback_redirect.h"

namespace {

using Json = nlohmann::json;

constexpr const char* kDeviceGrantType = "urn:ietf:params:oauth:grant-type:device_code";
// RFC 8628 section 3.5: poll every 5 s unless told otherwise, and 5 s more
// after each slow_down.
constexpr int64_t kDefaultPollSeconds = 5;
constexpr int64_t kSlowDownSeconds = 5;
// A provider's interval and code lifetime are taken up to these: the user
// waits in front of the prompt, and the providers give 5 s and 15-30 min.
constexpr int64_t kMaxPollSeconds = 60;
constexpr int64_t kMaxDeviceCodeSeconds = 3600;
// Bounds the polling even under a clock that does not move.
constexpr int kMaxPolls = int(kMaxDeviceCodeSeconds);
// RFC 6749 leaves expires_in optional; the providers' tokens live an hour.
constexpr int64_t kAssumedTokenSeconds = 3600;
// Caps a nonsense lifetime so that adding it to the time cannot overflow.
constexpr int64_t kMaxTokenSeconds = 366LL * 24 * 3600;
// How much of a provider's own error words a message carries, and how long
// a field of the prompt may be (a verification URL with its code fits).
constexpr size_t kMaxPeerTextBytes = 200;
constexpr size_t kMaxPromptFieldBytes = 2048;
// RFC 7636 section 4.1: 32 random octets make the 43-character verifier it
// recommends; the state (RFC 6749 section 10.12) needs no more.
constexpr size_t kVerifierBytes = 32;
constexpr size_t kStateBytes = 16;
// What stands in a message for a secret the provider echoed.
constexpr const char* kHidden = "[hidden]";

// A provider's text for a message: secrets it might echo replaced, then
// printable ASCII only, capped.
std::string PeerText(std::string text, const std::vector<const std::string*>& secrets) {
    for (const std::string* secret : secrets) {
        if (secret->empty()) continue;
        for (size_t at = text.find(*secret); at != std::string::npos;
             at = text.find(*secret, at + std::char_traits<char>::length(kHidden))) {
            text.replace(at, secret->size(), kHidden);
        }
    }
    std::string shown;
    for (char ch : text) {
        if (shown.size() == kMaxPeerTextBytes) {
            shown += "...";
            break;
        }
        shown += (ch >= 0x20 && ch < 0x7F) ? ch : '?';
    }
    return shown;
}

bool PrintableRun(std::string_view text, char lowest, size_t limit) {
    return !text.empty() && text.size() <= limit &&
           std::all_of(text.begin(), text.end(),
                       [lowest](char ch) { return ch >= lowest && ch < 0x7F; });
}

bool IsTokenText(std::string_view text) {
    return PrintableRun(text, 0x21, kMaxTokenBytes);
}

std::optional<std::string> StringField(const Json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

// A count of seconds, as a number or (some providers) as a string of digits.
std::optional<int64_t> SecondsField(const Json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end()) return std::nullopt;
    if (found->is_number_integer()) return found->get<int64_t>();
    if (found->is_number_float()) return int64_t(found->get<double>());
    if (found->is_string()) {
        const std::string digits = found->get<std::string>();
        if (!digits.empty() && digits.size() < 12 &&
            std::all_of(digits.begin(), digits.end(),
                        [](char ch) { return ch >= '0' && ch <= '9'; })) {
            return std::stoll(digits);
        }
    }
    return std::nullopt;
}

// One request to an endpoint whose answer is a JSON object, an error or not.
struct Exchange {
    const std::string& url;
    std::vector<const std::string*> secrets;  // what must not show in a message
    long status = 0;
    Json answer;
    std::string error;  // the error code of an error answer, else ""
    std::string description;

    // Returns true with the answer read; false with `result` and `failure`
    // set when there is none to read.
    bool Post(const FormFields& fields, const HttpOptions& http, GrantResult& result,
              std::string& failure) {
        HttpReply reply;
        if (PostForm(url, fields, http, reply, failure) != HttpOutcome::kAnswered) {
            result = GrantResult::kUnreachable;
            return false;
        }
        status = reply.status;
        answer = Json::parse(reply.body, nullptr, false);
        if (answer.is_discarded() || !answer.is_object()) {
            failure = "the identity provider's endpoint " + url + " answered with status " +
                      std::to_string(status) + " but without a JSON object";
            result = GrantResult::kProviderError;
            return false;
        }
        error = PeerText(StringField(answer, "error").value_or(""), secrets);
        description = PeerText(StringField(answer, "error_description").value_or(""), secrets);
        if (error.empty() && status >= 400) error = "status " + std::to_string(status);
        return true;
    }

    // The provider's refusal in words.
    std::string Refusal() const {
        return error + (description.empty() ? "" : " (" + description + ")");
    }
};

// Reads a token answer. Returns true with `tokens` filled in (the refresh
// token "" when none came); false with the reason in `failure`.
bool ReadTokens(const Exchange& exchange, OAuthClock& clock, TokenSet& tokens,
                std::string& failure) {
    const Json& answer = exchange.answer;
    const std::string access = StringField(answer, "access_token").value_or("");
    const std::optional<std::string> type = StringField(answer, "token_type");
    const std::string refresh = StringField(answer, "refresh_token").value_or("");
    if (!IsTokenText(access) || (!refresh.empty() && !IsTokenText(refresh))) {
        failure = "the identity provider's endpoint " + exchange.url +
                  " sent no usable token (missing, blanks or control characters in it, or "
                  "longer than " +
                  std::to_string(kMaxTokenBytes) + " bytes)";
        return false;
    }
    // RFC 6750: the mail servers take bearer tokens only.
    if (type && ::strcasecmp(type->c_str(), "bearer") != 0) {
        failure = "the identity provider's endpoint " + exchange.url + " sent a token of type " +
                  PeerText(*type, exchange.secrets) + ", not Bearer";
        return false;
    }
    int64_t lifetime = SecondsField(answer, "expires_in").value_or(kAssumedTokenSeconds);
    lifetime = std::clamp<int64_t>(lifetime, 0, kMaxTokenSeconds);
    tokens = TokenSet{access, clock.Now() + lifetime, refresh};
    return true;
}

// The prompt of a device authorization answer. Returns true with `prompt`
// and `deviceCode` filled in; false with the reason in `failure`.
bool ReadPrompt(const Exchange& exchange, OAuthClock& clock, DevicePrompt& prompt,
                std::string& deviceCode, int64_t& interval, std::string& failure) {
    const Json& answer = exchange.answer;
    deviceCode = StringField(answer, "device_code").value_or("");
    prompt.userCode = StringField(answer, "user_code").value_or("");
    // Google names it verification_url, as a draft of the grant did.
    prompt.verificationUri = StringField(answer, "verification_uri")
                                 .value_or(StringField(answer, "verification_url").value_or(""));
    prompt.verificationUriComplete = StringField(answer, "verification_uri_complete").value_or("");
    const std::optional<int64_t> lifetime = SecondsField(answer, "expires_in");
    const bool completeUsable =
        prompt.verificationUriComplete.empty() ||
        PrintableRun(prompt.verificationUriComplete, 0x21, kMaxPromptFieldBytes);
    if (!IsTokenText(deviceCode) || !PrintableRun(prompt.userCode, 0x20, kMaxPromptFieldBytes) ||
        !PrintableRun(prompt.verificationUri, 0x21, kMaxPromptFieldBytes) || !completeUsable ||
        !lifetime || *lifetime <= 0) {
        failure = "the identity provider's endpoint " + exchange.url +
                  " sent no usable device code, user code, verification URL or lifetime";
        return false;
    }
    interval = std::clamp<int64_t>(SecondsField(answer, "interval").value_or(kDefaultPollSeconds),
                                   1, kMaxPollSeconds);
    prompt.expiresAt = clock.Now() + std::min(*lifetime, kMaxDeviceCodeSeconds);
    return true;
}

// How the grant goes on after each error answer of a poll.
enum class PollStep : int { kKeepWaiting, kSlowDown, kDenied, kExpired };
struct PollError {
    const char* error;
    PollStep step;
};
constexpr PollError kPollErrors[] = {
    {"authorization_pending", PollStep::kKeepWaiting},
    {"slow_down", PollStep::kSlowDown},
    {"access_denied", PollStep::kDenied},
    {"authorization_declined", PollStep::kDenied},  // Microsoft's word for it
    {"expired_token", PollStep::kExpired},
};

// Refusals of a refresh that only a new device grant can mend.
constexpr const char* kGrantGoneErrors[] = {
    "invalid_grant",
    // Microsoft's way of saying the user must sign in again (a changed
    // password, a new sign-in policy).
    "interaction_required",
};

void AddClientCredentials(const ProviderConfig& provider, FormFields& fields) {
    fields.emplace_back("client_id", provider.clientId);
    if (!provider.clientSecret.empty()) fields.emplace_back("client_secret", provider.clientSecret);
}

// The end of a grant that brought tokens: a grant without a refresh token
// is refused, since it would stop working within the hour.
GrantResult FirstTokens(const Exchange& exchange, OAuthClock& clock, TokenSet& tokens,
                        std::string& failure) {
    if (!ReadTokens(exchange, clock, tokens, failure)) return GrantResult::kProviderError;
    if (tokens.refreshToken.empty()) {
        tokens = TokenSet{};
        failure =
            "the identity provider granted no refresh token (does the scope ask "
            "for offline access?)";
        return GrantResult::kProviderError;
    }
    return GrantResult::kGranted;
}

// Base64url without padding (RFC 7636 appendix A).
std::string Base64Url(const unsigned char* data, size_t size) {
    std::string text(4 * ((size + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data, int(size));
    text.resize(size_t(std::max(length, 0)));
    while (!text.empty() && text.back() == '=') text.pop_back();
    for (char& ch : text) {
        if (ch == '+') ch = '-';
        if (ch == '/') ch = '_';
    }
    return text;
}

// Returns `bytes` random octets from OpenSSL as base64url; "" when it has
// no randomness to give.
std::string RandomText(size_t bytes) {
    std::vector<unsigned char> random(bytes);
    if (RAND_bytes(random.data(), int(bytes)) != 1) return "";
    std::string text = Base64Url(random.data(), bytes);
    OPENSSL_cleanse(random.data(), random.size());
    return text;
}

// The S256 code challenge of `verifier` (RFC 7636 section 4.2).
std::string S256Challenge(const std::string& verifier) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(verifier.data(), verifier.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        return "";
    }
    return Base64Url(digest, length);
}

std::string QueryField(const FormFields& query, const char* name) {
    for (const auto& [field, value] : query) {
        if (field == name) return value;
    }
    return "";
}

}  // namespace

GrantResult RunDeviceGrant(const ProviderConfig& provider, const HttpOptions& http,
                           OAuthClock& clock, const std::function<void(const DevicePrompt&)>& show,
                           TokenSet& tokens, std::string& failure) {
    tokens = TokenSet{};
    GrantResult result = GrantResult::kProviderError;
    Exchange device{provider.deviceUrl, {&provider.clientSecret}};
    if (!device.Post({{"client_id", provider.clientId}, {"scope", provider.scope}}, http, result,
                     failure)) {
        return result;
    }
    if (!device.error.empty()) {
        failure = "the identity provider refused the device authorization: " + device.Refusal();
        return GrantResult::kProviderError;
    }
    DevicePrompt prompt;
    std::string deviceCode;
    int64_t interval = kDefaultPollSeconds;
    if (!ReadPrompt(device, clock, prompt, deviceCode, interval, failure)) {
        return GrantResult::kProviderError;
    }
    if (show) show(prompt);

    FormFields poll = {{"grant_type", kDeviceGrantType}, {"device_code", deviceCode}};
    AddClientCredentials(provider, poll);
    Exchange token{provider.tokenUrl, {&deviceCode, &provider.clientSecret}};
    for (int attempt = 0; attempt < kMaxPolls; ++attempt) {
        clock.Sleep(interval);
        if (clock.Now() >= prompt.expiresAt) break;
        if (!token.Post(poll, http, result, failure)) return result;
        if (token.error.empty()) return FirstTokens(token, clock, tokens, failure);
        const PollError* known = nullptr;
        for (const PollError& candidate : kPollErrors) {
            if (token.error == candidate.error) known = &candidate;
        }
        if (known == nullptr) {
            failure = "the identity provider refused the grant: " + token.Refusal();
            return GrantResult::kProviderError;
        }
        switch (known->step) {
            case PollStep::kKeepWaiting:
                break;
            case PollStep::kSlowDown:
                interval = std::min(interval + kSlowDownSeconds, kMaxPollSeconds);
                break;
            case PollStep::kDenied:
                failure = "access was refused at the identity provider: " + token.Refusal();
                return GrantResult::kDenied;
            case PollStep::kExpired:
                failure = "the code expired at the identity provider before it was approved";
                return GrantResult::kExpired;
        }
    }
    failure = "the code expired before it was approved";
    return GrantResult::kExpired;
}

GrantResult RunCodeGrant(const ProviderConfig& provider, const HttpOptions& http, OAuthClock& clock,
                         const std::function<void(const AuthorizationPrompt&)>& show,
                         TokenSet& tokens, std::string& failure, int waitSeconds) {
    tokens = TokenSet{};
    const std::string verifier = RandomText(kVerifierBytes);
    const std::string state = RandomText(kStateBytes);
    const std::string challenge = S256Challenge(verifier);
    if (verifier.empty() || state.empty() || challenge.empty()) {
        failure = "no random numbers for the request (OpenSSL has none to give)";
        return GrantResult::kProviderError;
    }
    LoopbackRedirect listener;
    const int port = listener.Start(failure);
    if (port == 0) return GrantResult::kUnreachable;
    // RFC 8252 section 7.3: the loopback address, not "localhost", which a
    // resolver might send elsewhere.
    const std::string redirectUri = "http://127.0.0.1:" + std::to_string(port) + "/";
    FormFields request = {{"response_type", "code"},
                          {"client_id", provider.clientId},
                          {"redirect_uri", redirectUri},
                          {"scope", provider.scope},
                          {"state", state},
                          {"code_challenge", challenge},
                          {"code_challenge_method", "S256"}};
    request.insert(request.end(), provider.authorizationExtras.begin(),
                   provider.authorizationExtras.end());
    if (show) show({UrlWithQuery(provider.authUrl, request), port});

    FormFields query;
    if (!listener.Wait(waitSeconds, query)) {
        failure =
            "the browser did not come back within " + std::to_string(waitSeconds) + " seconds";
        return GrantResult::kExpired;
    }
    const std::string code = QueryField(query, "code");
    // Checked first: an answer to someone else's request is no answer to
    // this one, whatever it says (RFC 6749 section 10.12).
    const std::string cameState = QueryField(query, "state");
    if (cameState.size() != state.size() ||
        CRYPTO_memcmp(cameState.data(), state.data(), state.size()) != 0) {
        failure =
            "the browser came back with the answer to another request (its state does not "
            "match)";
        return GrantResult::kProviderError;
    }
    const std::string error = PeerText(QueryField(query, "error"), {&code});
    if (!error.empty()) {
        const std::string description = PeerText(QueryField(query, "error_description"), {&code});
        const std::string refusal = error + (description.empty() ? "" : " (" + description + ")");
        if (error == "access_denied") {
            failure = "access was refused at the identity provider: " + refusal;
            return GrantResult::kDenied;
        }
        failure = "the identity provider refused the authorization: " + refusal;
        return GrantResult::kProviderError;
    }
    if (!IsTokenText(code)) {
        failure = "the browser came back without a usable authorization code";
        return GrantResult::kProviderError;
    }

    FormFields trade = {{"grant_type", "authorization_code"},
                        {"code", code},
                        {"redirect_uri", redirectUri},
                        {"code_verifier", verifier}};
    AddClientCredentials(provider, trade);
    GrantResult result = GrantResult::kProviderError;
    Exchange token{provider.tokenUrl, {&code, &verifier, &provider.clientSecret}};
    if (!token.Post(trade, http, result, failure)) return result;
    if (!token.error.empty()) {
        failure = "the identity provider refused the authorization code: " + token.Refusal();
        return GrantResult::kProviderError;
    }
    return FirstTokens(token, clock, tokens, failure);
}

GrantResult RefreshTokens(const ProviderConfig& provider, const HttpOptions& http,
                          OAuthClock& clock, const std::string& refreshToken, TokenSet& tokens,
                          std::string& failure) {
    tokens = TokenSet{};
    FormFields fields = {{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}};
    AddClientCredentials(provider, fields);
    // Asking for the scope of the grant again keeps a provider that wants a
    // scope on every request (Microsoft) from narrowing the token.
    if (!provider.scope.empty()) fields.emplace_back("scope", provider.scope);
    GrantResult result = GrantResult::kProviderError;
    Exchange exchange{provider.tokenUrl, {&refreshToken, &provider.clientSecret}};
    if (!exchange.Post(fields, http, result, failure)) return result;
    if (!exchange.error.empty()) {
        for (const char* gone : kGrantGoneErrors) {
            if (StringField(exchange.answer, "error").value_or("") == gone) {
                failure = "the identity provider no longer takes the refresh token: " +
                          exchange.Refusal();
                return GrantResult::kInvalidGrant;
            }
        }
        failure = "the identity provider refused the refresh: " + exchange.Refusal();
        return GrantResult::kProviderError;
    }
    if (!ReadTokens(exchange, clock, tokens, failure)) return GrantResult::kProviderError;
    if (tokens.refreshToken.empty()) tokens.refreshToken = refreshToken;
    return GrantResult::kGranted;
}
