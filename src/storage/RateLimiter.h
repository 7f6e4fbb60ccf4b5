// A token bucket that lets bytes through at a set rate, from the very first second on (a rate
// meter averages over seconds and so cannot hold a limit while it has no history yet).
#pragma once

#include <cstdint>

#include "net/Clock.h"

namespace velbrook {

class RateLimiter {
public:
    // Reads the clock in milliseconds.
    explicit RateLimiter(const Clock& clock);
    RateLimiter(const RateLimiter&) = delete;
    RateLimiter& operator=(const RateLimiter&) = delete;

    // Bytes per second; 0 lets nothing through. Unused allowance is kept for at most one second,
    // so an idle spell does not turn into a long burst.
    void SetRate(int64_t bytesPerSecond);
    int64_t Rate() const { return m_rate; }
    // Something may be sent now. The last send may overdraw the allowance; the debt is paid back
    // before anything else goes.
    bool Available();
    void Consume(int64_t bytes);
    // How long until Available turns true: 0 when it is already, -1 when it never will (rate 0).
    int64_t MillisecondsUntilAvailable();

private:
    int64_t Milliseconds() const;
    void Refill();

    const Clock& m_clock;
    int64_t m_rate = 0;
    int64_t m_tokens = 0;
    int64_t m_last;
};

}  // namespace velbrook
