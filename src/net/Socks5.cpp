#include "net/Socks5.h"

#include "net/Address.h"

namespace velbrook {

namespace {

constexpr char kVersion = 0x05;
constexpr char kAuthVersion = 0x01;
constexpr char kConnect = 0x01;
constexpr uint8_t kAddressIPv4 = 0x01;
constexpr uint8_t kAddressName = 0x03;
constexpr uint8_t kAddressIPv6 = 0x04;
// Every name and credential travels behind a one-byte length.
constexpr size_t kMaxField = 255;
constexpr size_t kShortReply = 2;

uint8_t Byte(std::string_view bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]);
}

void AppendPort(std::string& out, uint16_t port) {
    out += static_cast<char>(port >> 8);
    out += static_cast<char>(port & 0xFF);
}

Socks5Reply Decided(Socks5Status status, size_t length, uint8_t code) {
    Socks5Reply reply;
    reply.status = status;
    reply.length = length;
    reply.code = code;
    return reply;
}

}  // namespace

std::string BuildSocks5Greeting(bool withPassword) {
    return {kVersion, 1, static_cast<char>(withPassword ? kSocks5UserPassword : kSocks5NoAuth)};
}

bool BuildSocks5Auth(std::string_view user, std::string_view password, std::string& out) {
    if (user.size() > kMaxField || password.size() > kMaxField) {
        return false;
    }
    out.assign(1, kAuthVersion);
    out += static_cast<char>(user.size());
    out += user;
    out += static_cast<char>(password.size());
    out += password;
    return true;
}

bool BuildSocks5ConnectIPv4(std::string_view address, uint16_t port, std::string& out) {
    in_addr parsed{};
    if (!ParseDottedIPv4(address, parsed)) {
        return false;
    }
    out.assign({kVersion, kConnect, 0, static_cast<char>(kAddressIPv4)});
    out.append(reinterpret_cast<const char*>(&parsed), sizeof parsed);
    AppendPort(out, port);
    return true;
}

bool BuildSocks5ConnectName(std::string_view host, uint16_t port, std::string& out) {
    if (host.empty() || host.size() > kMaxField) {
        return false;
    }
    out.assign({kVersion, kConnect, 0, static_cast<char>(kAddressName)});
    out += static_cast<char>(host.size());
    out += host;
    AppendPort(out, port);
    return true;
}

Socks5Reply ParseSocks5MethodReply(std::string_view buffered) {
    if (buffered.size() < kShortReply) {
        return {};
    }
    const uint8_t method = Byte(buffered, 1);
    const bool known = method == kSocks5NoAuth || method == kSocks5UserPassword;
    return Decided(known ? Socks5Status::Accepted : Socks5Status::Refused, kShortReply, method);
}

Socks5Reply ParseSocks5AuthReply(std::string_view buffered) {
    if (buffered.size() < kShortReply) {
        return {};
    }
    const uint8_t status = Byte(buffered, 1);
    return Decided(status == 0 ? Socks5Status::Accepted : Socks5Status::Refused, kShortReply,
                   status);
}

Socks5Reply ParseSocks5ConnectReply(std::string_view buffered) {
    if (buffered.size() < 2) {
        return {};
    }
    if (buffered[0] != kVersion || Byte(buffered, 1) != 0) {
        return Decided(Socks5Status::Refused, 0, Byte(buffered, 1));
    }
    if (buffered.size() < 4) {
        return {};
    }
    // Version, reply, reserved, address type, the bound address, its port.
    size_t length = 0;
    switch (Byte(buffered, 3)) {
    case kAddressIPv4:
        length = 4 + 4 + 2;
        break;
    case kAddressIPv6:
        length = 4 + 16 + 2;
        break;
    case kAddressName:
        if (buffered.size() < 5) {
            return {};
        }
        length = 4 + 1 + size_t{Byte(buffered, 4)} + 2;
        break;
    default:
        return Decided(Socks5Status::Malformed, 0, 0);
    }
    if (buffered.size() < length) {
        return {};
    }
    return Decided(Socks5Status::Accepted, length, 0);
}

}  // namespace velbrook
