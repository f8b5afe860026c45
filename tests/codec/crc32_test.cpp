#include "codec/crc32.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Crc32, KnownValues) {
    const struct {
        std::string bytes;
        uint32_t crc;
    } cases[] = {
        {"123456789", 0xCBF43926u},  // the check value of the zlib/PKZIP variant
        {"", 0x00000000u},
        {"a", 0xE8B7BE43u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
        {std::string(4, '\0'), 0x2144DF1Cu},  // zero bytes count
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Crc32(c.bytes), c.crc) << '"' << c.bytes << '"';
    }
}

}  // namespace
