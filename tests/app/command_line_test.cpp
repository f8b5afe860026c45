#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

struct Parsed {
    bool ok = false;
    CommandLine line;
    std::string problem;
};

Parsed Parse(std::vector<std::string_view> arguments) {
    Parsed parsed;
    parsed.ok = ParseCommandLine(arguments, parsed.line, parsed.problem);
    return parsed;
}

TEST(CommandLineTest, CommandsWithTheDirectoryBeforeOrAfter) {
    struct Case {
        std::vector<std::string_view> arguments;
        Command command;
        std::string directory;
    } cases[] = {
        {{}, Command::kRun, ""},
        {{"-d", "/etc/trawlbox"}, Command::kRun, "/etc/trawlbox/"},
        {{"check", "-d", "conf/"}, Command::kCheck, "conf/"},
        {{"-d", "conf", "check"}, Command::kCheck, "conf/"},
        {{"--help"}, Command::kHelp, ""},
        {{"-h"}, Command::kHelp, ""},
        {{"--version"}, Command::kVersion, ""},
    };
    for (const Case& c : cases) {
        Parsed parsed = Parse(c.arguments);
        ASSERT_TRUE(parsed.ok) << parsed.problem;
        EXPECT_EQ(parsed.line.command, c.command);
        EXPECT_EQ(parsed.line.directory, c.directory);
    }
}

TEST(CommandLineTest, TestTakesOneFileAndOneOfItsOptions) {
    Parsed mail = Parse({"test", "m.eml", "--envelope", "me@example.org", "-d", "x"});
    ASSERT_TRUE(mail.ok) << mail.problem;
    EXPECT_EQ(mail.line.command, Command::kTest);
    EXPECT_EQ(mail.line.messageFile, "m.eml");
    EXPECT_EQ(mail.line.envelope, "me@example.org");
    EXPECT_EQ(mail.line.directory, "x/");

    Parsed news = Parse({"test", "--group", "de.test", "line.txt"});
    ASSERT_TRUE(news.ok) << news.problem;
    EXPECT_EQ(news.line.group, "de.test");
    EXPECT_EQ(news.line.messageFile, "line.txt");
}

TEST(CommandLineTest, OAuth2ActionsTakeTheirAccountAndOptions) {
    Parsed add = Parse({"oauth2", "add", "pop.example.org#me", "--provider", "custom",
                        "--client-id", "id", "--client-secret", "s", "--device-url", "d",
                        "--token-url", "t", "--scope", "a b", "-d", "conf"});
    ASSERT_TRUE(add.ok) << add.problem;
    EXPECT_EQ(add.line.command, Command::kOAuth2);
    EXPECT_EQ(add.line.oauthAction, OAuthAction::kAdd);
    EXPECT_EQ(add.line.account, "pop.example.org#me");
    EXPECT_EQ(add.line.provider, "custom");
    EXPECT_EQ(add.line.clientId, "id");
    EXPECT_EQ(add.line.clientSecret, "s");
    EXPECT_EQ(add.line.deviceUrl, "d");
    EXPECT_EQ(add.line.tokenUrl, "t");
    EXPECT_EQ(add.line.scope, "a b");
    EXPECT_EQ(add.line.directory, "conf/");

    Parsed list = Parse({"-d", "conf", "oauth2", "list"});
    ASSERT_TRUE(list.ok) << list.problem;
    EXPECT_EQ(list.line.oauthAction, OAuthAction::kList);

    Parsed remove = Parse({"oauth2", "remove", "h#a"});
    ASSERT_TRUE(remove.ok) << remove.problem;
    EXPECT_EQ(remove.line.oauthAction, OAuthAction::kRemove);
    EXPECT_EQ(remove.line.account, "h#a");
}

// The quarantine commands: an id typed after "show" must not be taken for a
// command of its own, and release takes every id given.
TEST(CommandLineTest, QuarantineCommandsTakeTheirIds) {
    Parsed list = Parse({"quarantine", "-d", "x"});
    ASSERT_TRUE(list.ok) << list.problem;
    EXPECT_EQ(list.line.command, Command::kQuarantine);
    EXPECT_TRUE(list.line.quarantineIds.empty());
    Parsed show = Parse({"-d", "x", "quarantine", "show", "check"});
    ASSERT_TRUE(show.ok) << show.problem;
    EXPECT_EQ(show.line.quarantineIds, std::vector<std::string>{"check"});
    Parsed release = Parse({"release", "ab12cd34", "-d", "x", "ef56gh78"});
    ASSERT_TRUE(release.ok) << release.problem;
    EXPECT_EQ(release.line.command, Command::kRelease);
    EXPECT_EQ(release.line.quarantineIds, (std::vector<std::string>{"ab12cd34", "ef56gh78"}));
    EXPECT_EQ(release.line.directory, "x/");
}

TEST(CommandLineTest, WrongCommandLinesSayWhatIsWrong) {
    struct Case {
        std::vector<std::string_view> arguments;
        const char* problem;
    } cases[] = {
        {{"chekc"}, "unknown command \"chekc\""},
        {{"--bogus"}, "unknown option \"--bogus\""},
        {{"check", "-x"}, "unknown option \"-x\""},
        {{"-d"}, "option -d needs a value"},
        {{"-d", ""}, "option -d needs a value"},
        {{"-d", "a", "-d", "b"}, "option -d given twice"},
        {{"check", "extra"}, "unexpected argument \"extra\""},
        {{"test"}, "test needs the FILE of a message"},
        {{"test", "a", "b"}, "test takes one FILE, not 2"},
        {{"check", "--group", "de.test"}, "option --group belongs to the test command"},
        {{"test", "m", "--group", "g", "--envelope", "e@x"},
         "--envelope and --group exclude each other"},
        {{"check", "test"}, "unexpected argument \"test\""},
        {{"oauth2"}, "oauth2 needs add, list or remove"},
        {{"oauth2", "ad"}, "unknown oauth2 action \"ad\" (add, list or remove)"},
        {{"oauth2", "add", "--provider", "google"}, "oauth2 add needs HOST#ACCOUNT"},
        {{"oauth2", "add", "h#a"}, "oauth2 add needs --provider microsoft, google or custom"},
        {{"oauth2", "remove"}, "oauth2 remove needs HOST#ACCOUNT"},
        {{"oauth2", "list", "h#a"}, "unexpected argument \"h#a\""},
        {{"oauth2", "list", "--scope", "s"}, "option --scope belongs to the oauth2 add command"},
        {{"check", "--provider", "google"}, "option --provider belongs to the oauth2 add command"},
        {{"oauth2", "add", "h#a", "--provider", "x", "--provider", "y"},
         "option --provider given twice"},
        {{"quarantine", "list"}, "unexpected argument \"list\""},
        {{"quarantine", "show"}, "quarantine show needs one ID"},
        {{"quarantine", "show", "a", "b"}, "quarantine show needs one ID"},
        {{"release"}, "release needs the ID of a kept message"},
    };
    for (const Case& c : cases) {
        Parsed parsed = Parse(c.arguments);
        EXPECT_FALSE(parsed.ok) << c.problem;
        EXPECT_EQ(parsed.problem, c.problem);
    }
}

TEST(CommandLineTest, UsageNamesEveryCommandAndOption) {
    std::string usage = UsageText();
    for (const char* word :
         {"-d DIR", "check", "test FILE", "--envelope ADDRESS", "--group NAME", "--help",
          "--version", "oauth2 add HOST#ACCOUNT", "--provider", "--client-id", "--client-secret",
          "--device-url", "--token-url", "--scope", "oauth2 list", "oauth2 remove HOST#ACCOUNT",
          "quarantine", "show ID", "release ID"}) {
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    }
}

}  // namespace
