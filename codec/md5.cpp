#include "codec/md5.h"

#include <climits>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "codec/hex.h"

namespace {

const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

std::string Md5Digest(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) return {};
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Md5Hex(std::string_view text) {
    return LowerHex(Md5Digest(text));
}

std::string HmacMd5Hex(std::string_view text, std::string_view key) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // HMAC takes the key length as an int; a key beyond that is no login's.
    if (key.size() > size_t(INT_MAX)) return {};
    if (HMAC(EVP_md5(), key.data(), int(key.size()), Bytes(text), text.size(), digest, &length) ==
        nullptr) {
        return {};
    }
    return LowerHex(std::string_view(reinterpret_cast<const char*>(digest), length));
}
