// AllowedServers and AllowedPorts: the list's forms, and over real loopback
// sockets that a refused server or port sees no connection attempt at all.
#include "net/allowed_servers.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "core/text.h"
#include "net/net_test_support.h"
#include "net/upstream_connect.h"

namespace {

using nettest::Loopback;
using nettest::TestServer;

IpAddress Address(const char* text) {
    IpAddress address;
    EXPECT_TRUE(ParseIpAddress(text, address)) << text;
    return address;
}

TEST(AllowedServers, HostsAsWrittenAgainstEveryForm) {
    const ServerAllowList list(
        " pop.example.com , *.example.net, 192.0.2.7, 198.51.100.0/24, 2001:db8::/32, ::1 ");
    const struct {
        const char* host;
        bool allowed;
    } cases[] = {
        {"pop.example.com", true},
        {"POP.Example.COM", true},    // names do not differ by case
        {"pop.example.com.", true},   // a fully qualified name's dot
        {"mail.example.com", false},  // a name, not a pattern
        {"news.example.net", true},
        {"a.b.example.net", true},
        {"example.net", false},     // the pattern is for names below the domain
        {"badexample.net", false},  // ... and only at a label's start
        {"192.0.2.7", true},
        {"192.0.2.8", false},
        {"198.51.100.255", true},
        {"198.51.101.0", false},
        {"[2001:db8::5]", true},  // as a login writes IPv6
        {"2001:db8:ffff::1", true},
        {"2001:db9::1", false},
        {"[::1]", true},
        {"::2", false},
        {"::ffff:192.0.2.7", true},  // a mapped address names the IPv4 machine
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(list.AllowsHost(c.host), c.allowed) << c.host;
    EXPECT_TRUE(list.invalid().empty());
}

TEST(AllowedServers, EmptyAllowsAnyAndMalformedEntriesAllowNothing) {
    EXPECT_TRUE(ServerAllowList("").AllowsAny());
    EXPECT_TRUE(ServerAllowList(" , ").AllowsHost("anything.example"));

    // A list of typing errors only still restricts: it must not fall back to
    // allowing everything.
    const ServerAllowList broken("10.0.0.0/33, *, 2001:db8::/129, host name, 10.0.0.0/x, ..a");
    EXPECT_FALSE(broken.AllowsAny());
    EXPECT_EQ(broken.invalid(), (std::vector<std::string>{"10.0.0.0/33", "*", "2001:db8::/129",
                                                          "host name", "10.0.0.0/x", "..a"}));
    EXPECT_FALSE(broken.AllowsHost("10.0.0.1"));
    EXPECT_FALSE(broken.AllowsHost("host"));
}

TEST(AllowedServers, NamesAreAlsoJudgedByEveryAddressTheyResolveTo) {
    const ServerAllowList list("192.0.2.0/24, *.example.com");
    const std::vector<IpAddress> inside{Address("192.0.2.1"), Address("192.0.2.2")};
    const std::vector<IpAddress> partly{Address("192.0.2.1"), Address("10.0.0.1")};
    // A name the list does not name passes only when all its addresses lie
    // in the list: one address outside refuses it, whichever comes first.
    EXPECT_TRUE(list.AllowsResolved("mail.other.org", inside));
    EXPECT_FALSE(list.AllowsResolved("mail.other.org", partly));
    EXPECT_FALSE(list.AllowsResolved("mail.other.org", {}));
    // A name the user listed is trusted wherever it points.
    EXPECT_TRUE(list.AllowsResolved("pop.example.com", partly));
}

TEST(AllowedServers, PortsListedOrEachProtocolsDefaults) {
    const std::vector<int> defaults{110, 995, 2110};
    EXPECT_EQ(AllowedPortList("", defaults), defaults);
    EXPECT_EQ(AllowedPortList(" 110, 8110 ", defaults), (std::vector<int>{110, 8110}));
    std::vector<std::string> invalid;
    EXPECT_EQ(AllowedPortList("0, 65536, x, 110x, 995", defaults, &invalid),
              (std::vector<int>{995}));
    EXPECT_EQ(invalid, (std::vector<std::string>{"0", "65536", "x", "110x"}));
    // Only invalid entries: nothing is allowed, not the defaults.
    EXPECT_TRUE(AllowedPortList("pop3", defaults).empty());
}

// ConnectForClient against listening sockets that count what reaches them.
class ConnectForClientTest : public nettest::NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        client_ = AllocateSlot();
        SetSlotAddress(client_, Loopback(9));
    }
    void TearDown() override {
        SetHostResolverForTesting(nullptr);
        ReleaseSlot(client_);
        NetTest::TearDown();
    }

    // Connects as a client's login would, to a server that greets if one
    // is reached; returns the outcome.
    UpstreamOutcome Connect(const std::string& host, int port, TestServer& server) {
        std::future<UpstreamOutcome> result = std::async(std::launch::async, [&] {
            return ConnectForClient(host, port, UpstreamProtocol::kPop3, 5, client_, upstream_,
                                    greeting_);
        });
        if (result.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
            nettest::Peer peer = server.Accept();
            peer.Send("+OK ready\r\n");
            const UpstreamOutcome outcome = result.get();
            peer.Close();
            return outcome;
        }
        return result.get();
    }

    int client_ = 0;
    Connection upstream_;
    std::string greeting_;
};

TEST_F(ConnectForClientTest, RefusedAddressSeesNoConnectionAttempt) {
    TestServer server(Loopback(2));
    Settings.AllowedPorts = std::to_string(server.port());
    Settings.AllowedServers = "127.0.0.1";
    EXPECT_EQ(Connect("127.0.0.2", server.port(), server), UpstreamOutcome::kNotAllowed);
    EXPECT_FALSE(server.Pending(100));
    EXPECT_FALSE(upstream_.open());
    const std::string refusal =
        "'127.0.0.2'  Port:" + NumberText(server.port()) + " not allowed for 127.0.0.9";
    EXPECT_TRUE(Logged(refusal, client_));
    // Level 2 lines begin with its marker.
    const std::string log = Log();
    const size_t line = log.rfind('\n', log.find(refusal));
    EXPECT_EQ(log.substr(line + 1, 2), "? ") << log;

    // The same server within a prefix is reached: the refusal above was the list's.
    Settings.AllowedServers = "127.0.0.0/30";
    EXPECT_EQ(Connect("127.0.0.2", server.port(), server), UpstreamOutcome::kConnected);
    EXPECT_EQ(greeting_, "+OK ready");
    upstream_.Release();
}

TEST_F(ConnectForClientTest, RefusedPortSeesNoConnectionAttempt) {
    TestServer server;
    // By default only 110, 995 and Pop3PortOutgoing are reached.
    EXPECT_EQ(Connect("127.0.0.1", server.port(), server), UpstreamOutcome::kNotAllowed);
    EXPECT_FALSE(server.Pending(100));

    Settings.Pop3PortOutgoing = server.port();
    EXPECT_EQ(Connect("127.0.0.1", server.port(), server), UpstreamOutcome::kConnected);
    upstream_.Release();

    Settings.AllowedPorts = "110";
    EXPECT_EQ(Connect("127.0.0.1", server.port(), server), UpstreamOutcome::kNotAllowed);
    EXPECT_FALSE(server.Pending(100));
}

// "mail.test" stands for 127.0.0.1 and 127.0.0.2, in that order.
bool ResolveToTwoLoopbacks(const std::string& name, std::vector<IpAddress>& addresses,
                           std::string& canonicalName) {
    if (name != "mail.test") return false;
    addresses = {Loopback(1), Loopback(2)};
    canonicalName = name;
    return true;
}

TEST_F(ConnectForClientTest, NameResolvingPartlyOutsideTheListIsRefusedBeforeAnyConnect) {
    TestServer first(Loopback(1));
    TestServer second(Loopback(2), first.port());
    Settings.AllowedPorts = std::to_string(first.port());
    SetHostResolverForTesting(ResolveToTwoLoopbacks);

    // The first address is allowed and would have served; the second is not,
    // so neither is tried.
    Settings.AllowedServers = "127.0.0.1";
    EXPECT_EQ(Connect("mail.test", first.port(), first), UpstreamOutcome::kNotAllowed);
    EXPECT_FALSE(first.Pending(100));
    EXPECT_FALSE(second.Pending(0));

    Settings.AllowedServers = "127.0.0.1, 127.0.0.2";
    EXPECT_EQ(Connect("mail.test", first.port(), first), UpstreamOutcome::kConnected);
    upstream_.Release();

    Settings.AllowedServers = "*.TEST";
    EXPECT_EQ(Connect("mail.test", first.port(), first), UpstreamOutcome::kConnected);
    upstream_.Release();
}

}  // namespace
