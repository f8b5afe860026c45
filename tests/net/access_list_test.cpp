#include "net/access_list.h"

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

class AccessListTest : public ::testing::Test {
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
        EXPECT_EQ(nettest::OpenDescriptorCount(), descriptorsAtStart_)
            << "a list file was left open";
    }
    void LoadAccess(const std::string& contents) {
        dir_.Write("ACCESS.IP", contents);
        LoadAccessListFrom(dir_.path());
    }

    TempDir dir_;
    int descriptorsAtStart_ = 0;
};

TEST_F(AccessListTest, AccessRanges) {
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

TEST_F(AccessListTest, MissingOrEmptyFileGetsItsHeaderAndAllowsNobody) {
    const std::string header =
        "# Trawlbox IP access list      #\r\n# Form: IP/CIDR <Space> Comment #\r\n";
    LoadAccessListFrom(dir_.path());  // missing
    EXPECT_EQ(dir_.Read("ACCESS.IP"), header);
    EXPECT_TRUE(AccessList.empty());
    EXPECT_FALSE(IsAddressAllowed(Address("127.0.0.1")));
    EXPECT_EQ(dir_.Read("TRAWLBOX.LOG").find("Loading"), std::string::npos)
        << "a new file is not announced";

    dir_.Write("ACCESS.IP", "");
    LoadAccessListFrom(dir_.path());  // empty
    EXPECT_EQ(dir_.Read("ACCESS.IP"), header);

    // Loaded again, the header alone gives an empty list and is announced.
    LoadAccessListFrom(dir_.path());
    EXPECT_EQ(dir_.Read("ACCESS.IP"), header);
    EXPECT_TRUE(AccessList.empty());
    EXPECT_NE(dir_.Read("TRAWLBOX.LOG").find("     : Loading IP access list\r\n"),
              std::string::npos);
}

TEST_F(AccessListTest, UnopenableFileLeavesTheListEmptyWithoutALogLine) {
    LoadAccess("127.0.0.1\n");
    ASSERT_EQ(AccessList.size(), 1u);
    LoadAccessListFrom(dir_.path() + "no-such-directory/");
    EXPECT_TRUE(AccessList.empty());
}

}  // namespace
