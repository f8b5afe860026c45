// One rule line of the kill file: its condition parts, their options and
// patterns, and the test of a message against them.
//
// A rule stays text in the kill table; what can be derived from that text
// alone is derived once, when the rule is stored, into a ParsedRule kept
// beside it. Evaluating a ParsedRule gives exactly what parsing the text at
// every evaluation would give.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filter.h"
#include "filter/match.h"

// What a condition part tests, decided in this order from its upper-cased text.
enum class PartKind {
    kBytes,        // "BYTES@"n: n <= size
    kDays,         // "DAYS@"n: n <= age
    kThread,       // "THREAD@"n: the thread watch, never true here
    kTimes,        // "TIMES@"n,word: the word occurs n times or more
    kTimesBroken,  // "TIMES@"n without the comma: false, never inverted
    kKillAll,      // "KILLALL": the rule matches at once
    kIsReply,      // "ISREPLY": the message has References
    kPattern,      // a wildcard pattern or, after "REGEXPR", an expression
};

// Where a quoted header name takes its text from.
enum class HeaderSource { kMessageId, kReferences, kLength, kHeaderLines };

struct HeaderName {
    std::string name;  // upper-cased, as written ("X-MAILER:")
    HeaderSource source = HeaderSource::kHeaderLines;
};

struct ParsedPart {
    std::string text;  // the part as evaluated, options word appended where due
    FilterOptions options = 0;
    PartKind kind = PartKind::kPattern;
    int64_t number = 0;     // the keyword's n
    std::string word;       // TIMES@: the counted word
    std::string pattern;    // upper-cased unless kOptionC
    std::string patternCr;  // pattern + CR "*", for header texts holding a CR
    bool regex = false;
    std::shared_ptr<const CompiledRegex> compiled;    // regex: the pattern
    std::shared_ptr<const CompiledRegex> compiledCr;  // regex: patternCr
    std::vector<HeaderName> headerNames;
};

struct ParsedRule {
    std::string text;    // the rule as stored: trimmed, one space appended
    std::string line;    // text before the first target marker
    std::string action;  // text after the first target marker ("" without one)
    std::vector<ParsedPart> parts;
};

// Reads the options word of an upper-cased condition part. Returns the
// option bits and fills `headerNames` with the quoted header names, each
// keeping its ":". Without an options marker the result is S + M and no
// names; without a field letter or header name S is set; without any of
// E K M H D P F + - M is set.
FilterOptions ParseRuleOptions(std::string_view upperPart, std::vector<std::string>& headerNames);

// Returns the rule text split and pre-parsed. Regular expressions are
// compiled (through the shared cache) here; one that does not compile is
// logged once with the rule text and leaves its part false.
ParsedRule ParseRule(std::string_view ruleText);

// Outcome of testing a message against one rule.
enum class RuleResult { kNoMatch, kMatch };

// Tests the message against every part of the rule in order; the first false
// part ends the test, "KILLALL" ends it with a match. `options` receives the
// options of the last part evaluated.
RuleResult EvaluateRule(const ParsedRule& rule, const FilterSubject& subject,
                        FilterOptions& options);
