#include "codec/md5.h"

#include <algorithm>
#include <cstring>

namespace {

// MD5 digests 512-bit blocks.
constexpr size_t kBlockBytes = 64;
constexpr size_t kDigestBytes = 16;

// Byte offset in the block where the 64-bit length goes during padding.
constexpr size_t kLengthOffset = kBlockBytes - 8;

// Per-step shift amounts of the four rounds (RFC 1321, 3.4).
constexpr uint32_t kShifts[64] = {
    7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
    14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
    4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21,
};

// T[i] = floor(2^32 * abs(sin(i + 1))) (RFC 1321, 3.4).
constexpr uint32_t kSines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

uint32_t RotateLeft(uint32_t value, uint32_t count) {
    return (value << count) | (value >> (32 - count));
}

// The block transform of RFC 1321, 3.4: mixes one 64-byte block into the state.
void TransformBlock(std::array<uint32_t, 4>& state, const uint8_t* block) {
    uint32_t words[16];
    for (size_t i = 0; i < 16; ++i) {
        // Words are little-endian whatever the host's byte order.
        words[i] = uint32_t(block[i * 4]) | uint32_t(block[i * 4 + 1]) << 8 |
                   uint32_t(block[i * 4 + 2]) << 16 | uint32_t(block[i * 4 + 3]) << 24;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (uint32_t i = 0; i < 64; ++i) {
        uint32_t mixed;
        uint32_t index;
        if (i < 16) {
            mixed = (b & c) | (~b & d);
            index = i;
        } else if (i < 32) {
            mixed = (b & d) | (c & ~d);
            index = (5 * i + 1) % 16;
        } else if (i < 48) {
            mixed = b ^ c ^ d;
            index = (3 * i + 5) % 16;
        } else {
            mixed = c ^ (b | ~d);
            index = (7 * i) % 16;
        }
        const uint32_t next = b + RotateLeft(a + mixed + kSines[i] + words[index], kShifts[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

std::string HexText(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0f];
    }
    return hex;
}

}  // namespace

void Md5Init(Md5Context& context) {
    context.state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    context.bitCount = 0;
    context.buffer.fill(0);
}

void Md5Update(Md5Context& context, std::string_view bytes) {
    size_t used = size_t(context.bitCount / 8 % kBlockBytes);
    context.bitCount += uint64_t(bytes.size()) * 8;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t left = bytes.size();
    if (used > 0) {
        const size_t take = std::min(left, kBlockBytes - used);
        std::memcpy(context.buffer.data() + used, data, take);
        used += take;
        data += take;
        left -= take;
        if (used < kBlockBytes) return;
        TransformBlock(context.state, context.buffer.data());
    }
    for (; left >= kBlockBytes; left -= kBlockBytes, data += kBlockBytes) {
        TransformBlock(context.state, data);
    }
    if (left > 0) std::memcpy(context.buffer.data(), data, left);
}

std::string Md5Final(Md5Context& context) {
    const uint64_t bitCount = context.bitCount;
    size_t used = size_t(bitCount / 8 % kBlockBytes);
    // Padding: one 1 bit, zeros up to 56 bytes modulo 64, then the length.
    context.buffer[used++] = 0x80;
    if (used > kLengthOffset) {
        std::memset(context.buffer.data() + used, 0, kBlockBytes - used);
        TransformBlock(context.state, context.buffer.data());
        used = 0;
    }
    std::memset(context.buffer.data() + used, 0, kLengthOffset - used);
    for (size_t i = 0; i < 8; ++i) {
        context.buffer[kLengthOffset + i] = uint8_t(bitCount >> (8 * i));
    }
    TransformBlock(context.state, context.buffer.data());

    std::string digest(kDigestBytes, '\0');
    for (size_t i = 0; i < kDigestBytes; ++i) {
        digest[i] = char(uint8_t(context.state[i / 4] >> (8 * (i % 4))));
    }
    return digest;
}

std::string Md5Digest(std::string_view text) {
    Md5Context context;
    Md5Init(context);
    Md5Update(context, text);
    return Md5Final(context);
}

std::string Md5Hex(std::string_view text) {
    return HexText(Md5Digest(text));
}

std::string HmacMd5Hex(std::string_view text, std::string_view key) {
    std::string shortKey;
    if (key.size() > kBlockBytes) {
        shortKey = Md5Digest(key);
        key = shortKey;
    }
    std::string innerPad(kBlockBytes, '\x36');
    std::string outerPad(kBlockBytes, '\x5c');
    for (size_t i = 0; i < key.size(); ++i) {
        innerPad[i] = char(innerPad[i] ^ key[i]);
        outerPad[i] = char(outerPad[i] ^ key[i]);
    }
    Md5Context context;
    Md5Init(context);
    Md5Update(context, innerPad);
    Md5Update(context, text);
    const std::string inner = Md5Final(context);
    Md5Init(context);
    Md5Update(context, outerPad);
    Md5Update(context, inner);
    return HexText(Md5Final(context));
}
