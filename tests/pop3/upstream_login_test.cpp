#include "pop3/upstream_login.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "codec/base64.h"
#include "codec/md5.h"
#include "core/log.h"
#include "core/text.h"
#include "login_test_support.h"
#include "sasl/client.h"
#include "sasl/sasl_test_support.h"

namespace {

using namespace login_test;

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// ---- The method table ----------------------------------------------------

TEST(FindLoginMethod, KnowsTheMethodsAndTheMechanismsAndNothingElse) {
    for (const char* name :
         {"", "auth", "SASL", "Apop", "login", "PLAIN", "cram-md5", "Digest-MD5"}) {
        EXPECT_NE(FindLoginMethod(name), nullptr) << name;
    }
    for (const char* name : {"user", "bogus", "127.0.0.1", "PLAIN ", "X-PLAINTEXT", "GSSAPI"}) {
        EXPECT_EQ(FindLoginMethod(name), nullptr) << name;
    }
    // Two mechanisms share the method that logs in by the mechanism's name.
    EXPECT_EQ(FindLoginMethod("plain"), FindLoginMethod("CRAM-MD5"));
    EXPECT_NE(FindLoginMethod(""), FindLoginMethod("apop"));
}

// ---- Exchanges with a scripted server ---------------------------------------

class UpstreamLoginTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(log_.opened()); }

    // Runs UpstreamLogin against a server running `script`; returns its result
    // and keeps the slot and the lines the server received.
    int Login(ScriptedServer::Script script, const std::string& account,
              const std::string& password, const std::string& method, const std::string& stamp = "",
              const std::string& host = "") {
        return Run(std::move(script), [&](Connection& upstream) {
            return UpstreamLogin(upstream, account, password, method, stamp, host);
        });
    }

    // The same with a mechanism of the test's own and a token.
    int LoginWith(ScriptedServer::Script script, const SaslMechanism& mechanism,
                  const std::string& token) {
        return Run(std::move(script), [&](Connection& upstream) {
            return UpstreamSaslLogin(upstream, mechanism, {"alice", "", token});
        });
    }

    int Run(ScriptedServer::Script script, const std::function<int(Connection&)>& login) {
        ScriptedServer server(std::move(script));
        const size_t mark = log_.Mark();
        Connection upstream = ConnectUpstreamForTest(server.port());
        slot_ = upstream.slot();
        EXPECT_GT(slot_, 0);
        const int result = login(upstream);
        // Read the log before the close adds its own line.
        entries_ = log_.Entries(slot_, mark);
        upstream.Close();
        server.Join();
        received_ = server.received();
        return result;
    }

    // The logged texts of one level, in order.
    std::vector<std::string> Logged(int level) const {
        std::vector<std::string> texts;
        for (const LogEntry& entry : entries_) {
            if (entry.level == level) texts.push_back(entry.text);
        }
        return texts;
    }

    LogCapture log_;
    int slot_ = -1;
    std::vector<LogEntry> entries_;
    std::vector<std::string> received_;
};

// Replies to each expected command in turn with the given line; stops at the
// first command that differs.
ScriptedServer::Script Replies(std::vector<std::pair<std::string, std::string>> steps) {
    return [steps](ScriptedPeer& peer) {
        for (const auto& [command, reply] : steps) {
            if (peer.ReadLine() != command) return;
            peer.Send(reply);
        }
    };
}

TEST_F(UpstreamLoginTest, UserPassLogsEachStep) {
    EXPECT_EQ(Login(Replies({{"USER alice", "+OK"}, {"PASS pass word", "+OK Logged in."}}), "alice",
                    "pass word", ""),
              1);
    EXPECT_THAT(received_, ElementsAre("USER alice", "PASS pass word"));
    EXPECT_THAT(Logged(kLogProgress), ElementsAre("Sending USER", "Sending PASS"));
    EXPECT_THAT(Logged(kLogOutcome), ElementsAre("POP3 Connection established"));
    EXPECT_THAT(Logged(kLogDebug), ElementsAre("+OK", "+OK Logged in."));
}

TEST_F(UpstreamLoginTest, UserRefusedStopsBeforeThePassword) {
    EXPECT_EQ(Login(Replies({{"USER alice", "-ERR no such user"}}), "alice", "pw", "user"), 0);
    EXPECT_THAT(received_, ElementsAre("USER alice"));
    EXPECT_THAT(Logged(kLogError), ElementsAre("-ERR no such user"));
    EXPECT_THAT(Logged(kLogOutcome), IsEmpty());
}

TEST_F(UpstreamLoginTest, PassRefusedLogsTheServersLine) {
    EXPECT_EQ(Login(Replies({{"USER alice", "+OK"}, {"PASS pw", "-ERR [AUTH] failed"}}), "alice",
                    "pw", "anything"),
              0);
    EXPECT_THAT(Logged(kLogError), ElementsAre("-ERR [AUTH] failed"));
}

TEST_F(UpstreamLoginTest, EmptyAccountWithDefaultMethodSendsNothing) {
    EXPECT_EQ(Login([](ScriptedPeer&) {}, "", "pw", ""), 1);
    EXPECT_THAT(received_, IsEmpty());
    EXPECT_THAT(Logged(kLogOutcome), ElementsAre("POP3 Connection established"));
}

// RFC 1939's example: the digest covers the greeting's stamp and the secret.
TEST_F(UpstreamLoginTest, ApopSendsTheDigestOfStampAndPassword) {
    const std::string stamp = "<1896.697170952@dbc.mtview.ca.us>";
    EXPECT_EQ(Login(Replies({{"APOP mrose c4c9334bac560ecc979e58001b3e22fb", "+OK maildrop"}}),
                    "mrose", "tanstaaf", "apop", stamp),
              1);
    EXPECT_THAT(Logged(kLogProgress), ElementsAre("Sending APOP"));
    EXPECT_THAT(Logged(kLogOutcome), ElementsAre("POP3 Authentication established"));

    EXPECT_EQ(Login(Replies({{"APOP mrose c4c9334bac560ecc979e58001b3e22fb", "-ERR denied"}}),
                    "mrose", "tanstaaf", "APOP", stamp),
              0);
    EXPECT_THAT(Logged(kLogError), ElementsAre("-ERR denied"));
}

TEST_F(UpstreamLoginTest, LoginSendsAccountAndPasswordInBase64) {
    EXPECT_EQ(Login(Replies({{"AUTH LOGIN", "+ VXNlcm5hbWU6"},
                             {Base64Encode("alice"), "+ UGFzc3dvcmQ6"},
                             {Base64Encode("pass word"), "+OK Logged in."}}),
                    "alice", "pass word", "login"),
              1);
    EXPECT_THAT(Logged(kLogProgress),
                ElementsAre("Sending AUTH LOGIN", "Sending Username", "Sending Password"));
    EXPECT_THAT(Logged(kLogOutcome), ElementsAre("POP3 Authentication established"));
}

// LOGIN wants "+OK" at the end, PLAIN and CRAM-MD5 any "+"; a refusal at any
// step is logged with the server's line and ends the exchange there.
TEST_F(UpstreamLoginTest, FinalRepliesAndRefusalsOfTheSaslMechanisms) {
    const std::string plain = Base64Encode(std::string("\0alice\0pw", 9));
    const std::string login1 = Base64Encode("alice");
    const std::string login2 = Base64Encode("pw");
    const struct {
        const char* method;
        std::vector<std::pair<std::string, std::string>> steps;
        int result;
        std::vector<std::string> sent;
    } cases[] = {
        {"login",
         {{"AUTH LOGIN", "+ x"}, {login1, "+ y"}, {login2, "+ go on"}},
         0,
         {"AUTH LOGIN", login1, login2}},
        {"login", {{"AUTH LOGIN", "-ERR no"}}, 0, {"AUTH LOGIN"}},
        {"login", {{"AUTH LOGIN", "+ x"}, {login1, "-ERR no"}}, 0, {"AUTH LOGIN", login1}},
        {"plain", {{"AUTH PLAIN", "+ "}, {plain, "+ fine"}}, 1, {"AUTH PLAIN", plain}},
        {"PLAIN", {{"AUTH PLAIN", "+ "}, {plain, "-ERR no"}}, 0, {"AUTH PLAIN", plain}},
        {"plain", {{"AUTH PLAIN", "-ERR no"}}, 0, {"AUTH PLAIN"}},
        {"cram-md5", {{"AUTH CRAM-MD5", "-ERR no"}}, 0, {"AUTH CRAM-MD5"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.steps.back().second);
        EXPECT_EQ(Login(Replies(c.steps), "alice", "pw", c.method), c.result);
        EXPECT_EQ(received_, c.sent);
        if (c.result == 1) {
            EXPECT_THAT(Logged(kLogOutcome), ElementsAre("POP3 Authentication established"));
            EXPECT_THAT(Logged(kLogError), IsEmpty());
        } else {
            EXPECT_THAT(Logged(kLogError), ElementsAre(c.steps.back().second));
            EXPECT_THAT(Logged(kLogOutcome), IsEmpty());
        }
    }
}

// RFC 5034, 4: the initial response rides on the AUTH line, "=" when it is
// empty, unless the line would pass 255 octets with its CR LF; then it
// answers the server's empty challenge. The token itself is never logged.
TEST_F(UpstreamLoginTest, InitialResponseOnTheAuthLineOrAfterTheEmptyChallenge) {
    const std::string fits(180, 't');     // "AUTH X-TOKEN " and 240 characters: 255 octets
    const std::string tooLong(183, 't');  // 244 characters: the line would have 259
    const struct {
        std::string token;
        std::vector<std::pair<std::string, std::string>> steps;
    } cases[] = {
        {"abc", {{"AUTH X-TOKEN YWJj", "+OK welcome"}}},
        {"", {{"AUTH X-TOKEN =", "+OK welcome"}}},
        {fits, {{"AUTH X-TOKEN " + Base64Encode(fits), "+OK welcome"}}},
        {tooLong, {{"AUTH X-TOKEN", "+ "}, {Base64Encode(tooLong), "+OK welcome"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.token.size());
        EXPECT_EQ(LoginWith(Replies(c.steps), sasltest::kToken, c.token), 1);
        std::vector<std::string> sent;
        for (const auto& step : c.steps) sent.push_back(step.first);
        EXPECT_EQ(received_, sent);
        EXPECT_THAT(Logged(kLogProgress), ElementsAre("Sending AUTH X-TOKEN"));
        EXPECT_THAT(Logged(kLogOutcome), ElementsAre("POP3 Authentication established"));
        for (const LogEntry& entry : entries_) {
            if (!c.token.empty()) {
                EXPECT_EQ(entry.text.find(c.token), std::string::npos);
            }
        }
    }
}

// A "+ " after the last response is an error report that such a mechanism
// answers before the server's refusal; any other mechanism is refused there.
TEST_F(UpstreamLoginTest, ErrorChallengeAnsweredOnlyWhenTheMechanismSaysSo) {
    const std::string report = Base64Encode("{\"status\":\"401\"}");
    EXPECT_EQ(LoginWith(Replies({{"AUTH X-TOKEN YWJj", "+ " + report},
                                 {"", "-ERR [AUTH] Invalid token"}}),
                        sasltest::kToken, "abc"),
              0);
    EXPECT_THAT(received_, ElementsAre("AUTH X-TOKEN YWJj", ""));
    EXPECT_THAT(Logged(kLogError),
                ElementsAre("Error challenge: {\"status\":\"401\"}", "-ERR [AUTH] Invalid token"));

    EXPECT_EQ(LoginWith(Replies({{"AUTH X-TOKEN YWJj", "+ " + report}}),
                        sasltest::kTokenWithoutErrorAnswer, "abc"),
              0);
    EXPECT_THAT(received_, ElementsAre("AUTH X-TOKEN YWJj"));
    EXPECT_THAT(Logged(kLogError), ElementsAre("+ " + report));
    EXPECT_THAT(Logged(kLogOutcome), IsEmpty());
}

// RFC 2195's example: the password keys the HMAC over the decoded challenge.
TEST_F(UpstreamLoginTest, CramMd5AnswersTheRfc2195Example) {
    EXPECT_EQ(Login(Replies({{"AUTH CRAM-MD5",
                              "+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+"},
                             {"dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw", "+OK"}}),
                    "tim", "tanstaaftanstaaf", "CRAM-MD5"),
              1);
    EXPECT_THAT(Logged(kLogProgress),
                ElementsAre("Sending AUTH CRAM-MD5", "Sending Username/Password"));
    EXPECT_THAT(Logged(kLogOutcome), ElementsAre("POP3 Authentication established"));
}

// A server whose mechanism list is answered: replies to `listCommand` with
// `lines` and a ".", then accepts a PLAIN, LOGIN or CRAM-MD5 login blindly.
ScriptedServer::Script ListThenAccept(std::string listCommand, std::vector<std::string> lines) {
    return [listCommand, lines](ScriptedPeer& peer) {
        if (peer.ReadLine() != listCommand) return;
        peer.Send("+OK");
        for (const std::string& line : lines) peer.Send(line);
        peer.Send(".");
        const std::string command = peer.ReadLine();
        if (command == "AUTH LOGIN") {
            peer.Send("+ VXNlcm5hbWU6");
            peer.ReadLine();
            peer.Send("+ UGFzc3dvcmQ6");
        } else if (command == "AUTH PLAIN" || command == "AUTH CRAM-MD5") {
            peer.Send("+ PDE0QGhvc3Q+");
        } else {
            return;
        }
        peer.ReadLine();
        peer.Send("+OK");
    };
}

TEST_F(UpstreamLoginTest, AuthListChoosesTheStrongestMechanism) {
    EXPECT_EQ(Login(ListThenAccept("AUTH", {"PLAIN", "LOGIN", "CRAM-MD5"}), "alice", "pw", "auth"),
              1);
    ASSERT_GE(received_.size(), 2u);
    EXPECT_EQ(received_[1], "AUTH CRAM-MD5");
    EXPECT_THAT(Logged(kLogProgress), ::testing::Contains("Sending AUTH CRAM-MD5"));
    EXPECT_THAT(Logged(kLogDebug), ::testing::IsSupersetOf({"+OK", "PLAIN", "LOGIN", "CRAM-MD5"}));

    EXPECT_EQ(Login(ListThenAccept("AUTH", {"X-PLAINTEXT"}), "alice", "pw", "AUTH"), 1);
    ASSERT_GE(received_.size(), 2u);
    EXPECT_EQ(received_[1], "AUTH PLAIN");
}

TEST_F(UpstreamLoginTest, CapaSaslLineChoosesTheMechanismAndALaterLineWins) {
    EXPECT_EQ(Login(ListThenAccept("CAPA", {"TOP", "SASL CRAM-MD5", "UIDL", "SASL PLAIN LOGIN"}),
                    "alice", "pw", "sasl"),
              1);
    ASSERT_GE(received_.size(), 2u);
    EXPECT_EQ(received_[1], "AUTH LOGIN");
}

// The oauth2 method hands the session's access token to the preferred token
// mechanism of the CAPA SASL line, as the initial response of AUTH; a
// server offering only password mechanisms gets no AUTH at all.
TEST_F(UpstreamLoginTest, Oauth2MethodSendsTheTokenWithThePreferredTokenMechanism) {
    auto acceptsInitialResponse = [](std::vector<std::string> capabilities) {
        return [capabilities](ScriptedPeer& peer) {
            if (peer.ReadLine() != "CAPA") return;
            peer.Send("+OK");
            for (const std::string& line : capabilities) peer.Send(line);
            peer.Send(".");
            if (StartsWith(peer.ReadLine(), "AUTH ")) peer.Send("+OK logged in");
        };
    };
    EXPECT_EQ(Login(acceptsInitialResponse({"SASL PLAIN XOAUTH2 OAUTHBEARER"}), "alice", "tok",
                    "OAUTH2", "", "mail.example"),
              1);
    ASSERT_EQ(received_.size(), 2u);
    ASSERT_TRUE(StartsWith(received_[1], "AUTH OAUTHBEARER "));
    const std::string sent = Base64Decode(received_[1].substr(17));
    EXPECT_TRUE(StartsWith(sent, "n,a=alice,\x01host=mail.example\x01port=")) << sent;
    EXPECT_TRUE(sent.ends_with(std::string("\x01") + "auth=Bearer tok\x01\x01")) << sent;

    EXPECT_EQ(Login(acceptsInitialResponse({"SASL PLAIN XOAUTH2"}), "alice", "tok", "oauth2"), 1);
    ASSERT_EQ(received_.size(), 2u);
    EXPECT_EQ(Base64Decode(received_[1].substr(13)),
              std::string("user=alice\x01") + "auth=Bearer tok\x01\x01");

    EXPECT_EQ(Login(acceptsInitialResponse({"SASL PLAIN CRAM-MD5"}), "alice", "tok", "oauth2"), 0);
    EXPECT_THAT(received_, ElementsAre("CAPA"));
    EXPECT_THAT(Logged(kLogFailure),
                ::testing::Contains("The server offers no OAuth 2.0 login (XOAUTH2, OAUTHBEARER)"));
}

TEST_F(UpstreamLoginTest, AuthCommandRefusedIsLogged) {
    EXPECT_EQ(Login(Replies({{"AUTH", "-ERR unknown command"}}), "alice", "pw", "auth"), 0);
    EXPECT_THAT(Logged(kLogError), ElementsAre("-ERR unknown command"));
}

TEST_F(UpstreamLoginTest, NoUsableMechanismEndsQuietly) {
    EXPECT_EQ(Login(ListThenAccept("AUTH", {"GSSAPI", "NTLM"}), "alice", "pw", "auth"), 0);
    EXPECT_THAT(received_, ElementsAre("AUTH"));
    for (const LogEntry& entry : entries_) EXPECT_EQ(entry.level, kLogDebug) << entry.text;
}

// A server that names no SASL line, or refuses CAPA, ends the login without
// a single line in the log (with the protocol trace off).
TEST(UpstreamLoginQuiet, CapaWithoutSaslOrRefusedLogsNothing) {
    LogCapture log(/*debug=*/false);
    ASSERT_TRUE(log.opened());
    const std::vector<ScriptedServer::Script> scripts = {
        ListThenAccept("CAPA", {"TOP", "UIDL", "USER"}),
        Replies({{"CAPA", "-ERR no capabilities"}}),
    };
    for (const auto& script : scripts) {
        ScriptedServer server(script);
        const size_t mark = log.Mark();
        Connection upstream = ConnectUpstreamForTest(server.port());
        ASSERT_TRUE(upstream.open());
        EXPECT_EQ(UpstreamLogin(upstream, "alice", "pw", "SASL", ""), 0);
        EXPECT_THAT(log.Entries(upstream.slot(), mark), IsEmpty());
        upstream.Close();
        server.Join();
        EXPECT_THAT(server.received(), ElementsAre("CAPA"));
    }
}

// A server that drops the connection in the middle of its list: the login
// ends with 0 instead of waiting for the "." that never comes.
TEST_F(UpstreamLoginTest, ListCutOffByTheServerFails) {
    EXPECT_EQ(Login(
                  [](ScriptedPeer& peer) {
                      peer.ReadLine();
                      peer.Send("+OK");
                      peer.Send("PLAIN");
                      peer.HangUp();
                  },
                  "alice", "pw", "auth"),
              0);
    EXPECT_THAT(received_, ElementsAre("AUTH"));
}

// ---- DIGEST-MD5 --------------------------------------------------------------

struct DigestServer {
    std::string challenge;      // sent base64-encoded after "AUTH DIGEST-MD5"
    std::string password;       // what the server believes
    std::string realmInA1;      // the realm the server hashes with
    std::string rspauthPrefix;  // "rspauth=" normally
    bool wrongRspauth = false;
    std::map<std::string, std::string>* seen = nullptr;  // the client's directives
    bool* responseValid = nullptr;
};

// A DIGEST-MD5 server: checks the client's response against its own
// computation and proves itself with rspauth, as RFC 2831 has it.
ScriptedServer::Script DigestMd5(DigestServer s) {
    return [s](ScriptedPeer& peer) {
        if (peer.ReadLine() != "AUTH DIGEST-MD5") return;
        peer.Send("+ " + Base64Encode(s.challenge));
        const std::string answer = Base64Decode(peer.ReadLine());
        auto d = sasltest::Directives(answer);
        if (s.seen) *s.seen = d;
        const std::string expected = sasltest::ServerDigestValue(d, s.realmInA1, s.password, false);
        if (s.responseValid) *s.responseValid = d["response"] == expected;
        if (d["response"] != expected) {
            peer.Send("-ERR [AUTH] Authentication failed.");
            return;
        }
        std::string rspauth = sasltest::ServerDigestValue(d, s.realmInA1, s.password, true);
        if (s.wrongRspauth) rspauth[0] = rspauth[0] == '0' ? '1' : '0';
        peer.Send("+ " + Base64Encode(s.rspauthPrefix + rspauth));
        if (!peer.ReadLine().empty()) return;
        peer.Send("+OK Logged in.");
    };
}

constexpr const char* kDovecotStyleChallenge =
    "realm=\"example.org\",nonce=\"OA6MG9tEQGm2hh+/==\",qop=\"auth\",charset=\"utf-8\","
    "algorithm=\"md5-sess\"";

TEST_F(UpstreamLoginTest, DigestMd5FullExchange) {
    std::map<std::string, std::string> seen;
    bool valid = false;
    EXPECT_EQ(Login(DigestMd5({kDovecotStyleChallenge, "pass word", "example.org",
                               "rspauth=", false, &seen, &valid}),
                    "alice", "pass word", "Digest-MD5"),
              1);
    EXPECT_TRUE(valid);
    EXPECT_EQ(seen["username"], "alice");
    EXPECT_EQ(seen["realm"], "example.org");
    EXPECT_EQ(seen["nonce"], "OA6MG9tEQGm2hh+/==");
    EXPECT_EQ(seen["nc"], "00000001");
    EXPECT_EQ(seen["qop"], "auth");
    EXPECT_EQ(seen["digest-uri"], "pop/example.org");
    EXPECT_EQ(seen["cnonce"].size(), 32u);
    EXPECT_EQ(received_.back(), "");  // the empty answer to rspauth
    EXPECT_THAT(Logged(kLogProgress), ElementsAre("Sending AUTH DIGEST-MD5"));
    EXPECT_THAT(Logged(kLogOutcome), ElementsAre("POP3 Authentication established"));
    const auto debug = Logged(kLogDebug);
    ASSERT_EQ(debug.size(), 3u);
    EXPECT_EQ(debug[0], kDovecotStyleChallenge);
    EXPECT_EQ(debug[1].rfind("Challenge: username=\"alice\",realm=\"example.org\",nonce=", 0), 0u)
        << debug[1];
    // Both digests are kept out of the log: each is worth a dictionary attack.
    EXPECT_NE(debug[1].find(",response=***,qop=auth"), std::string::npos) << debug[1];
    EXPECT_EQ(debug[2], "rspauth=***");
}

// The order of the response's directives, and its unquoted nc, response and
// qop, are fixed.
TEST_F(UpstreamLoginTest, DigestMd5ResponseTextLayout) {
    std::map<std::string, std::string> seen;
    Login(
        DigestMd5({kDovecotStyleChallenge, "pw", "example.org", "rspauth=", false, &seen, nullptr}),
        "alice", "pw", "digest-md5", "", "mail.example.org");
    ASSERT_GE(received_.size(), 2u);
    const std::string text = Base64Decode(received_[1]);
    EXPECT_EQ(text,
              "username=\"alice\",realm=\"example.org\",nonce=\"OA6MG9tEQGm2hh+/==\","
              "nc=00000001,cnonce=\"" +
                  seen["cnonce"] + "\",digest-uri=\"pop/mail.example.org\",response=" +
                  seen["response"] + ",qop=auth");
}

TEST_F(UpstreamLoginTest, DigestMd5ChallengeVariantsThatWork) {
    const struct {
        const char* name;
        const char* challenge;
        const char* realm;
        const char* host;
        const char* uri;
    } cases[] = {
        // No qop offered: "auth" is assumed.
        {"no qop", "realm=\"r.example\",nonce=\"abc\",algorithm=md5-sess", "r.example", "",
         "pop/r.example"},
        // algorithm last, unquoted, no comma after it.
        {"algorithm last", "nonce=\"abc\",realm=\"r.example\",qop=\"auth\",algorithm=md5-sess",
         "r.example", "", "pop/r.example"},
        // A qop list: the first entry is taken.
        {"qop list", "realm=\"r\",nonce=\"abc\",qop=\"auth,auth-int\",algorithm=\"md5-sess\"", "r",
         "", "pop/r"},
        // No realm at all: the empty realm goes into A1; the host names the service.
        {"no realm", "nonce=\"abc\",qop=\"auth\",algorithm=md5-sess", "", "mail.example",
         "pop/mail.example"},
        {"empty realm", "realm=\"\",nonce=\"abc\",qop=\"auth\",algorithm=md5-sess", "", "127.0.0.1",
         "pop/127.0.0.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<std::string, std::string> seen;
        bool valid = false;
        EXPECT_EQ(Login(DigestMd5({c.challenge, "pw", c.realm, "rspauth=", false, &seen, &valid}),
                        "alice", "pw", "DIGEST-MD5", "", c.host),
                  1);
        EXPECT_TRUE(valid);
        EXPECT_EQ(seen["qop"], "auth");
        EXPECT_EQ(seen["realm"], c.realm);
        EXPECT_EQ(seen["digest-uri"], c.uri);
        EXPECT_THAT(Logged(kLogError), IsEmpty());
    }
}

TEST_F(UpstreamLoginTest, DigestMd5FailuresAndTheirMessages) {
    const std::string good = kDovecotStyleChallenge;
    const struct {
        const char* name;
        DigestServer server;
        const char* message;
        size_t linesSent;  // AUTH, then the response, then the empty line
    } cases[] = {
        {"md5",
         {"realm=\"r\",nonce=\"abc\",qop=\"auth\",algorithm=md5", "pw", "r", "rspauth="},
         "Not supportet hash algorithm 'md5'",
         1},
        {"no algorithm",
         {"realm=\"r\",nonce=\"abc\",qop=\"auth\"", "pw", "r", "rspauth="},
         "Missing 'algorithm' in Challenge",
         1},
        {"no nonce",
         {"realm=\"r\",qop=\"auth\",algorithm=md5-sess", "pw", "r", "rspauth="},
         "Missing 'nonce' in Challenge",
         1},
        {"auth-int",
         {"realm=\"r\",nonce=\"abc\",qop=\"auth-int\",algorithm=md5-sess", "pw", "r", "rspauth="},
         "Not supportet hash quality protection 'auth-int'",
         1},
        {"wrong password",
         {good, "other", "example.org", "rspauth="},
         "AUTH/1 Handshake/Client Challenge failure",
         2},
        {"no rspauth", {good, "pw", "example.org", "rspx="}, "AUTH/2 rspauth failure", 2},
        {"rspauth mismatch",
         {good, "pw", "example.org", "rspauth=", /*wrongRspauth=*/true},
         "AUTH/2 Response hash failure",
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Login(DigestMd5(c.server), "alice", "pw", "digest-md5"), 0);
        EXPECT_THAT(Logged(kLogError), ElementsAre(c.message));
        EXPECT_THAT(Logged(kLogOutcome), IsEmpty());
        EXPECT_EQ(received_.size(), c.linesSent);
    }
}

// Logins from many sessions at once each get a cnonce of their own.
TEST(UpstreamLoginThreads, ConcurrentDigestLoginsSucceedWithDistinctCnonces) {
    LogCapture log;
    ASSERT_TRUE(log.opened());
    constexpr int kSessions = 6;
    std::vector<std::map<std::string, std::string>> seen(kSessions);
    std::vector<int> results(kSessions, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kSessions; ++i) {
        threads.emplace_back([&, i] {
            ScriptedServer server(DigestMd5(
                {kDovecotStyleChallenge, "pw", "example.org", "rspauth=", false, &seen[i]}));
            Connection upstream = ConnectUpstreamForTest(server.port());
            results[i] = UpstreamLogin(upstream, "alice", "pw", "DIGEST-MD5", "");
            upstream.Close();
            server.Join();
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<std::string> cnonces;
    for (int i = 0; i < kSessions; ++i) {
        EXPECT_EQ(results[i], 1) << i;
        cnonces.insert(seen[i]["cnonce"]);
    }
    // 128 random bits each: no two logins share one.
    EXPECT_EQ(cnonces.size(), size_t(kSessions));
}

TEST(UpstreamLoginNoConnection, SendsNothingAndFails) {
    LogCapture log;
    ASSERT_TRUE(log.opened());
    Connection none;
    EXPECT_EQ(UpstreamLogin(none, "alice", "pw", "", ""), 0);
    EXPECT_EQ(UpstreamLogin(none, "alice", "pw", "auth", ""), 0);
    EXPECT_EQ(UpstreamSaslLogin(none, *FindSaslMechanism("PLAIN", SaslProof::kPassword),
                                {"alice", "pw", ""}),
              0);
    EXPECT_EQ(log.Mark(), 0u) << "nothing is logged";
}

}  // namespace
