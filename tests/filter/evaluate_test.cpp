// The evaluation's walk through sections and rules, the calling protocol,
// and the rule-text quirks that kill files rely on.
#include <gtest/gtest.h>

#include "filter_test_util.h"

namespace {

using Actions = std::vector<std::string>;

FilterSubject Message(std::string subject, std::string folder = "user@example.com") {
    FilterSubject s;
    s.folder = std::move(folder);
    s.subject = std::move(subject);
    s.from = "sender@example.com";
    return s;
}

class Evaluate : public ::testing::Test {
  protected:
    void Load(const std::vector<std::string>& lines) { ASSERT_EQ(dir_.Load(lines), 1); }
    Actions ActionsFor(const FilterSubject& subject) { return Judge(subject).actions; }

    FilterLogDir dir_;
};

TEST_F(Evaluate, TwoSectionsThatApplyAreSearchedInTurnUntilQuit) {
    Load({"--- ALLE", "\"*a*\" <EA>s <AF>SKIP", "\"*b*\" <EA>s <AF>RETR", "--- USER@*",
          "\"*a*\" <EA>s <AF>DELE", "--- ALLE", "\"*c*\" <EA>sq <AF>HEAD",
          "\"*a*\" <EA>s <AF>SKIP"});
    EXPECT_EQ(ActionsFor(Message("a")), (Actions{"SKIP", "DELE", "SKIP"}));
    EXPECT_EQ(ActionsFor(Message("ab")), (Actions{"SKIP", "RETR", "DELE", "SKIP"}));
    // The second section is not for this folder; Q ends the search.
    EXPECT_EQ(ActionsFor(Message("ac", "/DE/TEST")), (Actions{"SKIP", "HEAD"}));
}

TEST_F(Evaluate, CursorKeepsThePositionOfAMatchAndResetsAfterAMiss) {
    Load({"--- ALLE", "\"*x*\" <EA>s <AF>SKIP", "--- ALLE", "\"*y*\" <EA>s <AF>DELE"});
    FilterCursor cursor;
    std::string action;
    std::string reason = "untouched";
    EvaluateFilters(Message("y"), cursor, action, reason);
    EXPECT_EQ(cursor.matched, 1);
    EXPECT_EQ(cursor.section, 2);
    EXPECT_EQ(cursor.rule, 2);
    EXPECT_EQ(Trim(action), "DELE");
    EXPECT_EQ(cursor.options, kOptionS | kOptionM);
    reason = "untouched";
    EvaluateFilters(Message("y"), cursor, action, reason);
    EXPECT_EQ(cursor.matched, 0);
    EXPECT_EQ(cursor.section, 1);
    EXPECT_EQ(cursor.rule, 1);
    EXPECT_EQ(reason, "untouched");
}

TEST_F(Evaluate, EmptyNameListEndsTheEvaluation) {
    Load({"--- ALLE", "\"*a*\" <EA>s <AF>SKIP", "---   ", "KILLALL <EA> <AF>DELE", "--- ALLE",
          "KILLALL <EA> <AF>DELE"});
    EXPECT_EQ(ActionsFor(Message("a")), (Actions{"SKIP"}));
    EXPECT_EQ(ActionsFor(Message("b")), Actions{});
}

TEST_F(Evaluate, AlleCountsOnlyBeforeTheNameThatMatches) {
    Load(
        {"--- ALLE /DE/FOO", "KILLALL <EA> <AF>SKIP", "--- /DE/FOO ALLE", "KILLALL <EA> <AF>DELE"});
    EXPECT_EQ(ActionsFor(Message("x", "/DE/BAR")), (Actions{"SKIP", "DELE"}));
    EXPECT_EQ(ActionsFor(Message("x", "/DE/FOO")), (Actions{"DELE"}));
}

TEST_F(Evaluate, SectionNamesAreWildcardsAgainstTheUpperCasedFolder) {
    Load({"--- *@EXAMPLE.COM /DE/COMP/*", "KILLALL <EA> <AF>DELE"});
    EXPECT_EQ(ActionsFor(Message("x", "Someone@Example.com")), (Actions{"DELE"}));
    EXPECT_EQ(ActionsFor(Message("x", "/de/comp/lang/c++")), (Actions{"DELE"}));
    EXPECT_EQ(ActionsFor(Message("x", "someone@example.org")), Actions{});
}

TEST_F(Evaluate, KeywordInsideAQuotedPatternCountsAsTheKeyword) {
    Load({"--- ALLE", "\"*KILLALL*\" <EA>s <AF>DELE", "--- ALLE", "\"*ISREPLY*\" <EA>s <AF>SKIP"});
    EXPECT_EQ(ActionsFor(Message("nothing in common")), (Actions{"DELE"}));
}

TEST_F(Evaluate, KillAllIsNeitherInvertedNorFollowedByLaterParts) {
    Load({"--- ALLE", "KILLALL <EA>x <AF>DELE", "--- ALLE",
          "\"*a*\";KILLALL;\"*zzz*\" <EA>s <AF>SKIP"});
    EXPECT_EQ(ActionsFor(Message("b")), (Actions{"DELE"}));
    EXPECT_EQ(ActionsFor(Message("a")), (Actions{"DELE", "SKIP"}));
}

TEST_F(Evaluate, RegexprIsRecognisedOnlyAtTheStartOfAPart) {
    // The second part starts with a space: "A+" is a wildcard pattern there.
    Load({"--- ALLE", "\"*A*\"; REGEXPR \"A+\" <EA>s <AF>DELE"});
    EXPECT_EQ(ActionsFor(Message("A+")), (Actions{"DELE"}));
    EXPECT_EQ(ActionsFor(Message("AAA")), Actions{});
}

TEST_F(Evaluate, SemicolonsSplitPartsOutsideQuotesOnlyInTheFirstPart) {
    Load({"--- ALLE", "\"*a;b*\" <EA>s <AF>SKIP", "--- ALLE", "\"*x*\";\"*c;d*\" <EA>s <AF>DELE"});
    EXPECT_EQ(ActionsFor(Message("xa;by")), (Actions{"SKIP"}));
    // The second rule splits inside "*c;d*" and can never hold.
    EXPECT_EQ(ActionsFor(Message("x c;d")), Actions{});
}

TEST_F(Evaluate, OptionsWordServesEveryPartButTheLastThatHasNone) {
    Load({"--- ALLE", "\"*a*\";\"*b*\" <EA>n <AF>DELE", "--- ALLE",
          "<EA>s TIMES@2,x;\"*y*\" <EA>sx <AF>SKIP"});
    FilterSubject message = Message("a b");
    EXPECT_EQ(ActionsFor(message), Actions{});
    message.from = "a.b@example.com";
    EXPECT_EQ(ActionsFor(message), (Actions{"DELE"}));
    EXPECT_EQ(ActionsFor(Message("xx")), (Actions{"SKIP"}));
    EXPECT_EQ(ActionsFor(Message("xx y")), Actions{});
}

TEST_F(Evaluate, HeaderNameConditions) {
    Load({"--- ALLE", "\"FOO\" <EA>\"X-TAG:\" <AF>SKIP", "--- ALLE",
          "\"*BAR\" <EA>\"X-TAG:\" <AF>DELE", "--- ALLE", "\"*\" <EA>x\"X-MISSING:\" <AF>RETR",
          "--- ALLE", "\"5*\" <EA>\"LEN:\"q <AF>HEAD"});
    FilterSubject message = Message("plain");
    message.headerLines = {"Subject: plain", "x-tag:   foo", "X-Tag: bar", "X-Other: 1"};
    message.size = 5120;
    // Joined values "foo<FF>bar<FF>": a whole value, or one ending at a
    // separator, matches; a header-name condition on a missing header is
    // false and X makes it true.
    EXPECT_EQ(ActionsFor(message), (Actions{"SKIP", "DELE", "RETR", "HEAD"}));
    message.size = 0;
    message.headerLines = {"X-Tag: baz"};
    EXPECT_EQ(ActionsFor(message), (Actions{"RETR"}));
}

TEST_F(Evaluate, HeaderValueHoldingALineBreakIsMatchedUpToIt) {
    Load({"--- ALLE", "\"ABC\" <EA>\"X-FOLDED:\" <AF>DELE"});
    FilterSubject message = Message("plain");
    message.headerLines = {"X-Folded: abc\r\n def"};
    EXPECT_EQ(ActionsFor(message), (Actions{"DELE"}));
    message.headerLines = {"X-Folded: abc def"};
    EXPECT_EQ(ActionsFor(message), Actions{});
}

TEST_F(Evaluate, TimesCountsOverlappingAndKeepsSpacesWithC) {
    Load({"--- ALLE", "<EA>s TIMES@2,aa <AF>SKIP", "--- ALLE", "<EA>sc TIMES@2,FREE <AF>DELE",
          "--- ALLE", "<EA>sx TIMES@3 <AF>RETR", "--- ALLE", "<EA>sn TIMES@2,bob <AF>HEAD"});
    EXPECT_EQ(ActionsFor(Message("aaa")), (Actions{"SKIP"}));
    // With C the word is "FREE " (upper-cased, space kept): the last FREE has
    // no space after it. Without a comma the part is false even with X.
    EXPECT_EQ(ActionsFor(Message("FREE free FREE")), Actions{});
    EXPECT_EQ(ActionsFor(Message("FREE FREE FREE")), (Actions{"DELE"}));
    FilterSubject message = Message("bob");
    message.from = "bob@example.com";
    EXPECT_EQ(ActionsFor(message), (Actions{"HEAD"}));
}

TEST_F(Evaluate, SizeAndAgeKeywordsWithInversion) {
    Load({"--- ALLE", "BYTES@1000 <EA>x <AF>SKIP", "--- ALLE", "DAYS@7;BYTES@1 <EA> <AF>DELE"});
    FilterSubject message = Message("plain");
    EXPECT_EQ(ActionsFor(message), (Actions{"SKIP"}));
    message.size = 1000;
    message.age = 7;
    EXPECT_EQ(ActionsFor(message), (Actions{"DELE"}));
}

TEST_F(Evaluate, RuleStartingWithItsTargetMarkerEndsTheSection) {
    Load({"--- ALLE", "<AF>DELE <EA>", "KILLALL <EA> <AF>SKIP", "--- ALLE",
          "KILLALL <EA> <AF>RETR"});
    EXPECT_EQ(ActionsFor(Message("x")), (Actions{"RETR"}));
}

TEST_F(Evaluate, UnknownActionWordIsReportedAsWritten) {
    Load({"--- ALLE", "KILLALL <EA> <AF>  Spam now  "});
    Verdicts verdicts = Judge(Message("x"));
    EXPECT_EQ(verdicts.actions, (Actions{"Spam now"}));
}

TEST_F(Evaluate, SectionDecisionsFollowTheFolderAndTheLoadedFile) {
    Load({"--- /DE/FOO", "KILLALL <EA> <AF>DELE", "--- ALLE /DE/FOO", "KILLALL <EA> <AF>SKIP"});
    // One folder after another, and back: each judged for itself.
    EXPECT_EQ(ActionsFor(Message("x", "/DE/FOO")), (Actions{"DELE"}));
    EXPECT_EQ(ActionsFor(Message("x", "/DE/FOO")), (Actions{"DELE"}));
    EXPECT_EQ(ActionsFor(Message("x", "/DE/BAR")), (Actions{"SKIP"}));
    EXPECT_EQ(ActionsFor(Message("x", "/DE/FOO")), (Actions{"DELE"}));
    // A file of the same shape with other names: nothing of the first stays.
    Load({"--- /DE/BAR", "KILLALL <EA> <AF>RETR", "--- ALLE /DE/BAR", "KILLALL <EA> <AF>HEAD"});
    EXPECT_EQ(ActionsFor(Message("x", "/DE/FOO")), (Actions{"HEAD"}));
    EXPECT_EQ(ActionsFor(Message("x", "/DE/BAR")), (Actions{"RETR"}));
}

TEST_F(Evaluate, RulesOfALongSectionMatchWhereverTheirTextStands) {
    // Enough rules that the texts are sketched and most rules are ruled out
    // by the sketches before they are read.
    Load({"--- ALLE", "\"*spam*\" <EA>s <AF>DELE", "\"*Offer*\" <EA>sc <AF>SKIP",
          "\"*@junk.example*\" <EA>n <AF>RETR", "\"*/DE/TEST*\" <EA>b <AF>HEAD",
          "\"*@flood.example>\" <EA>\"MID:\" <AF>SKIP", "\"*<t1@x>*\" <EA>\"BEZ:\" <AF>RETR",
          "\"*lottery*\" <EA>sn <AF>DELE", "\"*SALE*\" <EA>sgc <AF>HEAD"});
    struct Case {
        std::string subject;
        std::string from;
        std::string folder;
        std::string messageId;
        std::string references;
        Actions expected;
    };
    const Case cases[] = {
        {"Buy sPaM now", "a@b.example", "/DE/X", "", "", {"DELE"}},
        {"an offer", "a@b.example", "/DE/X", "", "", {}},
        {"An Offer", "a@b.example", "/DE/X", "", "", {"SKIP"}},
        {"hello", "bob@JUNK.example", "/DE/X", "", "", {"RETR"}},
        {"hello", "a@b.example", "/de/test/x", "", "", {"HEAD"}},
        {"hello", "a@b.example", "/DE/X", "<1@flood.example>", "", {"SKIP"}},
        {"hello", "a@b.example", "/DE/X", "<2@flood.example>x", "", {}},
        {"hello", "a@b.example", "/DE/X", "", "<a@x> <t1@x>", {"RETR"}},
        {"hello", "lottery@win.example", "/DE/X", "", "", {"DELE"}},
        {"SALE!", "a@b.example", "/DE/X", "", "", {"HEAD"}},
        {"SALES", "a@b.example", "/DE/X", "", "", {}},
        {"nothing at all", "a@b.example", "/DE/X", "<3@x>", "<4@x>", {}},
        {"spam and lottery",
         "a@junk.example",
         "/DE/TEST",
         "",
         "",
         {"DELE", "RETR", "HEAD", "DELE"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subject + " / " + c.from + " / " + c.folder);
        FilterSubject message = Message(c.subject, c.folder);
        message.from = c.from;
        message.messageId = c.messageId;
        message.references = c.references;
        EXPECT_EQ(ActionsFor(message), c.expected);
    }
}

TEST_F(Evaluate, HeaderRulesOfALongSectionMatchWhereverTheirValueStands) {
    // One header name in many rules: its values are joined and sketched once.
    Load({"--- ALLE", "\"*bulk*\" <EA>\"X-MAILER:\" <AF>DELE",
          "\"*massmail*\" <EA>\"x-mailer:\" <AF>SKIP", "\"*blaster*\" <EA>\"X-MAILER:\" <AF>RETR",
          "\"*cannon*\" <EA>\"X-MAILER:\" <AF>HEAD", "\"*Spray*\" <EA>c\"X-MAILER:\" <AF>DELE",
          "\"*4711*\" <EA>\"X-MAILER:\" <AF>SKIP"});
    struct Case {
        std::vector<std::string> headerLines;
        Actions expected;
    };
    const Case cases[] = {
        {{"X-Mailer: Mail Cannon 2.0"}, {"HEAD"}},
        {{"X-Mailer: Outlook", "x-mailer: MassMail Pro"}, {"SKIP"}},
        {{"X-Mailer: spray and pray"}, {}},
        {{"X-Mailer: Spray and pray"}, {"DELE"}},
        {{"X-Mailer: Blaster\r\n 4711"}, {"RETR", "SKIP"}},
        {{"X-Mailer: bulk", "", "X-Mailer: cannon"}, {"DELE"}},
        {{"X-Mailed: cannon", "X-Mailer:"}, {}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headerLines.empty() ? std::string("no header") : c.headerLines.front());
        FilterSubject message = Message("hello");
        message.headerLines = c.headerLines;
        EXPECT_EQ(ActionsFor(message), c.expected);
    }
}

TEST(EvaluateWithoutKillFile, FindsNothing) {
    ClearKillTable();
    EXPECT_TRUE(Judge(Message("x")).actions.empty());
    EXPECT_EQ(LoadKillFile("/nonexistent-dir-for-trawlbox/KILLFILE.CFG"), 0);
    EXPECT_TRUE(Judge(Message("x")).actions.empty());
}

}  // namespace
