#include "net/address_lists.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "core/temp_dir.h"
#include "net/net_test_support.h"
#include "platform/socket.h"

namespace {

uint32_t Address(const std::string& dotted) {
    return ParseDottedAddress(dotted);
}

class AddressListsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        descriptorsAtStart_ = nettest::OpenDescriptorCount();
        CloseLog();
        Settings = SettingsRecord{};
        ASSERT_TRUE(OpenLog(dir_.path() + "TRAWLBOX.LOG"));
    }
    void TearDown() override {
        CloseLog();
        AccessList.clear();
        RelayBlacklist.clear();
        EXPECT_EQ(nettest::OpenDescriptorCount(), descriptorsAtStart_)
            << "a list file was left open";
    }
    void LoadAccess(const std::string& contents) {
        dir_.Write("ACCESS.IP", contents);
        LoadAccessListFrom(dir_.path());
    }
    void LoadBlacklist(const std::string& contents) {
        dir_.Write("TRAWLBOX.RBL", contents);
        LoadRelayBlacklistFrom(dir_.path());
    }

    TempDir dir_;
    int descriptorsAtStart_ = 0;
};

TEST_F(AddressListsTest, AccessRanges) {
    struct Case {
        const char* name;
        std::string file;
        std::vector<std::pair<std::string, bool>> probes;
    } cases[] = {
        {"single address", "127.0.0.1\n", {{"127.0.0.1", true}, {"127.0.0.2", false}}},
        {"/32 and /0 both mean one address",
         "127.0.0.1/32\n10.0.0.1/0\n",
         {{"127.0.0.1", true}, {"10.0.0.1", true}, {"10.0.0.2", false}, {"10.0.0.0", false}}},
        {"prefix with comment, CR LF ends",
         "# list\r\n192.168.0.0/16 home network\r\n",
         {{"192.168.0.0", true},
          {"192.168.255.255", true},
          {"192.167.255.255", false},
          {"192.169.0.0", false}}},
        {"range starts at the written address, not masked",
         "10.1.2.3/8\n",
         {{"10.1.2.2", false}, {"10.1.2.3", true}, {"11.1.2.2", true}, {"11.1.2.3", false}}},
        {"entries after an empty line are not read",
         "127.0.0.1\n\n127.0.0.2\n",
         {{"127.0.0.1", true}, {"127.0.0.2", false}}},
        {"a final line without line feed is not read",
         "127.0.0.1\n127.0.0.2",
         {{"127.0.0.1", true}, {"127.0.0.2", false}}},
        {"a dotted part keeps its low 8 bits", "10.300.0.1\n", {{"10.44.0.1", true}}},
        {"missing parts and text count as 0", "10.x\n", {{"10.0.0.0", true}, {"10.0.0.1", false}}},
        {"a wrapping range matches nothing",
         "255.255.255.0/16\n",
         {{"255.255.255.0", false},
          {"255.255.255.255", false},
          {"0.0.0.0", false},
          {"0.0.254.255", false}}},
        {"prefix above 32 counts as 32",
         "10.0.0.5/33\n10.0.1.5/40 x\n",
         {{"10.0.0.5", true}, {"10.0.0.6", false}, {"10.0.1.5", true}, {"10.0.1.4", false}}},
        {"the whole space",
         "0.0.0.0/1\n128.0.0.0/1\n",
         {{"0.0.0.0", true}, {"127.255.255.255", true}, {"255.255.255.255", true}}},
        {"comment lines only", "# nobody\n", {{"127.0.0.1", false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoadAccess(c.file);
        for (const auto& [address, allowed] : c.probes) {
            EXPECT_EQ(IsAddressAllowed(Address(address)), allowed) << address;
        }
    }
}

TEST_F(AddressListsTest, MissingOrEmptyFilesGetTheirHeaderAndAllowNobody) {
    const std::string accessHeader =
        "# Trawlbox IP access list      #\r\n# Form: IP/CIDR <Space> Comment #\r\n";
    const std::string blacklistHeader =
        "# Trawlbox RelayBlacklist      #\r\n# Form: IP/CIDR <Space> Comment #\r\n";
    LoadAccessListFrom(dir_.path());  // missing
    LoadBlacklist("");                // empty
    EXPECT_EQ(dir_.Read("ACCESS.IP"), accessHeader);
    EXPECT_EQ(dir_.Read("TRAWLBOX.RBL"), blacklistHeader);
    EXPECT_TRUE(AccessList.empty());
    EXPECT_TRUE(RelayBlacklist.empty());
    EXPECT_FALSE(IsAddressAllowed(Address("127.0.0.1")));
    std::string log = dir_.Read("TRAWLBOX.LOG");
    EXPECT_EQ(log.find("Loading"), std::string::npos) << "a new file is not announced";

    // Loaded again, the header alone gives an empty list and is announced.
    LoadAccessListFrom(dir_.path());
    LoadRelayBlacklistFrom(dir_.path());
    EXPECT_EQ(dir_.Read("ACCESS.IP"), accessHeader);
    EXPECT_TRUE(AccessList.empty());
    log = dir_.Read("TRAWLBOX.LOG");
    EXPECT_NE(log.find("     : Loading IP access list\r\n"), std::string::npos);
    EXPECT_NE(log.find("     : Loading Relay Blacklist\r\n"), std::string::npos);
}

TEST_F(AddressListsTest, UnopenableFileLeavesTheListEmptyWithoutALogLine) {
    LoadAccess("127.0.0.1\n");
    ASSERT_EQ(AccessList.size(), 1u);
    LoadAccessListFrom(dir_.path() + "no-such-directory/");
    EXPECT_TRUE(AccessList.empty());
}

TEST_F(AddressListsTest, RelaysInHeaderTexts) {
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

TEST_F(AddressListsTest, EmptyBlacklistFindsNothing) {
    LoadBlacklist("# none\n");
    std::string entry;
    EXPECT_FALSE(FindBlacklistedRelay("Received: from x [192.0.2.1]", entry));
}

TEST_F(AddressListsTest, ReadFileLineRemovesCarriageReturnsAndCountsLines) {
    dir_.Write("lines.txt", "one\r\n\rtw\ro\r\n\nlast without end");
    int file = -1;
    ASSERT_TRUE(OpenSharedFile(dir_.path() + "lines.txt", file));
    ASSERT_GE(file, 0);
    int counter = 0;
    bool atEnd = false;
    std::vector<std::string> lines;
    for (int i = 0; i < 10 && !atEnd; ++i) lines.push_back(ReadFileLine(file, counter, atEnd));
    CloseSharedFile(file);
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "", ""}));
    EXPECT_EQ(counter, 3);
    EXPECT_TRUE(atEnd);
}

TEST_F(AddressListsTest, ReadFileLineJoinsLinesAcrossReadBlocks) {
    std::string contents;
    for (int i = 0; i < 2000; ++i) contents += std::to_string(i) + " entry\n";
    dir_.Write("long.txt", contents);
    int file = -1;
    ASSERT_TRUE(OpenSharedFile(dir_.path() + "long.txt", file));
    int counter = 0;
    bool atEnd = false;
    int matching = 0;
    for (int i = 0; i < 2000; ++i) {
        matching += ReadFileLine(file, counter, atEnd) == std::to_string(i) + " entry";
    }
    EXPECT_EQ(matching, 2000);
    EXPECT_TRUE(atEnd);
    EXPECT_EQ(ReadFileLine(file, counter, atEnd), "");
    CloseSharedFile(file);
}

TEST_F(AddressListsTest, OpenSharedFileCreatesAMissingFile) {
    int file = -1;
    ASSERT_TRUE(OpenSharedFile(dir_.path() + "new.txt", file));
    CloseSharedFile(file);
    EXPECT_EQ(dir_.Read("new.txt"), "");
    EXPECT_FALSE(OpenSharedFile(dir_.path() + "missing-dir/new.txt", file));
    EXPECT_EQ(file, -1);
}

}  // namespace
