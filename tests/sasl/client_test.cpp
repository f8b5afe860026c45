#include "sasl/client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sasl/sasl_test_support.h"

namespace {

using sasltest::RunScript;

// The separator of the OAuth 2.0 messages, spelt out apart from the code's.
const std::string kA(1, static_cast<char>(1));

// `name` nullptr: no mechanism expected.
void ExpectMechanism(const SaslMechanism* mechanism, const char* name) {
    if (name == nullptr) {
        EXPECT_EQ(mechanism, nullptr);
    } else {
        ASSERT_NE(mechanism, nullptr);
        EXPECT_EQ(mechanism->name, name);
    }
}

TEST(SaslChoice, TheStrongestListedMechanismWins) {
    const struct {
        const char* list;
        const char* chosen;  // nullptr: none
    } cases[] = {
        {"PLAIN\bLOGIN\bCRAM-MD5\b", "CRAM-MD5"},  // an AUTH list as POP3 gathers it
        {" PLAIN LOGIN CRAM-MD5 DIGEST-MD5", "CRAM-MD5"},
        {" DIGEST-MD5 LOGIN PLAIN", "DIGEST-MD5"},  // the order of the list does not count
        {" PLAIN LOGIN", "LOGIN"},
        {" PLAIN", "PLAIN"},
        {"X-PLAINTEXT\b", "PLAIN"},          // a name found inside another is enough
        {" plain login cram-md5", nullptr},  // names are case-sensitive in a list
        {" GSSAPI XOAUTH2", nullptr},        // a token mechanism never serves a password
        {"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        ExpectMechanism(PreferredSaslMechanism(c.list, SaslProof::kPassword), c.chosen);
    }
}

TEST(SaslChoice, TokenLoginsPreferOauthBearerAndNeverTakeAPasswordMechanism) {
    const struct {
        const char* list;
        const char* chosen;  // nullptr: none
    } cases[] = {
        {" PLAIN XOAUTH2 OAUTHBEARER", "OAUTHBEARER"},
        {" OAUTHBEARER XOAUTH2", "OAUTHBEARER"},
        {" PLAIN XOAUTH2", "XOAUTH2"},
        {" PLAIN LOGIN CRAM-MD5 DIGEST-MD5", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        ExpectMechanism(PreferredSaslMechanism(c.list, SaslProof::kBearerToken), c.chosen);
    }
    ExpectMechanism(FindSaslMechanism("oauthbearer", SaslProof::kBearerToken), "OAUTHBEARER");
    ExpectMechanism(FindSaslMechanism("XOAUTH2", SaslProof::kPassword), nullptr);
    ExpectMechanism(FindSaslMechanism("PLAIN", SaslProof::kBearerToken), nullptr);
}

TEST(SaslChoice, NamedMechanismsAreFoundWithoutRegardToCase) {
    const struct {
        const char* name;
        const char* found;  // nullptr: none
    } cases[] = {
        {"digest-md5", "DIGEST-MD5"},
        {"Cram-Md5", "CRAM-MD5"},
        {"PLAIN", "PLAIN"},
        {"login", "LOGIN"},
        {"APOP", nullptr},
        {"AUTH", nullptr},
        {"", nullptr},
        {"PLAIN ", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectMechanism(FindSaslMechanism(c.name, SaslProof::kPassword), c.found);
    }
}

// The token goes in the initial response; a refused token comes back as an
// error challenge, which is answered so that the server can give its
// verdict (XOAUTH2: an empty response), and nothing follows after that.
TEST(SaslXoauth2, InitialResponseAndTheAnswerToAnErrorChallenge) {
    const std::string error = R"({"status":"401","schemes":"bearer"})";
    RunScript(sasltest::Exchange("XOAUTH2", {"alice@example.org", "", "ya29.token"}),
              {
                  {"",
                   SaslStatus::kRespondLast,
                   "user=alice@example.org" + kA + "auth=Bearer ya29.token" + kA + kA,
                   {}},
                  {error, SaslStatus::kRespondLast, "", {{kLogFailure, "Token refused: " + error}}},
                  {"again", SaslStatus::kFailed, "", {}},
              });
}

// RFC 7628, 3.1 and 3.2.3: the GS2 header names the account as a saslname
// ("=" and "," escaped), host and port follow, and an error challenge is
// answered with a lone ^A. A control character in the server's report does
// not reach the log as such.
TEST(SaslOauthBearer, GsHeaderHostPortTokenAndTheDummyAnswer) {
    SaslExchange exchange = sasltest::Exchange("OAUTHBEARER", {"user=a,b@example.org", "", "tok"},
                                               "pop", "mail.example");
    exchange.port = 995;
    RunScript(exchange, {
                            {"",
                             SaslStatus::kRespondLast,
                             "n,a=user=3Da=2Cb@example.org," + kA + "host=mail.example" + kA +
                                 "port=995" + kA + "auth=Bearer tok" + kA + kA,
                             {}},
                            {"{\"status\":\"invalid_token\"}\n",
                             SaslStatus::kRespondLast,
                             kA,
                             {{kLogFailure, "Token refused: {\"status\":\"invalid_token\"} "}}},
                            {"", SaslStatus::kFailed, "", {}},
                        });
    // Without a host or port those pairs are left out.
    RunScript(sasltest::Exchange("OAUTHBEARER", {"bob", "", "tok"}),
              {{"", SaslStatus::kRespondLast, "n,a=bob," + kA + "auth=Bearer tok" + kA + kA, {}}});
}

// RFC 4616, section 4: authorisation identity empty, then account and password.
TEST(SaslPlain, Rfc4616Example) {
    RunScript(sasltest::Exchange("PLAIN", {"tim", "tanstaaftanstaaf", ""}),
              {
                  {"", SaslStatus::kRespond, std::string("\0tim\0tanstaaftanstaaf", 21), {}},
                  // A further challenge counts as accepted, as POP3 always took it.
                  {"anything", SaslStatus::kAccepted, "", {}},
              });
}

// RFC 2195, section 2: the password keys the HMAC over the challenge.
TEST(SaslCramMd5, Rfc2195Example) {
    RunScript(sasltest::Exchange("CRAM-MD5", {"tim", "tanstaaftanstaaf", ""}),
              {
                  {"<1896.697170952@postoffice.reston.mci.net>",
                   SaslStatus::kRespond,
                   "tim b913a602c7eda7a495b4e6e7334d3890",
                   {{kLogProgress, "Sending Username/Password"}}},
                  {"", SaslStatus::kAccepted, "", {}},
              });
}

TEST(SaslLogin, AccountThenPasswordThenNothingMore) {
    RunScript(
        sasltest::Exchange("login", {"alice", "pass word", ""}),
        {
            {"Username:", SaslStatus::kRespond, "alice", {{kLogProgress, "Sending Username"}}},
            {"Password:",
             SaslStatus::kRespondLast,
             "pass word",
             {{kLogProgress, "Sending Password"}}},
            {"Again:", SaslStatus::kFailed, "", {}},
        });
}

TEST(SaslExchange, WithoutMechanismEveryStepFails) {
    SaslExchange exchange;
    const SaslStep step = SaslNextStep(exchange, "challenge");
    EXPECT_EQ(step.status, SaslStatus::kFailed);
    EXPECT_TRUE(step.log.empty());
    EXPECT_TRUE(step.response.empty());
}

// RFC 1939, section 7: the digest of time stamp and secret.
TEST(Apop, Rfc1939Example) {
    EXPECT_EQ(ApopDigest("<1896.697170952@dbc.mtview.ca.us>", "tanstaaf"),
              "c4c9334bac560ecc979e58001b3e22fb");
}

}  // namespace
