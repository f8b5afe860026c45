#include "net/session_table.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// What a session says of its login is kept as the page and the console show
// it, and a reused entry must never show the previous session's login.
TEST(SessionLoginTest, SetReadAndClearedOnRelease) {
    const int slot = AllocateSlot();
    ASSERT_LT(slot, kSlotCount);

    SetSlotLogin(slot, "pop.example.org", 995, "alice");
    SetSlotActivity(slot, SessionActivity::kScanning);
    SessionTable[slot].clientSlot = 7;
    SessionLogin login = SlotLogin(slot);
    EXPECT_EQ(login.server, "pop.example.org:995");
    EXPECT_EQ(login.account, "alice");
    EXPECT_EQ(login.activity, SessionActivity::kScanning);

    // A later USER names another server; the activity is the session's own.
    SetSlotLogin(slot, "news.example.org", 119, "");
    login = SlotLogin(slot);
    EXPECT_EQ(login.server, "news.example.org:119");
    EXPECT_EQ(login.account, "");
    EXPECT_EQ(login.activity, SessionActivity::kScanning);

    ReleaseSlot(slot);
    login = SlotLogin(slot);
    EXPECT_EQ(login.server, "");
    EXPECT_EQ(login.account, "");
    EXPECT_EQ(login.activity, SessionActivity::kAwaitingLogin);
    EXPECT_EQ(SessionTable[slot].clientSlot.load(), 0);

    // Outside the table: nothing written, nothing read.
    SetSlotLogin(0, "pop.example.org", 110, "alice");
    SetSlotActivity(kSlotCount + 1, SessionActivity::kServing);
    EXPECT_EQ(SlotLogin(0).server, "");
    EXPECT_EQ(SlotLogin(kSlotCount + 1).activity, SessionActivity::kAwaitingLogin);
}

// Server and account come from the client's line and end up on the console.
TEST(SessionLoginTest, ServerTextIsBracketedCleanedAndCut) {
    const int slot = AllocateSlot();
    ASSERT_LT(slot, kSlotCount);
    const struct {
        std::string host;
        std::string account;
        std::string server;  // as kept
        std::string kept;    // the account as kept
    } cases[] = {
        {"::1", "bob", "[::1]:110", "bob"},
        {"[2001:db8::5]", "bob", "[2001:db8::5]:110", "bob"},
        {"pop\x1b[2J", "al\rice\x7f", "pop?[2J:110", "al?ice?"},
        {"", "bob", "", "bob"},
        {"h\xC3\xA9te", "\xC3\xA9t\xC3\xA9", "h\xC3\xA9te:110", "\xC3\xA9t\xC3\xA9"},
    };
    for (const auto& c : cases) {
        SetSlotLogin(slot, c.host, 110, c.account);
        SessionLogin login = SlotLogin(slot);
        EXPECT_EQ(login.server, c.server) << c.host;
        EXPECT_EQ(login.account, c.kept) << c.account;
    }
    // An overlong account is cut before a character, never inside one.
    const std::string longAccount = std::string(kSlotLoginTextLimit - 1, 'a') + "\xC3\xA9";
    SetSlotLogin(slot, "pop.example.org", 110, longAccount);
    EXPECT_EQ(SlotLogin(slot).account, std::string(kSlotLoginTextLimit - 1, 'a'));
    ReleaseSlot(slot);
}

}  // namespace
