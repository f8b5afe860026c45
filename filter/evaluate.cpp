#include <string>
#include <string_view>
#include <vector>

#include "filter/filter.h"
#include "filter/kill_table.h"
#include "filter/match.h"
#include "filter/rules.h"

namespace {

// Sieved rules in a section from which sketching the message's texts pays.
constexpr size_t kSievedRulesWorthSketching = 4;

// Whether each section of the table applies to one folder. A news reader's
// overview brings thousands of lines of one group in a row, so the decisions
// are kept per thread until the folder or the set changes.
struct SectionDecisions {
    uint64_t generation = 0;  // KillSet::generation of the set they were made for
    std::string folder;
    std::vector<signed char> applies;  // per section: -1 not yet decided, 0 no, 1 yes
};

SectionDecisions& DecisionsFor(const KillSet& table, const std::string& folder) {
    thread_local SectionDecisions decisions;
    uint64_t generation = table.generation;
    if (decisions.generation != generation || decisions.folder != folder ||
        decisions.applies.size() != table.sections.size()) {
        decisions.applies.assign(table.sections.size(), -1);
        decisions.folder = folder;
        decisions.generation = generation;
    }
    return decisions;
}

// Returns true when section cursor.section, whose name list is `names`,
// applies to the message's folder.
bool Applies(const KillSet& table, const FilterSubject& subject, const FilterCursor& cursor,
             const std::string& names, EvaluationScratch& scratch) {
    if (table.mode == KillTableMode::kStreamed) {
        return SectionApplies(SplitSectionNames(names), UpperFolder(scratch));
    }
    size_t index = static_cast<size_t>(cursor.section) - 1;
    SectionDecisions& decisions = DecisionsFor(table, subject.folder);
    signed char& known = decisions.applies[index];
    if (known < 0) known = SectionApplies(table.sections[index].nameList, UpperFolder(scratch));
    return known == 1;
}

// Walks the rules of a table section from the row after cursor.rule and
// returns the first that matches, or nullptr at the section's end. As
// NextRule would give them, with each rule's sieve tried before the rule.
// `examined` receives the last rule examined.
const ParsedRule* SearchSection(const KillSection& section, EvaluationScratch& scratch,
                                FilterCursor& cursor, const ParsedRule*& examined) {
    ++cursor.rule;
    if (cursor.rule < 2) return nullptr;
    const size_t count = section.rules.size();
    size_t index = static_cast<size_t>(cursor.rule) - 2;
    if (index >= count) return nullptr;
    // Sketching the texts costs about what a few rules do; a section of
    // fewer sieved rules is walked without.
    SieveSketches sketches{};
    bool sieving = section.sievedRules >= kSievedRulesWorthSketching;
    if (sieving) SketchSieveFields(scratch, section.sieveFields, sketches);
    // The walk keeps its place in locals and leaves it in the cursor at the
    // end: the cursor is written once, not once per rule.
    const RuleSieve* sieves = section.sieves.data();
    const RuleSieve* ruledOut = nullptr;  // the last rule, when its sieve ruled it out
    const ParsedRule* hit = nullptr;
    for (; index < count; ++index) {
        const RuleSieve& sieve = sieves[index];
        // A rule that starts with its target marker ends the section.
        if (sieve.emptyLine) break;
        if (sieving && SieveRulesOut(sieve, sketches, scratch)) {
            ruledOut = &sieve;
            continue;
        }
        ruledOut = nullptr;
        const ParsedRule& rule = section.rules[index];
        examined = &rule;
        if (EvaluateRule(rule, scratch, cursor.options) == RuleResult::kMatch) {
            hit = &rule;
            break;
        }
    }
    cursor.rule = static_cast<int>(index) + 2;
    examined = &section.rules[index < count ? index : count - 1];
    if (ruledOut != nullptr) cursor.options = ruledOut->options;
    return hit;
}

// As SearchSection, for a rule read from the kill file at each evaluation:
// the rule is overwritten by the next read, so its action is taken at once.
const ParsedRule* SearchStreamedSection(const KillSet& table, EvaluationScratch& scratch,
                                        FilterCursor& cursor, std::string& action) {
    for (;;) {
        ++cursor.rule;
        const ParsedRule* rule = NextRule(table, cursor);
        if (rule == nullptr) return nullptr;
        action = rule->action;
        if (rule->line.empty()) return nullptr;
        if (EvaluateRule(*rule, scratch, cursor.options) == RuleResult::kMatch) return rule;
    }
}

}  // namespace

std::string ReasonOf(const ParsedRule& rule) {
    std::string reason = rule.line;
    reason += kTargetMarker;
    reason += rule.action;
    return reason;
}

const ParsedRule* FindNextMatch(const KillSet& table, const FilterSubject& subject,
                                FilterCursor& cursor, std::string& action) {
    cursor.matched = 0;
    cursor.options = 0;
    // The last table rule examined, whose action text the caller receives:
    // copied once at the end, not once per rule.
    const ParsedRule* examined = nullptr;
    const ParsedRule* hit = nullptr;
    try {
        bool streamed = table.mode == KillTableMode::kStreamed;
        EvaluationScratch& scratch = BeginEvaluation(subject, table.headerSlots);
        for (;;) {
            const std::string* names = NextSection(table, cursor);
            // An empty name list ends the evaluation: later sections never apply.
            if (names == nullptr || names->empty()) break;
            // Resuming after a match inside this section: it applied already.
            bool applies = cursor.rule > 1 || Applies(table, subject, cursor, *names, scratch);
            if (!applies) {
                ++cursor.section;
                continue;
            }
            hit = streamed ? SearchStreamedSection(table, scratch, cursor, action)
                           : SearchSection(table.sections[static_cast<size_t>(cursor.section) - 1],
                                           scratch, cursor, examined);
            if (hit != nullptr) {
                cursor.matched = 1;
                break;
            }
            ++cursor.section;
        }
        if (examined != nullptr) action = examined->action;
    } catch (...) {
        // Out of memory: the message passes.
        cursor.matched = 0;
        hit = nullptr;
        try {
            if (examined != nullptr) action = examined->action;
        } catch (...) {
            // The action is read only after a match, and there is none.
        }
    }
    if (hit == nullptr) {
        cursor.section = 1;
        cursor.rule = 1;
    }
    return hit;
}

void EvaluateFilters(const FilterSubject& subject, FilterCursor& cursor, std::string& action,
                     std::string& reason) {
    // The set the judgement reads. A judgement that ends at its first call
    // (most messages: no rule matches) reads the set the thread holds and
    // never touches its reference count; one that goes on takes the set
    // into its cursor, so that its later calls read the same set whatever
    // is published meanwhile.
    const std::shared_ptr<const KillSet>* threadSet = nullptr;
    try {
        if (cursor.killSet == nullptr) threadSet = &CurrentKillSet();
        const KillSet& table = threadSet ? **threadSet : *cursor.killSet;
        const ParsedRule* hit = FindNextMatch(table, subject, cursor, action);
        if (hit != nullptr) reason = ReasonOf(*hit);
    } catch (...) {
        // Out of memory: the message passes.
        cursor.matched = 0;
        cursor.section = 1;
        cursor.rule = 1;
    }
    if (cursor.matched == 0) {
        if (threadSet != nullptr) {
            // Nothing of the set the cursor does not hold may stay in it: a
            // cursor used again starts with the set current then.
            cursor.cachedSection = 0;
            cursor.stream.reset();
        }
    } else if (threadSet != nullptr) {
        cursor.killSet = *threadSet;
    }
}
