// Secrets kept off the console and out of the log. Protocol lines are shown
// on the console (DEBUGLINE) and may reach the log; the passwords, digests,
// SASL responses and bearer tokens in them are shown as kSecretMask there,
// for the client's leg and the server's alike.
#pragma once

#include <string>
#include <string_view>

// What stands in for a secret wherever a line is shown.
inline constexpr std::string_view kSecretMask = "***";

// Returns the line as it may be shown. A command that carries a secret keeps
// its command words and loses the rest: "PASS ***", "APOP user ***", "AUTH
// PLAIN ***" (an initial response), "AUTHINFO PASS ***", "AUTHINFO SASL
// PLAIN ***"; commands are found without regard to case, and a command
// without its secret part is shown as it is. With `inSaslExchange` (the line
// belongs to a SASL exchange under way), every other line is a challenge or
// a response and is shown as "+ ***" (a POP3 continuation), "383 ***" (a
// news continuation) or "***"; only a final reply ("+OK", "-ERR", or a news
// reply code other than 383) is shown as it is. Any other line is returned
// unchanged.
std::string ShownLine(std::string_view line, bool inSaslExchange = false);
