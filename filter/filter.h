// The kill file and its evaluation against one message.
//
// Start-up loads the kill file with LoadKillFile, or builds it with
// BuildKillSet and publishes it with PublishKillSet; every session thread
// calls EvaluateFilters at the same time, each with its own FilterSubject
// and FilterCursor. A load may run while judgements run: each judgement
// keeps the set it started with, which nothing changes, and reads it
// without a lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/problems.h"

// One bit per option letter of a rule's options word.
using FilterOptions = uint32_t;

inline constexpr FilterOptions kOptionV = 0x1;      // a field letter that selects nothing
inline constexpr FilterOptions kOptionC = 0x2;      // case-sensitive matching
inline constexpr FilterOptions kOptionG = 0x4;      // whole words at the pattern's open ends
inline constexpr FilterOptions kOptionY = 0x8;      // carried only
inline constexpr FilterOptions kOptionB = 0x10;     // search the folder
inline constexpr FilterOptions kOptionE = 0x20;     // carried only
inline constexpr FilterOptions kOptionI = 0x40;     // carried only
inline constexpr FilterOptions kOptionN = 0x80;     // search the From field
inline constexpr FilterOptions kOptionS = 0x100;    // search the Subject field
inline constexpr FilterOptions kOptionR = 0x200;    // carried only
inline constexpr FilterOptions kOptionK = 0x400;    // carried only
inline constexpr FilterOptions kOptionL = 0x800;    // carried only
inline constexpr FilterOptions kOptionM = 0x1000;   // carried only; the default of the E..- group
inline constexpr FilterOptions kOptionX = 0x2000;   // invert each condition part
inline constexpr FilterOptions kOptionQ = 0x4000;   // a match ends the search
inline constexpr FilterOptions kOptionH = 0x8000;   // carried only
inline constexpr FilterOptions kOptionD = 0x10000;  // carried only
inline constexpr FilterOptions kOptionP = 0x20000;  // carried only
inline constexpr FilterOptions kOptionF = 0x40000;  // carried only
inline constexpr FilterOptions kOptionPlus = 0x80000;    // "+", carried only
inline constexpr FilterOptions kOptionMinus = 0x100000;  // "-", carried only

// Bytes that give the kill file its structure, matched as bytes.
inline constexpr char kOptionsMarker = '\xEA';
inline constexpr char kTargetMarker = '\xAF';
inline constexpr char kRemarkMarker = '\xFE';
// Ends each header value when several header lines are joined for one test.
inline constexpr char kValueSeparator = '\xFF';

// The action words a rule may end with, which the callers act on.
inline constexpr std::array<std::string_view, 4> kActionWords{"DELE", "SKIP", "RETR", "HEAD"};

// One loaded kill file, immutable once built (defined in kill_table.h).
struct KillSet;

// What building a set from a kill file gave.
struct KillSetBuild {
    // The set, or nullptr when the file does not exist or cannot be read.
    // A file without a section line gives a set without sections.
    std::shared_ptr<const KillSet> set;
    // Every fault found in the file, with its line: a rule line without an
    // options marker (left out, as it always was), a rule line before the
    // first section line (never used), a section line without names (it
    // ends the evaluation), and what RuleProblems finds in each rule; for
    // the whole file: missing, unreadable, no section line.
    Problems problems;
    int64_t sections = 0;  // section lines
    int64_t rules = 0;     // rule lines inside sections, the ones a judgement reads
};

// Returns the set new judgements start with: the one published last, or an
// empty set (no sections) before any; never nullptr. The calling thread
// holds it until its next call after a publication, so the reference is
// valid until then; copy it to hold the set longer (a scan holds one set for
// all its messages). Takes a lock only when the thread has not yet seen the
// latest publication.
const std::shared_ptr<const KillSet>& CurrentKillSet();

// Reads and checks the kill file and builds its set; publishes nothing, so
// the running set stays whatever this finds. Logs at level 2 what loading
// has always logged (a file without a section line; a rule line without an
// options marker, when the file fits the table; a regular expression that
// does not compile, once per pattern), which the problems repeat.
KillSetBuild BuildKillSet(const std::string& fileName);

// Makes `set` the one new judgements start with (nullptr: an empty set);
// judgements in progress finish with the set they hold. The set published
// before is freed once no judgement holds it and each thread that judged
// with it has started another judgement (a thread keeps the set it saw
// last).
void PublishKillSet(std::shared_ptr<const KillSet> set);

// Builds the kill file's set and publishes it, whatever problems it has,
// or an empty set when the file is missing or unreadable. Returns 1 when
// the file exists and was read (also when it holds no section line, and
// when it is too large for the table and will be read at each evaluation
// instead); 0 when it does not exist or cannot be read.
int LoadKillFile(const std::string& fileName);

// Publishes an empty set: every judgement that starts afterwards finds no
// rule.
void ClearKillTable();

// The values of one message that rules are tested against. The caller
// decodes encoded words (DecodeHeaderText) before.
struct FilterSubject {
    std::string folder;      // mail: AddressFirst of the envelope; news: "/DE/COMP/LANG"
    std::string from;        // option N; mail: AddressFirst of From
    std::string subject;     // option S
    std::string references;  // "ISREPLY", "BEZ:", "REFERENCES:"
    std::string messageId;   // "MID:", "MESSAGE-ID:"
    // Header lines in header order, as "Name: value"; the first empty entry
    // ends the list. Searched by quoted header names.
    std::vector<std::string> headerLines;
    int64_t size = 0;  // octets; "BYTES@" and "LEN:"
    int64_t age = 0;   // days; "DAYS@"
};

// Reads the kill file's lines at each evaluation when the file is too large
// for the table. Owned by the cursor that made it.
struct KillFileReader;

// Where the evaluation of one message stands. Start each message with a new
// cursor and pass the same cursor to every call for that message.
struct FilterCursor {
    // The set this judgement reads: the current one at its first call,
    // held from the first match on (or set by the caller before), so that
    // every call of a judgement reads the same set however many loads
    // happen meanwhile.
    std::shared_ptr<const KillSet> killSet;
    int matched = 0;                            // 1 when the last call found a matching rule
    FilterOptions options = 0;                  // options of the last condition part evaluated
    int section = 1;                            // 1-based section being evaluated
    int rule = 0;                               // row of the current rule; rules start at row 2
    int cachedSection = 0;                      // section whose name list sectionNames points to
    const std::string* sectionNames = nullptr;  // table mode: the name list in the set
    std::string sectionText;                    // streamed mode: the name list read last
    std::shared_ptr<KillFileReader> stream;     // the cursor's own reader, streamed mode only
};

// Finds the next rule, after the cursor's position, that matches the
// message. Sets cursor.matched to 1 on a match, else 0 (and the cursor back to
// section 1, rule 1); cursor.options holds the options of the last condition
// part evaluated. `action` receives the text after the target marker of the
// last rule examined (callers read it only after a match and trim it).
// On a match `reason` receives the rule's text before the target marker,
// the target marker and the action text; without a match it is untouched.
//
// Calling protocol: call once; while matched is 1 take the action word and,
// unless options holds kOptionQ, call again with the same cursor, which goes
// on after the matched rule. The last action word taken decides.
void EvaluateFilters(const FilterSubject& subject, FilterCursor& cursor, std::string& action,
                     std::string& reason);
