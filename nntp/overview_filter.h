// The filtered overview list: a reader's XOVER (or OVER) goes to the real
// server, and every overview line of the answer is judged by the kill file;
// the lines of rejected articles never reach the reader.
#pragma once

#include <string>
#include <string_view>

#include "net/connection.h"

// What becomes of one overview line.
enum ArticleVerdict : int {
    kArticlePass = 0,      // passed on to the reader
    kArticleWithhold = 1,  // not passed on; logged in the filter log
};

// Relays one overview command: sends the reader's line to the server
// unchanged, passes the server's first reply on and, when it is a 224, every
// overview line the kill file does not reject, up to and including ".".
// `group` is the session's current group (empty before any GROUP). Returns
// nothing: a server lost during the list is logged ("Connection lost during
// XOVER") and shows in the server's LinkFailed; the reader then gets no
// closing ".". Does nothing when `server` is no connection.
void RelayOverview(Connection& reader, Connection& server, const std::string& group,
                   const std::string& line);

// Judges one article of `group` by the kill file, with the sender and
// subject already decoded. Returns kArticleWithhold when the last matching
// rule (or the first one with option Q) has the action word "SKIP";
// kArticlePass otherwise, also when nothing matched. `reason` receives the
// reason of the last match and is left untouched when nothing matched.
ArticleVerdict JudgeArticle(std::string_view group, const std::string& sender,
                            const std::string& subject, const std::string& messageId,
                            const std::string& references, std::string& reason);

// Returns the kill file's folder for a newsgroup: "/" and the name with every
// "." made a "/" ("de.test" gives "/de/test", "" gives "/").
std::string NewsFolder(std::string_view group);
