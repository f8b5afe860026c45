#include "nntp/overview_filter.h"

#include <array>
#include <memory>
#include <string>

#include "codec/header_decode.h"
#include "core/globals.h"
#include "core/log.h"
#include "core/text.h"
#include "filter/decision.h"
#include "filter/filter.h"
#include "net/connection.h"
#include "net/session_table.h"
#include "platform/ip_address.h"
#include "store/quarantine.h"
#include "store/statistics.h"

namespace {

// The server's reply that announces an overview list; any other reply is
// passed on alone.
constexpr std::string_view kOverviewFollows = "224";

// Fields of an overview line (RFC 3977 8.3), in order, separated by TAB.
enum OverviewField : size_t {
    kFieldNumber = 0,
    kFieldSubject = 1,
    kFieldFrom = 2,
    kFieldDate = 3,
    kFieldMessageId = 4,
    kFieldReferences = 5,
    kFieldsRead = 6,  // the fields after References are passed on, never read
};

// For news only "SKIP" hides an article. Unlike the mail scan, "DELE" keeps
// it (a reader cannot delete an article on the server) and a word not listed
// here sets the verdict back to pass rather than keeping the earlier one.
constexpr std::array<ActionVerdict<ArticleVerdict>, 4> kActionVerdicts{{
    {"SKIP", ArticleVerdict::kWithhold},
    {"RETR", ArticleVerdict::kPass},
    {"HEAD", ArticleVerdict::kPass},
    {"DELE", ArticleVerdict::kPass},
}};

// Splits an overview line into its first fields; missing fields are empty.
std::array<std::string_view, kFieldsRead> SplitOverview(std::string_view line) {
    std::array<std::string_view, kFieldsRead> fields{};
    size_t start = 0;
    for (size_t index = 0; index < kFieldsRead && start <= line.size(); ++index) {
        size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            fields[index] = line.substr(start);
            break;
        }
        fields[index] = line.substr(start, tab - start);
        start = tab + 1;
    }
    return fields;
}

// Judges one overview line; logs it in the filter log when it is withheld.
// Counts it in `figures`.
ArticleVerdict JudgeAndLog(int serverSlot, const std::string& group, std::string_view line,
                           const KillSet& killSet, LoginStatistics& figures) {
    ArticleJudgement judgement = JudgeOverviewLine(group, line, killSet);
    figures.Count(judgement.verdict == ArticleVerdict::kWithhold ? CountedVerdict::kHidden
                                                                 : CountedVerdict::kKept);
    if (const FilterMatch* rule = DecidingMatch(judgement.matches, judgement.action)) {
        figures.CountRule(rule->rule, rule->location);
    }
    if (judgement.verdict == ArticleVerdict::kWithhold) {
        // The log shows the From field as the server sent it.
        std::array<std::string_view, kFieldsRead> fields = SplitOverview(line);
        WriteLog(FilterLogBlock("Filter: ", judgement.article.messageId, fields[kFieldFrom],
                                judgement.article.subject, judgement.reason),
                 serverSlot, kLogFilter);
    }
    return judgement.verdict;
}

void RelayOverviewList(Connection& reader, Connection& server, const std::string& group,
                       const std::string& command) {
    server.SendLine(command);
    std::string reply;
    server.ReceiveLine(reply);
    // A failed receive yields an empty line, which is no reply for the
    // reader; the session ends on the failed flag and says good-bye instead.
    if (server.LinkFailed()) return;
    reader.SendLine(reply);
    if (!StartsWith(reply, kOverviewFollows)) return;

    // One set judges the whole list, however often the kill file is
    // reloaded meanwhile.
    std::shared_ptr<const KillSet> killSet = CurrentKillSet();
    // The overview page's figures of this list, added to the state database
    // once at its end (however it ends), under the server's address: a news
    // login need not name an account.
    LoginStatistics figures;
    struct RecordAtEnd {
        LoginStatistics& figures;
        int slot;
        ~RecordAtEnd() {
            RecordWebFigures(AccountKey(IpAddressText(SlotAddress(slot)), ""), figures, slot);
        }
    } record{figures, server.slot()};
    // Passed lines are gathered and sent in pieces, never the whole list:
    // the list may be longer than the process should hold.
    std::string pending;
    std::string line;
    for (;;) {
        // Before waiting for the server, hand the reader what it may already
        // use.
        if (!pending.empty() && !server.HasBufferedLine()) {
            reader.SendText(pending);
            pending.clear();
        }
        server.ReceiveLine(line);
        if (server.LinkFailed()) {
            reader.SendText(pending);
            WriteLog("Connection lost during XOVER", reader.slot(), kLogFailure);
            return;
        }
        if (line == ".") {
            pending += ".\r\n";
            reader.SendText(pending);
            return;
        }
        // An empty line from a live server is a malformed overview line, not
        // the end of the list: stopping here would leave the rest of the list
        // to be read as the replies to the reader's next commands.
        if (FilterLoaded && JudgeAndLog(server.slot(), group, line, *killSet, figures) ==
                                ArticleVerdict::kWithhold) {
            continue;
        }
        pending += line;
        pending += kWireNewline;
        if (pending.size() > kRelayBatchBytes) {
            reader.SendText(pending);
            pending.clear();
        }
        if (reader.LinkFailed()) return;
    }
}

}  // namespace

std::string NewsFolder(std::string_view group) {
    std::string folder = "/";
    folder += group;
    for (char& c : folder) {
        if (c == '.') c = '/';
    }
    return folder;
}

ArticleJudgement JudgeArticle(std::string_view group, std::string sender, std::string subject,
                              std::string messageId, std::string references,
                              const KillSet& killSet) {
    ArticleJudgement judgement;
    FilterSubject& article = judgement.article;
    article.folder = NewsFolder(group);
    article.from = std::move(sender);
    article.subject = std::move(subject);
    article.messageId = std::move(messageId);
    article.references = std::move(references);
    judgement.matches = DecideAction(article, killSet);
    if (!judgement.matches.empty()) {
        const FilterMatch& last = judgement.matches.back();
        const ArticleVerdict* verdict = FindVerdict(kActionVerdicts, last.action);
        judgement.verdict = verdict != nullptr ? *verdict : ArticleVerdict::kPass;
        judgement.action = last.action;
        judgement.reason = last.reason;
    }
    return judgement;
}

ArticleJudgement JudgeOverviewLine(std::string_view group, std::string_view line,
                                   const KillSet& killSet) {
    std::array<std::string_view, kFieldsRead> fields = SplitOverview(line);
    return JudgeArticle(group, DecodeHeaderText(AddressFirst(fields[kFieldFrom])),
                        DecodeHeaderText(fields[kFieldSubject]),
                        std::string(fields[kFieldMessageId]), std::string(fields[kFieldReferences]),
                        killSet);
}

void RelayOverview(Connection& reader, Connection& server, const std::string& group,
                   const std::string& line) {
    if (!server.open()) return;
    try {
        RelayOverviewList(reader, server, group, line);
    } catch (...) {
        // Out of memory or a fault in a helper: nothing may escape into the
        // session thread, so the relay just ends.
    }
}
