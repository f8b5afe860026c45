#include "app/message_test.h"

#include "app/configuration.h"
#include "core/settings.h"
#include "filter/relay_list.h"
#include "nntp/overview_filter.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "pop3/mail_judge.h"

namespace {

// A message file larger than this is no single message; only its header is
// judged anyway.
constexpr size_t kMessageReadLimit = size_t{64} << 20;

// Returns the lines of `text` without their line ends (LF, or CR LF).
std::vector<std::string> SplitMessageLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string::npos ? text.size() : lf;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    return lines;
}

// The message's size as a POP3 server counts it: every line ended by CR LF.
int64_t WireSize(const std::string& text) {
    int64_t size = static_cast<int64_t>(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) ++size;
    }
    return size;
}

MessageTestOutcome TestMail(const std::string& text, const std::string& envelope,
                            const KillSet& set) {
    RawHeader raw;
    for (const std::string& headerLine : SplitMessageLines(text)) {
        if (headerLine.empty()) break;
        AddRawLine(raw, headerLine);
    }
    raw.size = WireSize(text);
    MailJudgement judgement = JudgeMail(raw, envelope, UnixSeconds(), set);
    const MessageHeader& header = judgement.header;
    return {{{"envelope",
              header.envelope + (judgement.envelopeReplaced ? " (none given, or not an address: a "
                                                              "session's default)"
                                                            : "")},
             {"from", header.from},
             {"subject", header.subject},
             {"size", std::to_string(header.size) + " octets"},
             {"age", std::to_string(header.age) + " days"}},
            judgement.matches,
            judgement.action};
}

MessageTestOutcome TestOverview(const std::string& text, const std::string& group,
                                const KillSet& set) {
    std::vector<std::string> lines = SplitMessageLines(text);
    std::string overview = lines.empty() ? std::string() : lines[0];
    ArticleJudgement judgement = JudgeOverviewLine(group, overview, set);
    const FilterSubject& article = judgement.article;
    return {{{"folder", article.folder},
             {"from", article.from},
             {"subject", article.subject},
             {"message-id", article.messageId},
             {"references", article.references}},
            judgement.matches,
            judgement.action};
}

}  // namespace

std::vector<std::string> MatchLines(const std::vector<FilterMatch>& matches,
                                    const std::string& decidingAction) {
    std::vector<std::string> lines;
    for (const FilterMatch& match : matches) {
        lines.push_back(match.location + ": " + match.rule + " -> " + match.action);
    }
    lines.push_back("verdict: " + (decidingAction.empty() ? std::string("keep") : decidingAction));
    return lines;
}

MessageTestOutcome TestMessageText(const std::string& text, const std::string& group,
                                   const std::string& envelope, const KillSet& set) {
    return group.empty() ? TestMail(text, envelope, set) : TestOverview(text, group, set);
}

int RunMessageTest(const CommandLine& line, const LineWriter& print) {
    std::string text;
    if (!FileExists(line.messageFile) ||
        !ReadFilePrefix(line.messageFile, kMessageReadLimit, text)) {
        print("trawlbox: cannot read " + line.messageFile);
        return kExitFailure;
    }
    SettingsFile settings = ReadSettingsFile(line.directory);
    KillSetBuild kill = BuildKillSet(settings.record.KillFile);
    if (kill.set == nullptr) {
        print("trawlbox: cannot read the kill file " + settings.record.KillFile);
        return kExitFailure;
    }
    // The relay list a session would read.
    PublishRelayBlacklist(ReadAddressList(kRelayBlacklistFile, line.directory).entries);
    MessageTestOutcome outcome = TestMessageText(text, line.group, line.envelope, *kill.set);
    for (const auto& [name, value] : outcome.fields) print(name + ": " + value);
    for (const std::string& out : MatchLines(outcome.matches, outcome.action)) print(out);
    return kExitOk;
}
