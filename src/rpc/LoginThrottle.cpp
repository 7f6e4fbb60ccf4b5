#include "rpc/LoginThrottle.h"

#include <algorithm>

namespace velbrook {

Duration LoginThrottle::Wait(const std::string& address, Time now) const {
    const auto found = m_entries.find(address);
    if (found == m_entries.end() || found->second.until <= now) {
        return Duration::zero();
    }
    return found->second.until - now;
}

void LoginThrottle::Failed(const std::string& address, Time now) {
    auto found = m_entries.find(address);
    if (found == m_entries.end()) {
        if (m_entries.size() >= m_capacity && !m_entries.empty()) {
            // A linear pass, but only for a new address while the table is full; the table is
            // small.
            const auto oldest = std::min_element(
                m_entries.begin(), m_entries.end(),
                [](const auto& a, const auto& b) { return a.second.until < b.second.until; });
            m_entries.erase(oldest);
        }
        found = m_entries.emplace(address, Entry{}).first;
    }
    Entry& entry = found->second;
    entry.delay =
        entry.delay == Duration::zero() ? kFirstDelay : std::min(entry.delay * 2, kMaxDelay);
    entry.until = now + entry.delay;
}

}  // namespace velbrook
