// A clock that moves only when the test moves it. Advancing it runs every timer that falls due on
// the way, in order and each at its own time, so that a minute of ticks, sweeps and timeouts
// passes in microseconds. Sockets still need a reactor; this clock only gives the time. Declared
// before the reactor, it outlives the objects that the reactor destroys last (a tracker request
// handed to DeleteLater holds timers).
#pragma once

#include <cassert>
#include <chrono>
#include <functional>
#include <optional>

#include "net/Clock.h"
#include "net/TimerQueue.h"

namespace velbrook::test {

class ManualClock : public Clock {
public:
    Time Now() const override { return m_now; }

    void Advance(Duration by) {
        assert(!m_advancing && "a timer's callback moves the clock");
        m_advancing = true;
        const Time until = m_now + by;
        for (std::optional<Time> next = m_queue.Next(); next && *next <= until;
             next = m_queue.Next()) {
            m_now = std::max(m_now, *next);
            m_queue.RunDue(m_now);
        }
        m_now = until;
        m_advancing = false;
    }
    // Runs what is due without moving the clock: timers started with no delay.
    void RunDue() { Advance(Duration::zero()); }
    // Moves on a step at a time until `done` holds, for at most `limit`.
    bool AdvanceUntil(const std::function<bool()>& done,
                      Duration step = std::chrono::milliseconds(1),
                      Duration limit = std::chrono::minutes(1)) {
        for (Duration moved{}; !done() && moved < limit; moved += step) {
            Advance(step);
        }
        return done();
    }
    bool HasTimers() const { return !m_queue.Empty(); }

protected:
    uint64_t Schedule(Time first, Duration period, std::function<void()> call) override {
        return m_queue.Add(first, period, std::move(call));
    }
    void Cancel(uint64_t id) override { m_queue.Remove(id); }
    bool IsScheduled(uint64_t id) const override { return m_queue.Contains(id); }

private:
    // Far from zero, so that no time read from it looks like a value never set.
    Time m_now = Time() + std::chrono::hours(24);
    TimerQueue m_queue;
    bool m_advancing = false;
};

}  // namespace velbrook::test
