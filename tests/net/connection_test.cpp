#include "net/connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "net/net_test_support.h"
#include "net/session_table.h"
#include "net/watchdog.h"
#include "platform/console.h"

namespace {

using nettest::Peer;
using nettest::TestServer;

class ConnectionTest : public nettest::NetTest {
  protected:
    // Connects to the test server; `server` is the far end.
    Connection Connect(Peer& server, int timeoutSeconds = 0) {
        Connection connection = Connection::ConnectTo("127.0.0.1", server_.port());
        if (connection.open()) {
            connection.SetTimeout(timeoutSeconds);
            server = server_.Accept();
        }
        return connection;
    }

    TestServer server_;
};

TEST_F(ConnectionTest, NoConnectionDoesNothing) {
    Peer server;
    Connection live = Connect(server);
    ASSERT_TRUE(live.open());
    const std::string logBefore = Log();

    Connection none;
    std::string line = "kept";
    none.SendLine("x");
    none.SendText("x");
    none.ReceiveLine(line);
    EXPECT_EQ(line, "kept");
    none.RelayBlockTo(live);
    live.RelayBlockTo(none);
    none.SkipBlock();
    EXPECT_FALSE(none.ReadBlock(kMaxBlockLines, [](const std::string&) { return true; }));
    EXPECT_FALSE(none.HasBufferedLine());
    EXPECT_FALSE(none.LinkFailed());
    EXPECT_FALSE(none.Close());
    EXPECT_FALSE(CloseFromOutside(0));
    KillDeadSocket(-1);
    EXPECT_EQ(none.slot(), 0);
    EXPECT_FALSE(live.LinkFailed());
    EXPECT_EQ(Log(), logBefore);
}

TEST_F(ConnectionTest, ConnectFillsTheEntryAndLogsTheDottedAddress) {
    Peer server;
    Connection connection = Connect(server);
    ASSERT_EQ(connection.slot(), 1);
    const SessionSlot& entry = SessionTable[connection.slot()];
    EXPECT_EQ(entry.state, SlotState::kUpstream);
    EXPECT_EQ(entry.timeoutSeconds, 0);
    EXPECT_FALSE(connection.LinkFailed());
    EXPECT_EQ(entry.port, server_.port());
    EXPECT_EQ(SlotAddress(connection.slot()), nettest::Loopback(1));
    EXPECT_TRUE(NoDelayEnabled(entry.socket));
    EXPECT_TRUE(Logged("Outgoing connection to '127.0.0.1'  Port:" + NumberText(server_.port()),
                       connection.slot()));
    EXPECT_TRUE(connection.Close());
    EXPECT_TRUE(Logged("Socket closed", connection.slot()));
    EXPECT_FALSE(connection.Close());
    EXPECT_TRUE(Logged("Socket already closed", connection.slot()));
}

TEST_F(ConnectionTest, ConnectByNameShowsTheOfficialNameAndAddress) {
    Connection connection = Connection::ConnectTo("localhost", server_.port());
    ASSERT_TRUE(connection.open());
    Peer server = server_.Accept();
    EXPECT_TRUE(
        Logged("Outgoing connection to 'localhost (127.0.0.1)'  Port:" + NumberText(server_.port()),
               connection.slot()));
}

TEST_F(ConnectionTest, HostTextIsCutTo63Characters) {
    // The lenient dotted reading stops at the first blank, so the padded
    // text still connects; the log shows what was used.
    std::string host = "127.0.0.1" + std::string(kHostNameLimit - 9, ' ');
    Connection connection = Connection::ConnectTo(host + "TAIL", server_.port());
    ASSERT_TRUE(connection.open());
    Peer server = server_.Accept();
    EXPECT_TRUE(Logged("Outgoing connection to '" + host + "'  Port:" + NumberText(server_.port()),
                       connection.slot()));
}

TEST_F(ConnectionTest, FailedConnectLeavesNothingBehind) {
    int port;
    {
        TestServer closed;  // a port that nobody listens on once this ends
        port = closed.port();
    }
    EXPECT_FALSE(Connection::ConnectTo("127.0.0.1", port).open());
    EXPECT_TRUE(Logged("Failed connection to '127.0.0.1'  Port:" + NumberText(port), 1));
    EXPECT_TRUE(nettest::TableEmpty());
}

TEST_F(ConnectionTest, ConnectToIpv6Literals) {
    if (!nettest::Ipv6Available()) GTEST_SKIP() << "no IPv6 on this machine";
    TestServer server(nettest::Ipv6Loopback());
    const std::string portText = NumberText(server.port());
    // In brackets, as a login names it, and bare: the log shows the text used.
    for (const std::string host : {"[::1]", "0:0::1"}) {
        SCOPED_TRACE(host);
        Connection connection = Connection::ConnectTo(host, server.port());
        ASSERT_TRUE(connection.open());
        Peer far = server.Accept();
        EXPECT_EQ(SlotAddress(connection.slot()), nettest::Ipv6Loopback());
        EXPECT_TRUE(
            Logged("Outgoing connection to '" + host + "'  Port:" + portText, connection.slot()));
        connection.Close();
        connection.Release();
    }
}

// "localhost" has only 127.0.0.1 here, so a resolver stands in for a name
// with an address of each family.
bool ResolveLoopbacksIpv6First(const std::string&, std::vector<IpAddress>& addresses,
                               std::string& canonicalName) {
    addresses = {nettest::Ipv6Loopback(), nettest::Loopback(1)};
    canonicalName = "both.test";
    return true;
}

bool ResolveLoopbacksIpv4First(const std::string&, std::vector<IpAddress>& addresses,
                               std::string& canonicalName) {
    addresses = {nettest::Loopback(1), nettest::Ipv6Loopback()};
    canonicalName = "both.test";
    return true;
}

TEST_F(ConnectionTest, EveryAddressOfANameIsTriedInTurn) {
    if (!nettest::Ipv6Available()) GTEST_SKIP() << "no IPv6 on this machine";
    struct Case {
        HostResolver resolver;
        IpAddress listening;  // the other address refuses
        const char* refused;
        const char* served;
    } cases[] = {
        {ResolveLoopbacksIpv6First, nettest::Loopback(1), "::1", "127.0.0.1"},
        {ResolveLoopbacksIpv4First, nettest::Ipv6Loopback(), "127.0.0.1", "::1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.served);
        SetHostResolverForTesting(c.resolver);
        TestServer server(c.listening);
        const std::string portText = NumberText(server.port());
        Connection connection = Connection::ConnectTo("both", server.port());
        SetHostResolverForTesting(nullptr);
        ASSERT_TRUE(connection.open());
        Peer far = server.Accept();
        EXPECT_EQ(SlotAddress(connection.slot()), c.listening);
        const std::string log = Log();
        size_t failed = log.find("Failed connection to 'both.test (" + std::string(c.refused) +
                                 ")'  Port:" + portText);
        size_t served = log.find("Outgoing connection to 'both.test (" + std::string(c.served) +
                                 ")'  Port:" + portText);
        EXPECT_NE(failed, std::string::npos) << log;
        EXPECT_NE(served, std::string::npos) << log;
        EXPECT_LT(failed, served);
        connection.Close();
        connection.Release();
    }

    // When none connects, each failure is logged and nothing is left.
    int port;
    {
        TestServer closed;
        port = closed.port();
    }
    SetHostResolverForTesting(ResolveLoopbacksIpv4First);
    EXPECT_FALSE(Connection::ConnectTo("both", port).open());
    SetHostResolverForTesting(nullptr);
    EXPECT_TRUE(
        Logged("Failed connection to 'both.test (127.0.0.1)'  Port:" + NumberText(port), 1));
    EXPECT_TRUE(Logged("Failed connection to 'both.test (::1)'  Port:" + NumberText(port), 1));
    EXPECT_TRUE(nettest::TableEmpty());
}

TEST_F(ConnectionTest, ConnectFailsWhenTheOverflowEntryIsTaken) {
    for (int slot = 1; slot <= kSlotCount; ++slot) ASSERT_EQ(AllocateSlot(), slot);
    EXPECT_FALSE(Connection::ConnectTo("127.0.0.1", server_.port()).open());
    EXPECT_TRUE(
        Logged("Failed connection to '127.0.0.1'  Port:" + NumberText(server_.port()), kSlotCount));
    EXPECT_EQ(SessionTable[kSlotCount].state, SlotState::kReserved)
        << "someone else's entry was touched";
    for (int slot = 1; slot <= kSlotCount; ++slot) ReleaseSlot(slot);
}

TEST_F(ConnectionTest, MovingKeepsTheEntryAndTheBufferedLines) {
    Peer server;
    Connection first = Connect(server);
    ASSERT_TRUE(first.open());
    const int slot = first.slot();
    ASSERT_TRUE(server.Send("one\r\ntwo\r\n"));
    std::string line;
    first.ReceiveLine(line);
    ASSERT_EQ(line, "one");

    Connection second(std::move(first));
    EXPECT_FALSE(first.open());
    EXPECT_EQ(second.slot(), slot);
    EXPECT_TRUE(second.HasBufferedLine());
    Connection third;
    third = std::move(second);
    third.ReceiveLine(line);
    EXPECT_EQ(line, "two");
    EXPECT_FALSE(third.LinkFailed());

    // Going out of scope gives the entry back and closes the number.
    { Connection gone(std::move(third)); }
    EXPECT_EQ(SessionTable[slot].state, SlotState::kFree);
    std::string rest;
    EXPECT_TRUE(server.ReadToEnd(rest));
}

TEST_F(ConnectionTest, LinesAreCutAtLineFeeds) {
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
        Connection connection = Connect(server);
        ASSERT_TRUE(connection.open());
        // Everything is sent and the far end closed before the first
        // receive: the later lines can only come from the buffer.
        ASSERT_TRUE(server.Send(c.sent));
        server.Close();
        std::string line;
        for (const std::string& expected : c.lines) {
            connection.ReceiveLine(line);
            EXPECT_EQ(line, expected);
        }
        EXPECT_FALSE(connection.LinkFailed());
        connection.ReceiveLine(line);
        EXPECT_EQ(line, "");
        EXPECT_TRUE(connection.LinkFailed());
    }
}

TEST_F(ConnectionTest, LineFedOneByteAtATimeIsJoined) {
    Peer server;
    Connection connection = Connect(server);
    ASSERT_TRUE(connection.open());
    std::thread feeder([&server] {
        for (char c : std::string("+OK split\r\n")) {
            server.Send(std::string(1, c));
            SleepMilliseconds(1);
        }
    });
    std::string line;
    connection.ReceiveLine(line);
    feeder.join();
    EXPECT_EQ(line, "+OK split");
    EXPECT_FALSE(connection.LinkFailed());
}

TEST_F(ConnectionTest, SendLineAppendsCrLfAndResetsTheCountdown) {
    Peer server;
    Connection connection = Connect(server, 45);
    ASSERT_TRUE(connection.open());
    SessionTable[connection.slot()].countdown = 3;
    connection.SendLine(std::string("USER a\0b", 8));
    EXPECT_EQ(SessionTable[connection.slot()].countdown, 45);
    std::string got;
    ASSERT_TRUE(server.ReadLine(got));
    EXPECT_EQ(got, std::string("USER a\0b\r\n", 10));
}

TEST_F(ConnectionTest, LargeTextArrivesWholeThroughANonBlockingSocket) {
    Peer server;
    Connection connection = Connect(server);
    ASSERT_TRUE(connection.open());
    std::string text;
    for (int i = 0; text.size() < 8 * 1024 * 1024; ++i)
        text += "line " + std::to_string(i) + "\r\n";
    std::string received;
    std::thread reader([&] { server.ReadBytes(text.size(), received); });
    connection.SendText(text);
    reader.join();
    EXPECT_FALSE(connection.LinkFailed());
    EXPECT_TRUE(received == text);
}

TEST_F(ConnectionTest, SendGivesUpWhenThePeerReadsNothing) {
    Peer server;
    Connection connection = Connect(server, 1);
    ASSERT_TRUE(connection.open());
    connection.SendText(std::string(64 * 1024 * 1024, 'x'));
    EXPECT_TRUE(connection.LinkFailed());
    EXPECT_TRUE(Logged("Send_Empty", connection.slot()));
    EXPECT_TRUE(Logged("Send_Socket_Timeout", connection.slot()));
}

TEST_F(ConnectionTest, PeerClosingEndsTheReceiveWithAnEmptyLine) {
    Peer server;
    Connection connection = Connect(server);
    ASSERT_TRUE(connection.open());
    ASSERT_TRUE(server.Send("partial line without end"));
    std::thread closer([&server] {
        SleepMilliseconds(20);
        server.Close();
    });
    std::string line = "old";
    connection.ReceiveLine(line);
    closer.join();
    EXPECT_EQ(line, "");
    EXPECT_TRUE(connection.LinkFailed());
}

TEST_F(ConnectionTest, EndlessLineIsCutOffAtTheCap) {
    Peer server;
    Connection connection = Connect(server);
    ASSERT_TRUE(connection.open());
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        std::string block(64 * 1024, 'y');
        size_t sent = 0;
        while (!stop && sent < 4 * kMaxPendingBytes && server.Send(block)) sent += block.size();
    });
    std::string line = "old";
    connection.ReceiveLine(line);
    EXPECT_EQ(line, "");
    EXPECT_TRUE(connection.LinkFailed());
    EXPECT_TRUE(Logged("Line too long, connection dropped", connection.slot()));
    connection.Close();  // the flood's next send fails once our end is closed
    stop = true;
    flood.join();
}

TEST_F(ConnectionTest, ReadBlockHandsOutTheLinesUpToTheDot) {
    struct Case {
        const char* name;
        std::string sent;
        size_t lineLimit;
        bool refuseSecond;
        bool complete;
        std::vector<std::string> taken;
        std::string next;  // the line after the reading
    } cases[] = {
        {"whole block", "a\r\n..b\r\n.\r\nnext\r\n", 5, false, true, {"a", "..b"}, "next"},
        {"empty block", ".\r\nnext\r\n", 0, false, true, {}, "next"},
        {"exactly at the limit", "a\r\nb\r\n.\r\nnext\r\n", 2, false, true, {"a", "b"}, "next"},
        {"over the limit", "a\r\nb\r\nc\r\n.\r\n", 2, false, false, {"a", "b"}, "."},
        {"refused line", "a\r\nb\r\nc\r\n.\r\n", 5, true, false, {"a", "b"}, "c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peer server;
        Connection connection = Connect(server);
        ASSERT_TRUE(connection.open());
        ASSERT_TRUE(server.Send(c.sent));
        std::vector<std::string> taken;
        bool complete = connection.ReadBlock(c.lineLimit, [&](const std::string& line) {
            taken.push_back(line);
            return !(c.refuseSecond && taken.size() == 2);
        });
        EXPECT_EQ(complete, c.complete);
        EXPECT_EQ(taken, c.taken);
        std::string next;
        connection.ReceiveLine(next);
        EXPECT_EQ(next, c.next);
    }
}

TEST_F(ConnectionTest, ReadBlockFailsWhenTheLinkEndsBeforeTheDot) {
    Peer server;
    Connection connection = Connect(server);
    ASSERT_TRUE(connection.open());
    ASSERT_TRUE(server.Send("a\r\nb\r\n"));
    server.Close();
    size_t taken = 0;
    EXPECT_FALSE(connection.ReadBlock(kMaxBlockLines, [&](const std::string&) {
        ++taken;
        return true;
    }));
    EXPECT_EQ(taken, 2u);
    EXPECT_TRUE(connection.LinkFailed());
}

// A monotonic clock that moves on five seconds per reading.
constexpr int64_t kClockStepMs = 5000;
std::atomic<int> clockReadings{0};
int64_t SteppingClock() {
    return 1000000 + kClockStepMs * clockReadings.fetch_add(1);
}

TEST_F(ConnectionTest, TimeOutCountsOnTheMonotonicClock) {
    Peer server;
    Connection connection = Connect(server, 60);
    ASSERT_TRUE(connection.open());
    clockReadings = 0;
    SetMonotonicClockForTesting(SteppingClock);
    std::atomic<bool> done{false};
    std::thread guard([&] {
        // Ends the wait of an implementation that never times out.
        nettest::WaitUntil([&] { return done.load(); });
        if (!done) server.Close();
    });
    std::string line = "old";
    connection.ReceiveLine(line);
    done = true;
    guard.join();
    SetMonotonicClockForTesting(nullptr);
    EXPECT_EQ(line, "");
    EXPECT_TRUE(connection.LinkFailed());
    EXPECT_TRUE(Logged("Line_Socket_Timeout", connection.slot()));
    // The reading that ended the wait lies a little over a minute after the
    // first one.
    int64_t elapsedMs = kClockStepMs * (clockReadings - 1);
    EXPECT_GT(elapsedMs, 60000);
    EXPECT_LE(elapsedMs, 60000 + 4 * kClockStepMs);
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

TEST_F(ConnectionTest, WallClockJumpsNeitherFireNorStallATimeOut) {
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
        Connection patient = Connect(server, 60);
        ASSERT_TRUE(patient.open());
        std::thread late([&server] {
            SleepMilliseconds(400);
            server.Send("+OK late\r\n");
        });
        std::string line;
        patient.ReceiveLine(line);
        late.join();
        EXPECT_EQ(line, "+OK late");
        EXPECT_FALSE(patient.LinkFailed());

        // Silence: the one-second time-out ends the wait after a second.
        Peer silent;
        Connection waiting = Connect(silent, 1);
        ASSERT_TRUE(waiting.open());
        std::atomic<bool> done{false};
        std::thread guard([&] {
            nettest::WaitUntil([&] { return done.load(); });
            if (!done) silent.Close();
        });
        steady_clock::time_point start = steady_clock::now();
        waiting.ReceiveLine(line);
        auto waited = steady_clock::now() - start;
        done = true;
        guard.join();
        EXPECT_TRUE(waiting.LinkFailed());
        EXPECT_TRUE(Logged("Line_Socket_Timeout", waiting.slot()));
        EXPECT_GE(waited, std::chrono::milliseconds(1000));
    }
    SetClockForTesting(nullptr);
}

TEST_F(ConnectionTest, RelayCopiesDotStuffedLinesAndSendsTheEndWithThePendingText) {
    Peer server;
    Connection from = Connect(server);
    TestServer clientSide;
    Connection to = Connection::ConnectTo("127.0.0.1", clientSide.port());
    Peer client = clientSide.Accept();
    ASSERT_TRUE(from.open());
    ASSERT_TRUE(to.open());
    std::string block = "Subject: dots\r\n..\r\n...leading\r\n.x\r\n\r\nbody\r\n.\r\n";
    ASSERT_TRUE(server.Send(block + "+OK after the block\r\n"));
    from.RelayBlockTo(to);
    std::string relayed;
    ASSERT_TRUE(client.ReadBytes(block.size(), relayed));
    EXPECT_EQ(relayed, block);
    std::string next;
    from.ReceiveLine(next);
    EXPECT_EQ(next, "+OK after the block");
}

TEST_F(ConnectionTest, RelayOfABlockLargerThanOneBatch) {
    Peer server;
    Connection from = Connect(server);
    TestServer clientSide;
    Connection to = Connection::ConnectTo("127.0.0.1", clientSide.port());
    Peer client = clientSide.Accept();
    ASSERT_TRUE(to.open());
    std::string block;
    for (int i = 0; block.size() < 5 * kRelayBatchBytes; ++i) {
        block += (i % 7 == 0 ? ".." : "") + std::string(i % 300, 'a' + i % 26) + "\r\n";
    }
    block += ".\r\n";
    std::thread sender([&] { server.Send(block); });
    std::string relayed;
    std::thread reader([&] { client.ReadBytes(block.size(), relayed); });
    from.RelayBlockTo(to);
    sender.join();
    reader.join();
    EXPECT_FALSE(from.LinkFailed());
    EXPECT_FALSE(to.LinkFailed());
    EXPECT_TRUE(relayed == block) << "relayed " << relayed.size() << " of " << block.size();
}

TEST_F(ConnectionTest, RelayDropsThePendingTextWhenTheSourceFails) {
    Peer server;
    Connection from = Connect(server);
    TestServer clientSide;
    Connection to = Connection::ConnectTo("127.0.0.1", clientSide.port());
    Peer client = clientSide.Accept();
    ASSERT_TRUE(to.open());
    ASSERT_TRUE(server.Send("first\r\nsecond\r\n"));
    server.Close();
    from.RelayBlockTo(to);
    EXPECT_TRUE(from.LinkFailed());
    from.Release();
    to.Release();
    std::string rest;
    EXPECT_TRUE(client.ReadToEnd(rest));
    EXPECT_EQ(rest, "");
}

// The watchdog or the operator closes a connection while its owner waits on it.
TEST_F(ConnectionTest, ForeignCloseWakesTheOwnerAndKeepsTheNumberUntilTheOwnerCloses) {
    Peer server;
    std::atomic<int> slot{0};
    std::atomic<bool> waiting{false};
    std::string line = "old";
    bool failedAfterReceive = false;
    bool bufferedAfterReceive = true;
    bool closedByOwner = true;
    std::atomic<bool> ownerMayClose{false};
    std::thread owner([&] {
        Connection own = Connection::ConnectTo("127.0.0.1", server_.port());
        slot = own.open() ? own.slot() : -1;
        if (!own.open()) return;
        own.ReceiveLine(line);  // reads "first"; "second" stays buffered
        waiting = true;
        own.ReceiveLine(line);  // returns "second" at once
        own.ReceiveLine(line);  // blocks until the foreign close
        failedAfterReceive = own.LinkFailed();
        bufferedAfterReceive = own.HasBufferedLine();
        while (!ownerMayClose) SleepMilliseconds(1);
        closedByOwner = own.Close();  // closed already, in the watchdog's eyes
    });
    server = server_.Accept();
    ASSERT_TRUE(server.Send("first\r\nsecond\r\n"));
    ASSERT_TRUE(nettest::WaitUntil([&] { return waiting.load(); }));
    ASSERT_GT(slot, 0);
    SleepMilliseconds(20);  // let the owner block; the result is the same if it has not yet
    int number = SessionTable[slot].socket;
    EXPECT_TRUE(CloseFromOutside(slot));
    EXPECT_FALSE(CloseFromOutside(slot)) << "a second foreign close finds it closed";

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
    EXPECT_TRUE(failedAfterReceive);
    EXPECT_FALSE(bufferedAfterReceive);
    EXPECT_FALSE(closedByOwner);
    size_t closedLine = Log().find("Socket closed");
    size_t alreadyLine = Log().find("Socket already closed");
    ASSERT_NE(closedLine, std::string::npos);
    ASSERT_NE(alreadyLine, std::string::npos);
    EXPECT_GT(alreadyLine, closedLine);
}

TEST_F(ConnectionTest, OwnerLosesBufferedLinesAndCannotSendAfterAForeignClose) {
    Peer server;
    Connection connection = Connect(server);
    ASSERT_TRUE(connection.open());
    ASSERT_TRUE(server.Send("one\r\ntwo\r\n"));
    std::string line;
    connection.ReceiveLine(line);
    ASSERT_EQ(line, "one");
    ASSERT_TRUE(connection.HasBufferedLine());
    const int slot = connection.slot();
    std::thread([slot] { EXPECT_TRUE(CloseFromOutside(slot)); }).join();
    connection.SendLine("QUIT");
    EXPECT_TRUE(connection.LinkFailed());
    EXPECT_TRUE(Logged("Send_No_Socket", slot));
    connection.ReceiveLine(line);
    EXPECT_EQ(line, "") << "a killed connection hands out nothing it had buffered";
    EXPECT_FALSE(connection.HasBufferedLine());
}

TEST_F(ConnectionTest, CloseDropsBufferedLinesAndReleaseFreesTheEntry) {
    Peer server;
    Connection connection = Connect(server);
    ASSERT_TRUE(connection.open());
    const int slot = connection.slot();
    ASSERT_TRUE(server.Send("one\r\ntwo\r\n"));
    std::string line;
    connection.ReceiveLine(line);
    ASSERT_TRUE(connection.HasBufferedLine());
    EXPECT_TRUE(connection.Close());
    EXPECT_FALSE(connection.HasBufferedLine());
    EXPECT_EQ(SessionTable[slot].state, SlotState::kUpstream) << "held until released";
    std::string rest;
    EXPECT_TRUE(server.ReadToEnd(rest));
    connection.Release();
    EXPECT_FALSE(connection.open());
    EXPECT_EQ(SessionTable[slot].state, SlotState::kFree);
}

// A monotonic clock that stands still, so that only the watchdog can end a wait.
int64_t FrozenClock() {
    return 43200000;
}

TEST_F(ConnectionTest, WatchdogKillsAnIdleOutgoingConnection) {
    SetMonotonicClockForTesting(FrozenClock);
    std::atomic<int> slot{0};
    std::atomic<bool> done{false};
    std::string line = "old";
    bool failed = false;
    std::thread owner([&] {
        Connection own = Connection::ConnectTo("127.0.0.1", server_.port());
        own.SetTimeout(3);
        slot = own.open() ? own.slot() : -1;
        own.ReceiveLine(line);
        failed = own.LinkFailed();
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
    EXPECT_TRUE(failed);
    EXPECT_TRUE(Logged("Socket is dead, perform killing Thread", slot));
    EXPECT_LT(SessionTable[slot].countdown, 1);
}

TEST_F(ConnectionTest, WatchdogVisitsOnlyWatchedTimedEntriesBelowTheOverflow) {
    struct Case {
        int slot;
        SlotState state;
        int timeout;
        int countdown;
        int countdownAfter;
        bool killed;
    } cases[] = {
        {1, SlotState::kSession, 60, 1, 0, true},            // reaches 0: killed
        {2, SlotState::kUpstream, 60, 5, 4, false},          // outgoing connections count down too
        {3, SlotState::kSession, 60, 0, -1, false},          // already 0: goes below, never killed
        {4, SlotState::kSession, 60, -4, -5, false},         // below 0
        {5, SlotState::kSession, 0, 1, 1, false},            // no time-out
        {6, SlotState::kReserved, 60, 1, 1, false},          // only reserved
        {7, SlotState::kFree, 60, 1, 1, false},              // free
        {kSlotCount, SlotState::kSession, 60, 1, 1, false},  // the overflow entry is not visited
    };
    for (const Case& c : cases) {
        SessionTable[c.slot].state = c.state;
        SessionTable[c.slot].timeoutSeconds = c.timeout;
        SessionTable[c.slot].countdown = c.countdown;
    }
    WatchdogTick();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.slot);
        EXPECT_EQ(SessionTable[c.slot].countdown, c.countdownAfter);
        EXPECT_EQ(Logged("Socket is dead, perform killing Thread", c.slot), c.killed);
        SessionTable[c.slot].state = SlotState::kFree;
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

TEST_F(ConnectionTest, DebugLineEchoesBothDirectionsWithControlBytesShownAsDots) {
    Peer server;
    Connection connection = Connect(server);
    ASSERT_TRUE(connection.open());
    EchoLines().clear();
    Settings.DebugLine = true;
    SetConsoleSinkForTesting(CollectEcho);
    connection.SendLine("LIST");
    ASSERT_TRUE(server.Send("+OK \x1b[2Jdone\r\n"));
    std::string line;
    connection.ReceiveLine(line);
    SetConsoleSinkForTesting(nullptr);
    Settings.DebugLine = false;
    EXPECT_EQ(line, "+OK \x1b[2Jdone");
    ASSERT_EQ(EchoLines().size(), 2u);
    const std::string slot = std::to_string(connection.slot());
    EXPECT_EQ(EchoLines()[0], slot + ">:LIST");
    EXPECT_EQ(EchoLines()[1], slot + "<:+OK .[2Jdone");
}

}  // namespace
