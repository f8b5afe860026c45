// How the mail scan and the news filter ask the kill file about one message:
// the calling protocol that collects every rule matching it, in order, and
// the filter log's block for a message the filter acted on. Each protocol
// reads the action words with its own table (they differ on purpose).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filter.h"

// One rule that matched while a message was judged.
struct FilterMatch {
    std::string action;    // the action word as written, trimmed: "DELE", "SKIP", or any word
    std::string reason;    // the rule's text before its target marker, the marker and the
                           // action text, as the filter log and the kill report show it
    std::string rule;      // the rule line as stored: trimmed, its in-line remark cut
    std::string location;  // "FILE:LINE": the kill file as it was loaded and the rule's line
    // The options of the last condition part evaluated; kOptionQ there made
    // this match the last.
    FilterOptions options = 0;
};

// One row of a protocol's table of the action words it knows.
template <typename Verdict>
struct ActionVerdict {
    std::string_view word;
    Verdict verdict;
};

// Returns the verdict the table gives the action word, or nullptr for a word
// it does not list (what that means is the protocol's to say).
template <typename Verdict, size_t N>
const Verdict* FindVerdict(const std::array<ActionVerdict<Verdict>, N>& table,
                           std::string_view word) {
    for (const ActionVerdict<Verdict>& row : table) {
        if (row.word == word) return &row.verdict;
    }
    return nullptr;
}

// Asks `set` for every rule that matches the message, in the kill file's
// order: after each match the search goes on behind it, unless the match
// carries option Q, which makes it the last. Returns the matches in order;
// empty when no rule matched (also when the evaluation ran out of memory,
// which lets the message pass). The last match decides; what its action word
// means is the protocol's to say. Logs nothing but what the evaluation logs
// (a regular expression of a streamed kill file that does not compile).
// Reads the set without a lock: any number of threads may judge at once.
std::vector<FilterMatch> DecideAction(const FilterSubject& subject, const KillSet& set);

// Returns the match that gave the verdict: the last one whose action word is
// `action`; nullptr when `action` is "" (no rule decided) or none has it.
const FilterMatch* DecidingMatch(const std::vector<FilterMatch>& matches, std::string_view action);

// Returns the filter log's block for a message the filter hid, killed or
// withheld: `heading` ("Filter: ", "Killing: ") and the Message-ID, then the
// sender (in name-first form), the subject and the reason, each on a line of
// its own, joined by CR LF (no line end after the reason).
std::string FilterLogBlock(std::string_view heading, std::string_view messageId,
                           std::string_view from, std::string_view subject,
                           std::string_view reason);
