// The kill file and its evaluation against one message.
//
// Start-up loads the kill file once with LoadKillFile; afterwards every
// session thread calls EvaluateFilters at the same time, each with its own
// FilterSubject and FilterCursor. The loaded table is read without a lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// Loads the kill file into the process's kill table, replacing what was
// there. Returns 1 when the file exists and was read (also when it holds no
// section line, and when it is too large for the table and will be read at
// each evaluation instead); 0 when it does not exist or cannot be read, and
// the table is then empty. Syntax faults are logged at level 2 and the
// faulty lines left out. Must not run while an evaluation runs.
int LoadKillFile(const std::string& fileName);

// Empties the kill table: every later evaluation finds no rule. Must not
// run while an evaluation runs.
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

// Reads the kill file at each evaluation when the file is too large for the
// table. Owned by the cursor that opened it.
struct KillFileReader;

// Where the evaluation of one message stands. Start each message with a new
// cursor and pass the same cursor to every call for that message.
struct FilterCursor {
    int matched = 0;                         // 1 when the last call found a matching rule
    FilterOptions options = 0;               // options of the last condition part evaluated
    int section = 1;                         // 1-based section being evaluated
    int rule = 0;                            // row of the current rule; rules start at row 2
    int cachedSection = 0;                   // section whose name list is in sectionText
    std::string sectionText;                 // cached name list
    std::shared_ptr<KillFileReader> stream;  // the cursor's own reader, streamed mode only
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
