#include "store/header_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "store_test_util.h"

namespace {

class HeaderCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = FreshDirectory();
        ASSERT_EQ(database_.Open(directory_), OpenOutcome::kOpened) << database_.Problem();
    }

    // Stores the entries and returns how many were stored.
    size_t StoreAll(HeaderCache& cache, const std::vector<CachedHeader>& entries) {
        size_t stored = 0;
        EXPECT_TRUE(cache.Store(entries, stored)) << database_.Problem();
        return stored;
    }

    CacheLookup LoadAll(HeaderCache& cache, const std::vector<std::string>& uidls) {
        CacheLookup lookup;
        EXPECT_TRUE(cache.Load(uidls, lookup)) << database_.Problem();
        return lookup;
    }

    std::string directory_;
    StateDatabase database_;
};

TEST_F(HeaderCacheTest, LinesComeBackExactlyInAnotherConnection) {
    CachedHeader entry;
    entry.uidl = std::string("id\0with nul \xff", 13);
    entry.size = 123456789012;
    entry.lines = {"Received: from a.example (a.example [192.0.2.1])",
                   "\tby b.example; Mon, 7 Dec 2026 10:00:00 +0100",
                   "",
                   "Subject: =?UTF-8?Q?=C3=BCber?= \x84\x94\x81",
                   std::string("X-Nul: a\0b", 10),
                   "X-Cr: a\rb",
                   "   ",
                   std::string(16 * 1024, 'x')};
    CachedHeader empty = MakeEntry("empty header", 0, 0);
    {
        HeaderCache cache(database_, "pop.example.net:110", "anna");
        EXPECT_EQ(StoreAll(cache, {entry, empty}), 2u);
    }
    database_.Close();

    StateDatabase other;
    ASSERT_EQ(other.Open(directory_), OpenOutcome::kOpened) << other.Problem();
    HeaderCache cache(other, "pop.example.net:110", "anna");
    CacheLookup lookup;
    ASSERT_TRUE(cache.Load({entry.uidl, empty.uidl}, lookup)) << other.Problem();
    ASSERT_EQ(lookup.found.count(entry.uidl), 1u);
    const CachedHeader& back = lookup.found.at(entry.uidl);
    EXPECT_EQ(back.uidl, entry.uidl);
    EXPECT_EQ(back.size, entry.size);
    EXPECT_EQ(back.lines, entry.lines);
    ASSERT_EQ(lookup.found.count(empty.uidl), 1u);
    EXPECT_TRUE(lookup.found.at(empty.uidl).lines.empty());
    EXPECT_EQ(lookup.unreadable, 0u);
}

TEST_F(HeaderCacheTest, MailboxesAreKeptApart) {
    // Server and account both part of the key; "a" + "bc" must not meet
    // "ab" + "c".
    HeaderCache first(database_, "a", "bc");
    HeaderCache second(database_, "ab", "c");
    HeaderCache third(database_, "a", "other");
    EXPECT_EQ(StoreAll(first, {MakeEntry("same", 1, 1)}), 1u);
    EXPECT_EQ(StoreAll(second, {MakeEntry("same", 2, 2)}), 1u);
    EXPECT_EQ(StoreAll(third, {MakeEntry("same", 3, 3)}), 1u);

    EXPECT_EQ(LoadAll(first, {"same"}).found.at("same").size, 1);
    EXPECT_EQ(LoadAll(second, {"same"}).found.at("same").size, 2);
    EXPECT_EQ(LoadAll(third, {"same"}).found.at("same").lines.size(), 3u);

    size_t removed = 0;
    ASSERT_TRUE(first.RemoveAbsent({}, removed));
    EXPECT_EQ(removed, 1u);
    EXPECT_TRUE(LoadAll(first, {"same"}).found.empty());
    EXPECT_EQ(LoadAll(second, {"same"}).found.size(), 1u);
    EXPECT_EQ(LoadAll(third, {"same"}).found.size(), 1u);
}

TEST_F(HeaderCacheTest, LookupReturnsOnlyTheIdsAskedFor) {
    HeaderCache cache(database_, "server", "user");
    EXPECT_EQ(StoreAll(cache, {MakeEntry("u1"), MakeEntry("u2"), MakeEntry("u3"), MakeEntry("u4"),
                               MakeEntry("u5")}),
              5u);
    CacheLookup lookup = LoadAll(cache, {"u2", "u4", "u9", ""});
    EXPECT_EQ(lookup.found.size(), 2u);
    EXPECT_EQ(lookup.found.count("u2"), 1u);
    EXPECT_EQ(lookup.found.count("u4"), 1u);
    EXPECT_EQ(lookup.found.at("u4").lines, MakeEntry("u4").lines);
    EXPECT_TRUE(lookup.duplicates.empty());
    EXPECT_TRUE(LoadAll(cache, {}).found.empty());
}

TEST_F(HeaderCacheTest, DuplicateIdsAreNamedOnceAndNeverServedOrStored) {
    HeaderCache cache(database_, "server", "user");
    EXPECT_EQ(StoreAll(cache, {MakeEntry("u1"), MakeEntry("u2"), MakeEntry("u3")}), 3u);

    CacheLookup lookup = LoadAll(cache, {"u1", "u2", "u1", "u3", "u3", "u1", "u4", "u4"});
    EXPECT_EQ(lookup.duplicates, (std::vector<std::string>{"u1", "u3", "u4"}));
    EXPECT_EQ(lookup.found.size(), 1u);
    EXPECT_EQ(lookup.found.count("u2"), 1u);

    // Twice in one batch: neither copy is stored, and an entry there before
    // stays as it was.
    CachedHeader changed = MakeEntry("u2", 5, 999);
    EXPECT_EQ(StoreAll(cache, {changed, MakeEntry("u5"), changed}), 1u);
    lookup = LoadAll(cache, {"u2", "u5"});
    EXPECT_EQ(lookup.found.at("u2").size, MakeEntry("u2").size);
    EXPECT_EQ(lookup.found.count("u5"), 1u);
}

TEST_F(HeaderCacheTest, EntriesBeyondTheLimitsAreLeftOut) {
    struct Case {
        const char* name;
        CachedHeader entry;
        bool stored;
    };
    auto withLines = [](const std::string& uidl, size_t count, size_t length) {
        CachedHeader entry = MakeEntry(uidl, 0);
        entry.lines.assign(count, std::string(length, 'h'));
        return entry;
    };
    // One byte of each line counts for its line end.
    const size_t fullLine = kMaxCachedHeaderBytes / 4 - 1;
    CachedHeader lineFeed = MakeEntry("line feed inside");
    lineFeed.lines[3] = "Subject: one\nFrom: two";
    const std::vector<Case> cases = {
        {"lines at the limit", withLines("lines ok", kMaxCachedHeaderLines, 10), true},
        {"one line too many", withLines("lines over", kMaxCachedHeaderLines + 1, 10), false},
        {"bytes at the limit", withLines("bytes ok", 4, fullLine), true},
        {"one byte too many", withLines("bytes over", 4, fullLine + 1), false},
        {"id at the limit", MakeEntry(std::string(kMaxCachedUidlLength, 'i')), true},
        {"id too long", MakeEntry(std::string(kMaxCachedUidlLength + 1, 'i')), false},
        {"empty id", MakeEntry(""), false},
        {"negative size", MakeEntry("negative", 3, -1), false},
        {"line feed in a line", lineFeed, false},
    };
    HeaderCache cache(database_, "server", "user");
    std::vector<CachedHeader> batch;
    std::vector<std::string> ids;
    size_t expected = 0;
    for (const Case& c : cases) {
        batch.push_back(c.entry);
        ids.push_back(c.entry.uidl);
        expected += c.stored ? 1 : 0;
    }
    EXPECT_EQ(StoreAll(cache, batch), expected);
    CacheLookup lookup = LoadAll(cache, ids);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(lookup.found.count(c.entry.uidl), c.stored ? 1u : 0u);
        if (c.stored) {
            EXPECT_TRUE(lookup.found.at(c.entry.uidl).lines == c.entry.lines);
        }
    }

    // Names no real server or account has: nothing is cached, and that is
    // no failure.
    HeaderCache odd(database_, std::string(kMaxMailboxNameLength + 1, 's'), "user");
    EXPECT_EQ(StoreAll(odd, {MakeEntry("u1")}), 0u);
    EXPECT_TRUE(LoadAll(odd, {"u1"}).found.empty());
}

TEST_F(HeaderCacheTest, StoringAnIdAgainReplacesItsEntry) {
    HeaderCache cache(database_, "server", "user");
    EXPECT_EQ(StoreAll(cache, {MakeEntry("u1", 5, 100)}), 1u);
    CachedHeader newer = MakeEntry("u1", 2, 200);
    newer.lines[1] = "Subject: the message behind this id now";
    EXPECT_EQ(StoreAll(cache, {newer}), 1u);
    CacheLookup lookup = LoadAll(cache, {"u1"});
    EXPECT_EQ(lookup.found.at("u1").size, 200);
    EXPECT_EQ(lookup.found.at("u1").lines, newer.lines);
}

TEST_F(HeaderCacheTest, RemoveAbsentKeepsExactlyTheListedIds) {
    HeaderCache cache(database_, "server", "user");
    EXPECT_EQ(StoreAll(cache, {MakeEntry("u1"), MakeEntry("u2"), MakeEntry("u3"), MakeEntry("u4"),
                               MakeEntry("u5")}),
              5u);
    size_t removed = 0;
    // Listed twice (a duplicate on the server) or not cached: no matter.
    ASSERT_TRUE(cache.RemoveAbsent({"u2", "u4", "u4", "u7"}, removed)) << database_.Problem();
    EXPECT_EQ(removed, 3u);
    CacheLookup lookup = LoadAll(cache, {"u1", "u2", "u3", "u4", "u5"});
    EXPECT_EQ(lookup.found.size(), 2u);
    EXPECT_EQ(lookup.found.count("u2"), 1u);
    EXPECT_EQ(lookup.found.count("u4"), 1u);
    ASSERT_TRUE(cache.RemoveAbsent({"u2", "u4"}, removed));
    EXPECT_EQ(removed, 0u);
}

// Rows changed behind the program's back: each is left out on its own and
// fetched again; the others are still served.
TEST_F(HeaderCacheTest, UnreadableEntriesAreLeftOutAndReplacedByStoring) {
    const std::vector<std::pair<const char*, const char*>> damages = {
        {"count too high", "UPDATE header_cache SET line_count = line_count + 1"},
        {"count too low", "UPDATE header_cache SET line_count = line_count - 1"},
        {"count negative", "UPDATE header_cache SET line_count = -1"},
        {"last line end missing", "UPDATE header_cache SET header = X'41', line_count = 1"},
        {"size negative", "UPDATE header_cache SET size = -5"},
        {"too many lines", "UPDATE header_cache SET line_count = 5000, header = zeroblob(0)"},
    };
    HeaderCache cache(database_, "server", "user");
    for (const auto& [name, sql] : damages) {
        SCOPED_TRACE(name);
        EXPECT_EQ(StoreAll(cache, {MakeEntry("bad"), MakeEntry("good")}), 2u);
        {
            RawConnection raw(DatabasePath(directory_));
            ASSERT_EQ(raw.Run(std::string(sql) + " WHERE uidl = CAST('bad' AS BLOB)"), "");
        }
        CacheLookup lookup = LoadAll(cache, {"bad", "good"});
        EXPECT_EQ(lookup.unreadable, 1u);
        EXPECT_EQ(lookup.found.count("bad"), 0u);
        EXPECT_EQ(lookup.found.count("good"), 1u);

        EXPECT_EQ(StoreAll(cache, {MakeEntry("bad")}), 1u);
        lookup = LoadAll(cache, {"bad", "good"});
        EXPECT_EQ(lookup.unreadable, 0u);
        EXPECT_EQ(lookup.found.size(), 2u);
    }
}

// Sessions of different accounts, each on its own thread and connection,
// write, read and prune at once; every one sees exactly its own entries.
TEST(HeaderCacheConcurrency, SessionsOfDifferentAccountsWriteAtOnce) {
    constexpr int kSessions = 6;
    constexpr int kRounds = 5;
    constexpr int kBatch = 150;
    const std::string directory = FreshDirectory();  // the first openings race too
    std::vector<std::string> failures(kSessions);

    auto session = [&](int number) {
        std::string& failure = failures[static_cast<size_t>(number)];
        StateDatabase database;
        if (database.Open(directory) != OpenOutcome::kOpened) {
            failure = "open: " + database.Problem();
            return;
        }
        HeaderCache cache(database, "127.0.0.1:110", "account" + std::to_string(number));
        for (int round = 0; round < kRounds && failure.empty(); ++round) {
            std::vector<CachedHeader> batch;
            std::vector<std::string> ids;
            for (int i = 0; i < kBatch; ++i) {
                batch.push_back(
                    MakeEntry("r" + std::to_string(round) + "-" + std::to_string(i), 20, number));
                ids.push_back(batch.back().uidl);
            }
            size_t stored = 0;
            size_t removed = 0;
            CacheLookup lookup;
            if (!cache.Store(batch, stored) || stored != batch.size()) {
                failure = "store: " + database.Problem();
            } else if (!cache.Load(ids, lookup) || lookup.found.size() != batch.size() ||
                       lookup.found.at(ids.back()).size != number ||
                       lookup.found.at(ids.back()).lines != batch.back().lines) {
                failure = "load: " + database.Problem();
            } else if (!cache.RemoveAbsent(ids, removed) ||
                       removed != (round == 0 ? 0u : static_cast<size_t>(kBatch))) {
                failure = "remove: " + database.Problem();
            }
        }
    };
    std::vector<std::thread> threads;
    for (int number = 0; number < kSessions; ++number) threads.emplace_back(session, number);
    for (std::thread& thread : threads) thread.join();
    for (int number = 0; number < kSessions; ++number) {
        EXPECT_EQ(failures[static_cast<size_t>(number)], "") << "session " << number;
    }

    RawConnection raw(DatabasePath(directory));
    EXPECT_EQ(raw.Query("SELECT count(*) FROM header_cache"), std::to_string(kSessions * kBatch));
    EXPECT_EQ(raw.Query("SELECT count(DISTINCT account) FROM header_cache"),
              std::to_string(kSessions));
}

}  // namespace
