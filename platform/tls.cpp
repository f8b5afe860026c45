#include "platform/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

// The socket under a channel, as the custom BIO below reads and writes it.
struct TlsSocketState {
    int socket = kNoSocket;
    SocketResult last;   // the last system call's result
    bool ended = false;  // a receive saw the connection end
};

namespace {

constexpr const char* kClosedByServer = "connection closed by the server";

// --- The socket BIO ---------------------------------------------------------
// The library's own socket BIO writes with write(), which raises SIGPIPE when
// the server has gone; the connection layer never lets a send do that, and
// needs the system's error condition to log it. This BIO goes through the
// platform's SendBytes/ReceiveBytes instead.

TlsSocketState* StateOf(BIO* bio) {
    return static_cast<TlsSocketState*>(BIO_get_data(bio));
}

int ClampSize(int size) {
    return size < 0 ? 0 : size;
}

int BioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    TlsSocketState* state = StateOf(bio);
    state->last = SendBytes(state->socket, data, static_cast<size_t>(ClampSize(size)));
    if (state->last.count >= 0) return static_cast<int>(state->last.count);
    if (state->last.condition == SocketCondition::kWouldBlock) BIO_set_retry_write(bio);
    return -1;
}

int BioRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    TlsSocketState* state = StateOf(bio);
    state->last = ReceiveBytes(state->socket, data, static_cast<size_t>(ClampSize(size)));
    if (state->last.count > 0) return static_cast<int>(state->last.count);
    if (state->last.count == 0) {
        state->ended = true;
        return 0;
    }
    if (state->last.condition == SocketCondition::kWouldBlock) BIO_set_retry_read(bio);
    return -1;
}

int BioPuts(BIO* bio, const char* text) {
    return BioWrite(bio, text, static_cast<int>(std::strlen(text)));
}

long BioControl(BIO*, int command, long, void*) {
    // Nothing is buffered here, so a flush is done at once; every other
    // request (descriptor, kernel TLS, ...) is declined.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int BioDestroy(BIO*) {
    return 1;  // the state belongs to the channel
}

BIO_METHOD* SocketBioMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "trawlbox socket");
        if (made == nullptr) return made;
        BIO_meth_set_write(made, BioWrite);
        BIO_meth_set_read(made, BioRead);
        BIO_meth_set_puts(made, BioPuts);
        BIO_meth_set_ctrl(made, BioControl);
        BIO_meth_set_create(made, BioCreate);
        BIO_meth_set_destroy(made, BioDestroy);
        return made;
    }();
    return method;
}

// --- Client contexts --------------------------------------------------------
// One context per way of checking certificates, made at first use and kept
// for the life of the process: session threads are not waited for at
// shutdown, so a context must never go away under them. A context is only
// read once made, which the library allows from any number of threads.

using ContextKey = std::pair<bool, std::string>;

std::mutex& ContextLock = *new std::mutex;
std::map<ContextKey, SSL_CTX*>& Contexts = *new std::map<ContextKey, SSL_CTX*>;

// The library's reason for the oldest error queued on this thread, or
// `fallback`; empties the queue.
std::string QueuedReason(const char* fallback) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    if (ERR_SYSTEM_ERROR(code)) return std::strerror(ERR_GET_REASON(code));
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr) return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// What both sides share.
void SetCommonOptions(SSL_CTX* context) {
    // Older protocol versions have known breaks; every server worth reaching
    // speaks 1.2, and a client that cannot would put its password behind a
    // broken protocol.
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A send may be taken in parts, and its rest is offered again from a
    // moved position inside the caller's text.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Takes whatever the socket holds in one receive rather than a record
    // header and body in two.
    SSL_CTX_set_read_ahead(context, 1);
}

SSL_CTX* MakeContext(const ContextKey& key, std::string& failure) {
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        failure = QueuedReason("no TLS context");
        return nullptr;
    }
    SetCommonOptions(context);
    const auto& [verify, caFile] = key;
    SSL_CTX_set_verify(context, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    if (verify) {
        SSL_CTX_set_default_verify_paths(context);
        if (!caFile.empty() &&
            SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
            failure = "cannot read TlsCaFile " + caFile + ": " + QueuedReason("unreadable");
            SSL_CTX_free(context);
            return nullptr;
        }
    }
    ERR_clear_error();
    return context;
}

SSL_CTX* ClientContext(const TlsClientOptions& options, std::string& failure) {
    ContextKey key{options.verify, options.verify ? options.caFile : std::string()};
    std::lock_guard guard(ContextLock);
    auto found = Contexts.find(key);
    if (found != Contexts.end()) return found->second;
    // A failure is not kept: a CA file put in place later is read then.
    SSL_CTX* made = MakeContext(key, failure);
    if (made != nullptr) Contexts.emplace(key, made);
    return made;
}

// --- Server contexts --------------------------------------------------------
// One per certificate and key, kept for the life of the process like the
// client contexts.

using ServerKey = std::pair<std::string, std::string>;

std::map<ServerKey, SSL_CTX*>& ServerContexts = *new std::map<ServerKey, SSL_CTX*>;

SSL_CTX* MakeServerContext(const TlsServerOptions& options, std::string& failure) {
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        failure = QueuedReason("no TLS context");
        return nullptr;
    }
    SetCommonOptions(context);
    // The key first: read the other way round, a key of another
    // certificate is turned down as a bare "key values mismatch".
    if (SSL_CTX_use_PrivateKey_file(context, options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        failure = "cannot read ClientTlsKey " + options.keyFile + ": " + QueuedReason("unreadable");
    } else if (SSL_CTX_use_certificate_chain_file(context, options.certFile.c_str()) != 1) {
        failure =
            "cannot read ClientTlsCert " + options.certFile + ": " + QueuedReason("unreadable");
    } else if (SSL_CTX_check_private_key(context) != 1) {
        failure = "ClientTlsKey " + options.keyFile + " does not belong to ClientTlsCert " +
                  options.certFile;
    }
    ERR_clear_error();
    if (!failure.empty()) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

SSL_CTX* ServerContext(const TlsServerOptions& options, std::string& failure) {
    ServerKey key{options.certFile, options.keyFile};
    std::lock_guard guard(ContextLock);
    auto found = ServerContexts.find(key);
    if (found != ServerContexts.end()) return found->second;
    SSL_CTX* made = MakeServerContext(options, failure);
    if (made != nullptr) ServerContexts.emplace(key, made);
    return made;
}

// The time as the check prints it.
std::string TimeText(const ASN1_TIME* time) {
    struct tm parts {};
    if (ASN1_TIME_to_tm(time, &parts) != 1) return "unknown";
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

TlsResult Moved(long count) {
    TlsResult result;
    result.io.count = count;
    return result;
}

TlsResult MustWait(bool writable) {
    TlsResult result;
    result.io = SocketResult{-1, SocketCondition::kWouldBlock, 0};
    result.waitWritable = writable;
    return result;
}

TlsResult TlsFailure(std::string reason) {
    TlsResult result;
    result.io = SocketResult{-1, SocketCondition::kOther, 0};
    result.failure = std::move(reason);
    return result;
}

// The connection has ended (the server closed it, or another thread of ours
// shut it down). A read reports it as a plain socket does, with 0 bytes; a
// send must fail instead, or its caller would offer the rest again forever.
TlsResult Ended(TlsStep step) {
    switch (step) {
        case TlsStep::kRead:
            return Moved(0);
        case TlsStep::kWrite: {
            TlsResult result;
            result.io = SocketResult{-1, SocketCondition::kConnectionReset, 0};
            return result;
        }
        case TlsStep::kHandshake:
            break;
    }
    return TlsFailure(kClosedByServer);
}

}  // namespace

TlsChannel::TlsChannel() = default;

TlsChannel::~TlsChannel() {
    End(false);
}

bool TlsChannel::Attach(SSL* ssl, int socket, std::string& failure) {
    BIO_METHOD* method = SocketBioMethod();
    BIO* bio = ssl != nullptr && method != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        if (ssl != nullptr) SSL_free(ssl);
        failure = QueuedReason("out of memory");
        return false;
    }
    auto state = std::make_unique<TlsSocketState>();
    state->socket = socket;
    BIO_set_data(bio, state.get());
    SSL_set_bio(ssl, bio, bio);  // the one reference goes to the connection
    ssl_ = ssl;
    state_ = std::move(state);
    broken_ = false;
    return true;
}

bool TlsChannel::BeginServer(int socket, const TlsServerOptions& options, std::string& failure) {
    End(false);
    failure.clear();
    SSL_CTX* context = ServerContext(options, failure);
    if (context == nullptr) return false;
    if (!Attach(SSL_new(context), socket, failure)) return false;
    SSL_set_accept_state(ssl_);
    return true;
}

bool TlsChannel::Begin(int socket, const std::string& host, const TlsClientOptions& options,
                       std::string& failure) {
    End(false);
    failure.clear();
    SSL_CTX* context = ClientContext(options, failure);
    if (context == nullptr) return false;
    if (!Attach(SSL_new(context), socket, failure)) return false;
    SSL* ssl = ssl_;
    SSL_set_connect_state(ssl);

    IpAddress address;
    bool named = !ParseHostAddress(host, address);
    bool ok = true;
    if (named) {
        // Servers with several names choose their certificate by it.
        ok = SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
        if (ok && options.verify) {
            SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            ok = SSL_set1_host(ssl, host.c_str()) == 1;
        }
    } else if (options.verify) {
        // An address is never sent as the server name (RFC 6066 allows only
        // names there); the certificate must carry it as an address. The
        // lenient readings ("127.1") and brackets ("[::1]") name the same
        // address in its canonical form, which is what the check compares.
        ok =
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), IpAddressText(address).c_str()) == 1;
    }
    if (!ok) {
        failure = QueuedReason("unusable host name");
        End(false);
        return false;
    }
    return true;
}

TlsResult TlsChannel::Failed(int returned, TlsStep step) {
    int error = SSL_get_error(ssl_, returned);
    switch (error) {
        case SSL_ERROR_WANT_READ:
            return MustWait(false);
        case SSL_ERROR_WANT_WRITE:
            return MustWait(true);
        case SSL_ERROR_ZERO_RETURN:  // the server's close_notify
            ERR_clear_error();
            broken_ = true;
            return Ended(step);
        default:
            break;
    }
    broken_ = true;
    if (error == SSL_ERROR_SSL) {
        unsigned long code = ERR_peek_error();
        if (ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            // The connection ended without a close_notify: the server, or
            // another thread of ours shutting the socket down.
            ERR_clear_error();
            return Ended(step);
        }
        std::string reason = QueuedReason("TLS failure");
        long verified = SSL_get_verify_result(ssl_);
        if (ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED && verified != X509_V_OK) {
            reason += ": ";
            reason += X509_verify_cert_error_string(verified);
        }
        return TlsFailure(reason);
    }
    ERR_clear_error();
    if (state_->ended || state_->last.count >= 0) return Ended(step);
    // A system error: reported as the socket's own condition, so that the
    // connection layer names it as it names a plain socket's.
    TlsResult result;
    result.io = state_->last;
    if (step == TlsStep::kHandshake) result.failure = std::strerror(state_->last.code);
    return result;
}

TlsResult TlsChannel::Handshake() {
    if (ssl_ == nullptr) return TlsFailure("no TLS channel");
    ERR_clear_error();  // the queue is per thread and may hold an older failure
    int returned = SSL_do_handshake(ssl_);
    if (returned == 1) return Moved(1);
    return Failed(returned, TlsStep::kHandshake);
}

TlsResult TlsChannel::Read(char* data, size_t size) {
    if (ssl_ == nullptr) return TlsFailure("no TLS channel");
    ERR_clear_error();
    size_t got = 0;
    if (SSL_read_ex(ssl_, data, size, &got) == 1) {
        return Moved(static_cast<long>(got));
    }
    return Failed(0, TlsStep::kRead);
}

bool TlsChannel::HasPending() const {
    return ssl_ != nullptr && SSL_has_pending(ssl_) == 1;
}

TlsResult TlsChannel::Write(const char* data, size_t size) {
    if (ssl_ == nullptr) return TlsFailure("no TLS channel");
    if (size == 0) return Moved(0);
    ERR_clear_error();
    size_t sent = 0;
    if (SSL_write_ex(ssl_, data, size, &sent) == 1) return Moved(static_cast<long>(sent));
    return Failed(0, TlsStep::kWrite);
}

std::string TlsChannel::Description() const {
    if (ssl_ == nullptr || SSL_is_init_finished(ssl_) != 1) return "";
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
    return std::string(SSL_get_version(ssl_)) + " " +
           (cipher != nullptr ? SSL_CIPHER_get_name(cipher) : "");
}

void TlsChannel::End(bool notifyPeer) {
    if (ssl_ == nullptr) return;
    if (notifyPeer && !broken_ && SSL_is_init_finished(ssl_) == 1) {
        // Once, without waiting: the socket is closed right after, and the
        // server's answer would change nothing.
        ERR_clear_error();
        SSL_shutdown(ssl_);
        ERR_clear_error();
    }
    SSL_free(std::exchange(ssl_, nullptr));
    state_.reset();
    broken_ = false;
}

std::string PrepareServerTls(const TlsServerOptions& options) {
    std::string failure;
    ServerContext(options, failure);
    return failure;
}

bool ReadCertificateFacts(const std::string& certFile, CertificateFacts& facts,
                          std::string& failure) {
    ERR_clear_error();
    BIO* file = BIO_new_file(certFile.c_str(), "r");
    X509* certificate =
        file != nullptr ? PEM_read_bio_X509(file, nullptr, nullptr, nullptr) : nullptr;
    if (file != nullptr) BIO_free(file);
    if (certificate == nullptr) {
        failure = "cannot read certificate " + certFile + ": " + QueuedReason("unreadable");
        return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(certificate, EVP_sha256(), digest, &length);
    constexpr char kHexDigits[] = "0123456789ABCDEF";
    facts.fingerprint.clear();
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) facts.fingerprint += ':';
        facts.fingerprint += kHexDigits[digest[i] >> 4];
        facts.fingerprint += kHexDigits[digest[i] & 0xF];
    }
    const ASN1_TIME* notAfter = X509_get0_notAfter(certificate);
    facts.notAfter = TimeText(notAfter);
    int days = 0;
    int seconds = 0;
    facts.secondsLeft = 0;
    if (ASN1_TIME_diff(&days, &seconds, nullptr, notAfter) == 1) {
        facts.secondsLeft = static_cast<int64_t>(days) * 86400 + seconds;
    }
    X509_free(certificate);
    ERR_clear_error();
    return true;
}

std::string TlsLibraryVersion() {
    return OpenSSL_version(OPENSSL_VERSION);
}
