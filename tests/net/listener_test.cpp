#include "net/listener.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/text.h"
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
    std::atomic<uint32_t> address{0};
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
    seen.address = entry.address.load();
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

class ListenerTest : public nettest::NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        Settings.Pop3Timeout = 61;
        Settings.NntpTimeout = 601;
        SetListenerAddressForTesting(Loopback(1));
        sessionsEnded = 0;
        seen.state = SlotState::kFree;
        AllowOnly("127.0.0.1\n");
    }
    void TearDown() override {
        StopListeners();
        SetSessionBodies(nullptr, nullptr);
        NetTest::TearDown();
    }

    void AllowOnly(const std::string& accessFile) { nettest::AllowOnly(dir_, accessFile); }

    // Starts a listener (on a port of the system's choice unless given) and
    // returns the port it listens on, or 0 when it ended.
    int Start(int which, int port = 0) {
        EXPECT_TRUE(StartListener(which, port));
        EXPECT_TRUE(nettest::WaitUntil([which] {
            return ListenerPort(which) != 0 || ListenerExitCode(which) != kListenerRunning;
        }));
        return ListenerPort(which);
    }

    // Connects and returns the first line the proxy sends ("" if none).
    static std::string FirstLine(Peer& client) {
        std::string line;
        client.ReadLine(line);
        return line;
    }
};

TEST_F(ListenerTest, PlaceholderSessionsGreetAndEnd) {
    struct Case {
        int which;
        const char* greeting;
        const char* admitted;
        const char* listening;
        const char* accepted;
    } cases[] = {
        {kPop3Listener, "+OK POP3-Trawlbox v0.25 Server #1 ready,\r\n",
         "Incoming Pop3-connection from '127.0.0.1'  Port:", "Pop3-Listen at Port",
         "Accept incoming Pop3-connection ..."},
        {kNntpListener, "200 NNTP-Trawlbox v0.25 Server #1 ready\r\n",
         "Incoming Nntp-connection from '127.0.0.1'  Port:", "Nntp-Listen at Port",
         "Accept incoming Nntp-connection ..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.greeting);
        int port = Start(c.which);
        ASSERT_NE(port, 0);
        Peer client = Peer::Connect(port);
        std::string all;
        EXPECT_TRUE(client.ReadToEnd(all));
        EXPECT_EQ(all, c.greeting);
        EXPECT_TRUE(Logged(c.listening + NumberText(port)));
        EXPECT_TRUE(Logged(c.accepted));
        EXPECT_TRUE(Logged(c.admitted + NumberText(port), 1));
        EXPECT_TRUE(nettest::WaitUntil(nettest::TableEmpty));
        StopListener(c.which);
        EXPECT_EQ(ListenerExitCode(c.which), kListenerStopped);
    }
}

TEST_F(ListenerTest, RefusedClientsGetExactlyOneLine) {
    struct Case {
        int which;
        const char* reply;
        const char* denied;
    } cases[] = {
        {kPop3Listener, "-ERR permission denied, closing connection ...\r\n",
         "Denied Pop3-connection from '127.0.0.2'  Port:"},
        {kNntpListener, "502 permission denied, closing connection ...\r\n",
         "Denied Nntp-connection from '127.0.0.2'  Port:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        int port = Start(c.which);
        Peer client = Peer::Connect(port, Loopback(2));
        ASSERT_TRUE(client.valid());
        std::string all;
        EXPECT_TRUE(client.ReadToEnd(all));
        EXPECT_EQ(all, c.reply);
        EXPECT_TRUE(nettest::WaitUntil([&] { return Logged(c.denied + NumberText(port), 1); }));
        EXPECT_TRUE(nettest::TableEmpty());
        StopListener(c.which);
    }
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
    SetSessionBodies(HoldingBody, HoldingBody);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AllowOnly(c.file);
        int port = Start(kPop3Listener);
        for (const auto& [x, admitted] : c.clients) {
            Peer client = Peer::Connect(port, Loopback(x));
            std::string first = FirstLine(client);
            EXPECT_EQ(first.rfind(admitted ? "HELLO " : "-ERR permission denied", 0), 0u)
                << "127.0.0." << x << " got " << first;
            client.Send("QUIT\r\n");
            std::string rest;
            EXPECT_TRUE(client.ReadToEnd(rest));
        }
        StopListener(kPop3Listener);
        EXPECT_TRUE(nettest::WaitUntil(nettest::TableEmpty));
    }
}

TEST_F(ListenerTest, NewEntryCarriesTheProtocolsTimeOutAndTheListeningPort) {
    SetSessionBodies(HoldingBody, HoldingBody);
    struct Case {
        int which;
        int timeout;
    } cases[] = {{kPop3Listener, 61}, {kNntpListener, 601}};
    for (const Case& c : cases) {
        int port = Start(c.which);
        Peer client = Peer::Connect(port);
        EXPECT_EQ(FirstLine(client), "HELLO 1\r\n");
        EXPECT_EQ(seen.timeoutSeconds, c.timeout);
        EXPECT_FALSE(seen.failed);
        EXPECT_EQ(seen.port, port);
        EXPECT_EQ(seen.address, Loopback(1));
        EXPECT_EQ(seen.state, SlotState::kSession) << "the entry is a session once it runs";
        EXPECT_TRUE(seen.noDelay);
        client.Send("QUIT\r\n");
        std::string rest;
        EXPECT_TRUE(client.ReadToEnd(rest));
        StopListener(c.which);
    }
}

TEST_F(ListenerTest, ClientsGetTheLowestFreeSlot) {
    SetSessionBodies(HoldingBody, HoldingBody);
    int port = Start(kPop3Listener);
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
    SetSessionBodies(HoldingBody, HoldingBody);
    int port = Start(kPop3Listener);
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
    EXPECT_EQ(all, "-ERR permission denied, closing connection ...\r\n");

    Peer second = Peer::Connect(port);
    EXPECT_TRUE(second.ReadToEnd(all));
    EXPECT_EQ(all, "");

    std::string log = Log();
    size_t tooMany = 0;
    for (size_t at = log.find(" 100 Too many sessions!\r\n"); at != std::string::npos;
         at = log.find(" 100 Too many sessions!\r\n", at + 1)) {
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
    SetSessionBodies(HoldingBody, HoldingBody);
    int port = Start(kPop3Listener);
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
    int port = Start(kPop3Listener);
    ASSERT_NE(port, 0);
    EXPECT_TRUE(StartListener(kNntpListener, port));
    EXPECT_TRUE(
        nettest::WaitUntil([] { return ListenerExitCode(kNntpListener) != kListenerRunning; }));
    EXPECT_EQ(ListenerExitCode(kNntpListener), -1);
    EXPECT_TRUE(Logged("Another program is using Port" + NumberText(port)));
    EXPECT_EQ(ListenerExitCode(kPop3Listener), kListenerRunning);
}

TEST_F(ListenerTest, RestartBindsAtOnceAfterServedConnections) {
    int port = Start(kPop3Listener);
    Peer client = Peer::Connect(port);
    std::string all;
    EXPECT_TRUE(client.ReadToEnd(all));  // the proxy closed first: its side lingers
    StopListener(kPop3Listener);
    EXPECT_EQ(Start(kPop3Listener, port), port);
    EXPECT_EQ(ListenerExitCode(kPop3Listener), kListenerRunning);
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
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    int result = RunListener(kPop3Listener, 0);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(StopRequests, stopsBefore + 1);
    StopRequests = stopsBefore;
    EXPECT_EQ(Log(), logBefore);
}

}  // namespace
