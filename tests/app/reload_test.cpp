#include "app/reload.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/temp_dir.h"
#include "filter/decision.h"
#include "filter/relay_list.h"
#include "net/access_list.h"
#include "platform/ip_address.h"

namespace {

// Two kill files that judge the same message differently, and two
// configurations with different live keys.
const char kKillDele[] =
    "--- ALLE\r\n\"*pills*\" \xEAs \xAF"
    "DELE\r\n";
const char kKillSkip[] = "--- ALLE\r\n\"*pills*\" \xEAs \xAFSKIP\r\n";
const char kConfigA[] = "Pop3Timeout=60\r\nPop3PortIncoming=11110\r\nKILLFILE=KILLFILE.CFG\r\n";
const char kConfigB[] = "Pop3Timeout=30\r\nPop3PortIncoming=22220\r\nKILLFILE=KILLFILE.CFG\r\n";

class ReloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CloseLog();
        dir_.Write("TRAWLBOX.CFG", kConfigA);
        dir_.Write("KILLFILE.CFG", kKillDele);
        dir_.Write("ACCESS.IP", "127.0.0.1\r\n");
        SettingsLoad load = LoadSettingsFrom(dir_.path());
        ASSERT_TRUE(load.logOpened) << load.logProblem;
        PublishSettings(&Settings);
        ASSERT_TRUE(ReloadConfiguration());
    }
    void TearDown() override {
        CloseLog();
        PublishSettings(nullptr);
        Settings = SettingsRecord{};
        ClearKillTable();
        PublishAccessList({});
        PublishRelayBlacklist({});
        FilterLoaded = false;
    }

    static std::string Verdict() {
        FilterSubject subject;
        subject.folder = "me@example.org";
        subject.subject = "cheap pills";
        std::shared_ptr<const KillSet> set = CurrentKillSet();
        std::vector<FilterMatch> matches = DecideAction(subject, *set);
        return matches.size() == 1 ? matches[0].action
                                   : "matches: " + std::to_string(matches.size());
    }

    static bool LocalhostAllowed() {
        IpAddress address;
        return ParseIpAddress("127.0.0.1", address) && IsAddressAllowed(address);
    }

    TempDir dir_;
};

// Sessions judge, read the time-outs and the access list while reloads swap
// all three; each judgement sees one whole set. Run under ThreadSanitizer by
// the test command.
TEST_F(ReloadTest, SessionsJudgeWhileReloadsSwapTheSet) {
    constexpr int kJudges = 3;
    constexpr int kReloads = 40;
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::atomic<int> judged{0};
    std::vector<std::thread> judges;
    for (int i = 0; i < kJudges; ++i) {
        judges.emplace_back([&] {
            // Bounded, and on at least until the reloads are done.
            for (int round = 0; round < 1000000 && !done.load(); ++round) {
                std::string verdict = Verdict();
                int32_t timeout = CurrentSettings().Pop3Timeout;
                if ((verdict != "DELE" && verdict != "SKIP") || (timeout != 60 && timeout != 30) ||
                    !LocalhostAllowed()) {
                    ++wrong;
                }
                ++judged;
            }
        });
    }
    for (int i = 1; i <= kReloads; ++i) {
        bool odd = i % 2 == 1;
        dir_.Write("KILLFILE.CFG", odd ? kKillSkip : kKillDele);
        dir_.Write("TRAWLBOX.CFG", odd ? kConfigB : kConfigA);
        EXPECT_TRUE(ReloadConfiguration());
        EXPECT_EQ(Verdict(), odd ? "SKIP" : "DELE");
        EXPECT_EQ(CurrentSettings().Pop3Timeout, odd ? 30 : 60);
    }
    done = true;
    for (std::thread& judge : judges) judge.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(judged.load(), 0);
    // The port waits for a restart; the live key took the file's value.
    EXPECT_EQ(CurrentSettings().Pop3PortIncoming, 11110);
}

TEST_F(ReloadTest, ABrokenConfigurationIsRefusedWhole) {
    std::shared_ptr<const KillSet> before = CurrentKillSet();
    dir_.Write("TRAWLBOX.CFG", kConfigB);
    dir_.Write("ACCESS.IP", "10.0.0.1\r\n");
    dir_.Write("KILLFILE.CFG",
               "--- ALLE\r\n\"*pills*\" \xEAs \xAF"
               "DELE\r\n"
               "\"*prize*\" \xEAs \xAFKILL\r\n");
    EXPECT_FALSE(ReloadConfiguration());
    // Nothing of the new files took effect: not the kill file, the list
    // or the keys.
    EXPECT_EQ(CurrentKillSet().get(), before.get());
    EXPECT_TRUE(LocalhostAllowed());
    EXPECT_EQ(CurrentSettings().Pop3Timeout, 60);

    std::string log = dir_.Read("TRAWLBOX.LOG");
    std::string marker = ComposeLogLine("", -1, kLogFailure).substr(0, 2);
    for (std::string text : {dir_.path() + "KILLFILE.CFG:3: unknown action word \"KILL\" (known: "
                                           "DELE, SKIP, RETR, HEAD)",
                             std::string("Reload refused: the running configuration is kept")}) {
        size_t at = log.find(text);
        ASSERT_NE(at, std::string::npos) << text << "\n" << log;
        size_t lineStart = log.rfind('\n', at) + 1;
        EXPECT_EQ(log.substr(lineStart, marker.size()), marker) << "logged at level 2: " << text;
    }
    EXPECT_LT(log.find("unknown action word"), log.find("Reload refused"));

    // Mended, the next reload takes it.
    dir_.Write("KILLFILE.CFG", kKillSkip);
    EXPECT_TRUE(ReloadConfiguration());
    EXPECT_EQ(Verdict(), "SKIP");
    EXPECT_FALSE(LocalhostAllowed());
    EXPECT_NE(dir_.Read("TRAWLBOX.LOG")
                  .find("Reloaded: 1 sections, 1 rules, 1 access entries, "
                        "0 relay entries"),
              std::string::npos);
}

}  // namespace
