// The engine's time: one monotonic clock and the timers that run on it. A running program's
// clock is its reactor; tests use a clock that they move by hand.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace velbrook {

// Points on the engine's clock and the spans between them, whoever keeps the clock: the reactor
// reads the system's monotonic clock, a test sets the time it wants.
using Time = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;

class Clock;

// A started timer, owned by whoever started it. It stops when it is destroyed or replaced, so a
// callback never runs for an owner that has gone; the clock outlives every timer it hands out.
class Timer {
public:
    Timer() = default;
    ~Timer() { Stop(); }
    Timer(Timer&& other) noexcept;
    Timer& operator=(Timer&& other) noexcept;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // May be called from the timer's own callback.
    void Stop();
    // Will run again: started, not stopped, and not a one-shot timer that has run.
    bool IsActive() const;

private:
    friend class Clock;
    Timer(Clock* clock, uint64_t id) : m_clock(clock), m_id(id) {}

    Clock* m_clock = nullptr;
    uint64_t m_id = 0;
};

class Clock {
public:
    virtual ~Clock() = default;

    virtual Time Now() const = 0;

    // Runs `call` every `period` (at least a millisecond), the first time one period from now.
    [[nodiscard]] Timer Every(Duration period, std::function<void()> call);
    // Runs `call` once, `delay` from now.
    [[nodiscard]] Timer After(Duration delay, std::function<void()> call);

protected:
    // A zero period runs the call once. Returns an id that is never handed out again.
    virtual uint64_t Schedule(Time first, Duration period, std::function<void()> call) = 0;
    virtual void Cancel(uint64_t id) = 0;
    virtual bool IsScheduled(uint64_t id) const = 0;

private:
    friend class Timer;
};

}  // namespace velbrook
