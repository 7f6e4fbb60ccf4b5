// Numeric addresses of either family as the socket layer takes them: dotted IPv4 text, IPv6 text
// as inet_ntop writes it (no brackets), and the sockaddr forms behind them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace velbrook {

// Four decimal parts of 0..255 without leading zeros, and nothing else.
inline bool ParseDottedIPv4(std::string_view text, in_addr& parsed) {
    return text.size() < INET_ADDRSTRLEN && text.find('\0') == std::string_view::npos &&
           ::inet_pton(AF_INET, std::string(text).c_str(), &parsed) == 1;
}

inline bool IsDottedIPv4(std::string_view text) {
    in_addr parsed{};
    return ParseDottedIPv4(text, parsed);
}

// IPv6 text without brackets or a zone.
bool ParseIPv6(std::string_view text, in6_addr& parsed);
bool IsIPv6(std::string_view text);
// Either family.
bool IsNumericAddress(std::string_view text);

// The address in its one canonical text: an IPv4-mapped IPv6 address becomes dotted IPv4, other
// IPv6 addresses are written as inet_ntop writes them. Empty when `text` is not numeric.
std::string CanonicalAddress(std::string_view text);

// "address:port", with IPv6 in brackets: how a peer is named in keys, views and logs.
std::string AddressWithPort(const std::string& address, uint16_t port);

// A socket address of either family.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;  // 0: no address

    // Numeric text only: dotted IPv4 or IPv6 (without brackets). False for anything else.
    [[nodiscard]] static bool FromText(std::string_view address, uint16_t port, SocketAddress& out);
    int Family() const { return length ? storage.ss_family : AF_UNSPEC; }
    uint16_t Port() const;
    // "1.2.3.4" or "::1".
    std::string AddressText() const;
    // "1.2.3.4:80" or "[::1]:80".
    std::string Text() const;
    // Same family, address and port (an IPv6 flow label or scope does not count).
    bool operator==(const SocketAddress& other) const;
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* Get() { return reinterpret_cast<sockaddr*>(&storage); }
};

// Numeric text and a port. `family` AF_INET6 writes an IPv4 address as IPv4-mapped (for a
// dual-stack socket); AF_UNSPEC keeps the text's own family.
[[nodiscard]] bool ToSocketAddress(std::string_view text, uint16_t port, int family,
                                   SocketAddress& out);
// The other way; an IPv4-mapped address comes back as dotted IPv4.
[[nodiscard]] bool FromSocketAddress(const SocketAddress& in, std::string& address, uint16_t& port);

// The host can open IPv6 sockets at all (checked once).
bool HostHasIPv6();

// A global unicast IPv6 address (2000::/3): one that peers elsewhere can reach us at.
bool IsGlobalIPv6(std::string_view text);
// The first such address of the host's interfaces; empty when it has none.
std::string HostGlobalIPv6();

}  // namespace velbrook
