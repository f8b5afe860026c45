#include "filter/match.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <array>
#include <mutex>
#include <unordered_map>

#include "core/log.h"
#include "core/text.h"

namespace {

// Backtracking steps one search may take: ample for any expression a kill
// file needs on a header, and reached in milliseconds by a catastrophic one.
constexpr uint32_t kRegexMatchLimit = 1'000'000;
// Nesting of backtracking points; keeps a hostile header off deep recursion.
constexpr uint32_t kRegexDepthLimit = 10'000;
// Heap the interpreter may use for backtracking, in KiB.
constexpr uint32_t kRegexHeapLimitKiB = 8'192;
// Distinct patterns kept compiled. A kill file has far fewer; the cap only
// bounds memory when patterns come from elsewhere (direct callers, fuzzing).
constexpr size_t kRegexCacheLimit = 4'096;

struct CaseTable {
    std::array<unsigned char, 256> upper{};
    CaseTable() {
        for (int c = 0; c < 256; ++c) {
            upper[c] =
                static_cast<unsigned char>(UpperCase(std::string(1, static_cast<char>(c)))[0]);
        }
    }
};

const CaseTable& Case() {
    static const CaseTable& table = *new CaseTable();
    return table;
}

}  // namespace

struct CompiledRegex {
    pcre2_code* code = nullptr;
    CompiledRegex() = default;
    CompiledRegex(const CompiledRegex&) = delete;
    CompiledRegex& operator=(const CompiledRegex&) = delete;
    ~CompiledRegex() { pcre2_code_free(code); }
};

namespace {

// Compiled expressions by pattern; a pattern that failed maps to nullptr so
// that it is compiled, and logged, only once. Never destroyed: session
// threads may still match while the process ends.
struct RegexCache {
    std::mutex lock;
    std::unordered_map<std::string, std::shared_ptr<const CompiledRegex>> entries;
};

RegexCache& Cache() {
    static RegexCache& cache = *new RegexCache();
    return cache;
}

// Per-thread scratch for matching: the compiled code is shared, these are not.
struct MatchScratch {
    pcre2_match_data* data = nullptr;
    pcre2_match_context* context = nullptr;
    std::string subject;
    MatchScratch() {
        data = pcre2_match_data_create(1, nullptr);
        context = pcre2_match_context_create(nullptr);
        if (context != nullptr) {
            pcre2_set_match_limit(context, kRegexMatchLimit);
            pcre2_set_depth_limit(context, kRegexDepthLimit);
            pcre2_set_heap_limit(context, kRegexHeapLimitKiB);
        }
    }
    MatchScratch(const MatchScratch&) = delete;
    MatchScratch& operator=(const MatchScratch&) = delete;
    ~MatchScratch() {
        pcre2_match_data_free(data);
        pcre2_match_context_free(context);
    }
};

MatchScratch& Scratch() {
    thread_local MatchScratch scratch;
    return scratch;
}

std::shared_ptr<const CompiledRegex> Compile(std::string_view pattern, std::string_view ruleText) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                     0, &error, &offset, nullptr);
    if (code == nullptr) {
        std::array<PCRE2_UCHAR, 256> message{};
        pcre2_get_error_message(error, message.data(), message.size());
        WriteLog("incorrect REGEXPR (" + std::string(reinterpret_cast<char*>(message.data())) +
                     "): " + Trim(ruleText),
                 -1, kLogFailure);
        return nullptr;
    }
    // Without JIT support the interpreter runs the same expression.
    pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    auto compiled = std::make_shared<CompiledRegex>();
    compiled->code = code;
    return compiled;
}

// Returns the position of the first occurrence of `piece` in `text` at or
// after `from`, comparing upper-cased text bytes when `fold` is set, or npos.
size_t FindPiece(std::string_view text, std::string_view piece, size_t from, bool fold) {
    if (!fold) return text.find(piece, from);
    if (piece.size() > text.size()) return std::string_view::npos;
    const auto& upper = Case().upper;
    size_t last = text.size() - piece.size();
    for (size_t start = from; start <= last; ++start) {
        size_t k = 0;
        while (k < piece.size() && upper[static_cast<unsigned char>(text[start + k])] ==
                                       static_cast<unsigned char>(piece[k])) {
            ++k;
        }
        if (k == piece.size()) return start;
    }
    return std::string_view::npos;
}

int MatchWildcards(std::string_view pattern, std::string_view text, bool fold, bool wholeWord) {
    const auto& upper = Case().upper;
    size_t position = 0;  // next text byte to match
    size_t i = 0;         // next pattern byte
    while (i < pattern.size()) {
        char p = pattern[i];
        if (p == '*') {
            // A run of "*" counts as one; a "?" inside the run still takes
            // one character, and the star stays open for the next piece.
            size_t j = i;
            while (j < pattern.size() && (pattern[j] == '*' || pattern[j] == '?')) {
                if (pattern[j] == '?') {
                    if (position >= text.size()) return 0;
                    ++position;
                }
                ++j;
            }
            if (j == pattern.size()) return 1;  // a closing "*" takes the rest
            size_t end = pattern.find_first_of("*?", j);
            if (end == std::string_view::npos) end = pattern.size();
            std::string_view piece = pattern.substr(j, end - j);
            // Only the first occurrence is tried: kill files are written
            // against this matcher, so "*AB" does not match "ABXAB".
            size_t found = FindPiece(text, piece, position, fold);
            if (found == std::string_view::npos) return 0;
            size_t after = found + piece.size();
            if (wholeWord) {
                if (i == 0 && j == 1 && found > 0 && !IsWordSeparator(text[found - 1])) return 0;
                if (end + 1 == pattern.size() && pattern[end] == '*' && after < text.size() &&
                    !IsWordSeparator(text[after])) {
                    return 0;
                }
            }
            position = after;
            i = end;
            continue;
        }
        if (position >= text.size()) return 0;
        if (p != '?') {
            unsigned char t = static_cast<unsigned char>(text[position]);
            if (fold) t = upper[t];
            if (t != static_cast<unsigned char>(p)) return 0;
        }
        ++position;
        ++i;
    }
    // Joined header values end at the separator, so a pattern may match the
    // first of them as a whole.
    return position == text.size() || text[position] == kValueSeparator ? 1 : 0;
}

}  // namespace

std::shared_ptr<const CompiledRegex> FindCompiledRegex(std::string_view pattern,
                                                       std::string_view ruleText) {
    RegexCache& cache = Cache();
    std::string key(pattern);
    {
        std::lock_guard guard(cache.lock);
        auto it = cache.entries.find(key);
        if (it != cache.entries.end()) return it->second;
    }
    // Compiled outside the lock; when two threads race on a new pattern the
    // first entry stored wins and the other compiled copy is dropped.
    std::shared_ptr<const CompiledRegex> compiled = Compile(pattern, ruleText);
    std::lock_guard guard(cache.lock);
    // Entries in use stay alive through their shared owners.
    if (cache.entries.size() >= kRegexCacheLimit) cache.entries.clear();
    auto [it, inserted] = cache.entries.emplace(std::move(key), std::move(compiled));
    return it->second;
}

int MatchCompiledRegex(const CompiledRegex* compiled, std::string_view text,
                       FilterOptions options) {
    if (compiled == nullptr) return 0;
    MatchScratch& scratch = Scratch();
    if (scratch.data == nullptr || scratch.context == nullptr) return 0;
    std::string& subject = scratch.subject;
    subject.assign(text);
    if ((options & kOptionC) == 0) {
        const auto& upper = Case().upper;
        for (char& c : subject) c = static_cast<char>(upper[static_cast<unsigned char>(c)]);
    }
    subject += "\r\n";
    int rc = pcre2_match(compiled->code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                         subject.size(), 0, 0, scratch.data, scratch.context);
    // Every error, the match and heap limits included, counts as no match.
    return rc >= 0 ? 1 : 0;
}

int MatchPattern(std::string_view pattern, std::string_view text, FilterOptions options,
                 bool regex) {
    if (regex) {
        std::shared_ptr<const CompiledRegex> compiled = FindCompiledRegex(pattern, pattern);
        return MatchCompiledRegex(compiled.get(), text, options);
    }
    return MatchWildcards(pattern, text, (options & kOptionC) == 0, (options & kOptionG) != 0);
}

bool IsWordSeparator(char character) {
    unsigned char c = static_cast<unsigned char>(character);
    return c < 65 && !(c >= '0' && c <= '9');
}

unsigned char UpperByte(unsigned char byte) {
    return Case().upper[byte];
}
