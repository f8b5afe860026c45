// Bytes written as hexadecimal digits, as digests and nonces are sent.
#pragma once

#include <string>
#include <string_view>

// Returns two lower-case hexadecimal digits per byte, high nibble first, in
// byte order; "" for "".
std::string LowerHex(std::string_view bytes);
