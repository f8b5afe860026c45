// Conversions into the console's code page 437, in which every text of the
// program is held. Each byte or character keeps its place: a NUL byte is
// converted like any other and never ends the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/problems.h"

// Returns the Windows-1252 text in code page 437. A character without a
// counterpart gets a best fit (an accented letter becomes the letter without
// its accent, a typographic quote or dash its plain form), else "?".
std::string AnsiToOem(std::string_view text);

// Returns the UTF-8 text in code page 437 with the same best fits; a
// character without counterpart or best fit, and every byte of a malformed
// sequence, becomes "?".
std::string Utf8ToOem(std::string_view text);

// Returns the code page 437 text in UTF-8, each byte as the character it
// shows (the bytes below 0x80 as they are).
std::string OemToUtf8(std::string_view text);

// Returns true when the text is well-formed UTF-8 throughout (ASCII
// included).
bool IsUtf8(std::string_view text);

// Returns the well-formed UTF-8 text in code page 437, each character as
// the one byte that shows it there (U+2126 OHM SIGN as omega), without best
// fits: a character the code page does not show becomes "?" and its code
// point is appended to `missing`.
std::string Utf8ToOemExact(std::string_view text, std::vector<uint32_t>& missing);

// Turns a file the user edits (kill file, address lists) into the code
// page when it was typed in a UTF-8 editor: `data` is the whole file. A file
// that is well-formed UTF-8 with a character beyond ASCII, or starts with a
// byte order mark, is converted by Utf8ToOemExact (the mark dropped); any
// other file is left as it is, so old code page files read as they always
// did (their marker bytes never form UTF-8). Returns one error for each line
// with a character the code page cannot show: "U+XXXX has no character in the
// filter's code page 437; " and `consequence`, under `fileName`.
Problems TakeUtf8File(std::string& data, std::string_view fileName, std::string_view consequence);

// TakeUtf8File for an address list (ACCESS.IP, TRAWLBOX.RBL), in the form
// AddressListFile::decode takes.
Problems TakeUtf8AddressList(std::string& data, std::string_view fileName);

// Returns the UTF-8 text fit to be shown on one line of a terminal: tab,
// CR and LF become a space; every other control character (C0, DEL, and
// the C1 characters U+0080..U+009F, which some terminals obey) and every
// byte of a malformed sequence becomes "?". Other characters are kept as
// they are.
std::string Utf8ForOneLine(std::string_view text);

// Returns the ISO-8859-15 text in Windows-1252: the eight characters in
// which the two differ are moved to their Windows-1252 places (or to a byte
// without counterpart there).
std::string Latin9ToAnsi(std::string_view text);
