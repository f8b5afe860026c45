#include "app/web_provider.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/temp_dir.h"
#include "filter/filter.h"
#include "net/net_test_support.h"
#include "net/session_table.h"
#include "platform/clock.h"
#include "store/quarantine.h"
#include "store/state_database.h"

namespace {

const char kGood[] =
    "--- ALLE\r\n\"*pills*\" \xEAs \xAF"
    "DELE\r\n";
const char kBadRegex[] =
    "--- ALLE\r\n\"*pills*\" \xEAs \xAF"
    "DELE\r\nREGEXPR \"(((\" \xEAs \xAF"
    "DELE\r\n";
// "ALL" names a folder of that name, which is worth a warning only.
const char kWarningOnly[] =
    "--- ALL\r\n\"*pills*\" \xEAs \xAF"
    "DELE\r\n";

int reloads = 0;
bool reloadResult = true;
bool CountReload() {
    ++reloads;
    return reloadResult;
}

class KillFileSaveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reloads = 0;
        reloadResult = true;
        dir_.Write("KILLFILE.CFG", kGood);
        path_ = dir_.path() + "KILLFILE.CFG";
    }
    bool Exists(const std::string& suffix) const { return std::filesystem::exists(path_ + suffix); }
    TempDir dir_;
    std::string path_;
};

// A refused text must leave the running rules and the file exactly as they
// were, and no draft behind that a later save or a user could take for the file.
TEST_F(KillFileSaveTest, ErrorKeepsTheFileAndDoesNotReload) {
    KillFileSave save = SaveKillFileText(path_, kBadRegex, CountReload);
    EXPECT_FALSE(save.saved);
    EXPECT_TRUE(save.failure.empty());
    ASSERT_EQ(save.problems.size(), 1u);
    EXPECT_EQ(save.problems[0].line, 3);
    EXPECT_TRUE(save.problems[0].isError);
    EXPECT_EQ(dir_.Read("KILLFILE.CFG"), kGood);
    EXPECT_FALSE(Exists(std::string(kKillFileDraftSuffix)));
    EXPECT_FALSE(Exists(std::string(kKillFileBackupSuffix)));
    EXPECT_EQ(reloads, 0);
}

TEST_F(KillFileSaveTest, GoodTextReplacesTheFileKeepsABackupAndReloads) {
    const std::string edited = std::string(kGood) +
                               "\"*casino*\" \xEAs \xAF"
                               "DELE\r\n";
    KillFileSave save = SaveKillFileText(path_, edited, CountReload);
    EXPECT_TRUE(save.saved) << save.failure;
    EXPECT_TRUE(save.problems.empty());
    EXPECT_EQ(dir_.Read("KILLFILE.CFG"), edited);
    EXPECT_EQ(dir_.Read("KILLFILE.CFG" + std::string(kKillFileBackupSuffix)), kGood);
    EXPECT_FALSE(Exists(std::string(kKillFileDraftSuffix)));
    EXPECT_EQ(reloads, 1);

    // A second save backs up the first one's text, not the original.
    ASSERT_TRUE(SaveKillFileText(path_, kGood, CountReload).saved);
    EXPECT_EQ(dir_.Read("KILLFILE.CFG" + std::string(kKillFileBackupSuffix)), edited);
}

TEST_F(KillFileSaveTest, WarningsDoNotStopASave) {
    KillFileSave save = SaveKillFileText(path_, kWarningOnly, CountReload);
    EXPECT_TRUE(save.saved);
    ASSERT_EQ(save.problems.size(), 1u);
    EXPECT_EQ(save.problems[0].line, 1);
    EXPECT_FALSE(save.problems[0].isError);
    EXPECT_EQ(dir_.Read("KILLFILE.CFG"), kWarningOnly);
}

// A kill file typed in a UTF-8 editor is shown in the page's code page and
// saved back in UTF-8 with its mark: saved as code page bytes it would come
// back garbled in that editor.
TEST_F(KillFileSaveTest, Utf8FileIsShownAndSavedAsUtf8) {
    const std::string utf8 =
        "\xEF\xBB\xBF--- ALLE\r\n\"*pills*\" \xCE\xA9s \xC2\xBB"
        "DELE\r\n";
    dir_.Write("KILLFILE.CFG", utf8);
    Settings.KillFile = path_;
    PublishSettings(&Settings);
    KillFileText shown = MakeWebProvider(0).killFile();
    PublishSettings(nullptr);
    Settings = SettingsRecord{};
    EXPECT_EQ(shown.text, kGood);
    EXPECT_TRUE(shown.problems.empty());

    const std::string edited = std::string(kGood) +
                               "\"*casino*\" \xEAs \xAF"
                               "DELE\r\n";
    ASSERT_TRUE(SaveKillFileText(path_, edited, CountReload).saved);
    EXPECT_EQ(dir_.Read("KILLFILE.CFG"), utf8 +
                                             "\"*casino*\" \xCE\xA9s \xC2\xBB"
                                             "DELE\r\n");
    EXPECT_EQ(dir_.Read("KILLFILE.CFG" + std::string(kKillFileBackupSuffix)), utf8);
}

// The file is in place but the rules in use are not: the page must not say
// that they are.
TEST_F(KillFileSaveTest, FailedReloadIsNotReportedAsSaved) {
    reloadResult = false;
    KillFileSave save = SaveKillFileText(path_, kWarningOnly, CountReload);
    EXPECT_FALSE(save.saved);
    EXPECT_NE(save.failure.find("not reloaded"), std::string::npos) << save.failure;
}

// The provider's quarantine list filters by account and text (sender,
// subject or rule, any case), counts every match and lists the accounts of
// all entries, whatever the filter.
class ProviderQuarantineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A directory of its own inside one kept for the whole program: the
        // state database knows a file by its directory's inode, which a
        // removed directory would hand on to the next test's.
        static TempDir root;
        static int made = 0;
        directory_ = root.path() + "p" + std::to_string(made++) + "/";
        std::filesystem::create_directory(directory_);
        Settings.DataDir = directory_;
        Settings.Quarantine = std::string(kDefaultQuarantineDirectoryName);
        PublishSettings(&Settings);
        StateDatabase database;
        ASSERT_NE(database.Open(directory_), OpenOutcome::kUnavailable);
        Quarantine quarantine(database, directory_ + std::string(kDefaultQuarantineDirectoryName));
        Add(quarantine, "pop.example.org#anna", "Shop <deals@shop.example>", "Cheap PILLS",
            "\"*pills*\"", "m1");
        Add(quarantine, "pop.example.org#ben", "friend@example.org", "Hello", "\"*casino*\"", "m2");
        Add(quarantine, "pop.example.org#ben", "bets@casino.example", "Bonus", "\"*bonus*\"", "m3");
    }
    void TearDown() override {
        PublishSettings(nullptr);
        Settings = SettingsRecord{};
    }
    void Add(Quarantine& quarantine, const std::string& account, const std::string& sender,
             const std::string& subject, const std::string& rule, const std::string& body) {
        MaildirDelivery copy;
        ASSERT_TRUE(quarantine.BeginCopy(account, copy)) << quarantine.Problem();
        for (const std::string& line : {"Subject: " + subject, std::string(), body}) {
            ASSERT_TRUE(copy.AddLine(line)) << copy.Problem();
        }
        ASSERT_TRUE(copy.Finish()) << copy.Problem();
        QuarantineEntry entry;
        entry.account = account;
        entry.killedAt = 1765000000 + static_cast<int64_t>(body.back());
        entry.sender = sender;
        entry.subject = subject;
        entry.rule = rule;
        ASSERT_TRUE(quarantine.Add(copy, entry)) << quarantine.Problem();
    }
    std::string directory_;
};

TEST_F(ProviderQuarantineTest, SearchCoversSenderSubjectAndRuleWithinAnAccount) {
    WebProvider provider = MakeWebProvider(0);
    KeptList all = provider.quarantine({"", "", 10});
    ASSERT_EQ(all.total, 3u);
    EXPECT_EQ(all.entries[0].subject, "Bonus");  // newest first
    EXPECT_EQ(all.accounts,
              (std::vector<std::string>{"pop.example.org#anna", "pop.example.org#ben"}));

    KeptList casino = provider.quarantine({"CASINO", "", 10});
    ASSERT_EQ(casino.total, 2u);  // one by its rule, one by its sender

    KeptList ben = provider.quarantine({"casino", "pop.example.org#ben", 1});
    EXPECT_EQ(ben.total, 2u);
    EXPECT_EQ(ben.entries.size(), 1u);
    EXPECT_EQ(ben.accounts.size(), 2u);

    EXPECT_EQ(provider.quarantine({"pills", "pop.example.org#ben", 10}).total, 0u);
}

TEST_F(ProviderQuarantineTest, ShowReleaseAndDeleteTakeTheListedId) {
    WebProvider provider = MakeWebProvider(0);
    KeptList all = provider.quarantine({"pills", "", 10});
    ASSERT_EQ(all.entries.size(), 1u);
    const std::string id = all.entries[0].id;

    std::optional<QuarantinedMessage> shown = provider.quarantinedMessage(id);
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(shown->message, "Subject: Cheap PILLS\n\nm1\n");
    EXPECT_FALSE(provider.quarantinedMessage("zzzzzzzz").has_value());

    EXPECT_TRUE(provider.release({id}).done);
    EXPECT_FALSE(provider.release({"zzzzzzzz"}).done);
    EXPECT_TRUE(provider.remove(id).done);
    EXPECT_FALSE(provider.remove(id).done);
    EXPECT_EQ(provider.quarantine({"", "", 10}).total, 2u);
}

// A session's row names the server and account its login gave, and the
// connection it opened to that server is not listed again; one whose
// session is gone still is.
TEST(ProviderLiveSessionsTest, SessionRowNamesItsLoginAndHidesItsUpstream) {
    const int client = AllocateSlot();
    const int upstream = AllocateSlot();
    const int orphan = AllocateSlot();
    ASSERT_LT(orphan, kSlotCount);
    SetSlotAddress(client, nettest::Address("127.0.0.1"));
    SetSlotLogin(client, "pop.example.org", 995, "alice");
    SetSlotActivity(client, SessionActivity::kScanning);
    SessionTable[client].reservedAt = UnixSeconds() - 12;
    SessionTable[client].state = SlotState::kSession;
    SetSlotAddress(upstream, nettest::Address("192.0.2.1"));
    SessionTable[upstream].clientSlot = client;
    SessionTable[upstream].state = SlotState::kUpstream;
    SetSlotAddress(orphan, nettest::Address("192.0.2.2"));
    SessionTable[orphan].port = 119;
    SessionTable[orphan].clientSlot = kSlotCount - 1;  // a slot with no session
    SessionTable[orphan].state = SlotState::kUpstream;

    const std::vector<LiveSession> rows = MakeWebProvider(0).liveSessions();
    for (int slot : {client, upstream, orphan}) ReleaseSlot(slot);

    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].slot, client);
    EXPECT_EQ(rows[0].client, "127.0.0.1");
    EXPECT_EQ(rows[0].server, "pop.example.org:995");
    EXPECT_EQ(rows[0].account, "alice");
    EXPECT_EQ(rows[0].state, "scanning the mailbox");
    EXPECT_GE(rows[0].seconds, 12);
    EXPECT_LE(rows[0].seconds, 13);
    EXPECT_EQ(rows[1].slot, orphan);
    EXPECT_EQ(rows[1].server, "192.0.2.2:119");
    EXPECT_EQ(rows[1].state, "connected to the server");
}

}  // namespace
