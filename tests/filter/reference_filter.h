// A plain evaluation of the kill file, kept as the yardstick the engine is
// compared with: it parses every rule from its text at every call and
// matches byte by byte, as the engine did before rules were pre-parsed. It
// shares nothing with filter/ but the option bits and the marker bytes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "filter/filter.h"

struct ReferenceSection {
    std::string names;               // as the loader stores it: trimmed, upper-cased
    std::vector<std::string> rules;  // as the loader stores them: trimmed, one space appended
};

// The fields of FilterCursor that the evaluation walks with.
struct ReferenceCursor {
    int matched = 0;
    FilterOptions options = 0;
    int section = 1;
    int rule = 0;
    int cachedSection = 0;
};

// Returns 1 when the pattern matches the text, else 0, as MatchPattern does.
int ReferenceMatchPattern(std::string_view pattern, std::string_view text, FilterOptions options,
                          bool regex);

// One call of the evaluation over `sections`, as EvaluateFilters does over
// the loaded table.
void ReferenceEvaluate(const std::vector<ReferenceSection>& sections, const FilterSubject& subject,
                       ReferenceCursor& cursor, std::string& action, std::string& reason);
