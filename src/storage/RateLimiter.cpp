#include "storage/RateLimiter.h"

#include <algorithm>

namespace velbrook {

namespace {

// One slice may go at once, so the first request is not held back by an empty bucket.
constexpr int64_t kFirstAllowance = 16384;

}  // namespace

RateLimiter::RateLimiter(const Clock& clock) : m_clock(clock) {
    m_last = Milliseconds();
}

int64_t RateLimiter::Milliseconds() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.Now().time_since_epoch())
        .count();
}

void RateLimiter::SetRate(int64_t bytesPerSecond) {
    Refill();
    const int64_t rate = std::max<int64_t>(0, bytesPerSecond);
    if (rate != m_rate && m_rate == 0 && m_tokens == 0) {
        m_tokens = std::min(rate, kFirstAllowance);
    }
    m_rate = rate;
    m_tokens = std::min(m_tokens, m_rate);
}

void RateLimiter::Refill() {
    const int64_t now = Milliseconds();
    const int64_t elapsed = now - m_last;
    if (elapsed <= 0) {
        return;
    }
    // A gap of a second or more refills the bucket whatever the rate, and a large rate times a
    // long gap cannot overflow.
    const int64_t gained = elapsed >= 1000 ? m_rate : m_rate * elapsed / 1000;
    if (gained == 0 && elapsed < 1000) {
        return;  // a slow rate asked often: the time keeps counting until it is worth a byte
    }
    m_last = now;
    m_tokens = std::min(m_tokens + gained, m_rate);
}

bool RateLimiter::Available() {
    Refill();
    return m_rate > 0 && m_tokens > 0;
}

int64_t RateLimiter::MillisecondsUntilAvailable() {
    Refill();
    if (m_rate <= 0) {
        return -1;
    }
    if (m_tokens > 0) {
        return 0;
    }
    return ((1 - m_tokens) * 1000 + m_rate - 1) / m_rate;
}

void RateLimiter::Consume(int64_t bytes) {
    Refill();
    m_tokens -= bytes;
    // However much was overdrawn, one second's worth of debt is the most that is remembered.
    m_tokens = std::max(m_tokens, -std::max<int64_t>(m_rate, kFirstAllowance));
}

}  // namespace velbrook
