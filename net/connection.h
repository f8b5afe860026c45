// One connection of the proxy, client side or server side, and the line
// exchange on it.
//
// A Connection holds an entry of the session table (its slot number, the
// connection's identity in greetings, logs and the console) and owns what
// only its own thread touches: the receive buffer, the TLS channel and the
// failed flag. It is move-only, so whoever holds it is the one thread that
// sends, receives and closes the socket number; the watchdog and the
// operator end it from outside through the table (net/session_table.h).
//
// An empty Connection (made by the default constructor, moved from, or
// released) stands for "no connection": every operation returns at once
// without sending, receiving or logging. Broken links are never returned as
// errors: they set the failed flag (LinkFailed) and are logged.
//
// Outgoing connections are non-blocking: a receive or send on them waits for
// the socket to become ready and gives up ("Line_Socket_Timeout",
// "Send_Socket_Timeout") once the entry's timeoutSeconds have passed on the
// monotonic clock, or waits without limit when timeoutSeconds is 0. Accepted
// connections stay blocking and wait without limit: only the watchdog ends a
// wait that lasts too long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_address.h"
#include "platform/tls.h"

// Bytes taken from the socket by one receive call: large, so that a long
// message costs few system calls. Lines are handed out from a read offset, so
// the chunk size costs nothing per line.
inline constexpr size_t kReceiveChunkBytes = 64 * 1024;

// Received bytes a connection may hold without a line feed. Far above any
// real mail or news line; a peer that sends an endless line is cut off here
// instead of growing the process without bound.
inline constexpr size_t kMaxPendingBytes = 1024 * 1024;

// Lines gathered for a peer are sent once they exceed this size: few system
// calls for large messages, and a bounded amount held per session.
inline constexpr size_t kRelayBatchBytes = 64 * 1024;

// Before RelayBlockTo waits for more of a block, it sends what it has
// gathered once that is more than this: a message arriving in pieces reaches
// the receiver as it comes instead of at its end, while a few short lines are
// not worth a send of their own.
inline constexpr size_t kRelayEarlySendBytes = 1024;

// Lines of a multi-line block that ReadBlock takes at most: above the
// longest listing a real server sends (a mailbox of a million messages, a
// header of thousands of lines), so that only a peer that never ends its
// block is cut off.
inline constexpr size_t kMaxBlockLines = 2 * 1000 * 1000;

// Only this many characters of a host name are used for a connect.
inline constexpr size_t kHostNameLimit = 63;

// How long one connect to one address of a server may take. Two lost
// handshake packets (resent after one and three seconds) still connect; a
// dead address costs the login no more than this before the next address
// is tried, instead of the system's two minutes of retries.
inline constexpr int kConnectTimeoutMs = 10 * 1000;

// Looks a host name up as ResolveHostName (platform/socket.h) does.
using HostResolver = bool (*)(const std::string& name, std::vector<IpAddress>& addresses,
                              std::string& canonicalName);

// Judges every address a host stands for (the address itself, or all its
// name resolved to) before a connect to any of them; true lets it go on.
using AddressGate = std::function<bool(const std::vector<IpAddress>& addresses)>;

// Makes ConnectTo look names up with `resolver`; nullptr restores the
// system's resolver. For tests that need a name with several addresses.
void SetHostResolverForTesting(HostResolver resolver);

// Received bytes of one connection. The bytes before `offset` were handed out
// already; they are dropped only now and then, so that handing out a line
// never moves the rest of the buffer.
struct ReceiveBuffer {
    std::string bytes;
    size_t offset = 0;

    // Returns the bytes received but not yet handed out.
    std::string_view Unread() const { return std::string_view(bytes).substr(offset); }
    void clear() {
        bytes.clear();
        offset = 0;
    }
};

class Connection {
  public:
    Connection() = default;
    // Releases the connection (see Release).
    ~Connection();
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects to host:port. The host (its first kHostNameLimit characters)
    // is an address as ParseHostAddress reads it ("192.0.2.1",
    // "[2001:db8::1]") or a name, whose addresses of both families are
    // tried in the resolver's order until one connects; each connect is
    // bounded by kConnectTimeoutMs. Logs every failed address ("Failed
    // connection to 'name (address)'  Port:n") and the one that connected
    // ("Outgoing connection to ..."). Returns the connection (entry state
    // kUpstream, timeoutSeconds 0), or an empty one when no connect
    // succeeded; nothing is left reserved or open then. Fails, without
    // touching it, when the table is full and its overflow entry is in use.
    // When `admits` is given and refuses the addresses, no connect is
    // attempted and an empty connection is returned; the gate is called with
    // the very addresses the connect would have tried, so that a name cannot
    // resolve to one address when it is judged and to another when it is
    // used. The gate logs its refusal; ConnectTo logs nothing then.
    static Connection ConnectTo(const std::string& host, int port, const AddressGate& admits = {});

    // Takes an accepted socket into `slot`, which the caller reserved: peer
    // address, listening port, time-out (the countdown set to it). The entry
    // stays kReserved; the socket is owned by the connection from here on.
    // Returns an empty connection, closing the socket, for a slot outside
    // 1..kSlotCount.
    static Connection Accepted(int slot, int socket, const IpAddress& address, int port,
                               int timeoutSeconds);

    // The slot number; 0 for no connection.
    int slot() const { return slot_; }

    // True while the connection holds a table entry.
    bool open() const { return slot_ > 0; }

    // True once a send or receive failed (the peer went away, a time-out, a
    // close by the watchdog or the operator); false for no connection.
    bool LinkFailed() const { return failed_; }

    // Sets the entry's idle time-out and its countdown to `seconds`.
    void SetTimeout(int seconds);

    // Sets the countdown back to the time-out, as every exchange does: for a
    // connection that must outlive a long silence (the client while the scan
    // runs, the server while the client is served from the session's table).
    void KeepAlive();

    // Sends the text followed by CR LF: a command, a reply line.
    void SendLine(std::string_view text);

    // Sends the text as it is (it carries its own line ends).
    void SendText(std::string_view text);

    // Receives one line without its line end (the LF and a CR directly
    // before it). On failure the link is marked failed and the line is the
    // empty text.
    void ReceiveLine(std::string& line);

    // Returns true when the buffer already holds a whole line, so that
    // ReceiveLine would not wait.
    bool HasBufferedLine() const;

    // Waits up to `waitMs` for a whole line, taking in what arrives, without
    // marking the link failed when none comes. Returns true when a line is
    // buffered (ReceiveLine then takes it at once); false when none came in
    // time, the link failed (LinkFailed tells), or this is no connection.
    // For a blocking (accepted) connection too: the socket is read only once
    // it is readable.
    bool AwaitLine(int waitMs);

    // Reads the lines of a multi-line block up to the line "." that ends it,
    // handing each other line (as received, without its line end) to `take`,
    // which returns false to refuse it. Returns true when the "." came; false
    // when the link failed, `take` refused a line, more than `lineLimit`
    // lines came before the ".", or this is no connection. The rest of a
    // block given up on is left unread.
    template <typename Take>
    bool ReadBlock(size_t lineLimit, Take&& take) {
        if (!open()) return false;
        std::string line;
        for (size_t count = 0;; ++count) {
            ReceiveLine(line);
            if (failed_) return false;
            if (line == ".") return true;
            if (count == lineLimit || !take(line)) return false;
        }
    }

    // Copies lines from this connection to `to` up to and including the line
    // "."; stops early when either link fails. A non-empty `leadLine` (a
    // reply line announcing the block) is sent with CR LF ahead of the block,
    // in the same batch as its first lines. Does nothing when either is no
    // connection.
    void RelayBlockTo(Connection& to, std::string_view leadLine = {});

    // Reads and drops lines up to and including the line "."; stops when the
    // link fails.
    void SkipBlock();

    // Marks the lines that follow, both ways, as part of a SASL exchange
    // (true) or not (false): the console echo then shows its challenges and
    // responses as "***" (core/secret_text.h). Lines that carry a secret by
    // their command (PASS, APOP, AUTH, AUTHINFO) are masked either way.
    void SetSaslExchange(bool on) { saslExchange_ = on; }

    // Begins TLS as a client for `host` and runs the handshake, waiting for
    // the socket as the library asks, up to the time-out (without limit when
    // it is 0); a shut-down by the watchdog or the operator ends it too.
    // Bytes received before are dropped: they came in plaintext and must not
    // be read later as if they had come over TLS (an injected reply).
    // Returns "" when TLS is established; else the reason it is not, and the
    // link is then marked failed.
    std::string SecureAsClient(const std::string& host, const TlsClientOptions& options);

    // Begins TLS as the server of an accepted client with the proxy's own
    // certificate and runs the handshake, bounded as SecureAsClient's. Bytes
    // received before are dropped: a command sent behind STLS or STARTTLS in
    // plaintext must not be taken as if it had come over TLS (RFC 2595 4,
    // RFC 4642 2.2.2). Returns "" when TLS is established; else the reason
    // it is not, and the link is then marked failed.
    std::string SecureAsServer(const TlsServerOptions& options);

    // True while the connection speaks TLS.
    bool TlsActive() const { return tls_ != nullptr && tls_->active(); }

    // "TLSv1.3 TLS_AES_256_GCM_SHA384" while TLS is established; "" otherwise.
    std::string TlsDescription() const;

    // Closes the connection and empties the receive buffer; the entry stays
    // held until Release. A TLS channel tells the peer with a close_notify
    // while the link works. Logs "Socket closed" and returns true when a
    // connection was closed; logs "Socket already closed" and returns false
    // when it was closed already (a connection the watchdog or the operator
    // shut down counts as closed, but its number is given back here all the
    // same). Returns false without logging for no connection.
    bool Close();

    // Gives the entry back (state kFree): a TLS channel still held is ended
    // without notice to the peer and a socket number still held is closed,
    // silently. The connection is empty afterwards.
    void Release();

    // Forgets the entry without giving it back: it stays kReserved for good
    // (the overflow entry after a client was turned away on it). Call after
    // Close. The connection is empty afterwards.
    void LeaveReserved();

  private:
    struct WaitStart;

    explicit Connection(int slot) : slot_(slot) {}
    void Forget();
    bool LostToOthers();
    template <typename BeforeWait>
    bool FillBuffer(WaitStart& start, BeforeWait&& beforeWait);
    void RelayBlockByLines(Connection& to, std::string_view leadLine);
    std::string Handshake();

    int slot_ = 0;
    ReceiveBuffer buffer_;
    std::unique_ptr<TlsChannel> tls_;  // while the connection speaks TLS
    bool failed_ = false;
    bool saslExchange_ = false;
};

// For any thread but the connection's own (the watchdog, the operator):
// shuts the slot's connection down, which wakes its owner blocked on it at
// once, and logs "Socket closed"; logs "Socket already closed" when it was
// closed already. Returns true when a connection was shut down; false
// without logging for a slot outside 1..kSlotCount.
bool CloseFromOutside(int slot);
