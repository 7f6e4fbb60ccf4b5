// Dotted IPv4 text, as the socket layer connects to it without a name lookup: four decimal parts
// of 0..255 without leading zeros, and nothing else.
#pragma once

#include <arpa/inet.h>

#include <string>
#include <string_view>

namespace velbrook {

inline bool ParseDottedIPv4(std::string_view text, in_addr& parsed) {
    return text.size() < INET_ADDRSTRLEN && text.find('\0') == std::string_view::npos &&
           ::inet_pton(AF_INET, std::string(text).c_str(), &parsed) == 1;
}

inline bool IsDottedIPv4(std::string_view text) {
    in_addr parsed{};
    return ParseDottedIPv4(text, parsed);
}

}  // namespace velbrook
