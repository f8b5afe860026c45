// Base64 of RFC 4648, standard alphabet, "=" padding.
#pragma once

#include <string>
#include <string_view>

// Returns the encoding, padded with "=" to a multiple of 4, without line breaks.
std::string Base64Encode(std::string_view bytes);

// Returns the decoded bytes. Characters outside the alphabet ("=", CR, LF,
// spaces, anything) are skipped wherever they stand; a final group of 2 or 3
// characters gives 1 or 2 bytes, a single leftover character nothing.
std::string Base64Decode(std::string_view text);
