// Texts made fit for a page: every text that came from mail or from the
// user is escaped before it reaches HTML, and the program's code page 437
// and a stored message's raw bytes are turned into the page's UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "codec/code_page.h"  // OemToUtf8, which pages use with these

// Returns the UTF-8 text with & < > " ' replaced by their character
// references, fit for element content and quoted attribute values.
std::string EscapeHtml(std::string_view utf8);

// EscapeHtml(OemToUtf8(oem)): a text of the program, ready for a page.
std::string ShowOem(std::string_view oem);

// Returns bytes of unknown character set (a stored message's body) in UTF-8:
// as they are when they are valid UTF-8, else read as Windows-1252, the usual
// 8-bit set of mail, with its five unassigned bytes as U+FFFD.
std::string RawToUtf8(std::string_view bytes);

// Returns the text with every line end (CR LF, lone LF, lone CR) made CR LF,
// as the program's files are written.
std::string CrLfLines(std::string_view text);
