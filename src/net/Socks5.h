// The client's side of a SOCKS5 proxy exchange (method choice, user name and password, CONNECT)
// as pure functions over bytes, shared by peer connections and tracker requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velbrook {

// How a connection reaches the far end: directly, or through a SOCKS5 proxy, with a user name
// and password when either is given. A connection takes a copy when it starts and keeps to it
// until it ends, so a change made meanwhile never switches the rules of an exchange half-way.
struct ProxyConfig {
    bool enabled = false;
    std::string host;
    uint16_t port = 0;
    std::string user;
    std::string password;

    bool WithPassword() const { return !user.empty() || !password.empty(); }
    bool operator==(const ProxyConfig&) const = default;
};

// Methods a greeting offers and the proxy chooses from.
inline constexpr uint8_t kSocks5NoAuth = 0x00;
inline constexpr uint8_t kSocks5UserPassword = 0x02;
inline constexpr uint8_t kSocks5NoAcceptable = 0xFF;

// Offers exactly one method: user name and password when `withPassword`, none otherwise.
std::string BuildSocks5Greeting(bool withPassword);
// False when the user name or the password is over 255 bytes: their lengths travel as one byte.
[[nodiscard]] bool BuildSocks5Auth(std::string_view user, std::string_view password,
                                   std::string& out);
// CONNECT to dotted IPv4 text; false when `address` is not that.
[[nodiscard]] bool BuildSocks5ConnectIPv4(std::string_view address, uint16_t port,
                                          std::string& out);
// CONNECT to a host name, which the proxy resolves; false for an empty name or one over 255
// bytes.
[[nodiscard]] bool BuildSocks5ConnectName(std::string_view host, uint16_t port, std::string& out);

enum class Socks5Status {
    NeedMore,   // the reply has not arrived whole yet
    Accepted,   // `length` bytes at the front are the reply
    Refused,    // the proxy said no; `code` is its answer
    Malformed,  // no proxy speaking SOCKS5 sends this
};

struct Socks5Reply {
    Socks5Status status = Socks5Status::NeedMore;
    // Once decided, the reply's size: 2 for the method and password replies; for a CONNECT reply
    // accepted, the size its bound address gives (IPv4 10, IPv6 22, a name 7 plus its length).
    // Whatever follows it is already the far end's data.
    size_t length = 0;
    // The method chosen (method reply), or the proxy's reason for refusing.
    uint8_t code = 0;
};

// Each reads the reply at the front of whatever has arrived so far, so a reply split over several
// reads is judged once it is whole.
// Accepted for the two methods a greeting can offer; any other choice (0xFF: none acceptable) is
// Refused with that choice as the code.
[[nodiscard]] Socks5Reply ParseSocks5MethodReply(std::string_view buffered);
// Refused with the proxy's status byte when it is not 0.
[[nodiscard]] Socks5Reply ParseSocks5AuthReply(std::string_view buffered);
// Refused with the reply byte when it is not 0 or the version is not 5; Malformed for an unknown
// address type.
[[nodiscard]] Socks5Reply ParseSocks5ConnectReply(std::string_view buffered);

}  // namespace velbrook
