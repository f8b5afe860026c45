// `trawlbox test FILE`: judges one message, or one overview line, with the
// configured kill file exactly as a session would, and shows why.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/check.h"
#include "app/command_line.h"
#include "filter/decision.h"

// The lines `trawlbox test` prints after the fields: each match as
// "FILE:LINE: <rule text> -> ACTION", then "verdict: " and the deciding
// action word, or "verdict: keep" when no rule decides.
std::vector<std::string> MatchLines(const std::vector<FilterMatch>& matches,
                                    const std::string& decidingAction);

struct KillSet;

// What judging one text showed: what the filter saw, in the order
// `trawlbox test` prints it, and the rules that matched.
struct MessageTestOutcome {
    std::vector<std::pair<std::string, std::string>> fields;  // name and value as printed
    std::vector<FilterMatch> matches;                         // in order
    std::string action;  // the deciding action word; "" when no rule decides (keep)
};

// Judges `text` with `set` as RunMessageTest does: an RFC 5322 message with
// `envelope` as the envelope when `group` is "", else the first line of
// `text` as an overview line of that group.
MessageTestOutcome TestMessageText(const std::string& text, const std::string& group,
                                   const std::string& envelope, const KillSet& set);

// Reads the configuration of line.directory (settings, kill file, relay
// list), then judges line.messageFile: an RFC 5322 message (LF or CR LF
// line ends; its header is read up to the first empty line, its size
// counted with CR LF line ends as a server reports it) with line.envelope
// as the envelope (none: as a session without one), or with line.group
// given one overview line of that group. Prints what the filter saw (the
// decoded From and Subject, size and age, or the article's fields) and
// MatchLines. Returns kExitOk after a judgement, whatever its verdict;
// kExitFailure, after a line saying why, when the message file or the
// kill file cannot be read.
int RunMessageTest(const CommandLine& line, const LineWriter& print);
