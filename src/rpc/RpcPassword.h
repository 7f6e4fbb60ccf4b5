// The remote control's password as it is stored: a salted PBKDF2-HMAC-SHA-256 hash, written as
// "pbkdf2-sha256$ITERATIONS$SALT_HEX$HASH_HEX".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velbrook {

// Slow enough that a stolen settings file does not give the password away cheaply, fast enough
// for one login.
constexpr int kRpcPasswordIterations = 100000;

struct RpcPasswordHash {
    int iterations = 0;
    std::string salt;  // raw bytes
    std::string hash;  // raw bytes, 32 of them
};

// A fresh random salt each time, so equal passwords never store equal text.
std::string HashRpcPassword(std::string_view password, int iterations = kRpcPasswordIterations);

// False for anything but the stored form with sane bounds: a hand-edited iteration count in the
// billions would stall the loop at every login.
[[nodiscard]] bool ParseRpcPasswordHash(std::string_view stored, RpcPasswordHash& out);

// True when `password` hashes to `stored`; false too when `stored` cannot be parsed.
[[nodiscard]] bool CheckRpcPassword(std::string_view stored, std::string_view password);

// `bytes` random bytes from OpenSSL as hex digits, for ids and tokens a client must not guess;
// empty when the system has no randomness to give.
std::string RandomHex(size_t bytes);

// Compares in a time that depends only on the lengths, never on where the texts differ.
bool ConstantTimeEqual(std::string_view a, std::string_view b);

}  // namespace velbrook
