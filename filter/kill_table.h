// The loaded kill file: its sections and rule lines, and the two readers
// the evaluation walks them with (the table, or the file itself when it is
// too large for the table).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filter.h"
#include "filter/rules.h"

// The table holds at most this many cells (sections x longest section); a
// larger kill file is read at each evaluation instead of being held.
inline constexpr int64_t kKillTableCellLimit = 5000;

enum class KillTableMode { kTable, kStreamed };

struct KillSection {
    std::string names;              // the name list: trimmed, upper-cased
    std::vector<ParsedRule> rules;  // rows 2 onward, in file order
};

struct KillTableData {
    KillTableMode mode = KillTableMode::kTable;
    std::string fileName;  // the file read at each evaluation in streamed mode
    std::vector<KillSection> sections;
    int64_t longestSection = 0;  // L: the most lines counted for one section
};

// The process's kill table, read-only between loads.
const KillTableData& CurrentKillTable();

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

// Returns the name list of section cursor.section, or nullptr past the last
// section. When cursor.cachedSection is that section the cached text is
// returned and cursor.rule kept; otherwise cursor.rule becomes 1.
const std::string* NextSection(FilterCursor& cursor);

// Returns the rule at row cursor.rule (2 onward) of section cursor.section,
// or nullptr when the section has no such row. The pointer stays valid until
// the next call with this cursor or the next load.
const ParsedRule* NextRule(FilterCursor& cursor);
