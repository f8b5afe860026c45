#include "filter/decision.h"

#include "codec/header_decode.h"
#include "core/globals.h"
#include "core/text.h"
#include "filter/kill_table.h"

const FilterMatch* DecidingMatch(const std::vector<FilterMatch>& matches, std::string_view action) {
    if (action.empty()) return nullptr;
    for (auto match = matches.rbegin(); match != matches.rend(); ++match) {
        if (match->action == action) return &*match;
    }
    return nullptr;
}

std::vector<FilterMatch> DecideAction(const FilterSubject& subject, const KillSet& set) {
    std::vector<FilterMatch> matches;
    // The caller holds the set for the whole judgement, so the cursor need
    // not: no reference counting per message.
    FilterCursor cursor;
    std::string action;
    try {
        for (;;) {
            const ParsedRule* hit = FindNextMatch(set, subject, cursor, action);
            if (hit == nullptr) break;
            FilterMatch match;
            match.action = Trim(hit->action);
            match.reason = ReasonOf(*hit);
            // The loader appends one space to every rule; the user did not write it.
            std::string_view text = hit->text;
            if (!text.empty() && text.back() == ' ') text.remove_suffix(1);
            match.rule = std::string(text);
            match.location = set.fileName + ":" + std::to_string(hit->lineNumber);
            match.options = cursor.options;
            matches.push_back(std::move(match));
            if ((cursor.options & kOptionQ) != 0) break;
        }
    } catch (...) {
        // Out of memory: the matches found so far decide, as if the search
        // had ended there.
    }
    return matches;
}

std::string FilterLogBlock(std::string_view heading, std::string_view messageId,
                           std::string_view from, std::string_view subject,
                           std::string_view reason) {
    std::string newline(kTextNewline);
    return std::string(heading) + std::string(messageId) + newline +
           "\t\t\t\xC3 from: " + NameFirst(from) + newline +
           "\t\t\t\xC3 Subject: " + std::string(subject) + newline +
           "\t\t\t\xC0 Reason: " + std::string(reason);
}
