// Transfer rate of one flow in bytes per second, averaged over a window of about ten seconds.
#pragma once

#include <cstdint>

#include "net/Clock.h"

namespace velbrook {

class RateMeter {
public:
    // Counts from the clock's present; reads the clock in whole seconds.
    explicit RateMeter(const Clock& clock);
    virtual ~RateMeter() = default;
    RateMeter(const RateMeter&) = delete;
    RateMeter& operator=(const RateMeter&) = delete;

    // Counts the bytes and recomputes the rate; Update(0) only brings the rate up to date.
    uint32_t Update(uint32_t bytes);
    // The rate now, as Update(0) would find it, without changing the meter: reading it never
    // moves its window.
    uint32_t Rate() const;
    // The rate as last computed.
    uint32_t GetRate() const { return m_rate; }
    int64_t Total() const { return m_total; }

private:
    int64_t Seconds() const;
    uint32_t RateAt(int64_t now, uint32_t bytes) const;

    const Clock& m_clock;
    int64_t m_windowStart;
    int64_t m_lastUpdate;
    int64_t m_total = 0;
    uint32_t m_rate = 0;
};

}  // namespace velbrook
