#include "codec/code_page.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace {

constexpr unsigned char kNoCounterpart = '?';

// The ohm sign looks like the omega of code page 437, and some keyboards
// type it for omega.
constexpr uint16_t kOhmSign = 0x2126;
constexpr unsigned char kOemOmega = 0xEA;

// Unicode of the code page 437 bytes 0x80..0xFF.
constexpr std::array<uint16_t, 128> kOemUpperHalf{
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // F8
};

// Unicode of the Windows-1252 bytes 0x80..0x9F; the five unassigned bytes
// stand for the control characters of the same number.
constexpr std::array<uint16_t, 32> kAnsiC1{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98
};

// In the best-fit strings below "." marks a character without a best fit.
constexpr char kNoBestFit = '.';

// Best fits for U+00A0..U+00FF that code page 437 lacks.
constexpr std::string_view kLatin1BestFit =
    " .....|......-.."
    "...3'...,1......"
    "AAAA....E.EEIIII"
    "D.OOOO.xOUUU.Y.."
    "...a............"
    "d....o..o....y..";

// Best fits for U+0100..U+017F (Latin Extended-A): the base letter.
constexpr std::string_view kLatinExtendedBestFit =
    "AaAaAaCcCcCcCcDd"
    "DdEeEeEeEeEeGgGg"
    "GgGgHhHhIiIiIiIi"
    "Ii..JjKk.LlLlLlL"
    "lLlNnNnNn...OoOo"
    "OoOoRrRrRrSsSsSs"
    "SsTtTtTtUuUuUuUu"
    "UuUuWwYyYZzZzZzs";

static_assert(kLatin1BestFit.size() == 0x60 && kLatinExtendedBestFit.size() == 0x80);

// Further best fits, sorted by code point.
constexpr std::array<std::pair<uint16_t, unsigned char>, 17> kOtherBestFit{{
    {0x00A7, 0x15},  // section sign: the code page's glyph at 0x15
    {0x00B6, 0x14},  // pilcrow: the glyph at 0x14
    {0x02C6, '^'},
    {0x02DC, '~'},
    {0x03B2, 0xE1},  // beta: sharp s
    {0x03BC, 0xE6},  // mu: micro sign
    {0x2013, '-'},
    {0x2014, '-'},
    {0x2018, '\''},
    {0x2019, '\''},
    {0x201A, ','},
    {0x201C, '"'},
    {0x201D, '"'},
    {0x201E, '"'},
    {0x2039, '<'},
    {0x203A, '>'},
    {kOhmSign, kOemOmega},
}};

// Returns the byte that shows the character in code page 437, or -1.
int ExactOem(uint32_t code) {
    if (code < 0x80) return static_cast<int>(code);
    for (size_t i = 0; i < kOemUpperHalf.size(); ++i) {
        if (kOemUpperHalf[i] == code) return static_cast<int>(0x80 + i);
    }
    return -1;
}

unsigned char UnicodeToOem(uint32_t code) {
    const int exact = ExactOem(code);
    if (exact >= 0) return static_cast<unsigned char>(exact);
    auto other = std::lower_bound(kOtherBestFit.begin(), kOtherBestFit.end(), code,
                                  [](const auto& entry, uint32_t c) { return entry.first < c; });
    if (other != kOtherBestFit.end() && other->first == code) return other->second;
    char fit = kNoBestFit;
    if (code >= 0xA0 && code <= 0xFF) fit = kLatin1BestFit[code - 0xA0];
    if (code >= 0x100 && code <= 0x17F) fit = kLatinExtendedBestFit[code - 0x100];
    return fit == kNoBestFit ? kNoCounterpart : static_cast<unsigned char>(fit);
}

struct AnsiTable {
    std::array<unsigned char, 256> oem{};
    AnsiTable() {
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t code = b >= 0x80 && b < 0xA0 ? kAnsiC1[b - 0x80] : b;
            oem[b] = UnicodeToOem(code);
        }
    }
};

const AnsiTable& Ansi() {
    static const AnsiTable& table = *new AnsiTable();
    return table;
}

// Returns the length of the well-formed UTF-8 sequence at `text[at]` with
// its code point in `code`, or 0 when the bytes there are malformed.
size_t DecodeUtf8(std::string_view text, size_t at, uint32_t& code) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = byte(at + i);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

// Walks the UTF-8 text: each well-formed character is handed to
// `character` (its code point and its bytes) to write, each byte of a
// malformed sequence is written as `malformed`.
template <typename Character>
std::string EachUtf8Character(std::string_view text, char malformed, Character character) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        uint32_t code = 0;
        size_t length = DecodeUtf8(text, at, code);
        if (length == 0) {
            out += malformed;
            ++at;
            continue;
        }
        character(out, code, text.substr(at, length));
        at += length;
    }
    return out;
}

}  // namespace

std::string AnsiToOem(std::string_view text) {
    const auto& table = Ansi().oem;
    std::string out(text);
    for (char& c : out) c = static_cast<char>(table[static_cast<unsigned char>(c)]);
    return out;
}

std::string Utf8ToOem(std::string_view text) {
    return EachUtf8Character(text, static_cast<char>(kNoCounterpart),
                             [](std::string& out, uint32_t code, std::string_view) {
                                 out += static_cast<char>(UnicodeToOem(code));
                             });
}

std::string OemToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const uint32_t code = byte < 0x80 ? byte : kOemUpperHalf[byte - 0x80];
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

bool IsUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        uint32_t code = 0;
        const size_t length = DecodeUtf8(text, at, code);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string Utf8ToOemExact(std::string_view text, std::vector<uint32_t>& missing) {
    return EachUtf8Character(text, static_cast<char>(kNoCounterpart),
                             [&missing](std::string& out, uint32_t code, std::string_view) {
                                 int shown = code == kOhmSign ? kOemOmega : ExactOem(code);
                                 if (shown < 0) {
                                     missing.push_back(code);
                                     shown = kNoCounterpart;
                                 }
                                 out += static_cast<char>(shown);
                             });
}

Problems TakeUtf8File(std::string& data, std::string_view fileName, std::string_view consequence) {
    // A byte order mark some editors put in front of a UTF-8 file.
    constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
    Problems problems;
    std::string_view text(data);
    const bool marked = text.starts_with(kUtf8Mark);
    if (marked) text.remove_prefix(kUtf8Mark.size());
    const bool plain =
        std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
    if ((plain && !marked) || !IsUtf8(text)) return problems;
    std::string converted;
    converted.reserve(text.size());
    int64_t lineNumber = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        ++lineNumber;
        std::vector<uint32_t> missing;
        converted += Utf8ToOemExact(text.substr(start, end - start), missing);
        if (end < text.size()) converted += '\n';
        if (!missing.empty()) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(missing[0]));
            problems.push_back({std::string(fileName), lineNumber,
                                std::string(code) +
                                    " has no character in the filter's code page 437; " +
                                    std::string(consequence),
                                Severity::kError});
        }
        start = end + 1;
    }
    data = std::move(converted);
    return problems;
}

Problems TakeUtf8AddressList(std::string& data, std::string_view fileName) {
    return TakeUtf8File(data, fileName, "the line is read with \"?\" in its place");
}

std::string Utf8ForOneLine(std::string_view text) {
    return EachUtf8Character(text, '?',
                             [](std::string& out, uint32_t code, std::string_view bytes) {
                                 if (code == '\t' || code == '\r' || code == '\n') {
                                     out += ' ';
                                 } else if (code < 0x20 || (code >= 0x7F && code < 0xA0)) {
                                     out += '?';
                                 } else {
                                     out += bytes;
                                 }
                             });
}

std::string Latin9ToAnsi(std::string_view text) {
    // ISO-8859-15 byte, Windows-1252 byte of the same character.
    static constexpr std::array<std::pair<unsigned char, unsigned char>, 8> kMoved{{
        {0xA4, 0x80},  // euro sign
        {0xA6, 0x8A},  // S caron
        {0xA8, 0x9A},  // s caron
        {0xB4, 0x8E},  // Z caron
        {0xB8, 0x9E},  // z caron
        {0xBC, 0x8C},  // OE
        {0xBD, 0x9C},  // oe
        {0xBE, 0x9F},  // Y diaeresis
    }};
    std::string out(text);
    for (char& c : out) {
        for (auto [latin9, ansi] : kMoved) {
            if (static_cast<unsigned char>(c) == latin9) c = static_cast<char>(ansi);
        }
    }
    return out;
}
