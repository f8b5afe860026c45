// Base64Decode takes any bytes; encoding then decoding gives the input back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codec/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string decoded = Base64Decode(input);
    if (decoded.size() > size) abort();
    std::string encoded = Base64Encode(input);
    if (encoded.size() != (size + 2) / 3 * 4) abort();
    if (Base64Decode(encoded) != input) abort();
    return 0;
}
