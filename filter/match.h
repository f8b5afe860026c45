// The one matcher for section names and rule patterns: wildcards ("*", "?")
// or regular expressions, and the compiled-expression cache shared by all
// session threads.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filter.h"

// A compiled regular expression, shared read-only between threads.
struct CompiledRegex;

// Bits of a TextSketch, one per hashed byte pair. 1024 keep false positives
// rare for header texts of up to a few hundred bytes; a longer text only
// makes the sketch weaker, never wrong.
inline constexpr size_t kSketchPairBits = 1024;
// Sketch bits a floating piece is checked against: enough to rule out almost
// every piece that is not in the text, few enough to stay cheap.
inline constexpr size_t kPieceProbeLimit = 8;

// Which byte pairs occur in a text. A piece with a pair that does not occur
// cannot be found, so the search ends without reading the text; a piece
// that passes is searched as usual. Pieces of one byte have no pair and
// always pass.
struct TextSketch {
    std::array<uint64_t, kSketchPairBits / 64> bits{};
};

// Returns true when every bit of `probes` is set in `sketch`.
inline bool SketchHasAll(const TextSketch& sketch, const uint16_t* probes, size_t count) {
    for (size_t k = 0; k < count; ++k) {
        if (((sketch.bits[probes[k] / 64] >> (probes[k] % 64)) & 1) == 0) return false;
    }
    return true;
}

// Fills `sketch` from `text`.
void SketchText(std::string_view text, TextSketch& sketch);

// One step of a wildcard pattern, cut from the pattern once.
struct WildcardStep {
    enum Kind : uint8_t {
        kAnchored,  // literal bytes and "?" that must stand at the position
        kFloating,  // a "*" (with any "?" in its run), then a piece searched from the position
        kRest,      // a closing "*" (with any "?" in its run): the rest of the text
    };
    Kind kind = kAnchored;
    bool wordBefore = false;  // kOptionG: the piece follows the pattern's leading "*"
    bool wordAfter = false;   // kOptionG: the piece is followed only by the closing "*"
    bool plain = false;       // kAnchored: holds no "?"
    uint8_t probeCount = 0;
    size_t skip = 0;    // kFloating, kRest: the "?" of the star's run, one byte each
    size_t offset = 0;  // the piece or anchored run in the pattern
    size_t length = 0;
    std::array<uint16_t, kPieceProbeLimit> probes{};  // kFloating: sketch bits the piece needs
};

// A wildcard pattern cut into its steps, for matching many texts.
struct CompiledWildcard {
    std::string pattern;
    std::vector<WildcardStep> steps;
    bool floats = false;  // has a floating piece, so a sketch of the text can pay
    // Sketch bits of byte pairs that every matching text holds: pairs of the
    // floating pieces and of the literal runs, the first distinct ones.
    uint8_t probeCount = 0;
    std::array<uint16_t, kPieceProbeLimit> probes{};
};

// Returns the pattern cut into steps. Any text is a pattern.
CompiledWildcard CompileWildcard(std::string_view pattern);

// Returns 1 when the compiled pattern matches `text`, else 0, exactly as
// MatchPattern does for the same pattern without `regex`. The text must
// already be upper-cased when the pattern was matched without kOptionC.
// `sketch`, when not nullptr, must be the sketch of `text`.
int MatchWildcard(const CompiledWildcard& pattern, std::string_view text, bool wholeWord,
                  const TextSketch* sketch);

// Returns 1 when the expression matches `subject`, else 0, as
// MatchCompiledRegex does for a subject it has made itself: `subject` must
// already be upper-cased unless kOptionC applies, and end with CR LF.
int MatchPreparedRegex(const CompiledRegex* compiled, std::string_view subject);

// Upper-cases the bytes in place, as UpperCase does.
void UpperCaseInPlace(std::string& text);

// Returns the compiled form of `pattern`, compiled once per distinct pattern
// and shared by every caller, or nullptr when the pattern does not compile.
// The first failure of a pattern is logged at level 2 with `ruleText`.
std::shared_ptr<const CompiledRegex> FindCompiledRegex(std::string_view pattern,
                                                       std::string_view ruleText);

// Returns why `pattern` does not compile as a regular expression, as PCRE2
// says it, with the offset in the pattern where it stopped ("missing
// closing parenthesis at offset 4"); "" when it compiles. Neither the
// shared cache nor the log is touched.
std::string RegexCompileError(std::string_view pattern);

// Returns 1 when the wildcard pattern or, with `regex`, the regular
// expression matches `text`, else 0. Without kOptionC the text is upper-cased
// first; the caller has upper-cased the pattern. A regular expression is
// searched anywhere in text + CR LF; one that does not compile, or that
// exceeds the match limits, gives 0. Wildcards: "*" then a literal piece
// finds only the piece's first occurrence (no backtracking); kOptionG checks
// word separators around the pieces at the pattern's open ends; the end of
// the pattern must meet the end of the text or a kValueSeparator byte.
int MatchPattern(std::string_view pattern, std::string_view text, FilterOptions options,
                 bool regex);

// As MatchPattern with `regex` set, for an expression compiled before;
// `compiled` may be nullptr (a pattern that did not compile), giving 0.
int MatchCompiledRegex(const CompiledRegex* compiled, std::string_view text, FilterOptions options);

// Returns true for a character below "A" (65) that is not a digit; letters,
// "[", "_", "{" and every byte from 0x80 up are word characters.
bool IsWordSeparator(char character);

// Returns the upper-cased byte, as UpperCase does for a one-byte text.
unsigned char UpperByte(unsigned char byte);

// Returns the table UpperByte reads: entry b is b upper-cased. It lives as
// long as the process.
const std::array<unsigned char, 256>& UpperTable();

// Returns the version of the regular expression library the program runs
// on, as the library reports it ("PCRE2 10.42 2022-12-11").
std::string RegexLibraryVersion();
