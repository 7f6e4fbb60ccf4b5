#include "storage/RateMeter.h"

#include <ctime>

namespace velbrook {

int64_t RateMeter::MonotonicSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

RateMeter::RateMeter(Clock clock) : m_clock(std::move(clock)) {
    m_windowStart = m_lastUpdate = m_clock();
}

uint32_t RateMeter::Update(uint32_t bytes) {
    m_total += bytes;
    const int64_t now = m_clock();
    const int64_t elapsed = now - m_windowStart;
    if (elapsed <= 0) {
        m_rate = 0;
    } else {
        // The bytes the old rate stood for over the old window, plus the new ones, spread over
        // the new window.
        const int64_t carried = (m_lastUpdate - m_windowStart) * static_cast<int64_t>(m_rate);
        m_rate = static_cast<uint32_t>((carried + bytes) / elapsed);
    }
    m_lastUpdate = now;
    if (elapsed % 60 > 10) {
        m_windowStart = now - 10;
    }
    return m_rate;
}

}  // namespace velbrook
