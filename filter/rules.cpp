#include "filter/rules.h"

#include <algorithm>
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

// The options word of a condition part: the text from its options marker
// to the next blank, split into the quoted header names and the letters
// outside the quotes. A quote without its partner quotes the rest.
struct OptionsWord {
    bool present = false;  // the part has an options marker
    std::string letters;
    std::string names;  // the quoted texts, one after the other
};

OptionsWord SplitOptionsWord(std::string_view part) {
    OptionsWord out;
    size_t marker = part.find(kOptionsMarker);
    if (marker == std::string_view::npos) return out;
    out.present = true;
    size_t end = part.find(' ', marker + 1);
    std::string word(
        part.substr(marker + 1, end == std::string_view::npos ? end : end - marker - 1));
    for (size_t open = word.find('"'); open != std::string::npos; open = word.find('"')) {
        size_t close = word.find('"', open + 1);
        if (close == std::string::npos) {
            out.names += word.substr(open + 1);
            word.erase(open);
        } else {
            out.names += word.substr(open + 1, close - open - 1);
            word.erase(open, close - open + 1);
        }
    }
    out.letters = std::move(word);
    return out;
}

// Returns the length of the number at the start of `text`: an optional sign,
// then digits (the form LeadingNumber reads).
size_t NumberLength(std::string_view text) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i;
}

// Returns the byte quoted when it is printable ASCII, else as "0xNN".
std::string ShownByte(char byte) {
    auto value = static_cast<unsigned char>(byte);
    if (value > 0x20 && value < 0x7F) return "\"" + std::string(1, byte) + "\"";
    constexpr char kHex[] = "0123456789ABCDEF";
    return std::string("0x") + kHex[value >> 4] + kHex[value & 0xF];
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

// Returns the name's place in `slots`, adding it when it is new.
int SlotOf(std::vector<std::string>& slots, const std::string& name) {
    auto it = std::find(slots.begin(), slots.end(), name);
    if (it != slots.end()) return static_cast<int>(it - slots.begin());
    slots.push_back(name);
    return static_cast<int>(slots.size()) - 1;
}

ParsedPart ParsePart(std::string text, std::string_view ruleText,
                     std::vector<std::string>* headerSlots, RegexCompile regexCompile) {
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
        if (header.source == HeaderSource::kHeaderLines && headerSlots != nullptr) {
            header.slot = SlotOf(*headerSlots, header.name);
        }
        part.headerNames.push_back(std::move(header));
    }
    bool needsCr =
        !part.headerNames.empty() && (part.pattern.empty() || part.pattern.back() != '*');
    if (needsCr) part.patternCr = part.pattern + "\r*";
    if (part.regex) {
        if (regexCompile == RegexCompile::kNone) return part;
        part.compiled = FindCompiledRegex(part.pattern, ruleText);
        if (part.compiled && needsCr) part.compiledCr = FindCompiledRegex(part.patternCr, ruleText);
    } else {
        part.wildcard = CompileWildcard(part.pattern);
        if (needsCr) part.wildcardCr = CompileWildcard(part.patternCr);
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

bool HasPrefixFolded(std::string_view line, std::string_view upperName,
                     const std::array<unsigned char, 256>& upper) {
    if (line.size() < upperName.size()) return false;
    for (size_t i = 0; i < upperName.size(); ++i) {
        if (upper[static_cast<unsigned char>(line[i])] !=
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
    const std::array<unsigned char, 256>& upper = UpperTable();
    for (const std::string& line : lines) {
        if (line.empty()) break;
        if (!HasPrefixFolded(line, upperName, upper)) continue;
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t value = line.find_first_not_of(' ', colon + 1);
            if (value != std::string::npos) joined.append(line, value);
        }
        joined += kValueSeparator;
    }
}

// Floating searches in one text before it is sketched: a sketch costs about
// what three searches do, and pays only when many rules search the text.
constexpr int kSketchAfterSearches = 3;

// One form of a field's text: upper-cased for matching without C, or as it
// is. CR LF follows the text, as a regular expression sees it.
struct TextForm {
    bool ready = false;
    bool sketched = false;
    int searches = 0;
    std::string text;
    TextSketch sketch;

    std::string_view Text() const { return {text.data(), text.size() - 2}; }
};

// A text a rule tests: a field of the message, or the values of one header
// name joined.
struct PreparedField {
    uint64_t epoch = 0;       // the evaluation the text belongs to
    std::string own;          // joined header values, or the size in decimal
    std::string_view source;  // the text
    bool hasCr = false;
    std::array<TextForm, 2> forms;  // [0] upper-cased, [1] as it is

    // Starts the field over with `text` for evaluation `evaluation`.
    void Reset(std::string_view text, uint64_t evaluation) {
        source = text;
        hasCr = text.find('\r') != std::string_view::npos;
        forms[0].ready = forms[1].ready = false;
        epoch = evaluation;
    }

    // Returns the text upper-cased (`fold`) or as it is, made on first use.
    TextForm& Form(bool fold) {
        TextForm& form = forms[fold ? 0 : 1];
        if (!form.ready) {
            form.text.assign(source);
            if (fold) UpperCaseInPlace(form.text);
            form.text += "\r\n";
            form.sketched = false;
            form.searches = 0;
            form.ready = true;
        }
        return form;
    }
};

enum FieldId : size_t {
    kSubjectField,
    kFromField,
    kFolderField,
    kMessageIdField,
    kReferencesField,
    kLengthField,
    kFixedFields,
};

}  // namespace

// The fields a sieve reads, in the order of their kSieve bits.
constexpr std::array<FieldId, kSieveFieldCount> kSieveFields = {
    kSubjectField, kFromField, kFolderField, kMessageIdField, kReferencesField, kLengthField};

struct EvaluationScratch {
    uint64_t epoch = 0;  // counts evaluations; fields of another one are stale
    const FilterSubject* subject = nullptr;
    const std::vector<std::string>* headerSlots = nullptr;  // the names of `headers`
    std::array<PreparedField, kFixedFields> fixed;
    std::vector<PreparedField> headers;  // by HeaderName::slot
    PreparedField loose;                 // a header name without slot, made at each use
    std::string crText;                  // a value with a CR, for the pattern ending at it
};

namespace {

PreparedField& Fixed(EvaluationScratch& scratch, FieldId id) {
    PreparedField& field = scratch.fixed[id];
    if (field.epoch == scratch.epoch) return field;
    const FilterSubject& subject = *scratch.subject;
    switch (id) {
        case kSubjectField:
            field.Reset(subject.subject, scratch.epoch);
            break;
        case kFromField:
            field.Reset(subject.from, scratch.epoch);
            break;
        case kFolderField:
            field.Reset(subject.folder, scratch.epoch);
            break;
        case kMessageIdField:
            field.Reset(subject.messageId, scratch.epoch);
            break;
        case kReferencesField:
            field.Reset(subject.references, scratch.epoch);
            break;
        case kLengthField:
        case kFixedFields:
            field.own = std::to_string(subject.size < 0 ? 0 : subject.size);
            field.Reset(field.own, scratch.epoch);
            break;
    }
    return field;
}

// Returns the values of the header name in slot `slot` joined.
PreparedField& SlotField(EvaluationScratch& scratch, size_t slot) {
    PreparedField& field = scratch.headers[slot];
    if (field.epoch == scratch.epoch) return field;
    JoinHeaderValues(scratch.subject->headerLines, (*scratch.headerSlots)[slot], field.own);
    field.Reset(field.own, scratch.epoch);
    return field;
}

PreparedField& HeaderField(EvaluationScratch& scratch, const HeaderName& header) {
    switch (header.source) {
        case HeaderSource::kMessageId:
            return Fixed(scratch, kMessageIdField);
        case HeaderSource::kReferences:
            return Fixed(scratch, kReferencesField);
        case HeaderSource::kLength:
            return Fixed(scratch, kLengthField);
        case HeaderSource::kHeaderLines:
            break;
    }
    if (header.slot >= 0 && static_cast<size_t>(header.slot) < scratch.headerSlots->size()) {
        return SlotField(scratch, static_cast<size_t>(header.slot));
    }
    // Made again at each use: its epoch is never current.
    JoinHeaderValues(scratch.subject->headerLines, header.name, scratch.loose.own);
    scratch.loose.Reset(scratch.loose.own, 0);
    return scratch.loose;
}

// Tests the part's pattern against one field. `withCr`: the field's text
// holds a CR, and the pattern gets an open end behind a CR added to it.
bool TestField(const ParsedPart& part, EvaluationScratch& scratch, PreparedField& field,
               bool withCr) {
    bool fold = (part.options & kOptionC) == 0;
    bool wholeWord = (part.options & kOptionG) != 0;
    if (withCr) {
        std::string& text = scratch.crText;
        text.assign(field.source);
        text += '\r';
        if (fold) UpperCaseInPlace(text);
        if (!part.regex) return MatchWildcard(part.wildcardCr, text, wholeWord, nullptr) == 1;
        text += "\r\n";
        return MatchPreparedRegex(part.compiledCr.get(), text) == 1;
    }
    TextForm& form = field.Form(fold);
    if (part.regex) return MatchPreparedRegex(part.compiled.get(), form.text) == 1;
    const TextSketch* sketch = nullptr;
    if (part.wildcard.floats) {
        if (!form.sketched && ++form.searches >= kSketchAfterSearches) {
            SketchText(form.Text(), form.sketch);
            form.sketched = true;
        }
        if (form.sketched) sketch = &form.sketch;
    }
    return MatchWildcard(part.wildcard, form.Text(), wholeWord, sketch) == 1;
}

bool TestTimes(const ParsedPart& part, EvaluationScratch& scratch) {
    bool fold = (part.options & kOptionC) == 0;
    int64_t count = 0;
    if (part.options & kOptionS) {
        count += CountOccurrences(Fixed(scratch, kSubjectField).Form(fold).Text(), part.word);
    }
    if (part.options & kOptionN) {
        count += CountOccurrences(Fixed(scratch, kFromField).Form(fold).Text(), part.word);
    }
    return count >= part.number;
}

bool TestPattern(const ParsedPart& part, EvaluationScratch& scratch) {
    FilterOptions options = part.options;
    if ((options & kOptionS) && TestField(part, scratch, Fixed(scratch, kSubjectField), false)) {
        return true;
    }
    if ((options & kOptionN) && TestField(part, scratch, Fixed(scratch, kFromField), false)) {
        return true;
    }
    if ((options & kOptionB) && TestField(part, scratch, Fixed(scratch, kFolderField), false)) {
        return true;
    }
    for (const HeaderName& header : part.headerNames) {
        PreparedField& field = HeaderField(scratch, header);
        if (field.source.empty()) continue;
        // A value that holds a line break is matched up to that break: the
        // pattern gets an open end behind the CR unless it has one already.
        bool withCr = !part.patternCr.empty() && field.hasCr;
        if (TestField(part, scratch, field, withCr)) return true;
    }
    return false;
}

}  // namespace

FilterOptions ParseRuleOptions(std::string_view upperPart, std::vector<std::string>& headerNames) {
    headerNames.clear();
    OptionsWord word = SplitOptionsWord(upperPart);
    if (!word.present) return kOptionS | kOptionM;

    const std::string& names = word.names;
    size_t start = 0;
    for (size_t colon = names.find(':'); colon != std::string::npos;
         colon = names.find(':', start)) {
        headerNames.push_back(names.substr(start, colon - start + 1));
        start = colon + 1;
    }
    if (start < names.size()) headerNames.push_back(names.substr(start));

    FilterOptions options = 0;
    for (char letter : word.letters) options |= LetterBit(letter);
    if ((options & kFieldLetters) == 0 && headerNames.empty()) options |= kOptionS;
    if ((options & kCarriedGroup) == 0) options |= kOptionM;
    return options;
}

ParsedRule ParseRule(std::string_view ruleText, std::vector<std::string>* headerSlots,
                     RegexCompile regexCompile) {
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
        rule.parts.push_back(ParsePart(std::move(text), ruleText, headerSlots, regexCompile));
    }
    return rule;
}

std::vector<std::string> RuleProblems(const ParsedRule& rule) {
    std::vector<std::string> problems;
    auto add = [&problems](std::string text) {
        if (std::find(problems.begin(), problems.end(), text) == problems.end()) {
            problems.push_back(std::move(text));
        }
    };
    // A rule that starts with its target marker ends its section; nothing
    // of it is read.
    if (rule.line.empty()) return problems;
    for (const ParsedPart& part : rule.parts) {
        if (std::count(part.text.begin(), part.text.end(), '"') % 2 != 0) {
            add("unterminated quote");
        }
        for (char letter : SplitOptionsWord(part.text).letters) {
            if (LetterBit(static_cast<char>(UpperByte(static_cast<unsigned char>(letter)))) == 0) {
                add("unknown option letter " + ShownByte(letter));
            }
        }
        if (part.kind == PartKind::kPattern && part.regex && !part.compiled) {
            std::string error = RegexCompileError(part.pattern);
            if (!error.empty()) {
                add("regular expression \"" + part.pattern + "\" does not compile: " + error);
            }
        }
    }
    if (rule.text.find(kTargetMarker) == std::string::npos) {
        add("rule has no target marker (byte 0xAF) before its action word");
        return problems;
    }
    std::string action = Trim(rule.action);
    if (action.empty()) {
        add("rule has no action word after the target marker");
    } else if (std::find(kActionWords.begin(), kActionWords.end(), action) == kActionWords.end()) {
        add("unknown action word \"" + action + "\" (known: DELE, SKIP, RETR, HEAD)");
    }
    return problems;
}

EvaluationScratch& BeginEvaluation(const FilterSubject& subject,
                                   const std::vector<std::string>& headerSlots) {
    thread_local EvaluationScratch scratch;
    ++scratch.epoch;
    scratch.subject = &subject;
    scratch.headerSlots = &headerSlots;
    if (scratch.headers.size() < headerSlots.size()) scratch.headers.resize(headerSlots.size());
    return scratch;
}

const TextSketch* HeaderSketch(EvaluationScratch& scratch, int slot, uint8_t form) {
    if (slot < 0 || static_cast<size_t>(slot) >= scratch.headerSlots->size()) return nullptr;
    TextForm& text = SlotField(scratch, static_cast<size_t>(slot)).Form(form == 0);
    if (!text.sketched) {
        if (++text.searches < kSketchAfterSearches) return nullptr;
        SketchText(text.Text(), text.sketch);
        text.sketched = true;
    }
    return &text.sketch;
}

std::string_view UpperFolder(EvaluationScratch& scratch) {
    return Fixed(scratch, kFolderField).Form(true).Text();
}

RuleSieve SieveOf(const ParsedRule& rule) {
    RuleSieve sieve;
    sieve.emptyLine = rule.line.empty();
    if (rule.parts.empty()) return sieve;
    const ParsedPart& first = rule.parts.front();
    sieve.options = first.options;
    if (first.kind != PartKind::kPattern || first.regex || (first.options & kOptionX) ||
        first.wildcard.probeCount == 0) {
        return sieve;
    }
    // A header value that holds a CR is tested with a CR added behind it.
    // The pattern's pairs still lie inside the value then, but patterns
    // holding a CR are too rare to be worth relying on that.
    if (!first.headerNames.empty() && first.pattern.find('\r') != std::string::npos) {
        return sieve;
    }
    uint8_t fields = 0;
    int headerSlot = -1;
    if (first.options & kOptionS) fields |= kSieveSubject;
    if (first.options & kOptionN) fields |= kSieveFrom;
    if (first.options & kOptionB) fields |= kSieveFolder;
    for (const HeaderName& header : first.headerNames) {
        switch (header.source) {
            case HeaderSource::kMessageId:
                fields |= kSieveMessageId;
                break;
            case HeaderSource::kReferences:
                fields |= kSieveReferences;
                break;
            case HeaderSource::kLength:
                fields |= kSieveLength;
                break;
            case HeaderSource::kHeaderLines:
                if (header.slot < 0 || headerSlot >= 0) return sieve;
                headerSlot = header.slot;
                break;
        }
    }
    sieve.active = true;
    sieve.fields = fields;
    sieve.headerSlot = headerSlot;
    sieve.form = (first.options & kOptionC) ? 1 : 0;
    sieve.probeCount = first.wildcard.probeCount;
    sieve.probes = first.wildcard.probes;
    return sieve;
}

void SketchSieveFields(EvaluationScratch& scratch, const std::array<uint8_t, 2>& wanted,
                       SieveSketches& sketches) {
    for (size_t form = 0; form < 2; ++form) {
        for (size_t f = 0; f < kSieveFieldCount; ++f) {
            if ((wanted[form] & (1u << f)) == 0) continue;
            TextForm& text = Fixed(scratch, kSieveFields[f]).Form(form == 0);
            if (!text.sketched) {
                SketchText(text.Text(), text.sketch);
                text.sketched = true;
            }
            sketches[f][form] = &text.sketch;
        }
    }
}

RuleResult EvaluateRule(const ParsedRule& rule, EvaluationScratch& scratch,
                        FilterOptions& options) {
    if (rule.parts.empty()) return RuleResult::kNoMatch;
    const FilterSubject& subject = *scratch.subject;
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
                result = TestTimes(part, scratch);
                break;
            case PartKind::kIsReply:
                result = !subject.references.empty();
                break;
            case PartKind::kPattern:
                // An expression that does not compile never holds, with "X"
                // neither: a typing error must not turn a rule into one that
                // catches every message.
                if (part.regex && !part.compiled) return RuleResult::kNoMatch;
                result = TestPattern(part, scratch);
                break;
        }
        if (part.options & kOptionX) result = !result;
        if (!result) return RuleResult::kNoMatch;
    }
    return RuleResult::kMatch;
}
