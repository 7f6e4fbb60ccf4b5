// Transfer rate of one flow in bytes per second, averaged over a window of about ten seconds.
#pragma once

#include <cstdint>
#include <functional>

namespace velbrook {

class RateMeter {
public:
    // Whole seconds from a clock that never runs backwards.
    using Clock = std::function<int64_t()>;
    static int64_t MonotonicSeconds();

    explicit RateMeter(Clock clock = MonotonicSeconds);
    virtual ~RateMeter() = default;

    // Counts the bytes and recomputes the rate; Update(0) only brings the rate up to date.
    uint32_t Update(uint32_t bytes);
    // The rate as last computed.
    uint32_t GetRate() const { return m_rate; }
    int64_t Total() const { return m_total; }

private:
    Clock m_clock;
    int64_t m_windowStart;
    int64_t m_lastUpdate;
    int64_t m_total = 0;
    uint32_t m_rate = 0;
};

}  // namespace velbrook
