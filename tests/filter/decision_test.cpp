#include "filter/decision.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/judge_cases.h"
#include "filter/kill_table.h"
#include "filter_test_util.h"

namespace {

using Texts = std::vector<std::string>;

FilterSubject Mail(const std::string& subject) {
    FilterSubject message;
    message.folder = "me@example.org";
    message.subject = subject;
    return message;
}

// Every match names the rule's file and line and its text, whether the set
// holds the rules or reads the file at each evaluation.
TEST(DecideAction, EveryMatchInOrderWithItsFileAndLine) {
    FilterLogDir dir;
    dir.dir().Write("KILLFILE.CFG", judge_cases::kKillFile);
    const std::string path = dir.Path("KILLFILE.CFG");
    for (int64_t cellLimit : {kKillTableCellLimit, int64_t{0}}) {
        KillSetBuild build = BuildKillSetWithLimit(path, cellLimit);
        ASSERT_NE(build.set, nullptr);
        ASSERT_EQ(build.set->mode == KillTableMode::kStreamed, cellLimit == 0);
        for (const judge_cases::Case& c : judge_cases::Cases()) {
            SCOPED_TRACE(std::to_string(cellLimit) + " " + c.subject);
            std::vector<FilterMatch> matches = DecideAction(Mail(c.subject), *build.set);
            EXPECT_EQ(judge_cases::Locations(matches), judge_cases::ExpectedLocations(c, path));
        }
        std::vector<FilterMatch> perhaps = DecideAction(Mail("perhaps"), *build.set);
        ASSERT_EQ(perhaps.size(), 2u);
        EXPECT_EQ(perhaps[0].action, "SKIP");
        EXPECT_EQ(perhaps[1].action, "MAYBE");
        // The rule as written, its remark cut; the reason as the log shows it.
        EXPECT_EQ(perhaps[1].rule, "\"*perhaps*\" \xEAs \xAFMAYBE");
        EXPECT_EQ(perhaps[1].reason, "\"*perhaps*\" \xEAs \xAFMAYBE ");
        EXPECT_EQ(perhaps[1].options & kOptionQ, 0u);
        std::vector<FilterMatch> lastCall = DecideAction(Mail("lastcall"), *build.set);
        ASSERT_EQ(lastCall.size(), 1u);
        EXPECT_NE(lastCall[0].options & kOptionQ, 0u);
    }
}

// The set given judges, not the one published: a tester can try a kill file
// while the sessions go on with theirs.
TEST(DecideAction, JudgesWithTheSetGiven) {
    FilterLogDir dir;
    ASSERT_EQ(dir.Load({"--- ALLE", "\"*x*\" <EA>s <AF>RETR"}), 1);
    dir.dir().Write("OTHER.CFG", KillFileText({"--- ALLE", "", "\"*x*\" <EA>s <AF>SKIP"}));
    KillSetBuild other = BuildKillSet(dir.Path("OTHER.CFG"));
    ASSERT_NE(other.set, nullptr);
    std::vector<FilterMatch> matches = DecideAction(Mail("x"), *other.set);
    ASSERT_EQ(matches.size(), 1u);
    EXPECT_EQ(matches[0].action, "SKIP");
    EXPECT_EQ(matches[0].location, dir.Path("OTHER.CFG") + ":3");
    EXPECT_EQ(Judge(Mail("x")).actions, Texts{"RETR"});
    EXPECT_TRUE(DecideAction(Mail("y"), *other.set).empty());
}

TEST(FilterLog, BlockNamesSenderSubjectAndReason) {
    EXPECT_EQ(FilterLogBlock("Filter: ", "<id@x>", "spam@example.com (Spam King)", "Hi",
                             "\"*hi*\" \xEAs \xAFSKIP "),
              "Filter: <id@x>\r\n\t\t\t\xC3 from: Spam King <spam@example.com>\r\n"
              "\t\t\t\xC3 Subject: Hi\r\n\t\t\t\xC0 Reason: \"*hi*\" \xEAs \xAFSKIP ");
    // A bare address is shown in angle brackets.
    EXPECT_EQ(FilterLogBlock("Killing: ", "", "a@b", "", ""),
              "Killing: \r\n\t\t\t\xC3 from: <a@b>\r\n\t\t\t\xC3 Subject: \r\n\t\t\t\xC0 Reason: ");
}

}  // namespace
