// Requests to identity providers: which endpoints are allowed, and how each
// way a request can go wrong reads, against the fixture provider on loopback.
#include "oauth/http.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "oauth_test_support.h"

namespace {

using namespace oauth_test;

TEST(EndpointAllowedTest, HttpsAnywherePlainHttpOnlyToLoopback) {
    const struct {
        const char* url;
        bool allowed;
    } cases[] = {
        {"https://login.example.org/oauth2/token", true},
        {"https://127.0.0.1:8443/token", true},
        {"http://127.0.0.1:8080/token", true},
        {"http://127.8.9.10/token", true},
        {"http://[::1]:8080/token", true},
        {"http://localhost:8080/token", true},
        {"HTTP://LocalHost/token", true},
        {"http://login.example.org/token", false},
        {"http://127.0.0.1.example.org/token", false},
        {"http://127.0.0.1@login.example.org/token", false},
        {"http://128.0.0.1/token", false},
        {"http://[::2]/token", false},
        {"ftp://127.0.0.1/token", false},
        {"login.example.org/token", false},
        {"", false},
    };
    for (const auto& c : cases) {
        std::string failure;
        EXPECT_EQ(EndpointAllowed(c.url, failure), c.allowed) << c.url << ": " << failure;
        EXPECT_EQ(failure.empty(), c.allowed) << c.url;
    }
    std::string failure;
    EndpointAllowed("http://login.example.org/token", failure);
    EXPECT_EQ(failure,
              "the endpoint http://login.example.org/token must use https (plain http only to a "
              "loopback address)");
}

class PostFormTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_GT(provider_.port(), 0) << provider_.failure(); }
    std::string Host() const { return "127.0.0.1:" + std::to_string(provider_.port()); }

    IdentityProvider provider_;
    HttpReply reply_;
    std::string failure_;
};

TEST_F(PostFormTest, FieldsArriveAsSent) {
    const std::string awkward = "a b&c=d+e%41/\xc3\xa9";
    ASSERT_EQ(PostForm(provider_.Url("/device"), {{"client_id", awkward}, {"scope", "x y"}}, {},
                       reply_, failure_),
              HttpOutcome::kAnswered)
        << failure_;
    EXPECT_EQ(reply_.status, 200);
    const nlohmann::json fields = provider_.LastFields("device");
    EXPECT_EQ(fields.value("client_id", ""), awkward);
    EXPECT_EQ(fields.value("scope", ""), "x y");
}

TEST_F(PostFormTest, ProviderDownIsUnreachable) {
    const int port = ClosedLoopbackPort();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/token";
    EXPECT_EQ(PostForm(url, {}, {}, reply_, failure_), HttpOutcome::kUnreachable);
    EXPECT_EQ(
        failure_.rfind(
            "cannot reach the identity provider at 127.0.0.1:" + std::to_string(port) + ": ", 0),
        0u)
        << failure_;
    EXPECT_TRUE(reply_.body.empty());
}

TEST_F(PostFormTest, SlowProviderTimesOut) {
    ASSERT_TRUE(provider_.Configure({{"delay_seconds", "5"}}));
    HttpOptions http;
    http.totalTimeoutMs = 400;
    const int64_t started = MonotonicMilliseconds();
    EXPECT_EQ(PostForm(provider_.Url("/token"), {}, http, reply_, failure_),
              HttpOutcome::kTimedOut);
    EXPECT_LT(MonotonicMilliseconds() - started, 3000);
    EXPECT_EQ(failure_.rfind("no answer in time from the identity provider at " + Host(), 0), 0u)
        << failure_;
    EXPECT_NE(failure_.find("(time-outs 10000 ms to connect, 400 ms in all)"), std::string::npos)
        << failure_;
}

TEST_F(PostFormTest, RedirectIsNotFollowed) {
    // The same fixture under another name: had the redirect been followed,
    // the device endpoint would have counted a call.
    const std::string elsewhere =
        "http://localhost:" + std::to_string(provider_.port()) + "/device";
    ASSERT_TRUE(provider_.Configure({{"redirect_token_to", elsewhere}}));
    EXPECT_EQ(PostForm(provider_.Url("/token"), {}, {}, reply_, failure_),
              HttpOutcome::kRedirected);
    EXPECT_EQ(failure_, "the identity provider at " + Host() +
                            " answered with a redirect (status 307); redirects are not followed");
    EXPECT_EQ(provider_.Count("redirected"), 1);
    EXPECT_EQ(provider_.Count("device"), 0);
}

TEST_F(PostFormTest, OversizedReplyIsRefused) {
    EXPECT_EQ(PostForm(provider_.Url("/large"), {}, {}, reply_, failure_), HttpOutcome::kFailed);
    EXPECT_EQ(failure_,
              "the identity provider at " + Host() + " sent a reply larger than 65536 bytes");
    EXPECT_TRUE(reply_.body.empty());
}

TEST_F(PostFormTest, RefusedUrlSendsNothing) {
    EXPECT_EQ(PostForm("http://login.example.org/token", {}, {}, reply_, failure_),
              HttpOutcome::kRefused);
    EXPECT_NE(failure_.find("must use https"), std::string::npos);
}

// The certificates of tests/fixtures/tls_ca.py: a private CA and a server
// certificate for localhost and 127.0.0.1, and an unrelated CA.
class HttpsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        certificates_ = new TempDir;
        const std::string command = "python3 '" + std::string(TRAWLBOX_SOURCE_DIR) +
                                    "/tests/fixtures/tls_ca.py' '" + certificates_->path() +
                                    "' >/dev/null 2>&1";
        made_ = std::system(command.c_str()) == 0;
    }
    static void TearDownTestSuite() {
        delete certificates_;
        certificates_ = nullptr;
    }
    static std::string File(const char* name) { return certificates_->path() + name; }

    static TempDir* certificates_;
    static bool made_;
};
TempDir* HttpsTest::certificates_ = nullptr;
bool HttpsTest::made_ = false;

TEST_F(HttpsTest, VerifiedWithTheExtraCaFileOnly) {
    ASSERT_TRUE(made_) << "tls_ca.py failed";
    IdentityProvider provider(File("server.pem"), File("server.key"));
    ASSERT_GT(provider.port(), 0) << provider.failure();
    const std::string byName = "https://localhost:" + std::to_string(provider.port()) + "/counters";
    HttpReply reply;
    std::string failure;

    HttpOptions trusting;
    trusting.caFile = File("ca.pem");
    for (const std::string& url : {provider.Url("/counters"), byName}) {
        EXPECT_EQ(PostForm(url, {}, trusting, reply, failure), HttpOutcome::kAnswered)
            << url << ": " << failure;
        EXPECT_EQ(reply.status, 200);
    }

    // The system's trust store alone, or with an unrelated CA, does not
    // know the private CA.
    HttpOptions other;
    other.caFile = File("other-ca.pem");
    for (const HttpOptions& options : {HttpOptions{}, other}) {
        EXPECT_EQ(PostForm(byName, {}, options, reply, failure), HttpOutcome::kTlsFailed);
        EXPECT_EQ(failure.rfind("TLS failed with the identity provider at localhost:", 0), 0u)
            << failure;
    }

    HttpOptions missing;
    missing.caFile = File("no-such-ca.pem");
    EXPECT_EQ(PostForm(byName, {}, missing, reply, failure), HttpOutcome::kTlsFailed);
    EXPECT_EQ(failure.rfind("cannot read the CA file for the identity provider at localhost:", 0),
              0u)
        << failure;
}

TEST_F(HttpsTest, CertificateNamingAnotherHostIsRefused) {
    ASSERT_TRUE(made_) << "tls_ca.py failed";
    IdentityProvider provider(File("misnamed.pem"), File("misnamed.key"));
    ASSERT_GT(provider.port(), 0) << provider.failure();
    HttpOptions trusting;
    trusting.caFile = File("ca.pem");
    HttpReply reply;
    std::string failure;
    EXPECT_EQ(PostForm(provider.Url("/counters"), {}, trusting, reply, failure),
              HttpOutcome::kTlsFailed)
        << failure;
}

}  // namespace
