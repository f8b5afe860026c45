// CRC-32 as zlib and PKZIP compute it (reflected polynomial 0xEDB88320,
// initial value all ones, final complement).
#pragma once

#include <cstdint>
#include <string_view>

// Returns the CRC-32 of the bytes; 0xCBF43926 for "123456789", 0 for "".
uint32_t Crc32(std::string_view bytes);
