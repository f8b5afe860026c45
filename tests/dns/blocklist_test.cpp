#include "dns/blocklist.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fake_dns_server.h"
#include "platform/clock.h"

namespace {

using dnstest::FakeDnsServer;
using dnstest::kTypeA;
using dnstest::kTypeTxt;
using dnstest::Reply;

// Generous bound on anything that should end within its time-out: only a
// check that ignores its time-out comes near it, however slow the machine.
constexpr int kSlackMs = 5000;
// Long enough that no answer from loopback ever misses it.
constexpr int kPatientTimeoutMs = 10000;

// Public addresses (loopback traffic only: they are names here, never peers).
constexpr char kRelayA[] = "81.2.69.160";
constexpr char kRelayB[] = "93.184.216.34";
constexpr char kRelayV6[] = "2a00:1450:4001:82a::5";
constexpr char kNameA[] = "160.69.2.81.bl.test";
constexpr char kNameA2[] = "160.69.2.81.second.test";
constexpr char kNameB[] = "34.216.184.93.bl.test";

constexpr char kNoUsableAnswer[] = "no usable answer (resolver unreachable, refusing or failing)";

std::string NameOf(const std::string& address, const std::string& zone) {
    IpAddress parsed;
    EXPECT_TRUE(ParseIpAddress(address, parsed));
    return BlocklistQueryName(parsed, zone);
}

class BlocklistTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server_.ok()); }

    static BlocklistSettings SettingsFor(const FakeDnsServer& server,
                                         std::vector<std::string> zones = {"bl.test"},
                                         int timeoutMs = kPatientTimeoutMs) {
        BlocklistSettings settings;
        settings.zones = std::move(zones);
        settings.timeoutMs = timeoutMs;
        ResolverAddress resolver;
        EXPECT_TRUE(ParseResolverAddress(server.ResolverText(), resolver));
        settings.resolvers.push_back(resolver);
        return settings;
    }
    BlocklistSettings Settings(std::vector<std::string> zones = {"bl.test"},
                               int timeoutMs = kPatientTimeoutMs) {
        return SettingsFor(server_, std::move(zones), timeoutMs);
    }

    void List(const std::string& name, const std::string& code, uint32_t ttl,
              const std::string& reason = "") {
        server_.AddA(name, code, ttl);
        if (!reason.empty()) server_.AddTxt(name, reason, ttl);
    }

    FakeDnsServer server_;
    DnsAnswerCache cache_;
};

TEST_F(BlocklistTest, ListedNotListedSkippedAndInvalidInOneBatch) {
    List(kNameA, "127.0.0.2", 300, "Listed for spam, see example.test/81.2.69.160");
    List(NameOf(kRelayV6, "bl.test"), "127.0.0.4", 300, "IPv6 relay listed");

    BlocklistReport report = CheckBlocklists(
        {kRelayA, kRelayB, kRelayV6, "10.1.2.3", "fe80::1", "not an address", kRelayA}, Settings(),
        cache_);

    ASSERT_EQ(report.verdicts.size(), 7u);
    EXPECT_EQ(report.verdicts[0].outcome, BlocklistOutcome::kListed);
    EXPECT_EQ(report.verdicts[0].zone, "bl.test");
    EXPECT_EQ(report.verdicts[0].reason, "Listed for spam, see example.test/81.2.69.160");
    EXPECT_EQ(report.verdicts[1].outcome, BlocklistOutcome::kNotListed);  // NXDOMAIN
    EXPECT_EQ(report.verdicts[2].outcome, BlocklistOutcome::kListed);
    EXPECT_EQ(report.verdicts[2].reason, "IPv6 relay listed");
    EXPECT_EQ(report.verdicts[3].outcome, BlocklistOutcome::kSkipped);
    EXPECT_EQ(report.verdicts[4].outcome, BlocklistOutcome::kSkipped);
    EXPECT_EQ(report.verdicts[5].outcome, BlocklistOutcome::kInvalid);
    EXPECT_EQ(report.verdicts[6].outcome, BlocklistOutcome::kListed);
    EXPECT_EQ(report.problem, "");
    // The repeated relay is asked about once; the reason only for listings.
    EXPECT_EQ(server_.Questions(kNameA, kTypeA), 1);
    EXPECT_EQ(server_.Questions(kNameA, kTypeTxt), 1);
    EXPECT_EQ(server_.Questions(kNameB, kTypeTxt), 0);
    EXPECT_EQ(server_.TotalQuestions(), 5);
}

TEST_F(BlocklistTest, WhatCountsAsAListing) {
    struct Case {
        const char* what;
        std::vector<std::string> codes;  // A records; none: only a TXT record (NODATA)
        BlocklistOutcome outcome;
        const char* problem;
    } cases[] = {
        {"one code in 127/8", {"127.0.0.2"}, BlocklistOutcome::kListed, ""},
        {"a listing code among others", {"10.0.0.1", "127.0.0.10"}, BlocklistOutcome::kListed, ""},
        {"codes outside 127/8 say nothing", {"10.0.0.1"}, BlocklistOutcome::kNotListed, ""},
        {"no A record at all", {}, BlocklistOutcome::kNotListed, ""},
        {"the list refused the query",
         {"127.255.255.254"},
         BlocklistOutcome::kUnknown,
         "DNS blocklist: 1 of 1 lookups failed; first 160.69.2.81.bl.test: refused by the list "
         "(127.255.255.254)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeDnsServer server;
        for (const std::string& code : c.codes) server.AddA(kNameA, code, 60);
        server.AddTxt(kNameA, "reason", 60);
        DnsAnswerCache cache;
        BlocklistReport report = CheckBlocklists({kRelayA}, SettingsFor(server), cache);
        EXPECT_EQ(report.verdicts[0].outcome, c.outcome);
        EXPECT_EQ(report.problem, c.problem);
    }
}

TEST_F(BlocklistTest, FirstZoneInSettingsOrderNamesTheListing) {
    List(kNameA, "127.0.0.2", 300, "first");
    List(kNameA2, "127.0.0.2", 300, "second");
    List(NameOf(kRelayB, "second.test"), "127.0.0.3", 300, "only the second");

    BlocklistReport report =
        CheckBlocklists({kRelayA, kRelayB}, Settings({"bl.test", "second.test"}), cache_);

    EXPECT_EQ(report.verdicts[0].zone, "bl.test");
    EXPECT_EQ(report.verdicts[0].reason, "first");
    EXPECT_EQ(report.verdicts[1].outcome, BlocklistOutcome::kListed);
    EXPECT_EQ(report.verdicts[1].zone, "second.test");
    EXPECT_EQ(report.verdicts[1].reason, "only the second");
}

TEST_F(BlocklistTest, ReasonIsJoinedCleanedAndCapped) {
    server_.AddA(kNameA, "127.0.0.2", 60);
    server_.AddTxt(kNameA, "first record", 60);
    server_.AddTxt(kNameA, "bell\a and\r\nbreak", 60);
    server_.AddA(kNameB, "127.0.0.2", 60);
    server_.AddTxt(kNameB, std::string(300, 'x'), 60);  // two strings of one record

    BlocklistReport report = CheckBlocklists({kRelayA, kRelayB}, Settings(), cache_);

    EXPECT_EQ(report.verdicts[0].reason, "first record; bell? and??break");
    EXPECT_EQ(report.verdicts[1].reason, std::string(200, 'x'));
}

// A resolver that fails one lookup costs that lookup only: the address is
// kUnknown (to be kept), the rest of the batch is judged, and the problem
// line names what happened.
TEST_F(BlocklistTest, BrokenAnswersFailOpen) {
    struct Case {
        Reply reply;
        const char* failure;
    } cases[] = {
        {Reply::kSilent, "no answer in time"},   {Reply::kServfail, kNoUsableAnswer},
        {Reply::kRefused, kNoUsableAnswer},      {Reply::kTruncated, "truncated answer"},
        {Reply::kMalformed, "malformed answer"},
    };
    constexpr int kTimeoutMs = 600;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failure);
        FakeDnsServer server;
        server.AddA(kNameA, "127.0.0.2", 60);  // what a working server would say
        server.SetReply(kNameA, c.reply);
        server.AddA(kNameB, "127.0.0.2", 60);
        BlocklistSettings settings = SettingsFor(server, {"bl.test"}, kTimeoutMs);
        DnsAnswerCache cache;

        int64_t start = MonotonicMilliseconds();
        BlocklistReport report = CheckBlocklists({kRelayA, kRelayB}, settings, cache);
        int64_t took = MonotonicMilliseconds() - start;

        EXPECT_EQ(report.verdicts[0].outcome, BlocklistOutcome::kUnknown);
        EXPECT_EQ(report.verdicts[1].outcome, BlocklistOutcome::kListed);
        EXPECT_EQ(report.problem, std::string("DNS blocklist: 1 of 2 lookups failed; first ") +
                                      kNameA + ": " + c.failure);
        EXPECT_LT(took, kTimeoutMs + kSlackMs);
        EXPECT_EQ(cache.size(), 1u) << "only the good answer is kept";
    }
}

TEST_F(BlocklistTest, SilentResolverCostsOneTimeOutForTheWholeBatch) {
    server_.SetDefaultReply(Reply::kSilent);
    constexpr int kTimeoutMs = 500;
    std::vector<std::string> relays;
    for (int i = 1; i <= 8; ++i) relays.push_back("81.2.69." + std::to_string(i));

    int64_t start = MonotonicMilliseconds();
    BlocklistReport report =
        CheckBlocklists(relays, Settings({"bl.test", "second.test"}, kTimeoutMs), cache_);
    int64_t took = MonotonicMilliseconds() - start;

    // One after the other, the 16 lookups would need 16 time-outs.
    EXPECT_LT(took, kTimeoutMs + kSlackMs);
    EXPECT_GE(server_.TotalQuestions(), 16);
    for (const BlocklistVerdict& verdict : report.verdicts) {
        EXPECT_EQ(verdict.outcome, BlocklistOutcome::kUnknown);
    }
    EXPECT_EQ(report.problem,
              "DNS blocklist: 16 of 16 lookups failed; first 1.69.2.81.bl.test: no answer in time");
    EXPECT_EQ(cache_.size(), 0u);
}

TEST_F(BlocklistTest, UnreachableResolverFailsOpenAtOnce) {
    BlocklistSettings settings = Settings({"bl.test"}, kPatientTimeoutMs);
    // Nothing listens there: the fake server holds its port on 127.0.0.1 only.
    ASSERT_TRUE(
        ParseResolverAddress("127.0.0.2:" + std::to_string(server_.port()), settings.resolvers[0]));
    int64_t start = MonotonicMilliseconds();
    BlocklistReport report = CheckBlocklists({kRelayA}, settings, cache_);

    EXPECT_LT(MonotonicMilliseconds() - start, kPatientTimeoutMs) << "not held to the time-out";
    EXPECT_EQ(report.verdicts[0].outcome, BlocklistOutcome::kUnknown);
    EXPECT_EQ(report.problem, std::string("DNS blocklist: 1 of 1 lookups failed; first ") + kNameA +
                                  ": " + kNoUsableAnswer);
}

TEST_F(BlocklistTest, AllLookupsGoOutBeforeAnyAnswerIsAwaited) {
    // The server answers nothing until it has seen every A question of the
    // batch: lookups sent one after another would all wait in vain.
    std::vector<std::string> relays = {kRelayA, kRelayB, kRelayV6, "8.8.4.4"};
    server_.HoldUntil(static_cast<int>(relays.size()) * 2);
    List(kNameA2, "127.0.0.2", 60);

    BlocklistReport report = CheckBlocklists(relays, Settings({"bl.test", "second.test"}), cache_);

    EXPECT_EQ(report.problem, "");
    EXPECT_EQ(report.verdicts[0].outcome, BlocklistOutcome::kListed);
    for (size_t i = 1; i < relays.size(); ++i) {
        EXPECT_EQ(report.verdicts[i].outcome, BlocklistOutcome::kNotListed) << relays[i];
    }
}

TEST_F(BlocklistTest, ResolverOverIpv6) {
    FakeDnsServer server("::1");
    ASSERT_TRUE(server.ok());
    server.AddA(kNameA, "127.0.0.2", 60);
    BlocklistReport report = CheckBlocklists({kRelayA}, SettingsFor(server), cache_);

    EXPECT_EQ(report.verdicts[0].outcome, BlocklistOutcome::kListed);
    EXPECT_EQ(server.Questions(kNameA, kTypeA), 1);
}

TEST_F(BlocklistTest, AnswersAreCachedButFailuresAreNot) {
    List(kNameA, "127.0.0.2", 300, "spam");
    server_.SetReply(kNameB, Reply::kServfail);
    const std::vector<std::string> relays = {kRelayA, kRelayV6, kRelayB};

    CheckBlocklists(relays, Settings(), cache_);
    int failedAskedFirst = server_.Questions(kNameB, kTypeA);
    BlocklistReport second = CheckBlocklists(relays, Settings(), cache_);

    EXPECT_EQ(second.verdicts[0].outcome, BlocklistOutcome::kListed);
    EXPECT_EQ(second.verdicts[0].reason, "spam");
    EXPECT_EQ(second.verdicts[1].outcome, BlocklistOutcome::kNotListed);
    EXPECT_EQ(second.verdicts[2].outcome, BlocklistOutcome::kUnknown);
    EXPECT_EQ(server_.Questions(kNameA, kTypeA), 1);
    EXPECT_EQ(server_.Questions(kNameA, kTypeTxt), 1);
    EXPECT_EQ(server_.Questions(NameOf(kRelayV6, "bl.test"), kTypeA), 1);
    EXPECT_GT(server_.Questions(kNameB, kTypeA), failedAskedFirst) << "asked again";
    // The problem line counts lookups asked, not answers taken from the cache.
    EXPECT_EQ(second.problem, std::string("DNS blocklist: 1 of 1 lookups failed; first ") + kNameB +
                                  ": " + kNoUsableAnswer);
}

TEST_F(BlocklistTest, NegativeAnswerWithoutSoaIsNotCached) {
    server_.SetNegativeTtl(0);  // RFC 2308: no SOA, no negative caching
    CheckBlocklists({kRelayB}, Settings(), cache_);
    CheckBlocklists({kRelayB}, Settings(), cache_);
    EXPECT_EQ(server_.Questions(kNameB, kTypeA), 2);
}

std::atomic<int64_t> fakeNowMs{0};
int64_t FakeNow() {
    return fakeNowMs.load();
}

TEST_F(BlocklistTest, CachedAnswersExpireWithTheirTtl) {
    fakeNowMs = 1'000'000;
    DnsAnswerCache cache(kDnsCacheEntryLimit, FakeNow);
    List(kNameA, "127.0.0.2", 60, "spam");
    server_.SetNegativeTtl(30);  // for kRelayB, not listed

    auto check = [&] { return CheckBlocklists({kRelayA, kRelayB}, Settings(), cache); };
    check();
    fakeNowMs += 29'000;
    check();
    EXPECT_EQ(server_.Questions(kNameA, kTypeA), 1);
    EXPECT_EQ(server_.Questions(kNameB, kTypeA), 1);
    fakeNowMs += 2'000;  // past the negative TTL only
    check();
    EXPECT_EQ(server_.Questions(kNameA, kTypeA), 1);
    EXPECT_EQ(server_.Questions(kNameB, kTypeA), 2);
    fakeNowMs += 30'000;  // past the listing's TTL
    BlocklistReport report = check();
    EXPECT_EQ(server_.Questions(kNameA, kTypeA), 2);
    EXPECT_EQ(report.verdicts[0].reason, "spam");
}

// Sessions check at the same time against one shared cache; one relay's
// answer is never cached (TTL 0), so every round sends a lookup.
TEST_F(BlocklistTest, ConcurrentCallersShareTheCache) {
    List(kNameA, "127.0.0.2", 300, "spam");
    List(kNameB, "127.0.0.3", 0, "uncached");
    constexpr int kThreads = 6;
    constexpr int kRounds = 15;
    BlocklistSettings settings = Settings();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                BlocklistReport report =
                    CheckBlocklists({kRelayA, kRelayB, kRelayV6}, settings, cache_);
                bool right = report.problem.empty() && report.verdicts[0].reason == "spam" &&
                             report.verdicts[1].reason == "uncached" &&
                             report.verdicts[2].outcome == BlocklistOutcome::kNotListed;
                if (!right) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(server_.Questions(kNameB, kTypeA), kThreads * kRounds);
    EXPECT_LE(server_.Questions(kNameA, kTypeA), kThreads) << "later rounds use the cache";
}

}  // namespace
