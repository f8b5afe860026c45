// The page's secrets: the password (the value of WebPassword= and the check
// of a login) and the random names of sessions and their form tokens.
//
// The configuration may hold the password as a salted hash made by
// MakePasswordHash ("pbkdf2-sha256$ITERATIONS$SALT$HASH", PBKDF2 with
// HMAC-SHA-256), so that reading the file does not give the password away. A
// plain password is accepted too, for a user who keeps the file private
// anyway; either way a login is checked the same way and takes as long.
#pragma once

#include <string>
#include <string_view>

// How a stored hash begins; a WebPassword= value beginning otherwise is a
// plain password.
inline constexpr std::string_view kPasswordHashPrefix = "pbkdf2-sha256$";

// The rounds of PBKDF2 for a new hash: the count recommended for
// HMAC-SHA-256 in 2023, about a third of a second per login here, which is
// nothing for a person and slows guessing from a stolen file.
inline constexpr int kPasswordIterations = 600000;

// A WebPassword= value ready to check logins against.
struct StoredPassword {
    int iterations = 0;
    std::string salt;  // as written in the hash (hex digits)
    std::string hash;  // as written in the hash (hex digits)
    bool IsSet() const { return !hash.empty(); }
};

// Returns the WebPassword= value that stores `password` hashed with a new
// random salt and kPasswordIterations rounds; "" when no random salt could be
// made.
std::string MakePasswordHash(std::string_view password);

// Reads a WebPassword= value: "" is no password (an unset StoredPassword), a
// value beginning with kPasswordHashPrefix a hash, anything else a plain
// password (hashed here with a new salt). Returns false, with `problem` for
// the user, when a hash is malformed or no salt could be made.
bool ReadPasswordSetting(std::string_view value, StoredPassword& stored, std::string& problem);

// Returns true when `attempt` is the password. Takes as long whatever part
// of it is wrong; false for an unset StoredPassword.
bool PasswordMatches(const StoredPassword& stored, std::string_view attempt);

// Returns `count` random bytes as lower-case hex digits, or "" when the
// system's random source failed.
std::string RandomHex(size_t count);
