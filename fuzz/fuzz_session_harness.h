// The plumbing shared by the session fuzz targets: one session body runs in a
// thread of its own with a client connection accepted on loopback, as the
// listener would hand it over; the harness plays the client on the other
// end, and a responder thread plays the real server on the port the session
// connects to. One side's bytes are the fuzz input, the other side follows a
// script. Each side closes its sending direction when its bytes are out, so
// every session ends by itself soon after the input does.
#pragma once

#include <sys/socket.h>  // shutdown(SHUT_WR): the platform layer offers only a full shut-down

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "core/log.h"
#include "core/settings.h"
#include "net/connection.h"
#include "net/listener.h"
#include "net/session_table.h"
#include "platform/socket.h"

namespace fuzz_session {

// Idle time-out of the session's server connection: a script that falls out
// of step with the session costs this much, not a hang.
constexpr int kPeerTimeoutSeconds = 1;
// A side that has not finished after this long has hung: the fuzzer stops on it.
constexpr int kHangLimitMs = 20000;
constexpr int kAcceptPollMs = 1;
constexpr size_t kChunkBytes = 16 * 1024;

inline bool SendAll(int socket, std::string_view bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        SocketResult result = SendBytes(socket, bytes.data() + sent, bytes.size() - sent);
        if (result.count <= 0) return false;
        sent += static_cast<size_t>(result.count);
    }
    return true;
}

// Waits until the socket can be read or `limitMs` have passed. A signal (the
// fuzzer's own timer) ends a single wait early, so the time is measured here.
inline bool ReadableWithin(int socket, int limitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        WaitOutcome outcome =
            WaitReadable(socket, static_cast<int>(std::max<int64_t>(0, left.count())));
        if (outcome == WaitOutcome::kReady) return true;
        if (outcome == WaitOutcome::kFailed || left.count() <= 0) return false;
    }
}

inline void EndSending(int socket) {
    ::shutdown(socket, SHUT_WR);
}

// Reads until the peer closes; aborts when nothing comes for kHangLimitMs.
inline void DrainToEnd(int socket) {
    char chunk[kChunkBytes];
    for (;;) {
        if (!ReadableWithin(socket, kHangLimitMs)) std::abort();
        if (ReceiveBytes(socket, chunk, sizeof chunk).count <= 0) return;
    }
}

// One side of a scripted conversation: reads lines (without CR LF) and
// answers; returns false once the peer has closed.
class LineReader {
  public:
    explicit LineReader(int socket) : socket_(socket) {}

    bool Next(std::string& line) {
        for (;;) {
            size_t feed = pending_.find('\n');
            if (feed != std::string::npos) {
                line = pending_.substr(0, feed);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                pending_.erase(0, feed + 1);
                return true;
            }
            if (!ReadableWithin(socket_, kHangLimitMs)) std::abort();
            char chunk[kChunkBytes];
            SocketResult result = ReceiveBytes(socket_, chunk, sizeof chunk);
            if (result.count <= 0) return false;
            pending_.append(chunk, static_cast<size_t>(result.count));
        }
    }

  private:
    int socket_;
    std::string pending_;
};

// The real server's side: given the accepted connection, converses until done.
using ServerScript = std::function<void(int socket)>;

// A listening socket on loopback, made once for the whole fuzzing run.
class Loopback {
  public:
    Loopback() {
        listener_ = SocketHandle(OpenTcpSocket());
        if (!BindSocket(listener_.get(), LoopbackAddress(), 0) ||
            !ListenSocket(listener_.get(), 16)) {
            std::abort();
        }
        port_ = LocalPort(listener_.get());
    }
    int port() const { return port_; }
    int listener() const { return listener_.get(); }

    // Accepts a connection that is ready within `waitMs`; kNoSocket otherwise.
    int AcceptReady(int waitMs) {
        if (!ReadableWithin(listener_.get(), waitMs)) return kNoSocket;
        IpAddress peer;
        int socket = AcceptConnection(listener_.get(), peer);
        // Small scripted replies must not wait for acknowledgements.
        if (socket >= 0) SetNoDelay(socket);
        return socket;
    }

  private:
    SocketHandle listener_;
    int port_ = 0;
};

// Settings for a session under the fuzzer: no log, no console echo, short
// time-outs, the server's port. Called once at start.
inline void Prepare(int serverPort) {
    CloseLog();
    Settings = SettingsRecord{};
    Settings.Pop3Timeout = kPeerTimeoutSeconds;
    Settings.NntpTimeout = kPeerTimeoutSeconds;
    Settings.Pop3PortOutgoing = serverPort;
    Settings.NntpPortOutgoing = serverPort;
}

// Runs one session: `body` with the proxy's end of a client connection,
// `clientBytes` sent from the client's end (whose replies are
// read and dropped), `script` serving every connection the session makes to
// the server. Returns when the session and the server's side have ended.
inline void RunSession(Loopback& clients, Loopback& servers, SessionBody body,
                       std::string_view clientBytes, const ServerScript& script) {
    SocketHandle client(OpenTcpSocket());
    if (!ConnectSocket(client.get(), LoopbackAddress(), clients.port())) std::abort();
    SetNoDelay(client.get());
    int accepted = clients.AcceptReady(kHangLimitMs);
    if (accepted < 0) std::abort();
    int slot = AllocateSlot();
    if (slot < 1 || slot >= kSlotCount) std::abort();
    Connection connection = Connection::Accepted(slot, accepted, LoopbackAddress(), clients.port(),
                                                 kPeerTimeoutSeconds);

    std::atomic<bool> sessionDone{false};
    std::thread server([&] {
        // A session connects once at most; anything still queued when it
        // has ended is closed unserved, so that no run leaks into the next.
        while (!sessionDone) {
            SocketHandle connection(servers.AcceptReady(kAcceptPollMs));
            if (connection.valid()) script(connection.get());
        }
        for (SocketHandle stale(servers.AcceptReady(0)); stale.valid();
             stale = SocketHandle(servers.AcceptReady(0))) {
        }
    });
    std::thread session([&] { body(std::move(connection)); });
    std::thread writer([&] {
        SendAll(client.get(), clientBytes);
        EndSending(client.get());
    });
    DrainToEnd(client.get());
    writer.join();
    session.join();
    sessionDone = true;
    server.join();
    // The session has returned: both its entries must be free again.
    for (int entry = 1; entry < kSlotCount; ++entry) {
        if (SessionTable[entry].state.load() != SlotState::kFree) std::abort();
    }
}

}  // namespace fuzz_session
