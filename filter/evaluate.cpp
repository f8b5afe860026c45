#include <string>
#include <string_view>

#include "core/text.h"
#include "filter/filter.h"
#include "filter/kill_table.h"
#include "filter/match.h"
#include "filter/rules.h"

namespace {

constexpr std::string_view kExclusionName = "ALLE";

// Returns true when the section's name list admits the folder: the first
// name that matches decides, and "ALLE" met before it turns the section
// into one for every folder except the names that follow.
bool SectionApplies(std::string_view names, std::string_view upperFolder) {
    bool exclusion = false;
    size_t start = 0;
    for (;;) {
        size_t space = names.find(' ', start);
        std::string_view name =
            names.substr(start, space == std::string_view::npos ? space : space - start);
        if (name == kExclusionName) {
            exclusion = true;
        } else if (MatchPattern(name, upperFolder, kOptionC, false) == 1) {
            return !exclusion;
        }
        if (space == std::string_view::npos) return exclusion;
        start = space + 1;
    }
}

}  // namespace

void EvaluateFilters(const FilterSubject& subject, FilterCursor& cursor, std::string& action,
                     std::string& reason) {
    cursor.matched = 0;
    cursor.options = 0;
    try {
        std::string upperFolder;
        bool folderReady = false;
        for (;;) {
            const std::string* names = NextSection(cursor);
            // An empty name list ends the evaluation: later sections never apply.
            if (names == nullptr || names->empty()) break;
            // Resuming after a match inside this section: it applied already.
            bool applies = cursor.rule > 1;
            if (!applies) {
                if (!folderReady) {
                    upperFolder = UpperCase(subject.folder);
                    folderReady = true;
                }
                applies = SectionApplies(*names, upperFolder);
            }
            if (!applies) {
                ++cursor.section;
                continue;
            }
            const ParsedRule* hit = nullptr;
            for (;;) {
                ++cursor.rule;
                const ParsedRule* rule = NextRule(cursor);
                if (rule == nullptr) break;
                action = rule->action;
                // A rule that starts with its target marker ends the section.
                if (rule->line.empty()) break;
                if (EvaluateRule(*rule, subject, cursor.options) == RuleResult::kMatch) {
                    hit = rule;
                    break;
                }
            }
            if (hit != nullptr) {
                cursor.matched = 1;
                reason = hit->line;
                reason += kTargetMarker;
                reason += hit->action;
                break;
            }
            ++cursor.section;
        }
    } catch (...) {
        // Out of memory: the message passes.
        cursor.matched = 0;
    }
    if (cursor.matched == 0) {
        cursor.section = 1;
        cursor.rule = 1;
    }
}
