#include "net/line_io.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core/text.h"
#include "net/net_test_support.h"
#include "net/session_table.h"
#include "net/watchdog.h"
#include "platform/console.h"

namespace {

using nettest::Peer;
using nettest::TestServer;

class LineIoTest : public nettest::NetTest {
  protected:
    // Connects a slot owned by this thread to the test server; `server` is
    // the far end.
    int Connect(Peer& server, int timeoutSeconds = 0) {
        int slot = ConnectToServer("127.0.0.1", server_.port());
        if (slot > 0) {
            SessionTable[slot].timeoutSeconds = timeoutSeconds;
            server = server_.Accept();
        }
        return slot;
    }

    void Finish(int slot) {
        CloseSlot(slot);
        ReleaseSlot(slot);
    }

    TestServer server_;
};

TEST_F(LineIoTest, NoConnectionSlotsDoNothing) {
    for (int slot : {0, -1}) {
        std::string line = "kept";
        SendLine(slot, "x");
        SendText(slot, "x");
        ReceiveLine(slot, line);
        EXPECT_EQ(line, "kept");
        RelayBlock(slot, 1);
        RelayBlock(1, slot);
        EXPECT_FALSE(CloseSlot(slot));
        KillDeadSocket(slot);
    }
    EXPECT_EQ(Log(), "");
}

TEST_F(LineIoTest, ConnectFillsTheEntryAndLogsTheDottedAddress) {
    Peer server;
    int slot = Connect(server);
    ASSERT_EQ(slot, 1);
    const SessionSlot& entry = SessionTable[slot];
    EXPECT_EQ(entry.owner, 1);
    EXPECT_EQ(entry.timeoutSeconds, 0);
    EXPECT_EQ(entry.failed, 0);
    EXPECT_EQ(entry.port, server_.port());
    EXPECT_EQ(entry.address, nettest::Loopback(1));
    EXPECT_TRUE(NoDelayEnabled(entry.socket));
    EXPECT_TRUE(
        Logged("Outgoing connection to '127.0.0.1'  Port:" + NumberText(server_.port()), slot));
    EXPECT_TRUE(CloseSlot(slot));
    EXPECT_TRUE(Logged("Socket closed", slot));
    EXPECT_FALSE(CloseSlot(slot));
    EXPECT_TRUE(Logged("Socket already closed", slot));
    ReleaseSlot(slot);
}

TEST_F(LineIoTest, ConnectByNameShowsTheOfficialNameAndAddress) {
    int slot = ConnectToServer("localhost", server_.port());
    ASSERT_GT(slot, 0);
    Peer server = server_.Accept();
    EXPECT_TRUE(
        Logged("Outgoing connection to 'localhost (127.0.0.1)'  Port:" + NumberText(server_.port()),
               slot));
    Finish(slot);
}

TEST_F(LineIoTest, HostTextIsCutTo63Characters) {
    // The lenient dotted reading stops at the first blank, so the padded
    // text still connects; the log shows what was used.
    std::string host = "127.0.0.1" + std::string(kHostNameLimit - 9, ' ');
    int slot = ConnectToServer(host + "TAIL", server_.port());
    ASSERT_GT(slot, 0);
    Peer server = server_.Accept();
    EXPECT_TRUE(
        Logged("Outgoing connection to '" + host + "'  Port:" + NumberText(server_.port()), slot));
    Finish(slot);
}

TEST_F(LineIoTest, FailedConnectLeavesNothingBehind) {
    int port;
    {
        TestServer closed;  // a port that nobody listens on once this ends
        port = closed.port();
    }
    EXPECT_EQ(ConnectToServer("127.0.0.1", port), -1);
    EXPECT_TRUE(Logged("Failed connection to '127.0.0.1'  Port:" + NumberText(port), 1));
    EXPECT_TRUE(nettest::TableEmpty());
}

TEST_F(LineIoTest, ConnectFailsWhenTheOverflowEntryIsTaken) {
    for (int slot = 1; slot <= kSlotCount; ++slot) ASSERT_EQ(AllocateSlot(), slot);
    EXPECT_EQ(ConnectToServer("127.0.0.1", server_.port()), -1);
    EXPECT_TRUE(
        Logged("Failed connection to '127.0.0.1'  Port:" + NumberText(server_.port()), kSlotCount));
    EXPECT_EQ(SessionTable[kSlotCount].owner, -1) << "someone else's entry was touched";
    for (int slot = 1; slot <= kSlotCount; ++slot) ReleaseSlot(slot);
}

TEST_F(LineIoTest, LinesAreCutAtLineFeeds) {
    struct Case {
        const char* name;
        std::string sent;
        std::vector<std::string> lines;
    } cases[] = {
        {"cr lf", "abc\r\n", {"abc"}},
        {"bare cr lf", "\r\n", {""}},
        {"bare lf keeps its last character", "abc\n", {"abc"}},
        {"lone lf", "\n", {""}},
        {"inner cr stays", "a\rb\r\n", {"a\rb"}},
        {"several in one piece", "one\r\ntwo\r\nthree\r\n", {"one", "two", "three"}},
        {"nul bytes pass", std::string("a\0b\0\r\n", 6), {std::string("a\0b\0", 4)}},
        {"high bytes pass", "\x84\xFF\xFE\r\n", {"\x84\xFF\xFE"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peer server;
        int slot = Connect(server);
        ASSERT_GT(slot, 0);
        // Everything is sent and the far end closed before the first
        // receive: the later lines can only come from the slot's buffer.
        ASSERT_TRUE(server.Send(c.sent));
        server.Close();
        std::string line;
        for (const std::string& expected : c.lines) {
            ReceiveLine(slot, line);
            EXPECT_EQ(line, expected);
        }
        EXPECT_EQ(SessionTable[slot].failed, 0);
        ReceiveLine(slot, line);
        EXPECT_EQ(line, "");
        EXPECT_EQ(SessionTable[slot].failed, 1);
        Finish(slot);
    }
}

TEST_F(LineIoTest, LineFedOneByteAtATimeIsJoined) {
    Peer server;
    int slot = Connect(server);
    ASSERT_GT(slot, 0);
    std::thread feeder([&server] {
        for (char c : std::string("+OK split\r\n")) {
            server.Send(std::string(1, c));
            SleepMilliseconds(1);
        }
    });
    std::string line;
    ReceiveLine(slot, line);
    feeder.join();
    EXPECT_EQ(line, "+OK split");
    EXPECT_EQ(SessionTable[slot].failed, 0);
    Finish(slot);
}

TEST_F(LineIoTest, SendLineAppendsCrLfAndResetsTheCountdown) {
    Peer server;
    int slot = Connect(server, 45);
    ASSERT_GT(slot, 0);
    SessionTable[slot].countdown = 3;
    SendLine(slot, std::string("USER a\0b", 8));
    EXPECT_EQ(SessionTable[slot].countdown, 45);
    std::string got;
    ASSERT_TRUE(server.ReadLine(got));
    EXPECT_EQ(got, std::string("USER a\0b\r\n", 10));
    Finish(slot);
}

TEST_F(LineIoTest, LargeTextArrivesWholeThroughANonBlockingSocket) {
    Peer server;
    int slot = Connect(server);
    ASSERT_GT(slot, 0);
    std::string text;
    for (int i = 0; text.size() < 8 * 1024 * 1024; ++i)
        text += "line " + std::to_string(i) + "\r\n";
    std::string received;
    std::thread reader([&] { server.ReadBytes(text.size(), received); });
    SendText(slot, text);
    reader.join();
    EXPECT_EQ(SessionTable[slot].failed, 0);
    EXPECT_TRUE(received == text);
    Finish(slot);
}

TEST_F(LineIoTest, SendGivesUpWhenThePeerReadsNothing) {
    Peer server;
    int slot = Connect(server, 1);
    ASSERT_GT(slot, 0);
    SendText(slot, std::string(64 * 1024 * 1024, 'x'));
    EXPECT_EQ(SessionTable[slot].failed, 1);
    EXPECT_TRUE(Logged("Send_Empty", slot));
    EXPECT_TRUE(Logged("Send_Socket_Timeout", slot));
    Finish(slot);
}

TEST_F(LineIoTest, PeerClosingEndsTheReceiveWithAnEmptyLine) {
    Peer server;
    int slot = Connect(server);
    ASSERT_GT(slot, 0);
    ASSERT_TRUE(server.Send("partial line without end"));
    std::thread closer([&server] {
        SleepMilliseconds(20);
        server.Close();
    });
    std::string line = "old";
    ReceiveLine(slot, line);
    closer.join();
    EXPECT_EQ(line, "");
    EXPECT_EQ(SessionTable[slot].failed, 1);
    Finish(slot);
}

TEST_F(LineIoTest, EndlessLineIsCutOffAtTheCap) {
    Peer server;
    int slot = Connect(server);
    ASSERT_GT(slot, 0);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        std::string block(64 * 1024, 'y');
        size_t sent = 0;
        while (!stop && sent < 4 * kMaxPendingBytes && server.Send(block)) sent += block.size();
    });
    std::string line = "old";
    ReceiveLine(slot, line);
    EXPECT_EQ(line, "");
    EXPECT_EQ(SessionTable[slot].failed, 1);
    EXPECT_TRUE(Logged("Line too long, connection dropped", slot));
    EXPECT_TRUE(ReceiveBuffers[slot].empty());
    Finish(slot);  // the flood's next send fails once our end is closed
    stop = true;
    flood.join();
}

// A monotonic clock that moves on five seconds per reading.
constexpr int64_t kClockStepMs = 5000;
std::atomic<int> clockReadings{0};
int64_t SteppingClock() {
    return 1000000 + kClockStepMs * clockReadings.fetch_add(1);
}

TEST_F(LineIoTest, TimeOutCountsOnTheMonotonicClock) {
    Peer server;
    int slot = Connect(server, 60);
    ASSERT_GT(slot, 0);
    clockReadings = 0;
    SetMonotonicClockForTesting(SteppingClock);
    std::atomic<bool> done{false};
    std::thread guard([&] {
        // Ends the wait of an implementation that never times out.
        nettest::WaitUntil([&] { return done.load(); });
        if (!done) server.Close();
    });
    std::string line = "old";
    ReceiveLine(slot, line);
    done = true;
    guard.join();
    SetMonotonicClockForTesting(nullptr);
    EXPECT_EQ(line, "");
    EXPECT_EQ(SessionTable[slot].failed, 1);
    EXPECT_TRUE(Logged("Line_Socket_Timeout", slot));
    // The reading that ended the wait lies a little over a minute after the
    // first one.
    int64_t elapsedMs = kClockStepMs * (clockReadings - 1);
    EXPECT_GT(elapsedMs, 60000);
    EXPECT_LE(elapsedMs, 60000 + 4 * kClockStepMs);
    Finish(slot);
}

// Wall clocks that jump an hour forward or back at every reading, and one
// that stands still: the line time-out must follow none of them.
std::atomic<int> wallReadings{0};
double WallClockRushingOn() {
    return 3600.0 * (wallReadings.fetch_add(1) % 24);
}
double WallClockFallingBack() {
    return 86399.0 - 3600.0 * (wallReadings.fetch_add(1) % 24);
}
double WallClockStandingStill() {
    return 43200.0;
}

TEST_F(LineIoTest, WallClockJumpsNeitherFireNorStallATimeOut) {
    using std::chrono::steady_clock;
    const struct {
        const char* name;
        double (*clock)();
    } cases[] = {
        {"rushing on", WallClockRushingOn},
        {"falling back", WallClockFallingBack},
        {"standing still", WallClockStandingStill},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetClockForTesting(c.clock);

        // A reply that takes longer than a few waits, well within the time-out.
        Peer server;
        int patient = Connect(server, 60);
        ASSERT_GT(patient, 0);
        std::thread late([&server] {
            SleepMilliseconds(400);
            server.Send("+OK late\r\n");
        });
        std::string line;
        ReceiveLine(patient, line);
        late.join();
        EXPECT_EQ(line, "+OK late");
        EXPECT_EQ(SessionTable[patient].failed, 0);
        Finish(patient);

        // Silence: the one-second time-out ends the wait after a second.
        Peer silent;
        int waiting = Connect(silent, 1);
        ASSERT_GT(waiting, 0);
        std::atomic<bool> done{false};
        std::thread guard([&] {
            nettest::WaitUntil([&] { return done.load(); });
            if (!done) silent.Close();
        });
        steady_clock::time_point start = steady_clock::now();
        ReceiveLine(waiting, line);
        auto waited = steady_clock::now() - start;
        done = true;
        guard.join();
        EXPECT_EQ(SessionTable[waiting].failed, 1);
        EXPECT_TRUE(Logged("Line_Socket_Timeout", waiting));
        EXPECT_GE(waited, std::chrono::milliseconds(1000));
        Finish(waiting);
    }
    SetClockForTesting(nullptr);
}

TEST_F(LineIoTest, RelayCopiesDotStuffedLinesAndSendsTheEndWithThePendingText) {
    Peer server;
    int from = Connect(server);
    TestServer clientSide;
    int to = ConnectToServer("127.0.0.1", clientSide.port());
    Peer client = clientSide.Accept();
    ASSERT_GT(from, 0);
    ASSERT_GT(to, 0);
    std::string block = "Subject: dots\r\n..\r\n...leading\r\n.x\r\n\r\nbody\r\n.\r\n";
    ASSERT_TRUE(server.Send(block + "+OK after the block\r\n"));
    RelayBlock(from, to);
    std::string relayed;
    ASSERT_TRUE(client.ReadBytes(block.size(), relayed));
    EXPECT_EQ(relayed, block);
    std::string next;
    ReceiveLine(from, next);
    EXPECT_EQ(next, "+OK after the block");
    Finish(from);
    Finish(to);
    client.Close();
}

TEST_F(LineIoTest, RelayOfABlockLargerThanOneBatch) {
    Peer server;
    int from = Connect(server);
    TestServer clientSide;
    int to = ConnectToServer("127.0.0.1", clientSide.port());
    Peer client = clientSide.Accept();
    ASSERT_GT(to, 0);
    std::string block;
    for (int i = 0; block.size() < 5 * kRelayBatchBytes; ++i) {
        block += (i % 7 == 0 ? ".." : "") + std::string(i % 300, 'a' + i % 26) + "\r\n";
    }
    block += ".\r\n";
    std::thread sender([&] { server.Send(block); });
    std::string relayed;
    std::thread reader([&] { client.ReadBytes(block.size(), relayed); });
    RelayBlock(from, to);
    sender.join();
    reader.join();
    EXPECT_EQ(SessionTable[from].failed, 0);
    EXPECT_EQ(SessionTable[to].failed, 0);
    EXPECT_TRUE(relayed == block) << "relayed " << relayed.size() << " of " << block.size();
    Finish(from);
    Finish(to);
}

TEST_F(LineIoTest, RelayDropsThePendingTextWhenTheSourceFails) {
    Peer server;
    int from = Connect(server);
    TestServer clientSide;
    int to = ConnectToServer("127.0.0.1", clientSide.port());
    Peer client = clientSide.Accept();
    ASSERT_GT(to, 0);
    ASSERT_TRUE(server.Send("first\r\nsecond\r\n"));
    server.Close();
    RelayBlock(from, to);
    EXPECT_EQ(SessionTable[from].failed, 1);
    Finish(from);
    Finish(to);
    std::string rest;
    EXPECT_TRUE(client.ReadToEnd(rest));
    EXPECT_EQ(rest, "");
}

// The watchdog or the operator closes a slot while its owner waits on it.
TEST_F(LineIoTest, ForeignCloseWakesTheOwnerAndKeepsTheNumberUntilTheOwnerCloses) {
    Peer server;
    std::atomic<int> slot{0};
    std::atomic<bool> waiting{false};
    std::string line = "old";
    int failedAfterReceive = -1;
    std::string leftover = "unset";
    std::atomic<bool> ownerMayClose{false};
    std::thread owner([&] {
        slot = ConnectToServer("127.0.0.1", server_.port());
        if (slot <= 0) return;
        ReceiveLine(slot, line);  // reads "first"; "second" stays buffered
        waiting = true;
        ReceiveLine(slot, line);  // returns "second" at once
        ReceiveLine(slot, line);  // blocks until the foreign close
        failedAfterReceive = SessionTable[slot].failed;
        leftover = std::string(ReceiveBuffers[slot].Unread());
        while (!ownerMayClose) SleepMilliseconds(1);
        EXPECT_FALSE(CloseSlot(slot));  // closed already, in the watchdog's eyes
        ReleaseSlot(slot);
    });
    server = server_.Accept();
    ASSERT_TRUE(server.Send("first\r\nsecond\r\n"));
    ASSERT_TRUE(nettest::WaitUntil([&] { return waiting.load(); }));
    SleepMilliseconds(20);  // let the owner block; the result is the same if it has not yet
    int number = SessionTable[slot].socket;
    EXPECT_TRUE(CloseSlot(slot));
    EXPECT_FALSE(CloseSlot(slot)) << "a second foreign close finds it closed";

    // The number stays the owner's until it closes it itself: a new socket
    // cannot be given the same number meanwhile.
    SocketHandle probe(OpenTcpSocket());
    EXPECT_NE(probe.get(), number);
    probe.Reset();
    std::string rest;
    EXPECT_TRUE(server.ReadToEnd(rest)) << "the far end saw the connection end";

    ownerMayClose = true;
    owner.join();
    EXPECT_EQ(line, "");
    EXPECT_EQ(failedAfterReceive, 1);
    EXPECT_EQ(leftover, "");
    size_t closedLine = Log().find("Socket closed");
    size_t alreadyLine = Log().find("Socket already closed");
    ASSERT_NE(closedLine, std::string::npos);
    ASSERT_NE(alreadyLine, std::string::npos);
    EXPECT_GT(alreadyLine, closedLine);
}

TEST_F(LineIoTest, OwnerLosesBufferedLinesAndCannotSendAfterAForeignClose) {
    Peer server;
    int slot = Connect(server);
    ASSERT_GT(slot, 0);
    ASSERT_TRUE(server.Send("one\r\ntwo\r\n"));
    std::string line;
    ReceiveLine(slot, line);
    ASSERT_EQ(line, "one");
    std::thread([slot] { EXPECT_TRUE(CloseSlot(slot)); }).join();
    SendLine(slot, "QUIT");
    EXPECT_EQ(SessionTable[slot].failed, 1);
    EXPECT_TRUE(Logged("Send_No_Socket", slot));
    ReceiveLine(slot, line);
    EXPECT_EQ(line, "") << "a killed connection hands out nothing it had buffered";
    EXPECT_TRUE(ReceiveBuffers[slot].empty());
    Finish(slot);
}

TEST_F(LineIoTest, CloseByTheOwnerEmptiesTheBufferAndReleaseKeepsIt) {
    Peer server;
    int slot = Connect(server);
    ASSERT_GT(slot, 0);
    ASSERT_TRUE(server.Send("one\r\ntwo\r\n"));
    std::string line;
    ReceiveLine(slot, line);
    ASSERT_EQ(ReceiveBuffers[slot].Unread(), "two\r\n");
    ReleaseSlot(slot);  // without CloseSlot: the number is closed, the buffer kept
    EXPECT_EQ(ReceiveBuffers[slot].Unread(), "two\r\n");
    std::string rest;
    EXPECT_TRUE(server.ReadToEnd(rest));

    Peer second;
    int again = Connect(second);
    ASSERT_EQ(again, slot);
    EXPECT_TRUE(ReceiveBuffers[slot].empty()) << "a new connection starts with an empty buffer";
    ASSERT_TRUE(second.Send("x\r\ny\r\n"));
    ReceiveLine(slot, line);
    EXPECT_FALSE(ReceiveBuffers[slot].empty());
    EXPECT_TRUE(CloseSlot(slot));
    EXPECT_TRUE(ReceiveBuffers[slot].empty());
    ReleaseSlot(slot);
}

// A monotonic clock that stands still, so that only the watchdog can end a wait.
int64_t FrozenClock() {
    return 43200000;
}

TEST_F(LineIoTest, WatchdogKillsAnIdleOutgoingConnection) {
    SetMonotonicClockForTesting(FrozenClock);
    std::atomic<int> slot{0};
    std::atomic<bool> done{false};
    std::string line = "old";
    std::thread owner([&] {
        int own = ConnectToServer("127.0.0.1", server_.port());
        if (own > 0) SessionTable[own].timeoutSeconds = 3;
        slot = own;
        ReceiveLine(own, line);
        done = true;
    });
    Peer server = server_.Accept();
    ASSERT_TRUE(nettest::WaitUntil([&] { return slot.load() != 0; }));
    ASSERT_GT(slot, 0);
    // The receive sets the countdown back once when it starts; ticks from
    // then on bring it to 0.
    bool killed = nettest::WaitUntil([&] {
        WatchdogTick();
        return done.load();
    });
    if (!killed) server.Close();  // lets the owner go when the watchdog failed
    owner.join();
    EXPECT_TRUE(killed);
    EXPECT_EQ(line, "");
    EXPECT_EQ(SessionTable[slot].failed, 1);
    EXPECT_TRUE(Logged("Socket is dead, perform killing Thread", slot));
    EXPECT_LT(SessionTable[slot].countdown, 1);
    Finish(slot);
}

TEST_F(LineIoTest, WatchdogVisitsOnlyBusyTimedEntriesBelowTheOverflow) {
    struct Case {
        int slot;
        int owner;
        int timeout;
        int countdown;
        int countdownAfter;
        bool killed;
    } cases[] = {
        {1, 7, 60, 1, 0, true},            // reaches 0: killed
        {2, 1, 60, 5, 4, false},           // outgoing connections count down too
        {3, 7, 60, 0, -1, false},          // already 0: goes below and is never killed
        {4, 7, 60, -4, -5, false},         // below 0
        {5, 7, 0, 1, 1, false},            // no time-out
        {6, -1, 60, 1, 1, false},          // only reserved
        {7, 0, 60, 1, 1, false},           // free
        {kSlotCount, 7, 60, 1, 1, false},  // the overflow entry is not visited
    };
    for (const Case& c : cases) {
        SessionTable[c.slot].owner = c.owner;
        SessionTable[c.slot].timeoutSeconds = c.timeout;
        SessionTable[c.slot].countdown = c.countdown;
    }
    WatchdogTick();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.slot);
        EXPECT_EQ(SessionTable[c.slot].countdown, c.countdownAfter);
        EXPECT_EQ(Logged("Socket is dead, perform killing Thread", c.slot), c.killed);
        SessionTable[c.slot].owner = 0;
        SessionTable[c.slot].timeoutSeconds = 0;
    }
}

// Protocol lines echoed on the console when DebugLine is on.
std::vector<std::string>& EchoLines() {
    static std::vector<std::string> lines;
    return lines;
}
void CollectEcho(std::string_view line) {
    EchoLines().emplace_back(line);
}

TEST_F(LineIoTest, DebugLineEchoesBothDirectionsWithControlBytesShownAsDots) {
    Peer server;
    int slot = Connect(server);
    ASSERT_GT(slot, 0);
    EchoLines().clear();
    Settings.DebugLine = true;
    SetConsoleSinkForTesting(CollectEcho);
    SendLine(slot, "LIST");
    ASSERT_TRUE(server.Send("+OK \x1b[2Jdone\r\n"));
    std::string line;
    ReceiveLine(slot, line);
    SetConsoleSinkForTesting(nullptr);
    Settings.DebugLine = false;
    EXPECT_EQ(line, "+OK \x1b[2Jdone");
    ASSERT_EQ(EchoLines().size(), 2u);
    EXPECT_EQ(EchoLines()[0], std::to_string(slot) + ">:LIST");
    EXPECT_EQ(EchoLines()[1], std::to_string(slot) + "<:+OK .[2Jdone");
    Finish(slot);
}

}  // namespace
