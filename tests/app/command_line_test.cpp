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
    for (const char* word : {"-d DIR", "check", "test FILE", "--envelope ADDRESS", "--group NAME",
                             "--help", "--version", "quarantine", "show ID", "release ID"}) {
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    }
}

}  // namespace
