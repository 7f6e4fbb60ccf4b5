#include "rpc/HttpGuards.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cstdint>
#include <string>

namespace velbrook {

namespace {

// Far above any real header; a longer one is refused before it is decoded.
constexpr size_t kMaxCredentials = 4096;

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool IsDigits(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

struct Authority {
    std::string host;  // lower case; an IPv6 literal without its brackets
    std::string port;  // empty when none was given
    bool bracketed = false;
};

// "host", "host:port", "[v6]", "[v6]:port"; false for anything else.
bool SplitAuthority(std::string_view text, Authority& out) {
    text = Trim(text);
    if (text.empty()) {
        return false;
    }
    std::string_view host;
    std::string_view rest;
    if (text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        out.bracketed = true;
    } else {
        const size_t colon = text.find(':');
        host = text.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    }
    if (!rest.empty()) {
        if (rest.front() != ':' || !IsDigits(rest.substr(1))) {
            return false;
        }
        out.port = std::string(rest.substr(1));
    }
    if (host.empty()) {
        return false;
    }
    for (const char c : host) {
        const auto byte = static_cast<unsigned char>(c);
        if (!(std::isalnum(byte) || c == '-' || c == '.' || (out.bracketed && c == ':'))) {
            return false;
        }
    }
    out.host = Lower(host);
    return true;
}

bool IsIPv4(const std::string& text) {
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool IsIPv6(const std::string& text) {
    in6_addr address{};
    return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

bool DecodeBase64(std::string_view text, std::string& bytes) {
    while (!text.empty() && text.back() == '=') {
        text.remove_suffix(1);
    }
    bytes.clear();
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const int value = Base64Value(c);
        if (value < 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return count < 6;  // a lone trailing character carries no whole byte
}

}  // namespace

bool IsLoopbackBind(std::string_view address) {
    const std::string text = Lower(Trim(address));
    if (text == "localhost" || text == "::1" || text == "[::1]") {
        return true;
    }
    in_addr v4{};
    return inet_pton(AF_INET, text.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool IsAllowedHost(std::string_view host, std::string_view whitelist) {
    Authority authority;
    if (!SplitAuthority(host, authority)) {
        return false;
    }
    if (authority.bracketed) {
        return IsIPv6(authority.host);
    }
    if (authority.host == "localhost" || authority.host == "localhost." || IsIPv4(authority.host)) {
        return true;
    }
    while (!whitelist.empty()) {
        const size_t comma = whitelist.find(',');
        const std::string_view name = Trim(whitelist.substr(0, comma));
        whitelist.remove_prefix(comma == std::string_view::npos ? whitelist.size() : comma + 1);
        if (!name.empty() && Lower(name) == authority.host) {
            return true;
        }
    }
    return false;
}

bool OriginMatchesHost(std::string_view origin, std::string_view host) {
    origin = Trim(origin);
    const size_t scheme = origin.find("://");
    if (scheme == std::string_view::npos) {
        return false;  // "null" among others: a sandboxed or local page
    }
    const std::string name = Lower(origin.substr(0, scheme));
    if (name != "http" && name != "https") {
        return false;
    }
    Authority from;
    Authority to;
    if (!SplitAuthority(origin.substr(scheme + 3), from) || !SplitAuthority(host, to)) {
        return false;
    }
    const std::string implied = name == "https" ? "443" : "80";
    return from.host == to.host && from.bracketed == to.bracketed &&
           (from.port.empty() ? implied : from.port) == (to.port.empty() ? implied : to.port);
}

bool ParseBasicAuthorization(std::string_view header, std::string& user, std::string& password) {
    header = Trim(header);
    const size_t space = header.find(' ');
    if (space == std::string_view::npos || Lower(header.substr(0, space)) != "basic") {
        return false;
    }
    const std::string_view encoded = Trim(header.substr(space + 1));
    std::string decoded;
    if (encoded.size() > kMaxCredentials || !DecodeBase64(encoded, decoded)) {
        return false;
    }
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

}  // namespace velbrook
