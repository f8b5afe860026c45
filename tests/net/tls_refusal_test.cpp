// ConnectUpstream against scripted plaintext servers: every way TLS can be
// refused before a handshake, what the server gets to see then (nothing after
// the upgrade command but TLS records), and the plaintext mode.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/text.h"
#include "net/connection.h"
#include "net/net_test_support.h"
#include "net/session_table.h"
#include "net/tls_servers.h"
#include "net/upstream_connect.h"
#include "net/watchdog.h"

namespace {

using nettest::Peer;
using nettest::TestServer;

constexpr int kTimeoutSeconds = 30;           // never reached unless something hangs
constexpr const char* kHangUp = "(hang up)";  // a reply that closes the connection instead

// A one-connection server: greets, answers one command line if it is given a
// reply, sends `afterwards` (when given) as soon as anything more arrives,
// and keeps everything else it receives until the client closes.
class ScriptedServer {
  public:
    ScriptedServer(std::string greeting, std::string reply, std::string afterwards = "")
        : thread_([this, greeting = std::move(greeting), reply = std::move(reply),
                   afterwards = std::move(afterwards)] {
              Peer client = listener_.Accept();
              if (!client.valid() || !client.Send(greeting)) return;
              if (!reply.empty()) {
                  if (!client.ReadLine(command_) || reply == kHangUp) return;
                  if (!client.Send(reply)) return;
              }
              std::string first;
              if (!afterwards.empty() &&
                  (!client.ReadBytes(1, first) || !client.Send(afterwards))) {
                  return;
              }
              client.ReadToEnd(rest_);
              rest_ = first + rest_;
          }) {}
    ~ScriptedServer() { Join(); }

    int port() const { return listener_.port(); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    // The command line read (with its line end), and what came after it.
    const std::string& command() const { return command_; }
    const std::string& rest() const { return rest_; }

  private:
    TestServer listener_;
    std::string command_;
    std::string rest_;
    std::thread thread_;
};

class TlsRefusalTest : public nettest::NetTest {
  protected:
    // Connects into upstream_.
    UpstreamOutcome Connect(UpstreamProtocol protocol, TlsMode mode, int port,
                            std::string& greeting) {
        Settings.Pop3Tls = protocol == UpstreamProtocol::kPop3 ? mode : TlsMode::kOff;
        Settings.NntpTls = protocol == UpstreamProtocol::kNntp ? mode : TlsMode::kOff;
        return ConnectUpstream("127.0.0.1", port, protocol, kTimeoutSeconds, upstream_, greeting);
    }

    Connection upstream_;
};

// True when `bytes` is a sequence of whole TLS records (content types 20 to
// 23, protocol version 3.x), possibly cut short at its end.
bool OnlyTlsRecords(const std::string& bytes) {
    constexpr size_t kHeader = 5;
    size_t at = 0;
    while (at + kHeader <= bytes.size()) {
        const auto type = static_cast<unsigned char>(bytes[at]);
        const auto major = static_cast<unsigned char>(bytes[at + 1]);
        if (type < 20 || type > 23 || major != 3) return false;
        const size_t length = static_cast<unsigned char>(bytes[at + 3]) * 256u +
                              static_cast<unsigned char>(bytes[at + 4]);
        at += kHeader + length;
    }
    return true;
}

TEST_F(TlsRefusalTest, RefusedUpgradeGivesUpWithoutAnotherByte) {
    const struct {
        UpstreamProtocol protocol;
        const char* greeting;
        const char* reply;    // "" when the command is never sent
        const char* command;  // what the server must have read
        const char* logged;
    } cases[] = {
        {UpstreamProtocol::kPop3, "+OK ready\r\n", "-ERR STLS not offered\r\n", "STLS\r\n",
         "STLS refused: -ERR STLS not offered"},
        {UpstreamProtocol::kPop3, "-ERR go away\r\n", "", "", "STLS refused: -ERR go away"},
        {UpstreamProtocol::kPop3, "+OK ready\r\n", kHangUp, "STLS\r\n",
         "STLS refused: connection lost"},
        {UpstreamProtocol::kNntp, "200 news ready\r\n", "502 no TLS here\r\n", "STARTTLS\r\n",
         "STARTTLS refused: 502 no TLS here"},
        {UpstreamProtocol::kNntp, "201 no posting\r\n", "580 Can not initiate TLS negotiation\r\n",
         "STARTTLS\r\n", "STARTTLS refused: 580 Can not initiate TLS negotiation"},
        {UpstreamProtocol::kNntp, "400 busy\r\n", "", "", "STARTTLS refused: 400 busy"},
        // A positive answer of the wrong kind is no consent.
        {UpstreamProtocol::kNntp, "200 news ready\r\n", "200 what?\r\n", "STARTTLS\r\n",
         "STARTTLS refused: 200 what?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        ScriptedServer server(c.greeting, c.reply);
        const size_t mark = Log().size();
        std::string greeting;
        EXPECT_EQ(Connect(c.protocol, TlsMode::kUpgrade, server.port(), greeting),
                  UpstreamOutcome::kTlsFailed);
        server.Join();
        EXPECT_EQ(server.command(), c.command);
        EXPECT_EQ(server.rest(), "") << "sent after the refusal";
        EXPECT_TRUE(StartsWith(tlstest::LogLineWith(Log().substr(mark), c.logged), "! "))
            << Log().substr(mark);
        EXPECT_TRUE(nettest::TableEmpty());
    }
}

// The server consents and then speaks plaintext: the handshake fails, and
// all it received after the upgrade command were TLS records (a hello and,
// maybe, an alert), never a command.
TEST_F(TlsRefusalTest, FailedHandshakeSendsNothingButTls) {
    for (UpstreamProtocol protocol : {UpstreamProtocol::kPop3, UpstreamProtocol::kNntp}) {
        const bool pop3 = protocol == UpstreamProtocol::kPop3;
        ScriptedServer server(pop3 ? "+OK ready\r\n" : "200 ready\r\n",
                              pop3 ? "+OK Begin TLS\r\n" : "382 Continue with TLS negotiation\r\n",
                              "-ERR this is not TLS at all\r\n");
        std::string greeting;
        EXPECT_EQ(Connect(protocol, TlsMode::kUpgrade, server.port(), greeting),
                  UpstreamOutcome::kTlsFailed);
        server.Join();
        EXPECT_EQ(server.command(), pop3 ? "STLS\r\n" : "STARTTLS\r\n");
        ASSERT_FALSE(server.rest().empty());
        EXPECT_EQ(static_cast<unsigned char>(server.rest()[0]), 22) << "a TLS handshake record";
        EXPECT_TRUE(OnlyTlsRecords(server.rest()));
        EXPECT_NE(Log().find(": TLS handshake failed: wrong version number\n"), std::string::npos)
            << Log();
        EXPECT_EQ(Log().find("TLS established"), std::string::npos);
        EXPECT_TRUE(nettest::TableEmpty());
    }
}

TEST_F(TlsRefusalTest, ImplicitTlsAgainstAPlaintextServerFails) {
    ScriptedServer server("", "", "+OK plaintext greeting\r\n");
    std::string greeting = "old";
    EXPECT_EQ(Connect(UpstreamProtocol::kPop3, TlsMode::kImplicit, server.port(), greeting),
              UpstreamOutcome::kTlsFailed);
    server.Join();
    EXPECT_EQ(greeting, "");
    EXPECT_TRUE(OnlyTlsRecords(server.rest()));
    EXPECT_NE(Log().find(": TLS handshake failed: wrong version number\n"), std::string::npos)
        << Log();
}

// A server that takes the hello and never answers: the slot's time-out ends
// the handshake, or the watchdog does, whichever the slot's settings make
// come first.
TEST_F(TlsRefusalTest, SilentServerEndsTheHandshakeByTimeOutOrWatchdog) {
    {
        ScriptedServer server("", "");
        std::string greeting;
        Settings.Pop3Tls = TlsMode::kImplicit;
        EXPECT_EQ(ConnectUpstream("127.0.0.1", server.port(), UpstreamProtocol::kPop3, 1, upstream_,
                                  greeting),
                  UpstreamOutcome::kTlsFailed);
        server.Join();
        EXPECT_TRUE(Logged("TLS handshake failed: no answer within the time-out", 1)) << Log();
    }
    ScriptedServer server("", "");
    std::atomic<bool> done{false};
    UpstreamOutcome result = UpstreamOutcome::kConnected;
    std::thread owner([&] {
        std::string greeting;
        Connection connection;
        Settings.NntpTls = TlsMode::kImplicit;
        result = ConnectUpstream("127.0.0.1", server.port(), UpstreamProtocol::kNntp,
                                 kTimeoutSeconds, connection, greeting);
        done = true;
    });
    // The watchdog counts the slot down once the connect has filled it in.
    const bool ended = nettest::WaitUntil([&] {
        WatchdogTick();
        return done.load();
    });
    if (!ended) ShutDownFromOutside(1);  // lets the owner go when the watchdog failed
    owner.join();
    server.Join();
    EXPECT_EQ(result, UpstreamOutcome::kTlsFailed);
    EXPECT_TRUE(Logged("Socket is dead, perform killing Thread", 1)) << Log();
    EXPECT_TRUE(
        Logged("TLS handshake failed: connection shut down by the watchdog or the operator", 1))
        << Log();
}

TEST_F(TlsRefusalTest, UnreadableCaFileSendsNothing) {
    ScriptedServer server("", "");
    Settings.TlsCaFile = dir_.path() + "no-such-ca.pem";
    std::string greeting;
    EXPECT_EQ(Connect(UpstreamProtocol::kPop3, TlsMode::kImplicit, server.port(), greeting),
              UpstreamOutcome::kTlsFailed);
    server.Join();
    EXPECT_EQ(server.rest(), "");
    EXPECT_TRUE(StartsWith(
        tlstest::LogLineWith(Log(), "TLS handshake failed: cannot read TlsCaFile " +
                                        Settings.TlsCaFile + ": No such file or directory"),
        "! "))
        << Log();
}

TEST_F(TlsRefusalTest, PlaintextModeReadsTheGreetingOnly) {
    for (UpstreamProtocol protocol : {UpstreamProtocol::kPop3, UpstreamProtocol::kNntp}) {
        ScriptedServer server("+OK hello <9.9@host>\r\n", "");
        std::string greeting;
        ASSERT_EQ(Connect(protocol, TlsMode::kOff, server.port(), greeting),
                  UpstreamOutcome::kConnected);
        EXPECT_EQ(greeting, "+OK hello <9.9@host>");
        EXPECT_EQ(SessionTable[upstream_.slot()].timeoutSeconds, kTimeoutSeconds);
        EXPECT_EQ(upstream_.TlsDescription(), "");
        upstream_.SendLine("QUIT");
        upstream_.Close();
        upstream_.Release();
        server.Join();
        EXPECT_EQ(server.rest(), "QUIT\r\n");
    }
    EXPECT_EQ(Log().find("TLS"), std::string::npos);
}

TEST_F(TlsRefusalTest, ConnectFailureAndUnknownModeAreTold) {
    int closedPort = 0;
    {
        TestServer gone;
        closedPort = gone.port();
    }
    std::string greeting;
    EXPECT_EQ(Connect(UpstreamProtocol::kPop3, TlsMode::kImplicit, closedPort, greeting),
              UpstreamOutcome::kConnectFailed);
    // A mode that names nothing refuses before any connect: the closed port
    // would have made it kConnectFailed.
    const size_t mark = Log().size();
    EXPECT_EQ(Connect(UpstreamProtocol::kNntp, TlsMode::kUnknown, closedPort, greeting),
              UpstreamOutcome::kTlsFailed);
    EXPECT_TRUE(Logged("NntpTls names no TLS mode, no connection made"));
    EXPECT_EQ(Log().find("Failed connection", mark), std::string::npos);
    EXPECT_TRUE(nettest::TableEmpty());
}

}  // namespace
