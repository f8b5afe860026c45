// Text helpers shared by every folder. Texts are byte strings in the console's
// code page 437; comparisons without regard to case go through UpperCase.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Returns the text with "a".."z" and the seven code-page-437 letters that have
// a capital partner (0x84 0x94 0x81 0x82 0xA4 0x86 0x87) upper-cased; every
// other byte is kept.
std::string UpperCase(std::string_view text);

// Returns the reverse mapping of UpperCase.
std::string LowerCase(std::string_view text);

// Returns the number in decimal with one leading space when it is 0 or more
// and a "-" when it is negative (" 5", " 0", "-3").
std::string NumberText(int64_t number);

// Returns the text without leading and trailing spaces (only 0x20; tabs stay).
std::string Trim(std::string_view text);

// Returns the text without trailing spaces.
std::string TrimRight(std::string_view text);

// Returns the leading decimal number of the text (an optional "-" then digits),
// or 0 when the text does not begin with one. Saturates instead of overflowing.
int64_t LeadingNumber(std::string_view text);

// Returns field `index` (0-based) of the text split at every single space, or
// "" when the text has fewer fields.
std::string Field(std::string_view text, size_t index);

// Returns the number of single-byte insertions, deletions and replacements
// that turn `a` into `b` (Levenshtein distance), bytes compared as they are.
size_t EditDistance(std::string_view a, std::string_view b);

// Returns the longest beginning of the UTF-8 text that is at most `limit`
// bytes long and does not end inside a character (a byte sequence that is
// not UTF-8 is cut as single bytes).
std::string_view Utf8Prefix(std::string_view text, size_t limit);

// Returns true when `text` begins with `prefix` (case-sensitive).
inline bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}
