#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
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

constexpr size_t kIpv4Bytes = 4;

// A socket address of either family, as the system calls take it.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t size = 0;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

SocketAddress SocketAddressOf(const IpAddress& address, int port) {
    SocketAddress where;
    auto portBytes = htons(static_cast<uint16_t>(port));
    if (address.family == IpFamily::kIpv4) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&where.storage);
        v4->sin_family = AF_INET;
        v4->sin_port = portBytes;
        std::memcpy(&v4->sin_addr, address.bytes.data(), kIpv4Bytes);
        where.size = sizeof(sockaddr_in);
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&where.storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = portBytes;
        std::memcpy(&v6->sin6_addr, address.bytes.data(), address.bytes.size());
        where.size = sizeof(sockaddr_in6);
    }
    return where;
}

// The address of a socket address; an IPv4-mapped one (an IPv4 peer of a
// dual-stack socket) as the IPv4 address it carries.
IpAddress AddressOf(const sockaddr* where) {
    IpAddress address;
    if (where->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(where);
        std::memcpy(address.bytes.data(), &v4->sin_addr, kIpv4Bytes);
    } else if (where->sa_family == AF_INET6) {
        address = Ipv6Address(reinterpret_cast<const sockaddr_in6*>(where)->sin6_addr.s6_addr);
    }
    return address;
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

// Ends an interrupted or non-blocking connect: waits until the socket is
// writable, at most until `deadline` (without limit when it is nullptr), and
// reads how the connect ended.
bool FinishConnect(int socket, const std::chrono::steady_clock::time_point* deadline) {
    for (;;) {
        int timeoutMs = -1;
        if (deadline != nullptr) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            timeoutMs = static_cast<int>(left.count());
        }
        WaitOutcome outcome = WaitFor(socket, POLLOUT, timeoutMs);
        if (outcome == WaitOutcome::kFailed) return false;
        if (outcome == WaitOutcome::kReady) break;
        // A time-out or a signal: the loop measures what is left.
    }
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
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

int OpenTcpSocket(IpFamily family) {
    int domain = family == IpFamily::kIpv4 ? AF_INET : AF_INET6;
    int socket = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return socket >= 0 ? socket : kNoSocket;
}

bool CloseSocket(int socket) {
    return socket >= 0 && ::close(socket) == 0;
}

void ShutdownSocket(int socket) {
    if (socket >= 0) ::shutdown(socket, SHUT_RDWR);
}

bool ParseHostAddress(std::string_view host, IpAddress& address) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        IpAddress inside;
        // Brackets are for IPv6 alone, as in a URL.
        if (!ParseIpAddress(host.substr(1, host.size() - 2), inside) ||
            host.find(':') == std::string_view::npos) {
            return false;
        }
        address = inside;
        return true;
    }
    if (host.find(':') != std::string_view::npos) return ParseIpAddress(host, address);
    // inet_aton, unlike inet_pton, takes the lenient forms users have always
    // been able to write, and stops at a blank as it always did.
    std::string terminated(host);
    in_addr v4{};
    if (::inet_aton(terminated.c_str(), &v4) == 0) return false;
    address = IpAddress{};
    std::memcpy(address.bytes.data(), &v4, kIpv4Bytes);
    return true;
}

bool ResolveHostName(const std::string& name, std::vector<IpAddress>& addresses,
                     std::string& canonicalName) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    std::vector<IpAddress> all;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
        IpAddress address = AddressOf(entry->ai_addr);
        if (std::find(all.begin(), all.end(), address) == all.end()) all.push_back(address);
    }
    std::string canonical = found->ai_canonname ? std::string(found->ai_canonname) : name;
    ::freeaddrinfo(found);
    if (all.empty()) return false;
    addresses = std::move(all);
    canonicalName = std::move(canonical);
    return true;
}

bool ConnectSocket(int socket, const IpAddress& address, int port, int timeoutMs) {
    SocketAddress where = SocketAddressOf(address, port);
    int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0) return false;
    // A connect with a time-out runs non-blocking and is waited for here.
    bool bounded = timeoutMs >= 0;
    bool switched = bounded && (flags & O_NONBLOCK) == 0;
    if (switched && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool connected = ::connect(socket, where.get(), where.size) == 0;
    if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
        // An interrupted connect goes on in the background, as a
        // non-blocking one does: wait for its end.
        connected = FinishConnect(socket, bounded ? &deadline : nullptr);
    }
    if (switched) ::fcntl(socket, F_SETFL, flags);
    return connected;
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

bool SetDualStack(int socket) {
    int off = 0;
    return ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0;
}

bool BindSocket(int socket, const IpAddress& address, int port) {
    SocketAddress where = SocketAddressOf(address, port);
    return ::bind(socket, where.get(), where.size) == 0;
}

bool ListenSocket(int socket, int backlog) {
    return ::listen(socket, backlog) == 0;
}

int LocalPort(int socket) {
    sockaddr_storage where{};
    socklen_t size = sizeof where;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&where), &size) != 0) return 0;
    if (where.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&where)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&where)->sin_port);
}

int AcceptConnection(int listeningSocket, IpAddress& peerAddress) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    int socket;
    do {
        socket =
            ::accept4(listeningSocket, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    } while (socket < 0 && errno == EINTR);
    if (socket < 0) return kNoSocket;
    peerAddress = AddressOf(reinterpret_cast<const sockaddr*>(&peer));
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
