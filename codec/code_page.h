// Conversions into the console's code page 437, in which every text of the
// program is held. Each byte or character keeps its place: a NUL byte is
// converted like any other and never ends the text.
#pragma once

#include <string>
#include <string_view>

// Returns the Windows-1252 text in code page 437. A character without a
// counterpart gets a best fit (an accented letter becomes the letter without
// its accent, a typographic quote or dash its plain form), else "?".
std::string AnsiToOem(std::string_view text);

// Returns the UTF-8 text in code page 437 with the same best fits; a
// character without counterpart or best fit, and every byte of a malformed
// sequence, becomes "?".
std::string Utf8ToOem(std::string_view text);

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
