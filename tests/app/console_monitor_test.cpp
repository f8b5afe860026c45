#include "app/console_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/connection.h"
#include "net/login_failures.h"
#include "net/net_test_support.h"
#include "net/session_table.h"
#include "platform/console.h"

namespace {

using nettest::Peer;
using nettest::TestServer;

std::mutex consoleLock;
std::vector<std::string> consoleLines;

void CollectConsole(std::string_view line) {
    std::lock_guard guard(consoleLock);
    consoleLines.emplace_back(line);
}

// True when the text is a clock reading "hh:mm:ss" followed by `rest`.
bool ClockThen(const std::string& text, const std::string& rest) {
    if (text.size() < 8 || text.compare(8, rest.size(), rest) != 0) return false;
    for (size_t i : {0, 1, 3, 4, 6, 7}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return text[2] == ':' && text[5] == ':';
}

class ConsoleMonitorTest : public nettest::NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        consoleLines.clear();
        SetConsoleSinkForTesting(CollectConsole);
    }
    void TearDown() override {
        SetConsoleSinkForTesting(nullptr);
        NetTest::TearDown();
    }

    // An entry that looks busy to the monitor, without a connection behind it.
    static void Fake(int slot, SlotState state, const char* address, int port, int socket,
                     int countdown) {
        SessionSlot& entry = SessionTable[slot];
        entry.state = state;
        SetSlotAddress(slot, nettest::Address(address));
        entry.port = port;
        entry.socket = socket;
        entry.countdown = countdown;
    }
    static void Unfake(int slot) {
        Fake(slot, SlotState::kFree, "0.0.0.0", 0, -1, 0);
        SessionTable[slot].login = {};
    }
};

// A session thread that connects to a server and waits for a line until its
// connection is closed under it.
class BlockedSession {
  public:
    explicit BlockedSession(int port)
        : thread_([this, port] {
              Connection own = Connection::ConnectTo("127.0.0.1", port);
              slot_ = own.open() ? own.slot() : -1;
              std::string line;
              own.ReceiveLine(line);
              failed_ = own.LinkFailed();
              received_ = true;
              while (!finish_) SleepMilliseconds(1);
              own.Close();
          }) {}
    ~BlockedSession() { End(); }

    int slot() const { return slot_; }
    bool received() const { return received_; }
    bool failed() const { return failed_; }
    void End() {
        finish_ = true;
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::atomic<int> slot_{0};
    std::atomic<bool> failed_{false};
    std::atomic<bool> received_{false};
    std::atomic<bool> finish_{false};
    std::thread thread_;
};

TEST_F(ConsoleMonitorTest, EnterWithoutSessionsWritesNothing) {
    Fake(5, SlotState::kReserved, "10.0.0.1", 110, 7, 3);
    HandleConsoleKey("\r");
    Unfake(5);
    EXPECT_TRUE(consoleLines.empty());
}

TEST_F(ConsoleMonitorTest, EnterListsActiveSessionsInSlotOrder) {
    Fake(3, SlotState::kSession, "192.168.1.20", 110, 1868, 57);
    Fake(4, SlotState::kUpstream, "10.0.0.2", 119, 12, -3);
    Fake(6, SlotState::kReserved, "10.0.0.3", 119, 13, 1);
    Fake(kSlotCount, SlotState::kSession, "10.0.0.4", 110, 14, 1);
    HandleConsoleKey("\r");
    for (int slot : {3, 4, 6, kSlotCount}) Unfake(slot);
    ASSERT_EQ(consoleLines.size(), 2u);
    EXPECT_TRUE(ClockThen(consoleLines[0], ":  192.168.1.20:110 ID 3 S 1868 T 57 "))
        << consoleLines[0];
    EXPECT_TRUE(ClockThen(consoleLines[1], ":  10.0.0.2:119 ID 4 S 12 T-3 ")) << consoleLines[1];
}

TEST_F(ConsoleMonitorTest, SessionListLineWithAGivenTime) {
    Fake(12, SlotState::kSession, "127.0.0.1", 8110, 9, 0);
    EXPECT_EQ(SessionListLine(9, 5, 3, 12), "09:05:03:  127.0.0.1:8110 ID 12 S 9 T 0 ");
    // An IPv6 address in brackets keeps the port apart; a mapped one is IPv4.
    Fake(12, SlotState::kSession, "2001:DB8:0::1", 110, 9, 0);
    EXPECT_EQ(SessionListLine(9, 5, 3, 12), "09:05:03:  [2001:db8::1]:110 ID 12 S 9 T 0 ");
    Fake(12, SlotState::kSession, "::ffff:192.0.2.7", 110, 9, 0);
    EXPECT_EQ(SessionListLine(9, 5, 3, 12), "09:05:03:  192.0.2.7:110 ID 12 S 9 T 0 ");
    // A login names its server and account as the user wrote them.
    SetSlotLogin(12, "pop.example.org", 995, "alice");
    EXPECT_EQ(SessionListLine(9, 5, 3, 12),
              "09:05:03:  192.0.2.7:110 ID 12 S 9 T 0 pop.example.org:995#alice");
    SetSlotLogin(12, "news.example.org", 119, "");
    EXPECT_EQ(SessionListLine(9, 5, 3, 12),
              "09:05:03:  192.0.2.7:110 ID 12 S 9 T 0 news.example.org:119");
    Unfake(12);
    EXPECT_EQ(SessionListLine(9, 5, 3, 0), "");
}

TEST_F(ConsoleMonitorTest, KillKeysCloseEverySessionAndWakeItsThread) {
    for (const char* key : {"k", "K", "\x1b"}) {
        SCOPED_TRACE(static_cast<int>(key[0]));
        CloseLog();
        ASSERT_TRUE(OpenLog(dir_.path() + "TRAWLBOX.LOG." + std::to_string(key[0])));
        TestServer server;
        BlockedSession first(server.port());
        BlockedSession second(server.port());
        Peer firstPeer = server.Accept();
        Peer secondPeer = server.Accept();
        ASSERT_TRUE(nettest::WaitUntil([&] { return first.slot() > 0 && second.slot() > 0; }));
        Fake(kSlotCount, SlotState::kSession, "10.0.0.9", 110, -1, 1);  // never closed from here

        HandleConsoleKey(key);
        Unfake(kSlotCount);

        EXPECT_TRUE(nettest::WaitUntil([&] { return first.received() && second.received(); }));
        EXPECT_TRUE(first.failed());
        EXPECT_TRUE(second.failed());
        std::string log = dir_.Read("TRAWLBOX.LOG." + std::to_string(key[0]));
        for (int slot : {first.slot(), second.slot()}) {
            std::string field = (slot < 10 ? "#0" : "#") + std::to_string(slot);
            // Level 0: the marker is two blanks, then the time.
            size_t at =
                log.find("  " + field + ": Thread " + std::to_string(slot) + " killed by User\n");
            ASSERT_NE(at, std::string::npos) << log;
            ASSERT_GE(at, 10u);
            EXPECT_TRUE(at == 10 || log[at - 11] == '\n');
            EXPECT_EQ(log.substr(at - 10, 2), "  ");
            EXPECT_TRUE(ClockThen(log.substr(at - 8), "  " + field)) << log;
            EXPECT_NE(log.find(field + ": Socket closed\n"), std::string::npos);
        }
        EXPECT_EQ(log.find("#100"), std::string::npos);
        first.End();
        second.End();
    }
}

TEST_F(ConsoleMonitorTest, OtherKeysLeaveSessionsAlone) {
    TestServer server;
    BlockedSession session(server.port());
    Peer peer = server.Accept();
    ASSERT_TRUE(nettest::WaitUntil([&] { return session.slot() > 0; }));
    // "\0K" is the left arrow: its second byte must not count as "K".
    for (std::string key : {std::string("\0K", 2), std::string("\0\x1b", 2), std::string("x"),
                            std::string("kk"), std::string()}) {
        HandleConsoleKey(key);
    }
    EXPECT_TRUE(consoleLines.empty());
    EXPECT_EQ(Log().find("killed by User"), std::string::npos);
    EXPECT_FALSE(session.received());
    ASSERT_TRUE(peer.Send("+OK still here\r\n"));
    EXPECT_TRUE(nettest::WaitUntil([&] { return session.received(); }));
    EXPECT_FALSE(session.failed());
    session.End();
}

}  // namespace

namespace {

std::atomic<int64_t> fakeMonotonicMs{0};

// Held accounts have no connection of their own, yet Enter lists them; a
// hold that has run out, or an account that logged in since, is not listed.
TEST_F(ConsoleMonitorTest, EnterListsHeldAccounts) {
    const int64_t start = 1000000;
    fakeMonotonicMs = start;
    SetMonotonicClockForTesting([] { return fakeMonotonicMs.load(); });
    Settings.LoginFailureLimit = 2;
    Settings.LoginFailureWindow = 60;
    CountUpstreamLogin("POP.example.com", 110, "carol", false, 3);
    CountUpstreamLogin("pop.example.com", 110, "dave", false, 3);
    CountUpstreamLogin("pop.example.com", 110, "carol", false, 3);
    // dave logs in before his second failure: his count starts again.
    CountUpstreamLogin("pop.example.com", 110, "dave", true, 3);
    CountUpstreamLogin("pop.example.com", 110, "dave", false, 3);
    HandleConsoleKey("\r");
    std::vector<std::string> lines;
    {
        std::lock_guard guard(consoleLock);
        lines.swap(consoleLines);
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(ClockThen(lines[0], ":  held carol at pop.example.com:110 until ")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(" after 2 failed logins")) << lines[0];
    // Said once in the log, for the account that was held.
    const std::string log = Log();
    EXPECT_NE(log.find("#03: Logins for carol at pop.example.com:110 held until "),
              std::string::npos);
    EXPECT_EQ(log.find("Logins for dave"), std::string::npos);

    fakeMonotonicMs = start + 60 * 1000;
    HandleConsoleKey("\r");
    std::lock_guard guard(consoleLock);
    EXPECT_TRUE(consoleLines.empty());
}

}  // namespace
