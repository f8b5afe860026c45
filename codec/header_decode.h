// Header values as the filter, the log and the kill report use them: RFC
// 2047 encoded words decoded, the text in the console's code page 437, and
// the sender in its two written forms.
#pragma once

#include <string>
#include <string_view>

// Returns the header value with every encoded word of a known character set
// (ISO-8859-1, ISO-8859-15, Windows-1252, UTF-8, each with or without an RFC
// 2231 language; "Q" or "B" encoding) decoded, left to right, and the whole
// value converted to code page 437. White space between two decoded words is
// dropped. Words of other character sets, and malformed words, stay as they
// are. Never fails; a NUL byte (from "=00") is kept, not treated as an end.
std::string DecodeHeaderText(std::string_view value);

// Returns the sender as "address (name)": from `"Name" <a@b>` gives
// "a@b (Name)", a bare address stays as it is, and "a@b (Name)" is returned
// unchanged. Returns the input unchanged on any internal fault.
std::string AddressFirst(std::string_view sender);

// Returns the sender as "name <address>": from "a@b (Name)" gives
// "Name <a@b>", from a bare address "<a@b>". Returns the input unchanged on
// any internal fault.
std::string NameFirst(std::string_view sender);
