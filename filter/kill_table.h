// The loaded kill file: its sections and rule lines, and the two readers
// the evaluation walks them with (the table, or the file's lines when it is
// too large for the table).
//
// A load builds a KillSet, which nothing changes afterwards, and publishes
// it; a judgement holds the set it started with in its cursor. So a reload
// never disturbs a judgement in progress, and the per-rule path takes no
// lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/problems.h"
#include "filter/filter.h"
#include "filter/match.h"
#include "filter/rules.h"

// The table holds at most this many cells (sections x longest section); a
// larger kill file is read at each evaluation instead of being held.
inline constexpr int64_t kKillTableCellLimit = 5000;

enum class KillTableMode { kTable, kStreamed };

// One name of a section's name list.
struct SectionName {
    bool exclusion = false;    // "ALLE"
    CompiledWildcard pattern;  // any other name, matched against the folder upper-cased
};

struct KillSection {
    std::string names;                     // the name list: trimmed, upper-cased
    std::vector<SectionName> nameList;     // the names split at single spaces
    std::vector<ParsedRule> rules;         // rows 2 onward, in file order
    std::vector<RuleSieve> sieves;         // one per rule, kept apart so that a walk stays compact
    std::array<uint8_t, 2> sieveFields{};  // [form]: the fields the sieves read
    size_t sievedRules = 0;                // rules whose sieve is active
};

struct KillSet {
    // Different for every set built in this process, so that what a thread
    // derived from one set (section decisions) is not used with another.
    uint64_t generation = 0;
    KillTableMode mode = KillTableMode::kTable;
    std::string fileName;               // as the loader was given it
    std::string data;                   // streamed mode: the file's bytes, read at each evaluation
    std::vector<KillSection> sections;  // table mode
    int64_t longestSection = 0;         // L: the most lines counted for one section
    // The distinct header names the rules read from header lines; a rule's
    // HeaderName::slot indexes this list.
    std::vector<std::string> headerSlots;
};

// As BuildKillSet, with the cell limit above which the file is streamed
// given (tests build one file both ways).
KillSetBuild BuildKillSetWithLimit(const std::string& fileName, int64_t cellLimit);

// Returns the name list split at single spaces (empty names included), each
// name compiled.
std::vector<SectionName> SplitSectionNames(std::string_view names);

// Returns true when the name list admits the folder: the first name that
// matches decides, and "ALLE" met before it turns the section into one for
// every folder except the names that follow.
bool SectionApplies(const std::vector<SectionName>& names, std::string_view upperFolder);

// As LoadKillFile, with the cell limit above which the file is streamed
// given (tests load one file both ways).
int LoadKillFileWithLimit(const std::string& fileName, int64_t cellLimit);

// How the loader and the streamed reader see one line of the kill file.
enum class LineKind { kSection, kDefaultTarget, kEmpty, kRemark, kRule };

struct ClassifiedLine {
    LineKind kind = LineKind::kEmpty;
    std::string text;  // section: its name list; rule: the trimmed line
};

// Classifies one physical line (without its line end) after cutting its
// in-line remark. Lines before the first section line are the caller's
// concern.
ClassifiedLine ClassifyLine(std::string_view raw);

// Returns the name list of section cursor.section of `set`, the set the
// cursor's judgement reads, or nullptr past the last section. When
// cursor.cachedSection is that section the same text is returned and
// cursor.rule kept; otherwise cursor.rule becomes 1. The text lives as long
// as the set and the cursor.
const std::string* NextSection(const KillSet& set, FilterCursor& cursor);

// Returns the rule at row cursor.rule (2 onward) of section cursor.section
// of `set`, or nullptr when the section has no such row. The pointer stays
// valid until the next call with this cursor.
const ParsedRule* NextRule(const KillSet& set, FilterCursor& cursor);

// One call of the evaluation over `set`, as EvaluateFilters makes it but
// with the set given: finds the next rule, after the cursor's position, that
// matches the message. Returns it (valid until the next call with this
// cursor, and as long as the set), with cursor.matched 1; or nullptr, with
// cursor.matched 0 and the cursor back to section 1, rule 1. `action` and
// cursor.options are set as EvaluateFilters says.
const ParsedRule* FindNextMatch(const KillSet& set, const FilterSubject& subject,
                                FilterCursor& cursor, std::string& action);

// Returns a matched rule's reason: its text before the target marker, the
// target marker and the action text.
std::string ReasonOf(const ParsedRule& rule);
