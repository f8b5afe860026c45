#include "filter/relay_list.h"

#include <gtest/gtest.h>

#include <string>

#include "core/log.h"
#include "core/settings.h"
#include "core/temp_dir.h"

namespace {

class RelayListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CloseLog();
        Settings = SettingsRecord{};
        ASSERT_TRUE(OpenLog(dir_.path() + "TRAWLBOX.LOG"));
    }
    void TearDown() override {
        CloseLog();
        RelayBlacklist.clear();
    }
    void LoadBlacklist(const std::string& contents) {
        dir_.Write("TRAWLBOX.RBL", contents);
        LoadRelayBlacklistFrom(dir_.path());
    }

    TempDir dir_;
};

TEST_F(RelayListTest, MissingOrEmptyFileGetsItsHeaderAndListsNothing) {
    const std::string header =
        "# Trawlbox RelayBlacklist      #\r\n# Form: IP/CIDR <Space> Comment #\r\n";
    LoadRelayBlacklistFrom(dir_.path());  // missing
    EXPECT_EQ(dir_.Read("TRAWLBOX.RBL"), header);
    LoadBlacklist("");
    EXPECT_EQ(dir_.Read("TRAWLBOX.RBL"), header);
    EXPECT_TRUE(RelayBlacklist.empty());
    EXPECT_EQ(dir_.Read("TRAWLBOX.LOG").find("Loading"), std::string::npos);

    // Loaded again, the header alone gives an empty list and is announced.
    LoadRelayBlacklistFrom(dir_.path());
    EXPECT_TRUE(RelayBlacklist.empty());
    EXPECT_NE(dir_.Read("TRAWLBOX.LOG").find("     : Loading Relay Blacklist\r\n"),
              std::string::npos);
}

TEST_F(RelayListTest, RelaysInHeaderTexts) {
    LoadBlacklist(
        "# relays\n"
        "192.0.2.0/24 documentation relays\n"
        "198.51.100.7 single\r\n");
    ASSERT_EQ(RelayBlacklist.size(), 2u);
    struct Case {
        const char* text;
        bool found;
        const char* entry;
    } cases[] = {
        {"Received: from relay.example [192.0.2.1] by mx", true,
         "192.0.2.0/24 documentation relays"},
        {"Received: from relay.example (192.0.2.1) by mx", true,
         "192.0.2.0/24 documentation relays"},
        {"Received: from relay.example (HELO x) ([192.0.2.200])", true,
         "192.0.2.0/24 documentation relays"},
        {"Received: from 192.0.2.1 by mx", false, ""},
        {"Received: from a [203.0.113.5] via b (198.51.100.7)", true, "198.51.100.7 single"},
        {"Received: from a [198.51.100.8] via b [192.0.2.9]", true,
         "192.0.2.0/24 documentation relays"},
        {"Received: mixed [192.0.2.1) closers", true, "192.0.2.0/24 documentation relays"},
        {"Received: underscores [192_0_2_1]", true, "192.0.2.0/24 documentation relays"},
        {"Received: low bits [448.0.2.1]", true, "192.0.2.0/24 documentation relays"},
        {"Received: [[192.0.2.1]]", true, "192.0.2.0/24 documentation relays"},
        {"Received: three parts [192.0.2] and five [192.0.2.1.5]", false, ""},
        {"Received: blank inside [192.0.2. 1]", false, ""},
        {"Received: empty part [192..2.1]", false, ""},
        {"Received: unclosed [192.0.2.1", false, ""},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string entry = "untouched";
        EXPECT_EQ(FindBlacklistedRelay(c.text, entry), c.found);
        EXPECT_EQ(entry, c.found ? c.entry : "untouched");
    }
}

TEST_F(RelayListTest, EmptyBlacklistFindsNothing) {
    LoadBlacklist("# none\n");
    std::string entry;
    EXPECT_FALSE(FindBlacklistedRelay("Received: from x [192.0.2.1]", entry));
}

}  // namespace
