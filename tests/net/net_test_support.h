// Helpers for tests over real loopback sockets: the far end of a connection
// (a client or a server written with plain blocking sockets), a fixture that
// logs to a temporary file, and checks that a test leaves no slot reserved
// and no descriptor open.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/log.h"
#include "core/settings.h"
#include "core/temp_dir.h"
#include "net/access_list.h"
#include "net/listener.h"
#include "net/session_table.h"
#include "platform/clock.h"
#include "platform/ip_address.h"
#include "platform/socket.h"

namespace nettest {

// Generous bound for anything a test waits for; only reached when the code
// under test is broken, so it never decides a result on a slow machine.
inline constexpr int kPatienceMs = 20000;

// Returns 127.0.0.x.
inline IpAddress Loopback(int x) {
    return Ipv4Address(0x7F000000u | static_cast<uint32_t>(x));
}

// Returns ::1.
inline IpAddress Ipv6Loopback() {
    return LoopbackAddress(IpFamily::kIpv6);
}

// True when this machine can listen on ::1; tests of IPv6 skip without it.
inline bool Ipv6Available() {
    SocketHandle probe(OpenTcpSocket(IpFamily::kIpv6));
    return probe.valid() && BindSocket(probe.get(), Ipv6Loopback(), 0);
}

// Returns the address of an address text the test writes itself.
inline IpAddress Address(const std::string& text) {
    IpAddress address;
    EXPECT_TRUE(ParseIpAddress(text, address)) << text;
    return address;
}

inline int OpenDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Waits (bounded) until `done` holds; returns its last value.
template <typename Condition>
bool WaitUntil(Condition done, int limitMs = kPatienceMs) {
    for (int waited = 0; waited < limitMs; waited += 2) {
        if (done()) return true;
        SleepMilliseconds(2);
    }
    return done();
}

inline bool TableEmpty() {
    for (int slot = 1; slot <= kSlotCount; ++slot) {
        if (SessionTable[slot].state.load() != SlotState::kFree) return false;
    }
    return true;
}

// Admits only the clients that `accessFile` (the text of an access list
// file, written to `dir`) names.
inline void AllowOnly(const TempDir& dir, const std::string& accessFile) {
    dir.Write(std::string(kAccessListFileName), accessFile);
    LoadAccessListFrom(dir.path());
}

// The far end of one connection, with plain blocking socket calls.
class Peer {
  public:
    Peer() = default;
    explicit Peer(int socket) : socket_(socket) {}

    // Connects to 127.0.0.1:port, from the source address `from` when given.
    static Peer Connect(int port, std::optional<IpAddress> from = std::nullopt) {
        return ConnectTo(Loopback(1), port, from);
    }

    // Connects to address:port, from the source address `from` (of the same
    // family) when given.
    static Peer ConnectTo(const IpAddress& address, int port,
                          std::optional<IpAddress> from = std::nullopt) {
        SocketHandle socket(OpenTcpSocket(address.family));
        if (from && !BindSocket(socket.get(), *from, 0)) return Peer();
        if (!ConnectSocket(socket.get(), address, port)) return Peer();
        return Peer(socket.Release());
    }

    bool valid() const { return socket_.valid(); }
    int socket() const { return socket_.get(); }

    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            SocketResult sent = SendBytes(socket_.get(), bytes.data(), bytes.size());
            if (sent.count <= 0) return false;
            bytes.remove_prefix(static_cast<size_t>(sent.count));
        }
        return true;
    }

    // Reads one line up to LF (kept). Returns false when the connection ended
    // (or nothing came within the patience bound) before a full line.
    bool ReadLine(std::string& line) {
        line.clear();
        for (;;) {
            size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                line = pending_.substr(0, end + 1);
                pending_.erase(0, end + 1);
                return true;
            }
            if (!ReadMore()) return false;
        }
    }

    // Reads until the far side closes; returns everything not yet read, or
    // false when it did not close within the patience bound.
    bool ReadToEnd(std::string& all) {
        while (ReadMore()) {
        }
        all = std::move(pending_);
        pending_.clear();
        return ended_;
    }

    // Reads exactly `size` bytes (false when the connection ended first).
    bool ReadBytes(size_t size, std::string& bytes) {
        while (pending_.size() < size) {
            if (!ReadMore()) return false;
        }
        bytes = pending_.substr(0, size);
        pending_.erase(0, size);
        return true;
    }

    void Close() { socket_.Reset(); }

  private:
    bool ReadMore() {
        if (WaitReadable(socket_.get(), kPatienceMs) != WaitOutcome::kReady) return false;
        char chunk[65536];
        SocketResult got = ReceiveBytes(socket_.get(), chunk, sizeof chunk);
        if (got.count <= 0) {
            ended_ = true;
            return false;
        }
        pending_.append(chunk, static_cast<size_t>(got.count));
        return true;
    }

    SocketHandle socket_;
    std::string pending_;
    bool ended_ = false;
};

// Starts the listener on `address` (127.0.0.1 unless given; std::nullopt:
// every address of both families) on a port of the system's choice unless
// given, and returns the port it listens on, or 0 when it ended instead.
inline int StartListening(Listener& listener, int port = 0,
                          std::optional<IpAddress> address = Loopback(1)) {
    SetListenerAddressForTesting(address);
    EXPECT_TRUE(listener.Start(port));
    EXPECT_TRUE(WaitUntil([&listener] {
        return listener.port() != 0 || listener.state() != ListenerState::kRunning;
    }));
    return listener.port();
}

// Connects to 127.0.0.1:port from 127.0.0.x and returns all the proxy sends
// before it closes ("" when it does not close within the patience bound).
inline std::string WholeReply(int port, int x) {
    Peer client = Peer::Connect(port, Loopback(x));
    std::string all;
    return client.ReadToEnd(all) ? all : std::string();
}

// A listening socket on 127.0.0.1 (or `address`) with a port chosen by the
// system.
class TestServer {
  public:
    explicit TestServer(const IpAddress& address = Loopback(1))
        : socket_(OpenTcpSocket(address.family)) {
        BindSocket(socket_.get(), address, 0);
        ListenSocket(socket_.get(), 128);
        port_ = LocalPort(socket_.get());
    }
    // Listens on `address` at a given port (another address's port, so that
    // one name can stand for both).
    TestServer(const IpAddress& address, int port) : socket_(OpenTcpSocket(address.family)) {
        EXPECT_TRUE(BindSocket(socket_.get(), address, port));
        ListenSocket(socket_.get(), 128);
        port_ = LocalPort(socket_.get());
    }
    int port() const { return port_; }
    // True when a connection waits to be accepted within `waitMs`.
    bool Pending(int waitMs) { return WaitReadable(socket_.get(), waitMs) == WaitOutcome::kReady; }
    Peer Accept() {
        if (WaitReadable(socket_.get(), kPatienceMs) != WaitOutcome::kReady) return Peer();
        IpAddress peer;
        return Peer(AcceptConnection(socket_.get(), peer));
    }

  private:
    SocketHandle socket_;
    int port_ = 0;
};

// Logs to a temporary file with every level switched on, and checks at the
// end that the slot table is empty and the descriptor count is back where it
// was; the access list is emptied then.
class NetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        descriptorsAtStart_ = OpenDescriptorCount();
        CloseLog();
        Settings = SettingsRecord{};
        Settings.LogSession = Settings.LogFilter = Settings.LogDebug = true;
        ASSERT_TRUE(OpenLog(dir_.path() + "TRAWLBOX.LOG"));
    }

    void TearDown() override {
        EXPECT_TRUE(WaitUntil(TableEmpty)) << "a slot is still reserved";
        for (int slot = 1; slot <= kSlotCount; ++slot) SessionTable[slot].countdown = 0;
        PublishAccessList({});
        CloseLog();
        SetClockForTesting(nullptr);
        SetMonotonicClockForTesting(nullptr);
        int start = descriptorsAtStart_;
        EXPECT_TRUE(WaitUntil([start] { return OpenDescriptorCount() == start; }))
            << "descriptors open: " << OpenDescriptorCount() << ", at start: " << start;
    }

    // The log written so far.
    std::string Log() const { return dir_.Read("TRAWLBOX.LOG"); }

    // True when the log holds a line with this session field and text.
    bool Logged(std::string_view text, int session = -1) const {
        std::string field =
            session < 0 ? "   " : (session < 10 ? "#0" : "#") + std::to_string(session);
        return Log().find("  " + field + ": " + std::string(text) + "\n") != std::string::npos;
    }

    TempDir dir_;
    int descriptorsAtStart_ = 0;
};

}  // namespace nettest
