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

using nettest::Address;

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
        PublishAccessList({});
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
        {"an IPv4 client of a dual-stack socket is matched as IPv4",
         "127.0.0.1\n",
         {{"::ffff:127.0.0.1", true}, {"::1", false}, {"::7f00:1", false}}},
        {"IPv6 addresses and prefixes beside IPv4 ones",
         "127.0.0.1\n::1 this machine\n2001:db8::/32 documentation\n",
         {{"127.0.0.1", true},
          {"::1", true},
          {"::2", false},
          {"2001:db8::", true},
          {"2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", true},
          {"2001:db7:ffff:ffff:ffff:ffff:ffff:ffff", false},
          {"2001:db9::", false},
          {"0.0.0.1", false}}},
        {"an IPv6 range is the whole block, host bits or not",
         "2001:db8:0:0:ff::1/64\n",
         {{"2001:db8::", true},
          {"2001:db8::ffff:ffff:ffff:ffff", true},
          {"2001:db8:0:1::", false}}},
        {"/0 is every IPv6 address and no IPv4 one",
         "::/0\n",
         {{"::", true}, {"ffff::1", true}, {"10.0.0.1", false}, {"::ffff:10.0.0.1", false}}},
        {"a mapped entry is an IPv4 range",
         "::ffff:192.0.2.0/120\n::FFFF:10.0.0.1\n",
         {{"192.0.2.0", true}, {"192.0.2.255", true}, {"192.0.3.0", false}, {"10.0.0.1", true}}},
        {"a colon after a dot leaves the IPv4 reading",
         "10.0.0.1:8080\n",
         {{"10.0.0.1", true}, {"10.0.0.0", false}}},
        {"invalid IPv6 entries match nothing",
         "2001:db8::/129\n2001:db8::/\n2001:db8::/x\n2001:db8::/-1\n2001:db8::/1000\n"
         "2001:db8::g/16\n[::1]\n::1/64/2\n2001:db8:::1\n::ffff:10.0.0.0/95\n",
         {{"2001:db8::", false},
          {"2001:db8::1", false},
          {"::1", false},
          {"::", false},
          {"ffff::", false},
          {"0.0.0.0", false},
          {"10.0.0.0", false}}},
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
    EXPECT_TRUE(CurrentAccessList()->empty());
    EXPECT_FALSE(IsAddressAllowed(Address("127.0.0.1")));
    EXPECT_EQ(dir_.Read("TRAWLBOX.LOG").find("Loading"), std::string::npos)
        << "a new file is not announced";

    dir_.Write("ACCESS.IP", "");
    LoadAccessListFrom(dir_.path());  // empty
    EXPECT_EQ(dir_.Read("ACCESS.IP"), header);

    // Loaded again, the header alone gives an empty list and is announced.
    LoadAccessListFrom(dir_.path());
    EXPECT_EQ(dir_.Read("ACCESS.IP"), header);
    EXPECT_TRUE(CurrentAccessList()->empty());
    EXPECT_NE(dir_.Read("TRAWLBOX.LOG").find("     : Loading IP access list\n"), std::string::npos);
}

TEST_F(AccessListTest, UnopenableFileLeavesTheListEmptyWithoutALogLine) {
    LoadAccess("127.0.0.1\n");
    ASSERT_EQ(CurrentAccessList()->size(), 1u);
    LoadAccessListFrom(dir_.path() + "no-such-directory/");
    EXPECT_TRUE(CurrentAccessList()->empty());
}

}  // namespace
