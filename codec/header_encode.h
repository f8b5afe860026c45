// Header text for messages the program writes itself (RFC 2047).
#pragma once

#include <string>
#include <string_view>

// Returns the UTF-8 text fit for a header phrase (a display name, a
// subject): printable ASCII as it is; anything else as RFC 2047 "B"
// encoded-words in UTF-8, each at most 75 characters and holding whole
// characters, joined by a fold ("\n "). A malformed sequence is encoded as
// its bytes; no text is refused.
std::string EncodedHeaderText(std::string_view utf8);
