#include "storage/RateMeter.h"

namespace velbrook {

RateMeter::RateMeter(const Clock& clock) : m_clock(clock) {
    m_windowStart = m_lastUpdate = Seconds();
}

int64_t RateMeter::Seconds() const {
    return std::chrono::duration_cast<std::chrono::seconds>(m_clock.Now().time_since_epoch())
        .count();
}

uint32_t RateMeter::RateAt(int64_t now, uint32_t bytes) const {
    const int64_t elapsed = now - m_windowStart;
    if (elapsed <= 0) {
        return 0;
    }
    // The bytes the old rate stood for over the old window, plus the new ones, spread over the
    // new window.
    const int64_t carried = (m_lastUpdate - m_windowStart) * static_cast<int64_t>(m_rate);
    return static_cast<uint32_t>((carried + bytes) / elapsed);
}

uint32_t RateMeter::Update(uint32_t bytes) {
    m_total += bytes;
    const int64_t now = Seconds();
    m_rate = RateAt(now, bytes);
    m_lastUpdate = now;
    if ((now - m_windowStart) % 60 > 10) {
        m_windowStart = now - 10;
    }
    return m_rate;
}

uint32_t RateMeter::Rate() const {
    return RateAt(Seconds(), 0);
}

}  // namespace velbrook
