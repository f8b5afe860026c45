#include "store/state_database.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "store/header_cache.h"
#include "store/statement.h"
#include "store_test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string AsideOf(const std::string& directory) {
    return DatabasePath(directory) + std::string(kSetAsideSuffix);
}

unsigned ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xffff;
}

// Stores and loads one entry: the database does its work.
void ExpectWorks(StateDatabase& database) {
    HeaderCache cache(database, "127.0.0.1:110", "user");
    size_t stored = 0;
    ASSERT_TRUE(cache.Store({MakeEntry("works")}, stored)) << database.Problem();
    CacheLookup lookup;
    ASSERT_TRUE(cache.Load({"works"}, lookup)) << database.Problem();
    EXPECT_EQ(lookup.found.count("works"), 1u);
}

// A database file with cache entries, written by this program and closed,
// so that all of it is in the main file.
void MakeFilledDatabase(const std::string& directory, size_t entries) {
    StateDatabase database;
    ASSERT_EQ(database.Open(directory), OpenOutcome::kOpened) << database.Problem();
    HeaderCache cache(database, "127.0.0.1:110", "user");
    std::vector<CachedHeader> batch;
    for (size_t i = 0; i < entries; ++i) batch.push_back(MakeEntry("u" + std::to_string(i), 30));
    size_t stored = 0;
    ASSERT_TRUE(cache.Store(batch, stored)) << database.Problem();
}

TEST(StateDatabase, FreshFileIsPrivateLoggedAheadAndOfTheCurrentSchema) {
    std::string directory = FreshDirectory();
    StateDatabase first;
    ASSERT_EQ(first.Open(directory), OpenOutcome::kOpened) << first.Problem();
    EXPECT_TRUE(first.IsUsable());
    EXPECT_EQ(first.Problem(), "");
    ExpectWorks(first);
    EXPECT_EQ(ModeOf(DatabasePath(directory)), 0600u);
    EXPECT_EQ(ModeOf(DatabasePath(directory) + "-wal"), 0600u);

    // A second connection, as of another session, while the first is open;
    // a directory named without its trailing slash is the same one.
    StateDatabase second;
    ASSERT_EQ(second.Open(directory.substr(0, directory.size() - 1)), OpenOutcome::kOpened)
        << second.Problem();
    ExpectWorks(second);
    first.Close();
    second.Close();
    EXPECT_FALSE(first.IsUsable());

    RawConnection raw(DatabasePath(directory));
    EXPECT_EQ(raw.Query("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(raw.Query("PRAGMA user_version"), "4");
    EXPECT_FALSE(std::filesystem::exists(AsideOf(directory)));
}

TEST(StateDatabase, MissingDirectoryIsAProblemAndNothingIsMade) {
    std::string directory = FreshDirectory() + "absent/";
    StateDatabase database;
    EXPECT_EQ(database.Open(directory), OpenOutcome::kUnavailable);
    EXPECT_NE(database.Problem().find("data directory is missing"), std::string::npos)
        << database.Problem();
    EXPECT_FALSE(std::filesystem::exists(directory));

    // The tables refuse work on it without touching anything.
    HeaderCache cache(database, "server", "user");
    CacheLookup lookup;
    size_t stored = 0;
    EXPECT_FALSE(cache.Load({"a"}, lookup));
    EXPECT_FALSE(cache.Store({MakeEntry("a")}, stored));
    EXPECT_FALSE(database.Problem().empty());
}

// Damage found at the first opening: the file is set aside byte for byte
// and a working one takes its place.
TEST(StateDatabase, DamagedFilesAreSetAsideAndMadeAfresh) {
    struct Case {
        const char* name;
        const char* sql;  // run on a new file by another program; null: `bytes` are the file
        const char* bytes;
        size_t scribbleFrom;  // 0: none
        const char* found;    // in the problem text
    };
    const std::vector<Case> cases = {
        {"garbage", nullptr, "This is a mail folder, not a database.\n", 0, "not a database"},
        {"pages overwritten", "", nullptr, 4096,
         "failed the integrity check (*** in database main *** Page"},
        {"other columns at our version", "CREATE TABLE header_cache (x); PRAGMA user_version=1;",
         nullptr, 0, "not the expected ones"},
        {"a table in the way", "CREATE TABLE header_cache (a, b);", nullptr, 0,
         "not the expected ones"},
        {"a foreign table besides", "CREATE TABLE notes (text);", nullptr, 0,
         "not the expected ones"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string directory = FreshDirectory();
        std::string path = DatabasePath(directory);
        if (c.bytes != nullptr) {
            WriteBytes(path, c.bytes);
        } else if (c.scribbleFrom != 0) {
            // Made by a copy of this program that has since ended: this
            // process has never checked it.
            std::string maker = FreshDirectory();
            MakeFilledDatabase(maker, 400);
            std::filesystem::copy_file(DatabasePath(maker), path);
            Scribble(path, c.scribbleFrom);
        } else {
            RawConnection raw(path);
            ASSERT_EQ(raw.Run(c.sql), "");
        }
        std::string before = FileBytes(path);

        StateDatabase database;
        ASSERT_EQ(database.Open(directory), OpenOutcome::kRebuilt) << database.Problem();
        EXPECT_NE(database.Problem().find(c.found), std::string::npos) << database.Problem();
        EXPECT_NE(database.Problem().find("set aside as TRAWLBOX.DB.DAMAGED and made afresh"),
                  std::string::npos)
            << database.Problem();
        EXPECT_TRUE(FileBytes(AsideOf(directory)) == before);
        ExpectWorks(database);
        database.Close();

        // Damaged again: the copy set aside before is replaced, not added to.
        WriteBytes(path, "damaged again");
        StateDatabase again;
        EXPECT_EQ(again.Open(directory), OpenOutcome::kRebuilt) << again.Problem();
        EXPECT_EQ(FileBytes(AsideOf(directory)), "damaged again");
        size_t files = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
            ++files;
        }
        EXPECT_LE(files, 4u);  // the file, its -wal and -shm, the copy set aside
    }
}

// A file of the first version, as the header-cache release wrote it: brought
// up to date without losing its entries.
TEST(StateDatabase, OlderFileIsBroughtUpToDateAndKeepsItsEntries) {
    std::string directory = FreshDirectory();
    {
        RawConnection raw(DatabasePath(directory));
        ASSERT_EQ(raw.Run("PRAGMA journal_mode=WAL; "
                          "CREATE TABLE header_cache ("
                          "server BLOB NOT NULL, account BLOB NOT NULL, uidl BLOB NOT NULL, "
                          "size INTEGER NOT NULL, line_count INTEGER NOT NULL, "
                          "header BLOB NOT NULL, UNIQUE (server, account, uidl)) STRICT; "
                          "INSERT INTO header_cache VALUES (CAST('127.0.0.1:110' AS BLOB), "
                          "CAST('user' AS BLOB), CAST('old' AS BLOB), 7, 1, x'413a20620a'); "
                          "PRAGMA user_version=1;"),
                  "");
    }
    StateDatabase database;
    ASSERT_EQ(database.Open(directory), OpenOutcome::kOpened) << database.Problem();
    HeaderCache cache(database, "127.0.0.1:110", "user");
    CacheLookup lookup;
    ASSERT_TRUE(cache.Load({"old"}, lookup)) << database.Problem();
    ASSERT_EQ(lookup.found.count("old"), 1u);
    EXPECT_EQ(lookup.found.at("old").lines, std::vector<std::string>{"A: b"});
    ExpectWorks(database);
    RawConnection raw(DatabasePath(directory));
    EXPECT_EQ(raw.Query("SELECT count(*) FROM quarantine"), "0");
}

TEST(StateDatabase, NewerSchemaIsLeftAlone) {
    std::string directory = FreshDirectory();
    {
        RawConnection raw(DatabasePath(directory));
        ASSERT_EQ(raw.Run("CREATE TABLE later (x); PRAGMA user_version=7;"), "");
    }
    std::string before = FileBytes(DatabasePath(directory));
    StateDatabase database;
    EXPECT_EQ(database.Open(directory), OpenOutcome::kUnavailable);
    EXPECT_NE(database.Problem().find("newer version of the program (schema 7)"), std::string::npos)
        << database.Problem();
    EXPECT_TRUE(FileBytes(DatabasePath(directory)) == before);
    EXPECT_FALSE(std::filesystem::exists(AsideOf(directory)));
}

// Damage that shows only while the file is in use: the connection that
// meets it stops, and the file is set aside once no connection uses it.
TEST(StateDatabase, DamageFoundInUseSetsTheFileAsideOnceNobodyUsesIt) {
    std::string directory = FreshDirectory();
    MakeFilledDatabase(directory, 400);
    Scribble(DatabasePath(directory), 4096);

    // Checked whole at the first opening; later openings are cheap and do
    // not see it.
    StateDatabase reader;
    ASSERT_EQ(reader.Open(directory), OpenOutcome::kOpened) << reader.Problem();
    StateDatabase other;
    ASSERT_EQ(other.Open(directory), OpenOutcome::kOpened) << other.Problem();

    HeaderCache cache(reader, "127.0.0.1:110", "user");
    CacheLookup lookup;
    EXPECT_FALSE(cache.Load({"u1", "u2", "u399"}, lookup));
    EXPECT_TRUE(lookup.found.empty());
    EXPECT_FALSE(reader.IsUsable());
    EXPECT_NE(reader.Problem().find("damaged"), std::string::npos) << reader.Problem();
    EXPECT_NE(reader.Problem().find("set aside once no session uses it"), std::string::npos);
    size_t stored = 0;
    EXPECT_FALSE(cache.Store({MakeEntry("new")}, stored));  // refuses all further work

    reader.Close();
    StateDatabase meanwhile;
    EXPECT_EQ(meanwhile.Open(directory), OpenOutcome::kUnavailable);
    EXPECT_NE(meanwhile.Problem().find("once no session uses it"), std::string::npos)
        << meanwhile.Problem();
    EXPECT_FALSE(std::filesystem::exists(AsideOf(directory)));

    other.Close();
    StateDatabase after;
    EXPECT_EQ(after.Open(directory), OpenOutcome::kRebuilt) << after.Problem();
    EXPECT_TRUE(std::filesystem::exists(AsideOf(directory)));
    ExpectWorks(after);
}

// File modes as the program's (unprivileged) user meets them.
TEST(StateDatabase, ReadOnlyPlacesAreAProblemAndChangeNothing) {
    struct Case {
        const char* name;
        unsigned directoryMode;
        int fileMode;  // -1: no file
        const char* found;
    };
    const std::vector<Case> cases = {
        {"read-only file", 0777, 0644, "the file is read-only"},
        {"read-only directory, no file", 0755, -1, "the file cannot be made"},
        {"writable file, read-only directory", 0755, 0666, "the data directory is read-only"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string directory = FreshDirectory();
        std::string path = DatabasePath(directory);
        if (c.fileMode >= 0) {
            MakeFilledDatabase(directory, 3);
            ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.fileMode)), 0);
        }
        ASSERT_EQ(::chmod(directory.c_str(), c.directoryMode), 0);
        std::string before = FileBytes(path);
        {
            UnprivilegedFiles unprivileged;
            StateDatabase database;
            EXPECT_EQ(database.Open(directory), OpenOutcome::kUnavailable);
            EXPECT_NE(database.Problem().find(c.found), std::string::npos) << database.Problem();
        }
        EXPECT_TRUE(FileBytes(path) == before);
        EXPECT_FALSE(std::filesystem::exists(AsideOf(directory)));
        ::chmod(directory.c_str(), 0700);
    }
}

TEST(StateDatabase, SymbolicLinkInItsPlaceIsNotFollowed) {
    std::string directory = FreshDirectory();
    std::string elsewhere = FreshDirectory() + "elsewhere";
    WriteBytes(elsewhere, "");
    std::filesystem::create_symlink(elsewhere, DatabasePath(directory));
    StateDatabase database;
    EXPECT_EQ(database.Open(directory), OpenOutcome::kUnavailable);
    EXPECT_NE(database.Problem().find("symbolic link"), std::string::npos) << database.Problem();
    EXPECT_EQ(FileBytes(elsewhere), "");
    EXPECT_TRUE(std::filesystem::is_symlink(DatabasePath(directory)));
}

TEST(StateDatabase, LockedFileIsAProblemWithinTheBusyTime) {
    // Once when this process has never checked the file, once when it has.
    for (bool checkedBefore : {false, true}) {
        SCOPED_TRACE(checkedBefore ? "checked before" : "never checked");
        std::string directory = FreshDirectory();
        if (checkedBefore) {
            MakeFilledDatabase(directory, 3);
        } else {
            RawConnection maker(DatabasePath(directory));
            ASSERT_EQ(maker.Run("PRAGMA journal_mode=WAL"), "");
        }
        std::optional<RawConnection> holder(std::in_place, DatabasePath(directory));
        ASSERT_EQ(holder->Run("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"), "");

        StateDatabase database;
        Clock::time_point start = Clock::now();
        EXPECT_EQ(database.Open(directory), OpenOutcome::kUnavailable);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kBusyTimeoutMs + 3000));
        EXPECT_NE(database.Problem().find("locked"), std::string::npos) << database.Problem();

        holder.reset();
        EXPECT_EQ(database.Open(directory), OpenOutcome::kOpened) << database.Problem();
        ExpectWorks(database);
        EXPECT_FALSE(std::filesystem::exists(AsideOf(directory)));
    }
}

TEST(StateDatabase, LockedWhileInUseFailsTheCallNotTheConnection) {
    std::string directory = FreshDirectory();
    StateDatabase database;
    ASSERT_EQ(database.Open(directory), OpenOutcome::kOpened) << database.Problem();
    ExpectWorks(database);
    HeaderCache cache(database, "127.0.0.1:110", "user");
    size_t stored = 0;
    {
        RawConnection holder(DatabasePath(directory));
        ASSERT_EQ(holder.Run("BEGIN IMMEDIATE; DELETE FROM header_cache;"), "");
        EXPECT_FALSE(cache.Store({MakeEntry("while locked")}, stored));
        EXPECT_NE(database.Problem().find("locked"), std::string::npos) << database.Problem();
        EXPECT_TRUE(database.IsUsable());
    }  // rolled back by closing
    EXPECT_TRUE(cache.Store({MakeEntry("after")}, stored)) << database.Problem();
    CacheLookup lookup;
    ASSERT_TRUE(cache.Load({"works", "while locked", "after"}, lookup));
    EXPECT_EQ(lookup.found.size(), 2u);
    EXPECT_EQ(lookup.found.count("while locked"), 0u);
}

TEST(StateDatabase, FullDiskFailsTheWholeBatchAndKeepsWhatWasThere) {
    std::string directory = FreshDirectory();
    StateDatabase database;
    ASSERT_EQ(database.Open(directory), OpenOutcome::kOpened) << database.Problem();
    HeaderCache cache(database, "127.0.0.1:110", "user");
    size_t stored = 0;
    ASSERT_TRUE(cache.Store({MakeEntry("old1"), MakeEntry("old2")}, stored));

    // The file may not grow beyond the pages it has: a full disk for SQLite.
    ASSERT_TRUE(ExecuteSql(database, "PRAGMA max_page_count=1", "limiting"));  // set to the least
    std::vector<CachedHeader> batch;
    std::vector<std::string> ids = {"old1", "old2"};
    for (int i = 0; i < 200; ++i) {
        batch.push_back(MakeEntry("new" + std::to_string(i), 100));
        ids.push_back(batch.back().uidl);
    }
    EXPECT_FALSE(cache.Store(batch, stored));
    EXPECT_NE(database.Problem().find("the disk is full"), std::string::npos) << database.Problem();
    EXPECT_TRUE(database.IsUsable());

    CacheLookup lookup;
    ASSERT_TRUE(cache.Load(ids, lookup)) << database.Problem();
    EXPECT_EQ(lookup.found.size(), 2u);
    EXPECT_EQ(lookup.found.count("old1"), 1u);

    ASSERT_TRUE(ExecuteSql(database, "PRAGMA max_page_count=1000000", "raising the limit"));
    ASSERT_TRUE(cache.Store(batch, stored)) << database.Problem();
    EXPECT_EQ(stored, batch.size());
}

}  // namespace
