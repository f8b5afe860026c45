// ConnectUpstream for news against a private INN: STARTTLS on a reader port
// and implicit TLS on a standalone nnrpd, a login over each, a large article
// posted over TLS (sends that fill the socket) and read back, and a refused
// certificate chain.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "core/text.h"
#include "net/connection.h"
#include "net/net_test_support.h"
#include "net/tls_servers.h"
#include "net/upstream_connect.h"

namespace {

using tlstest::Certificates;
using tlstest::TlsInn;

constexpr int kTimeoutSeconds = 60;  // never reached unless something hangs
// Dozens of TLS records, below the server's article size limit (1,000,000
// bytes by default).
constexpr int kArticleLines = 9000;

class TlsNewsTest : public nettest::NetTest {
  protected:
    // The fixture runs the servers as the news user, which takes root.
    static bool InnUsable() {
        return ::geteuid() == 0 && tlstest::Installed("innd", {"/usr/lib/news/bin"});
    }

    static void SetUpTestSuite() {
        if (!InnUsable()) return;
        certificates_ = std::make_unique<Certificates>();
        if (!certificates_->failure().empty()) return;
        server_ =
            std::make_unique<TlsInn>(certificates_->Path("server_cert"),
                                     certificates_->Path("server_key"), certificates_->Path("ca"));
    }
    static void TearDownTestSuite() {
        server_.reset();
        certificates_.reset();
    }

    void SetUp() override {
        if (!InnUsable()) GTEST_SKIP() << "needs root and the inn2 package";
        NetTest::SetUp();
        ASSERT_TRUE(certificates_->failure().empty()) << certificates_->failure();
        ASSERT_TRUE(server_->ready()) << server_->failure();
        Settings.TlsVerify = true;
        Settings.TlsCaFile = certificates_->Path("ca");
    }

    // Connects into news_.
    UpstreamOutcome Connect(TlsMode mode, const std::string& host, int port,
                            std::string& greeting) {
        Settings.NntpTls = mode;
        return ConnectUpstream(host, port, UpstreamProtocol::kNntp, kTimeoutSeconds, news_,
                               greeting);
    }

    std::string Command(const std::string& command) {
        news_.SendLine(command);
        std::string reply;
        news_.ReceiveLine(reply);
        return reply;
    }

    bool LogIn() {
        return StartsWith(Command(std::string("AUTHINFO USER ") + tlstest::kNewsUser), "381") &&
               StartsWith(Command(std::string("AUTHINFO PASS ") + tlstest::kNewsPassword), "281");
    }

    void Finish() {
        news_.Close();
        news_.Release();
    }

    Connection news_;

    static std::unique_ptr<Certificates> certificates_;
    static std::unique_ptr<TlsInn> server_;
};

std::unique_ptr<Certificates> TlsNewsTest::certificates_;
std::unique_ptr<TlsInn> TlsNewsTest::server_;

TEST_F(TlsNewsTest, LoginOverStartTlsAndImplicitTls) {
    const struct {
        TlsMode mode;
        bool implicitPort;
        const char* host;
    } cases[] = {
        {TlsMode::kUpgrade, false, "localhost"},
        {TlsMode::kUpgrade, false, "127.0.0.1"},
        {TlsMode::kImplicit, true, "localhost"},
        {TlsMode::kImplicit, true, "127.0.0.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + (c.implicitPort ? " implicit" : " starttls"));
        const size_t mark = Log().size();
        std::string greeting;
        ASSERT_EQ(Connect(c.mode, c.host,
                          c.implicitPort ? server_->tlsPort() : server_->nnrpdPort(), greeting),
                  UpstreamOutcome::kConnected)
            << Log().substr(mark);
        EXPECT_TRUE(StartsWith(greeting, "200 ")) << greeting;
        EXPECT_TRUE(
            StartsWith(tlstest::LogLineWith(Log().substr(mark), "TLS established: TLSv1."), "~ "))
            << Log().substr(mark);
        EXPECT_TRUE(LogIn());
        EXPECT_TRUE(StartsWith(Command("GROUP de.test"), "211 ")) << Log().substr(mark);
        EXPECT_TRUE(StartsWith(Command("QUIT"), "205"));
        EXPECT_FALSE(news_.LinkFailed());
        Finish();
    }
}

TEST_F(TlsNewsTest, LargeArticlePostedAndReadBackOverTls) {
    std::string greeting;
    ASSERT_EQ(Connect(TlsMode::kImplicit, "localhost", server_->tlsPort(), greeting),
              UpstreamOutcome::kConnected)
        << Log();
    ASSERT_TRUE(LogIn());

    const std::string messageId = "<large-tls-article@fixture.test>";
    std::string body;
    for (int n = 0; n < kArticleLines; ++n) {
        body += "line " + std::to_string(n) + " " + std::string(static_cast<size_t>(n % 73), 'n');
        body += "\r\n";
    }
    ASSERT_TRUE(StartsWith(Command("POST"), "340"));
    // One send of many TLS records.
    news_.SendText(
        "From: poster@fixture.test\r\nNewsgroups: de.test\r\nSubject: large\r\n"
        "Message-ID: " +
        messageId + "\r\n\r\n" + body + ".\r\n");
    std::string reply;
    news_.ReceiveLine(reply);
    ASSERT_TRUE(StartsWith(reply, "240")) << reply;

    ASSERT_TRUE(StartsWith(Command("BODY " + messageId), "222")) << Log();
    std::string readBack;
    std::string line;
    for (int n = 0; n <= kArticleLines + 1; ++n) {
        news_.ReceiveLine(line);
        if (line == "." || news_.LinkFailed()) break;
        readBack += line + "\r\n";
    }
    EXPECT_EQ(line, ".");
    EXPECT_EQ(readBack.size(), body.size());
    EXPECT_TRUE(readBack == body) << "the article came back changed";
    EXPECT_TRUE(StartsWith(Command("QUIT"), "205"));
    EXPECT_FALSE(news_.LinkFailed());
    Finish();
}

// The server sends its CA along with its certificate: the chain ends in a
// root that nobody here trusts.
TEST_F(TlsNewsTest, UnknownIssuerIsRefusedBeforeTheLogin) {
    Settings.TlsCaFile = certificates_->Path("other_ca");
    for (TlsMode mode : {TlsMode::kUpgrade, TlsMode::kImplicit}) {
        const size_t mark = Log().size();
        std::string greeting;
        EXPECT_EQ(Connect(mode, "localhost",
                          mode == TlsMode::kImplicit ? server_->tlsPort() : server_->nnrpdPort(),
                          greeting),
                  UpstreamOutcome::kTlsFailed);
        EXPECT_TRUE(
            StartsWith(tlstest::LogLineWith(Log().substr(mark),
                                            "TLS handshake failed: certificate verify failed: "
                                            "self-signed certificate in certificate chain"),
                       "! "))
            << Log().substr(mark);
        EXPECT_TRUE(nettest::TableEmpty());
    }
}

}  // namespace
