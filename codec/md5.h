// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104) over byte strings, for the upstream
// logins that need them (APOP, CRAM-MD5, DIGEST-MD5). Texts may hold zero
// bytes; they are digested over their full length, with no conversion.
#pragma once

#include <string>
#include <string_view>

// Returns the 16 raw digest bytes of the text, as a 16-byte text; "" only
// when the crypto library has no MD5 (a FIPS-only configuration).
std::string Md5Digest(std::string_view text);

// Returns the digest of the text as 32 lower-case hexadecimal digits, in
// digest byte order, high nibble first; "" as for Md5Digest.
std::string Md5Hex(std::string_view text);

// Returns HMAC-MD5 of the text under the key as 32 lower-case hexadecimal
// digits; "" as for Md5Digest. Note the order: text first, key second. A key
// longer than the 64-byte block is replaced by its digest first.
std::string HmacMd5Hex(std::string_view text, std::string_view key);
