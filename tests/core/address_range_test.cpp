#include "core/address_range.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "core/temp_dir.h"

namespace {

constexpr AddressListFile kTestList{"LIST.TXT", "# header one", "# header two", "Loading test list",
                                    true};

std::vector<std::string> TextsOf(const std::vector<AddressRange>& list) {
    std::vector<std::string> texts;
    for (const AddressRange& range : list) texts.push_back(range.text);
    return texts;
}

TEST(AddressListFile, LinesAsTheListsReadThem) {
    const struct {
        const char* name;
        std::string contents;
        std::vector<std::string> texts;
    } cases[] = {
        {"every CR goes, wherever it stands", "one\r\n\rtw\ro\r\n", {"one", "two"}},
        {"comment lines are skipped", "# c\n10.0.0.1 x\n#10.0.0.2\n", {"10.0.0.1 x"}},
        {"an empty line ends the list", "10.0.0.1\n\n10.0.0.2\n", {"10.0.0.1"}},
        {"a line of a lone CR is empty too", "10.0.0.1\n\r\n10.0.0.2\n", {"10.0.0.1"}},
        {"a final line without LF is not read", "10.0.0.1\n10.0.0.2", {"10.0.0.1"}},
        {"a single line without LF gives nothing", "10.0.0.1", {}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.Write("LIST.TXT", c.contents);
        EXPECT_EQ(TextsOf(LoadAddressList(kTestList, dir.path())), c.texts);
    }
}

TEST(AddressListFile, EntriesKeepTheirLineOnlyWhenAsked) {
    TempDir dir;
    dir.Write("LIST.TXT", "10.0.0.0/8 ten\n");
    AddressListFile plain = kTestList;
    plain.keepText = false;
    const std::vector<AddressRange> list = LoadAddressList(plain, dir.path());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].low, Ipv4Address(0x0A000000u));
    EXPECT_EQ(list[0].high, Ipv4Address(0x0AFFFFFFu));
    EXPECT_EQ(list[0].text, "");
}

TEST(AddressListFile, MissingFileGetsTheHeaderUnopenableStaysQuiet) {
    TempDir dir;
    CloseLog();
    ASSERT_TRUE(OpenLog(dir.path() + "TRAWLBOX.LOG"));
    EXPECT_TRUE(LoadAddressList(kTestList, dir.path()).empty());
    EXPECT_EQ(dir.Read("LIST.TXT"), "# header one\r\n# header two\r\n");
    EXPECT_TRUE(LoadAddressList(kTestList, dir.path() + "missing/").empty());
    EXPECT_EQ(dir.Read("TRAWLBOX.LOG").find("Loading"), std::string::npos);
    CloseLog();
}

// The first entry in file order wins, so a report names the line listed first.
TEST(AddressRanges, TheFirstContainingEntryIsFound) {
    std::vector<AddressRange> list = {ParseAddressRange("10.0.0.0/8"),
                                      ParseAddressRange("10.1.0.0/16")};
    list[0].text = "wide";
    list[1].text = "narrow";
    const AddressRange* found = FindAddressRange(list, Ipv4Address(0x0A010203u));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->text, "wide");
    EXPECT_EQ(FindAddressRange(list, Ipv4Address(0x0B000000u)), nullptr);
    EXPECT_EQ(FindAddressRange({}, Ipv4Address(0)), nullptr);
}

}  // namespace
