#include "platform/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

TEST(SocketTest, HostsWrittenAsAddresses) {
    struct Case {
        const char* host;
        const char* address;  // nullptr: a name
    } cases[] = {
        {"192.0.2.1", "192.0.2.1"},
        {"127.1", "127.0.0.1"},  // the lenient forms users have always written
        {"0x7f.0.0.1", "127.0.0.1"},
        {"127.0.0.1   TAIL", "127.0.0.1"},  // stops at a blank
        {"[2001:db8::1]", "2001:db8::1"},
        {"[::1]", "::1"},
        {"2001:DB8::1", "2001:db8::1"},
        {"[::ffff:192.0.2.1]", "192.0.2.1"},
        {"[192.0.2.1]", nullptr},  // brackets are for IPv6 alone
        {"[::1", nullptr},
        {"::1]", nullptr},
        {"[]", nullptr},
        {"[::1]:110", nullptr},
        {"[fe80::1%eth0]", nullptr},
        {"pop.example.com", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        IpAddress address = Ipv4Address(0x0A0A0A0Au);
        bool read = ParseHostAddress(c.host, address);
        EXPECT_EQ(read, c.address != nullptr) << c.host;
        EXPECT_EQ(IpAddressText(address), c.address ? c.address : "10.10.10.10") << c.host;
    }
}

// A connect to a listener whose queue is full gets no answer at all: the
// system drops the handshake, as a machine behind a dead route does.
TEST(SocketTest, ConnectGivesUpAtItsTimeOut) {
    constexpr int kTimeoutMs = 300;
    constexpr int kMostQueued = 8;  // the system queues a few beyond a backlog of 0
    SocketHandle listening(OpenTcpSocket());
    ASSERT_TRUE(BindSocket(listening.get(), LoopbackAddress(), 0));
    ASSERT_TRUE(ListenSocket(listening.get(), 0));
    const int port = LocalPort(listening.get());

    std::vector<SocketHandle> queued;
    bool timedOut = false;
    for (int i = 0; i < kMostQueued && !timedOut; ++i) {
        SocketHandle client(OpenTcpSocket());
        auto start = std::chrono::steady_clock::now();
        bool connected = ConnectSocket(client.get(), LoopbackAddress(), port, kTimeoutMs);
        auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
        if (connected) {
            queued.push_back(std::move(client));
            continue;
        }
        timedOut = true;
        EXPECT_GE(tookMs, kTimeoutMs - 1);
        EXPECT_LT(tookMs, kTimeoutMs + 2000);
    }
    EXPECT_TRUE(timedOut) << "the queue never filled";
    EXPECT_FALSE(queued.empty()) << "a bounded connect to a listener that answers connects";
}

TEST(SocketTest, RefusedConnectFailsAtOnceInBothFamilies) {
    for (IpFamily family : {IpFamily::kIpv4, IpFamily::kIpv6}) {
        int port = 0;
        {
            SocketHandle closed(OpenTcpSocket(family));
            if (!closed.valid() || !BindSocket(closed.get(), LoopbackAddress(family), 0)) {
                continue;  // no IPv6 on this machine
            }
            port = LocalPort(closed.get());
        }
        SocketHandle client(OpenTcpSocket(family));
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(ConnectSocket(client.get(), LoopbackAddress(family), port, 5000));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

}  // namespace
