#include "net/Clock.h"

#include <algorithm>
#include <utility>

namespace velbrook {

namespace {

// A shorter period would have a clock that falls behind do nothing but run one timer.
constexpr Duration kShortestPeriod = std::chrono::milliseconds(1);

}  // namespace

Timer::Timer(Timer&& other) noexcept
    : m_clock(std::exchange(other.m_clock, nullptr)), m_id(std::exchange(other.m_id, 0)) {}

Timer& Timer::operator=(Timer&& other) noexcept {
    if (this != &other) {
        Stop();
        m_clock = std::exchange(other.m_clock, nullptr);
        m_id = std::exchange(other.m_id, 0);
    }
    return *this;
}

void Timer::Stop() {
    if (m_clock) {
        std::exchange(m_clock, nullptr)->Cancel(m_id);
    }
    m_id = 0;
}

bool Timer::IsActive() const {
    return m_clock && m_clock->IsScheduled(m_id);
}

Timer Clock::Every(Duration period, std::function<void()> call) {
    period = std::max(period, kShortestPeriod);
    return Timer(this, Schedule(Now() + period, period, std::move(call)));
}

Timer Clock::After(Duration delay, std::function<void()> call) {
    return Timer(this, Schedule(Now() + std::max(delay, Duration::zero()), Duration::zero(),
                                std::move(call)));
}

}  // namespace velbrook
