// TLS over a connected TCP socket: as a client towards real servers that
// want it, and as a server towards the proxy's own mail programs and news
// readers when a certificate is configured. The library behind it (OpenSSL)
// is seen nowhere but in tls.cpp.
//
// A channel belongs to one session slot and is used only by the slot's owner
// thread, like the socket under it: another thread that must end the
// connection shuts the socket down (ShutdownSocket), which makes the owner's
// next or pending step fail, and never touches the channel.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/socket.h"

struct ssl_st;
struct TlsSocketState;

// Which call a TLS result belongs to.
enum class TlsStep : int { kHandshake, kRead, kWrite };

// How a server's certificate is checked.
struct TlsClientOptions {
    // Checks the chain against the system's trust store and `caFile`, and the
    // certificate's names against the host the connection was made for.
    bool verify = true;
    // A PEM file of further trust anchors; "" for none. Ignored without verify.
    std::string caFile;
};

// The proxy's own certificate, offered to its clients.
struct TlsServerOptions {
    std::string certFile;  // PEM: the certificate, then any intermediates
    std::string keyFile;   // PEM: its private key
};

// What a check tells the user about a certificate file.
struct CertificateFacts {
    std::string fingerprint;  // SHA-256 of the DER form, "AB:CD:..." (32 pairs)
    std::string notAfter;     // end of validity, "2036-12-31 23:59:59 UTC"
    int64_t secondsLeft = 0;  // until notAfter; negative once it has passed
};

// Reads the first certificate of the PEM file. Returns true with its facts;
// false with the reason in `failure` when the file cannot be read or holds
// no certificate.
bool ReadCertificateFacts(const std::string& certFile, CertificateFacts& facts,
                          std::string& failure);

// Returns "" when a server can be set up with the certificate and key (both
// readable, the key belonging to the certificate); else the reason. The
// context is kept for BeginServer.
std::string PrepareServerTls(const TlsServerOptions& options);

// The outcome of one TLS step, read like a plain socket's SocketResult:
// `io.count` bytes moved (on a read, 0 means the server ended the connection),
// or -1 with the condition. kWouldBlock asks the caller to wait for the socket
// (writable when `waitWritable`, else readable) and to repeat the same call.
// A failure of the TLS layer itself has the condition kOther, code 0, and
// the library's reason in `failure`.
struct TlsResult {
    SocketResult io;
    bool waitWritable = false;
    std::string failure;
};

class TlsChannel {
  public:
    TlsChannel();
    ~TlsChannel();  // as End(false)
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Prepares a client connection on `socket` (connected, non-blocking) for
    // `host`: a name is sent as the server name (SNI) and, with verify, must
    // be named by the certificate; an address (as ParseHostAddress reads it:
    // "192.0.2.1", "[2001:db8::1]") is not sent and must be a certificate
    // address. Returns true; false with the reason in
    // `failure` when no client context can be made (a CA file that cannot be
    // read). Ends a channel still held first.
    bool Begin(int socket, const std::string& host, const TlsClientOptions& options,
               std::string& failure);

    // Prepares the server side of a connection on `socket` (connected,
    // blocking or not) with the certificate and key; TLS 1.2 at least.
    // Returns true; false with the reason in `failure` when no server context
    // can be made (PrepareServerTls's reasons). Ends a channel still held.
    bool BeginServer(int socket, const TlsServerOptions& options, std::string& failure);

    // Takes the handshake one step further. Returns io.count 1 when it is
    // complete; kWouldBlock to wait and call again; any other result is final
    // and carries a text for the log in `failure` ("certificate verify failed:
    // unable to get local issuer certificate", "wrong version number",
    // "connection closed by the server", a system error's text).
    TlsResult Handshake();

    // Receives up to `size` decrypted bytes (one record's worth at most).
    TlsResult Read(char* data, size_t size);

    // True when the library holds received bytes that Read hands out without
    // the socket becoming readable again; false when not active.
    bool HasPending() const;

    // Sends up to `size` bytes; a part may be taken (io.count tells how much).
    // After kWouldBlock the rest must be offered again with the same bytes.
    TlsResult Write(const char* data, size_t size);

    // "TLSv1.3 TLS_AES_256_GCM_SHA384": the protocol version and cipher of an
    // established channel; "" before the handshake completed.
    std::string Description() const;

    // True from Begin until End.
    bool active() const { return ssl_ != nullptr; }

    // Ends the channel and frees it; the socket stays open for its owner to
    // close. With `notifyPeer`, and when the handshake completed and no step
    // failed, a close_notify is offered once to the socket first, without
    // waiting for it to be sent or answered. Does nothing when not active.
    void End(bool notifyPeer);

  private:
    bool Attach(ssl_st* ssl, int socket, std::string& failure);
    TlsResult Failed(int returned, TlsStep step);

    ssl_st* ssl_ = nullptr;
    std::unique_ptr<TlsSocketState> state_;  // the socket as the library's I/O sees it
    bool broken_ = false;                    // a step failed: no close_notify any more
};

// Returns the name and version of the TLS library the program runs on, as
// the library itself reports it ("OpenSSL 3.0.x ...").
std::string TlsLibraryVersion();
