#include "codec/base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Marks a byte that is not in the alphabet; such bytes are skipped.
constexpr int kNotInAlphabet = -1;

struct DecodeTable {
    std::array<int, 256> value{};
    constexpr DecodeTable() {
        for (int& v : value) v = kNotInAlphabet;
        for (size_t i = 0; i < kAlphabet.size(); ++i) {
            value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int>(i);
        }
    }
};

constexpr DecodeTable kDecode;

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                         static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                         static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[group >> 18 & 0x3F];
        out += kAlphabet[group >> 12 & 0x3F];
        out += kAlphabet[group >> 6 & 0x3F];
        out += kAlphabet[group & 0x3F];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2)
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += kAlphabet[group >> 18 & 0x3F];
        out += kAlphabet[group >> 12 & 0x3F];
        out += rest == 2 ? kAlphabet[group >> 6 & 0x3F] : '=';
        out += '=';
    }
    return out;
}

std::string Base64Decode(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    uint32_t group = 0;
    int count = 0;
    for (char c : text) {
        int value = kDecode.value[static_cast<unsigned char>(c)];
        // Padding and line breaks are skipped like any foreign byte, so a "="
        // in the middle neither ends nor restarts the group in progress.
        if (value == kNotInAlphabet) continue;
        group = group << 6 | static_cast<uint32_t>(value);
        if (++count == 4) {
            out += static_cast<char>(group >> 16 & 0xFF);
            out += static_cast<char>(group >> 8 & 0xFF);
            out += static_cast<char>(group & 0xFF);
            group = 0;
            count = 0;
        }
    }
    if (count == 2) {
        out += static_cast<char>(group >> 4 & 0xFF);
    } else if (count == 3) {
        out += static_cast<char>(group >> 10 & 0xFF);
        out += static_cast<char>(group >> 2 & 0xFF);
    }
    return out;
}
