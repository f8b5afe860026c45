// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104) over byte strings, for the upstream
// logins that need them (APOP, CRAM-MD5, DIGEST-MD5). Texts may hold zero
// bytes; they are digested over their full length, with no conversion.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// A streaming digest: Md5Init, any number of Md5Update calls, Md5Final. Each
// context belongs to one computation; nothing is shared between contexts.
struct Md5Context {
    std::array<uint32_t, 4> state;   // A, B, C, D
    uint64_t bitCount;               // bits fed so far, modulo 2^64
    std::array<uint8_t, 64> buffer;  // the block being filled
};

// Sets the context to the initial state of RFC 1321.
void Md5Init(Md5Context& context);

// Feeds the bytes into the context.
void Md5Update(Md5Context& context, std::string_view bytes);

// Pads, finishes and returns the 16 digest bytes as a 16-byte text. The
// context must be initialised again before further use.
std::string Md5Final(Md5Context& context);

// Returns the 16 raw digest bytes of the text, as a 16-byte text.
std::string Md5Digest(std::string_view text);

// Returns the digest of the text as 32 lower-case hexadecimal digits, in
// digest byte order, high nibble first.
std::string Md5Hex(std::string_view text);

// Returns HMAC-MD5 of the text under the key as 32 lower-case hexadecimal
// digits. Note the order: text first, key second. A key longer than the
// 64-byte block is replaced by its digest first.
std::string HmacMd5Hex(std::string_view text, std::string_view key);
