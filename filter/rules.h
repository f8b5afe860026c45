// One rule line of the kill file: its condition parts, their options and
// patterns, and the test of a message against them.
//
// A rule stays text in the kill table; what can be derived from that text
// alone is derived once, when the rule is stored, into a ParsedRule kept
// beside it. Evaluating a ParsedRule gives exactly what parsing the text at
// every evaluation would give.
#pragma once

#include <array>
#include <bit>
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
    // kHeaderLines: the name's place in the kill table's list of distinct
    // names, under which its joined values are kept for one evaluation;
    // -1 for a rule read from the file at each evaluation.
    int slot = -1;
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
    CompiledWildcard wildcard;                        // no regex: the pattern
    CompiledWildcard wildcardCr;                      // no regex: patternCr
    std::vector<HeaderName> headerNames;
};

struct ParsedRule {
    std::string text;    // the rule as stored: trimmed, one space appended
    std::string line;    // text before the first target marker
    std::string action;  // text after the first target marker ("" without one)
    std::vector<ParsedPart> parts;
    // The rule's line in its kill file (1-based), so that a match can be
    // traced to where the user wrote it; 0 for a rule not read from a file.
    int64_t lineNumber = 0;
};

// Reads the options word of an upper-cased condition part. Returns the
// option bits and fills `headerNames` with the quoted header names, each
// keeping its ":". Without an options marker the result is S + M and no
// names; without a field letter or header name S is set; without any of
// E K M H D P F + - M is set.
FilterOptions ParseRuleOptions(std::string_view upperPart, std::vector<std::string>& headerNames);

// Whether ParseRule compiles a rule's regular expressions.
enum class RegexCompile {
    kShared,  // through the shared cache, for evaluation
    kNone,    // not at all (ParsedPart::compiled stays empty): for a check
              // that must neither fill the cache nor log
};

// Returns the rule text split and pre-parsed. Regular expressions are
// compiled (through the shared cache) here unless `regexCompile` says not;
// one that does not compile is logged once with the rule text and leaves
// its part false. With `headerSlots`, every header name read from header
// lines gets its slot in that list of distinct names, the name being added
// when it is new.
ParsedRule ParseRule(std::string_view ruleText, std::vector<std::string>* headerSlots = nullptr,
                     RegexCompile regexCompile = RegexCompile::kShared);

// Returns what is wrong in a parsed rule, one plain-words text per fault
// and each fault once, in this order: an odd number of quotes in a
// condition part ("unterminated quote"), a letter of an options word that
// names no option, a regular expression that does not compile (with
// PCRE2's message and offset), no target marker, no or an unknown action
// word. Empty for a sound rule and for one that starts with its target
// marker (it only ends its section).
std::vector<std::string> RuleProblems(const ParsedRule& rule);

// The texts of one message as the rules test them, each made when a rule
// first needs it and kept for the rest of the evaluation: upper-cased once,
// header values joined once, not once per rule.
struct EvaluationScratch;

// Returns the calling thread's scratch, emptied and bound to `subject` for
// one evaluation; `headerSlots` is the loaded table's list of distinct header
// names. Valid until the thread's next call; both must outlive it.
EvaluationScratch& BeginEvaluation(const FilterSubject& subject,
                                   const std::vector<std::string>& headerSlots);

// Returns the message's folder upper-cased, as section names are matched
// against it.
std::string_view UpperFolder(EvaluationScratch& scratch);

// A quick test that rules a rule out before it is read: the byte pairs its
// first condition part needs in the texts it searches (Subject, From,
// folder, Message-ID, References, size), checked against sketches of those
// texts. Most rules of a kill file match almost no message; this keeps them
// from costing more than a few bit tests.
struct RuleSieve {
    FilterOptions options = 0;  // the first part's: the cursor's options when ruled out
    bool active = false;        // the sieve can rule the rule out
    bool emptyLine = false;     // the rule starts with its target marker
    uint8_t fields = 0;         // kSieve bits of the message's texts searched
    uint8_t form = 0;           // the texts' form: 0 upper-cased, 1 as they are (C)
    int headerSlot = -1;        // the one header name searched in the header lines, if any
    uint8_t probeCount = 0;
    std::array<uint16_t, kPieceProbeLimit> probes{};
};

inline constexpr uint8_t kSieveSubject = 0x1;
inline constexpr uint8_t kSieveFrom = 0x2;
inline constexpr uint8_t kSieveFolder = 0x4;
inline constexpr uint8_t kSieveMessageId = 0x8;
inline constexpr uint8_t kSieveReferences = 0x10;
inline constexpr uint8_t kSieveLength = 0x20;
inline constexpr size_t kSieveFieldCount = 6;

// Returns the rule's sieve. It is active only when the rule's first part is
// a wildcard pattern without "X" whose pattern needs byte pairs, and that
// names at most one header searched in the header lines, with its slot.
RuleSieve SieveOf(const ParsedRule& rule);

// The sketches of one message's sieve fields, [field][form], where field is
// the bit number of the field's kSieve bit.
using SieveSketches = std::array<std::array<const TextSketch*, 2>, kSieveFieldCount>;

// Fills `sketches` for the fields and forms `wanted` names ([form] a mask of
// kSieve bits) of the message bound to `scratch`; the others stay as they
// are. Each text is sketched once per evaluation.
void SketchSieveFields(EvaluationScratch& scratch, const std::array<uint8_t, 2>& wanted,
                       SieveSketches& sketches);

// Returns the sketch of the values of header slot `slot` joined, in form
// `form`, or nullptr while too few rules have searched them to pay for one.
const TextSketch* HeaderSketch(EvaluationScratch& scratch, int slot, uint8_t form);

// Returns true when the message cannot match the rule of `sieve`: the rule
// would fail at its first part, leaving that part's options. False when the
// rule must be evaluated. `sketches` must hold every field and form the
// sieve names.
inline bool SieveRulesOut(const RuleSieve& sieve, const SieveSketches& sketches,
                          EvaluationScratch& scratch) {
    if (!sieve.active) return false;
    for (unsigned fields = sieve.fields; fields != 0; fields &= fields - 1) {
        const TextSketch& sketch =
            *sketches[static_cast<size_t>(std::countr_zero(fields))][sieve.form];
        if (SketchHasAll(sketch, sieve.probes.data(), sieve.probeCount)) return false;
    }
    if (sieve.headerSlot >= 0) {
        const TextSketch* sketch = HeaderSketch(scratch, sieve.headerSlot, sieve.form);
        if (sketch == nullptr || SketchHasAll(*sketch, sieve.probes.data(), sieve.probeCount)) {
            return false;
        }
    }
    return true;
}

// Outcome of testing a message against one rule.
enum class RuleResult { kNoMatch, kMatch };

// Tests the message bound to `scratch` against every part of the rule in
// order; the first false part ends the test, "KILLALL" ends it with a match.
// `options` receives the options of the last part evaluated.
RuleResult EvaluateRule(const ParsedRule& rule, EvaluationScratch& scratch, FilterOptions& options);
