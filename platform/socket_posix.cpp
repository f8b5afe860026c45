#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

SocketCondition ConditionOf(int code) {
    switch (code) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return SocketCondition::kWouldBlock;
        case EMSGSIZE:
            return SocketCondition::kMessageTooLong;
        case ECONNRESET:
        case EPIPE:  // sending after the peer reset or closed: the same broken link
            return SocketCondition::kConnectionReset;
        case ECONNABORTED:
            return SocketCondition::kConnectionAbort;
        case ETIMEDOUT:
            return SocketCondition::kTimedOut;
        case EINVAL:
            return SocketCondition::kInvalid;
        case ENOTSOCK:
        case EBADF:
            return SocketCondition::kNotSocket;
        default:
            return SocketCondition::kOther;
    }
}

SocketResult ResultOf(ssize_t count) {
    if (count >= 0) return SocketResult{static_cast<long>(count), SocketCondition::kNone, 0};
    int code = errno;
    return SocketResult{-1, ConditionOf(code), code};
}

sockaddr_in SocketAddress(uint32_t address, int port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = address;
    where.sin_port = htons(static_cast<uint16_t>(port));
    return where;
}

WaitOutcome WaitFor(int socket, short events, int timeoutMs) {
    pollfd entry{socket, events, 0};
    int n = ::poll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (n > 0) return (entry.revents & POLLNVAL) ? WaitOutcome::kFailed : WaitOutcome::kReady;
    // A signal that cuts the wait short counts as the end of this wait:
    // callers measure the time themselves and wait again.
    if (n == 0 || errno == EINTR) return WaitOutcome::kTimedOut;
    return WaitOutcome::kFailed;
}

}  // namespace

SocketHandle::~SocketHandle() {
    Reset();
}

SocketHandle::SocketHandle(SocketHandle&& other) noexcept
    : socket_(std::exchange(other.socket_, kNoSocket)) {}

SocketHandle& SocketHandle::operator=(SocketHandle&& other) noexcept {
    if (this != &other) {
        Reset();
        socket_ = std::exchange(other.socket_, kNoSocket);
    }
    return *this;
}

int SocketHandle::Release() {
    return std::exchange(socket_, kNoSocket);
}

void SocketHandle::Reset() {
    if (socket_ >= 0) ::close(std::exchange(socket_, kNoSocket));
}

int OpenTcpSocket() {
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return socket >= 0 ? socket : kNoSocket;
}

bool CloseSocket(int socket) {
    return socket >= 0 && ::close(socket) == 0;
}

void ShutdownSocket(int socket) {
    if (socket >= 0) ::shutdown(socket, SHUT_RDWR);
}

uint32_t ParseDottedAddress(const std::string& text) {
    return ::inet_addr(text.c_str());
}

bool ResolveHostName(const std::string& name, uint32_t& address, std::string& canonicalName) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    canonicalName = found->ai_canonname ? std::string(found->ai_canonname) : name;
    ::freeaddrinfo(found);
    return true;
}

std::string DottedAddress(uint32_t address) {
    in_addr where{};
    where.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &where, text, sizeof text) ? std::string(text) : std::string();
}

bool ConnectSocket(int socket, uint32_t address, int port) {
    sockaddr_in where = SocketAddress(address, port);
    for (;;) {
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0) {
            return true;
        }
        if (errno != EINTR) return false;
        // An interrupted connect goes on in the background: wait for its end.
        if (WaitFor(socket, POLLOUT, -1) != WaitOutcome::kReady) return false;
        int error = 0;
        socklen_t size = sizeof error;
        return ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
}

bool SetNonBlocking(int socket, bool on) {
    int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(socket, F_SETFL, flags) == 0;
}

void SetNoDelay(int socket) {
    int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool NoDelayEnabled(int socket) {
    int on = 0;
    socklen_t size = sizeof on;
    return ::getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, &size) == 0 && on != 0;
}

void SetReuseAddress(int socket) {
    int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

bool BindSocket(int socket, uint32_t address, int port) {
    sockaddr_in where = SocketAddress(address, port);
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0;
}

bool ListenSocket(int socket, int backlog) {
    return ::listen(socket, backlog) == 0;
}

int LocalPort(int socket) {
    sockaddr_in where{};
    socklen_t size = sizeof where;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&where), &size) != 0) return 0;
    return ntohs(where.sin_port);
}

int AcceptConnection(int listeningSocket, uint32_t& peerAddress) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    int socket;
    do {
        socket =
            ::accept4(listeningSocket, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    } while (socket < 0 && errno == EINTR);
    if (socket < 0) return kNoSocket;
    peerAddress = peer.sin_addr.s_addr;
    return socket;
}

SocketResult SendBytes(int socket, const char* data, size_t size) {
    ssize_t n;
    do {
        n = ::send(socket, data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return ResultOf(n);
}

SocketResult ReceiveBytes(int socket, char* data, size_t size) {
    ssize_t n;
    do {
        n = ::recv(socket, data, size, 0);
    } while (n < 0 && errno == EINTR);
    return ResultOf(n);
}

WaitOutcome WaitReadable(int socket, int timeoutMs) {
    return WaitFor(socket, POLLIN, timeoutMs);
}

WaitOutcome WaitWritable(int socket, int timeoutMs) {
    return WaitFor(socket, POLLOUT, timeoutMs);
}

uint32_t LoopbackAddress() {
    return htonl(INADDR_LOOPBACK);
}

uint32_t AnyAddress() {
    return htonl(INADDR_ANY);
}
