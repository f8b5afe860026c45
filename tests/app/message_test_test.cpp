#include "app/message_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/temp_dir.h"
#include "filter/judge_cases.h"

namespace {

using Lines = std::vector<std::string>;

class MessageTestCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.Write("TRAWLBOX.CFG", "KILLFILE=KILLFILE.CFG\r\n");
        dir_.Write("KILLFILE.CFG", judge_cases::kKillFile);
    }

    // Runs `trawlbox test` on `message`; returns its status and lines.
    int Run(const std::string& message, Lines& lines, std::string envelope = "",
            std::string group = "") {
        dir_.Write("message", message);
        CommandLine line;
        line.command = Command::kTest;
        line.directory = dir_.path();
        line.messageFile = dir_.path() + "message";
        line.envelope = std::move(envelope);
        line.group = std::move(group);
        lines.clear();
        return RunMessageTest(line, [&](std::string_view text) { lines.emplace_back(text); });
    }

    // The lines after the fields: the matches and the verdict.
    static Lines Judgement(const Lines& lines, size_t fields) {
        return Lines(lines.begin() + static_cast<long>(std::min(fields, lines.size())),
                     lines.end());
    }

    // What the command must print for the matches of a case and its verdict.
    Lines Expected(const judge_cases::Case& c, const std::string& verdict) const {
        Lines lines;
        for (const std::string& location : judge_cases::ExpectedLocations(c, kill())) {
            lines.push_back(location);
        }
        lines.push_back("verdict: " + verdict);
        return lines;
    }

    std::string kill() const { return dir_.path() + "KILLFILE.CFG"; }

    TempDir dir_;
};

// Each printed match line starts with its place; the rest is the rule and
// its action, which a match line carries after the place.
Lines Places(Lines judgement) {
    for (size_t i = 0; i + 1 < judgement.size(); ++i) {
        judgement[i] = judgement[i].substr(0, judgement[i].find(": "));
    }
    return judgement;
}

constexpr size_t kMailFields = 5;  // envelope, from, subject, size, age
constexpr size_t kNewsFields = 5;  // folder, from, subject, message-id, references

// The verdicts agree with the scan's and the news filter's on the messages
// their tests judge with the same kill file.
TEST_F(MessageTestCommand, VerdictsAgreeWithTheSessionsOnTheSharedCases) {
    for (const judge_cases::Case& c : judge_cases::Cases()) {
        Lines lines;
        ASSERT_EQ(Run(std::string("From: a@example.org\nSubject: ") + c.subject + "\n\nbody\n",
                      lines, "me@example.org"),
                  kExitOk);
        std::string mailVerdict = std::string(c.mailAction).empty() ? "keep" : c.mailAction;
        EXPECT_EQ(Places(Judgement(lines, kMailFields)), Expected(c, mailVerdict)) << c.subject;

        ASSERT_EQ(Run(std::string("1\t") + c.subject + "\ta@example.org\tdate\t<id@x>\t\t10\t1\n",
                      lines, "", "de.test"),
                  kExitOk);
        Lines news = Judgement(lines, kNewsFields);
        ASSERT_FALSE(news.empty());
        // The news filter withholds exactly on SKIP as the deciding word.
        EXPECT_EQ(news.back() == "verdict: SKIP", std::string(c.news) == "withhold") << c.subject;
        EXPECT_EQ(Places(news).size(), c.lines.size() + 1) << c.subject;
    }
}

TEST_F(MessageTestCommand, ShowsWhatTheFilterSawWithEitherLineEnd) {
    const std::string message =
        "From: =?ISO-8859-1?Q?J=F6rg?= <jorg@example.org>\r\n"
        "Subject: =?UTF-8?B?Y2hlYXAgcGlsbHM=?=\r\n"
        "\r\n"
        "body\r\n";
    Lines crlf;
    ASSERT_EQ(Run(message, crlf, "me@example.org"), kExitOk);
    std::string lf = message;
    std::erase(lf, '\r');
    Lines bare;
    ASSERT_EQ(Run(lf, bare, "me@example.org"), kExitOk);
    // A server counts CR LF line ends whatever the file holds.
    EXPECT_EQ(crlf, bare);
    ASSERT_GE(crlf.size(), kMailFields);
    EXPECT_EQ(crlf[0], "envelope: me@example.org");
    EXPECT_EQ(crlf[2], "subject: cheap pills");
    EXPECT_EQ(crlf[3], "size: " + std::to_string(message.size()) + " octets");
    EXPECT_EQ(crlf.back(), "verdict: DELE");
    EXPECT_EQ(crlf[kMailFields], kill() +
                                     ":3: \"*pills*\" \xEAs \xAF"
                                     "DELE -> DELE");
}

TEST_F(MessageTestCommand, WithoutAnEnvelopeJudgesAsASessionWithoutOne) {
    Lines lines;
    ASSERT_EQ(Run("Subject: hello\n\n", lines), kExitOk);
    EXPECT_EQ(lines[0],
              "envelope: postmaster@localhost (none given, or not an address: a session's "
              "default)");
    EXPECT_EQ(lines.back(), "verdict: keep");
}

TEST_F(MessageTestCommand, UnreadableInputsFail) {
    CommandLine line;
    line.command = Command::kTest;
    line.directory = dir_.path();
    line.messageFile = dir_.path() + "no-such-message";
    Lines lines;
    auto print = [&](std::string_view text) { lines.emplace_back(text); };
    EXPECT_EQ(RunMessageTest(line, print), kExitFailure);
    EXPECT_EQ(lines, Lines{"trawlbox: cannot read " + line.messageFile});

    dir_.Write("message", "Subject: x\n\n");
    dir_.Write("TRAWLBOX.CFG", "KILLFILE=gone.cfg\r\n");
    line.messageFile = dir_.path() + "message";
    lines.clear();
    EXPECT_EQ(RunMessageTest(line, print), kExitFailure);
    EXPECT_EQ(lines, Lines{"trawlbox: cannot read the kill file " + dir_.path() + "gone.cfg"});
}

}  // namespace
