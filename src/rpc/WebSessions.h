// The web page's logins: each is a random token the browser keeps in a cookie. A token is good
// until its owner logs out, it lies unused too long, or newer logins push it out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "net/Clock.h"

namespace velbrook {

class WebSessions {
public:
    // A table that cannot grow, however often someone logs in: a stolen password should not
    // buy unbounded memory either.
    static constexpr size_t kCapacity = 32;
    static constexpr Duration kIdleLimit = std::chrono::hours(24 * 7);

    explicit WebSessions(size_t capacity = kCapacity, Duration idleLimit = kIdleLimit)
        : m_capacity(capacity), m_idleLimit(idleLimit) {}

    // A new token of 256 random bits, as hex; the session unused longest makes room when the
    // table is full. Empty when no random bytes were to be had.
    std::string Open(Time now);
    // True when `token` belongs to a live session, which then counts as used now. Every stored
    // token is compared in full, so the time taken tells nothing about how close a guess was.
    bool Check(std::string_view token, Time now);
    void Close(std::string_view token);
    void Clear() { m_sessions.clear(); }
    size_t Size() const { return m_sessions.size(); }

private:
    struct Session {
        std::string token;
        Time used;
    };
    void DropIdle(Time now);

    size_t m_capacity;
    Duration m_idleLimit;
    std::vector<Session> m_sessions;
};

}  // namespace velbrook
