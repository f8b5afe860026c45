#include "dns/answer_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<int64_t> nowMs{0};
int64_t FakeNow() {
    return nowMs.load();
}

class AnswerCacheTest : public ::testing::Test {
  protected:
    void SetUp() override { nowMs = 5'000'000; }
    bool Holds(DnsAnswerCache& cache, const std::string& name) {
        CachedAnswer answer;
        return cache.Find(name, answer);
    }
};

TEST_F(AnswerCacheTest, EntriesLiveForTheirTtlCapped) {
    DnsAnswerCache cache(kDnsCacheEntryLimit, FakeNow);
    cache.Store("short", CachedAnswer{true, "why"}, 10);
    cache.Store("long", CachedAnswer{false, ""}, 7 * 24 * 3600);
    cache.Store("zero", CachedAnswer{true, ""}, 0);

    CachedAnswer answer;
    nowMs += 9'999;
    ASSERT_TRUE(cache.Find("short", answer));
    EXPECT_TRUE(answer.listed);
    EXPECT_EQ(answer.reason, "why");
    EXPECT_FALSE(Holds(cache, "zero"));
    nowMs += 1;
    EXPECT_FALSE(Holds(cache, "short"));
    nowMs += kLongestCacheSeconds * 1000 - 10'001;
    EXPECT_TRUE(Holds(cache, "long"));
    nowMs += 1;
    EXPECT_FALSE(Holds(cache, "long")) << "a week-long TTL is cut to the cap";
    EXPECT_EQ(cache.size(), 0u);
}

TEST_F(AnswerCacheTest, StoringAgainReplacesTheAnswerAndItsExpiry) {
    DnsAnswerCache cache(kDnsCacheEntryLimit, FakeNow);
    cache.Store("name", CachedAnswer{true, "old"}, 10);
    cache.Store("name", CachedAnswer{false, ""}, 100);
    nowMs += 50'000;
    CachedAnswer answer;
    ASSERT_TRUE(cache.Find("name", answer));
    EXPECT_FALSE(answer.listed);
    EXPECT_EQ(cache.size(), 1u);
}

TEST_F(AnswerCacheTest, FullCacheDropsExpiredThenSoonestExpiring) {
    DnsAnswerCache cache(3, FakeNow);
    cache.Store("a", CachedAnswer{}, 100);
    cache.Store("b", CachedAnswer{}, 10);
    cache.Store("c", CachedAnswer{}, 50);
    cache.Store("d", CachedAnswer{}, 70);
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_FALSE(Holds(cache, "b"));
    EXPECT_TRUE(Holds(cache, "a"));
    EXPECT_TRUE(Holds(cache, "c"));

    nowMs += 60'000;  // "c" has expired, "d" and "a" have not
    cache.Store("e", CachedAnswer{}, 1000);
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_TRUE(Holds(cache, "d"));
    EXPECT_TRUE(Holds(cache, "a"));
    EXPECT_TRUE(Holds(cache, "e"));
}

TEST_F(AnswerCacheTest, ManyThreadsStoreAndFindAtOnce) {
    DnsAnswerCache cache(64);
    constexpr int kThreads = 4;
    constexpr int kOperations = 2000;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&cache, &wrong, t] {
            for (int i = 0; i < kOperations; ++i) {
                std::string name = std::to_string(t) + "." + std::to_string(i % 100);
                cache.Store(name, CachedAnswer{true, name}, 60);
                CachedAnswer answer;
                if (cache.Find(name, answer) && answer.reason != name) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(cache.size(), 64u);
}

}  // namespace
