#include "sasl/digest_md5.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "sasl/sasl_test_support.h"

namespace {

using sasltest::RunScript;

constexpr char kRfcChallenge[] =
    "realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\",qop=\"auth\",algorithm=md5-sess,"
    "charset=utf-8";
constexpr char kRfcResponse[] =
    "username=\"chris\",realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\",nc=00000001,"
    "cnonce=\"OA6MHXh6VqTrRk\",digest-uri=\"imap/elwood.innosoft.com\","
    "response=d388dad90d4bbd760a152321f2143af7,qop=auth";
constexpr char kRfcProof[] = "ea40f60335c427b5527b84dbabcdfffd";
// The response as the log shows it: both digests are worth a dictionary
// attack on the password.
constexpr char kRfcResponseLogged[] =
    "Challenge: username=\"chris\",realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\","
    "nc=00000001,cnonce=\"OA6MHXh6VqTrRk\",digest-uri=\"imap/elwood.innosoft.com\","
    "response=***,qop=auth";

SaslExchange RfcExchange() {
    return sasltest::Exchange("DIGEST-MD5", {"chris", "secret", ""}, "imap", "elwood.innosoft.com",
                              "OA6MHXh6VqTrRk");
}

// RFC 2831, section 4: the IMAP example, with its cnonce set through the seam.
TEST(SaslDigestMd5, Rfc2831Example) {
    RunScript(RfcExchange(), {
                                 {kRfcChallenge,
                                  SaslStatus::kRespond,
                                  kRfcResponse,
                                  {{kLogDebug, kRfcChallenge}, {kLogDebug, kRfcResponseLogged}},
                                  "AUTH/1 Handshake/Client Challenge failure"},
                                 {std::string("rspauth=") + kRfcProof,
                                  SaslStatus::kRespondLast,
                                  "",
                                  {{kLogDebug, "rspauth=***"}}},
                                 {"rspauth=again", SaslStatus::kFailed, "", {}},
                             });
}

TEST(SaslDigestMd5, ChallengesThatAreRefused) {
    const struct {
        const char* challenge;
        const char* message;
    } cases[] = {
        {"realm=\"r\",qop=\"auth\",algorithm=md5-sess", "Missing 'nonce' in Challenge"},
        {"realm=\"r\",nonce=\"abc\",qop=\"auth\"", "Missing 'algorithm' in Challenge"},
        {"realm=\"r\",nonce=\"abc\",qop=\"auth\",algorithm=md5",
         "Not supportet hash algorithm 'md5'"},
        {"realm=\"r\",nonce=\"abc\",qop=\"auth-int\",algorithm=md5-sess",
         "Not supportet hash quality protection 'auth-int'"},
        {"", "Missing 'nonce' in Challenge"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.challenge);
        RunScript(sasltest::Exchange("DIGEST-MD5", {"alice", "pw", ""}),
                  {{c.challenge,
                    SaslStatus::kFailed,
                    "",
                    {{kLogDebug, c.challenge}, {kLogError, c.message}}}});
    }
}

TEST(SaslDigestMd5, ProofsThatAreRefused) {
    const struct {
        const char* name;
        std::string proof;
        sasltest::Log log;
    } cases[] = {
        {"no rspauth", std::string("rspx=") + kRfcProof, {{kLogError, "AUTH/2 rspauth failure"}}},
        {"rspauth not first",
         std::string(" rspauth=") + kRfcProof,
         {{kLogError, "AUTH/2 rspauth failure"}}},
        {"wrong proof",
         "rspauth=d388dad90d4bbd760a152321f2143af7",
         {{kLogDebug, "rspauth=***"}, {kLogError, "AUTH/2 Response hash failure"}}},
        {"proof cut short",
         "rspauth=ea40f60335c427b5527b84dbabcdfff",
         {{kLogDebug, "rspauth=***"}, {kLogError, "AUTH/2 Response hash failure"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SaslExchange exchange = RfcExchange();
        ASSERT_EQ(SaslNextStep(exchange, kRfcChallenge).status, SaslStatus::kRespond);
        const SaslStep step = SaslNextStep(exchange, c.proof);
        EXPECT_EQ(step.status, SaslStatus::kFailed);
        EXPECT_EQ(sasltest::LogOf(step), c.log);
    }
}

// A refused challenge leaves nothing a proof could match, not even an empty one.
TEST(SaslDigestMd5, NoProofIsTakenAfterARefusedChallenge) {
    SaslExchange exchange = sasltest::Exchange("DIGEST-MD5", {"alice", "pw", ""});
    ASSERT_EQ(SaslNextStep(exchange, "realm=\"r\"").status, SaslStatus::kFailed);
    const SaslStep step = SaslNextStep(exchange, "rspauth=");
    EXPECT_EQ(step.status, SaslStatus::kFailed);
    EXPECT_EQ(sasltest::LogOf(step).back().second, "AUTH/2 Response hash failure");
}

// The directives are found anywhere in the challenge; the service and host
// make the digest-uri, the realm standing in for a missing host.
TEST(SaslDigestMd5, ChallengeVariantsAndTheDigestUri) {
    const struct {
        const char* name;
        const char* challenge;
        const char* service;
        const char* host;
        const char* realm;
        const char* uri;
    } cases[] = {
        {"no qop: auth is assumed", "realm=\"r.example\",nonce=\"abc\",algorithm=md5-sess", "pop",
         "", "r.example", "pop/r.example"},
        {"algorithm last, unquoted",
         "nonce=\"abc\",realm=\"r.example\",qop=\"auth\",algorithm=md5-sess", "pop", "",
         "r.example", "pop/r.example"},
        {"a qop list gives its first entry",
         "realm=\"r\",nonce=\"abc\",qop=\"auth,auth-int\",algorithm=\"md5-sess\"", "pop", "", "r",
         "pop/r"},
        {"no realm: the host names the server", "nonce=\"abc\",qop=\"auth\",algorithm=md5-sess",
         "pop", "mail.example", "", "pop/mail.example"},
        {"news names its own service", "realm=\"r\",nonce=\"abc\",algorithm=md5-sess", "nntp",
         "news.example", "r", "nntp/news.example"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SaslExchange exchange =
            sasltest::Exchange("DIGEST-MD5", {"alice", "pw", ""}, c.service, c.host, "cn");
        const SaslStep step = SaslNextStep(exchange, c.challenge);
        ASSERT_EQ(step.status, SaslStatus::kRespond);
        EXPECT_EQ(step.response, "username=\"alice\",realm=\"" + std::string(c.realm) +
                                     "\",nonce=\"abc\",nc=00000001,cnonce=\"cn\",digest-uri=\"" +
                                     c.uri + "\",response=" +
                                     step.response.substr(step.response.find("response=") + 9, 32) +
                                     ",qop=auth");
    }
}

// Without a preset nonce each login draws its own: 16 random bytes in hex.
TEST(SaslDigestMd5, ClientNoncesAreDrawnFreshForEachLogin) {
    constexpr int kLogins = 20;
    std::set<std::string> nonces;
    for (int i = 0; i < kLogins; ++i) {
        SaslExchange exchange = sasltest::Exchange("DIGEST-MD5", {"chris", "secret", ""}, "pop");
        const SaslStep step = SaslNextStep(exchange, kRfcChallenge);
        ASSERT_EQ(step.status, SaslStatus::kRespond);
        const std::string& nonce = exchange.clientNonce;
        EXPECT_EQ(nonce.size(), 32u);
        EXPECT_EQ(nonce.find_first_not_of("0123456789abcdef"), std::string::npos) << nonce;
        EXPECT_NE(step.response.find("cnonce=\"" + nonce + "\""), std::string::npos);
        nonces.insert(nonce);
    }
    EXPECT_EQ(nonces.size(), size_t(kLogins));
}

}  // namespace
