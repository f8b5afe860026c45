// The matcher takes any pattern, text and options. Input: one options byte,
// one flag byte, then pattern and text separated by the first NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "filter/match.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    FilterOptions options = 0;
    if (data[0] & 1) options |= kOptionC;
    if (data[0] & 2) options |= kOptionG;
    bool regex = (data[1] & 1) != 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    size_t split = rest.find('\0');
    std::string_view pattern = rest.substr(0, split);
    std::string_view text =
        split == std::string_view::npos ? std::string_view() : rest.substr(split + 1);
    int result = MatchPattern(pattern, text, options, regex);
    if (result != 0 && result != 1) abort();
    // A pattern without wildcards matches only the text itself (up to a
    // value separator), with C byte for byte.
    if (!regex && (options & kOptionC) && pattern.find_first_of("*?") == std::string_view::npos) {
        bool same = text.substr(0, pattern.size()) == pattern &&
                    (text.size() == pattern.size() || text[pattern.size()] == kValueSeparator);
        if ((result == 1) != same) abort();
    }
    return 0;
}
