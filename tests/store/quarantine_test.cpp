#include "store/quarantine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "store_test_util.h"

namespace {

constexpr int64_t kNow = 1760000000;  // a fixed "now" for the clock-dependent cases
constexpr int64_t kDay = 24 * 3600;
const std::string kAnna = AccountKey("pop.example.net", "anna");
const std::string kBert = AccountKey("mail.example.org", "bert");

size_t FilesIn(const std::string& directory) {
    size_t count = 0;
    std::error_code ignored;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(directory, ignored)) {
        ++count;
    }
    return count;
}

void SetModified(const std::string& path, int64_t seconds) {
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::vector<std::string> Ids(const std::vector<QuarantineEntry>& entries) {
    std::vector<std::string> ids;
    for (const QuarantineEntry& entry : entries) ids.push_back(entry.id);
    return ids;
}

class QuarantineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = FreshDirectory();
        quarantineDirectory_ = directory_ + "QUARANTINE/";
        Reopen();
    }

    // A new connection, as of the next login.
    void Reopen() {
        quarantine_.reset();
        database_.Close();
        ASSERT_EQ(database_.Open(directory_), OpenOutcome::kOpened) << database_.Problem();
        quarantine_ = std::make_unique<Quarantine>(database_, quarantineDirectory_);
    }

    // Copies a message of the account and indexes it; returns its entry.
    QuarantineEntry Keep(const std::string& account, const std::vector<std::string>& lines,
                         const std::string& subject, int64_t killedAt = kNow,
                         const std::string& sender = "spam@example.com") {
        MaildirDelivery copy;
        QuarantineEntry entry;
        entry.account = account;
        entry.killedAt = killedAt;
        entry.sender = sender;
        entry.subject = subject;
        entry.rule = "Subject: ~\"offer\"";
        EXPECT_TRUE(quarantine_->BeginCopy(account, copy)) << quarantine_->Problem();
        for (const std::string& line : lines) EXPECT_TRUE(copy.AddLine(line)) << copy.Problem();
        EXPECT_TRUE(copy.Finish()) << copy.Problem();
        EXPECT_TRUE(quarantine_->Add(copy, entry)) << quarantine_->Problem();
        return entry;
    }

    std::vector<QuarantineEntry> ListAll(QuarantineQuery query = {}) {
        std::vector<QuarantineEntry> entries;
        EXPECT_TRUE(quarantine_->List(query, entries)) << quarantine_->Problem();
        return entries;
    }

    std::string FileOf(const QuarantineEntry& entry) const {
        return quarantineDirectory_ + entry.path;
    }

    std::string directory_;
    std::string quarantineDirectory_;
    StateDatabase database_;
    std::unique_ptr<Quarantine> quarantine_;
};

TEST_F(QuarantineTest, KeptCopiesAreListedFoundAndReadBack) {
    const std::vector<std::string> lines = {
        "From: Spam <spam@example.com>", "Subject: Offer", "", ".", "..leading dots",
        std::string("8\xe4\xf6\0t", 5)};
    QuarantineEntry first = Keep(kAnna, lines, "Cheap OFFER", kNow - 300);
    QuarantineEntry second = Keep(kBert, {"Subject: hello"}, "Hello", kNow - 200, "Friend@X.org");
    QuarantineEntry third = Keep(kAnna, {"Subject: \xc3\xbc"}, "\xc3\xbc offer", kNow - 100);

    std::set<std::string> ids;
    for (const QuarantineEntry& entry : {first, second, third}) {
        EXPECT_EQ(entry.id.size(), kQuarantineIdLength);
        EXPECT_EQ(entry.id.find_first_not_of(kQuarantineIdAlphabet), std::string::npos);
        ids.insert(entry.id);
    }
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_EQ(first.path.substr(0, first.path.find('/')), QuarantineFolderName(kAnna));
    int64_t wireSize = 0;
    for (const std::string& line : lines) wireSize += static_cast<int64_t>(line.size()) + 2;
    EXPECT_EQ(first.size, wireSize);
    EXPECT_EQ(ReleasedUidl(first.id), "trawlbox-q-" + first.id);

    // Newest first; text search over sender and subject regardless of ASCII
    // case; account filter; limit.
    EXPECT_EQ(Ids(ListAll()), (std::vector<std::string>{third.id, second.id, first.id}));
    QuarantineQuery query;
    query.text = "oFFer";
    EXPECT_EQ(Ids(ListAll(query)), (std::vector<std::string>{third.id, first.id}));
    query.text = "friend@x";
    EXPECT_EQ(Ids(ListAll(query)), (std::vector<std::string>{second.id}));
    query.text = "\xc3\x9c";  // no case-folding beyond ASCII
    EXPECT_TRUE(ListAll(query).empty());
    query = {};
    query.account = kAnna;
    EXPECT_EQ(Ids(ListAll(query)), (std::vector<std::string>{third.id, first.id}));
    query.limit = 1;
    EXPECT_EQ(Ids(ListAll(query)), (std::vector<std::string>{third.id}));

    // In another connection; the id typed in capitals, with look-alikes.
    Reopen();
    std::string typed = first.id;
    for (char& c : typed) c = c == '0' ? 'O' : c == '1' ? 'l' : static_cast<char>(std::toupper(c));
    QuarantineEntry found;
    ASSERT_EQ(quarantine_->Get(typed, found), QuarantineLookup::kFound) << quarantine_->Problem();
    EXPECT_EQ(found.account, kAnna);
    EXPECT_EQ(found.killedAt, kNow - 300);
    EXPECT_EQ(found.sender, "spam@example.com");
    EXPECT_EQ(found.subject, "Cheap OFFER");
    EXPECT_EQ(found.rule, "Subject: ~\"offer\"");
    EXPECT_EQ(found.size, first.size);
    EXPECT_FALSE(found.Released());
    std::string message;
    ASSERT_TRUE(quarantine_->ReadMessage(found, message)) << quarantine_->Problem();
    std::string expected;
    for (const std::string& line : lines) expected += line + "\n";
    EXPECT_TRUE(message == expected);

    for (const char* unknown : {"", "abc", "zzzzzzzz", "uuuuuuuu", "zzzzzzzzz"}) {
        EXPECT_EQ(quarantine_->Get(unknown, found), QuarantineLookup::kUnknown) << unknown;
    }
}

TEST_F(QuarantineTest, TextsAreCutBetweenCharacters) {
    std::string subject;
    while (subject.size() < 2 * kMaxQuarantineTextBytes) subject += "\xe2\x82\xac";  // €
    QuarantineEntry entry = Keep(kAnna, {"x"}, subject, kNow, std::string(5000, 's'));
    QuarantineEntry found;
    ASSERT_EQ(quarantine_->Get(entry.id, found), QuarantineLookup::kFound);
    EXPECT_EQ(found.subject.size(), kMaxQuarantineTextBytes / 3 * 3);
    EXPECT_TRUE(StartsWith(subject, found.subject));
    EXPECT_EQ(found.sender.size(), kMaxQuarantineTextBytes);
}

// Release by the operator, handing back at a login, deletion by the client:
// each step a connection of its own.
TEST_F(QuarantineTest, ReleaseListAndRemoveAcrossLogins) {
    QuarantineEntry kept = Keep(kAnna, {"Subject: stays"}, "stays", kNow - 30);
    QuarantineEntry wanted = Keep(kAnna, {"Subject: wanted"}, "wanted", kNow - 20);
    QuarantineEntry other = Keep(kBert, {"Subject: bert's"}, "bert's", kNow - 10);

    Reopen();
    std::vector<std::string> unknown;
    std::string upper = wanted.id;
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    ASSERT_TRUE(quarantine_->Release({upper, "zzzzzzzz", "not-an-id", other.id}, kNow, unknown))
        << quarantine_->Problem();
    EXPECT_EQ(unknown, (std::vector<std::string>{"zzzzzzzz", "not-an-id"}));
    // Released again later: the first time stays.
    ASSERT_TRUE(quarantine_->Release({wanted.id}, kNow + 500, unknown));
    EXPECT_TRUE(unknown.empty());

    Reopen();
    std::vector<QuarantineEntry> released;
    ASSERT_TRUE(quarantine_->ListReleased(kAnna, released)) << quarantine_->Problem();
    ASSERT_EQ(Ids(released), (std::vector<std::string>{wanted.id}));
    EXPECT_EQ(released[0].releasedAt, kNow);
    ASSERT_TRUE(quarantine_->ListReleased(kBert, released));
    EXPECT_EQ(Ids(released), (std::vector<std::string>{other.id}));
    ASSERT_TRUE(quarantine_->ListReleased(AccountKey("pop.example.net", "carl"), released));
    EXPECT_TRUE(released.empty());
    EXPECT_EQ(ListAll().size(), 3u);  // a released copy is still listed

    // The client deleted it: it leaves the quarantine, file and row.
    Reopen();
    EXPECT_EQ(quarantine_->Remove(wanted.id), QuarantineLookup::kFound) << quarantine_->Problem();
    EXPECT_FALSE(std::filesystem::exists(FileOf(wanted)));
    EXPECT_EQ(quarantine_->Remove(wanted.id), QuarantineLookup::kUnknown);
    ASSERT_TRUE(quarantine_->ListReleased(kAnna, released));
    EXPECT_TRUE(released.empty());
    EXPECT_EQ(Ids(ListAll()), (std::vector<std::string>{other.id, kept.id}));
    EXPECT_TRUE(std::filesystem::exists(FileOf(kept)));
}

// A mail program opened on the folder moves what it has seen into cur/.
TEST_F(QuarantineTest, CopyMovedIntoCurByAMailProgramIsStillFound) {
    QuarantineEntry entry = Keep(kAnna, {"Subject: seen", "", "body"}, "seen");
    std::string name = entry.path.substr(entry.path.rfind('/') + 1);
    std::string moved =
        quarantineDirectory_ + QuarantineFolderName(kAnna) + "/cur/" + name + ":2,S";
    std::filesystem::rename(FileOf(entry), moved);

    std::string message;
    ASSERT_TRUE(quarantine_->ReadMessage(entry, message)) << quarantine_->Problem();
    EXPECT_EQ(message, "Subject: seen\n\nbody\n");
    QuarantineCleanup cleanup;
    ASSERT_TRUE(quarantine_->CleanUp(kDefaultQuarantineDays, kNow, cleanup));
    EXPECT_EQ(cleanup.danglingRows, 0u);
    EXPECT_EQ(ListAll().size(), 1u);
    EXPECT_EQ(quarantine_->Remove(entry.id), QuarantineLookup::kFound);
    EXPECT_FALSE(std::filesystem::exists(moved));
}

TEST_F(QuarantineTest, CleanUpRemovesExpiredCopiesDanglingRowsAndStrayFiles) {
    QuarantineEntry old = Keep(kAnna, {"old"}, "old", kNow - 15 * kDay);
    QuarantineEntry recent = Keep(kAnna, {"recent"}, "recent", kNow - 13 * kDay);
    // Released a day ago: a release gives it another full period.
    QuarantineEntry releasedOld = Keep(kBert, {"released"}, "released", kNow - 20 * kDay);
    std::vector<std::string> unknown;
    ASSERT_TRUE(quarantine_->Release({releasedOld.id}, kNow - kDay, unknown));
    // Its file removed by hand: the row stays listed but cannot be read.
    QuarantineEntry vanished = Keep(kBert, {"vanished"}, "vanished", kNow - kDay);
    ASSERT_TRUE(std::filesystem::remove(FileOf(vanished)));
    EXPECT_EQ(ListAll().size(), 4u);
    std::string message;
    EXPECT_FALSE(quarantine_->ReadMessage(vanished, message));
    EXPECT_NE(quarantine_->Problem().find("is gone"), std::string::npos) << quarantine_->Problem();

    // Files without rows: an old and a new one of ours, an old one of
    // someone else's, and deliveries a crash left in tmp/.
    std::string maildir = quarantineDirectory_ + QuarantineFolderName(kAnna) + "/";
    const std::string strayOld = maildir + "cur/1700000000.M1P2Q3.host:2,S";
    const std::string strayNew = maildir + "new/1700000000.M1P2Q4.host";
    const std::string foreign = maildir + "new/1700000000.M1P2.host";
    const std::string tmpOld = maildir + "tmp/1700000000.M1P2Q5.host";
    const std::string tmpNew = maildir + "tmp/1700000000.M1P2Q6.host";
    for (const std::string& path : {strayOld, strayNew, foreign, tmpOld, tmpNew}) {
        WriteBytes(path, "stray");
    }
    SetModified(strayOld, kNow - 15 * kDay);
    SetModified(strayNew, kNow - 13 * kDay);
    SetModified(foreign, kNow - 100 * kDay);
    SetModified(tmpOld, kNow - 37 * 3600);
    SetModified(tmpNew, kNow - 35 * 3600);
    // A folder that is a symbolic link to elsewhere is not entered.
    const std::string elsewhere = directory_ + "elsewhere/";
    const std::string outside = elsewhere + "new/1700000000.M1P2Q7.host";
    std::filesystem::create_directories(elsewhere + "new");
    WriteBytes(outside, "not ours to remove");
    SetModified(outside, kNow - 100 * kDay);
    std::filesystem::create_directory_symlink(elsewhere, quarantineDirectory_ + "linked");
    // The files of the kept rows are as old as the oldest stray.
    for (const QuarantineEntry& entry : {old, recent, releasedOld}) {
        SetModified(FileOf(entry), kNow - 30 * kDay);
    }

    Reopen();
    QuarantineCleanup cleanup;
    ASSERT_TRUE(quarantine_->CleanUp(14, kNow, cleanup)) << quarantine_->Problem();
    EXPECT_EQ(cleanup.expired, 1u);
    EXPECT_EQ(cleanup.danglingRows, 1u);
    EXPECT_EQ(cleanup.strayFiles, 2u);
    EXPECT_EQ(Ids(ListAll()), (std::vector<std::string>{recent.id, releasedOld.id}));
    EXPECT_FALSE(std::filesystem::exists(FileOf(old)));
    EXPECT_TRUE(std::filesystem::exists(FileOf(recent)));
    EXPECT_TRUE(std::filesystem::exists(FileOf(releasedOld)));
    EXPECT_FALSE(std::filesystem::exists(strayOld));
    EXPECT_TRUE(std::filesystem::exists(strayNew));
    EXPECT_TRUE(std::filesystem::exists(foreign));
    EXPECT_FALSE(std::filesystem::exists(tmpOld));
    EXPECT_TRUE(std::filesystem::exists(tmpNew));
    EXPECT_TRUE(std::filesystem::exists(outside));

    // A second run finds nothing; with no retention nothing goes by age.
    ASSERT_TRUE(quarantine_->CleanUp(14, kNow, cleanup));
    EXPECT_EQ(cleanup.expired + cleanup.danglingRows + cleanup.strayFiles, 0u);
    ASSERT_TRUE(quarantine_->CleanUp(0, kNow + 1000 * kDay, cleanup));
    EXPECT_EQ(cleanup.expired + cleanup.danglingRows, 0u);
    EXPECT_EQ(ListAll().size(), 2u);
    EXPECT_TRUE(std::filesystem::exists(strayNew));
}

// A damaged or forged row must not make the program read or remove a file
// outside the account's folder.
TEST_F(QuarantineTest, RowsPointingElsewhereAreRefusedAndDropped) {
    QuarantineEntry entry = Keep(kAnna, {"x"}, "x");
    std::string victim = directory_ + "victim";
    WriteBytes(victim, "precious");
    const std::vector<std::string> paths = {
        "../victim", QuarantineFolderName(kAnna) + "/new/../../../victim",
        QuarantineFolderName(kBert) + entry.path.substr(entry.path.find('/')), victim};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        RawConnection raw(DatabasePath(directory_));
        ASSERT_EQ(raw.Run("UPDATE quarantine SET path = CAST('" + path + "' AS BLOB)"), "");
        QuarantineEntry found;
        ASSERT_EQ(quarantine_->Get(entry.id, found), QuarantineLookup::kFound);
        std::string message;
        EXPECT_FALSE(quarantine_->ReadMessage(found, message));
        EXPECT_NE(quarantine_->Problem().find("does not point into its account's folder"),
                  std::string::npos);
    }
    QuarantineCleanup cleanup;
    ASSERT_TRUE(quarantine_->CleanUp(14, kNow, cleanup));
    EXPECT_EQ(cleanup.danglingRows, 1u);
    EXPECT_TRUE(ListAll().empty());
    EXPECT_EQ(FileBytes(victim), "precious");
}

TEST_F(QuarantineTest, CopiesThatCannotBeStoredOrIndexedLeaveNothing) {
    // The quarantine directory's parent is missing: never made.
    {
        Quarantine nowhere(database_, directory_ + "absent/QUARANTINE");
        MaildirDelivery copy;
        EXPECT_FALSE(nowhere.BeginCopy(kAnna, copy));
        EXPECT_EQ(nowhere.Problem(), "cannot make the quarantine directory " + directory_ +
                                         "absent/QUARANTINE/: No such file or directory");
        EXPECT_FALSE(std::filesystem::exists(directory_ + "absent"));
    }
    // Not writable for the program's user.
    {
        ASSERT_TRUE(std::filesystem::create_directory(quarantineDirectory_));
        ASSERT_EQ(::chmod(quarantineDirectory_.c_str(), 0555), 0);
        MaildirDelivery copy;
        {
            UnprivilegedFiles unprivileged;
            EXPECT_FALSE(quarantine_->BeginCopy(kAnna, copy));
        }
        EXPECT_NE(quarantine_->Problem().find("Permission denied"), std::string::npos)
            << quarantine_->Problem();
        EXPECT_EQ(FilesIn(quarantineDirectory_), 0u);
        ASSERT_EQ(::chmod(quarantineDirectory_.c_str(), 0700), 0);
    }
    std::string maildir = quarantine_->MaildirOf(kAnna);
    // An unfinished copy is not indexed.
    {
        MaildirDelivery copy;
        ASSERT_TRUE(quarantine_->BeginCopy(kAnna, copy));
        QuarantineEntry entry;
        entry.account = kAnna;
        EXPECT_FALSE(quarantine_->Add(copy, entry));
        EXPECT_EQ(quarantine_->Problem(), "the copy is not finished");
    }
    // The database refuses the row: the copy's file goes.
    {
        MaildirDelivery copy;
        ASSERT_TRUE(quarantine_->BeginCopy(kAnna, copy));
        ASSERT_TRUE(copy.AddLine("Subject: not indexed"));
        ASSERT_TRUE(copy.Finish());
        EXPECT_EQ(FilesIn(maildir + "/new"), 1u);
        RawConnection holder(DatabasePath(directory_));
        ASSERT_EQ(holder.Run("BEGIN IMMEDIATE"), "");
        QuarantineEntry entry;
        entry.account = kAnna;
        EXPECT_FALSE(quarantine_->Add(copy, entry));
        EXPECT_NE(quarantine_->Problem().find("locked"), std::string::npos)
            << quarantine_->Problem();
        EXPECT_EQ(entry.id, "");
    }
    EXPECT_EQ(FilesIn(maildir + "/new"), 0u);
    EXPECT_EQ(FilesIn(maildir + "/tmp"), 0u);
    EXPECT_TRUE(ListAll().empty());
}

TEST(QuarantineNames, FolderNamesAreSafeAndStayApart) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"pop.example.net#anna", "pop.example.net#anna"},
        {"host#a/b", "host#a%2Fb"},
        {".hidden#x", "%2Ehidden#x"},
        {"..#x", "%2E.#x"},
        {"h#line\nbreak\x01", "h#line%0Abreak%01"},
        {"h#50%", "h#50%25"},
        {"h#m\xc3\xbcller", "h#m%C3%BCller"},
        {"h#a b~c", "h#a%20b%7Ec"},
    };
    for (const auto& [key, folder] : cases) EXPECT_EQ(QuarantineFolderName(key), folder) << key;

    std::string longKey(300, 'a');
    std::string cut = QuarantineFolderName(longKey);
    EXPECT_LE(cut.size(), kMaxQuarantineFolderName);
    EXPECT_TRUE(StartsWith(cut, std::string(50, 'a')));
    EXPECT_EQ(cut[cut.size() - 17], '~');
    EXPECT_NE(QuarantineFolderName(longKey + "b"), cut);
    // Cut between "%XX" triplets, never through one.
    const size_t kept = kMaxQuarantineFolderName - 17;
    for (size_t prefix = kept - 6; prefix <= kept; ++prefix) {
        std::string folder = QuarantineFolderName(std::string(prefix, 'a') + std::string(40, '/'));
        size_t length = folder.size() - 17;
        EXPECT_GE(length, kept - 2);
        EXPECT_EQ((length - prefix) % 3, 0u) << folder;
    }
}

TEST(QuarantineNames, SizeCapAndIds) {
    EXPECT_TRUE(FitsQuarantine(0, 1));
    EXPECT_TRUE(FitsQuarantine(1024, 1));
    EXPECT_FALSE(FitsQuarantine(1025, 1));
    EXPECT_TRUE(FitsQuarantine(10240LL * 1024, kDefaultQuarantineMaxMessageKB));
    EXPECT_FALSE(FitsQuarantine(10240LL * 1024 + 1, kDefaultQuarantineMaxMessageKB));
    EXPECT_FALSE(FitsQuarantine(1, 0));
    EXPECT_FALSE(FitsQuarantine(-1, 10));
    EXPECT_TRUE(FitsQuarantine(INT64_MAX, INT64_MAX));

    std::string id;
    EXPECT_TRUE(ReadQuarantineId("AB3D-FGH", id) == false);
    EXPECT_TRUE(ReadQuarantineId("OIL9zyxw", id));
    EXPECT_EQ(id, "0119zyxw");
    EXPECT_FALSE(ReadQuarantineId("uuuuuuuu", id));
    EXPECT_FALSE(ReadQuarantineId("abcdefg", id));
}

// Sessions of different accounts store their copies at once, each on its
// own thread and connection.
TEST(QuarantineConcurrency, SessionsOfDifferentAccountsKeepCopiesAtOnce) {
    constexpr int kSessions = 4;
    constexpr int kMessages = 25;
    const std::string directory = FreshDirectory();
    const std::string quarantineDirectory = directory + "QUARANTINE";
    std::vector<std::string> failures(kSessions);
    std::vector<std::vector<std::string>> ids(kSessions);

    auto session = [&](int number) {
        std::string& failure = failures[static_cast<size_t>(number)];
        StateDatabase database;
        if (database.Open(directory) == OpenOutcome::kUnavailable) {
            failure = "open: " + database.Problem();
            return;
        }
        Quarantine quarantine(database, quarantineDirectory);
        std::string account = AccountKey("127.0.0.1", "user" + std::to_string(number));
        for (int i = 0; i < kMessages && failure.empty(); ++i) {
            MaildirDelivery copy;
            QuarantineEntry entry;
            entry.account = account;
            entry.killedAt = kNow + i;
            entry.subject = "message " + std::to_string(i) + " of " + account;
            bool written = quarantine.BeginCopy(account, copy);
            for (int line = 0; written && line < 200; ++line) {
                written = copy.AddLine(entry.subject + " line " + std::to_string(line));
            }
            if (!written || !copy.Finish()) {
                failure = "copy: " + copy.Problem() + quarantine.Problem();
            } else if (!quarantine.Add(copy, entry)) {
                failure = "add: " + quarantine.Problem();
            } else {
                ids[static_cast<size_t>(number)].push_back(entry.id);
            }
        }
    };
    std::vector<std::thread> threads;
    for (int number = 0; number < kSessions; ++number) threads.emplace_back(session, number);
    for (std::thread& thread : threads) thread.join();

    StateDatabase database;
    ASSERT_NE(database.Open(directory), OpenOutcome::kUnavailable);
    Quarantine quarantine(database, quarantineDirectory);
    std::set<std::string> all;
    for (int number = 0; number < kSessions; ++number) {
        EXPECT_EQ(failures[static_cast<size_t>(number)], "") << "session " << number;
        std::string account = AccountKey("127.0.0.1", "user" + std::to_string(number));
        QuarantineQuery query;
        query.account = account;
        std::vector<QuarantineEntry> entries;
        ASSERT_TRUE(quarantine.List(query, entries));
        ASSERT_EQ(entries.size(), static_cast<size_t>(kMessages));
        std::string message;
        ASSERT_TRUE(quarantine.ReadMessage(entries.front(), message)) << quarantine.Problem();
        EXPECT_TRUE(StartsWith(message, entries.front().subject + " line 0\n"));
        EXPECT_EQ(FilesIn(quarantine.MaildirOf(account) + "/new"), static_cast<size_t>(kMessages));
        all.insert(ids[static_cast<size_t>(number)].begin(),
                   ids[static_cast<size_t>(number)].end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kSessions * kMessages));
}

}  // namespace
