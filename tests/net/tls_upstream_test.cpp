// ConnectUpstream and the line I/O over TLS against a private Dovecot: logins
// over implicit TLS and STLS, a large message relayed out of TLS, refused
// certificates (with the server's own log showing that no login reached
// it), and the watchdog and the operator ending a TLS read.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
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
using tlstest::Certificates;
using tlstest::TlsDovecot;

constexpr int kTimeoutSeconds = 30;  // never reached unless something hangs
constexpr const char* kLoginLine = "Login: user=<alice>";
constexpr const char* kCredentialsSeen = "user=<alice>";

// The large message: many records' worth of lines of changing lengths, some
// beginning with a dot (stuffed on the wire).
std::string LargeMessage() {
    std::string message = "From: big@example.org\nSubject: large\n\n";
    for (int n = 0; n < 30000; ++n) {
        if (n % 97 == 0) message += ".";
        message +=
            "line " + std::to_string(n) + " " + std::string(static_cast<size_t>(n % 61), 'x');
        message += "\n";
    }
    return message;
}

// The message as RETR sends it, with its end line.
std::string OnTheWire(const std::string& stored) {
    std::string wire;
    bool lineStart = true;
    for (char c : stored) {
        if (lineStart && c == '.') wire += '.';
        if (c == '\n') wire += '\r';
        wire += c;
        lineStart = c == '\n';
    }
    return wire + ".\r\n";
}

class TlsUpstreamTest : public nettest::NetTest {
  protected:
    static void SetUpTestSuite() {
        if (!tlstest::Installed("dovecot")) return;
        certificates_ = std::make_unique<Certificates>();
        if (!certificates_->failure().empty()) return;
        ipv6_ = nettest::Ipv6Available();
        server_ = std::make_unique<TlsDovecot>(certificates_->Path("server_cert"),
                                               certificates_->Path("server_key"), ipv6_);
        misnamed_ = std::make_unique<TlsDovecot>(certificates_->Path("misnamed_cert"),
                                                 certificates_->Path("misnamed_key"), ipv6_);
        if (server_->ready()) {
            server_->AddMessage("From: small@example.org\nSubject: small\n\nbody\n");
            server_->AddMessage(LargeMessage());
        }
    }
    static void TearDownTestSuite() {
        misnamed_.reset();
        server_.reset();
        certificates_.reset();
    }

    void SetUp() override {
        if (!tlstest::Installed("dovecot")) GTEST_SKIP() << "dovecot is not installed";
        NetTest::SetUp();
        ASSERT_TRUE(certificates_->failure().empty()) << certificates_->failure();
        ASSERT_TRUE(server_->ready()) << server_->failure();
        ASSERT_TRUE(misnamed_->ready()) << misnamed_->failure();
        Settings.TlsVerify = true;
        Settings.TlsCaFile = certificates_->Path("ca");
    }

    UpstreamOutcome Connect(TlsMode mode, const std::string& host, int port, Connection& connection,
                            std::string& greeting) {
        Settings.Pop3Tls = mode;
        return ConnectUpstream(host, port, UpstreamProtocol::kPop3, kTimeoutSeconds, connection,
                               greeting);
    }

    static std::string Command(Connection& connection, const std::string& command) {
        connection.SendLine(command);
        std::string reply;
        connection.ReceiveLine(reply);
        return reply;
    }

    static void Finish(Connection& connection) {
        connection.Close();
        connection.Release();
    }

    std::string LogLineWith(const std::string& text) const {
        return tlstest::LogLineWith(Log(), text);
    }

    // True when ::1 can be had: then the servers answer there too, and the
    // cases that name "[::1]" run.
    static bool ipv6_;
    static std::unique_ptr<Certificates> certificates_;
    static std::unique_ptr<TlsDovecot> server_;
    static std::unique_ptr<TlsDovecot> misnamed_;
};

bool TlsUpstreamTest::ipv6_ = false;
std::unique_ptr<Certificates> TlsUpstreamTest::certificates_;
std::unique_ptr<TlsDovecot> TlsUpstreamTest::server_;
std::unique_ptr<TlsDovecot> TlsUpstreamTest::misnamed_;

TEST_F(TlsUpstreamTest, LoginOverImplicitTlsAndStls) {
    const struct {
        TlsMode mode;
        bool implicitPort;
        const char* host;
    } cases[] = {
        {TlsMode::kImplicit, true, "localhost"},
        {TlsMode::kImplicit, true, "127.0.0.1"},
        {TlsMode::kUpgrade, false, "localhost"},
        {TlsMode::kUpgrade, false, "127.0.0.1"},
        // Checked as an address, which the certificate carries; as a name it
        // would not match.
        {TlsMode::kImplicit, true, "[::1]"},
        {TlsMode::kUpgrade, false, "[::1]"},
    };
    for (const auto& c : cases) {
        if (!ipv6_ && c.host[0] == '[') continue;
        SCOPED_TRACE(std::string(c.host) + (c.implicitPort ? " implicit" : " stls"));
        const size_t mark = server_->Log().size();
        std::string greeting;
        Connection upstream;
        ASSERT_EQ(Connect(c.mode, c.host, c.implicitPort ? server_->tlsPort() : server_->port(),
                          upstream, greeting),
                  UpstreamOutcome::kConnected)
            << Log();
        // Either way the greeting carries the time stamp an APOP login needs.
        EXPECT_TRUE(StartsWith(greeting, "+OK ")) << greeting;
        EXPECT_NE(greeting.find('<'), std::string::npos) << greeting;
        EXPECT_TRUE(StartsWith(LogLineWith("TLS established: TLSv1."), "~ ")) << Log();
        EXPECT_EQ(SessionTable[upstream.slot()].timeoutSeconds, kTimeoutSeconds);

        EXPECT_EQ(Command(upstream, std::string("USER ") + tlstest::kAccount), "+OK");
        EXPECT_EQ(Command(upstream, std::string("PASS ") + tlstest::kPassword), "+OK Logged in.");
        EXPECT_TRUE(StartsWith(Command(upstream, "STAT"), "+OK 2 "));
        EXPECT_TRUE(StartsWith(Command(upstream, "QUIT"), "+OK"));
        EXPECT_FALSE(upstream.LinkFailed());
        Finish(upstream);

        ASSERT_TRUE(server_->WaitForLog(mark, kLoginLine)) << server_->Log().substr(mark);
        const std::string serverLog = server_->Log().substr(mark);
        const size_t login = serverLog.find(kLoginLine);
        const std::string loginLine = serverLog.substr(login, serverLog.find('\n', login) - login);
        EXPECT_NE(loginLine.find(", TLS,"), std::string::npos) << loginLine;
        ASSERT_TRUE(nettest::TableEmpty());
    }
}

// A message of many TLS records, relayed to a plaintext client: every byte
// arrives, and the read never waits on the socket while the library still
// holds decrypted bytes (the last records would hang otherwise).
TEST_F(TlsUpstreamTest, LargeMessageRelayedOutOfTls) {
    std::string greeting;
    Connection upstream;
    ASSERT_EQ(Connect(TlsMode::kImplicit, "localhost", server_->tlsPort(), upstream, greeting),
              UpstreamOutcome::kConnected)
        << Log();
    ASSERT_EQ(Command(upstream, std::string("USER ") + tlstest::kAccount), "+OK");
    ASSERT_EQ(Command(upstream, std::string("PASS ") + tlstest::kPassword), "+OK Logged in.");

    TestServer clientSide;
    Connection client = Connection::ConnectTo("127.0.0.1", clientSide.port());
    ASSERT_TRUE(client.open());
    Peer reader = clientSide.Accept();
    const std::string expected = OnTheWire(LargeMessage());
    std::string relayed;
    std::thread readThread([&] { reader.ReadBytes(expected.size(), relayed); });

    EXPECT_TRUE(StartsWith(Command(upstream, "RETR 2"), "+OK"));
    upstream.RelayBlockTo(client);
    readThread.join();
    EXPECT_FALSE(upstream.LinkFailed());
    EXPECT_FALSE(client.LinkFailed());
    EXPECT_EQ(relayed.size(), expected.size());
    EXPECT_TRUE(relayed == expected) << "the relayed message differs";
    // The link is still in step: the next reply is the next command's.
    EXPECT_TRUE(StartsWith(Command(upstream, "STAT"), "+OK 2 "));
    Finish(client);
    Finish(upstream);
}

TEST_F(TlsUpstreamTest, RefusedCertificatesStopBeforeTheLogin) {
    enum class Ca { kTest, kOther, kSystemOnly };
    const struct {
        Ca ca;
        bool misnamedServer;
        TlsMode mode;
        const char* host;
        const char* reason;
    } cases[] = {
        {Ca::kOther, false, TlsMode::kImplicit, "localhost",
         "unable to get local issuer certificate"},
        {Ca::kOther, false, TlsMode::kUpgrade, "localhost",
         "unable to get local issuer certificate"},
        {Ca::kSystemOnly, false, TlsMode::kImplicit, "127.0.0.1",
         "unable to get local issuer certificate"},
        {Ca::kTest, true, TlsMode::kImplicit, "localhost", "hostname mismatch"},
        {Ca::kTest, true, TlsMode::kImplicit, "127.0.0.1", "IP address mismatch"},
        {Ca::kTest, true, TlsMode::kImplicit, "[::1]", "IP address mismatch"},
        {Ca::kTest, true, TlsMode::kUpgrade, "localhost", "hostname mismatch"},
    };
    for (const auto& c : cases) {
        if (!ipv6_ && c.host[0] == '[') continue;
        SCOPED_TRACE(std::string(c.host) + " " + c.reason);
        const TlsDovecot& server = c.misnamedServer ? *misnamed_ : *server_;
        Settings.TlsCaFile = c.ca == Ca::kTest    ? certificates_->Path("ca")
                             : c.ca == Ca::kOther ? certificates_->Path("other_ca")
                                                  : std::string();
        const size_t ourMark = Log().size();
        const size_t serverMark = server.Log().size();
        std::string greeting;
        const int port = c.mode == TlsMode::kImplicit ? server.tlsPort() : server.port();
        Connection connection;
        EXPECT_EQ(Connect(c.mode, c.host, port, connection, greeting), UpstreamOutcome::kTlsFailed);
        EXPECT_FALSE(connection.open());
        EXPECT_TRUE(nettest::TableEmpty());

        const std::string expected =
            std::string("TLS handshake failed: certificate verify failed: ") + c.reason;
        EXPECT_TRUE(StartsWith(LogLineWith(expected), "! ")) << Log().substr(ourMark);
        EXPECT_EQ(Log().find("TLS established", ourMark), std::string::npos);
        // Once the server is done with the connection, it has seen no user.
        ASSERT_TRUE(server.WaitForLog(serverMark, "Disconnected"))
            << server.Log().substr(serverMark);
        EXPECT_FALSE(server.LoggedSince(serverMark, kCredentialsSeen))
            << server.Log().substr(serverMark);
    }
}

TEST_F(TlsUpstreamTest, WithoutVerificationAnyCertificateIsTaken) {
    Settings.TlsVerify = false;
    Settings.TlsCaFile = certificates_->Path("other_ca");
    for (TlsMode mode : {TlsMode::kImplicit, TlsMode::kUpgrade}) {
        std::string greeting;
        Connection upstream;
        ASSERT_EQ(Connect(mode, "localhost",
                          mode == TlsMode::kImplicit ? misnamed_->tlsPort() : misnamed_->port(),
                          upstream, greeting),
                  UpstreamOutcome::kConnected)
            << Log();
        EXPECT_TRUE(StartsWith(greeting, "+OK")) << greeting;
        EXPECT_EQ(Command(upstream, "CAPA").substr(0, 3), "+OK");
        Finish(upstream);
    }
}

// Copies bytes from one blocking socket to the other until the first ends,
// then ends the second.
void Pump(int from, int to) {
    char chunk[16384];
    for (;;) {
        SocketResult got = ReceiveBytes(from, chunk, sizeof chunk);
        if (got.count <= 0) break;
        for (long sent = 0; sent < got.count;) {
            SocketResult put = SendBytes(to, chunk + sent, static_cast<size_t>(got.count - sent));
            if (put.count <= 0) {
                ShutdownSocket(from);
                break;
            }
            sent += put.count;
        }
    }
    ShutdownSocket(to);
}

// A man in the middle answers STLS itself and slips a forged reply in behind
// its consent, then hands the connection over to the real server's TLS port.
// The forged line came in plaintext and must never be read as the server's.
TEST_F(TlsUpstreamTest, PlaintextBehindTheConsentIsNotHandedOut) {
    TestServer front;
    std::thread middle([&] {
        Peer client = front.Accept();
        std::string command;
        if (!client.Send("+OK ready <1.2@middle>\r\n") || !client.ReadLine(command)) return;
        if (!client.Send("+OK Begin TLS negotiation now.\r\n+OK forged\r\n")) return;
        SocketHandle real(OpenTcpSocket());
        if (!ConnectSocket(real.get(), nettest::Loopback(1), server_->tlsPort())) return;
        std::thread back([&] { Pump(real.get(), client.socket()); });
        Pump(client.socket(), real.get());
        back.join();
    });
    std::string greeting;
    Connection upstream;
    const UpstreamOutcome outcome =
        Connect(TlsMode::kUpgrade, "localhost", front.port(), upstream, greeting);
    EXPECT_EQ(greeting, "+OK ready <1.2@middle>");
    ASSERT_EQ(outcome, UpstreamOutcome::kConnected) << Log();
    std::string line;
    upstream.ReceiveLine(line);  // the real server's greeting, over TLS
    EXPECT_TRUE(StartsWith(line, "+OK ")) << line;
    EXPECT_NE(line, "+OK forged");
    EXPECT_TRUE(StartsWith(Command(upstream, "CAPA"), "+OK"));
    Finish(upstream);
    middle.join();
}

// Between us and the real server's TLS port: passes bytes both ways until
// `upstreamOpen` is cleared, then stops taking ours, like a server that
// reads nothing more.
class GatedMiddle {
  public:
    explicit GatedMiddle(int serverPort)
        : thread_([this, serverPort] {
              Peer client = front_.Accept();
              SocketHandle real(OpenTcpSocket());
              if (!client.valid() || !ConnectSocket(real.get(), nettest::Loopback(1), serverPort)) {
                  return;
              }
              std::thread back([&] { Pump(real.get(), client.socket()); });
              char chunk[16384];
              while (!stop_) {
                  if (!upstreamOpen ||
                      WaitReadable(client.socket(), kPollMs) != WaitOutcome::kReady) {
                      SleepMilliseconds(upstreamOpen ? 0 : kPollMs);
                      continue;
                  }
                  SocketResult got = ReceiveBytes(client.socket(), chunk, sizeof chunk);
                  if (got.count <= 0) break;
                  if (SendBytes(real.get(), chunk, static_cast<size_t>(got.count)).count <= 0)
                      break;
              }
              ShutdownSocket(real.get());
              ShutdownSocket(client.socket());
              back.join();
          }) {}
    ~GatedMiddle() {
        stop_ = true;
        thread_.join();
    }
    int port() const { return front_.port(); }

    std::atomic<bool> upstreamOpen{true};

  private:
    static constexpr int kPollMs = 10;
    TestServer front_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(TlsUpstreamTest, SendOverTlsGivesUpWhenTheServerReadsNothing) {
    GatedMiddle middle(server_->tlsPort());
    std::string greeting;
    Connection upstream;
    ASSERT_EQ(Connect(TlsMode::kImplicit, "localhost", middle.port(), upstream, greeting),
              UpstreamOutcome::kConnected)
        << Log();
    ASSERT_TRUE(StartsWith(greeting, "+OK"));
    middle.upstreamOpen = false;
    upstream.SetTimeout(1);
    upstream.SendText(std::string(64 * 1024 * 1024, 'x'));
    EXPECT_TRUE(upstream.LinkFailed());
    EXPECT_TRUE(Logged("Send_Empty", upstream.slot()));
    EXPECT_TRUE(Logged("Send_Socket_Timeout", upstream.slot()));
    Finish(upstream);
}

// The server ends the session and closes: the read sees the end, and sends
// after it fail instead of being offered again without end.
TEST_F(TlsUpstreamTest, ServerClosingEndsReadsAndSends) {
    std::string greeting;
    Connection upstream;
    ASSERT_EQ(Connect(TlsMode::kImplicit, "localhost", server_->tlsPort(), upstream, greeting),
              UpstreamOutcome::kConnected)
        << Log();
    EXPECT_TRUE(StartsWith(Command(upstream, "QUIT"), "+OK"));
    std::string line = "old";
    upstream.ReceiveLine(line);
    EXPECT_EQ(line, "");
    EXPECT_TRUE(upstream.LinkFailed());
    // The server's reset comes back only once bytes have reached its closed
    // socket, and the first sends may all fit into the socket's buffer
    // before: they are offered again, a bounded number of times, until one
    // has met the reset.
    constexpr int kMaxSends = 64;
    for (int send = 0; send < kMaxSends && !Logged("Send_Conn_Reset", upstream.slot()); ++send) {
        upstream.SendText(std::string(256 * 1024, 'x'));
    }
    EXPECT_TRUE(Logged("Send_Conn_Reset", upstream.slot())) << Log();
    EXPECT_TRUE(upstream.Close());
}

// A monotonic clock that stands still: only the watchdog can end the waits.
int64_t FrozenClock() {
    return 43200000;
}

TEST_F(TlsUpstreamTest, WatchdogEndsAWaitingTlsRead) {
    std::atomic<int> slot{0};
    std::atomic<bool> done{false};
    std::string line = "old";
    bool failed = false;
    bool closedByOwner = true;
    std::thread owner([&] {
        std::string greeting;
        Connection own;
        Connect(TlsMode::kImplicit, "localhost", server_->tlsPort(), own, greeting);
        // Frozen only once connected: the handshake measures its time-out too.
        SetMonotonicClockForTesting(FrozenClock);
        own.SetTimeout(3);
        slot = own.open() ? own.slot() : -1;
        // The server says nothing more until asked: this waits.
        own.ReceiveLine(line);
        failed = own.LinkFailed();
        done = true;
        closedByOwner = own.Close();
    });
    ASSERT_TRUE(nettest::WaitUntil([&] { return slot.load() != 0; }));
    ASSERT_GT(slot, 0) << Log();
    bool killed = nettest::WaitUntil([&] {
        WatchdogTick();
        return done.load();
    });
    if (!killed) ShutDownFromOutside(slot);  // lets the owner go when the watchdog failed
    owner.join();
    EXPECT_TRUE(killed);
    EXPECT_EQ(line, "");
    EXPECT_TRUE(failed);
    EXPECT_TRUE(Logged("Socket is dead, perform killing Thread", slot));
    EXPECT_TRUE(Logged("Line_Conn_Abort", slot));
    EXPECT_FALSE(closedByOwner) << "the watchdog closed it already";
}

TEST_F(TlsUpstreamTest, OperatorKillEndsAWaitingTlsReadAndLaterSends) {
    std::atomic<int> slot{0};
    std::atomic<bool> waiting{false};
    std::atomic<bool> ownerMayGo{false};
    std::string line = "old";
    bool failedAfterReceive = false;
    bool closedByOwner = true;
    std::thread owner([&] {
        std::string greeting;
        Connection own;
        Connect(TlsMode::kUpgrade, "localhost", server_->port(), own, greeting);
        slot = own.open() ? own.slot() : -1;
        if (!own.open()) return;
        waiting = true;
        own.ReceiveLine(line);
        failedAfterReceive = own.LinkFailed();
        while (!ownerMayGo) SleepMilliseconds(1);
        own.SendLine("QUIT");
        closedByOwner = own.Close();
    });
    ASSERT_TRUE(nettest::WaitUntil([&] { return waiting.load() || slot.load() < 0; }));
    ASSERT_GT(slot, 0) << Log();
    SleepMilliseconds(20);  // lets the owner block; the result is the same if it has not yet
    EXPECT_TRUE(CloseFromOutside(slot));
    ownerMayGo = true;
    owner.join();
    EXPECT_EQ(line, "");
    EXPECT_TRUE(failedAfterReceive);
    EXPECT_FALSE(closedByOwner);
    EXPECT_TRUE(Logged("Send_No_Socket", slot));
}

}  // namespace
