// The filtered overview list: a reader's XOVER (or OVER) goes to the real
// server, and every overview line of the answer is judged by the kill file;
// the lines of rejected articles never reach the reader.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "filter/decision.h"
#include "net/connection.h"

// What becomes of one overview line.
enum class ArticleVerdict {
    kPass,      // passed on to the reader
    kWithhold,  // not passed on; logged in the filter log
};

// What the news filter saw of one article and what it decided.
struct ArticleJudgement {
    // The folder (NewsFolder of the group), the sender in address-first
    // form and the subject, both decoded, the Message-ID and the
    // References, as the rules were tested against them.
    FilterSubject article;
    std::vector<FilterMatch> matches;  // every rule that matched, in order
    // The last match decides: "SKIP" withholds, any other word passes.
    ArticleVerdict verdict = ArticleVerdict::kPass;
    std::string action;  // the last match's action word; "" when none matched
    std::string reason;  // the last match's reason; "" when none matched
};

// Relays one overview command: sends the reader's line to the server
// unchanged, passes the server's first reply on and, when it is a 224, every
// overview line the kill file does not reject, up to and including "." (the
// whole list judged with the kill set current when it starts).
// `group` is the session's current group (empty before any GROUP). Returns
// nothing: a server lost during the list is logged ("Connection lost during
// XOVER") and shows in the server's LinkFailed; the reader then gets no
// closing ".". Does nothing when `server` is no connection.
void RelayOverview(Connection& reader, Connection& server, const std::string& group,
                   const std::string& line);

// Judges one article of `group` with `killSet`, with the sender (in
// address-first form) and the subject already decoded.
ArticleJudgement JudgeArticle(std::string_view group, std::string sender, std::string subject,
                              std::string messageId, std::string references,
                              const KillSet& killSet);

// Judges one overview line of `group` with `killSet` as the relay does:
// Subject and From decoded, From in address-first form; Message-ID and
// References as they stand. Missing fields count as empty.
ArticleJudgement JudgeOverviewLine(std::string_view group, std::string_view line,
                                   const KillSet& killSet);

// Returns the kill file's folder for a newsgroup: "/" and the name with every
// "." made a "/" ("de.test" gives "/de/test", "" gives "/").
std::string NewsFolder(std::string_view group);
