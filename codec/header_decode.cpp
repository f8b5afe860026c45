#include "codec/header_decode.h"

#include <algorithm>
#include <array>

#include "codec/base64.h"
#include "codec/code_page.h"
#include "core/text.h"

namespace {

enum class Charset { kAnsi, kLatin9, kUtf8 };

struct KnownCharset {
    std::string_view name;  // upper-cased
    Charset charset;
};

// ISO-8859-1 is decoded as Windows-1252, its superset, as mail programs do.
constexpr std::array<KnownCharset, 4> kKnownCharsets{{
    {"ISO-8859-1", Charset::kAnsi},
    {"ISO-8859-15", Charset::kLatin9},
    {"WINDOWS-1252", Charset::kAnsi},
    {"UTF-8", Charset::kUtf8},
}};

// Longest name an address gets from between angle brackets.
constexpr size_t kAddressLimit = 255;

constexpr std::string_view kWordStart = "=?";
constexpr std::string_view kWordEnd = "?=";

bool FindCharset(std::string_view name, Charset& charset) {
    // RFC 2231 lets a language follow the character set: "utf-8*de".
    std::string upper = UpperCase(name.substr(0, name.find('*')));
    for (const KnownCharset& known : kKnownCharsets) {
        if (upper == known.name) {
            charset = known.charset;
            return true;
        }
    }
    return false;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "Q" decoding. The two characters after "=" are always taken, and only the
// hexadecimal digits at their start count: "=4z" gives 4, "=zz" and a "="
// at the end give the byte 0.
std::string DecodeQ(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=') {
            int value = 0;
            size_t k = i + 1;
            for (; k < text.size() && k <= i + 2; ++k) {
                int digit = HexValue(text[k]);
                if (digit < 0) break;
                value = value * 16 + digit;
            }
            out += static_cast<char>(value);
            i = std::min(i + 2, text.size() - 1);
        } else {
            out += c;
        }
    }
    return out;
}

bool IsFoldingSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool OnlyFoldingSpace(std::string_view text) {
    for (char c : text) {
        if (!IsFoldingSpace(c)) return false;
    }
    return true;
}

// One encoded word found in a value.
struct EncodedWord {
    size_t start = 0;  // position of "=?"
    size_t end = 0;    // position after "?="
    Charset charset = Charset::kAnsi;
    std::string decoded;  // the word's bytes in its character set
};

// Finds the next decodable encoded word at or after `from`. Returns false
// when there is none.
bool FindEncodedWord(std::string_view value, size_t from, EncodedWord& word) {
    for (size_t start = value.find(kWordStart, from); start != std::string_view::npos;
         start = value.find(kWordStart, start + 1)) {
        size_t nameStart = start + kWordStart.size();
        size_t question = value.find('?', nameStart);
        if (question == std::string_view::npos) return false;
        if (!FindCharset(value.substr(nameStart, question - nameStart), word.charset)) continue;
        if (question + 2 >= value.size() || value[question + 2] != '?') continue;
        char encoding = value[question + 1];
        bool quoted = encoding == 'Q' || encoding == 'q';
        if (!quoted && encoding != 'B' && encoding != 'b') continue;
        size_t textStart = question + 3;
        size_t close = value.find(kWordEnd, textStart);
        if (close == std::string_view::npos) return false;
        std::string_view text = value.substr(textStart, close - textStart);
        word.start = start;
        word.end = close + kWordEnd.size();
        word.decoded = quoted ? DecodeQ(text) : Base64Decode(text);
        return true;
    }
    return false;
}

std::string WordToOem(const EncodedWord& word) {
    switch (word.charset) {
        case Charset::kUtf8:
            return Utf8ToOem(word.decoded);
        case Charset::kLatin9:
            return AnsiToOem(Latin9ToAnsi(word.decoded));
        case Charset::kAnsi:
            break;
    }
    return AnsiToOem(word.decoded);
}

std::string RemoveAll(std::string text, char unwanted) {
    std::erase(text, unwanted);
    return text;
}

}  // namespace

std::string DecodeHeaderText(std::string_view value) {
    try {
        std::string out;
        out.reserve(value.size());
        size_t plain = 0;  // start of the text not yet written
        bool afterWord = false;
        EncodedWord word;
        for (size_t from = 0; FindEncodedWord(value, from, word); from = word.end) {
            std::string_view between = value.substr(plain, word.start - plain);
            // RFC 2047: white space between two encoded words is not text.
            if (!(afterWord && OnlyFoldingSpace(between))) out += AnsiToOem(between);
            out += WordToOem(word);
            plain = word.end;
            afterWord = true;
        }
        out += AnsiToOem(value.substr(plain));
        return out;
    } catch (...) {
        return std::string(value);
    }
}

std::string AddressFirst(std::string_view sender) {
    try {
        std::string text = Trim(sender);
        size_t open = text.find('<');
        if (open != std::string::npos) {
            std::string address = RemoveAll(Trim(text.substr(open + 1, kAddressLimit)), '>');
            if (open == 0) return address;
            return address + " (" + RemoveAll(Trim(text.substr(0, open)), '"') + ")";
        }
        size_t space = text.find(' ');
        if (space == std::string::npos) return text;
        // The name is taken from the second character after the space on:
        // "a@b (Name)" keeps its parentheses as written.
        std::string rest = space + 2 <= text.size() ? text.substr(space + 2) : std::string();
        return text.substr(0, space) + " (" + rest;
    } catch (...) {
        return std::string(sender);
    }
}

std::string NameFirst(std::string_view sender) {
    try {
        std::string text = Trim(sender);
        std::string address;
        std::string name;
        size_t open = text.find('<');
        if (open != std::string::npos) {
            address = RemoveAll(Trim(text.substr(open + 1, kAddressLimit)), '>');
            if (open > 0) name = RemoveAll(Trim(text.substr(0, open)) + " ", '"');
        } else {
            size_t space = text.find(' ');
            address = text.substr(0, space);
            if (space != std::string::npos) {
                std::string rest =
                    space + 2 <= text.size() ? text.substr(space + 2) : std::string();
                name = RemoveAll(rest + " ", ')');
            }
        }
        return name + "<" + address + ">";
    } catch (...) {
        return std::string(sender);
    }
}
