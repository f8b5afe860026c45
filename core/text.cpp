#include "core/text.h"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>
#include <vector>

namespace {

// The seven letters of code page 437 whose capital also exists in the page.
constexpr std::array<std::pair<unsigned char, unsigned char>, 7> kCodePagePairs{{
    {0x84, 0x8E},  // a umlaut
    {0x94, 0x99},  // o umlaut
    {0x81, 0x9A},  // u umlaut
    {0x82, 0x90},  // e acute
    {0xA4, 0xA5},  // n tilde
    {0x86, 0x8F},  // a ring
    {0x87, 0x80},  // c cedilla
}};

struct CaseTables {
    std::array<unsigned char, 256> upper{};
    std::array<unsigned char, 256> lower{};
    CaseTables() {
        for (int c = 0; c < 256; ++c) upper[c] = lower[c] = static_cast<unsigned char>(c);
        for (int c = 'a'; c <= 'z'; ++c) {
            upper[c] = static_cast<unsigned char>(c - 32);
            lower[c - 32] = static_cast<unsigned char>(c);
        }
        for (auto [small, capital] : kCodePagePairs) {
            upper[small] = capital;
            lower[capital] = small;
        }
    }
};

const CaseTables& Tables() {
    static const CaseTables tables;
    return tables;
}

std::string Map(std::string_view text, const std::array<unsigned char, 256>& table) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(table[static_cast<unsigned char>(c)]);
    return out;
}

}  // namespace

std::string UpperCase(std::string_view text) {
    return Map(text, Tables().upper);
}

std::string LowerCase(std::string_view text) {
    return Map(text, Tables().lower);
}

std::string NumberText(int64_t number) {
    return number < 0 ? std::to_string(number) : " " + std::to_string(number);
}

std::string Trim(std::string_view text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

std::string TrimRight(std::string_view text) {
    size_t last = text.find_last_not_of(' ');
    return last == std::string_view::npos ? std::string() : std::string(text.substr(0, last + 1));
}

int64_t LeadingNumber(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 10 - 10;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value < kMax) value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

std::string Field(std::string_view text, size_t index) {
    size_t start = 0;
    for (size_t i = 0; i < index; ++i) {
        size_t space = text.find(' ', start);
        if (space == std::string_view::npos) return {};
        start = space + 1;
    }
    size_t end = text.find(' ', start);
    return std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
}

size_t EditDistance(std::string_view a, std::string_view b) {
    // One row of the distance table at a time: row[j] is the distance
    // between the first i bytes of `a` and the first j bytes of `b`.
    std::vector<size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), size_t{0});
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            size_t replace = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
            row[j] = std::min({above + 1, row[j - 1] + 1, replace});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string_view Utf8Prefix(std::string_view text, size_t limit) {
    if (text.size() <= limit) return text;
    auto continuation = [&](size_t at) {
        return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    // The first byte left out continues a character: back to its lead byte
    // (a character has at most three continuation bytes) and cut before it.
    size_t end = limit;
    size_t steps = 0;
    while (end > 0 && steps < 3 && continuation(end)) {
        --end;
        ++steps;
    }
    if (steps > 0 && static_cast<unsigned char>(text[end]) < 0xC0) end = limit;
    return text.substr(0, end);
}
