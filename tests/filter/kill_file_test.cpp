// The loader: line kinds, the table's shape, its messages word for word,
// and the switch to reading the file at each evaluation.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "codec/header_decode.h"
#include "filter/kill_table.h"
#include "filter_test_util.h"

namespace {

using Texts = std::vector<std::string>;

std::string Cell(int section, int row) {
    std::shared_ptr<const KillSet> set = CurrentKillSet();
    const KillSet& table = *set;
    const KillSection& column = table.sections.at(section - 1);
    if (row == 1) return column.names;
    size_t index = static_cast<size_t>(row - 2);
    return index < column.rules.size() ? column.rules[index].text : std::string();
}

TEST(KillFileLoader, SyntaxMessageNamesThePhysicalLineAndTheTrimmedText) {
    FilterLogDir dir;
    ASSERT_TRUE(dir.opened());
    ASSERT_EQ(dir.Load({
                  "' kill file",                 // 1
                  "*before* first section",      // 2: ignored, no message
                  "+++ RETR",                    // 3
                  "--- ALLE",                    // 4
                  "",                            // 5
                  "   ' indented remark",        // 6
                  "<FE><FE><FE> remark",         // 7
                  "<EA><EA><EA> remark",         // 8
                  "\"*ok*\" <EA>s <AF>DELE",     // 9
                  "+++ SKIP",                    // 10
                  "   <FE> only a remark",       // 11
                  "   *spam* DELE   <FE> note",  // 12
                  " --- ALLE",                   // 13: indented, so a rule line
              }),
              1);
    EXPECT_EQ(dir.LogTexts(), (Texts{"incorrect KF-Syntax at line 12: *spam* DELE",
                                     "incorrect KF-Syntax at line 13: --- ALLE"}));
    // Level 2 carries the "? " marker and no session number.
    for (const std::string& line : dir.LogLines()) {
        EXPECT_EQ(line.substr(0, 2), "? ");
        EXPECT_EQ(line.substr(10, 7), "     : ");
    }
    std::shared_ptr<const KillSet> set = CurrentKillSet();
    const KillSet& table = *set;
    EXPECT_EQ(table.mode, KillTableMode::kTable);
    ASSERT_EQ(table.sections.size(), 1u);
    EXPECT_EQ(Cell(1, 1), "ALLE");
    EXPECT_EQ(Cell(1, 2), Bytes("\"*ok*\" <EA>s <AF>DELE "));
    EXPECT_EQ(Cell(1, 3), "");
}

TEST(KillFileLoader, FileWithoutSectionLine) {
    FilterLogDir dir;
    ASSERT_EQ(dir.Load({"' only remarks", "\"*x*\" <EA>s <AF>DELE", " --- indented"}, "NOSECT.CFG"),
              1);
    EXPECT_EQ(dir.LogTexts(), Texts{dir.Path("NOSECT.CFG") + " ist keine g\x81ltige Filter-Datei"});
    EXPECT_TRUE(CurrentKillSet()->sections.empty());
}

TEST(KillFileLoader, MissingFileGivesZeroAndAnEmptyTable) {
    FilterLogDir dir;
    ASSERT_EQ(dir.Load({"--- ALLE", "KILLALL <EA> <AF>DELE"}), 1);
    EXPECT_EQ(LoadKillFile(dir.Path("MISSING.CFG")), 0);
    EXPECT_TRUE(CurrentKillSet()->sections.empty());
    EXPECT_TRUE(dir.LogTexts().empty());
}

TEST(KillFileLoader, SectionNamesAndCells) {
    FilterLogDir dir;
    ASSERT_EQ(dir.Load({"--- /de/comp/*   ", "   \"*a*\"   <EA>s  <AF>DELE   ", "---", "---    ",
                        "--- alle <FE> remark", "--- last"}),
              1);
    std::shared_ptr<const KillSet> set = CurrentKillSet();
    const KillSet& table = *set;
    ASSERT_EQ(table.sections.size(), 5u);
    EXPECT_EQ(Cell(1, 1), "/DE/COMP/*");
    EXPECT_EQ(Cell(1, 2), Bytes("\"*a*\"   <EA>s  <AF>DELE "));
    EXPECT_EQ(Cell(2, 1), "");
    EXPECT_EQ(Cell(3, 1), "");
    EXPECT_EQ(Cell(4, 1), "ALLE");
    // A section line that is the file's last line: a section without rules.
    EXPECT_EQ(Cell(5, 1), "LAST");
    EXPECT_EQ(Cell(5, 2), "");
}

TEST(KillFileLoader, LongestSectionCountsAllButSectionAndColumnOneRemarkLines) {
    FilterLogDir dir;
    ASSERT_EQ(dir.Load({"--- ALLE", "KILLALL <EA> <AF>DELE", "", "+++ X", "' remark",
                        "   ' indented remark", "no marker", "--- ALLE", "KILLALL <EA>"}),
              1);
    // KILLALL, empty, +++, indented remark, no marker: five lines.
    EXPECT_EQ(CurrentKillSet()->longestSection, 5);
    ASSERT_EQ(dir.Load({"a", "b", "c", "--- ALLE", "KILLALL <EA>"}), 1);
    // The lines before the first section form a stretch of their own.
    EXPECT_EQ(CurrentKillSet()->longestSection, 3);
}

// A kill file of `sections` sections whose first has `longest` counted
// lines; the others have one rule each.
std::vector<std::string> ShapedFile(int sections, int longest) {
    std::vector<std::string> lines{"' shaped", "--- /NEVER/*"};
    for (int i = 0; i < longest; ++i)
        lines.push_back("\"NEVER" + std::to_string(i) + "\" <EA>s <AF>DELE");
    for (int s = 2; s < sections; ++s)
        lines.insert(lines.end(), {"--- /NEVER/*", "' r", "KILLALL <EA> <AF>SKIP"});
    lines.insert(lines.end(), {"--- ALLE", "\"*x*\" <EA>s <AF>DELE"});
    return lines;
}

TEST(KillFileLoader, TableUpToFiveThousandCellsThenStreamed) {
    struct Shape {
        int sections;
        int longest;
        KillTableMode mode;
    };
    const Shape shapes[] = {
        {100, 50, KillTableMode::kTable},
        {100, 51, KillTableMode::kStreamed},
        {2, 2500, KillTableMode::kTable},
        {3, 1667, KillTableMode::kStreamed},  // 5001 cells
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(std::to_string(shape.sections) + " x " + std::to_string(shape.longest));
        FilterLogDir dir;
        ASSERT_EQ(dir.Load(ShapedFile(shape.sections, shape.longest)), 1);
        std::shared_ptr<const KillSet> set = CurrentKillSet();
        const KillSet& table = *set;
        EXPECT_EQ(table.mode, shape.mode);
        EXPECT_EQ(table.longestSection, shape.longest);
        EXPECT_EQ(table.sections.size(),
                  shape.mode == KillTableMode::kTable ? size_t(shape.sections) : 0u);
        // Either way the last section's rule is found.
        FilterSubject message;
        message.folder = "user@example.com";
        message.subject = "x";
        EXPECT_EQ(Judge(message).actions, Texts{"DELE"});
        message.subject = "y";
        EXPECT_TRUE(Judge(message).actions.empty());
        EXPECT_TRUE(dir.LogTexts().empty());
    }
}

// A kill file that uses every construct, with sections for different
// folders, and the messages to judge against it.
std::vector<std::string> RichFile() {
    return {
        "' preamble <EA> <AF>DELE",
        "stray rule before any section",
        "--- ALLE /DE/ALT/*",
        "\"*viagra*\" <EA>s <AF>DELE",
        "\"*lottery*\" <EA>n <AF>SKIP <FE> remark",
        "",
        "+++ RETR",
        "   ' remark",
        "\"*free*\" <EA>sg <AF>DELE",
        "\"*money*\";\"*fast*\" <EA>s <AF>HEAD",
        "no options marker here",
        "--- /DE/COMP/* USER@*",
        "REGEXPR \"RE: *[0-9]+\" <EA>s <AF>RETR",
        "\"*bulk*\" <EA>\"X-MAILER:\" <AF>DELE",
        "ISREPLY <EA>q <AF>SKIP",
        "\"*12345.*\" <EA>\"MID:\" <AF>DELE",
        "<AF>HEAD <EA>",
        "KILLALL <EA> <AF>DELE",
        "--- ALLE",
        "BYTES@50000 <EA> <AF>HEAD",
        "DAYS@30 <EA>x <AF>RETR",
        "<EA>s TIMES@2,win <AF>DELE",
        "\"*news*\" <EA>sxq <AF>SKIP",
        "---",
        "KILLALL <EA> <AF>DELE",
    };
}

std::vector<FilterSubject> RichMessages() {
    std::vector<FilterSubject> messages;
    const char* folders[] = {"user@example.com", "/DE/COMP/LANG", "/DE/ALT/TEST",
                             "other@example.org"};
    const char* subjects[] = {"Buy viagra", "free stuff", "fast money", "Re: 42",
                              "win win",    "news",       "plain"};
    int n = 0;
    for (const char* folder : folders) {
        for (const char* subject : subjects) {
            FilterSubject s;
            s.folder = folder;
            s.subject = subject;
            s.from = n % 3 == 0 ? "lottery@example.com" : "friend@example.com";
            s.messageId = n % 4 == 0 ? "<12345.1@x>" : "<9@x>";
            s.references = n % 5 == 0 ? "<1@x>" : "";
            s.headerLines = {"From: x", n % 2 ? "X-Mailer: BulkMail" : "X-Mailer: Mutt"};
            s.size = n * 5000;
            s.age = n;
            messages.push_back(s);
            ++n;
        }
    }
    return messages;
}

struct Outcome {
    std::vector<std::string> actions;
    std::vector<std::string> reasons;
    std::vector<FilterOptions> options;
    std::vector<std::string> locations;
    bool operator==(const Outcome&) const = default;
};

std::vector<Outcome> JudgeAll(const std::vector<FilterSubject>& messages) {
    std::vector<Outcome> outcomes;
    for (const FilterSubject& message : messages) {
        Verdicts v = Judge(message);
        outcomes.push_back({v.actions, v.reasons, v.options, v.locations});
    }
    return outcomes;
}

TEST(KillFileLoader, StreamedModeJudgesLikeTheTable) {
    FilterLogDir dir;
    dir.dir().Write("RICH.CFG", KillFileText(RichFile()));
    std::vector<FilterSubject> messages = RichMessages();

    ASSERT_EQ(LoadKillFile(dir.Path("RICH.CFG")), 1);
    ASSERT_EQ(CurrentKillSet()->mode, KillTableMode::kTable);
    std::vector<Outcome> table = JudgeAll(messages);
    ASSERT_EQ(LoadKillFileWithLimit(dir.Path("RICH.CFG"), 0), 1);
    ASSERT_EQ(CurrentKillSet()->mode, KillTableMode::kStreamed);
    std::vector<Outcome> streamed = JudgeAll(messages);

    ASSERT_EQ(streamed.size(), table.size());
    size_t matched = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(messages[i].folder + " / " + messages[i].subject);
        EXPECT_EQ(streamed[i].actions, table[i].actions);
        EXPECT_EQ(streamed[i].reasons, table[i].reasons);
        EXPECT_EQ(streamed[i].options, table[i].options);
        EXPECT_EQ(streamed[i].locations, table[i].locations);
        matched += table[i].actions.size();
    }
    // The comparison means something only when rules did match.
    EXPECT_GT(matched, messages.size());
}

TEST(KillFileLoader, StreamedCursorReusedAfterAMissStartsAgain) {
    FilterLogDir dir;
    dir.dir().Write("TWO.CFG", KillFileText({"--- ALLE", "\"*a*\" <EA>s <AF>SKIP", "--- ALLE",
                                             "\"*b*\" <EA>s <AF>DELE"}));
    for (int64_t limit : {kKillTableCellLimit, int64_t{0}}) {
        SCOPED_TRACE(limit);
        ASSERT_EQ(LoadKillFileWithLimit(dir.Path("TWO.CFG"), limit), 1);
        FilterSubject message;
        message.subject = "ab";
        FilterCursor cursor;
        std::string action;
        std::string reason;
        std::vector<std::string> actions;
        // Keep calling past the miss: the cursor starts again at the top.
        for (int call = 0; call < 6; ++call) {
            EvaluateFilters(message, cursor, action, reason);
            actions.push_back(cursor.matched ? Trim(action) : "-");
        }
        EXPECT_EQ(actions, (Texts{"SKIP", "DELE", "-", "SKIP", "DELE", "-"}));
    }
}

TEST(KillFileLoader, StreamedSessionsEvaluateAtTheSameTime) {
    FilterLogDir dir;
    dir.dir().Write("RICH.CFG", KillFileText(RichFile()));
    std::vector<FilterSubject> messages = RichMessages();
    ASSERT_EQ(LoadKillFile(dir.Path("RICH.CFG")), 1);
    std::vector<Outcome> expected = JudgeAll(messages);
    ASSERT_EQ(LoadKillFileWithLimit(dir.Path("RICH.CFG"), 0), 1);

    constexpr int kThreads = 4;
    constexpr int kRounds = 5;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                if (JudgeAll(messages) != expected) ++mismatches[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

// Builds the file both ways (table and streamed) and returns the problems
// as printed, with the file's directory cut off; they must agree.
Texts ProblemTexts(const FilterLogDir& dir, const std::vector<std::string>& lines,
                   KillSetBuild* tableBuild = nullptr) {
    dir.dir().Write("K.CFG", KillFileText(lines));
    KillSetBuild table = BuildKillSetWithLimit(dir.Path("K.CFG"), kKillTableCellLimit);
    KillSetBuild streamed = BuildKillSetWithLimit(dir.Path("K.CFG"), 0);
    Texts texts;
    for (const Problem& problem : table.problems) {
        texts.push_back(ProblemText(problem).substr(dir.dir().path().size()));
    }
    Texts streamedTexts;
    for (const Problem& problem : streamed.problems) {
        streamedTexts.push_back(ProblemText(problem).substr(dir.dir().path().size()));
    }
    EXPECT_EQ(streamedTexts, texts);
    EXPECT_EQ(streamed.sections, table.sections);
    EXPECT_EQ(streamed.rules, table.rules);
    if (tableBuild != nullptr) *tableBuild = std::move(table);
    return texts;
}

TEST(KillFileCheck, EachFaultIsNamedWithFileAndLine) {
    FilterLogDir dir;
    struct Case {
        std::vector<std::string> lines;
        Texts problems;
    } cases[] = {
        {{"--- ALLE", "\"*spam*\" DELE"},
         {"K.CFG:2: rule line has no options marker (byte 0xEA); the line is ignored"}},
        {{"--- ALLE", "\"*spam*\" <EA>s DELE"},
         {"K.CFG:2: rule has no target marker (byte 0xAF) before its action word"}},
        {{"--- ALLE", "\"*a*\" <EA>s <AF>dele", "\"*b*\" <EA>s <AF>DELETE", "\"*c*\" <EA>s <AF>",
          "\"*d*\" <EA>s <AF> SKIP   <FE> a remark"},
         {"K.CFG:2: unknown action word \"dele\" (known: DELE, SKIP, RETR, HEAD)",
          "K.CFG:3: unknown action word \"DELETE\" (known: DELE, SKIP, RETR, HEAD)",
          "K.CFG:4: rule has no action word after the target marker"}},
        {{"--- ALLE", "\"*a*\" <EA>sz <AF>DELE", "\"*b*\" <EA>\"X-MAILER:\"w1 <AF>DELE",
          "\"*c*\";\"*d*\" <EA>nz <AF>DELE", "\"*e*\" <EA>s\x84 <AF>DELE",
          "\"*f*\" <EA>VCGYBEINSRKLMXQHDPF+- <AF>DELE"},
         {"K.CFG:2: unknown option letter \"z\"", "K.CFG:3: unknown option letter \"w\"",
          "K.CFG:3: unknown option letter \"1\"", "K.CFG:4: unknown option letter \"z\"",
          "K.CFG:5: unknown option letter 0x84"}},
        {{"--- ALLE", "\"*spam* <EA>s <AF>DELE", "\"*a*\";\"*b;c*\" <EA>s <AF>DELE"},
         {"K.CFG:2: unterminated quote", "K.CFG:3: unterminated quote"}},
        {{"--- ALLE", "REGEXPR \"(abc\" <EA>s <AF>DELE", "REGEXPR \"[a-\" <EA>sc <AF>DELE",
          "REGEXPR \"^(ab|cd)+$\" <EA>s <AF>DELE"},
         {"K.CFG:2: regular expression \"(ABC\" does not compile: missing closing parenthesis "
          "at offset 4",
          "K.CFG:3: regular expression \"[a-\" does not compile: missing terminating ] for "
          "character class at offset 3"}},
        {{"' head", "--- ALLE", "KILLALL <EA> <AF>DELE", "---", "--- <FE> a remark only",
          "--- ALLE"},
         {"K.CFG:4: section line names no folder; no later section is used",
          "K.CFG:5: section line names no folder; no later section is used"}},
        // Text before the first section line is a preamble; a rule there is lost.
        {{"prose before the sections", "\"*x*\" <EA>s <AF>DELE", "--- ALLE"},
         {"K.CFG:2: rule before the first section line is never used"}},
        {{"\"*x*\" <EA>s <AF>DELE", " --- ALLE"},
         {"K.CFG: no section line (\"--- names\"); nothing is filtered"}},
        // Several faults of one line, each once, in a fixed order.
        {{"--- ALLE", "\"*a <EA>sz <AF>drop"},
         {"K.CFG:2: unterminated quote", "K.CFG:2: unknown option letter \"z\"",
          "K.CFG:2: unknown action word \"drop\" (known: DELE, SKIP, RETR, HEAD)"}},
        // A line that starts with its target marker only ends its section.
        {{"--- ALLE", "<AF>whatever <EA>", "+++ RETR", "   ' remark"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.back());
        EXPECT_EQ(ProblemTexts(dir, c.lines), c.problems);
    }
}

TEST(KillFileCheck, MissingFileAndCountsForTheSummary) {
    FilterLogDir dir;
    KillSetBuild missing = BuildKillSet(dir.Path("NONE.CFG"));
    EXPECT_EQ(missing.set, nullptr);
    ASSERT_EQ(missing.problems.size(), 1u);
    EXPECT_EQ(ProblemText(missing.problems[0]), dir.Path("NONE.CFG") + ": no such file");

    // The shipped sample is clean.
    std::ifstream sample(std::string(TRAWLBOX_SOURCE_DIR) + "/etc/KILLFILE.CFG", std::ios::binary);
    std::string shipped(std::istreambuf_iterator<char>(sample), {});
    ASSERT_FALSE(shipped.empty());
    dir.dir().Write("SAMPLE.CFG", shipped);
    KillSetBuild sampleBuild = BuildKillSet(dir.Path("SAMPLE.CFG"));
    EXPECT_TRUE(sampleBuild.problems.empty());
    EXPECT_EQ(sampleBuild.sections, 1);
    EXPECT_EQ(sampleBuild.rules, 6);

    // Rules count inside sections only, and only lines a judgement reads.
    KillSetBuild build;
    Texts texts = ProblemTexts(dir, RichFile(), &build);
    EXPECT_EQ(texts, (Texts{"K.CFG:11: rule line has no options marker (byte 0xEA); the line is "
                            "ignored",
                            "K.CFG:24: section line names no folder; no later section is used"}));
    EXPECT_EQ(build.sections, 4);
    EXPECT_EQ(build.rules, 15);
    EXPECT_TRUE(HasErrors(build.problems));
    // What the loader has always logged is logged still, and only that.
    EXPECT_EQ(dir.LogTexts(), Texts{"incorrect KF-Syntax at line 11: no options marker here"});
}

}  // namespace

// A kill file typed in a UTF-8 editor: its markers and patterns are the
// characters the code page's bytes show, and it judges as the code page
// file would, whatever charset a subject came in.
TEST(KillFileLoader, Utf8FileMatchesLikeItsCodePageTwin) {
    FilterLogDir dir;
    ASSERT_EQ(dir.Load({"■■■ typed in a UTF-8 editor", "--- ALLE", "\"*Grüße*\" Ωs »DELE",
                        "   ■ an indented remark", "\"*Dörte*\" Ωn »SKIP"}),
              1);
    EXPECT_EQ(Cell(1, 2), Bytes("\"*Gr\x81\xE1"
                                "e*\" <EA>s <AF>DELE "));
    const struct {
        const char* subject;
        const char* action;
    } cases[] = {
        {"=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_Bern?=", "DELE"},
        {"=?ISO-8859-1?Q?Gr=FC=DFe?=", "DELE"},
        {"=?windows-1252?B?SGVyemxpY2hlIEdy/N9l?=", "DELE"},
        {"Grusse", nullptr},
    };
    for (const auto& c : cases) {
        FilterSubject subject;
        subject.folder = "user@example.com";
        subject.subject = DecodeHeaderText(c.subject);
        subject.from = "x@example.com";
        const Verdicts verdicts = Judge(subject);
        EXPECT_EQ(verdicts.actions, c.action ? Texts{c.action} : Texts{}) << c.subject;
    }
    FilterSubject fromDoerte;
    fromDoerte.folder = "user@example.com";
    fromDoerte.from = DecodeHeaderText("=?utf-8?q?D=C3=B6rte?= <d@example.com>");
    EXPECT_EQ(Judge(fromDoerte).actions, Texts{"SKIP"});
}

TEST(KillFileLoader, Utf8CharacterWithoutCodePageByteIsAProblemOfItsLine) {
    FilterLogDir dir;
    dir.dir().Write("KILLFILE.CFG",
                    "\xEF\xBB\xBF--- ALLE\r\n\"*5 \xE2\x82\xAC*\" \xCE\xA9s \xC2\xBB"
                    "DELE\r\n");
    KillSetBuild build = BuildKillSet(dir.Path("KILLFILE.CFG"));
    ASSERT_NE(build.set, nullptr);
    ASSERT_EQ(build.problems.size(), 1u);
    EXPECT_EQ(build.problems[0].line, 2);
    EXPECT_EQ(build.problems[0].text,
              "U+20AC has no character in the filter's code page 437; the line cannot match "
              "as written");
    EXPECT_EQ(build.set->sections.size(), 1u);  // the mark in front is no part of the line
}
