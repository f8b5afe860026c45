// TCP over IPv4 and IPv6: the few socket calls the connection layer needs,
// with the system's error codes sorted into the conditions the connection
// layer logs. A socket is named by its number (a file descriptor); -1 names
// none. A socket's family is chosen when it is opened; the addresses given
// to it must be of that family.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_address.h"

inline constexpr int kNoSocket = -1;

// The conditions a send or receive can meet, as far as callers tell them apart.
enum class SocketCondition : int {
    kNone,             // success
    kWouldBlock,       // non-blocking socket not ready (EWOULDBLOCK/EAGAIN)
    kMessageTooLong,   // EMSGSIZE
    kConnectionReset,  // ECONNRESET, and EPIPE (the peer has gone)
    kConnectionAbort,  // ECONNABORTED
    kTimedOut,         // ETIMEDOUT
    kInvalid,          // EINVAL
    kNotSocket,        // ENOTSOCK, EBADF
    kOther,            // anything else; the code tells which
};

// The outcome of one send or receive: `count` bytes moved (0 on a receive
// means the peer closed), or -1 with the condition and the system's code.
struct SocketResult {
    long count = 0;
    SocketCondition condition = SocketCondition::kNone;
    int code = 0;
};

// What a wait for readiness ended with.
enum class WaitOutcome : int { kReady, kTimedOut, kFailed };

// Owns one socket number and closes it on destruction. Move-only; Release()
// hands the number to another owner (a session slot).
class SocketHandle {
  public:
    SocketHandle() = default;
    explicit SocketHandle(int socket) : socket_(socket) {}
    ~SocketHandle();
    SocketHandle(SocketHandle&& other) noexcept;
    SocketHandle& operator=(SocketHandle&& other) noexcept;
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    int get() const { return socket_; }
    bool valid() const { return socket_ >= 0; }
    // Gives up ownership; returns the number (kNoSocket when there was none).
    int Release();
    // Closes the socket now, if there is one.
    void Reset();

  private:
    int socket_ = kNoSocket;
};

// Returns a new TCP stream socket of the family (blocking, close-on-exec), or
// kNoSocket (for IPv6 also on a system without IPv6).
int OpenTcpSocket(IpFamily family = IpFamily::kIpv4);

// Closes the socket number. Returns false when the system refused (not open).
bool CloseSocket(int socket);

// Ends both directions of the connection without giving up the number: a
// thread blocked in a receive, send or wait on it wakes at once and sees the
// connection end. Safe while another thread uses the socket.
void ShutdownSocket(int socket);

// Reads a host that is written as an address rather than a name: dotted IPv4
// in the classic lenient reading (also "127.1", hex and octal parts, and
// anything after a blank ignored), or
// IPv6 with or without the brackets a host name field needs for it
// ("[2001:db8::1]", "2001:db8::1"; an IPv4-mapped one as its IPv4 address).
// Returns false, leaving `address` alone, for anything else: a name.
bool ParseHostAddress(std::string_view host, IpAddress& address);

// Looks up a host name in both families. Returns true with every address the
// resolver gives, in its order of preference and each once, and the
// canonical name of the result (the name itself when the resolver gives
// none); false, leaving both alone, when the name is unknown.
bool ResolveHostName(const std::string& name, std::vector<IpAddress>& addresses,
                     std::string& canonicalName);

// Connects, waiting at most `timeoutMs` milliseconds for the connect to
// complete (a negative time-out waits as long as the system tries). Returns
// true on success; false when the connect was refused, failed or timed out.
// The socket keeps its blocking mode.
bool ConnectSocket(int socket, const IpAddress& address, int port, int timeoutMs = -1);

// Switches non-blocking mode on or off. Returns false when the system refused.
bool SetNonBlocking(int socket, bool on);

// Sends every segment at once, without waiting to fill it (TCP_NODELAY).
void SetNoDelay(int socket);

// Returns true when TCP_NODELAY is set on the socket.
bool NoDelayEnabled(int socket);

// Lets a restarted listener bind its port at once while old connections of
// the previous run linger; a second running listener still fails to bind.
void SetReuseAddress(int socket);

// Lets an IPv6 socket take IPv4 connections too (IPV6_V6ONLY off), whose
// peers then come as IPv4-mapped addresses (AcceptConnection reads them as
// IPv4). Call before BindSocket. Returns false when the system refused.
bool SetDualStack(int socket);

// Binds to address:port (port 0: the system chooses). Returns true on success.
bool BindSocket(int socket, const IpAddress& address, int port);

// Starts listening. Returns true on success.
bool ListenSocket(int socket, int backlog);

// Returns the local port the socket is bound to, or 0 when it is not bound.
int LocalPort(int socket);

// Waits for and accepts a connection. Returns the new socket (blocking,
// close-on-exec) with the peer's address in `peerAddress` (an IPv4 client of
// a dual-stack socket as IPv4), or kNoSocket.
int AcceptConnection(int listeningSocket, IpAddress& peerAddress);

// Sends up to `size` bytes once, never raising SIGPIPE.
SocketResult SendBytes(int socket, const char* data, size_t size);

// Receives up to `size` bytes once.
SocketResult ReceiveBytes(int socket, char* data, size_t size);

// Waits until the socket can be read (or has ended), at most `timeoutMs`
// milliseconds; a negative time-out waits without limit.
WaitOutcome WaitReadable(int socket, int timeoutMs);

// As WaitReadable, for writing.
WaitOutcome WaitWritable(int socket, int timeoutMs);
