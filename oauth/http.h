// Form posts to an identity provider's endpoints, the only HTTP this program
// speaks. Every request is bounded in time and size, goes only to https
// (plain http only to a loopback address, for tests and local providers),
// verifies the server against the system's trust store plus an optional CA
// file, and follows no redirect.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Defaults of the bounds of one request. A provider answers in well under a
// second; a login waiting on it must not hang for long.
constexpr int kHttpConnectTimeoutMs = 10'000;
constexpr int kHttpTotalTimeoutMs = 30'000;
// Token and device answers are a few hundred bytes; anything far larger is
// not an answer of an identity provider.
constexpr size_t kHttpMaxReplyBytes = 64 * 1024;

struct HttpOptions {
    // A PEM file of further trust anchors, added to the system's; "" for none.
    std::string caFile;
    int connectTimeoutMs = kHttpConnectTimeoutMs;
    int totalTimeoutMs = kHttpTotalTimeoutMs;
};

using FormFields = std::vector<std::pair<std::string, std::string>>;

// Returns true when `url` may be used as an endpoint: an https URL, or an
// http URL whose host is a loopback address (127.0.0.0/8, ::1, localhost).
// Otherwise false with the reason in `failure`.
bool EndpointAllowed(const std::string& url, std::string& failure);

// Returns `url` with the fields appended to its query, form-encoded (for a
// URL the user's browser opens, such as an authorization request).
std::string UrlWithQuery(const std::string& url, const FormFields& fields);

// What became of a request.
enum class HttpOutcome : int {
    kAnswered,     // a reply with a status below 300 or from 400 up; see reply
    kRefused,      // the URL is not allowed (EndpointAllowed); nothing was sent
    kUnreachable,  // no connection: refused, no route, name not resolved
    kTimedOut,     // no connection or no complete reply within the time-outs
    kTlsFailed,    // the handshake or the certificate check failed
    kRedirected,   // the endpoint answered with a redirect, not followed
    kFailed,       // any other failure, reply too large included
};

struct HttpReply {
    long status = 0;
    std::string body;
};

// POSTs the fields form-encoded to `url`, asking for JSON. Returns
// kAnswered with the status and body in `reply`; any other outcome leaves
// `reply` empty and says what happened in `failure`, in words for a user,
// naming the endpoint's host but never a field's value.
HttpOutcome PostForm(const std::string& url, const FormFields& fields, const HttpOptions& options,
                     HttpReply& reply, std::string& failure);
