#include "filter/rules.h"

#include <array>

#include "core/text.h"

namespace {

struct OptionLetter {
    char letter;
    FilterOptions bit;
};

constexpr std::array<OptionLetter, 21> kOptionLetters{{
    {'V', kOptionV},     {'C', kOptionC}, {'G', kOptionG}, {'Y', kOptionY}, {'B', kOptionB},
    {'E', kOptionE},     {'I', kOptionI}, {'N', kOptionN}, {'S', kOptionS}, {'R', kOptionR},
    {'K', kOptionK},     {'L', kOptionL}, {'M', kOptionM}, {'X', kOptionX}, {'Q', kOptionQ},
    {'H', kOptionH},     {'D', kOptionD}, {'P', kOptionP}, {'F', kOptionF}, {'+', kOptionPlus},
    {'-', kOptionMinus},
}};

constexpr FilterOptions kFieldLetters = kOptionV | kOptionB | kOptionN | kOptionS;
constexpr FilterOptions kCarriedGroup = kOptionE | kOptionK | kOptionM | kOptionH | kOptionD |
                                        kOptionP | kOptionF | kOptionPlus | kOptionMinus;

struct HeaderAlias {
    std::string_view name;
    HeaderSource source;
};

constexpr std::array<HeaderAlias, 5> kHeaderAliases{{
    {"MID:", HeaderSource::kMessageId},
    {"MESSAGE-ID:", HeaderSource::kMessageId},
    {"BEZ:", HeaderSource::kReferences},
    {"REFERENCES:", HeaderSource::kReferences},
    {"LEN:", HeaderSource::kLength},
}};

struct Keyword {
    std::string_view text;
    PartKind kind;
};

// Tested in this order; the first one the part contains decides.
constexpr std::array<Keyword, 4> kKeywords{{
    {"BYTES@", PartKind::kBytes},
    {"DAYS@", PartKind::kDays},
    {"THREAD@", PartKind::kThread},
    {"TIMES@", PartKind::kTimes},
}};

constexpr std::string_view kRegexPrefix = "REGEXPR";

FilterOptions LetterBit(char letter) {
    for (const OptionLetter& option : kOptionLetters) {
        if (option.letter == letter) return option.bit;
    }
    return 0;
}

// Returns the length of the number at the start of `text`: an optional sign,
// then digits (the form LeadingNumber reads).
size_t NumberLength(std::string_view text) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i;
}

bool Contains(std::string_view text, std::string_view piece) {
    return text.find(piece) != std::string_view::npos;
}

// Returns the parts of a rule line. The first ";" outside double quotes
// ends the first part; every later ";" ends a part, quoted or not. The
// line's first options word is appended to every part but the last that has
// none of its own, so one options word at the end serves the whole rule.
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

// Returns the text between the part's first two double quotes; everything
// after the first when there is no second; the whole part without quotes.
std::string_view QuotedPattern(std::string_view part) {
    size_t open = part.find('"');
    if (open == std::string_view::npos) return part;
    size_t close = part.find('"', open + 1);
    if (close == std::string_view::npos) return part.substr(open + 1);
    return part.substr(open + 1, close - open - 1);
}

ParsedPart ParsePart(std::string text, std::string_view ruleText) {
    ParsedPart part;
    std::string upper = UpperCase(text);
    std::vector<std::string> names;
    part.options = ParseRuleOptions(upper, names);
    part.text = std::move(text);

    if (Contains(upper, "@")) {
        for (const Keyword& keyword : kKeywords) {
            size_t at = upper.find(keyword.text);
            if (at == std::string::npos) continue;
            std::string_view rest = std::string_view(upper).substr(at + keyword.text.size());
            part.kind = keyword.kind;
            part.number = LeadingNumber(rest);
            if (keyword.kind == PartKind::kTimes) {
                size_t length = NumberLength(rest);
                if (length < rest.size() && rest[length] == ',') {
                    std::string_view word = rest.substr(length + 1);
                    part.word = (part.options & kOptionC) ? std::string(word) : Trim(word);
                } else {
                    part.kind = PartKind::kTimesBroken;
                }
            }
            return part;
        }
    }
    if (Contains(upper, "KILLALL")) {
        part.kind = PartKind::kKillAll;
        return part;
    }
    if (Contains(upper, "ISREPLY")) {
        part.kind = PartKind::kIsReply;
        return part;
    }

    part.kind = PartKind::kPattern;
    std::string_view pattern = QuotedPattern(part.text);
    part.pattern = (part.options & kOptionC) ? std::string(pattern) : UpperCase(pattern);
    part.regex = StartsWith(upper, kRegexPrefix);
    for (std::string& name : names) {
        HeaderName header{std::move(name), HeaderSource::kHeaderLines};
        for (const HeaderAlias& alias : kHeaderAliases) {
            if (header.name == alias.name) header.source = alias.source;
        }
        part.headerNames.push_back(std::move(header));
    }
    bool needsCr =
        !part.headerNames.empty() && (part.pattern.empty() || part.pattern.back() != '*');
    if (needsCr) part.patternCr = part.pattern + "\r*";
    if (part.regex) {
        part.compiled = FindCompiledRegex(part.pattern, ruleText);
        if (part.compiled && needsCr) part.compiledCr = FindCompiledRegex(part.patternCr, ruleText);
    }
    return part;
}

// Returns the number of occurrences of `word` in `field`, each search
// resuming one character after the previous find.
int64_t CountOccurrences(std::string_view field, std::string_view word) {
    if (word.empty()) return 0;
    int64_t count = 0;
    for (size_t at = field.find(word); at != std::string_view::npos;
         at = field.find(word, at + 1)) {
        ++count;
    }
    return count;
}

bool TestTimes(const ParsedPart& part, const FilterSubject& subject) {
    bool exact = (part.options & kOptionC) != 0;
    int64_t count = 0;
    if (part.options & kOptionS) {
        count += CountOccurrences(exact ? subject.subject : UpperCase(subject.subject), part.word);
    }
    if (part.options & kOptionN) {
        count += CountOccurrences(exact ? subject.from : UpperCase(subject.from), part.word);
    }
    return count >= part.number;
}

bool HasPrefixFolded(std::string_view line, std::string_view upperName) {
    if (line.size() < upperName.size()) return false;
    for (size_t i = 0; i < upperName.size(); ++i) {
        if (UpperByte(static_cast<unsigned char>(line[i])) !=
            static_cast<unsigned char>(upperName[i])) {
            return false;
        }
    }
    return true;
}

// Fills `joined` with the values of every header line named `upperName`,
// each followed by the value separator, in header order.
void JoinHeaderValues(const std::vector<std::string>& lines, std::string_view upperName,
                      std::string& joined) {
    joined.clear();
    for (const std::string& line : lines) {
        if (line.empty()) break;
        if (!HasPrefixFolded(line, upperName)) continue;
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t value = line.find_first_not_of(' ', colon + 1);
            if (value != std::string::npos) joined.append(line, value);
        }
        joined += kValueSeparator;
    }
}

bool TestOne(const ParsedPart& part, std::string_view field, bool withCr) {
    if (part.regex) {
        const CompiledRegex* compiled = withCr ? part.compiledCr.get() : part.compiled.get();
        return MatchCompiledRegex(compiled, field, part.options) == 1;
    }
    return MatchPattern(withCr ? part.patternCr : part.pattern, field, part.options, false) == 1;
}

bool TestPattern(const ParsedPart& part, const FilterSubject& subject) {
    FilterOptions options = part.options;
    if ((options & kOptionS) && TestOne(part, subject.subject, false)) return true;
    if ((options & kOptionN) && TestOne(part, subject.from, false)) return true;
    if ((options & kOptionB) && TestOne(part, subject.folder, false)) return true;
    if (part.headerNames.empty()) return false;

    thread_local std::string text;
    for (const HeaderName& header : part.headerNames) {
        switch (header.source) {
            case HeaderSource::kMessageId:
                text = subject.messageId;
                break;
            case HeaderSource::kReferences:
                text = subject.references;
                break;
            case HeaderSource::kLength:
                text = std::to_string(subject.size < 0 ? 0 : subject.size);
                break;
            case HeaderSource::kHeaderLines:
                JoinHeaderValues(subject.headerLines, header.name, text);
                break;
        }
        if (text.empty()) continue;
        // A value that holds a line break is matched up to that break: the
        // pattern gets an open end behind the CR unless it has one already.
        bool withCr = !part.patternCr.empty() && text.find('\r') != std::string::npos;
        if (withCr) text += '\r';
        if (TestOne(part, text, withCr)) return true;
    }
    return false;
}

}  // namespace

FilterOptions ParseRuleOptions(std::string_view upperPart, std::vector<std::string>& headerNames) {
    headerNames.clear();
    size_t marker = upperPart.find(kOptionsMarker);
    if (marker == std::string_view::npos) return kOptionS | kOptionM;

    size_t end = upperPart.find(' ', marker + 1);
    std::string word(
        upperPart.substr(marker + 1, end == std::string_view::npos ? end : end - marker - 1));
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
    if ((options & kFieldLetters) == 0 && headerNames.empty()) options |= kOptionS;
    if ((options & kCarriedGroup) == 0) options |= kOptionM;
    return options;
}

ParsedRule ParseRule(std::string_view ruleText) {
    ParsedRule rule;
    rule.text = std::string(ruleText);
    size_t target = ruleText.find(kTargetMarker);
    if (target == std::string_view::npos) {
        rule.line = rule.text;
    } else {
        rule.line = std::string(ruleText.substr(0, target));
        rule.action = std::string(ruleText.substr(target + 1));
    }
    if (rule.line.empty()) return rule;
    for (std::string& text : SplitParts(rule.line)) {
        rule.parts.push_back(ParsePart(std::move(text), ruleText));
    }
    return rule;
}

RuleResult EvaluateRule(const ParsedRule& rule, const FilterSubject& subject,
                        FilterOptions& options) {
    if (rule.parts.empty()) return RuleResult::kNoMatch;
    for (const ParsedPart& part : rule.parts) {
        options = part.options;
        bool result = false;
        switch (part.kind) {
            case PartKind::kKillAll:
                // Ends the rule with a match whatever follows, and is not
                // inverted: "KILLALL" with "X" still kills.
                return RuleResult::kMatch;
            case PartKind::kTimesBroken:
                return RuleResult::kNoMatch;
            case PartKind::kBytes:
                result = part.number <= subject.size;
                break;
            case PartKind::kDays:
                result = part.number <= subject.age;
                break;
            case PartKind::kThread:
                // No thread-watch store is kept, so no thread is ever watched.
                result = false;
                break;
            case PartKind::kTimes:
                result = TestTimes(part, subject);
                break;
            case PartKind::kIsReply:
                result = !subject.references.empty();
                break;
            case PartKind::kPattern:
                // An expression that does not compile never holds, with "X"
                // neither: a typing error must not turn a rule into one that
                // catches every message.
                if (part.regex && !part.compiled) return RuleResult::kNoMatch;
                result = TestPattern(part, subject);
                break;
        }
        if (part.options & kOptionX) result = !result;
        if (!result) return RuleResult::kNoMatch;
    }
    return RuleResult::kMatch;
}
