// The one matcher for section names and rule patterns: wildcards ("*", "?")
// or regular expressions, and the compiled-expression cache shared by all
// session threads.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "filter/filter.h"

// A compiled regular expression, shared read-only between threads.
struct CompiledRegex;

// Returns the compiled form of `pattern`, compiled once per distinct pattern
// and shared by every caller, or nullptr when the pattern does not compile.
// The first failure of a pattern is logged at level 2 with `ruleText`.
std::shared_ptr<const CompiledRegex> FindCompiledRegex(std::string_view pattern,
                                                       std::string_view ruleText);

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
