// Slows down password guessing per client address: each failed login doubles how long that
// address must wait before its next attempt is even looked at.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

#include "net/Clock.h"

namespace velbrook {

class LoginThrottle {
public:
    // `capacity`: addresses remembered at most; when it is full, the one whose wait ended
    // longest ago (or, failing that, ends soonest) is forgotten.
    explicit LoginThrottle(size_t capacity = 1024) : m_capacity(capacity) {}

    // How long `address` must still wait; zero when it may try now.
    Duration Wait(const std::string& address, Time now) const;
    void Failed(const std::string& address, Time now);
    void Succeeded(const std::string& address) { m_entries.erase(address); }
    size_t Size() const { return m_entries.size(); }

    static constexpr Duration kFirstDelay = std::chrono::milliseconds(250);
    static constexpr Duration kMaxDelay = std::chrono::seconds(16);

private:
    struct Entry {
        Duration delay{};
        Time until{};
    };
    size_t m_capacity;
    std::unordered_map<std::string, Entry> m_entries;
};

}  // namespace velbrook
