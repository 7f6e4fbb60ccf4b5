// Helpers for tests on 127.0.0.1: running the loop until something holds, and raw sockets that
// play the far end of the engine's connections (a peer, a tracker, a proxy) while the loop runs.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "net/Reactor.h"

namespace velbrook::test {

// Runs the loop until `done` holds; the bound only guards against a hang.
inline bool RunUntil(Reactor& reactor, const std::function<bool()>& done, int seconds = 15) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < end)
        reactor.RunOnce(5);
    return done();
}

inline void RunPasses(Reactor& reactor, int passes = 10) {
    for (int i = 0; i < passes; ++i)
        reactor.RunOnce(2);
}

// ::1 is there to bind to (a host may have IPv6 sockets and no IPv6 loopback).
inline bool LoopbackIPv6() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound =
        fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return bound;
}

inline sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// One accepted connection, read and written while the loop runs so the engine's side can move.
class FarEnd {
public:
    FarEnd(Reactor& reactor, int fd) : m_reactor(reactor), m_fd(fd) {}
    FarEnd(FarEnd&& other) noexcept
        : m_reactor(other.m_reactor), m_fd(std::exchange(other.m_fd, -1)) {}
    ~FarEnd() { ::close(m_fd); }  // -1 once moved from, which closes nothing
    // `size` bytes, or fewer when the other side closes first or `seconds` pass.
    std::string Read(size_t size, int seconds = 15) {
        return ReadWhile([size](const std::string& got) { return size - got.size(); }, seconds);
    }
    // Through the first `end` (an HTTP request's blank line, say), a byte at a time so that
    // nothing after it is taken; or all until a close.
    std::string ReadThrough(const std::string& end) {
        return ReadWhile([&](const std::string& got) {
            return got.find(end) == std::string::npos ? size_t{1} : size_t{0};
        });
    }
    // False once the other side is gone.
    bool Write(std::string_view bytes) {
        size_t sent = 0;
        ssize_t n = 0;
        RunUntil(m_reactor, [&] {
            n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            sent += n > 0 ? static_cast<size_t>(n) : 0;
            return sent == bytes.size() || (n < 0 && errno != EAGAIN);
        });
        return sent == bytes.size();
    }

private:
    // `wanted` says how many more bytes to read at most; 0 when done.
    std::string ReadWhile(const std::function<size_t(const std::string&)>& wanted,
                          int seconds = 15) {
        std::string got;
        char buffer[65536];
        RunUntil(
            m_reactor,
            [&] {
                ssize_t n = 1;
                size_t want = 0;
                while ((want = std::min(sizeof buffer, wanted(got))) > 0 &&
                       (n = ::recv(m_fd, buffer, want, MSG_DONTWAIT)) > 0) {
                    got.append(buffer, static_cast<size_t>(n));
                }
                return want == 0 || n == 0 || (n < 0 && errno != EAGAIN);
            },
            seconds);
        return got;
    }

    Reactor& m_reactor;
    int m_fd;
};

// A plain listening socket on 127.0.0.1 for the far end of outgoing connections.
class RawListener {
public:
    RawListener() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(m_fd, 5), 0);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~RawListener() { ::close(m_fd); }
    // The next accepted connection, or -1 when none came within 15 s of running `pump` (a proxy
    // in between may take that long under load).
    int Accept(const std::function<void()>& pump) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 0) == 1) {
                return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            }
            pump();
        }
        return -1;
    }
    int TakeConnection(Reactor& reactor) {
        return Accept([&reactor] { reactor.RunOnce(5); });
    }
    FarEnd Accept(Reactor& reactor) { return FarEnd(reactor, TakeConnection(reactor)); }
    int m_fd;
    uint16_t m_port = 0;
};

// A port that was free a moment ago: nobody listens there.
inline uint16_t FreePort() {
    return RawListener().m_port;
}

}  // namespace velbrook::test
