#include "oauth/http.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <mutex>

namespace {

constexpr const char* kUserAgent = "Trawlbox";

// The library's state must be set up once, before any thread uses it.
void InitialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::string UrlPart(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) return {};
    std::string value(text);
    curl_free(text);
    return value;
}

struct Endpoint {
    std::string scheme;  // lower case
    std::string host;    // as the URL names it; an IPv6 address in brackets
    std::string label;   // host and port, for messages
    bool loopback = false;
};

bool IsLoopbackHost(const std::string& host) {
    if (curl_strequal(host.c_str(), "localhost")) return true;
    if (host == "[::1]") return true;
    in_addr v4{};
    // Only the plain dotted form counts; any other spelling is not trusted
    // to mean a loopback address.
    return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool ParseEndpoint(const std::string& url, Endpoint& endpoint, std::string& failure) {
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        failure = "not a URL: " + url;
        return false;
    }
    endpoint.scheme = UrlPart(parsed.get(), CURLUPART_SCHEME);
    endpoint.host = UrlPart(parsed.get(), CURLUPART_HOST);
    if (endpoint.host.empty()) {
        failure = "no host in the URL " + url;
        return false;
    }
    const std::string port = UrlPart(parsed.get(), CURLUPART_PORT);
    endpoint.label = port.empty() ? endpoint.host : endpoint.host + ":" + port;
    endpoint.loopback = IsLoopbackHost(endpoint.host);
    return true;
}

bool CheckEndpoint(const std::string& url, Endpoint& endpoint, std::string& failure) {
    if (!ParseEndpoint(url, endpoint, failure)) return false;
    if (endpoint.scheme == "https") return true;
    if (endpoint.scheme == "http" && endpoint.loopback) return true;
    failure = "the endpoint " + url + " must use https (plain http only to a loopback address)";
    return false;
}

struct ReplySink {
    std::string body;
    bool tooLarge = false;
};

size_t Collect(char* data, size_t size, size_t count, void* userdata) {
    auto* sink = static_cast<ReplySink*>(userdata);
    const size_t bytes = size * count;
    if (sink->body.size() + bytes > kHttpMaxReplyBytes) {
        sink->tooLarge = true;
        return 0;  // makes the transfer fail with a write error
    }
    sink->body.append(data, bytes);
    return bytes;
}

// Adds the CA file to the trust store the library loaded from the system,
// instead of replacing that store as its own CA option would.
CURLcode AddTrustAnchors(CURL*, void* context, void* userdata) {
    const auto* caFile = static_cast<const std::string*>(userdata);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context));
    if (store == nullptr || X509_STORE_load_file(store, caFile->c_str()) != 1) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

// How each failure of the library reads for a user.
struct FailureKind {
    CURLcode code;
    HttpOutcome outcome;
    const char* words;
};
constexpr FailureKind kFailureKinds[] = {
    {CURLE_COULDNT_RESOLVE_HOST, HttpOutcome::kUnreachable, "cannot reach"},
    {CURLE_COULDNT_RESOLVE_PROXY, HttpOutcome::kUnreachable, "cannot reach"},
    {CURLE_COULDNT_CONNECT, HttpOutcome::kUnreachable, "cannot reach"},
    {CURLE_OPERATION_TIMEDOUT, HttpOutcome::kTimedOut, "no answer in time from"},
    {CURLE_SSL_CONNECT_ERROR, HttpOutcome::kTlsFailed, "TLS failed with"},
    {CURLE_PEER_FAILED_VERIFICATION, HttpOutcome::kTlsFailed, "TLS failed with"},
    {CURLE_SSL_CACERT_BADFILE, HttpOutcome::kTlsFailed, "cannot read the CA file for"},
    {CURLE_SSL_CERTPROBLEM, HttpOutcome::kTlsFailed, "TLS failed with"},
    {CURLE_SSL_CIPHER, HttpOutcome::kTlsFailed, "TLS failed with"},
    {CURLE_UNSUPPORTED_PROTOCOL, HttpOutcome::kRefused, "refused the scheme of"},
};

HttpOutcome Describe(CURLcode code, const char* detail, const Endpoint& endpoint,
                     const HttpOptions& options, std::string& failure) {
    HttpOutcome outcome = HttpOutcome::kFailed;
    std::string words = "request failed to";
    for (const FailureKind& kind : kFailureKinds) {
        if (kind.code == code) {
            outcome = kind.outcome;
            words = kind.words;
        }
    }
    failure = words + " the identity provider at " + endpoint.label + ": " +
              (detail[0] != '\0' ? detail : curl_easy_strerror(code));
    if (outcome == HttpOutcome::kTimedOut) {
        failure += " (time-outs " + std::to_string(options.connectTimeoutMs) + " ms to connect, " +
                   std::to_string(options.totalTimeoutMs) + " ms in all)";
    }
    return outcome;
}

std::string FormBody(CURL* handle, const FormFields& fields) {
    std::string body;
    for (const auto& [name, value] : fields) {
        char* escapedName = curl_easy_escape(handle, name.data(), int(name.size()));
        char* escapedValue = curl_easy_escape(handle, value.data(), int(value.size()));
        if (!body.empty()) body += '&';
        if (escapedName != nullptr) body += escapedName;
        body += '=';
        if (escapedValue != nullptr) {
            body += escapedValue;
            // The value may be a token or a client secret.
            OPENSSL_cleanse(escapedValue, std::char_traits<char>::length(escapedValue));
        }
        curl_free(escapedName);
        curl_free(escapedValue);
    }
    return body;
}

}  // namespace

bool EndpointAllowed(const std::string& url, std::string& failure) {
    Endpoint endpoint;
    return CheckEndpoint(url, endpoint, failure);
}

std::string UrlWithQuery(const std::string& url, const FormFields& fields) {
    InitialiseLibrary();
    std::unique_ptr<CURL, EasyDeleter> handle(curl_easy_init());
    if (!handle || fields.empty()) return url;
    return url + (url.find('?') == std::string::npos ? "?" : "&") + FormBody(handle.get(), fields);
}

HttpOutcome PostForm(const std::string& url, const FormFields& fields, const HttpOptions& options,
                     HttpReply& reply, std::string& failure) {
    reply = HttpReply{};
    Endpoint endpoint;
    if (!CheckEndpoint(url, endpoint, failure)) return HttpOutcome::kRefused;
    InitialiseLibrary();
    std::unique_ptr<CURL, EasyDeleter> handle(curl_easy_init());
    if (!handle) {
        failure = "cannot start an HTTP request";
        return HttpOutcome::kFailed;
    }
    CURL* easy = handle.get();
    std::string body = FormBody(easy, fields);
    std::unique_ptr<curl_slist, ListDeleter> headers(
        curl_slist_append(nullptr, "Accept: application/json"));
    ReplySink sink;
    char detail[CURL_ERROR_SIZE] = "";

    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    // The scheme checked above is the only one the library may speak, on
    // this request and on anything it would be sent to.
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, endpoint.scheme.c_str());
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(options.connectTimeoutMs));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(options.totalTimeoutMs));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (endpoint.loopback) curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, detail);
    if (!options.caFile.empty() && endpoint.scheme == "https") {
        if (curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, AddTrustAnchors) != CURLE_OK) {
            OPENSSL_cleanse(body.data(), body.size());
            failure = "this build's HTTP library cannot take an extra CA file";
            return HttpOutcome::kFailed;
        }
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &options.caFile);
    }

    const CURLcode code = curl_easy_perform(easy);
    OPENSSL_cleanse(body.data(), body.size());
    if (sink.tooLarge) {
        failure = "the identity provider at " + endpoint.label + " sent a reply larger than " +
                  std::to_string(kHttpMaxReplyBytes) + " bytes";
        return HttpOutcome::kFailed;
    }
    if (code != CURLE_OK) return Describe(code, detail, endpoint, options, failure);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300 && status < 400) {
        failure = "the identity provider at " + endpoint.label + " answered with a redirect " +
                  "(status " + std::to_string(status) + "); redirects are not followed";
        return HttpOutcome::kRedirected;
    }
    if (status < 200) {
        failure = "the identity provider at " + endpoint.label + " sent no usable status";
        return HttpOutcome::kFailed;
    }
    reply.status = status;
    reply.body = std::move(sink.body);
    return HttpOutcome::kAnswered;
}
