#include "net/listener.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/text.h"
#include "net/access_list.h"
#include "net/connection.h"
#include "net/net_test_support.h"
#include "net/session_table.h"
#include "net/watchdog.h"

namespace {

using nettest::Loopback;
using nettest::Peer;

// What a session body saw of its entry when it started.
struct EntrySeen {
    std::atomic<int> timeoutSeconds{-1};
    std::atomic<bool> failed{true};
    std::atomic<int> port{-1};
    std::atomic<uint32_t> address{0};  // of an IPv4 client
    std::atomic<SlotState> state{SlotState::kFree};
    std::atomic<bool> noDelay{false};
};
EntrySeen seen;
std::atomic<int> sessionsEnded{0};

void Record(const Connection& client) {
    const SessionSlot& entry = SessionTable[client.slot()];
    seen.timeoutSeconds = entry.timeoutSeconds.load();
    seen.failed = client.LinkFailed();
    seen.port = entry.port.load();
    seen.address = Ipv4Value(SlotAddress(client.slot()));
    seen.state = entry.state.load();
    seen.noDelay = NoDelayEnabled(entry.socket);
}

// Greets with its slot number and holds the connection until a line comes
// or the connection ends.
void HoldingBody(Connection client) {
    Record(client);
    client.SendLine("HELLO" + NumberText(client.slot()));
    std::string line;
    client.ReceiveLine(line);
    client.Close();
    client.Release();
    ++sessionsEnded;
}

// Greets with its slot number and ends at once.
void GreetingBody(Connection client) {
    client.SendLine("+OK greeted #" + std::to_string(client.slot()));
    client.Close();
}

constexpr std::string_view kRefusal = "-NO not from there";

const ListenerDescription kHolding{"Pop3", &SettingsRecord::Pop3Timeout, kRefusal, HoldingBody};
const ListenerDescription kNewsHolding{"Nntp", &SettingsRecord::NntpTimeout, kRefusal, HoldingBody};

class ListenerTest : public nettest::NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        Settings.Pop3Timeout = 61;
        Settings.NntpTimeout = 601;
        sessionsEnded = 0;
        seen.state = SlotState::kFree;
        AllowOnly("127.0.0.1\n");
    }
    void AllowOnly(const std::string& accessFile) { nettest::AllowOnly(dir_, accessFile); }

    static int Start(Listener& listener, int port = 0) {
        return nettest::StartListening(listener, port);
    }

    // Connects and returns the first line the proxy sends ("" if none).
    static std::string FirstLine(Peer& client) {
        std::string line;
        client.ReadLine(line);
        return line;
    }
};

TEST_F(ListenerTest, TheProtocolsNameComposesTheLogTexts) {
    for (std::string_view protocol : {"Pop3", "Nntp"}) {
        SCOPED_TRACE(protocol);
        const std::string name(protocol);
        Listener listener({protocol, &SettingsRecord::Pop3Timeout, kRefusal, GreetingBody});
        int port = Start(listener);
        ASSERT_NE(port, 0);
        Peer client = Peer::Connect(port);
        std::string all;
        EXPECT_TRUE(client.ReadToEnd(all));
        EXPECT_EQ(all, "+OK greeted #1\r\n");
        EXPECT_TRUE(Logged(name + "-Listen at Port" + NumberText(port)));
        EXPECT_TRUE(Logged("Accept incoming " + name + "-connection ..."));
        EXPECT_TRUE(Logged(
            "Incoming " + name + "-connection from '127.0.0.1'  Port:" + NumberText(port), 1));
        EXPECT_TRUE(nettest::WaitUntil(nettest::TableEmpty));

        EXPECT_EQ(nettest::WholeReply(port, 2), std::string(kRefusal) + "\r\n");
        EXPECT_TRUE(nettest::WaitUntil([&] {
            return Logged(
                "Denied " + name + "-connection from '127.0.0.2'  Port:" + NumberText(port), 1);
        }));
        listener.Stop();
        EXPECT_EQ(listener.state(), ListenerState::kStopped);
        EXPECT_EQ(listener.port(), 0);
    }
}

TEST_F(ListenerTest, Ipv6ClientsAdmittedOrRefusedByTheirAddress) {
    if (!nettest::Ipv6Available()) GTEST_SKIP() << "no IPv6 on this machine";
    Listener listener(kHolding);
    int port = nettest::StartListening(listener, 0, nettest::Ipv6Loopback());
    ASSERT_NE(port, 0);
    const std::string portText = NumberText(port);

    AllowOnly("127.0.0.1\n::1 this machine\n");
    Peer client = Peer::ConnectTo(nettest::Ipv6Loopback(), port);
    EXPECT_EQ(FirstLine(client), "HELLO 1\r\n");
    EXPECT_TRUE(Logged("Incoming Pop3-connection from '::1'  Port:" + portText, 1));
    EXPECT_EQ(SlotAddress(1), nettest::Ipv6Loopback());
    client.Send("QUIT\r\n");
    std::string rest;
    EXPECT_TRUE(client.ReadToEnd(rest));
    ASSERT_TRUE(nettest::WaitUntil(nettest::TableEmpty));

    AllowOnly("127.0.0.1\n2001:db8::/32\n");
    Peer refused = Peer::ConnectTo(nettest::Ipv6Loopback(), port);
    EXPECT_TRUE(refused.ReadToEnd(rest));
    EXPECT_EQ(rest, std::string(kRefusal) + "\r\n");
    EXPECT_TRUE(nettest::WaitUntil(
        [&] { return Logged("Denied Pop3-connection from '::1'  Port:" + portText, 1); }));
    listener.Stop();
}

// Without an address chosen by a test the listener takes both families on
// one port, and an IPv4 client shows and is judged as IPv4, not as the
// mapped IPv6 address the socket reports.
TEST_F(ListenerTest, OnePortTakesBothFamilies) {
    if (!nettest::Ipv6Available()) GTEST_SKIP() << "no IPv6 on this machine";
    AllowOnly("127.0.0.2\n::1\n");
    Listener listener(kHolding);
    int port = nettest::StartListening(listener, 0, std::nullopt);
    SetListenerAddressForTesting(Loopback(1));
    ASSERT_NE(port, 0);
    const std::string portText = NumberText(port);

    Peer v4 = Peer::Connect(port, Loopback(2));
    EXPECT_EQ(FirstLine(v4), "HELLO 1\r\n");
    EXPECT_EQ(seen.address, Ipv4Value(Loopback(2)));
    Peer v6 = Peer::ConnectTo(nettest::Ipv6Loopback(), port);
    EXPECT_EQ(FirstLine(v6), "HELLO 2\r\n");
    EXPECT_TRUE(Logged("Incoming Pop3-connection from '127.0.0.2'  Port:" + portText, 1));
    EXPECT_TRUE(Logged("Incoming Pop3-connection from '::1'  Port:" + portText, 2));

    std::string all;
    Peer refused = Peer::Connect(port, Loopback(3));
    EXPECT_TRUE(refused.ReadToEnd(all));
    EXPECT_EQ(all, std::string(kRefusal) + "\r\n");
    EXPECT_TRUE(nettest::WaitUntil(
        [&] { return Logged("Denied Pop3-connection from '127.0.0.3'  Port:" + portText, 3); }));
    for (Peer* client : {&v4, &v6}) client->Send("QUIT\r\n");
    EXPECT_TRUE(nettest::WaitUntil([] { return sessionsEnded == 2; }));
    listener.Stop();
}

TEST_F(ListenerTest, AdmissionFollowsTheAccessListRanges) {
    struct Case {
        const char* name;
        std::string file;
        std::vector<std::pair<int, bool>> clients;  // 127.0.0.x, admitted
    } cases[] = {
        {"range from the written address",
         "127.0.0.3/31 pair\n",
         {{2, false}, {3, true}, {4, true}, {5, false}}},
        {"a wrapping entry admits nobody",
         "255.255.255.0/16\n127.0.0.6\n",
         {{6, true}, {1, false}}},
        {"after an empty line", "127.0.0.1\n\n127.0.0.2\n", {{1, true}, {2, false}}},
        {"final line without line feed", "127.0.0.1\n127.0.0.2", {{1, true}, {2, false}}},
        {"missing file refuses everybody", "", {{1, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AllowOnly(c.file);
        Listener listener(kHolding);
        int port = Start(listener);
        for (const auto& [x, admitted] : c.clients) {
            Peer client = Peer::Connect(port, Loopback(x));
            std::string first = FirstLine(client);
            EXPECT_EQ(first.rfind(admitted ? "HELLO " : std::string(kRefusal), 0), 0u)
                << "127.0.0." << x << " got " << first;
            client.Send("QUIT\r\n");
            std::string rest;
            EXPECT_TRUE(client.ReadToEnd(rest));
        }
        listener.Stop();
        EXPECT_TRUE(nettest::WaitUntil(nettest::TableEmpty));
    }
}

TEST_F(ListenerTest, NewEntryCarriesTheProtocolsTimeOutAndTheListeningPort) {
    struct Case {
        const ListenerDescription& description;
        int timeout;
    } cases[] = {{kHolding, 61}, {kNewsHolding, 601}};
    for (const Case& c : cases) {
        Listener listener(c.description);
        int port = Start(listener);
        Peer client = Peer::Connect(port);
        EXPECT_EQ(FirstLine(client), "HELLO 1\r\n");
        EXPECT_EQ(seen.timeoutSeconds, c.timeout);
        EXPECT_FALSE(seen.failed);
        EXPECT_EQ(seen.port, port);
        EXPECT_EQ(seen.address, Ipv4Value(Loopback(1)));
        EXPECT_EQ(seen.state, SlotState::kSession) << "the entry is a session once it runs";
        EXPECT_TRUE(seen.noDelay);
        client.Send("QUIT\r\n");
        std::string rest;
        EXPECT_TRUE(client.ReadToEnd(rest));
        listener.Stop();
    }
}

TEST_F(ListenerTest, ClientsGetTheLowestFreeSlot) {
    Listener listener(kHolding);
    int port = Start(listener);
    std::vector<Peer> clients;
    for (int i = 1; i <= 3; ++i) {
        clients.push_back(Peer::Connect(port));
        EXPECT_EQ(FirstLine(clients.back()), "HELLO" + NumberText(i) + "\r\n");
    }
    clients[1].Send("QUIT\r\n");
    std::string rest;
    EXPECT_TRUE(clients[1].ReadToEnd(rest));
    ASSERT_TRUE(
        nettest::WaitUntil([] { return SessionTable[2].state.load() == SlotState::kFree; }));
    Peer again = Peer::Connect(port);
    EXPECT_EQ(FirstLine(again), "HELLO 2\r\n");
    for (Peer* client : {&clients[0], &clients[2], &again}) client->Send("QUIT\r\n");
    EXPECT_TRUE(nettest::WaitUntil([] { return sessionsEnded == 4; }));
}

TEST_F(ListenerTest, NinetyNineSessionsThenTheOverflowEntry) {
    Listener listener(kHolding);
    int port = Start(listener);
    std::vector<Peer> clients;
    for (int slot = 1; slot < kSlotCount; ++slot) {
        clients.push_back(Peer::Connect(port));
        ASSERT_EQ(FirstLine(clients.back()), "HELLO" + NumberText(slot) + "\r\n");
    }

    // Full: an allowed client gets the overflow entry and no reply.
    Peer overflow = Peer::Connect(port);
    std::string all = "unread";
    EXPECT_TRUE(overflow.ReadToEnd(all));
    EXPECT_EQ(all, "");
    EXPECT_EQ(SessionTable[kSlotCount].state, SlotState::kReserved)
        << "the overflow entry stays reserved";

    // The access test comes first: a refused client still gets its line.
    Peer refused = Peer::Connect(port, Loopback(2));
    EXPECT_TRUE(refused.ReadToEnd(all));
    EXPECT_EQ(all, std::string(kRefusal) + "\r\n");

    Peer second = Peer::Connect(port);
    EXPECT_TRUE(second.ReadToEnd(all));
    EXPECT_EQ(all, "");

    std::string log = Log();
    size_t tooMany = 0;
    for (size_t at = log.find(" 100 Too many sessions!\n"); at != std::string::npos;
         at = log.find(" 100 Too many sessions!\n", at + 1)) {
        ++tooMany;
    }
    EXPECT_EQ(tooMany, 2u);
    EXPECT_TRUE(
        Logged("Denied Pop3-connection from '127.0.0.2'  Port:" + NumberText(port), kSlotCount));

    for (Peer& client : clients) client.Send("QUIT\r\n");
    EXPECT_TRUE(nettest::WaitUntil([] { return sessionsEnded == kSlotCount - 1; }));
    EXPECT_EQ(SessionTable[kSlotCount].state, SlotState::kReserved);
    ReleaseSlot(kSlotCount);
}

TEST_F(ListenerTest, WatchdogKillsAnIdleClient) {
    Settings.Pop3Timeout = 3;
    Listener listener(kHolding);
    int port = Start(listener);
    Peer client = Peer::Connect(port);
    ASSERT_EQ(FirstLine(client), "HELLO 1\r\n");
    bool ended = nettest::WaitUntil([] {
        WatchdogTick();
        return sessionsEnded == 1;
    });
    if (!ended) client.Close();  // lets the session go when the watchdog failed
    EXPECT_TRUE(ended);
    EXPECT_TRUE(Logged("Socket is dead, perform killing Thread", 1));
    EXPECT_TRUE(Logged("Socket closed", 1));
    std::string rest;
    EXPECT_TRUE(client.ReadToEnd(rest));
}

TEST_F(ListenerTest, SecondListenerOnTheSamePortFails) {
    Listener first(kHolding);
    int port = Start(first);
    ASSERT_NE(port, 0);
    Listener second(kNewsHolding);
    EXPECT_TRUE(second.Start(port));
    EXPECT_TRUE(nettest::WaitUntil([&] { return second.state() != ListenerState::kRunning; }));
    EXPECT_EQ(second.state(), ListenerState::kPortInUse);
    EXPECT_TRUE(Logged("Another program is using Port" + NumberText(port)));
    EXPECT_EQ(first.state(), ListenerState::kRunning);
}

TEST_F(ListenerTest, RestartBindsAtOnceAfterServedConnections) {
    Listener listener({"Pop3", &SettingsRecord::Pop3Timeout, kRefusal, GreetingBody});
    int port = Start(listener);
    Peer client = Peer::Connect(port);
    std::string all;
    EXPECT_TRUE(client.ReadToEnd(all));  // the proxy closed first: its side lingers
    listener.Stop();
    EXPECT_EQ(Start(listener, port), port);
    EXPECT_EQ(listener.state(), ListenerState::kRunning);
}

TEST_F(ListenerTest, NoSocketRaisesStopRequestsSilently) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // With the limit at the lowest free number, no new descriptor can be had.
    SocketHandle probe(OpenTcpSocket());
    ASSERT_TRUE(probe.valid());
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(probe.get());
    probe.Reset();
    int stopsBefore = StopRequests;
    std::string logBefore = Log();
    Listener listener(kHolding);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    ListenerState result = listener.Run(0);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(result, ListenerState::kNoSocket);
    EXPECT_EQ(StopRequests, stopsBefore + 1);
    StopRequests = stopsBefore;
    EXPECT_EQ(Log(), logBefore);
}

}  // namespace
