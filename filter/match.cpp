#include "filter/match.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
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

// Returns the compiled code, or nullptr with PCRE2's message and the offset
// in the pattern where it stopped.
pcre2_code* CompileCode(std::string_view pattern, std::string& message, size_t& offset) {
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                     0, &error, &errorOffset, nullptr);
    if (code == nullptr) {
        std::array<PCRE2_UCHAR, 256> text{};
        pcre2_get_error_message(error, text.data(), text.size());
        message = reinterpret_cast<char*>(text.data());
        offset = errorOffset;
    }
    return code;
}

std::shared_ptr<const CompiledRegex> Compile(std::string_view pattern, std::string_view ruleText) {
    std::string message;
    size_t offset = 0;
    pcre2_code* code = CompileCode(pattern, message, offset);
    if (code == nullptr) {
        WriteLog("incorrect REGEXPR (" + message + "): " + Trim(ruleText), -1, kLogFailure);
        return nullptr;
    }
    // Without JIT support the interpreter runs the same expression.
    pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    auto compiled = std::make_shared<CompiledRegex>();
    compiled->code = code;
    return compiled;
}

static_assert((kSketchPairBits & (kSketchPairBits - 1)) == 0, "pair bits: a power of two");
constexpr int kPairHashShift = 32 - std::countr_zero(kSketchPairBits);

// Returns the sketch bit of the byte pair (a, b).
uint16_t PairBit(unsigned char a, unsigned char b) {
    uint32_t pair = (static_cast<uint32_t>(a) << 8) | b;
    return static_cast<uint16_t>((pair * 0x9E3779B1u) >> kPairHashShift);
}

// Adds the byte pairs of `piece` that hold no "?" to `probes`, as long as
// there is room and each pair only once.
void AddProbes(std::string_view piece, std::array<uint16_t, kPieceProbeLimit>& probes,
               uint8_t& count) {
    for (size_t k = 0; k + 1 < piece.size() && count < kPieceProbeLimit; ++k) {
        if (piece[k] == '?' || piece[k + 1] == '?') continue;
        uint16_t bit =
            PairBit(static_cast<unsigned char>(piece[k]), static_cast<unsigned char>(piece[k + 1]));
        auto used = probes.begin() + count;
        if (std::find(probes.begin(), used, bit) == used) probes[count++] = bit;
    }
}

}  // namespace

void SketchText(std::string_view text, TextSketch& sketch) {
    // The bits of a batch of pairs are hashed first and set after: kept
    // apart, the hashing runs ahead of the words' read-modify-writes, which
    // measured about twice as fast as one loop doing both.
    constexpr size_t kBatch = 256;
    std::array<uint16_t, kBatch> found;
    TextSketch local;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t pairs = text.size() < 2 ? 0 : text.size() - 1;
    for (size_t start = 0; start < pairs; start += kBatch) {
        size_t count = std::min(kBatch, pairs - start);
        for (size_t k = 0; k < count; ++k) {
            found[k] = PairBit(bytes[start + k], bytes[start + k + 1]);
        }
        for (size_t k = 0; k < count; ++k) {
            local.bits[found[k] / 64] |= uint64_t{1} << (found[k] % 64);
        }
    }
    sketch = local;
}

CompiledWildcard CompileWildcard(std::string_view pattern) {
    CompiledWildcard compiled;
    compiled.pattern = std::string(pattern);
    size_t i = 0;
    while (i < pattern.size()) {
        WildcardStep step;
        if (pattern[i] != '*') {
            // Literal bytes and "?" up to the next "*" must stand where the
            // text has got to.
            size_t end = pattern.find('*', i);
            if (end == std::string_view::npos) end = pattern.size();
            step.kind = WildcardStep::kAnchored;
            step.offset = i;
            step.length = end - i;
            step.plain = pattern.substr(i, end - i).find('?') == std::string_view::npos;
            AddProbes(pattern.substr(i, end - i), compiled.probes, compiled.probeCount);
            compiled.steps.push_back(step);
            i = end;
            continue;
        }
        // A run of "*" counts as one; a "?" inside the run still takes one
        // byte, and the star stays open for the next piece.
        size_t j = i;
        while (j < pattern.size() && (pattern[j] == '*' || pattern[j] == '?')) {
            if (pattern[j] == '?') ++step.skip;
            ++j;
        }
        if (j == pattern.size()) {
            step.kind = WildcardStep::kRest;
            compiled.steps.push_back(step);
            break;
        }
        size_t end = pattern.find_first_of("*?", j);
        if (end == std::string_view::npos) end = pattern.size();
        step.kind = WildcardStep::kFloating;
        step.offset = j;
        step.length = end - j;
        step.wordBefore = i == 0 && j == 1;
        step.wordAfter = end + 1 == pattern.size() && pattern[end] == '*';
        AddProbes(pattern.substr(j, end - j), step.probes, step.probeCount);
        AddProbes(pattern.substr(j, end - j), compiled.probes, compiled.probeCount);
        compiled.floats = true;
        compiled.steps.push_back(step);
        i = end;
    }
    return compiled;
}

int MatchWildcard(const CompiledWildcard& compiled, std::string_view text, bool wholeWord,
                  const TextSketch* sketch) {
    const std::string& pattern = compiled.pattern;
    size_t position = 0;  // next text byte to match; never past the end
    for (const WildcardStep& step : compiled.steps) {
        switch (step.kind) {
            case WildcardStep::kAnchored: {
                if (step.length > text.size() - position) return 0;
                const char* at = text.data() + position;
                const char* want = pattern.data() + step.offset;
                if (step.plain) {
                    if (std::memcmp(at, want, step.length) != 0) return 0;
                } else {
                    for (size_t k = 0; k < step.length; ++k) {
                        if (want[k] != '?' && at[k] != want[k]) return 0;
                    }
                }
                position += step.length;
                break;
            }
            case WildcardStep::kRest:
                return step.skip <= text.size() - position ? 1 : 0;
            case WildcardStep::kFloating: {
                if (step.skip > text.size() - position) return 0;
                position += step.skip;
                if (sketch != nullptr &&
                    !SketchHasAll(*sketch, step.probes.data(), step.probeCount)) {
                    return 0;
                }
                // Only the first occurrence is tried: kill files are written
                // against this matcher, so "*AB" does not match "ABXAB".
                std::string_view piece(pattern.data() + step.offset, step.length);
                size_t found = text.find(piece, position);
                if (found == std::string_view::npos) return 0;
                size_t after = found + step.length;
                if (wholeWord) {
                    if (step.wordBefore && found > 0 && !IsWordSeparator(text[found - 1])) {
                        return 0;
                    }
                    if (step.wordAfter && after < text.size() && !IsWordSeparator(text[after])) {
                        return 0;
                    }
                }
                position = after;
                break;
            }
        }
    }
    // Joined header values end at the separator, so a pattern may match the
    // first of them as a whole.
    return position == text.size() || text[position] == kValueSeparator ? 1 : 0;
}

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

std::string RegexCompileError(std::string_view pattern) {
    std::string message;
    size_t offset = 0;
    pcre2_code* code = CompileCode(pattern, message, offset);
    if (code != nullptr) {
        pcre2_code_free(code);
        return {};
    }
    return message + " at offset " + std::to_string(offset);
}

int MatchPreparedRegex(const CompiledRegex* compiled, std::string_view subject) {
    if (compiled == nullptr) return 0;
    MatchScratch& scratch = Scratch();
    if (scratch.data == nullptr || scratch.context == nullptr) return 0;
    int rc = pcre2_match(compiled->code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                         subject.size(), 0, 0, scratch.data, scratch.context);
    // Every error, the match and heap limits included, counts as no match.
    return rc >= 0 ? 1 : 0;
}

int MatchCompiledRegex(const CompiledRegex* compiled, std::string_view text,
                       FilterOptions options) {
    if (compiled == nullptr) return 0;
    std::string& subject = Scratch().subject;
    subject.assign(text);
    if ((options & kOptionC) == 0) UpperCaseInPlace(subject);
    subject += "\r\n";
    return MatchPreparedRegex(compiled, subject);
}

int MatchPattern(std::string_view pattern, std::string_view text, FilterOptions options,
                 bool regex) {
    if (regex) {
        std::shared_ptr<const CompiledRegex> compiled = FindCompiledRegex(pattern, pattern);
        return MatchCompiledRegex(compiled.get(), text, options);
    }
    CompiledWildcard compiled = CompileWildcard(pattern);
    bool wholeWord = (options & kOptionG) != 0;
    if (options & kOptionC) return MatchWildcard(compiled, text, wholeWord, nullptr);
    std::string& upper = Scratch().subject;
    upper.assign(text);
    UpperCaseInPlace(upper);
    return MatchWildcard(compiled, upper, wholeWord, nullptr);
}

void UpperCaseInPlace(std::string& text) {
    // ASCII letters in a loop the compiler vectorises; the table only for
    // the code-page letters, and only when the text has bytes above 0x7F.
    unsigned char high = 0;
    for (char& c : text) {
        auto byte = static_cast<unsigned char>(c);
        high |= byte;
        c = static_cast<char>(byte >= 'a' && byte <= 'z' ? byte - ('a' - 'A') : byte);
    }
    if ((high & 0x80) == 0) return;
    const auto& upper = Case().upper;
    for (char& c : text) c = static_cast<char>(upper[static_cast<unsigned char>(c)]);
}

bool IsWordSeparator(char character) {
    unsigned char c = static_cast<unsigned char>(character);
    return c < 65 && !(c >= '0' && c <= '9');
}

const std::array<unsigned char, 256>& UpperTable() {
    return Case().upper;
}

unsigned char UpperByte(unsigned char byte) {
    return Case().upper[byte];
}

std::string RegexLibraryVersion() {
    std::array<char, 64> version{};
    if (pcre2_config(PCRE2_CONFIG_VERSION, version.data()) < 0) return "PCRE2";
    return "PCRE2 " + std::string(version.data());
}
