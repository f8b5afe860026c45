#include "filter/kill_table.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <utility>
#include <vector>

#include "codec/code_page.h"
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
// Written for kExclusionName often enough to be worth a warning.
constexpr std::string_view kMisspeltExclusion = "ALL";

// Numbers the sets built in this process; 0 is no set's.
std::atomic<uint64_t> setsBuilt{0};

std::shared_ptr<KillSet> NewSet(const std::string& fileName) {
    auto set = std::make_shared<KillSet>();
    set->generation = setsBuilt.fetch_add(1, std::memory_order_relaxed) + 1;
    set->fileName = fileName;
    return set;
}

// The set new judgements start with. Never destroyed: session threads may
// still start judgements while the process ends.
struct PublishedSet {
    std::mutex lock;
    std::shared_ptr<const KillSet> set;  // nullptr until the first publication or look
    std::atomic<uint64_t> publications{0};
};

PublishedSet& Published() {
    static PublishedSet& published = *new PublishedSet();
    return published;
}

bool StartsAsRemark(std::string_view text) {
    return StartsWith(text, kRemarkStart) || StartsWith(text, kTripleRemark) ||
           StartsWith(text, kTripleOptions);
}

bool IsRuleLine(const ClassifiedLine& line) {
    return line.kind == LineKind::kRule && line.text.find(kOptionsMarker) != std::string::npos;
}

// Reads the physical line that starts at `position` into `line` and moves
// `position` past it: each line ends at LF, and a CR before the LF belongs
// to the line end. Returns false at the end of the bytes.
bool NextPhysicalLine(std::string_view data, size_t& position, std::string_view& line) {
    if (position >= data.size()) return false;
    size_t end = data.find('\n', position);
    if (end == std::string_view::npos) end = data.size();
    line = data.substr(position, end - position);
    position = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
}

std::vector<std::string_view> SplitLines(std::string_view data) {
    std::vector<std::string_view> lines;
    size_t position = 0;
    std::string_view line;
    while (NextPhysicalLine(data, position, line)) lines.push_back(line);
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

// Reads the kill file's lines, kept in its set, for one cursor when the
// file is too large for the table. Each cursor has its own reader and read
// position, so sessions that evaluate at the same time never share one.
struct KillFileReader {
    std::string_view data;      // the set's bytes; the cursor holds the set
    size_t position = 0;        // where the next line starts
    int64_t linesRead = 0;      // physical lines before `position`
    int current = 0;            // section lines read so far: the section being read
    int rulesRead = 0;          // rules read from section `current`
    bool ended = false;         // section `current` is over (next section line or end of file read)
    bool pendingValid = false;  // `ended` by a section line whose names are in pendingNames
    std::string pendingNames;
    std::string names;  // name list of section `current`
    ParsedRule rule;    // the rule read last

    explicit KillFileReader(std::string_view bytes) : data(bytes) {}

    void Rewind() {
        position = 0;
        linesRead = 0;
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
        std::string_view line;
        while (NextPhysicalLine(data, position, line)) {
            ++linesRead;
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
        if (parse) {
            rule = ParseRule(next.text + " ");
            rule.lineNumber = linesRead;
        }
        return true;
    }
};

const std::shared_ptr<const KillSet>& CurrentKillSet() {
    // Each thread keeps the set it saw last and looks again only after a
    // publication, so that starting a judgement costs one atomic load.
    struct Seen {
        uint64_t publications = 0;
        std::shared_ptr<const KillSet> set;
    };
    thread_local Seen seen;
    PublishedSet& published = Published();
    if (seen.set == nullptr ||
        seen.publications != published.publications.load(std::memory_order_acquire)) {
        std::lock_guard guard(published.lock);
        if (published.set == nullptr) published.set = NewSet("");
        seen.set = published.set;
        seen.publications = published.publications.load(std::memory_order_relaxed);
    }
    return seen.set;
}

void PublishKillSet(std::shared_ptr<const KillSet> set) {
    if (set == nullptr) set = NewSet("");
    PublishedSet& published = Published();
    std::lock_guard guard(published.lock);
    // The old set goes to `set` and is released after the lock; the last
    // judgement holding it frees it.
    published.set.swap(set);
    published.publications.fetch_add(1, std::memory_order_release);
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

KillSetBuild BuildKillSet(const std::string& fileName) {
    return BuildKillSetWithLimit(fileName, kKillTableCellLimit);
}

KillSetBuild BuildKillSetWithLimit(const std::string& fileName, int64_t cellLimit) {
    KillSetBuild build;
    auto problem = [&](int64_t line, std::string text) {
        build.problems.push_back({fileName, line, std::move(text), Severity::kError});
    };
    try {
        if (!FileExists(fileName)) {
            problem(0, "no such file");
            return build;
        }
        std::string data;
        if (ReadWholeFile(fileName, data) == 0) {
            problem(0, "cannot be read");
            return build;
        }
        // Said in the log too: a rule that can never match would otherwise
        // go unnoticed until the spam it was meant for comes through.
        for (Problem& found : TakeUtf8File(data, fileName, "the line cannot match as written")) {
            WriteLog(fileName + " line " + std::to_string(found.line) + ": " + found.text, -1,
                     kLogFailure);
            build.problems.push_back(std::move(found));
        }
        std::shared_ptr<KillSet> set = NewSet(fileName);
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
            problem(0, "no section line (\"--- names\"); nothing is filtered");
            build.set = std::move(set);
            return build;
        }
        set->longestSection = longest;
        const bool streamed = sectionCount * longest > cellLimit;
        if (streamed) {
            set->mode = KillTableMode::kStreamed;
        } else {
            set->sections.reserve(static_cast<size_t>(sectionCount));
        }

        // Second pass: check every line; for the table, store the sections
        // and their rule lines. A streamed file's rules are parsed only to be
        // checked, without compiling their expressions: the evaluation
        // compiles (and reports) them as it reads them.
        int64_t lineNumber = 0;
        for (std::string_view raw : lines) {
            ++lineNumber;
            ClassifiedLine line = ClassifyLine(raw);
            if (line.kind == LineKind::kSection) {
                ++build.sections;
                if (line.text.empty()) {
                    problem(lineNumber, "section line names no folder; no later section is used");
                }
                if ((" " + line.text + " ").find(" " + std::string(kMisspeltExclusion) + " ") !=
                    std::string::npos) {
                    build.problems.push_back({fileName, lineNumber,
                                              "section name \"ALL\" is a folder of that name; "
                                              "\"ALLE\" stands for every folder but the names "
                                              "after it",
                                              Severity::kWarning});
                }
                if (streamed) continue;
                std::vector<SectionName> names = SplitSectionNames(line.text);
                KillSection& section = set->sections.emplace_back();
                section.names = std::move(line.text);
                section.nameList = std::move(names);
                continue;
            }
            if (line.kind != LineKind::kRule) continue;
            if (build.sections == 0) {
                if (IsRuleLine(line)) {
                    problem(lineNumber, "rule before the first section line is never used");
                }
                continue;
            }
            if (!IsRuleLine(line)) {
                if (!streamed) {
                    WriteLog(
                        "incorrect KF-Syntax at line" + NumberText(lineNumber) + ": " + line.text,
                        -1, kLogFailure);
                }
                problem(lineNumber,
                        "rule line has no options marker (byte 0xEA); the line is ignored");
                continue;
            }
            ++build.rules;
            if (streamed) {
                ParsedRule rule = ParseRule(line.text + " ", nullptr, RegexCompile::kNone);
                for (std::string& text : RuleProblems(rule)) problem(lineNumber, std::move(text));
                continue;
            }
            KillSection& section = set->sections.back();
            ParsedRule& rule =
                section.rules.emplace_back(ParseRule(line.text + " ", &set->headerSlots));
            rule.lineNumber = lineNumber;
            for (std::string& text : RuleProblems(rule)) problem(lineNumber, std::move(text));
            const RuleSieve& sieve = section.sieves.emplace_back(SieveOf(rule));
            if (sieve.active) {
                section.sieveFields[sieve.form] |= sieve.fields;
                ++section.sievedRules;
            }
        }
        // The lines are views of `data`: kept only once they are read.
        if (streamed) set->data = std::move(data);
        build.set = std::move(set);
    } catch (...) {
        build.set = nullptr;
        problem(0, "cannot be read");
    }
    return build;
}

int LoadKillFile(const std::string& fileName) {
    return LoadKillFileWithLimit(fileName, kKillTableCellLimit);
}

int LoadKillFileWithLimit(const std::string& fileName, int64_t cellLimit) {
    KillSetBuild build = BuildKillSetWithLimit(fileName, cellLimit);
    bool read = build.set != nullptr;
    PublishKillSet(std::move(build.set));
    return read ? 1 : 0;
}

void ClearKillTable() {
    PublishKillSet(nullptr);
}

const std::string* NextSection(const KillSet& set, FilterCursor& cursor) {
    const bool table = set.mode == KillTableMode::kTable;
    if (cursor.cachedSection == cursor.section)
        return table ? cursor.sectionNames : &cursor.sectionText;
    cursor.rule = 1;
    if (cursor.section < 1) return nullptr;
    if (table) {
        if (static_cast<size_t>(cursor.section) > set.sections.size()) return nullptr;
        cursor.sectionNames = &set.sections[cursor.section - 1].names;
    } else {
        if (!cursor.stream) cursor.stream = std::make_shared<KillFileReader>(set.data);
        if (!cursor.stream->SeekSection(cursor.section)) return nullptr;
        cursor.sectionText = cursor.stream->names;
    }
    cursor.cachedSection = cursor.section;
    return table ? cursor.sectionNames : &cursor.sectionText;
}

const ParsedRule* NextRule(const KillSet& set, FilterCursor& cursor) {
    if (cursor.section < 1 || cursor.rule < 2) return nullptr;
    if (set.mode == KillTableMode::kTable) {
        if (static_cast<size_t>(cursor.section) > set.sections.size()) return nullptr;
        const std::vector<ParsedRule>& rules = set.sections[cursor.section - 1].rules;
        size_t index = static_cast<size_t>(cursor.rule) - 2;
        return index < rules.size() ? &rules[index] : nullptr;
    }

    KillFileReader* reader = cursor.stream.get();
    if (reader == nullptr) return nullptr;
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
