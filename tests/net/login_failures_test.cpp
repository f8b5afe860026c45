// The ledger of failed upstream logins: when an account is held, for how
// long, and what ends a hold.
#include "net/login_failures.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

constexpr int kLimit = 3;
constexpr int64_t kWindowMs = 600 * 1000;
constexpr char kServer[] = "pop.example.com:110";

TEST(LoginFailures, LimitWithinTheWindowHoldsForTheWindow) {
    LoginFailureLedger ledger;
    EXPECT_FALSE(ledger.RecordFailure(kServer, "alice", 1000, kLimit, kWindowMs));
    EXPECT_FALSE(ledger.RecordFailure(kServer, "alice", 2000, kLimit, kWindowMs));
    EXPECT_EQ(ledger.HoldOf(kServer, "alice", 2000).untilMs, 0);
    // The third failure starts the hold, and says so once.
    EXPECT_TRUE(ledger.RecordFailure(kServer, "alice", 3000, kLimit, kWindowMs));
    EXPECT_FALSE(ledger.RecordFailure(kServer, "alice", 3500, kLimit, kWindowMs));
    const HeldAccount hold = ledger.HoldOf(kServer, "alice", 4000);
    EXPECT_EQ(hold.untilMs, 3000 + kWindowMs);
    EXPECT_EQ(hold.failures, kLimit);
    // Other accounts and other servers are not held with it.
    EXPECT_EQ(ledger.HoldOf(kServer, "bob", 4000).untilMs, 0);
    EXPECT_EQ(ledger.HoldOf("pop.example.com:995", "alice", 4000).untilMs, 0);
    // Held up to the last millisecond of the window, then free.
    EXPECT_NE(ledger.HoldOf(kServer, "alice", 3000 + kWindowMs - 1).untilMs, 0);
    EXPECT_EQ(ledger.HoldOf(kServer, "alice", 3000 + kWindowMs).untilMs, 0);
}

TEST(LoginFailures, FailuresOlderThanTheWindowDoNotCount) {
    LoginFailureLedger ledger;
    ledger.RecordFailure(kServer, "alice", 0, kLimit, kWindowMs);
    ledger.RecordFailure(kServer, "alice", 1000, kLimit, kWindowMs);
    // The first has run out by now: two count, not three.
    EXPECT_FALSE(ledger.RecordFailure(kServer, "alice", kWindowMs, kLimit, kWindowMs));
    EXPECT_TRUE(ledger.RecordFailure(kServer, "alice", kWindowMs + 1, kLimit, kWindowMs));
}

TEST(LoginFailures, SuccessClearsAndLimitZeroNeverHolds) {
    LoginFailureLedger ledger;
    for (int64_t at = 0; at < 2; ++at)
        ledger.RecordFailure(kServer, "alice", at, kLimit, kWindowMs);
    ledger.RecordSuccess(kServer, "alice");
    EXPECT_FALSE(ledger.RecordFailure(kServer, "alice", 10, kLimit, kWindowMs));
    EXPECT_FALSE(ledger.RecordFailure(kServer, "alice", 11, kLimit, kWindowMs));
    EXPECT_TRUE(ledger.RecordFailure(kServer, "alice", 12, kLimit, kWindowMs));
    ledger.RecordSuccess(kServer, "alice");
    EXPECT_EQ(ledger.HoldOf(kServer, "alice", 13).untilMs, 0);

    for (int64_t at = 0; at < 10; ++at) {
        EXPECT_FALSE(ledger.RecordFailure(kServer, "bob", at, 0, kWindowMs));
    }
    EXPECT_TRUE(ledger.Held(20).empty());
}

TEST(LoginFailures, HeldListsOnlyRunningHolds) {
    LoginFailureLedger ledger;
    ledger.RecordFailure(kServer, "bob", 0, 1, 100);
    ledger.RecordFailure(kServer, "alice", 50, 1, 100);
    ledger.RecordFailure(kServer, "carol", 60, 2, 100);  // one failure of two
    std::vector<HeldAccount> held = ledger.Held(99);
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].account, "alice");
    EXPECT_EQ(held[1].account, "bob");
    held = ledger.Held(100);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].account, "alice");
}

// Sessions of many threads fail at once: the hold begins exactly once.
TEST(LoginFailures, ConcurrentFailuresStartOneHold) {
    LoginFailureLedger ledger;
    constexpr int kThreads = 8;
    constexpr int kEach = 50;
    std::vector<std::thread> threads;
    std::atomic<int> started{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                if (ledger.RecordFailure(kServer, "alice", 1000, kThreads * kEach / 2, kWindowMs)) {
                    ++started;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(started.load(), 1);
}

TEST(LoginFailures, ServerTextIgnoresTheCaseOfNames) {
    EXPECT_EQ(LedgerServer("POP.Example.com", 995), "pop.example.com:995");
}

}  // namespace
