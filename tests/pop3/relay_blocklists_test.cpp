#include "pop3/relay_blocklists.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> ResolverTexts(const BlocklistSettings& settings) {
    std::vector<std::string> texts;
    for (const ResolverAddress& resolver : settings.resolvers) {
        texts.push_back(IpAddressText(resolver.address) + " " + std::to_string(resolver.port));
    }
    return texts;
}

TEST(ReadBlocklistSettingsTest, ListsAreSplitTrimmedAndChecked) {
    SettingsRecord record;
    record.DnsBlocklists = " bl.one ,,bl.two, ";
    record.DnsServers = "127.0.0.1:5353, resolver.example,[::1]:54,, 192.0.2.53:0";
    record.DnsTimeout = 3;
    std::string problem;
    BlocklistSettings settings = ReadBlocklistSettings(record, problem);
    EXPECT_EQ(settings.zones, (std::vector<std::string>{"bl.one", "bl.two"}));
    EXPECT_EQ(ResolverTexts(settings), (std::vector<std::string>{"127.0.0.1 5353", "::1 54"}));
    EXPECT_EQ(problem,
              "DNS blocklist: DnsServers entry \"resolver.example\", \"192.0.2.53:0\" is not "
              "ip[:port]; left out");
    EXPECT_EQ(settings.timeoutMs, 3000);

    // Nothing given: no zone, the system's resolvers, the default time-out.
    problem = "left over";
    settings = ReadBlocklistSettings(SettingsRecord(), problem);
    EXPECT_TRUE(settings.zones.empty());
    EXPECT_TRUE(settings.resolvers.empty());
    EXPECT_EQ(settings.timeoutMs, kDefaultDnsTimeoutMs);
    EXPECT_EQ(problem, "");

    record.DnsTimeout = 1000000000;  // would overflow as milliseconds
    EXPECT_EQ(ReadBlocklistSettings(record, problem).timeoutMs, kLongestDnsTimeoutSeconds * 1000);
}

}  // namespace
