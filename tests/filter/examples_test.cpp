// Every construct of the kill-file format, one kill file each, with
// messages that it must and must not catch.
#include <gtest/gtest.h>

#include "filter_test_util.h"

namespace {

struct Message {
    FilterSubject subject;
    std::vector<std::string> actions;  // action words taken, in call order
};

struct Example {
    const char* name;
    std::vector<std::string> lines;  // the kill file
    std::vector<Message> messages;
};

FilterSubject Mail(std::string subject, std::string from = "someone@example.com") {
    FilterSubject s;
    s.folder = "user@example.com";
    s.subject = std::move(subject);
    s.from = std::move(from);
    return s;
}

FilterSubject InFolder(std::string folder) {
    FilterSubject s = Mail("anything");
    s.folder = std::move(folder);
    return s;
}

FilterSubject WithHeaders(std::vector<std::string> lines, std::string subject = "plain") {
    FilterSubject s = Mail(std::move(subject));
    s.headerLines = std::move(lines);
    return s;
}

FilterSubject WithIds(std::string messageId, std::string references) {
    FilterSubject s = Mail("plain");
    s.messageId = std::move(messageId);
    s.references = std::move(references);
    return s;
}

FilterSubject Sized(int64_t size, int64_t age) {
    FilterSubject s = Mail("plain");
    s.size = size;
    s.age = age;
    return s;
}

using Actions = std::vector<std::string>;
const Actions kNone{};

std::vector<Example> Examples() {
    return {
        {"section for every folder",
         {"--- ALLE", "KILLALL <EA> <AF>DELE"},
         {{InFolder("user@example.com"), {"DELE"}}, {InFolder("/DE/ALT/TEST"), {"DELE"}}}},
        {"section for newsgroup hierarchies",
         {"--- /DE/COMP/* /DE/SCI/*", "KILLALL <EA> <AF>DELE"},
         {{InFolder("/DE/COMP/LANG/C"), {"DELE"}},
          {InFolder("/de/sci/physik"), {"DELE"}},
          {InFolder("/DE/ALT/TEST"), kNone}}},
        {"section for every folder but one",
         {"--- ALLE /DE/ALT/TEST", "KILLALL <EA> <AF>DELE"},
         {{InFolder("/DE/ALT/TEST"), kNone},
          {InFolder("/DE/ALT/TESTING"), {"DELE"}},
          {InFolder("/DE/COMP"), {"DELE"}}}},
        {"subject contains a word in any case",
         {"--- ALLE", "\"*viagra*\" <EA>s <AF>DELE"},
         {{Mail("Buy VIAGRA now"), {"DELE"}}, {Mail("viagra"), {"DELE"}}, {Mail("Hello"), kNone}}},
        {"from field contains a word",
         {"--- ALLE", "\"*lottery*\" <EA>n <AF>SKIP"},
         {{Mail("Hi", "winner@lottery.example"), {"SKIP"}},
          {Mail("lottery", "friend@example.com"), kNone}}},
        {"subject exactly, case-sensitive",
         {"--- ALLE", "\"Hello\" <EA>sc <AF>RETR"},
         {{Mail("Hello"), {"RETR"}}, {Mail("hello"), kNone}, {Mail("Hello world"), kNone}}},
        {"whole word",
         {"--- ALLE", "\"*free*\" <EA>sg <AF>DELE"},
         {{Mail("get free stuff"), {"DELE"}},
          {Mail("free"), {"DELE"}},
          {Mail("carefree days"), kNone},
          {Mail("freedom"), kNone}}},
        {"inverted condition",
         {"--- ALLE", "\"*news*\" <EA>sx <AF>DELE"},
         {{Mail("hello"), {"DELE"}}, {Mail("good news"), kNone}}},
        {"two conditions that must both hold",
         {"--- ALLE", "\"*money*\";\"*fast*\" <EA>s <AF>DELE"},
         {{Mail("fast money"), {"DELE"}}, {Mail("money"), kNone}, {Mail("fast"), kNone}}},
        {"regular expression",
         {"--- ALLE", "REGEXPR \"RE: *[0-9]+\" <EA>s <AF>DELE"},
         {{Mail("Re: 123"), {"DELE"}}, {Mail("fw re:42"), {"DELE"}}, {Mail("Re: abc"), kNone}}},
        {"header line by name",
         {"--- ALLE", "\"*bulk*\" <EA>\"X-MAILER:\" <AF>DELE"},
         {{WithHeaders({"Subject: x", "X-Mailer: BulkMail 2.0"}), {"DELE"}},
          {WithHeaders({"Subject: x", "X-Mailer: Mutt"}, "bulk"), kNone},
          // The list ends at its first empty entry.
          {WithHeaders({"Subject: x", "", "X-Mailer: BulkMail"}), kNone}}},
        {"message id",
         {"--- ALLE", "\"*12345.*\" <EA>\"MID:\" <AF>DELE"},
         {{WithIds("<12345.678@example.com>", ""), {"DELE"}},
          {WithIds("<99@example.com>", "<12345.1@example.com>"), kNone}}},
        {"references",
         {"--- ALLE", "\"*12345.*\" <EA>\"BEZ:\" <AF>DELE"},
         {{WithIds("<1@example.com>", "<12345.1@example.com>"), {"DELE"}},
          {WithIds("<12345.1@example.com>", ""), kNone}}},
        {"every message of the section",
         {"--- ALLE", "KILLALL <EA> <AF>DELE"},
         {{Mail(""), {"DELE"}}, {Mail("anything"), {"DELE"}}}},
        {"replies",
         {"--- ALLE", "ISREPLY <EA> <AF>SKIP"},
         {{WithIds("<2@x>", "<1@x>"), {"SKIP"}}, {WithIds("<2@x>", ""), kNone}}},
        {"size at least",
         {"--- ALLE", "BYTES@50000 <EA> <AF>HEAD"},
         {{Sized(50000, 0), {"HEAD"}}, {Sized(90000, 0), {"HEAD"}}, {Sized(49999, 0), kNone}}},
        {"age at least",
         {"--- ALLE", "DAYS@30 <EA> <AF>DELE"},
         {{Sized(0, 30), {"DELE"}}, {Sized(0, 29), kNone}}},
        {"thread watch never holds",
         {"--- ALLE", "THREAD@3 <EA> <AF>RETR"},
         {{WithIds("<2@x>", "<1@x>"), kNone}}},
        {"word counted in the subject",
         {"--- ALLE", "<EA>s TIMES@3,free <AF>DELE"},
         {{Mail("free FREE free stuff"), {"DELE"}}, {Mail("free free"), kNone}}},
        {"quit after a match",
         {"--- ALLE", "\"*x*\" <EA>sq <AF>RETR", "\"*x*\" <EA>s <AF>DELE"},
         {{Mail("x"), {"RETR"}}, {Mail("y"), kNone}}},
        {"without quit the last match decides",
         {"--- ALLE", "\"*x*\" <EA>s <AF>RETR", "\"*x*\" <EA>s <AF>DELE"},
         {{Mail("x"), {"RETR", "DELE"}}}},
        {"remark line",
         {"--- ALLE", "' remark <EA> <AF>DELE", "   ' indented remark <EA> <AF>DELE"},
         {{Mail("' remark"), kNone}}},
        {"in-line remark",
         {"--- ALLE", "\"*y*\" <EA>s <AF>DELE <FE> remark"},
         {{Mail("y"), {"DELE"}}, {Mail("remark"), kNone}}},
    };
}

TEST(KillFileExamples, EveryConstructCatchesWhatItNames) {
    for (const Example& example : Examples()) {
        SCOPED_TRACE(example.name);
        FilterLogDir dir;
        ASSERT_EQ(dir.Load(example.lines), 1);
        for (const Message& message : example.messages) {
            SCOPED_TRACE("folder " + message.subject.folder + ", subject " +
                         message.subject.subject);
            EXPECT_EQ(Judge(message.subject).actions, message.actions);
        }
        // Every line of the examples is valid: nothing is reported.
        EXPECT_TRUE(dir.LogTexts().empty());
    }
}

TEST(KillFileExamples, ReasonIsTheRuleBeforeItsTargetMarkerThenMarkerAndAction) {
    FilterLogDir dir;
    ASSERT_EQ(dir.Load({"--- ALLE", "\"*y*\" <EA>s <AF>DELE <FE> remark", "KILLALL <EA>q"}), 1);
    Verdicts first = Judge(Mail("y"));
    ASSERT_EQ(first.reasons.size(), 2u);
    // The in-line remark is gone; the stored line keeps one trailing space.
    EXPECT_EQ(first.reasons[0], Bytes("\"*y*\" <EA>s <AF>DELE "));
    // Without a target marker the reason ends with the marker.
    EXPECT_EQ(first.reasons[1], Bytes("KILLALL <EA>q <AF>"));
    EXPECT_EQ(first.actions, (Actions{"DELE", ""}));
}

}  // namespace
