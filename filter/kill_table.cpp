#include "filter/kill_table.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>

#include "core/globals.h"
#include "core/log.h"
#include "core/text.h"
#include "platform/files.h"

namespace {

constexpr std::string_view kSectionStart = "---";
constexpr std::string_view kDefaultTargetStart = "+++";
constexpr std::string_view kRemarkStart = "'";
constexpr std::string_view kTripleRemark = "\xFE\xFE\xFE";
constexpr std::string_view kTripleOptions = "\xEA\xEA\xEA";

constexpr std::string_view kExclusionName = "ALLE";

KillTableData& Table() {
    // Never destroyed: session threads may still evaluate while the process ends.
    static KillTableData& table = *new KillTableData();
    return table;
}

std::atomic<uint64_t> tableGeneration{0};

// Empties the table for what comes next, telling every derived cache.
void ResetTable(KillTableData& table) {
    table = KillTableData{};
    tableGeneration.fetch_add(1, std::memory_order_relaxed);
}

bool StartsAsRemark(std::string_view text) {
    return StartsWith(text, kRemarkStart) || StartsWith(text, kTripleRemark) ||
           StartsWith(text, kTripleOptions);
}

bool IsRuleLine(const ClassifiedLine& line) {
    return line.kind == LineKind::kRule && line.text.find(kOptionsMarker) != std::string::npos;
}

// Splits the file's bytes into physical lines: each ends at LF, and a CR
// before the LF belongs to the line end.
std::vector<std::string_view> SplitLines(std::string_view data) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        size_t next = end == std::string_view::npos ? data.size() : end + 1;
        if (end == std::string_view::npos) end = data.size();
        std::string_view line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = next;
    }
    return lines;
}

// Returns 1 with the file's bytes in `data`, or 0 when it cannot be read.
int ReadWholeFile(const std::string& fileName, std::string& data) {
    std::ifstream in;
    {
        std::lock_guard guard(FileOpenLock);
        in.open(fileName, std::ios::binary);
    }
    if (!in.is_open()) return 0;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.bad() ? 0 : 1;
}

}  // namespace

// Reads the kill file line by line for one cursor when the file is too large
// for the table. Each cursor has its own reader and read position, so
// sessions that evaluate at the same time never share one.
struct KillFileReader {
    std::ifstream file;
    int current = 0;            // section lines read so far: the section being read
    int rulesRead = 0;          // rules read from section `current`
    bool ended = false;         // section `current` is over (next section line or end of file read)
    bool pendingValid = false;  // `ended` by a section line whose names are in pendingNames
    std::string pendingNames;
    std::string names;  // name list of section `current`
    std::string line;
    ParsedRule rule;  // the rule read last

    bool Open(const std::string& fileName) {
        std::lock_guard guard(FileOpenLock);
        file.open(fileName, std::ios::binary);
        return file.is_open();
    }

    void Rewind() {
        file.clear();
        file.seekg(0);
        current = 0;
        rulesRead = 0;
        ended = false;
        pendingValid = false;
    }

    // Reads on to the next section line or rule line, passing over what the
    // loader would not store (lines before the first section, empty lines,
    // remarks, "+++" lines, rule lines without an options marker). Returns
    // false at the end of the file.
    bool ReadNext(ClassifiedLine& out) {
        while (std::getline(file, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out = ClassifyLine(line);
            if (out.kind == LineKind::kSection) return true;
            if (current > 0 && IsRuleLine(out)) return true;
        }
        return false;
    }

    // Positions the reader inside section `wanted`. Returns false when the
    // file has fewer sections.
    bool SeekSection(int wanted) {
        if (current > wanted) Rewind();
        ClassifiedLine next;
        while (current < wanted) {
            if (ended) {
                if (!pendingValid) return false;
                ++current;
                names = std::move(pendingNames);
                rulesRead = 0;
                ended = pendingValid = false;
                continue;
            }
            if (!ReadNext(next)) {
                ended = true;
                pendingValid = false;
                return false;
            }
            if (next.kind == LineKind::kSection) {
                ++current;
                names = std::move(next.text);
                rulesRead = 0;
            }
        }
        return true;
    }

    // Reads the next rule of section `current`, parsing it when `parse` is
    // set. Returns false when the section is over.
    bool ReadRule(bool parse) {
        if (ended) return false;
        ClassifiedLine next;
        if (!ReadNext(next)) {
            ended = true;
            pendingValid = false;
            return false;
        }
        if (next.kind == LineKind::kSection) {
            ended = pendingValid = true;
            pendingNames = std::move(next.text);
            return false;
        }
        ++rulesRead;
        if (parse) rule = ParseRule(next.text + " ");
        return true;
    }
};

const KillTableData& CurrentKillTable() {
    return Table();
}

uint64_t KillTableGeneration() {
    return tableGeneration.load(std::memory_order_relaxed);
}

std::vector<SectionName> SplitSectionNames(std::string_view names) {
    std::vector<SectionName> list;
    size_t start = 0;
    for (;;) {
        size_t space = names.find(' ', start);
        std::string_view name =
            names.substr(start, space == std::string_view::npos ? space : space - start);
        SectionName entry;
        entry.exclusion = name == kExclusionName;
        if (!entry.exclusion) entry.pattern = CompileWildcard(name);
        list.push_back(std::move(entry));
        if (space == std::string_view::npos) return list;
        start = space + 1;
    }
}

bool SectionApplies(const std::vector<SectionName>& names, std::string_view upperFolder) {
    bool exclusion = false;
    for (const SectionName& name : names) {
        if (name.exclusion) {
            exclusion = true;
        } else if (MatchWildcard(name.pattern, upperFolder, false, nullptr) == 1) {
            // Names are matched with C: the folder is upper-cased, the
            // names were upper-cased by the loader.
            return !exclusion;
        }
    }
    return exclusion;
}

ClassifiedLine ClassifyLine(std::string_view raw) {
    std::string_view line = raw;
    if (!StartsWith(line, kTripleRemark)) {
        size_t remark = line.find(kRemarkMarker);
        if (remark != std::string_view::npos) line = line.substr(0, remark);
    }
    if (StartsWith(line, kSectionStart)) {
        return {LineKind::kSection, UpperCase(Trim(line.substr(kSectionStart.size())))};
    }
    if (StartsWith(line, kDefaultTargetStart)) return {LineKind::kDefaultTarget, {}};
    std::string trimmed = Trim(line);
    if (trimmed.empty()) return {LineKind::kEmpty, {}};
    if (StartsAsRemark(trimmed)) return {LineKind::kRemark, {}};
    return {LineKind::kRule, std::move(trimmed)};
}

int LoadKillFile(const std::string& fileName) {
    return LoadKillFileWithLimit(fileName, kKillTableCellLimit);
}

int LoadKillFileWithLimit(const std::string& fileName, int64_t cellLimit) {
    KillTableData& table = Table();
    ResetTable(table);
    try {
        if (!FileExists(fileName)) return 0;
        std::string data;
        if (ReadWholeFile(fileName, data) == 0) return 0;
        std::vector<std::string_view> lines = SplitLines(data);

        // First pass: the table's shape. Lines counted for a section are all
        // but section lines and lines that start as remarks in column 1;
        // the lines before the first section line form a stretch too.
        int64_t sectionCount = 0;
        int64_t longest = 0;
        int64_t counted = 0;
        for (std::string_view line : lines) {
            if (StartsWith(line, kSectionStart)) {
                ++sectionCount;
                counted = 0;
            } else if (!StartsAsRemark(line)) {
                longest = std::max(longest, ++counted);
            }
        }
        if (sectionCount == 0) {
            WriteLog(fileName + " ist keine g\x81ltige Filter-Datei", -1, kLogFailure);
            return 1;
        }
        table.longestSection = longest;
        if (sectionCount * longest > cellLimit) {
            table.mode = KillTableMode::kStreamed;
            table.fileName = fileName;
            return 1;
        }

        // Second pass: store the sections and their rule lines.
        table.sections.reserve(static_cast<size_t>(sectionCount));
        int64_t lineNumber = 0;
        for (std::string_view raw : lines) {
            ++lineNumber;
            ClassifiedLine line = ClassifyLine(raw);
            if (line.kind == LineKind::kSection) {
                std::vector<SectionName> names = SplitSectionNames(line.text);
                KillSection& section = table.sections.emplace_back();
                section.names = std::move(line.text);
                section.nameList = std::move(names);
                continue;
            }
            if (line.kind != LineKind::kRule || table.sections.empty()) continue;
            if (!IsRuleLine(line)) {
                WriteLog("incorrect KF-Syntax at line" + NumberText(lineNumber) + ": " + line.text,
                         -1, kLogFailure);
                continue;
            }
            KillSection& section = table.sections.back();
            section.rules.push_back(ParseRule(line.text + " ", &table.headerSlots));
            const RuleSieve& sieve = section.sieves.emplace_back(SieveOf(section.rules.back()));
            if (sieve.active) {
                section.sieveFields[sieve.form] |= sieve.fields;
                ++section.sievedRules;
            }
        }
        return 1;
    } catch (...) {
        ResetTable(table);
        return 0;
    }
}

void ClearKillTable() {
    ResetTable(Table());
}

const std::string* NextSection(FilterCursor& cursor) {
    if (cursor.cachedSection == cursor.section) return &cursor.sectionText;
    cursor.rule = 1;
    const KillTableData& table = Table();
    if (cursor.section < 1) return nullptr;
    if (table.mode == KillTableMode::kTable) {
        if (static_cast<size_t>(cursor.section) > table.sections.size()) return nullptr;
        cursor.sectionText = table.sections[cursor.section - 1].names;
    } else {
        if (!cursor.stream) {
            cursor.stream = std::make_shared<KillFileReader>();
            if (!cursor.stream->Open(table.fileName)) return nullptr;
        }
        if (!cursor.stream->file.is_open() || !cursor.stream->SeekSection(cursor.section)) {
            return nullptr;
        }
        cursor.sectionText = cursor.stream->names;
    }
    cursor.cachedSection = cursor.section;
    return &cursor.sectionText;
}

const ParsedRule* NextRule(FilterCursor& cursor) {
    const KillTableData& table = Table();
    if (cursor.section < 1 || cursor.rule < 2) return nullptr;
    if (table.mode == KillTableMode::kTable) {
        if (static_cast<size_t>(cursor.section) > table.sections.size()) return nullptr;
        const std::vector<ParsedRule>& rules = table.sections[cursor.section - 1].rules;
        size_t index = static_cast<size_t>(cursor.rule) - 2;
        return index < rules.size() ? &rules[index] : nullptr;
    }

    KillFileReader* reader = cursor.stream.get();
    if (reader == nullptr || !reader->file.is_open()) return nullptr;
    int before = cursor.rule - 2;  // rules of the section that come before the wanted one
    if (reader->current != cursor.section || reader->rulesRead != before) {
        // The cursor is not where the reader stopped (a cursor reused after
        // a miss): find the row again from the file's start.
        if (reader->current > cursor.section ||
            (reader->current == cursor.section && reader->rulesRead > before)) {
            reader->Rewind();
        }
        if (!reader->SeekSection(cursor.section)) return nullptr;
        while (reader->rulesRead < before) {
            if (!reader->ReadRule(false)) return nullptr;
        }
    }
    return reader->ReadRule(true) ? &reader->rule : nullptr;
}
