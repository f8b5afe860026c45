#include "nntp/upstream_login.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "core/text.h"
#include "news_test_support.h"
#include "sasl/sasl_test_support.h"

namespace {

using newstest::FakeNewsServer;
using newstest::FakeReply;

using Lines = std::vector<std::string>;

// Answers each expected line in turn with its reply; any other line, or a
// line after the script, gets "500 What?".
newstest::NewsScript Replies(std::vector<std::pair<std::string, std::string>> steps) {
    auto next = std::make_shared<size_t>(0);
    return [steps, next](const std::string& line) -> FakeReply {
        if (*next < steps.size() && steps[*next].first == line) {
            return {steps[(*next)++].second + "\r\n"};
        }
        return {"500 What?\r\n"};
    };
}

class NewsLoginTest : public nettest::NetTest {
  protected:
    struct Result {
        bool accepted;
        std::string lastReply;
        int slot;
    };

    // Connects to a server running `script`, reads its greeting, logs in
    // with `login` and returns what it gave; the server's lines are in
    // lines_ afterwards.
    template <typename Login>
    Result Run(newstest::NewsScript script, Login login) {
        FakeNewsServer server(std::move(script));
        Connection connection = Connection::ConnectTo("127.0.0.1", server.port());
        EXPECT_TRUE(connection.open());
        std::string greeting;
        connection.ReceiveLine(greeting);
        Result result{false, "not set", connection.slot()};
        result.accepted = login(connection, result.lastReply);
        // A refused login may have left the connection failed, so the QUIT
        // cannot be counted on to arrive; the hang-up always does.
        connection.SendLine("QUIT");
        connection.Close();
        server.WaitForHangUp();
        lines_ = server.Lines();
        if (!lines_.empty() && lines_.back() == "QUIT") lines_.pop_back();
        return result;
    }

    Result Login(newstest::NewsScript script, const std::string& method,
                 const std::string& user = "joe", const std::string& password = "secret word",
                 const std::string& host = "news.example") {
        return Run(std::move(script), [&](Connection& connection, std::string& lastReply) {
            return UpstreamNewsLogin(connection, method, user, password, host, lastReply);
        });
    }

    Result LoginWith(newstest::NewsScript script, const SaslMechanism& mechanism,
                     const std::string& token) {
        return Run(std::move(script), [&](Connection& connection, std::string& lastReply) {
            return UpstreamAuthinfoSasl(connection, mechanism, {"joe", "", token}, "", lastReply);
        });
    }

    Lines lines_;
};

const std::string kPlain = Base64Encode(std::string("\0joe\0secret word", 16));

TEST(NewsLoginMethods, TheMechanismsAndSaslInAnyCase) {
    for (const char* name : {"sasl", "SASL", "plain", "Login", "CRAM-MD5", "digest-md5"}) {
        EXPECT_TRUE(IsNewsLoginMethod(name)) << name;
    }
    for (const char* name : {"", "auth", "apop", "news.example", "127.0.0.1", "sasl "}) {
        EXPECT_FALSE(IsNewsLoginMethod(name)) << name;
    }
}

// Without a method the login is AUTHINFO USER/PASS, as it always was.
TEST_F(NewsLoginTest, NoMethodIsUserAndPass) {
    Result r = Login(Replies({{"AUTHINFO USER joe", "381 PASS required"},
                              {"AUTHINFO PASS secret word", "281 Ok"}}),
                     "");
    EXPECT_TRUE(r.accepted);
    EXPECT_EQ(lines_, (Lines{"AUTHINFO USER joe", "AUTHINFO PASS secret word"}));
    EXPECT_TRUE(Logged("Sending AUTHINFO PASS", r.slot)) << Log();

    r = Login(Replies({{"AUTHINFO USER joe", "381 PASS required"},
                       {"AUTHINFO PASS secret word", "481 Authentication failed"}}),
              "");
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(r.lastReply, "481 Authentication failed");

    // No user: nothing is sent.
    r = Login(Replies({}), "plain", "");
    EXPECT_TRUE(r.accepted);
    EXPECT_TRUE(lines_.empty());
}

// Each mechanism with the server's acceptance and with its refusal, which
// the reader gets.
TEST_F(NewsLoginTest, PlainLoginAndCramMd5WithSuccessAndRefusal) {
    const std::string login1 = Base64Encode("joe");
    const std::string login2 = Base64Encode("secret word");
    // RFC 2195's example.
    const std::string cramChallenge = Base64Encode("<1896.697170952@postoffice.reston.mci.net>");
    const std::string cramResponse = Base64Encode("tim b913a602c7eda7a495b4e6e7334d3890");
    const struct {
        const char* method;
        std::vector<std::pair<std::string, std::string>> steps;
        const char* user;
        const char* password;
        bool accepted;
    } cases[] = {
        {"plain",
         {{"AUTHINFO SASL PLAIN", "383 ="}, {kPlain, "281 Welcome"}},
         "joe",
         "secret word",
         true},
        {"PLAIN",
         {{"AUTHINFO SASL PLAIN", "383"}, {kPlain, "481 Authentication failed"}},
         "joe",
         "secret word",
         false},
        {"login",
         {{"AUTHINFO SASL LOGIN", "383 VXNlcm5hbWU6"},
          {login1, "383 UGFzc3dvcmQ6"},
          {login2, "281 Welcome"}},
         "joe",
         "secret word",
         true},
        {"login",
         {{"AUTHINFO SASL LOGIN", "383 VXNlcm5hbWU6"},
          {login1, "383 UGFzc3dvcmQ6"},
          {login2, "481 Authentication failed"}},
         "joe",
         "secret word",
         false},
        {"cram-md5",
         {{"AUTHINFO SASL CRAM-MD5", "383 " + cramChallenge}, {cramResponse, "281 Welcome"}},
         "tim",
         "tanstaaftanstaaf",
         true},
        {"cram-md5",
         {{"AUTHINFO SASL CRAM-MD5", "383 " + cramChallenge},
          {cramResponse, "481 Authentication failed"}},
         "tim",
         "tanstaaftanstaaf",
         false},
        {"cram-md5", {{"AUTHINFO SASL CRAM-MD5", "502 not for you"}}, "tim", "x", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.steps.back().second);
        const Result r = Login(Replies(c.steps), c.method, c.user, c.password);
        EXPECT_EQ(r.accepted, c.accepted);
        Lines sent;
        for (const auto& step : c.steps) sent.push_back(step.first);
        EXPECT_EQ(lines_, sent);
        EXPECT_TRUE(Logged("Sending " + c.steps.front().first, r.slot)) << Log();
        if (!c.accepted) {
            EXPECT_EQ(r.lastReply, c.steps.back().second);
            EXPECT_TRUE(Logged(c.steps.back().second, r.slot)) << Log();
        }
    }
}

// A challenge after LOGIN's password is not answered: the exchange is
// withdrawn with "*" and the reader gets the server's answer to that.
TEST_F(NewsLoginTest, UnansweredChallengeIsWithdrawn) {
    const Result r = Login(Replies({{"AUTHINFO SASL LOGIN", "383 VXNlcm5hbWU6"},
                                    {Base64Encode("joe"), "383 UGFzc3dvcmQ6"},
                                    {Base64Encode("secret word"), "383 QWdhaW46"},
                                    {"*", "481 Authentication cancelled"}}),
                           "LOGIN");
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(lines_.back(), "*");
    EXPECT_EQ(r.lastReply, "481 Authentication cancelled");
}

// A DIGEST-MD5 server with service "nntp": it checks the response and proves
// itself with rspauth, in a 283 or in a 383 that the empty line answers.
struct DigestServer {
    std::string password = "secret word";
    bool proofIn283 = true;
    bool wrongProof = false;
    bool noProof = false;  // a plain 281 right after the response
};

constexpr char kChallenge[] =
    "realm=\"news.example\",nonce=\"OA6MG9tEQGm2hh\",qop=\"auth\",algorithm=md5-sess";

newstest::NewsScript DigestMd5(DigestServer s) {
    auto round = std::make_shared<int>(0);
    return [s, round](const std::string& line) -> FakeReply {
        switch ((*round)++) {
            case 0:
                if (line != "AUTHINFO SASL DIGEST-MD5") break;
                return {"383 " + Base64Encode(kChallenge) + "\r\n"};
            case 1: {
                auto d = sasltest::Directives(Base64Decode(line));
                if (d["digest-uri"] != "nntp/news.example" ||
                    d["response"] !=
                        sasltest::ServerDigestValue(d, "news.example", s.password, false)) {
                    return {"481 Authentication failed\r\n"};
                }
                if (s.noProof) return {"281 Welcome\r\n"};
                std::string proof =
                    sasltest::ServerDigestValue(d, "news.example", s.password, true);
                if (s.wrongProof) proof[0] = proof[0] == '0' ? '1' : '0';
                const std::string data = Base64Encode("rspauth=" + proof);
                return {(s.proofIn283 ? "283 " : "383 ") + data + "\r\n"};
            }
            case 2:
                if (line.empty()) return {"281 Welcome\r\n"};
                if (line == "*") return {"481 Authentication cancelled\r\n"};
                break;
        }
        return {"500 What?\r\n"};
    };
}

TEST_F(NewsLoginTest, DigestMd5WithTheProofIn283OrIn383) {
    for (bool in283 : {true, false}) {
        SCOPED_TRACE(in283 ? "283" : "383");
        const Result r = Login(DigestMd5({.proofIn283 = in283}), "digest-md5");
        EXPECT_TRUE(r.accepted) << Log();
        ASSERT_EQ(lines_.size(), in283 ? 2u : 3u);
        EXPECT_EQ(lines_[0], "AUTHINFO SASL DIGEST-MD5");
        if (!in283) {
            EXPECT_EQ(lines_[2], "");
        }
        EXPECT_TRUE(Logged(kChallenge, r.slot)) << Log();
    }
}

TEST_F(NewsLoginTest, DigestMd5Refusals) {
    const struct {
        const char* name;
        DigestServer server;
        const char* logged;  // the error line
        const char* lastReply;
    } cases[] = {
        {"wrong password",
         {.password = "other"},
         "AUTH/1 Handshake/Client Challenge failure",
         "481 Authentication failed"},
        {"wrong proof",
         {.wrongProof = true},
         "AUTH/2 Response hash failure",
         "481 server authentication failed"},
        {"wrong proof in 383",
         {.proofIn283 = false, .wrongProof = true},
         "AUTH/2 Response hash failure",
         "481 Authentication cancelled"},
        {"no proof",
         {.noProof = true},
         "AUTH/2 rspauth failure",
         "481 server authentication failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = Login(DigestMd5(c.server), "DIGEST-MD5");
        EXPECT_FALSE(r.accepted);
        EXPECT_EQ(r.lastReply, c.lastReply);
        EXPECT_TRUE(Logged(c.logged, r.slot)) << Log();
    }
}

// "sasl" takes the strongest mechanism of the CAPABILITIES SASL line.
TEST_F(NewsLoginTest, SaslChoosesFromTheCapabilities) {
    const std::string capabilities =
        "101 Capability list:\r\nVERSION 2\r\nAUTHINFO USER SASL\r\n"
        "sasl SCRAM-SHA-1 NTLM PLAIN DIGEST-MD5 LOGIN\r\n.";
    Result r = Login(
        Replies({{"CAPABILITIES", capabilities}, {"AUTHINFO SASL DIGEST-MD5", "502 no"}}), "sasl");
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(lines_, (Lines{"CAPABILITIES", "AUTHINFO SASL DIGEST-MD5"}));
    EXPECT_EQ(r.lastReply, "502 no");

    r = Login(Replies({{"CAPABILITIES", "101 Capability list:\r\nVERSION 2\r\nSASL GSSAPI\r\n."}}),
              "SASL");
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(lines_, (Lines{"CAPABILITIES"}));
    EXPECT_EQ(r.lastReply, "481 no usable SASL mechanism offered");

    r = Login(Replies({}), "sasl");
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(r.lastReply, "500 What?");
}

// The initial response on the command line ("=" when empty) or, when the
// line would pass 512 octets, after the server's empty challenge; an error
// challenge answered with the empty response.
TEST_F(NewsLoginTest, InitialResponsesAndTheErrorChallenge) {
    const std::string fits(366, 't');     // "AUTHINFO SASL X-TOKEN " and 488: 512 octets
    const std::string tooLong(369, 't');  // 492 characters: the line would have 516
    const struct {
        std::string token;
        std::vector<std::pair<std::string, std::string>> steps;
        bool accepted;
    } cases[] = {
        {"abc", {{"AUTHINFO SASL X-TOKEN YWJj", "281 Welcome"}}, true},
        {"", {{"AUTHINFO SASL X-TOKEN =", "281 Welcome"}}, true},
        {fits, {{"AUTHINFO SASL X-TOKEN " + Base64Encode(fits), "281 Welcome"}}, true},
        {tooLong,
         {{"AUTHINFO SASL X-TOKEN", "383 ="}, {Base64Encode(tooLong), "281 Welcome"}},
         true},
        {"abc",
         {{"AUTHINFO SASL X-TOKEN YWJj", "383 " + Base64Encode("{\"status\":\"401\"}")},
          {"", "481 Invalid token"}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.token.size());
        const Result r = LoginWith(Replies(c.steps), sasltest::kToken, c.token);
        EXPECT_EQ(r.accepted, c.accepted);
        Lines sent;
        for (const auto& step : c.steps) sent.push_back(step.first);
        EXPECT_EQ(lines_, sent);
        if (!c.token.empty()) {
            EXPECT_EQ(Log().find(c.token), std::string::npos);
        }
    }
}

}  // namespace
