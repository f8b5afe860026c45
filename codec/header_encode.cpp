#include "codec/header_encode.h"

#include <algorithm>

#include "codec/base64.h"

namespace {

// RFC 2047 caps an encoded-word at 75 characters; "=?UTF-8?B?" and "?="
// take 12 of them, which leaves 60 Base64 characters for 45 bytes.
constexpr size_t kWordBytes = 45;
constexpr std::string_view kWordStart = "=?UTF-8?B?";
constexpr std::string_view kWordEnd = "?=";

bool IsPlain(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x7F;
    });
}

bool IsContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::string EncodedHeaderText(std::string_view utf8) {
    if (IsPlain(utf8)) return std::string(utf8);
    std::string out;
    for (size_t at = 0; at < utf8.size();) {
        size_t end = std::min(at + kWordBytes, utf8.size());
        // A character split across two words is undecodable in both.
        size_t cut = end;
        while (cut > at && cut < utf8.size() && IsContinuationByte(utf8[cut])) --cut;
        if (cut > at) end = cut;
        if (!out.empty()) out += "\n ";
        out += kWordStart;
        out += Base64Encode(utf8.substr(at, end - at));
        out += kWordEnd;
        at = end;
    }
    return out;
}
