// Dates of mail headers (RFC 5322 3.3, with the obsolete forms of 4.3 that
// real mail still carries): how old a message is by its Date line.
#pragma once

#include <cstdint>
#include <string_view>

// Returns the whole days from the date text (a Date header's value, with its
// zone; the obsolete zone names, two- and three-digit years and comments
// count too) to `nowUnixSeconds` (seconds since 1970-01-01 UTC); 0 when the
// text cannot be read or lies in the future.
int64_t AgeInDays(std::string_view dateText, int64_t nowUnixSeconds);
