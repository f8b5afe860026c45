#include "nntp/overview_filter.h"

#include <array>
#include <string>

#include "codec/header_decode.h"
#include "core/globals.h"
#include "core/log.h"
#include "core/text.h"
#include "filter/filter.h"
#include "net/connection.h"

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

struct ActionVerdict {
    std::string_view word;
    ArticleVerdict verdict;
};

// For news only "SKIP" hides an article. Unlike the mail scan, "DELE" keeps
// it (a reader cannot delete an article on the server) and a word not listed
// here sets the verdict back to pass rather than keeping the earlier one.
constexpr std::array<ActionVerdict, 4> kActionVerdicts{{
    {"SKIP", kArticleWithhold},
    {"RETR", kArticlePass},
    {"HEAD", kArticlePass},
    {"DELE", kArticlePass},
}};

ArticleVerdict VerdictOf(std::string_view word) {
    for (const ActionVerdict& entry : kActionVerdicts) {
        if (entry.word == word) return entry.verdict;
    }
    return kArticlePass;
}

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
ArticleVerdict JudgeOverviewLine(int serverSlot, const std::string& group, std::string_view line) {
    std::array<std::string_view, kFieldsRead> fields = SplitOverview(line);
    std::string subject = DecodeHeaderText(fields[kFieldSubject]);
    std::string reason;
    ArticleVerdict verdict = JudgeArticle(group, DecodeHeaderText(AddressFirst(fields[kFieldFrom])),
                                          subject, std::string(fields[kFieldMessageId]),
                                          std::string(fields[kFieldReferences]), reason);
    if (verdict == kArticleWithhold) {
        std::string newline(TextNewline);
        WriteLog("Filter: " + std::string(fields[kFieldMessageId]) + newline +
                     "\t\t\t\xC3 from: " + NameFirst(fields[kFieldFrom]) + newline +
                     "\t\t\t\xC3 Subject: " + subject + newline + "\t\t\t\xC0 Reason: " + reason,
                 serverSlot, kLogFilter);
    }
    return verdict;
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
        if (FilterLoaded && JudgeOverviewLine(server.slot(), group, line) == kArticleWithhold) {
            continue;
        }
        pending += line;
        pending += WireNewline;
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

ArticleVerdict JudgeArticle(std::string_view group, const std::string& sender,
                            const std::string& subject, const std::string& messageId,
                            const std::string& references, std::string& reason) {
    FilterSubject article;
    article.folder = NewsFolder(group);
    article.from = sender;
    article.subject = subject;
    article.references = references;
    article.messageId = messageId;

    ArticleVerdict verdict = kArticlePass;
    FilterCursor cursor;
    std::string action;
    for (;;) {
        EvaluateFilters(article, cursor, action, reason);
        if (cursor.matched != 1) break;
        verdict = VerdictOf(Trim(action));
        if ((cursor.options & kOptionQ) != 0) break;
    }
    return verdict;
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
