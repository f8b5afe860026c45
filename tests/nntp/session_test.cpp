#include "nntp/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "codec/base64.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/listener.h"
#include "net/session_table.h"
#include "news_test_support.h"

namespace {

using newstest::FakeNewsServer;
using newstest::FakeReply;
using newstest::KillFileScope;
using newstest::OverviewLine;
using newstest::ReaderConnection;

constexpr int kTimeoutSeconds = 60;

// A reader connected to a session that runs in a thread of its own.
class SessionUnderTest {
  public:
    SessionUnderTest() : reader_(kTimeoutSeconds) {
        thread_ = std::thread([this] { RunNntpSession(std::move(reader_.connection())); });
    }
    ~SessionUnderTest() {
        reader_.peer().Close();
        if (thread_.joinable()) thread_.join();
    }
    ReaderConnection& reader() { return reader_; }
    int slot() const { return reader_.slot(); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    ReaderConnection reader_;
    std::thread thread_;
};

std::string Goodbye(int slot) {
    return "205 NNTP-Trawlbox v0.25 Server #" + std::to_string(slot) + ", good bye spam";
}

// A server that asks for a password for "joe", accepts "secret word", and
// answers every other command with what `replies` gives for its first word.
FakeReply ServerScript(const std::string& line,
                       const std::vector<std::pair<std::string, FakeReply>>& replies) {
    if (line == "AUTHINFO USER joe") return {"381 PASS required\r\n"};
    if (StartsWith(line, "AUTHINFO PASS")) {
        return {line == "AUTHINFO PASS secret word" ? "281 Ok\r\n"
                                                    : "481 Authentication failed\r\n"};
    }
    if (line == "QUIT") return {"205 bye\r\n"};
    for (const auto& [command, reply] : replies) {
        if (StartsWith(line, command)) return reply;
    }
    return {"500 What?\r\n"};
}

class NntpSessionTest : public nettest::NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        Settings.NntpTimeout = kTimeoutSeconds;
    }

    void StartServer(std::vector<std::pair<std::string, FakeReply>> replies = {},
                     std::string greeting = "200 fake news ready",
                     const IpAddress& address = LoopbackAddress()) {
        server_ = std::make_unique<FakeNewsServer>(
            [replies](const std::string& line) { return ServerScript(line, replies); },
            std::move(greeting), address);
        Settings.NntpPortOutgoing = server_->port();
    }

    // Greeting, then a login as host#joe with the right password.
    void LogIn(SessionUnderTest& session, const std::string& user = "127.0.0.1#joe") {
        ReaderConnection& reader = session.reader();
        ASSERT_EQ(reader.Line(), "200 NNTP-Trawlbox v0.25 Server #" +
                                     std::to_string(session.slot()) +
                                     " ready, log in as AUTHINFO USER host#user");
        ASSERT_EQ(reader.Ask("authinfo user " + user),
                  "381 More authentication information required");
        ASSERT_EQ(reader.Ask("authinfo pass secret word#not part of it"),
                  "281 Authenticaion accepted from 127.0.0.1");
    }

    void TearDown() override {
        server_.reset();
        NetTest::TearDown();
    }

    std::unique_ptr<FakeNewsServer> server_;
};

TEST_F(NntpSessionTest, BeforeLoginOnlyLoginCommandsAreServed) {
    StartServer();
    SessionUnderTest session;
    ReaderConnection& reader = session.reader();
    reader.Line();
    const std::pair<const char*, const char*> cases[] = {
        {"LIST", "480 Authentication required"},
        {"MODE READER", "480 Authentication required"},
        {"AUTHINFO PASS early", "381 more authentication information required"},
        {"AUTHINFO", "480 Authentication required"},
        {"", "480 Authentication required"},
        {"capabilities", "101 Capability list:"},
    };
    for (const auto& [line, reply] : cases) EXPECT_EQ(reader.Ask(line), reply) << line;
    EXPECT_EQ(reader.Block(), (std::vector<std::string>{"VERSION 2", "AUTHINFO USER", "."}));
    EXPECT_EQ(reader.Ask("quit"), Goodbye(session.slot()));
    EXPECT_EQ(reader.Line(), "<closed>");
    session.Join();
    EXPECT_EQ(server_->connections(), 0);
}

TEST_F(NntpSessionTest, HostOnlyLoginSendsNoAuthinfo) {
    StartServer({{"DATE", {"111 20240101000000\r\n"}}});
    SessionUnderTest session;
    LogIn(session, "127.0.0.1");
    EXPECT_EQ(session.reader().Ask("DATE"), "111 20240101000000");
    EXPECT_EQ(session.reader().Ask("QUIT"), Goodbye(session.slot()));
    session.Join();
    // The reader's QUIT, then the one the session's end always sends.
    EXPECT_TRUE(server_->WaitForLines(3));
    EXPECT_EQ(server_->Lines(), (std::vector<std::string>{"DATE", "QUIT", "QUIT"}));
    EXPECT_TRUE(Logged("NNTP Connection established", 2)) << Log();
}

// The user goes to the server; the password keeps its space and loses what
// follows "#".
TEST_F(NntpSessionTest, HostAndUserLoginLogsInUpstream) {
    StartServer();
    SessionUnderTest session;
    LogIn(session);
    // The page and the console name the login, and the server's connection
    // belongs to this session's row.
    const SessionLogin login = SlotLogin(session.slot());
    EXPECT_EQ(login.server, "127.0.0.1:" + std::to_string(server_->port()));
    EXPECT_EQ(login.account, "joe");
    EXPECT_EQ(SessionTable[2].clientSlot.load(), session.slot());
    EXPECT_EQ(session.reader().Ask("QUIT"), Goodbye(session.slot()));
    session.Join();
    EXPECT_TRUE(server_->WaitForLines(4));
    EXPECT_EQ(server_->Lines(),
              (std::vector<std::string>{"AUTHINFO USER joe", "AUTHINFO PASS secret word", "QUIT",
                                        "QUIT"}));
    EXPECT_TRUE(Logged("Bridge from #1 to #2", session.slot())) << Log();
}

// A login method before the host makes the login upstream AUTHINFO SASL;
// the reader sees the same replies as with USER/PASS.
TEST_F(NntpSessionTest, MethodInTheLoginLogsInWithSasl) {
    const std::string plain = Base64Encode(std::string("\0joe\0secret word", 16));
    StartServer({{"AUTHINFO SASL PLAIN", {"383 =\r\n"}}, {plain, {"281 Ok\r\n"}}});
    SessionUnderTest session;
    LogIn(session, "plain:127.0.0.1#joe");
    EXPECT_EQ(session.reader().Ask("QUIT"), Goodbye(session.slot()));
    session.Join();
    EXPECT_TRUE(server_->WaitForLines(4));
    EXPECT_EQ(server_->Lines(),
              (std::vector<std::string>{"AUTHINFO SASL PLAIN", plain, "QUIT", "QUIT"}));
    EXPECT_TRUE(Logged("NNTP Connection established", 2)) << Log();
}

TEST_F(NntpSessionTest, Ipv6ServerNamedInBrackets) {
    if (!nettest::Ipv6Available()) GTEST_SKIP() << "no IPv6 on this machine";
    StartServer({}, "200 fake news ready", nettest::Ipv6Loopback());
    SessionUnderTest session;
    ReaderConnection& reader = session.reader();
    reader.Line();
    ASSERT_EQ(reader.Ask("AUTHINFO USER [::1]#joe"),
              "381 More authentication information required");
    ASSERT_EQ(reader.Ask("AUTHINFO PASS secret word"), "281 Authenticaion accepted from [::1]");
    EXPECT_EQ(reader.Ask("QUIT"), Goodbye(session.slot()));
    session.Join();
    EXPECT_TRUE(server_->WaitForLines(2));
    EXPECT_EQ(server_->Lines()[0], "AUTHINFO USER joe");
    EXPECT_TRUE(Logged("Outgoing connection to '[::1]'  Port:" + NumberText(server_->port()), 2))
        << Log();
}

TEST_F(NntpSessionTest, FailedLoginsEndWithRefusalThenGoodbye) {
    struct Case {
        const char* name;
        std::string greeting;
        std::string user;
        std::string password;
        bool serverRuns;
        std::string refusal;
    };
    const Case cases[] = {
        {"wrong password", "200 ok", "127.0.0.1#joe", "wrong", true, "481 Authentication failed"},
        {"unknown user", "200 ok", "127.0.0.1#ann", "x", true, "500 What?"},
        {"server refuses service", "502 no access", "127.0.0.1", "x", true, "502 no access"},
        {"nothing listens", "", "127.0.0.1#joe", "x", false, "502 127.0.0.1 not found/ready"},
    };
    for (const Case& c : cases) {
        if (c.serverRuns) {
            StartServer({}, c.greeting);
        } else {
            // A port that was free a moment ago: the connect is refused.
            SocketHandle probe(OpenTcpSocket());
            BindSocket(probe.get(), LoopbackAddress(), 0);
            Settings.NntpPortOutgoing = LocalPort(probe.get());
        }
        SessionUnderTest session;
        ReaderConnection& reader = session.reader();
        reader.Line();
        EXPECT_EQ(reader.Ask("AUTHINFO USER " + c.user),
                  "381 More authentication information required");
        EXPECT_EQ(reader.Ask("AUTHINFO PASS " + c.password), c.refusal) << c.name;
        EXPECT_EQ(reader.Line(), Goodbye(session.slot())) << c.name;
        EXPECT_EQ(reader.Line(), "<closed>") << c.name;
        session.Join();
        server_.reset();
    }
    EXPECT_TRUE(Logged("481 Authentication failed", 2)) << Log();
    EXPECT_TRUE(Logged("No permission", 2)) << Log();
}

// Every command of the bridged phase: what the reader sees and what reaches
// the server. Each case is followed by DATE, whose answer shows that the
// case's reply was complete and the server's replies are still in step.
TEST_F(NntpSessionTest, CommandTableRelaysByCommandAndCode) {
    struct Case {
        std::string line;
        std::string serverReply;  // "" when the command must not reach the server
        std::vector<std::string> seen;
    };
    const std::vector<Case> cases = {
        {"authinfo user x", "", {"381 ignored"}},
        {"AUTHINFO pass y", "", {"281 ignored"}},
        {"AUTHINFO SASL PLAIN", "", {"500 command not (yet) implemented"}},
        {"IHAVE <a@b>", "", {"500 command not (yet) implemented"}},
        {"XGTITLE", "", {"500 command not (yet) implemented"}},
        {"", "", {}},
        {"stat 1", "223 1 <a@b>\r\n", {"223 1 <a@b>"}},
        {"NEXT", "223 2 <c@d>\r\n", {"223 2 <c@d>"}},
        {"LAST", "422 No previous article\r\n", {"422 No previous article"}},
        {"MODE READER", "200 Posting allowed\r\n", {"200 Posting allowed"}},
        {"ARTICLE 9", "423 No such article\r\n", {"423 No such article"}},
        {"article 1",
         "220 1 <a@b>\r\nSubject: x\r\n\r\n..dotted\r\nbody\r\n.\r\n",
         {"220 1 <a@b>", "Subject: x", "", "..dotted", "body", "."}},
        {"HEAD 1", "221 1 <a@b>\r\nSubject: x\r\n.\r\n", {"221 1 <a@b>", "Subject: x", "."}},
        {"BODY 1", "222 1 <a@b>\r\nbody\r\n.\r\n", {"222 1 <a@b>", "body", "."}},
        {"HELP", "100 Help text follows\r\nhelp\r\n.\r\n", {"100 Help text follows", "help", "."}},
        {"LIST OVERVIEW.FMT",
         "215 Order of fields\r\nSubject:\r\nFrom:\r\n.\r\n",
         {"215 Order of fields", "Subject:", "From:", "."}},
        {"LIST ACTIVE de.*",
         "215 list\r\nde.test 3 1 y\r\n.\r\n",
         {"215 list", "de.test 3 1 y", "."}},
        {"NEWGROUPS 20240101 000000", "231 list\r\n.\r\n", {"231 list", "."}},
        {"XHDR Subject 1-2",
         "221 Subject\r\n1 a\r\n2 b\r\n.\r\n",
         {"221 Subject", "1 a", "2 b", "."}},
        {"XPAT Subject 1-2 *a*", "221 Subject\r\n1 a\r\n.\r\n", {"221 Subject", "1 a", "."}},
        {"HDR Subject 1-2",
         "225 Headers follow\r\n1 a\r\n2 b\r\n.\r\n",
         {"225 Headers follow", "1 a", "2 b", "."}},
        {"HDR Subject", "412 No newsgroup selected\r\n", {"412 No newsgroup selected"}},
        {"NEWNEWS * 20240101 000000", "230 list\r\n<a@b>\r\n.\r\n", {"230 list", "<a@b>", "."}},
        {"CAPABILITIES",
         "101 Capability list:\r\nVERSION 2\r\nREADER\r\nSTARTTLS\r\nOVER\r\n"
         "AUTHINFO USER\r\nCOMPRESS DEFLATE\r\nLIST ACTIVE NEWSGROUPS\r\n.\r\n",
         {"101 Capability list:", "VERSION 2", "READER", "OVER", "LIST ACTIVE NEWSGROUPS", "."}},
    };
    std::vector<std::pair<std::string, FakeReply>> replies = {{"DATE", {"111 20240101000000\r\n"}}};
    for (const Case& c : cases) {
        if (!c.serverReply.empty()) replies.push_back({c.line, {c.serverReply}});
    }
    StartServer(replies);
    SessionUnderTest session;
    LogIn(session);
    ReaderConnection& reader = session.reader();
    size_t serverLines = 2;  // the login
    for (const Case& c : cases) {
        reader.Send(c.line);
        for (const std::string& line : c.seen) EXPECT_EQ(reader.Line(), line) << c.line;
        EXPECT_EQ(reader.Ask("DATE"), "111 20240101000000") << c.line;
        serverLines += c.serverReply.empty() ? 1 : 2;
        ASSERT_TRUE(server_->WaitForLines(serverLines)) << c.line;
        std::vector<std::string> lines = server_->Lines();
        ASSERT_EQ(lines.size(), serverLines) << c.line;
        EXPECT_EQ(lines.back(), "DATE");
        if (!c.serverReply.empty()) {
            EXPECT_EQ(lines[serverLines - 2], c.line);
        }
    }
}

TEST_F(NntpSessionTest, PostRelaysArticleAndFinalReply) {
    FakeReply post{"340 Send article\r\n"};
    post.readArticle = true;
    post.afterArticle = "240 Article received\r\n";
    StartServer({{"POST", post}});
    SessionUnderTest session;
    LogIn(session);
    ReaderConnection& reader = session.reader();
    EXPECT_EQ(reader.Ask("POST"), "340 Send article");
    reader.Send("Subject: hi\r\nNewsgroups: de.test\r\n\r\n..dotted\r\nbody\r\n.");
    EXPECT_EQ(reader.Line(), "240 Article received");
    std::vector<std::string> lines = server_->Lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
              (std::vector<std::string>{"POST", "Subject: hi", "Newsgroups: de.test", "",
                                        "..dotted", "body", "."}));
}

// The current group, taken from the fifth word of a 211 reply to GROUP or
// LISTGROUP, chooses the kill file's sections for XOVER and OVER.
TEST_F(NntpSessionTest, CurrentGroupChoosesFilterFolder) {
    KillFileScope kill(dir_, "--- /DE/TEST\r\n\"*spam*\" \xEAs \xAFSKIP\r\n");
    ASSERT_TRUE(kill.loaded());
    const std::string ham = OverviewLine("1", "ham", "a@b", "<1@b>");
    const std::string spam = OverviewLine("2", "spam", "a@b", "<2@b>");
    const std::string list = "224 follows\r\n" + ham + "\r\n" + spam + "\r\n.\r\n";
    StartServer({
        {"group de.test", {"211 2 1 2 de.test\r\n"}},
        {"GROUP local.test", {"211 2 1 2 local.test\r\n"}},
        {"GROUP nowhere", {"411 No such group\r\n"}},
        {"LISTGROUP de.test", {"211 2 1 2 de.test list follows\r\n1\r\n2\r\n.\r\n"}},
        {"XOVER", {list}},
        {"OVER", {list}},
    });
    SessionUnderTest session;
    LogIn(session);
    ReaderConnection& reader = session.reader();
    const std::vector<std::string> whole = {"224 follows", ham, spam, "."};
    const std::vector<std::string> filtered = {"224 follows", ham, "."};

    reader.Send("XOVER 1-2");  // no group yet: folder "/"
    EXPECT_EQ(reader.Block(), whole);
    EXPECT_EQ(reader.Ask("group de.test"), "211 2 1 2 de.test");
    reader.Send("XOVER 1-2");
    EXPECT_EQ(reader.Block(), filtered);
    EXPECT_EQ(reader.Ask("GROUP nowhere"), "411 No such group");
    reader.Send("OVER 1-2");  // a refused GROUP keeps the group
    EXPECT_EQ(reader.Block(), filtered);
    EXPECT_EQ(reader.Ask("GROUP local.test"), "211 2 1 2 local.test");
    reader.Send("OVER 1-2");
    EXPECT_EQ(reader.Block(), whole);
    reader.Send("LISTGROUP de.test");
    EXPECT_EQ(reader.Block(),
              (std::vector<std::string>{"211 2 1 2 de.test list follows", "1", "2", "."}));
    reader.Send("XOVER 1-2");
    EXPECT_EQ(reader.Block(), filtered);
}

// The server hangs up instead of answering: the reader gets the good-bye,
// not an empty line.
TEST_F(NntpSessionTest, LostServerEndsSessionWithGoodbye) {
    FakeReply hangUp{""};
    hangUp.hangUp = true;
    StartServer({{"GROUP", hangUp}});
    SessionUnderTest session;
    LogIn(session);
    EXPECT_EQ(session.reader().Ask("GROUP de.test"), Goodbye(session.slot()));
    EXPECT_EQ(session.reader().Line(), "<closed>");
    session.Join();
    EXPECT_TRUE(Logged("Nntp-Connection lost ...", 2)) << Log();
}

TEST_F(NntpSessionTest, LostReaderQuitsServer) {
    StartServer();
    SessionUnderTest session;
    LogIn(session);
    session.reader().peer().Close();
    session.Join();
    EXPECT_TRUE(server_->WaitForLines(3));
    EXPECT_EQ(server_->Lines().back(), "QUIT");
    EXPECT_TRUE(Logged("Socket #1 closed by remote host!", session.slot())) << Log();
    EXPECT_TRUE(Logged("Nntp-Connection lost ...", session.slot())) << Log();
}

// The listener serves news by the description this folder gives it.
TEST_F(NntpSessionTest, ListenerGreetsAdmittedReadersAndRefusesOthersInItsOwnWords) {
    Settings.NntpTimeout = 601;
    nettest::AllowOnly(dir_, "127.0.0.1\n");
    Listener listener(kNntpListenerDescription);
    const int port = nettest::StartListening(listener);
    ASSERT_NE(port, 0);
    EXPECT_EQ(nettest::WholeReply(port, 2), "502 permission denied, closing connection ...\r\n");

    nettest::Peer reader = nettest::Peer::Connect(port);
    std::string line;
    ASSERT_TRUE(reader.ReadLine(line));
    EXPECT_EQ(line,
              "200 NNTP-Trawlbox v0.25 Server #1 ready, log in as AUTHINFO USER host#user\r\n");
    EXPECT_EQ(SessionTable[1].timeoutSeconds, 601);
    ASSERT_TRUE(reader.Send("QUIT\r\n"));
    std::string all;
    EXPECT_TRUE(reader.ReadToEnd(all));
    EXPECT_EQ(all, Goodbye(1) + "\r\n");
    listener.Stop();

    EXPECT_TRUE(Logged("Nntp-Listen at Port" + NumberText(port)));
    EXPECT_TRUE(Logged("Denied Nntp-connection from '127.0.0.2'  Port:" + NumberText(port), 1));
    EXPECT_TRUE(Logged("Incoming Nntp-connection from '127.0.0.1'  Port:" + NumberText(port), 1));
}

}  // namespace
