#include "rpc/RpcPassword.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <charconv>
#include <cstdint>
#include <utility>

namespace velbrook {

namespace {

constexpr std::string_view kScheme = "pbkdf2-sha256";
constexpr int kMinIterations = 1000;
constexpr int kMaxIterations = 10000000;
constexpr size_t kHashBytes = 32;
constexpr size_t kSaltBytes = 16;
constexpr size_t kMaxSaltBytes = 64;

std::string Hex(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool FromHex(std::string_view text, std::string& bytes) {
    if (text.size() % 2 != 0) {
        return false;
    }
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]);
        const int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

std::string Derive(std::string_view password, std::string_view salt, int iterations) {
    std::string hash(kHashBytes, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()),
                          static_cast<int>(salt.size()), iterations, EVP_sha256(),
                          static_cast<int>(hash.size()),
                          reinterpret_cast<unsigned char*>(hash.data())) != 1) {
        return {};
    }
    return hash;
}

// The next '$'-separated field of `text`, taken off it.
std::string_view TakeField(std::string_view& text) {
    const size_t end = text.find('$');
    const std::string_view field = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return field;
}

}  // namespace

std::string HashRpcPassword(std::string_view password, int iterations) {
    unsigned char salt[kSaltBytes];
    if (RAND_bytes(salt, sizeof salt) != 1) {
        return {};
    }
    const std::string saltText(reinterpret_cast<const char*>(salt), sizeof salt);
    const std::string hash = Derive(password, saltText, iterations);
    if (hash.empty()) {
        return {};
    }
    return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + Hex(saltText) + "$" +
           Hex(hash);
}

bool ParseRpcPasswordHash(std::string_view stored, RpcPasswordHash& out) {
    if (TakeField(stored) != kScheme) {
        return false;
    }
    const std::string_view count = TakeField(stored);
    int iterations = 0;
    const auto [end, error] =
        std::from_chars(count.data(), count.data() + count.size(), iterations);
    if (count.empty() || error != std::errc() || end != count.data() + count.size() ||
        iterations < kMinIterations || iterations > kMaxIterations) {
        return false;
    }
    const std::string_view salt = TakeField(stored);
    const std::string_view hash = stored;
    if (hash.find('$') != std::string_view::npos || salt.empty() ||
        salt.size() > 2 * kMaxSaltBytes || hash.size() != 2 * kHashBytes) {
        return false;
    }
    RpcPasswordHash parsed;
    parsed.iterations = iterations;
    if (!FromHex(salt, parsed.salt) || !FromHex(hash, parsed.hash)) {
        return false;
    }
    out = std::move(parsed);
    return true;
}

bool CheckRpcPassword(std::string_view stored, std::string_view password) {
    RpcPasswordHash parsed;
    if (!ParseRpcPasswordHash(stored, parsed)) {
        return false;
    }
    const std::string hash = Derive(password, parsed.salt, parsed.iterations);
    return !hash.empty() && ConstantTimeEqual(hash, parsed.hash);
}

std::string RandomHex(size_t bytes) {
    std::string raw(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1) {
        return {};
    }
    return Hex(raw);
}

bool ConstantTimeEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

}  // namespace velbrook
