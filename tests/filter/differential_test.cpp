// The engine against the plain reference evaluation of reference_filter.cpp:
// generated kill files and messages, every call of the calling protocol,
// in table mode and with the file read at each evaluation.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "filter/kill_table.h"
#include "filter/match.h"
#include "filter_test_util.h"
#include "reference_filter.h"

namespace {

// Sizes of the generated runs: enough that every construct meets every
// other many times, small enough for the sanitizer builds.
constexpr int kKillFiles = 300;
constexpr int kMessagesPerFile = 40;
constexpr int kStreamedEvery = 8;  // every eighth kill file is also read streamed
constexpr int kCallLimit = 64;     // calls per message; a generated file has fewer rules
constexpr int kMatcherCases = 200'000;

// Bytes texts and patterns are made of: few, so that pieces are found often,
// with both cases of an ASCII and a code-page letter, a digit, word
// separators, a word character below "a" and the value separator.
constexpr std::string_view kTextBytes = "aAbB1 .@/-_\x84\x8E\xFF";
constexpr std::string_view kPatternBytes = "aAbB1 .@/-_\x84\x8E";

class Generator {
  public:
    explicit Generator(uint32_t seed) : random_(seed) {}

    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    bool Chance(int percent) { return Below(100) < percent; }
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[static_cast<size_t>(Below(static_cast<int>(items.size())))];
    }

    std::string Text(int maxLength, std::string_view bytes = kTextBytes) {
        std::string text;
        int length = Below(maxLength + 1);
        for (int i = 0; i < length; ++i) text += bytes[static_cast<size_t>(Below(bytes.size()))];
        return text;
    }

    // A wildcard pattern: literal pieces, "*" and "?", runs of them included.
    std::string Pattern() {
        std::string pattern;
        int tokens = 1 + Below(5);
        for (int i = 0; i < tokens; ++i) {
            int kind = Below(10);
            if (kind < 4) {
                pattern += '*';
            } else if (kind < 5) {
                pattern += '?';
            } else if (Chance(3)) {
                // A CR inside a line stays in it; header values may hold one too.
                pattern += '\r';
            } else {
                pattern += Text(3, headerHeavy_ ? "aAbB1" : kPatternBytes);
            }
        }
        return pattern;
    }

    std::string Regex() {
        static const std::vector<std::string> kPieces = {
            "A", "b", "[AB]+", "1?", "B*", ".", "\\.", "^", "$", "(a|B)", "\\r", "[0-9]{2}", "\\w",
        };
        std::string regex;
        int pieces = 1 + Below(3);
        for (int i = 0; i < pieces; ++i) regex += Pick(kPieces);
        if (Chance(4)) regex += "(";  // does not compile
        return regex;
    }

    std::string OptionsWord() {
        static const std::vector<std::string> kHeaderNames = {
            "\"MID:\"", "\"BEZ:\"",  "\"LEN:\"",     "\"X-A:\"",        "\"x-b:\"",
            "\"X-A\"",  "\"X-AB:\"", "\"X-A:X-B:\"", "\"references:\"", "\"X-B:",
        };
        std::string word(1, kOptionsMarker);
        int letters = Below(4);
        static constexpr std::string_view kLetters = "sSnNbBvVcCgGxXqQyYeEmM+";
        // Common letters more often than the carried ones.
        static constexpr std::string_view kCommon = "snbcgxq";
        for (int i = 0; i < letters; ++i) {
            word += Chance(70) ? kCommon[static_cast<size_t>(Below(kCommon.size()))]
                               : kLetters[static_cast<size_t>(Below(kLetters.size()))];
        }
        // One name often, in some files in most rules, so that its joined
        // values are sketched and sieved.
        if (headerHeavy_ ? Chance(70) : Chance(25)) {
            word += headerHeavy_ || Chance(50) ? std::string("\"X-A:\"") : Pick(kHeaderNames);
        }
        if (Chance(10)) word += 'q';
        return word;
    }

    // One condition part, without its options word.
    std::string Condition(bool first) {
        int kind = Below(100);
        // Header-heavy files are of patterns nearly only: rules that hold
        // for most messages would end each call before many header rules
        // have been tried.
        if (kind < (headerHeavy_ ? 95 : 55)) return "\"" + Pattern() + "\"";
        if (kind < 65) return (first || Chance(50) ? "REGEXPR \"" : " REGEXPR \"") + Regex() + "\"";
        if (kind < 70) return "BYTES@" + std::to_string(Below(30));
        if (kind < 74) return "DAYS@" + std::to_string(Below(30) - 3);
        if (kind < 76) return "THREAD@" + std::to_string(1 + Below(50));
        if (kind < 84) {
            std::string times = "TIMES@" + std::to_string(Below(4));
            // Words of one letter's two cases find overlapping occurrences.
            std::string word = Chance(50) ? Text(2, "aA") : Text(2, kPatternBytes);
            return Chance(85) ? times + "," + (Chance(30) ? " " : "") + word : times;
        }
        if (kind < 87) return "KILLALL";
        if (kind < 93) return "ISREPLY";
        if (kind < 96) return "\"*" + Text(2, kPatternBytes) + ";" + Text(2, kPatternBytes) + "*\"";
        return "\"" + Text(3, kPatternBytes) + "\" KILLALL";
    }

    // A rule line as written in the kill file; the loader stores it.
    std::string RuleLine() {
        for (;;) {
            std::string line = RuleLineCandidate();
            // Only lines the loader keeps as rules: the comparison is of
            // the evaluation, not of the line kinds.
            std::string trimmed = Trim(line);
            if (trimmed.empty() || line.find(kOptionsMarker) == std::string::npos ||
                line.find(kRemarkMarker) != std::string::npos || StartsWith(line, "---") ||
                StartsWith(line, "+++") || StartsWith(trimmed, "'") ||
                StartsWith(trimmed, "\xEA\xEA\xEA")) {
                continue;
            }
            return line;
        }
    }

    std::string NameList() {
        static const std::vector<std::string> kNames = {
            "ALLE",           "/DE/*", "/DE/FOO",   "ALLE /DE/FOO", "/DE/FOO ALLE", "*@EXAMPLE.DE",
            "/DE/A? /DE/B?A", "*",     "/DE/*/X *", "user@*",       "ALLE *@*",     "/DE/FOO*",
            "?*/FOO ALLE",    "",
        };
        std::string names = Pick(kNames);
        // An empty name list ends the evaluation: keep it rare.
        if (names.empty() && Chance(70)) names = "ALLE";
        return names;
    }

    FilterSubject Message() {
        static const std::vector<std::string> kFolders = {
            "/DE/FOO", "/DE/BAR", "/DE/A1", "/de/b.a", "user@example.de", "/DE/C/X", "x", "",
        };
        FilterSubject s;
        s.folder = Chance(80) ? Pick(kFolders) : Text(8);
        s.subject = Chance(15) ? Text(12, "aAb ") : Text(Chance(20) ? 60 : 10);
        s.from = Text(10);
        s.references = Chance(50) ? "" : Text(8);
        s.messageId = Chance(20) ? "" : Text(8);
        static const std::vector<std::string> kHeaders = {
            "X-A: ", "x-a:", "X-AB:  ", "X-B: ", "X-A:", "References: ", "Nocolon",
        };
        int lines = Below(6);
        for (int i = 0; i < lines; ++i) {
            std::string value = Chance(30) ? Text(10, "aAbB1") : Text(8);
            if (Chance(10)) value += "\r" + Text(3);
            s.headerLines.push_back(Chance(8) ? std::string() : Pick(kHeaders) + value);
        }
        s.size = Below(30);
        s.age = Below(30) - 2;
        return s;
    }

    void SetHeaderHeavy(bool heavy) { headerHeavy_ = heavy; }

  private:
    std::string RuleLineCandidate() {
        std::string line;
        if (Chance(3)) return std::string(1, kTargetMarker) + "DELE " + OptionsWord();
        std::vector<std::string> conditions(static_cast<size_t>(1 + Below(3)));
        for (size_t i = 0; i < conditions.size(); ++i) conditions[i] = Condition(i == 0);
        // The counted word runs to the end of its part, so kill files put a
        // "TIMES@" last, with the options word in front of the line.
        bool times = StartsWith(conditions.back(), "TIMES@");
        bool wordFirst = times ? Chance(80) : Chance(10);
        if (wordFirst) line = OptionsWord() + " ";
        for (size_t i = 0; i < conditions.size(); ++i) {
            if (i > 0) line += ";";
            line += conditions[i];
            // A part may carry its own options word.
            if (!(times && i + 1 == conditions.size()) && Chance(20)) line += " " + OptionsWord();
        }
        if (!wordFirst) line += " " + OptionsWord();
        static const std::vector<std::string> kActions = {"DELE", "SKIP", "RETR",  "HEAD",
                                                          "FOO",  "",     " DELE "};
        if (Chance(92)) line += std::string(times ? "" : " ") + kTargetMarker + Pick(kActions);
        return line;
    }

    std::mt19937 random_;
    bool headerHeavy_ = false;
};

struct Call {
    int matched;
    FilterOptions options;
    int section;
    int rule;
    std::string action;
    std::string reason;
    bool operator==(const Call&) const = default;
};

void PrintTo(const Call& call, std::ostream* out) {
    *out << "matched " << call.matched << " options " << std::hex << call.options << std::dec
         << " at " << call.section << "/" << call.rule << " action [" << call.action << "] reason ["
         << call.reason << "]";
}

// Counts that show the comparison covered both outcomes.
struct Tally {
    int calls = 0;
    int matches = 0;
    int quits = 0;
    int mismatches = 0;
};

// Runs the calling protocol on the loaded table and on the reference side by
// side, and past the first miss once more (a cursor reused after a miss).
void CompareMessage(const std::vector<ReferenceSection>& sections, const FilterSubject& message,
                    const std::string& context, Tally& tally) {
    FilterCursor cursor;
    ReferenceCursor expectedCursor;
    std::string action = "unset";
    std::string reason = "unset";
    std::string expectedAction = action;
    std::string expectedReason = reason;
    int misses = 0;
    for (int call = 0; call < kCallLimit && misses < 2; ++call) {
        EvaluateFilters(message, cursor, action, reason);
        ReferenceEvaluate(sections, message, expectedCursor, expectedAction, expectedReason);
        Call got{cursor.matched, cursor.options, cursor.section, cursor.rule, action, reason};
        Call expected{expectedCursor.matched, expectedCursor.options, expectedCursor.section,
                      expectedCursor.rule,    expectedAction,         expectedReason};
        ++tally.calls;
        if (got != expected) {
            ++tally.mismatches;
            ADD_FAILURE() << context << " call " << call << "\n  subject [" << message.subject
                          << "] from [" << message.from << "] folder [" << message.folder
                          << "]\n  engine    " << ::testing::PrintToString(got) << "\n  reference "
                          << ::testing::PrintToString(expected);
            return;
        }
        if (cursor.matched == 1) {
            ++tally.matches;
            if (cursor.options & kOptionQ) {
                ++tally.quits;
                break;
            }
        } else {
            ++misses;
        }
    }
}

struct GeneratedFile {
    std::vector<std::string> lines;
    std::vector<ReferenceSection> sections;
};

GeneratedFile GenerateFile(Generator& generate) {
    GeneratedFile file;
    generate.SetHeaderHeavy(generate.Chance(25));
    int sections = 1 + generate.Below(4);
    for (int s = 0; s < sections; ++s) {
        std::string names = generate.NameList();
        file.lines.push_back("--- " + names);
        file.sections.push_back({UpperCase(Trim(names)), {}});
        // Long sections let the engine sketch the texts for its sieves.
        int rules = generate.Chance(30) ? generate.Below(40) : generate.Below(13);
        for (int r = 0; r < rules; ++r) {
            std::string line = generate.RuleLine();
            file.lines.push_back(line);
            file.sections.back().rules.push_back(Trim(line) + " ");
        }
    }
    return file;
}

TEST(Differential, GeneratedKillFilesJudgeLikeTheReference) {
    FilterLogDir dir;
    Tally table;
    Tally streamed;
    for (int f = 0; f < kKillFiles && table.mismatches + streamed.mismatches < 5; ++f) {
        Generator generate(static_cast<uint32_t>(1000 + f));
        GeneratedFile file = GenerateFile(generate);
        std::string text;
        for (const std::string& line : file.lines) text += line + "\r\n";
        dir.dir().Write("GEN.CFG", text);
        std::vector<FilterSubject> messages;
        for (int m = 0; m < kMessagesPerFile; ++m) messages.push_back(generate.Message());

        ASSERT_EQ(LoadKillFile(dir.Path("GEN.CFG")), 1);
        ASSERT_EQ(CurrentKillSet()->mode, KillTableMode::kTable);
        for (size_t m = 0; m < messages.size(); ++m) {
            CompareMessage(file.sections, messages[m],
                           "file " + std::to_string(f) + " message " + std::to_string(m), table);
        }
        if (f % kStreamedEvery != 0) continue;
        ASSERT_EQ(LoadKillFileWithLimit(dir.Path("GEN.CFG"), 0), 1);
        ASSERT_EQ(CurrentKillSet()->mode, KillTableMode::kStreamed);
        for (size_t m = 0; m < messages.size(); ++m) {
            CompareMessage(file.sections, messages[m],
                           "streamed file " + std::to_string(f) + " message " + std::to_string(m),
                           streamed);
        }
    }
    EXPECT_EQ(table.mismatches, 0);
    EXPECT_EQ(streamed.mismatches, 0);
    // The generated files must give both outcomes often, or the comparison
    // proves little.
    EXPECT_GT(table.matches, table.calls / 10);
    EXPECT_GT(table.calls - table.matches, table.calls / 10);
    EXPECT_GT(table.quits, 100);
    EXPECT_GT(streamed.matches, streamed.calls / 10);
}

TEST(Differential, ThreadsJudgeLikeOneThread) {
    // Each thread keeps its own prepared texts and section decisions; none
    // may leak into another thread's messages.
    FilterLogDir dir;
    std::vector<FilterSubject> messages;
    auto judgeAll = [&messages] {
        std::vector<std::string> outcomes;
        for (const FilterSubject& message : messages) {
            Verdicts v = Judge(message);
            std::string outcome;
            for (size_t i = 0; i < v.actions.size(); ++i) {
                outcome += v.actions[i] + "|" + v.reasons[i] + "|" + std::to_string(v.options[i]);
            }
            outcomes.push_back(outcome);
        }
        return outcomes;
    };
    // The first generated file that catches some messages and passes
    // others: a comparison of outcomes that are all alike proves little.
    std::vector<std::string> expected;
    bool mixed = false;
    for (uint32_t seed = 99; seed < 199 && !mixed; ++seed) {
        Generator generate(seed);
        GeneratedFile file = GenerateFile(generate);
        std::string text;
        for (const std::string& line : file.lines) text += line + "\r\n";
        dir.dir().Write("GEN.CFG", text);
        ASSERT_EQ(LoadKillFile(dir.Path("GEN.CFG")), 1);
        messages.clear();
        for (int m = 0; m < 200; ++m) messages.push_back(generate.Message());
        expected = judgeAll();
        auto caught = std::count_if(expected.begin(), expected.end(),
                                    [](const std::string& outcome) { return !outcome.empty(); });
        mixed = caught > 40 && caught < 160;
    }
    ASSERT_TRUE(mixed);

    constexpr int kThreads = 4;
    constexpr int kRounds = 3;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                if (judgeAll() != expected) ++mismatches[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

TEST(Differential, MatcherAgreesWithTheReference) {
    Generator generate(7);
    int matches = 0;
    int mismatches = 0;
    for (int i = 0; i < kMatcherCases && mismatches < 5; ++i) {
        std::string pattern = generate.Pattern();
        FilterOptions options = 0;
        if (generate.Chance(30)) options |= kOptionC;
        if (generate.Chance(40)) options |= kOptionG;
        // The caller upper-cases the pattern unless C is set.
        if ((options & kOptionC) == 0 && generate.Chance(90)) pattern = UpperCase(pattern);
        std::string text = generate.Text(generate.Chance(10) ? 70 : 9);
        int expected = ReferenceMatchPattern(pattern, text, options, false);
        int got = MatchPattern(pattern, text, options, false);
        // The rules' path: compiled once, the text upper-cased and sketched
        // beforehand.
        std::string prepared = (options & kOptionC) ? text : UpperCase(text);
        TextSketch sketch;
        SketchText(prepared, sketch);
        int compiled =
            MatchWildcard(CompileWildcard(pattern), prepared, (options & kOptionG) != 0, &sketch);
        matches += expected;
        if (got != expected || compiled != expected) {
            ++mismatches;
            ADD_FAILURE() << "pattern [" << pattern << "] text [" << text << "] options " << options
                          << ": engine " << got << ", compiled " << compiled << ", reference "
                          << expected;
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(matches, kMatcherCases / 10);
    EXPECT_LT(matches, kMatcherCases * 9 / 10);
}

}  // namespace
