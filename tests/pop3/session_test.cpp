#include "pop3/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/temp_dir.h"
#include "filter/filter.h"
#include "net/connection.h"
#include "net/listener.h"
#include "net/net_test_support.h"
#include "net/session_table.h"
#include "platform/socket.h"
#include "pop3/mail_judge.h"
#include "pop3/pop3_fake_server.h"

namespace {

using mail_test::FakeMessage;
using mail_test::FakePop3Server;
using mail_test::FakeServerOptions;

constexpr int kTimeoutSeconds = 60;   // idle time-out of both slots
constexpr int kClientWaitMs = 30000;  // a reply that takes longer counts as missing

const char kKillFile[] =
    "--- ALLE\r\n"
    "\"*viagra*\" \xEAs \xAF"
    "DELE\r\n"
    "\"*lottery*\" \xEAn \xAFSKIP\r\n";

std::string Message(const std::string& header, const std::string& body) {
    return header + "\r\n" + body;
}

// Server 1 kept, 2 killed, 3 hidden, 4 kept.
std::vector<FakeMessage> Mailbox() {
    return {
        {Message("From: a@example.org\r\nSubject: first\r\n", "Line one\r\n.dotted\r\nLine 3\r\n"),
         "uid-1"},
        {Message("From: spam@example.com\r\nSubject: cheap viagra\r\nMessage-ID: <v@x>\r\n",
                 "buy\r\n"),
         "uid-2"},
        {Message("From: lottery@spam.example\r\nSubject: you won\r\n", "money\r\n"), "uid-3"},
        {Message("From: b@example.org\r\nSubject: fourth\r\n", "Body four\r\n"), "uid-4"},
    };
}

// The mail program's end of one connection to the session under test, which
// runs in a thread of its own on the slot the connection was accepted into.
class TestClient {
  public:
    TestClient() {
        SocketHandle listener(OpenTcpSocket());
        if (!BindSocket(listener.get(), LoopbackAddress(), 0) || !ListenSocket(listener.get(), 1))
            return;
        int port = LocalPort(listener.get());
        socket_ = SocketHandle(OpenTcpSocket());
        if (!ConnectSocket(socket_.get(), LoopbackAddress(), port)) return;
        IpAddress peer;
        int accepted = AcceptConnection(listener.get(), peer);
        if (accepted < 0) return;
        slot_ = AllocateSlot();
        Connection client = Connection::Accepted(slot_, accepted, peer, port, kTimeoutSeconds);
        thread_ = std::thread(
            [client = std::move(client)]() mutable { RunPop3Session(std::move(client)); });
    }

    ~TestClient() {
        socket_.Reset();
        if (thread_.joinable()) thread_.join();
    }

    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    int slot() const { return slot_; }

    void Send(const std::string& line) {
        std::string bytes = line + "\r\n";
        size_t sent = 0;
        while (sent < bytes.size()) {
            SocketResult result =
                SendBytes(socket_.get(), bytes.data() + sent, bytes.size() - sent);
            if (result.count <= 0) return;
            sent += static_cast<size_t>(result.count);
        }
    }

    // One line without CR LF; "<closed>" when the session closed the
    // connection, "<silent>" when nothing came in time.
    std::string Line() {
        for (;;) {
            size_t feed = pending_.find("\r\n");
            if (feed != std::string::npos) {
                std::string line = pending_.substr(0, feed);
                pending_.erase(0, feed + 2);
                return line;
            }
            if (WaitReadable(socket_.get(), kClientWaitMs) != WaitOutcome::kReady)
                return "<silent>";
            char buffer[4096];
            SocketResult result = ReceiveBytes(socket_.get(), buffer, sizeof buffer);
            if (result.count <= 0) return "<closed>";
            pending_.append(buffer, static_cast<size_t>(result.count));
        }
    }

    std::string Ask(const std::string& line) {
        Send(line);
        return Line();
    }

    // The lines of a multi-line block after its first line, up to ".".
    std::vector<std::string> Block() {
        std::vector<std::string> lines;
        for (std::string line = Line(); line != "." && line[0] != '<'; line = Line()) {
            lines.push_back(line);
        }
        return lines;
    }

    // Bytes of a block as sent, with CR LF, up to (not including) ".".
    std::string BlockBytes() {
        std::string bytes;
        for (const std::string& line : Block()) bytes += line + "\r\n";
        return bytes;
    }

    void Join() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    SocketHandle socket_;
    int slot_ = 0;
    std::string pending_;
    std::thread thread_;
};

std::string Greeting(int slot) {
    return "+OK POP3-Trawlbox v0.25 Server #" + std::to_string(slot);
}

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CloseLog();
        Settings = SettingsRecord{};
        Settings.Pop3Timeout = kTimeoutSeconds;
        Settings.LogFilter = Settings.LogSession = Settings.LogDebug = true;
        ASSERT_TRUE(OpenLog(dir_.path() + "TRAWLBOX.LOG"));
        dir_.Write("KILLFILE.CFG", kKillFile);
        ASSERT_EQ(LoadKillFile(dir_.path() + "KILLFILE.CFG"), 1);
    }
    void TearDown() override {
        ClearKillTable();
        CloseLog();
    }

    void LogIn(TestClient& client, FakePop3Server& server,
               const std::string& expectedReply =
                   "+OK Mailbox scan running to 127.0.0.1 "
                   "successfull") {
        Settings.Pop3PortOutgoing = server.port();
        ASSERT_EQ(client.Line().substr(0, Greeting(client.slot()).size() + 7),
                  Greeting(client.slot()) + " ready,");
        EXPECT_EQ(client.Ask("USER 127.0.0.1#alice"),
                  "+OK More authentication information required");
        EXPECT_EQ(client.Ask("PASS my secret#me@example.org"), expectedReply);
    }

    // The slot of the session's connection to `server`, 0 when there is none.
    static int UpstreamSlot(const FakePop3Server& server) {
        for (int slot = 1; slot <= kSlotCount; ++slot) {
            if (SessionTable[slot].state == SlotState::kUpstream &&
                SessionTable[slot].port == server.port()) {
                return slot;
            }
        }
        return 0;
    }

    std::string Log() { return dir_.Read("TRAWLBOX.LOG"); }

    TempDir dir_;
};

TEST_F(SessionTest, ServesTheCleanedMailboxRenumberedWithTheReportLast) {
    std::vector<FakeMessage> mailbox = Mailbox();
    FakePop3Server server(mailbox);
    TestClient client;
    LogIn(client, server);

    const int64_t size1 = static_cast<int64_t>(mailbox[0].text.size());
    const int64_t size4 = static_cast<int64_t>(mailbox[3].text.size());
    int64_t serverOctets = 0;
    for (const FakeMessage& message : mailbox) serverOctets += message.text.size();

    EXPECT_EQ(client.Ask("LIST"), "+OK 3 messages follows");
    std::vector<std::string> listing = client.Block();
    // The page and the console name the login and what the session does.
    const SessionLogin login = SlotLogin(client.slot());
    EXPECT_EQ(login.server, "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(login.account, "alice");
    EXPECT_EQ(login.activity, SessionActivity::kServing);
    ASSERT_EQ(listing.size(), 3u);
    EXPECT_EQ(listing[0], "1 " + std::to_string(size1));
    EXPECT_EQ(listing[1], "2 " + std::to_string(size4));
    const int64_t reportSize = LeadingNumber(Field(listing[2], 1));
    const int64_t remaining = size1 + size4 + reportSize;
    EXPECT_EQ(client.Ask("STAT"), "+OK 3 " + std::to_string(remaining));
    EXPECT_EQ(client.Ask("STATALL"), "+OK 5 " + std::to_string(serverOctets));
    EXPECT_EQ(client.Ask("RSET"),
              "+OK alice has 5 messages (" + std::to_string(remaining) + " octets)");

    // RETR 2 is the server's message 4, relayed as it comes.
    EXPECT_EQ(client.Ask("RETR 2"), "+OK " + std::to_string(size4) + " octets");
    EXPECT_EQ(client.BlockBytes(), mailbox[3].text);
    EXPECT_EQ(client.Ask("RETR 1"), "+OK " + std::to_string(size1) + " octets");
    EXPECT_EQ(client.BlockBytes(),
              "From: a@example.org\r\nSubject: first\r\n\r\nLine one\r\n"
              "..dotted\r\nLine 3\r\n");

    // The report: announced with the octets it takes, uid the CRC of its LF text.
    EXPECT_EQ(client.Ask("RETR 3"),
              "+OK " + std::to_string(reportSize) + " octets (internal spam-message)");
    std::string report = client.BlockBytes();
    EXPECT_EQ(static_cast<int64_t>(report.size()), reportSize);
    EXPECT_EQ(report.substr(0, 26), "To: killreport@localhost\r\n");
    EXPECT_NE(report.find("\r\nSubject    : cheap viagra\r\n"), std::string::npos);
    EXPECT_EQ(report.find("you won"), std::string::npos);
    std::string lfText;
    for (char c : report) {
        if (c != '\r') lfText += c;
    }
    EXPECT_EQ(client.Ask("UIDL"), "+OK 3 uidl follows");
    EXPECT_EQ(client.Block(),
              (std::vector<std::string>{"1 uid-1", "2 uid-4", "3 " + ComputeReportUid(lfText)}));

    // TOP on the report: its header and the empty line after it.
    EXPECT_EQ(client.Ask("TOP 3 0"),
              "+OK " + std::to_string(reportSize) + " octets (internal spam-message)");
    std::string top = client.BlockBytes();
    EXPECT_EQ(top, report.substr(0, report.find("\r\n\r\n") + 4));
    EXPECT_EQ(client.Ask("UIDL 3"), "+OK 3 " + ComputeReportUid(lfText));
    EXPECT_EQ(client.Ask("LIST 2"), "+OK 2 " + std::to_string(size4));

    std::vector<std::string> commands = server.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "RETR 4"), commands.end());
    EXPECT_NE(std::find(commands.begin(), commands.end(), "PASS my secret"), commands.end());

    EXPECT_EQ(client.Ask("quit"), Greeting(client.slot()) + ", good bye spam");
    EXPECT_EQ(client.Line(), "<closed>");
    client.Join();
    EXPECT_EQ(server.Expunged(), (std::set<int>{2}));
    EXPECT_EQ(server.Quits(), 1);
    EXPECT_EQ(SessionTable[client.slot()].state, SlotState::kFree);
    EXPECT_NE(Log().find(": 3 Messages with " + std::to_string(remaining) + " (Bytes)"),
              std::string::npos);
}

TEST_F(SessionTest, DeletionsLeaveGapsAndAreCarriedOutAtQuit) {
    std::vector<FakeMessage> mailbox = Mailbox();
    FakePop3Server server(mailbox);
    TestClient client;
    LogIn(client, server);
    const std::string size1 = std::to_string(mailbox[0].text.size());

    EXPECT_EQ(client.Ask("DELE 2"), "+OK message 2 deleted");
    EXPECT_EQ(client.Ask("LIST"), "+OK 2 messages follows");
    std::vector<std::string> listing = client.Block();
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(listing[0], "1 " + size1);
    EXPECT_EQ(listing[1].substr(0, 2), "3 ");
    const int64_t reportSize = LeadingNumber(Field(listing[1], 1));

    const size_t commandsBefore = server.Commands().size();
    const struct {
        const char* command;
        const char* reply;
    } refusals[] = {
        {"LIST 2", "-ERR no such message"},
        {"RETR 2", "-ERR no such message"},
        {"DELE 2", "-ERR no such message"},
        {"UIDL 2", "-ERR no such message"},
        {"RETR 0", "-ERR no such message"},
        {"RETR 4", "-ERR no such message"},
        {"RETR -1", "-ERR no such message"},
        {"LIST x", "-ERR no such message"},
        {"TOP 0", "-ERR no such message Arg"},
        {"TOP 9 1", "-ERR no such message Arg"},
        {"RETR", "-ERR unknown command"},
        {"TOP", "-ERR unknown command"},
        {"DELE", "-ERR unknown command"},
        {"USER x", "-ERR unknown command"},
        {"PASS y", "-ERR unknown command"},
        {"", "-ERR unknown command"},
        {"noop", "+OK"},
    };
    for (const auto& r : refusals) EXPECT_EQ(client.Ask(r.command), r.reply) << r.command;
    EXPECT_EQ(server.Commands().size(), commandsBefore);  // none of them went upstream

    EXPECT_EQ(client.Ask("DELE 3"), "+OK internal spam-message deleted");
    EXPECT_EQ(client.Ask("STAT"), "+OK 1 " + size1);
    // RSET takes the client's deletions back (the report's too), but not
    // the scan's kill, whose DELE is sent again after the server's RSET.
    const std::string all =
        std::to_string(LeadingNumber(size1) + int64_t(mailbox[3].text.size()) + reportSize);
    EXPECT_EQ(client.Ask("RSET"), "+OK alice has 5 messages (" + all + " octets)");
    EXPECT_EQ(client.Ask("STAT"), "+OK 3 " + all);
    EXPECT_EQ(client.Ask("DELE 2"), "+OK message 2 deleted");
    EXPECT_GT(reportSize, 0);

    EXPECT_EQ(client.Ask("HELP"), "+OK implemented Trawlbox commands follow:");
    std::vector<std::string> help = client.Block();
    ASSERT_EQ(help.size(), 12u);
    EXPECT_EQ(help[0], "    capa");
    EXPECT_EQ(help[4], "    pass Pasword");

    EXPECT_EQ(client.Ask("QUIT"), Greeting(client.slot()) + ", good bye spam");
    client.Join();
    EXPECT_EQ(server.Expunged(), (std::set<int>{2, 4}));
}

// After login the list is the proxy's own plus the server's limits on
// keeping and polling, which hold for the client too; what the server offers
// only on its own leg (SASL, STLS) stays there.
TEST_F(SessionTest, CapaAfterLoginPassesOnlyTheServersLimits) {
    FakeServerOptions options;
    options.capabilities = {"TOP", "SASL PLAIN", "STLS", "EXPIRE 30", "login-delay 900"};
    FakePop3Server server(Mailbox(), options);
    TestClient client;
    LogIn(client, server);
    EXPECT_EQ(client.Ask("CAPA"), "+OK Capability list follows");
    EXPECT_EQ(client.Block(),
              (std::vector<std::string>{"TOP", "UIDL", "USER", "RESP-CODES", "PIPELINING",
                                        "IMPLEMENTATION Trawlbox-v0.25", "EXPIRE 30",
                                        "login-delay 900"}));
    client.Ask("QUIT");
    client.Join();
}

TEST_F(SessionTest, TopPassesTheClientsLineCountOn) {
    std::vector<FakeMessage> mailbox = Mailbox();
    FakePop3Server server(mailbox);
    TestClient client;
    LogIn(client, server);
    EXPECT_EQ(client.Ask("TOP 1 1"), "+OK " + std::to_string(mailbox[0].text.size()) + " octets");
    EXPECT_EQ(client.BlockBytes(), "From: a@example.org\r\nSubject: first\r\n\r\nLine one\r\n");
    EXPECT_EQ(client.Ask("TOP 1"), "+OK " + std::to_string(mailbox[0].text.size()) + " octets");
    EXPECT_EQ(client.BlockBytes(), "From: a@example.org\r\nSubject: first\r\n\r\n");
    std::vector<std::string> commands = server.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "TOP 1 1"), commands.end());

    // The report: its header, the empty line, then its first two body lines.
    EXPECT_EQ(client.Ask("TOP 3 2").substr(0, 4), "+OK ");
    std::string top = client.BlockBytes();
    EXPECT_EQ(top.substr(top.find("Content-Transfer-Encoding")),
              "Content-Transfer-Encoding: 8bit\r\n\r\n\r\n"
              "The following message(s) has been killed directly on the Pop3-Server:\r\n");
    client.Ask("QUIT");
}

TEST_F(SessionTest, FailedScanEndsTheSessionAfterItsReply) {
    FakeServerOptions options;
    options.refuseUidl = true;
    FakePop3Server server(Mailbox(), options);
    TestClient client;
    LogIn(client, server, "-ERR external Mailbox scan");
    EXPECT_EQ(client.Line(), Greeting(client.slot()) + ", good bye spam");
    EXPECT_EQ(client.Line(), "<closed>");
    client.Join();
    EXPECT_EQ(server.Quits(), 1);
    EXPECT_EQ(SessionTable[client.slot()].state, SlotState::kFree);
}

TEST_F(SessionTest, ConnectionsStayAliveWhileTheOtherSideIsBusy) {
    // The scan keeps the waiting client's countdown up: it is lowered to 1
    // (as the watchdog would) while message 1 is fetched, and found reset
    // when message 2 is.
    std::atomic<int> clientSlot{0};
    std::atomic<int> countdownAtSecondTop{-1};
    FakeServerOptions options;
    options.onCommand = [&](const std::string& command) {
        if (command == "TOP 1 0") SessionTable[clientSlot].countdown = 1;
        if (command == "TOP 2 0") countdownAtSecondTop = SessionTable[clientSlot].countdown.load();
    };
    FakePop3Server server(Mailbox(), options);
    TestClient client;
    clientSlot = client.slot();
    LogIn(client, server);
    EXPECT_EQ(countdownAtSecondTop, kTimeoutSeconds);

    // Commands answered locally keep the silent upstream connection alive.
    int upstream = UpstreamSlot(server);
    ASSERT_GT(upstream, 0);
    SessionTable[upstream].countdown = 1;
    EXPECT_EQ(client.Ask("STAT").substr(0, 6), "+OK 3 ");
    EXPECT_EQ(SessionTable[upstream].countdown, kTimeoutSeconds);
    client.Ask("QUIT");
}

TEST_F(SessionTest, AnIdleClientsServerSessionIsKeptAliveWithNoop) {
    SetUpstreamNoopIntervalForTesting(100);
    FakePop3Server server(Mailbox());
    TestClient client;
    LogIn(client, server);
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    // The NOOPs' answers were taken: the next command gets its own answer.
    EXPECT_EQ(client.Ask("STAT").substr(0, 6), "+OK 3 ");
    EXPECT_EQ(client.Ask("DELE 1"), "+OK message 1 deleted");
    EXPECT_EQ(client.Ask("QUIT"), Greeting(client.slot()) + ", good bye spam");
    client.Join();
    SetUpstreamNoopIntervalForTesting(0);
    std::vector<std::string> commands = server.Commands();
    EXPECT_GE(std::count(commands.begin(), commands.end(), "NOOP"), 2);
    EXPECT_EQ(server.Expunged(), (std::set<int>{1, 2}));
}

TEST_F(SessionTest, EmptyMailbox) {
    FakePop3Server server({});
    TestClient client;
    LogIn(client, server);
    EXPECT_EQ(client.Ask("STAT"), "+OK 0 0");
    EXPECT_EQ(client.Ask("LIST"), "+OK 0 messages follows");
    EXPECT_TRUE(client.Block().empty());
    client.Ask("QUIT");
    client.Join();
    EXPECT_NE(Log().find(": 0 Messages with 0 (Bytes)"), std::string::npos);
}

// The listener serves POP3 by the description this folder gives it.
class Pop3ListenerTest : public nettest::NetTest {};

TEST_F(Pop3ListenerTest, GreetsAdmittedClientsAndRefusesOthersInItsOwnWords) {
    Settings.Pop3Timeout = 61;
    nettest::AllowOnly(dir_, "127.0.0.1\n");
    Listener listener(kPop3ListenerDescription);
    const int port = nettest::StartListening(listener);
    ASSERT_NE(port, 0);
    EXPECT_EQ(nettest::WholeReply(port, 2), "-ERR permission denied, closing connection ...\r\n");

    nettest::Peer client = nettest::Peer::Connect(port);
    std::string line;
    ASSERT_TRUE(client.ReadLine(line));
    EXPECT_EQ(line, Greeting(1) + " ready, log in as USER [method:]host#account\r\n");
    EXPECT_EQ(SessionTable[1].timeoutSeconds, 61);
    ASSERT_TRUE(client.Send("QUIT\r\n"));
    std::string all;
    EXPECT_TRUE(client.ReadToEnd(all));
    EXPECT_EQ(all, Greeting(1) + ", good bye spam\r\n");
    listener.Stop();

    EXPECT_TRUE(Logged("Pop3-Listen at Port" + NumberText(port)));
    EXPECT_TRUE(Logged("Denied Pop3-connection from '127.0.0.2'  Port:" + NumberText(port), 1));
    EXPECT_TRUE(Logged("Incoming Pop3-connection from '127.0.0.1'  Port:" + NumberText(port), 1));
}

TEST(SessionArguments, UserAndPassNameServerAccountMethodAndEnvelope) {
    Pop3Session session;
    std::string unknown;
    EXPECT_TRUE(TakeUserArgument(session, "pop.example.org#alice", unknown));
    EXPECT_EQ(session.host, "pop.example.org");
    EXPECT_EQ(session.account, "alice");
    EXPECT_EQ(session.method, "");
    EXPECT_TRUE(TakeUserArgument(session, "apop:mail.example.org#bob#ignored", unknown));
    EXPECT_EQ(session.method, "apop");
    EXPECT_EQ(session.host, "mail.example.org");
    EXPECT_EQ(session.account, "bob");
    // keeps the method, no account
    EXPECT_TRUE(TakeUserArgument(session, "other.example.org", unknown));
    EXPECT_EQ(session.method, "apop");
    EXPECT_EQ(session.host, "other.example.org");
    EXPECT_EQ(session.account, "");
    EXPECT_TRUE(session.userSeen);
    // IPv6 literals in brackets and ports after the host, with and without
    // a method; a port is no method ("127.0.0.1:12110" once read as method
    // "127.0.0.1" and host "12110").
    const struct {
        const char* argument;
        const char* method;
        const char* host;
        int port;
        const char* account;
    } literals[] = {
        {"[2001:db8::1]#account", "apop", "[2001:db8::1]", 0, "account"},
        {"plain:[::1]#alice", "plain", "[::1]", 0, "alice"},
        {"[::ffff:192.0.2.1]#bob#x", "plain", "[::ffff:192.0.2.1]", 0, "bob"},
        {"login:192.0.2.1#carol", "login", "192.0.2.1", 0, "carol"},
        {"127.0.0.1:12110#alice", "login", "127.0.0.1", 12110, "alice"},
        {"apop:pop.example.org:995#bob", "apop", "pop.example.org", 995, "bob"},
        {"[::1]:1110#dave", "apop", "[::1]", 1110, "dave"},
        {"cram-md5:[2001:db8::1]:65535#eve", "cram-md5", "[2001:db8::1]", 65535, "eve"},
        {"pop.example.org#frank", "cram-md5", "pop.example.org", 0, "frank"},
    };
    for (const auto& c : literals) {
        EXPECT_TRUE(TakeUserArgument(session, c.argument, unknown)) << c.argument;
        EXPECT_EQ(session.method, c.method) << c.argument;
        EXPECT_EQ(session.host, c.host) << c.argument;
        EXPECT_EQ(session.port, c.port) << c.argument;
        EXPECT_EQ(session.account, c.account) << c.argument;
    }
    // An unknown method leaves the session as it was; a text after the host
    // that is no port (0, above 65535, not digits) makes its front a method.
    const struct {
        const char* argument;
        const char* method;
    } unknownMethods[] = {
        {"bogus:pop.example.org#alice", "bogus"},
        {"pop.example.org:99999#alice", "pop.example.org"},
        {"pop.example.org:0#alice", "pop.example.org"},
        {"x:y:z#alice", "x"},
    };
    for (const auto& c : unknownMethods) {
        session.userSeen = false;
        EXPECT_FALSE(TakeUserArgument(session, c.argument, unknown)) << c.argument;
        EXPECT_EQ(unknown, c.method) << c.argument;
        EXPECT_FALSE(session.userSeen) << c.argument;
        EXPECT_EQ(session.host, "pop.example.org") << c.argument;
    }

    const struct {
        const char* argument;
        const char* password;
        std::string_view envelope;
    } cases[] = {
        {"secret", "secret", kDefaultEnvelope},
        {"two words#me@example.org", "two words", "me@example.org"},
        {"pw#me@example.org#ignored", "pw", "me@example.org"},
        {"pw##x", "pw", kDefaultEnvelope},
        {"", "", kDefaultEnvelope},
    };
    for (const auto& c : cases) {
        TakePassArgument(session, c.argument);
        EXPECT_EQ(session.password, c.password) << c.argument;
        EXPECT_EQ(session.envelope, c.envelope) << c.argument;
    }
}

TEST(SessionArguments, ApopStampIsTheFirstAngleBracketPair) {
    EXPECT_EQ(ApopStamp("+OK ready <1896.697170952@dbc.mtview.ca.us> x"),
              "<1896.697170952@dbc.mtview.ca.us>");
    EXPECT_EQ(ApopStamp("+OK ready"), "");
    EXPECT_EQ(ApopStamp("+OK <unclosed"), "");
    EXPECT_EQ(ApopStamp("+OK a > b <c> <d>"), "<c>");
}

}  // namespace
