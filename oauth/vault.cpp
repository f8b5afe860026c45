#include "oauth/vault.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <utility>

#include "platform/clock.h"

namespace {

using Json = nlohmann::json;

constexpr const char* kFormatName = "trawlbox oauth2 vault";
constexpr int kFormatVersion = 1;
// Bound to every sealed entry with its account and expiry, so that an entry
// moved to another account, or given another expiry, no longer opens.
constexpr const char* kAssociatedPrefix = "trawlbox oauth2 vault 1\n";

// scrypt (RFC 7914) costs for new entries: about 32 MiB and a tenth of a
// second per login, which makes guessing a local password from a stolen
// vault slow while a login hardly notices it.
constexpr uint64_t kScryptN = 1 << 15;
constexpr uint64_t kScryptR = 8;
constexpr uint64_t kScryptP = 1;
// An entry asking for more work than this is not opened: a vault file must
// not be able to make a login exhaust the memory.
constexpr uint64_t kScryptMaxMemoryBytes = 128ULL * 1024 * 1024;
constexpr uint64_t kScryptMaxP = 4;
constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;    // AES-256
constexpr size_t kNonceBytes = 12;  // the GCM nonce size it is made for
constexpr size_t kTagBytes = 16;
// Room for a few thousand accounts; anything larger is not our file.
constexpr size_t kMaxVaultBytes = 8 * 1024 * 1024;
// Waits for the locks. An account is held by a refresh, which takes at most
// one HTTP request's total time-out plus two key derivations; the whole
// file only while it is read and replaced.
constexpr int kAccountWaitMs = kHttpTotalTimeoutMs + 15'000;
constexpr int kWriterWaitMs = 10'000;
// The lock file's byte 0 guards the vault file; each account locks one
// byte past it, chosen by a hash. Two accounts that share a byte merely
// wait for each other.
constexpr uint64_t kWriterLockByte = 0;
constexpr uint64_t kAccountLockBytes = 1 << 20;

struct SealedEntry {
    std::string account;
    int64_t expiresAt = 0;
    uint64_t n = 0, r = 0, p = 0;
    std::string salt, nonce, sealed;  // raw bytes; sealed = ciphertext then tag
};

// --- Base64 through the crypto library ---------------------------------------

std::string Encode64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()));
    text.resize(size_t(length));
    return text;
}

std::optional<std::string> Decode64(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string bytes(3 * (text.size() / 4) + 1, '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
    if (length < 0) return std::nullopt;
    // The block decoder counts the padding as zero bytes.
    size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    bytes.resize(size_t(length) - padding);
    return bytes;
}

// --- Sealing -------------------------------------------------------------------

class Key {
  public:
    ~Key() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
    unsigned char* data() { return bytes_.data(); }

  private:
    std::array<unsigned char, kKeyBytes> bytes_{};
};

bool ScryptCostAllowed(uint64_t n, uint64_t r, uint64_t p) {
    const bool powerOfTwo = n >= 2 && (n & (n - 1)) == 0;
    return powerOfTwo && r >= 1 && p >= 1 && p <= kScryptMaxP &&
           n <= kScryptMaxMemoryBytes / (128 * r);
}

bool DeriveKey(const std::string& password, const SealedEntry& entry, Key& key) {
    return EVP_PBE_scrypt(password.data(), password.size(),
                          reinterpret_cast<const unsigned char*>(entry.salt.data()),
                          entry.salt.size(), entry.n, entry.r, entry.p,
                          kScryptMaxMemoryBytes + 1024 * 1024, key.data(), kKeyBytes) == 1;
}

std::string AssociatedData(const std::string& account, int64_t expiresAt) {
    return kAssociatedPrefix + account + "\n" + std::to_string(expiresAt);
}

struct CipherDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using Cipher = std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter>;

// Runs AES-256-GCM one way over `input` into `output`. Encrypting appends
// the tag; decrypting takes it from the end of `input`. Returns false when
// the library fails or, decrypting, when the tag does not match.
bool RunGcm(bool encrypt, Key& key, const SealedEntry& entry, const std::string& input,
            std::string& output) {
    Cipher context(EVP_CIPHER_CTX_new());
    if (!context) return false;
    const auto* nonce = reinterpret_cast<const unsigned char*>(entry.nonce.data());
    const std::string associated = AssociatedData(entry.account, entry.expiresAt);
    const size_t bodyBytes = encrypt ? input.size() : input.size() - kTagBytes;
    output.assign(bodyBytes + (encrypt ? kTagBytes : 0), '\0');
    auto* out = reinterpret_cast<unsigned char*>(output.data());
    const auto* in = reinterpret_cast<const unsigned char*>(input.data());
    int length = 0;
    bool ok = EVP_CipherInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce,
                                encrypt ? 1 : 0) == 1 &&
              EVP_CipherUpdate(context.get(), nullptr, &length,
                               reinterpret_cast<const unsigned char*>(associated.data()),
                               int(associated.size())) == 1 &&
              EVP_CipherUpdate(context.get(), out, &length, in, int(bodyBytes)) == 1;
    if (ok && !encrypt) {
        ok = EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, int(kTagBytes),
                                 const_cast<unsigned char*>(in + bodyBytes)) == 1;
    }
    int tail = 0;
    ok = ok && EVP_CipherFinal_ex(context.get(), out + length, &tail) == 1;
    if (ok && encrypt) {
        ok = EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, int(kTagBytes),
                                 out + bodyBytes) == 1;
    }
    if (!ok) {
        OPENSSL_cleanse(output.data(), output.size());
        output.clear();
    }
    return ok;
}

// Every text of an entry is printable ASCII (tokens, URLs, ids, scopes):
// anything else is refused rather than stored altered.
bool EntryTextsUsable(const VaultEntry& entry) {
    const std::string* texts[] = {&entry.tokens.accessToken,   &entry.tokens.refreshToken,
                                  &entry.provider.deviceUrl,   &entry.provider.tokenUrl,
                                  &entry.provider.scope,       &entry.provider.clientId,
                                  &entry.provider.clientSecret};
    return std::all_of(std::begin(texts), std::end(texts), [](const std::string* text) {
        return std::all_of(text->begin(), text->end(),
                           [](char ch) { return ch >= 0x20 && ch < 0x7F; });
    });
}

Json PlainPayload(const VaultEntry& entry) {
    return Json{{"access_token", entry.tokens.accessToken},
                {"expires", entry.tokens.expiresAt},
                {"refresh_token", entry.tokens.refreshToken},
                {"device_url", entry.provider.deviceUrl},
                {"token_url", entry.provider.tokenUrl},
                {"scope", entry.provider.scope},
                {"client_id", entry.provider.clientId},
                {"client_secret", entry.provider.clientSecret}};
}

bool ReadPayload(const std::string& plain, VaultEntry& entry) {
    const Json payload = Json::parse(plain, nullptr, false);
    if (!payload.is_object()) return false;
    std::string* texts[] = {&entry.tokens.accessToken,   &entry.tokens.refreshToken,
                            &entry.provider.deviceUrl,   &entry.provider.tokenUrl,
                            &entry.provider.scope,       &entry.provider.clientId,
                            &entry.provider.clientSecret};
    const char* names[] = {"access_token", "refresh_token", "device_url",   "token_url",
                           "scope",        "client_id",     "client_secret"};
    for (size_t i = 0; i < std::size(names); ++i) {
        const auto found = payload.find(names[i]);
        if (found == payload.end() || !found->is_string()) return false;
        *texts[i] = found->get<std::string>();
    }
    const auto expires = payload.find("expires");
    if (expires == payload.end() || !expires->is_number_integer()) return false;
    entry.tokens.expiresAt = expires->get<int64_t>();
    return true;
}

// --- The file --------------------------------------------------------------------

// The member of a JSON object, or nullptr when it has none of that name.
const Json* Member(const Json& object, const char* name) {
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

std::string VaultText(const std::vector<SealedEntry>& entries) {
    Json accounts = Json::array();
    for (const SealedEntry& entry : entries) {
        accounts.push_back(Json{{"account", entry.account},
                                {"expires", entry.expiresAt},
                                {"kdf", "scrypt"},
                                {"n", entry.n},
                                {"r", entry.r},
                                {"p", entry.p},
                                {"salt", Encode64(entry.salt)},
                                {"nonce", Encode64(entry.nonce)},
                                {"sealed", Encode64(entry.sealed)}});
    }
    const Json vault{{"format", kFormatName}, {"version", kFormatVersion}, {"accounts", accounts}};
    return vault.dump(1) + "\n";
}

bool ReadSealedEntry(const Json& item, SealedEntry& entry) {
    if (!item.is_object()) return false;
    const auto text = [&item](const char* name) -> std::optional<std::string> {
        const auto found = item.find(name);
        if (found == item.end() || !found->is_string()) return std::nullopt;
        return found->get<std::string>();
    };
    const auto count = [&item](const char* name) -> std::optional<uint64_t> {
        const auto found = item.find(name);
        if (found == item.end() || !found->is_number_unsigned()) return std::nullopt;
        return found->get<uint64_t>();
    };
    const auto expires = item.find("expires");
    const std::optional<std::string> account = text("account"), kdf = text("kdf");
    const std::optional<uint64_t> n = count("n"), r = count("r"), p = count("p");
    std::optional<std::string> salt, nonce, sealed;
    if (const auto value = text("salt")) salt = Decode64(*value);
    if (const auto value = text("nonce")) nonce = Decode64(*value);
    if (const auto value = text("sealed")) sealed = Decode64(*value);
    if (!account || !TokenVault::AccountNameUsable(*account) || kdf != "scrypt" ||
        expires == item.end() || !expires->is_number_integer() || !n || !r || !p || !salt ||
        !nonce || !sealed || salt->size() < kSaltBytes || nonce->size() != kNonceBytes ||
        sealed->size() < kTagBytes) {
        return false;
    }
    entry = SealedEntry{*account, expires->get<int64_t>(), *n, *r, *p, *salt, *nonce, *sealed};
    return true;
}

VaultStatus ReadVault(const std::string& path, std::vector<SealedEntry>& entries,
                      std::string& failure) {
    entries.clear();
    std::string text;
    switch (ReadPrivateFile(path, kMaxVaultBytes, text, failure)) {
        case PrivateReadResult::kRead:
            break;
        case PrivateReadResult::kMissing:
            return VaultStatus::kOk;
        case PrivateReadResult::kTooLarge:
            failure = "the token vault " + path + " is larger than " +
                      std::to_string(kMaxVaultBytes) + " bytes";
            return VaultStatus::kDamaged;
        case PrivateReadResult::kFailed:
            return VaultStatus::kFileError;
    }
    const Json vault = Json::parse(text, nullptr, false);
    const Json* accounts = vault.is_object() ? Member(vault, "accounts") : nullptr;
    const Json* format = vault.is_object() ? Member(vault, "format") : nullptr;
    const Json* version = vault.is_object() ? Member(vault, "version") : nullptr;
    bool usable = format != nullptr && *format == kFormatName && version != nullptr &&
                  *version == kFormatVersion && accounts != nullptr && accounts->is_array();
    for (size_t i = 0; usable && i < accounts->size(); ++i) {
        entries.emplace_back();
        usable = ReadSealedEntry((*accounts)[i], entries.back());
    }
    if (!usable) {
        entries.clear();
        failure = "the token vault " + path + " is damaged or not a vault of this program";
        return VaultStatus::kDamaged;
    }
    return VaultStatus::kOk;
}

std::vector<SealedEntry>::iterator FindEntry(std::vector<SealedEntry>& entries,
                                             const std::string& account) {
    return std::find_if(entries.begin(), entries.end(),
                        [&account](const SealedEntry& entry) { return entry.account == account; });
}

// Changes the vault file under the writers' lock: reads it, lets `change`
// alter the entries (it returns kOk, or what to return instead) and
// replaces the file. Returns kOk or the first failure, the file then as it was.
template <typename Change>
VaultStatus Rewrite(const std::string& path, const std::string& lockPath, std::string& failure,
                    Change change) {
    FileByteLock writer;
    switch (writer.Acquire(lockPath, kWriterLockByte, kWriterWaitMs, failure)) {
        case FileByteLock::Result::kLocked:
            break;
        case FileByteLock::Result::kBusy:
            failure = "the token vault stayed locked by another writer";
            return VaultStatus::kBusy;
        case FileByteLock::Result::kFailed:
            return VaultStatus::kFileError;
    }
    std::vector<SealedEntry> entries;
    VaultStatus status = ReadVault(path, entries, failure);
    if (status == VaultStatus::kOk) status = change(entries);
    if (status != VaultStatus::kOk) return status;
    return ReplacePrivateFile(path, VaultText(entries), failure) ? VaultStatus::kOk
                                                                 : VaultStatus::kFileError;
}

// --- This process's share of an account's lock -----------------------------------
// The accounts claimed by some thread of this process, each named by its
// vault directory and account. Claims are polled, as the file lock is.

struct Claims {
    std::mutex mutex;
    std::set<std::string> names;
};

Claims& ClaimsOfThisProcess() {
    static Claims claims;
    return claims;
}

// How often a claimed account is tried again while waiting for it.
constexpr int kClaimRetryMs = 20;

std::string ClaimName(const std::string& directory, const std::string& account) {
    return directory + '\0' + account;
}

bool Claim(const std::string& name, int waitMilliseconds) {
    const int64_t deadline = MonotonicMilliseconds() + waitMilliseconds;
    for (;;) {
        {
            Claims& claims = ClaimsOfThisProcess();
            std::lock_guard<std::mutex> guard(claims.mutex);
            if (claims.names.insert(name).second) return true;
        }
        if (MonotonicMilliseconds() >= deadline) return false;
        SleepMilliseconds(kClaimRetryMs);
    }
}

void Unclaim(const std::string& name) {
    Claims& claims = ClaimsOfThisProcess();
    std::lock_guard<std::mutex> guard(claims.mutex);
    claims.names.erase(name);
}

// FNV-1a: the same account gets the same byte in every process.
uint64_t AccountLockByte(const std::string& account) {
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char ch : account) hash = (hash ^ ch) * 1099511628211ULL;
    return 1 + hash % kAccountLockBytes;
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

AccountLock::~AccountLock() {
    Release();
}

AccountLock::AccountLock(AccountLock&& other) noexcept
    : directory_(std::move(other.directory_)),
      account_(std::move(other.account_)),
      claimed_(std::exchange(other.claimed_, false)),
      fileLock_(std::move(other.fileLock_)) {}

AccountLock& AccountLock::operator=(AccountLock&& other) noexcept {
    if (this != &other) {
        Release();
        directory_ = std::move(other.directory_);
        account_ = std::move(other.account_);
        claimed_ = std::exchange(other.claimed_, false);
        fileLock_ = std::move(other.fileLock_);
    }
    return *this;
}

void AccountLock::Release() {
    fileLock_.Release();
    if (claimed_) Unclaim(ClaimName(directory_, account_));
    claimed_ = false;
}

TokenVault::TokenVault(std::string directory)
    : directory_(WithoutTrailingSlashes(std::move(directory))),
      path_(directory_ + "/" + kVaultFileName),
      lockPath_(directory_ + "/" + kVaultLockFileName) {}

bool TokenVault::AccountNameUsable(const std::string& account) {
    const size_t mark = account.find('#');
    return !account.empty() && account.size() <= kMaxVaultAccountBytes && mark != 0 &&
           mark != std::string::npos && mark + 1 < account.size() &&
           std::all_of(account.begin(), account.end(),
                       [](char ch) { return ch > 0x20 && ch < 0x7F; });
}

VaultStatus TokenVault::LockAccount(const std::string& account, AccountLock& lock,
                                    std::string& failure) const {
    lock.Release();
    if (!AccountNameUsable(account)) {
        failure = "not an account name of the form HOST#ACCOUNT";
        return VaultStatus::kRefused;
    }
    if (!EnsurePrivateDirectory(directory_, failure)) return VaultStatus::kFileError;
    const int64_t waitStart = MonotonicMilliseconds();
    if (!Claim(ClaimName(directory_, account), kAccountWaitMs)) {
        failure = "the account " + account + " stayed locked by another session";
        return VaultStatus::kBusy;
    }
    lock.directory_ = directory_;
    lock.account_ = account;
    lock.claimed_ = true;
    const int waited = int(MonotonicMilliseconds() - waitStart);
    switch (lock.fileLock_.Acquire(lockPath_, AccountLockByte(account),
                                   std::max(0, kAccountWaitMs - waited), failure)) {
        case FileByteLock::Result::kLocked:
            return VaultStatus::kOk;
        case FileByteLock::Result::kBusy:
            lock.Release();
            failure = "the account " + account + " stayed locked by another process";
            return VaultStatus::kBusy;
        case FileByteLock::Result::kFailed:
            break;
    }
    lock.Release();
    return VaultStatus::kFileError;
}

bool TokenVault::LockedHere(const AccountLock& lock) const {
    return lock.IsHeld() && lock.directory_ == directory_;
}

VaultStatus TokenVault::Store(const AccountLock& lock, const std::string& password,
                              const VaultEntry& entry, std::string& failure) {
    if (!LockedHere(lock)) {
        failure = "the account is not locked in this vault";
        return VaultStatus::kRefused;
    }
    if (password.empty() || !EntryTextsUsable(entry)) {
        failure = password.empty() ? "an empty local password cannot seal tokens"
                                   : "a token, URL, id or scope holds a character that is not "
                                     "printable ASCII";
        return VaultStatus::kRefused;
    }
    SealedEntry sealed{lock.account(),
                       entry.tokens.expiresAt,
                       kScryptN,
                       kScryptR,
                       kScryptP,
                       std::string(kSaltBytes, '\0'),
                       std::string(kNonceBytes, '\0'),
                       {}};
    std::string plain = PlainPayload(entry).dump();
    Key key;
    const bool done =
        RAND_bytes(reinterpret_cast<unsigned char*>(sealed.salt.data()), int(kSaltBytes)) == 1 &&
        RAND_bytes(reinterpret_cast<unsigned char*>(sealed.nonce.data()), int(kNonceBytes)) == 1 &&
        DeriveKey(password, sealed, key) && RunGcm(true, key, sealed, plain, sealed.sealed);
    OPENSSL_cleanse(plain.data(), plain.size());
    if (!done) {
        failure = "the tokens could not be sealed";
        return VaultStatus::kFileError;
    }

    return Rewrite(path_, lockPath_, failure, [&](std::vector<SealedEntry>& entries) {
        const auto existing = FindEntry(entries, lock.account());
        if (existing != entries.end()) {
            *existing = std::move(sealed);
        } else {
            entries.push_back(std::move(sealed));
            std::sort(entries.begin(), entries.end(),
                      [](const auto& a, const auto& b) { return a.account < b.account; });
        }
        return VaultStatus::kOk;
    });
}

VaultStatus TokenVault::Unseal(const std::string& account, const std::string& password,
                               VaultEntry& entry, std::string& failure) const {
    entry = VaultEntry{};
    if (!AccountNameUsable(account) || password.empty()) {
        failure = password.empty() ? "no local password given"
                                   : "not an account name of the form HOST#ACCOUNT";
        return VaultStatus::kRefused;
    }
    std::vector<SealedEntry> entries;
    const VaultStatus read = ReadVault(path_, entries, failure);
    if (read != VaultStatus::kOk) return read;
    const auto found = FindEntry(entries, account);
    if (found == entries.end()) {
        failure = "no tokens stored for " + account;
        return VaultStatus::kNoEntry;
    }
    if (!ScryptCostAllowed(found->n, found->r, found->p)) {
        failure = "the token vault entry of " + account + " asks for an unreasonable key cost";
        return VaultStatus::kDamaged;
    }
    Key key;
    std::string plain;
    if (!DeriveKey(password, *found, key)) {
        failure = "the key of " + account + " could not be derived";
        return VaultStatus::kFileError;
    }
    if (!RunGcm(false, key, *found, found->sealed, plain)) {
        failure = "wrong local password for " + account;
        return VaultStatus::kWrongPassword;
    }
    const bool readable = ReadPayload(plain, entry);
    OPENSSL_cleanse(plain.data(), plain.size());
    if (!readable || entry.tokens.expiresAt != found->expiresAt) {
        entry = VaultEntry{};
        failure = "the token vault entry of " + account + " is damaged";
        return VaultStatus::kDamaged;
    }
    return VaultStatus::kOk;
}

VaultStatus TokenVault::List(std::vector<VaultListing>& listing, std::string& failure) const {
    listing.clear();
    std::vector<SealedEntry> entries;
    const VaultStatus read = ReadVault(path_, entries, failure);
    if (read != VaultStatus::kOk) return read;
    for (const SealedEntry& entry : entries) listing.push_back({entry.account, entry.expiresAt});
    std::sort(listing.begin(), listing.end(),
              [](const VaultListing& a, const VaultListing& b) { return a.account < b.account; });
    return VaultStatus::kOk;
}

VaultStatus TokenVault::Remove(const AccountLock& lock, std::string& failure) {
    if (!LockedHere(lock)) {
        failure = "the account is not locked in this vault";
        return VaultStatus::kRefused;
    }
    return Rewrite(path_, lockPath_, failure, [&](std::vector<SealedEntry>& entries) {
        const auto found = FindEntry(entries, lock.account());
        if (found == entries.end()) {
            failure = "no tokens stored for " + lock.account();
            return VaultStatus::kNoEntry;
        }
        entries.erase(found);
        return VaultStatus::kOk;
    });
}
