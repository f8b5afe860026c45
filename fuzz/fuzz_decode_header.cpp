// Header decoding and the sender forms take any header value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codec/header_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string decoded = DecodeHeaderText(input);
    // Decoding never makes a value longer: every encoded word is longer
    // than what it stands for, and the code page conversion is 1:1.
    if (decoded.size() > size) abort();
    std::string address = AddressFirst(input);
    std::string name = NameFirst(input);
    if (address.size() > size + 3 || name.size() > size + 3) abort();
    return 0;
}
