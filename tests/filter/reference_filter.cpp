#include "reference_filter.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <map>
#include <memory>

#include "core/text.h"

namespace {

// The engine's match limits: a differing limit would show up as a
// difference on expressions that backtrack a lot.
constexpr uint32_t kMatchLimit = 1'000'000;
constexpr uint32_t kDepthLimit = 10'000;
constexpr uint32_t kHeapLimitKiB = 8'192;

bool IsSeparator(unsigned char c) {
    return c < 65 && !(c >= '0' && c <= '9');
}

unsigned char Upper(unsigned char c) {
    return static_cast<unsigned char>(UpperCase(std::string(1, static_cast<char>(c)))[0]);
}

size_t FindPiece(std::string_view text, std::string_view piece, size_t from, bool fold) {
    if (!fold) return text.find(piece, from);
    if (piece.size() > text.size()) return std::string_view::npos;
    for (size_t start = from; start + piece.size() <= text.size(); ++start) {
        size_t k = 0;
        while (k < piece.size() && Upper(static_cast<unsigned char>(text[start + k])) ==
                                       static_cast<unsigned char>(piece[k])) {
            ++k;
        }
        if (k == piece.size()) return start;
    }
    return std::string_view::npos;
}

int MatchWildcards(std::string_view pattern, std::string_view text, bool fold, bool wholeWord) {
    size_t position = 0;
    size_t i = 0;
    while (i < pattern.size()) {
        char p = pattern[i];
        if (p == '*') {
            size_t j = i;
            while (j < pattern.size() && (pattern[j] == '*' || pattern[j] == '?')) {
                if (pattern[j] == '?') {
                    if (position >= text.size()) return 0;
                    ++position;
                }
                ++j;
            }
            if (j == pattern.size()) return 1;
            size_t end = pattern.find_first_of("*?", j);
            if (end == std::string_view::npos) end = pattern.size();
            std::string_view piece = pattern.substr(j, end - j);
            size_t found = FindPiece(text, piece, position, fold);
            if (found == std::string_view::npos) return 0;
            size_t after = found + piece.size();
            if (wholeWord) {
                if (i == 0 && j == 1 && found > 0 && !IsSeparator(text[found - 1])) return 0;
                if (end + 1 == pattern.size() && pattern[end] == '*' && after < text.size() &&
                    !IsSeparator(text[after])) {
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
            if (fold) t = Upper(t);
            if (t != static_cast<unsigned char>(p)) return 0;
        }
        ++position;
        ++i;
    }
    return position == text.size() || text[position] == kValueSeparator ? 1 : 0;
}

struct Code {
    pcre2_code* code = nullptr;
    ~Code() { pcre2_code_free(code); }
};

// Returns the compiled expression, or nullptr when it does not compile.
// Compiled once per pattern; the tests run on one thread.
const pcre2_code* Compiled(std::string_view pattern) {
    static std::map<std::string, std::unique_ptr<Code>, std::less<>> cache;
    auto it = cache.find(pattern);
    if (it == cache.end()) {
        auto code = std::make_unique<Code>();
        int error = 0;
        PCRE2_SIZE offset = 0;
        code->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), 0,
                                   &error, &offset, nullptr);
        it = cache.emplace(std::string(pattern), std::move(code)).first;
    }
    return it->second->code;
}

int MatchRegex(const pcre2_code* code, std::string_view text, FilterOptions options) {
    if (code == nullptr) return 0;
    std::string subject = (options & kOptionC) ? std::string(text) : UpperCase(text);
    subject += "\r\n";
    pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
    pcre2_match_context* context = pcre2_match_context_create(nullptr);
    pcre2_set_match_limit(context, kMatchLimit);
    pcre2_set_depth_limit(context, kDepthLimit);
    pcre2_set_heap_limit(context, kHeapLimitKiB);
    int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0,
                         data, context);
    pcre2_match_context_free(context);
    pcre2_match_data_free(data);
    return rc >= 0 ? 1 : 0;
}

FilterOptions LetterBit(char letter) {
    static constexpr std::pair<char, FilterOptions> kLetters[] = {
        {'V', kOptionV},    {'C', kOptionC}, {'G', kOptionG}, {'Y', kOptionY}, {'B', kOptionB},
        {'E', kOptionE},    {'I', kOptionI}, {'N', kOptionN}, {'S', kOptionS}, {'R', kOptionR},
        {'K', kOptionK},    {'L', kOptionL}, {'M', kOptionM}, {'X', kOptionX}, {'Q', kOptionQ},
        {'H', kOptionH},    {'D', kOptionD}, {'P', kOptionP}, {'F', kOptionF}, {'+', kOptionPlus},
        {'-', kOptionMinus}};
    for (auto [name, bit] : kLetters) {
        if (name == letter) return bit;
    }
    return 0;
}

FilterOptions ParseOptions(std::string_view upper, std::vector<std::string>& headerNames) {
    headerNames.clear();
    size_t marker = upper.find(kOptionsMarker);
    if (marker == std::string_view::npos) return kOptionS | kOptionM;
    size_t end = upper.find(' ', marker + 1);
    std::string word(
        upper.substr(marker + 1, end == std::string_view::npos ? end : end - marker - 1));
    std::string names;
    for (size_t open = word.find('"'); open != std::string::npos; open = word.find('"')) {
        size_t close = word.find('"', open + 1);
        if (close == std::string::npos) {
            names += word.substr(open + 1);
            word.erase(open);
        } else {
            names += word.substr(open + 1, close - open - 1);
            word.erase(open, close - open + 1);
        }
    }
    size_t start = 0;
    for (size_t colon = names.find(':'); colon != std::string::npos;
         colon = names.find(':', start)) {
        headerNames.push_back(names.substr(start, colon - start + 1));
        start = colon + 1;
    }
    if (start < names.size()) headerNames.push_back(names.substr(start));
    FilterOptions options = 0;
    for (char letter : word) options |= LetterBit(letter);
    if ((options & (kOptionV | kOptionB | kOptionN | kOptionS)) == 0 && headerNames.empty()) {
        options |= kOptionS;
    }
    if ((options & (kOptionE | kOptionK | kOptionM | kOptionH | kOptionD | kOptionP | kOptionF |
                    kOptionPlus | kOptionMinus)) == 0) {
        options |= kOptionM;
    }
    return options;
}

std::vector<std::string> SplitParts(std::string_view line) {
    size_t split = std::string_view::npos;
    int quotes = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            ++quotes;
        } else if (line[i] == ';' && quotes % 2 == 0) {
            split = i;
            break;
        }
    }
    if (split == std::string_view::npos) return {std::string(line)};
    std::string word;
    size_t marker = line.find(kOptionsMarker);
    if (marker != std::string_view::npos) {
        size_t end = line.find(' ', marker);
        word = std::string(line.substr(marker, end == std::string_view::npos ? end : end - marker));
        size_t semicolon = word.find(';');
        if (semicolon != std::string::npos) word.erase(semicolon);
    }
    auto withWord = [&word](std::string_view part) {
        std::string text(part);
        if (text.find(kOptionsMarker) == std::string::npos) text += word;
        return text;
    };
    std::vector<std::string> parts{withWord(line.substr(0, split))};
    size_t start = split + 1;
    for (;;) {
        size_t next = line.find(';', start);
        if (next == std::string_view::npos) {
            parts.emplace_back(line.substr(start));
            break;
        }
        parts.push_back(withWord(line.substr(start, next - start)));
        start = next + 1;
    }
    return parts;
}

int64_t Count(const std::string& field, const std::string& word) {
    if (word.empty()) return 0;
    int64_t count = 0;
    for (size_t at = field.find(word); at != std::string::npos; at = field.find(word, at + 1)) {
        ++count;
    }
    return count;
}

std::string JoinHeaders(const std::vector<std::string>& lines, const std::string& upperName) {
    std::string joined;
    for (const std::string& line : lines) {
        if (line.empty()) break;
        if (UpperCase(line.substr(0, upperName.size())) != upperName) continue;
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t value = line.find_first_not_of(' ', colon + 1);
            if (value != std::string::npos) joined.append(line, value);
        }
        joined += kValueSeparator;
    }
    return joined;
}

// The outcome of one condition part.
enum class Part { kFalse, kTrue, kRuleMatches, kRuleFails };

Part EvaluatePart(const std::string& text, const FilterSubject& subject, FilterOptions& options) {
    std::string upper = UpperCase(text);
    std::vector<std::string> names;
    options = ParseOptions(upper, names);
    bool invert = (options & kOptionX) != 0;
    auto result = [invert](bool value) { return value != invert ? Part::kTrue : Part::kFalse; };

    if (upper.find('@') != std::string::npos) {
        static constexpr std::string_view kKeywords[] = {"BYTES@", "DAYS@", "THREAD@", "TIMES@"};
        for (std::string_view keyword : kKeywords) {
            size_t at = upper.find(keyword);
            if (at == std::string::npos) continue;
            std::string rest = upper.substr(at + keyword.size());
            int64_t number = LeadingNumber(rest);
            if (keyword == "BYTES@") return result(number <= subject.size);
            if (keyword == "DAYS@") return result(number <= subject.age);
            if (keyword == "THREAD@") return result(false);
            size_t length = 0;
            if (length < rest.size() && (rest[0] == '-' || rest[0] == '+')) ++length;
            while (length < rest.size() && rest[length] >= '0' && rest[length] <= '9') ++length;
            if (length >= rest.size() || rest[length] != ',') return Part::kRuleFails;
            bool exact = (options & kOptionC) != 0;
            std::string word = rest.substr(length + 1);
            if (!exact) word = Trim(word);
            int64_t count = 0;
            if (options & kOptionS) {
                count += Count(exact ? subject.subject : UpperCase(subject.subject), word);
            }
            if (options & kOptionN) {
                count += Count(exact ? subject.from : UpperCase(subject.from), word);
            }
            return result(count >= number);
        }
    }
    if (upper.find("KILLALL") != std::string::npos) return Part::kRuleMatches;
    if (upper.find("ISREPLY") != std::string::npos) return result(!subject.references.empty());

    std::string_view pattern = text;
    size_t open = pattern.find('"');
    if (open != std::string_view::npos) {
        size_t close = pattern.find('"', open + 1);
        pattern = close == std::string_view::npos ? pattern.substr(open + 1)
                                                  : pattern.substr(open + 1, close - open - 1);
    }
    std::string patternText =
        (options & kOptionC) ? std::string(pattern) : UpperCase(std::string(pattern));
    bool regex = upper.substr(0, 7) == "REGEXPR";
    if (regex && Compiled(patternText) == nullptr) return Part::kRuleFails;

    auto test = [&](std::string_view pat, std::string_view field) {
        if (regex) return MatchRegex(Compiled(pat), field, options) == 1;
        return MatchWildcards(pat, field, (options & kOptionC) == 0, (options & kOptionG) != 0) ==
               1;
    };
    bool found = false;
    if ((options & kOptionS) && test(patternText, subject.subject)) found = true;
    if (!found && (options & kOptionN) && test(patternText, subject.from)) found = true;
    if (!found && (options & kOptionB) && test(patternText, subject.folder)) found = true;
    for (size_t i = 0; !found && i < names.size(); ++i) {
        const std::string& name = names[i];
        std::string field;
        if (name == "MID:" || name == "MESSAGE-ID:") {
            field = subject.messageId;
        } else if (name == "BEZ:" || name == "REFERENCES:") {
            field = subject.references;
        } else if (name == "LEN:") {
            field = std::to_string(subject.size < 0 ? 0 : subject.size);
        } else {
            field = JoinHeaders(subject.headerLines, name);
        }
        if (field.empty()) continue;
        bool openEnd = !patternText.empty() && patternText.back() == '*';
        if (field.find('\r') != std::string::npos && !openEnd) {
            found = test(patternText + "\r*", field + "\r");
        } else {
            found = test(patternText, field);
        }
    }
    return result(found);
}

bool RuleMatches(const std::string& line, const FilterSubject& subject, FilterOptions& options) {
    for (const std::string& part : SplitParts(line)) {
        switch (EvaluatePart(part, subject, options)) {
            case Part::kRuleMatches:
                return true;
            case Part::kRuleFails:
            case Part::kFalse:
                return false;
            case Part::kTrue:
                break;
        }
    }
    return true;
}

bool SectionApplies(const std::string& names, const std::string& upperFolder) {
    bool exclusion = false;
    size_t start = 0;
    for (;;) {
        size_t space = names.find(' ', start);
        std::string name = names.substr(start, space == std::string::npos ? space : space - start);
        if (name == "ALLE") {
            exclusion = true;
        } else if (MatchWildcards(name, upperFolder, false, false) == 1) {
            return !exclusion;
        }
        if (space == std::string::npos) return exclusion;
        start = space + 1;
    }
}

}  // namespace

int ReferenceMatchPattern(std::string_view pattern, std::string_view text, FilterOptions options,
                          bool regex) {
    if (regex) return MatchRegex(Compiled(pattern), text, options);
    return MatchWildcards(pattern, text, (options & kOptionC) == 0, (options & kOptionG) != 0);
}

void ReferenceEvaluate(const std::vector<ReferenceSection>& sections, const FilterSubject& subject,
                       ReferenceCursor& cursor, std::string& action, std::string& reason) {
    cursor.matched = 0;
    cursor.options = 0;
    std::string upperFolder = UpperCase(subject.folder);
    for (;;) {
        if (cursor.cachedSection != cursor.section) {
            cursor.rule = 1;
            if (cursor.section < 1 || static_cast<size_t>(cursor.section) > sections.size()) {
                break;
            }
            cursor.cachedSection = cursor.section;
        }
        const ReferenceSection& section = sections[cursor.section - 1];
        if (section.names.empty()) break;
        if (cursor.rule <= 1 && !SectionApplies(section.names, upperFolder)) {
            ++cursor.section;
            continue;
        }
        std::string line;
        bool hit = false;
        for (;;) {
            ++cursor.rule;
            size_t index = static_cast<size_t>(cursor.rule) - 2;
            if (index >= section.rules.size()) break;
            const std::string& text = section.rules[index];
            size_t target = text.find(kTargetMarker);
            line = text.substr(0, target);
            action = target == std::string::npos ? std::string() : text.substr(target + 1);
            if (line.empty()) break;
            if (RuleMatches(line, subject, cursor.options)) {
                hit = true;
                break;
            }
        }
        if (hit) {
            cursor.matched = 1;
            reason = line + kTargetMarker + action;
            break;
        }
        ++cursor.section;
    }
    if (cursor.matched == 0) {
        cursor.section = 1;
        cursor.rule = 1;
    }
}
