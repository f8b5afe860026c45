#include "core/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "core/temp_dir.h"
#include "platform/files.h"

namespace {

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CloseLog();
        Settings = SettingsRecord{};
        Settings.LogFilter = Settings.LogSession = true;
        ASSERT_TRUE(OpenLog(dir_.path() + "TRAWLBOX.LOG"));
    }
    void TearDown() override {
        CloseLog();
        unsetenv("OrvelLOG");
    }
    std::string Contents() { return dir_.Read("TRAWLBOX.LOG"); }

    TempDir dir_;
};

TEST_F(LogTest, LineFormatWithMarkerTimeAndSessionField) {
    WriteLog("Loading filter configuration", -1, kLogProgress);
    WriteLog("seven", 7, kLogNotice);
    WriteLog("hundred", 100, kLogError);
    WriteLog("zero", 0, kLogFailure);
    std::string text = Contents();
    EXPECT_TRUE(std::regex_search(
        text, std::regex(R"(^\+ \d\d:\d\d:\d\d     : Loading filter configuration\n)")));
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n  \d\d:\d\d:\d\d  #07: seven\n)")));
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n! \d\d:\d\d:\d\d  #100: hundred\n)")));
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n\? \d\d:\d\d:\d\d  #00: zero\n$)")));
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST_F(LogTest, SwitchesAndUnknownLevels) {
    struct Case {
        int level;
        bool session, filter, debug;
        bool written;
    } cases[] = {
        {kLogNever, 1, 1, 1, false},      {42, 1, 1, 1, false},
        {kLogSpare, 0, 0, 0, true},       {kLogListen, 0, 1, 1, false},
        {kLogConnection, 0, 1, 1, false}, {kLogListen, 1, 0, 0, true},
        {kLogFilter, 1, 0, 1, false},     {kLogFilter, 0, 1, 0, true},
        {kLogDebug, 1, 1, 0, false},      {kLogDebug, 0, 0, 1, true},
        {kLogOutcome, 0, 0, 0, true},
    };
    for (const Case& c : cases) {
        Settings.LogSession = c.session;
        Settings.LogFilter = c.filter;
        Settings.LogDebug = c.debug;
        EXPECT_EQ(!ComposeLogLine("x", 1, c.level).empty(), c.written) << "level " << c.level;
    }
    Settings.LogSession = Settings.LogFilter = Settings.LogDebug = true;
    EXPECT_EQ(ComposeLogLine("x", 1, kLogFilter).substr(0, 2), "- ");
    EXPECT_EQ(ComposeLogLine("x", 1, kLogDebug).substr(0, 2), "  ");
}

TEST_F(LogTest, BannerDateStylesAndDebugLine) {
    unsetenv("OrvelLOG");
    EXPECT_TRUE(std::regex_match(
        LogDate(),
        std::regex(
            R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat) \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d)")));
    std::string fallback = LogDate();
    setenv("OrvelLOG", "xp", 1);
    EXPECT_TRUE(std::regex_match(LogDate(), std::regex(R"(\d\d\.\d\d\.\d{4})")));
    setenv("OrvelLOG", "FD", 1);
    EXPECT_EQ(LogDate(), fallback);

    Settings.LogDebug = false;
    EXPECT_EQ(LogBanner().find('\n'), std::string::npos);
    EXPECT_TRUE(LogBanner().starts_with("----------  " + fallback + ", Trawlbox v0.25"));
    Settings.LogDebug = true;
    EXPECT_TRUE(std::regex_search(
        LogBanner(), std::regex(R"([^\r]\n  \d\d:\d\d:\d\d     : Debug-Mode activated$)")));
}

std::string Bracketed(std::string_view line) {
    return "[" + std::string(line) + "]";
}

// Without a terminal the log also goes to standard error, for a service
// manager's journal: the same bytes as the file, only while switched on.
// Both pass through the conversion into the reader's character set, and a
// text's own CR LF breaks become LF like the line ends.
TEST_F(LogTest, MirrorAndFileGetTheSameConvertedLines) {
    Settings.LogDebug = true;
    ::testing::internal::CaptureStderr();
    WriteLog("before", 3, kLogNotice);
    MirrorLogToStandardError(true);
    WriteLogBanner();
    WriteLog("mirrored", 3, kLogNotice);
    WriteLog("never written", 3, kLogNever);
    SetLogTextConversion(Bracketed);
    WriteLog("block\r\n\tsecond", 3, kLogNotice);
    SetLogTextConversion(nullptr);
    MirrorLogToStandardError(false);
    WriteLog("after", 3, kLogNotice);
    const std::string mirrored = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(
        mirrored, std::regex(R"(----------  [^\r\n]*\n  \d\d:\d\d:\d\d     : )"
                             R"(Debug-Mode activated\n  \d\d:\d\d:\d\d  #03: mirrored\n)"
                             R"(\[  \d\d:\d\d:\d\d  #03: block\n\tsecond\]\n)")))
        << mirrored;
    const std::string file = Contents();
    EXPECT_EQ(file.find('\r'), std::string::npos);
    EXPECT_NE(file.find(mirrored), std::string::npos);
    EXPECT_TRUE(file.starts_with("  ")) << "before";
    EXPECT_TRUE(file.ends_with("#03: after\n"));
}

TEST_F(LogTest, SecondHolderCannotOpenTheSameLog) {
    // The lock is per open file: a second open of the same path fails while held.
    ExclusiveAppendFile other;
    EXPECT_FALSE(other.Open(dir_.path() + "TRAWLBOX.LOG"));
    CloseLog();
    EXPECT_TRUE(other.Open(dir_.path() + "TRAWLBOX.LOG"));
}

TEST_F(LogTest, LinesOfManyThreadsNeverMix) {
    constexpr int kThreads = 8, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string text(200, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) WriteLog(text, t, kLogProgress);
        });
    }
    for (auto& thread : threads) thread.join();
    std::istringstream lines(Contents());
    std::string line;
    int count = 0;
    std::regex whole(R"(\+ \d\d:\d\d:\d\d  #0(\d): ([a-h])\2{199})");
    while (std::getline(lines, line)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, whole)) << line.substr(0, 60);
        EXPECT_EQ(match[1].str()[0] - '0', match[2].str()[0] - 'a');
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
