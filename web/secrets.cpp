#include "web/secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <charconv>
#include <vector>

#include "codec/hex.h"

namespace {

constexpr size_t kSaltBytes = 16;  // 128 bits, as NIST asks of a PBKDF2 salt
constexpr size_t kHashBytes = 32;  // the digest size of SHA-256
// Bounds of the rounds a hash may name: fewer protect nothing, more would
// let a configuration stall every login for minutes.
constexpr int kMinIterations = 1000;
constexpr int kMaxIterations = 100000000;

// Returns the hex digits of PBKDF2-HMAC-SHA-256, or "" on failure.
std::string Derive(std::string_view password, std::string_view salt, int iterations) {
    unsigned char out[kHashBytes];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()),
                          static_cast<int>(salt.size()), iterations, EVP_sha256(), kHashBytes,
                          out) != 1) {
        return "";
    }
    return LowerHex(std::string_view(reinterpret_cast<const char*>(out), kHashBytes));
}

bool IsLowerHex(std::string_view text, size_t length) {
    if (text.size() != length) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace

std::string RandomHex(size_t count) {
    std::vector<unsigned char> bytes(count);
    if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) return "";
    return LowerHex(std::string_view(reinterpret_cast<const char*>(bytes.data()), count));
}

std::string MakePasswordHash(std::string_view password) {
    // The salt is used as its hex digits, which is how the hash writes it.
    std::string salt = RandomHex(kSaltBytes);
    if (salt.empty()) return "";
    std::string hash = Derive(password, salt, kPasswordIterations);
    if (hash.empty()) return "";
    return std::string(kPasswordHashPrefix) + std::to_string(kPasswordIterations) + "$" + salt +
           "$" + hash;
}

bool ReadPasswordSetting(std::string_view value, StoredPassword& stored, std::string& problem) {
    stored = StoredPassword();
    if (value.empty()) return true;
    if (!value.starts_with(kPasswordHashPrefix)) {
        std::string hashed = MakePasswordHash(value);
        if (hashed.empty()) {
            problem = "WebPassword: no random salt could be made";
            return false;
        }
        return ReadPasswordSetting(hashed, stored, problem);
    }
    std::string_view rest = value.substr(kPasswordHashPrefix.size());
    size_t first = rest.find('$');
    size_t second = first == std::string_view::npos ? first : rest.find('$', first + 1);
    int iterations = 0;
    if (second != std::string_view::npos) {
        auto [end, error] = std::from_chars(rest.data(), rest.data() + first, iterations);
        if (error != std::errc() || end != rest.data() + first) iterations = 0;
    }
    std::string_view salt = second == std::string_view::npos
                                ? std::string_view()
                                : rest.substr(first + 1, second - first - 1);
    std::string_view hash =
        second == std::string_view::npos ? std::string_view() : rest.substr(second + 1);
    if (iterations < kMinIterations || iterations > kMaxIterations ||
        !IsLowerHex(salt, 2 * kSaltBytes) || !IsLowerHex(hash, 2 * kHashBytes)) {
        problem =
            "WebPassword: not a password hash as `trawlbox` makes it "
            "(pbkdf2-sha256$ROUNDS$SALT$HASH)";
        return false;
    }
    stored.iterations = iterations;
    stored.salt = salt;
    stored.hash = hash;
    return true;
}

bool PasswordMatches(const StoredPassword& stored, std::string_view attempt) {
    if (!stored.IsSet()) return false;
    std::string derived = Derive(attempt, stored.salt, stored.iterations);
    return derived.size() == stored.hash.size() &&
           CRYPTO_memcmp(derived.data(), stored.hash.data(), derived.size()) == 0;
}
