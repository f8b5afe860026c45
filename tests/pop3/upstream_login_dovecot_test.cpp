// Logins against a real server: a private Dovecot started by the fixture
// script in a temporary directory. Skipped only when dovecot is not installed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/temp_dir.h"
#include "core/text.h"
#include "login_test_support.h"
#include "net/connection.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "pop3/upstream_login.h"

namespace {

using namespace login_test;

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kAccount = "alice";
constexpr const char* kPassword = "pass word";  // a blank inside on purpose

// How long to wait for the server's log process to write a login line; a
// safety net, not a measurement.
constexpr int kServerLogPolls = 400;
constexpr int kServerLogPollMs = 50;

bool DovecotInstalled() {
    std::string path = EnvironmentValue("PATH");
    path += ":/usr/sbin:/sbin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::filesystem::path candidate =
            std::filesystem::path(path.substr(start, end - start)) / "dovecot";
        std::error_code error;
        if (!candidate.parent_path().empty() &&
            std::filesystem::is_regular_file(candidate, error)) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Quotes a text for the shell.
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char ch : text) {
        if (ch == '\'') {
            quoted += "'\\''";
        } else {
            quoted += ch;
        }
    }
    return quoted + "'";
}

// Runs the fixture script with the arguments; returns its exit status and
// puts its output (standard output and error) into `output`.
int RunFixture(const std::string& arguments, std::string& output) {
    const std::string command =
        "python3 " + Quoted(std::string(TRAWLBOX_SOURCE_DIR) + "/tests/fixtures/dovecot.py") + " " +
        arguments + " 2>&1 </dev/null";
    output.clear();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[512];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    return ::pclose(pipe);
}

// One private server, started for a test suite and stopped after it.
class PrivateDovecot {
  public:
    // Starts a server with the test account and one message in its mailbox.
    explicit PrivateDovecot(const std::string& extraArguments) {
        std::string output;
        // The temporary directory itself: the fixture opens it to the
        // server's unprivileged helpers.
        const std::string dir = Quoted(dir_.path());
        if (RunFixture("start " + dir + " --user " + kAccount + " " + Quoted(kPassword) + " " +
                           extraArguments,
                       output) != 0) {
            failure_ = "the fixture could not start dovecot:\n" + output;
            return;
        }
        started_ = true;
        for (size_t at = 0; at < output.size();) {
            size_t end = output.find('\n', at);
            if (end == std::string::npos) end = output.size();
            const std::string line = output.substr(at, end - at);
            if (StartsWith(line, "pop3 ")) port_ = int(LeadingNumber(line.substr(5)));
            at = end + 1;
        }
        if (port_ <= 0) {
            failure_ = "the fixture named no port:\n" + output;
            return;
        }
        dir_.Write("test-message.eml", "From: someone@example.org\nSubject: test\n\nbody\n");
        if (RunFixture(
                "message " + dir + " " + kAccount + " " + Quoted(dir_.path() + "test-message.eml"),
                output) != 0) {
            failure_ = "the fixture could not add a message:\n" + output;
            port_ = 0;
        }
    }
    ~PrivateDovecot() {
        std::string output;
        if (started_) RunFixture("stop " + Quoted(dir_.path()), output);
    }
    PrivateDovecot(const PrivateDovecot&) = delete;
    PrivateDovecot& operator=(const PrivateDovecot&) = delete;

    int port() const { return port_; }
    const std::string& failure() const { return failure_; }
    std::string Log() const { return dir_.Read("dovecot.log"); }

    // Waits until the server has logged `text` after `mark` bytes of its log.
    bool WaitForLog(size_t mark, const std::string& text) const {
        for (int poll = 0; poll < kServerLogPolls; ++poll) {
            const std::string log = Log();
            if (log.size() > mark && log.find(text, mark) != std::string::npos) return true;
            SleepMilliseconds(kServerLogPollMs);
        }
        return false;
    }

  private:
    TempDir dir_;
    bool started_ = false;
    int port_ = 0;
    std::string failure_;
};

// A session's upstream side: connected, greeting read, APOP stamp taken.
struct Upstream {
    explicit Upstream(int port) : connection(ConnectUpstreamForTest(port)) {
        if (!connection.open()) return;
        connection.ReceiveLine(greeting);
        const size_t open = greeting.find('<');
        const size_t close = open == std::string::npos ? open : greeting.find('>', open);
        if (close != std::string::npos) stamp = greeting.substr(open, close - open + 1);
    }

    // Sends the command and returns the reply line.
    std::string Command(const std::string& command) {
        connection.SendLine(command);
        std::string reply;
        connection.ReceiveLine(reply);
        return reply;
    }

    Connection connection;
    std::string greeting;
    std::string stamp;
};

class UpstreamLoginDovecotTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (DovecotInstalled()) server_ = std::make_unique<PrivateDovecot>("");
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        if (!server_) GTEST_SKIP() << "dovecot is not installed";
        ASSERT_GT(server_->port(), 0) << server_->failure();
        ASSERT_TRUE(log_.opened());
    }

    static std::unique_ptr<PrivateDovecot> server_;
    LogCapture log_;
};

std::unique_ptr<PrivateDovecot> UpstreamLoginDovecotTest::server_;

TEST_F(UpstreamLoginDovecotTest, EveryMethodLogsInAndTheMailboxAnswers) {
    const struct {
        const char* method;
        const char* host;
        const char* serverMethod;   // as the server logs the login
        const char* mechanismLine;  // our progress line naming the mechanism, if any
        const char* outcome;
    } cases[] = {
        {"", "", "PLAIN", "Sending USER", "POP3 Connection established"},
        {"apop", "", "APOP", "Sending APOP", "POP3 Authentication established"},
        {"login", "", "LOGIN", "Sending AUTH LOGIN", "POP3 Authentication established"},
        {"plain", "", "PLAIN", "Sending AUTH PLAIN", "POP3 Authentication established"},
        {"cram-md5", "", "CRAM-MD5", "Sending AUTH CRAM-MD5", "POP3 Authentication established"},
        {"digest-md5", "", "DIGEST-MD5", "Sending AUTH DIGEST-MD5",
         "POP3 Authentication established"},
        {"digest-md5", "127.0.0.1", "DIGEST-MD5", "Sending AUTH DIGEST-MD5",
         "POP3 Authentication established"},
        // The server lists PLAIN LOGIN CRAM-MD5 DIGEST-MD5: CRAM-MD5 is the choice.
        {"auth", "", "CRAM-MD5", "Sending AUTH CRAM-MD5", "POP3 Authentication established"},
        {"sasl", "", "CRAM-MD5", "Sending AUTH CRAM-MD5", "POP3 Authentication established"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("method '") + c.method + "' host '" + c.host + "'");
        const size_t ourMark = log_.Mark();
        const size_t serverMark = server_->Log().size();
        Upstream upstream(server_->port());
        ASSERT_TRUE(upstream.connection.open());
        ASSERT_TRUE(StartsWith(upstream.greeting, "+OK")) << upstream.greeting;
        ASSERT_FALSE(upstream.stamp.empty()) << upstream.greeting;

        EXPECT_EQ(UpstreamLogin(upstream.connection, kAccount, kPassword, c.method, upstream.stamp,
                                c.host),
                  1);
        EXPECT_TRUE(StartsWith(upstream.Command("STAT"), "+OK 1 "));
        EXPECT_TRUE(StartsWith(upstream.Command("QUIT"), "+OK"));

        const auto entries = log_.Entries(upstream.connection.slot(), ourMark);
        std::vector<std::string> progress, outcome, errors;
        for (const LogEntry& entry : entries) {
            if (entry.level == kLogProgress) progress.push_back(entry.text);
            if (entry.level == kLogOutcome) outcome.push_back(entry.text);
            if (entry.level == kLogError) errors.push_back(entry.text);
        }
        EXPECT_THAT(progress, Contains(c.mechanismLine));
        EXPECT_THAT(outcome, ElementsAre(c.outcome));
        EXPECT_THAT(errors, IsEmpty());
        EXPECT_TRUE(server_->WaitForLog(
            serverMark, std::string("Login: user=<") + kAccount + ">, method=" + c.serverMethod))
            << server_->Log().substr(serverMark);
    }
}

TEST_F(UpstreamLoginDovecotTest, WrongPasswordIsRefusedAndLogged) {
    // DIGEST-MD5 reports the refusal of its response with a message of its own.
    const struct {
        const char* method;
        const char* message;  // "" for the server's own line
    } cases[] = {
        {"", ""},
        {"apop", ""},
        {"login", ""},
        {"plain", ""},
        {"cram-md5", ""},
        {"auth", ""},
        {"digest-md5", "AUTH/1 Handshake/Client Challenge failure"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("method '") + c.method + "'");
        const size_t mark = log_.Mark();
        Upstream upstream(server_->port());
        ASSERT_TRUE(upstream.connection.open());
        EXPECT_EQ(UpstreamLogin(upstream.connection, kAccount, "not the password", c.method,
                                upstream.stamp),
                  0);
        std::vector<std::string> errors;
        for (const LogEntry& entry : log_.Entries(upstream.connection.slot(), mark)) {
            if (entry.level == kLogError) errors.push_back(entry.text);
            EXPECT_NE(entry.level, kLogOutcome) << entry.text;
        }
        ASSERT_EQ(errors.size(), 1u);
        if (*c.message != '\0') {
            EXPECT_EQ(errors[0], c.message);
        } else {
            EXPECT_TRUE(StartsWith(errors[0], "-ERR")) << errors[0];
        }
    }
}

// A server that offers a realm: it goes into the response, the hash and
// the digest-uri, and the server finds the user all the same.
TEST(UpstreamLoginDovecotRealm, DigestMd5WithTheServersRealm) {
    if (!DovecotInstalled()) GTEST_SKIP() << "dovecot is not installed";
    PrivateDovecot server("--realm example.org");
    ASSERT_GT(server.port(), 0) << server.failure();
    LogCapture log;
    ASSERT_TRUE(log.opened());
    const size_t mark = log.Mark();
    Upstream upstream(server.port());
    ASSERT_TRUE(upstream.connection.open());
    EXPECT_EQ(UpstreamLogin(upstream.connection, kAccount, kPassword, "DIGEST-MD5", ""), 1);
    EXPECT_TRUE(StartsWith(upstream.Command("STAT"), "+OK 1 "));
    bool sawResponse = false;
    for (const LogEntry& entry : log.Entries(upstream.connection.slot(), mark)) {
        if (entry.level != kLogDebug || !StartsWith(entry.text, "Challenge: ")) continue;
        sawResponse = true;
        EXPECT_NE(entry.text.find(",realm=\"example.org\","), std::string::npos) << entry.text;
        EXPECT_NE(entry.text.find(",digest-uri=\"pop/example.org\","), std::string::npos)
            << entry.text;
    }
    EXPECT_TRUE(sawResponse);
    EXPECT_TRUE(server.WaitForLog(0, std::string("user=<") + kAccount + "@example.org>"));
}

}  // namespace
