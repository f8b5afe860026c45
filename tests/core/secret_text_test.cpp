// What the console and the log may show of a protocol line.
#include "core/secret_text.h"

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/settings.h"

namespace {

TEST(SecretText, CommandsLoseTheirSecretPartOnly) {
    const struct {
        const char* line;
        const char* shown;
    } cases[] = {
        {"PASS secret", "PASS ***"},
        {"pass secret with spaces#envelope", "pass ***"},
        {"PASS  secret", "PASS ***"},
        {"PASS", "PASS"},
        {"APOP alice 5f4dcc3b5aa765d61d8327deb882cf99", "APOP alice ***"},
        {"AUTH PLAIN AGFsaWNlAHNlY3JldA==", "AUTH PLAIN ***"},
        {"AUTH XOAUTH2 dXNlcj1hAWF1dGg9QmVhcmVyIHQBAQ==", "AUTH XOAUTH2 ***"},
        {"AUTH CRAM-MD5", "AUTH CRAM-MD5"},
        {"AUTH", "AUTH"},
        {"AUTHINFO PASS secret", "AUTHINFO PASS ***"},
        {"authinfo pass secret", "authinfo pass ***"},
        {"AUTHINFO USER news.example.com#alice", "AUTHINFO USER news.example.com#alice"},
        {"AUTHINFO SASL PLAIN AGFsaWNlAHNlY3JldA==", "AUTHINFO SASL PLAIN ***"},
        {"AUTHINFO SASL DIGEST-MD5", "AUTHINFO SASL DIGEST-MD5"},
        {"USER pop.example.com#alice", "USER pop.example.com#alice"},
        {"PASSWORD is not a command", "PASSWORD is not a command"},
        {"+OK 2 messages", "+OK 2 messages"},
        {"RETR 1", "RETR 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(ShownLine(c.line), c.shown) << c.line;
}

TEST(SecretText, SaslExchangeShowsOnlyFinalReplies) {
    const struct {
        const char* line;
        const char* shown;
    } cases[] = {
        {"+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2U+", "+ ***"},
        {"AGFsaWNlAHNlY3JldA==", "***"},
        {"YWxpY2UgZjFiYjM1Y2E2ZmVhYjFkYzI3", "***"},
        {"383 cmVhbG09ImV4YW1wbGUiLG5vbmNlPSJ4In0=", "383 ***"},
        {"*", "***"},
        {"", "***"},
        {"+OK Logged in.", "+OK Logged in."},
        {"-ERR [AUTH] Authentication failed.", "-ERR [AUTH] Authentication failed."},
        {"281 Authentication accepted", "281 Authentication accepted"},
        {"283 cnNwYXV0aD0=", "283 cnNwYXV0aD0="},
        {"481 Authentication failed", "481 Authentication failed"},
        {"AUTH PLAIN AGFsaWNlAHNlY3JldA==", "AUTH PLAIN ***"},
    };
    for (const auto& c : cases) EXPECT_EQ(ShownLine(c.line, true), c.shown) << c.line;
}

// Every level goes through the same masking: a quoted command in any log
// line keeps its secret out of the file.
TEST(SecretText, LogLinesOfEveryLevelAreMasked) {
    Settings = SettingsRecord{};
    Settings.LogSession = Settings.LogFilter = Settings.LogDebug = true;
    for (int level : {kLogNotice, kLogError, kLogFailure, kLogConnection, kLogOutcome, kLogDebug}) {
        const std::string line = ComposeLogLine("PASS hunter2", 3, level);
        EXPECT_EQ(line.find("hunter2"), std::string::npos) << level;
        EXPECT_TRUE(line.ends_with(": PASS ***")) << line;
    }
    Settings = SettingsRecord{};
}

}  // namespace
