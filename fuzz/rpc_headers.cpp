// Fuzz target: the remote control's header checks and its stored password text. The first byte
// picks the check; the rest is the header (a newline splits it from a second value).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rpc/HttpGuards.h"
#include "rpc/RpcPassword.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t newline = text.find('\n');
    const std::string_view first = text.substr(0, newline);
    const std::string_view second =
        newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    switch (data[0] % 4) {
    case 0:
        // A host a request may be sent to is also one its own page may come from.
        if (velbrook::IsAllowedHost(first, second) &&
            first.find_first_of("@/?#") != std::string_view::npos) {
            std::abort();
        }
        break;
    case 1:
        if (velbrook::OriginMatchesHost(first, second) &&
            !velbrook::OriginMatchesHost(first, second)) {
            std::abort();
        }
        break;
    case 2: {
        std::string user;
        std::string password;
        if (velbrook::ParseBasicAuthorization(first, user, password) &&
            (user.find(':') != std::string::npos || user.size() + password.size() > first.size())) {
            std::abort();
        }
        break;
    }
    default: {
        velbrook::RpcPasswordHash parsed;
        // Whatever parses is cheap enough to check at a login.
        if (velbrook::ParseRpcPasswordHash(text, parsed) &&
            (parsed.iterations > 10000000 || parsed.hash.size() != 32 || parsed.salt.empty())) {
            std::abort();
        }
        break;
    }
    }
    return 0;
}
