#include "net/Address.h"

#include <ifaddrs.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace velbrook {

bool ParseIPv6(std::string_view text, in6_addr& parsed) {
    return text.size() < INET6_ADDRSTRLEN && text.find('\0') == std::string_view::npos &&
           ::inet_pton(AF_INET6, std::string(text).c_str(), &parsed) == 1;
}

bool IsIPv6(std::string_view text) {
    in6_addr parsed{};
    return ParseIPv6(text, parsed);
}

bool IsNumericAddress(std::string_view text) {
    return IsDottedIPv4(text) || IsIPv6(text);
}

std::string CanonicalAddress(std::string_view text) {
    SocketAddress address;
    std::string out;
    uint16_t port = 0;
    if (!ToSocketAddress(text, 0, AF_UNSPEC, address) || !FromSocketAddress(address, out, port)) {
        return {};
    }
    return out;
}

std::string AddressWithPort(const std::string& address, uint16_t port) {
    const bool bracket = address.find(':') != std::string::npos;
    return (bracket ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

bool ToSocketAddress(std::string_view text, uint16_t port, int family, SocketAddress& out) {
    out = {};
    in_addr v4{};
    in6_addr v6{};
    const bool isV4 = ParseDottedIPv4(text, v4);
    if (isV4 && family != AF_INET6) {
        auto& sin = reinterpret_cast<sockaddr_in&>(out.storage);
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        sin.sin_addr = v4;
        out.length = sizeof sin;
        return true;
    }
    if (isV4) {
        // IPv4-mapped, for a socket of both families.
        v6.s6_addr[10] = 0xFF;
        v6.s6_addr[11] = 0xFF;
        std::memcpy(&v6.s6_addr[12], &v4, sizeof v4);
    } else if (family == AF_INET || !ParseIPv6(text, v6)) {
        return false;
    }
    auto& sin6 = reinterpret_cast<sockaddr_in6&>(out.storage);
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(port);
    sin6.sin6_addr = v6;
    out.length = sizeof sin6;
    return true;
}

bool FromSocketAddress(const SocketAddress& in, std::string& address, uint16_t& port) {
    if (in.Family() == AF_INET6) {
        const auto& sin6 = reinterpret_cast<const sockaddr_in6&>(in.storage);
        if (IN6_IS_ADDR_V4MAPPED(&sin6.sin6_addr)) {
            char text[INET_ADDRSTRLEN] = {};
            if (!::inet_ntop(AF_INET, &sin6.sin6_addr.s6_addr[12], text, sizeof text)) {
                return false;
            }
            address = text;
            port = in.Port();
            return true;
        }
    }
    std::string text = in.AddressText();
    if (text.empty()) {
        return false;
    }
    address = std::move(text);
    port = in.Port();
    return true;
}

bool SocketAddress::FromText(std::string_view address, uint16_t port, SocketAddress& out) {
    return ToSocketAddress(address, port, AF_UNSPEC, out);
}

uint16_t SocketAddress::Port() const {
    switch (Family()) {
    case AF_INET:
        return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    case AF_INET6:
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    default:
        return 0;
    }
}

std::string SocketAddress::AddressText() const {
    char text[INET6_ADDRSTRLEN] = {};
    const void* address = nullptr;
    if (Family() == AF_INET) {
        address = &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr;
    } else if (Family() == AF_INET6) {
        address = &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr;
    }
    if (!address || !inet_ntop(Family(), address, text, sizeof text)) {
        return {};
    }
    return text;
}

std::string SocketAddress::Text() const {
    const std::string port = ":" + std::to_string(Port());
    return Family() == AF_INET6 ? "[" + AddressText() + "]" + port : AddressText() + port;
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    if (Family() != other.Family() || Port() != other.Port()) {
        return false;
    }
    if (Family() == AF_INET) {
        return reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in*>(&other.storage)->sin_addr.s_addr;
    }
    if (Family() == AF_INET6) {
        return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr,
                           &reinterpret_cast<const sockaddr_in6*>(&other.storage)->sin6_addr,
                           sizeof(in6_addr)) == 0;
    }
    return true;  // two empty addresses
}

bool HostHasIPv6() {
    static const bool has = [] {
        const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        ::close(fd);
        return true;
    }();
    return has;
}

bool IsGlobalIPv6(std::string_view text) {
    in6_addr parsed{};
    return ParseIPv6(text, parsed) && (parsed.s6_addr[0] & 0xE0) == 0x20;
}

std::string HostGlobalIPv6() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return {};
    }
    std::string found;
    for (const ifaddrs* each = list; each && found.empty(); each = each->ifa_next) {
        if (!each->ifa_addr || each->ifa_addr->sa_family != AF_INET6) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(each->ifa_addr);
        if (::inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof text) && IsGlobalIPv6(text)) {
            found = text;
        }
    }
    ::freeifaddrs(list);
    return found;
}

}  // namespace velbrook
