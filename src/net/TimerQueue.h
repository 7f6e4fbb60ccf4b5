// The timers of one clock in the order they fall due: the bookkeeping that the reactor and a
// test's clock share, so that both run timers by the same rules.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "net/Clock.h"

namespace velbrook {

class TimerQueue {
public:
    // A zero period: the call runs once and the timer is gone.
    uint64_t Add(Time first, Duration period, std::function<void()> call);
    void Remove(uint64_t id);
    bool Contains(uint64_t id) const { return m_timers.count(id) != 0; }
    bool Empty() const { return m_timers.empty(); }
    // The earliest deadline, if any timer is left.
    std::optional<Time> Next() const;

    // Runs every timer due at `now`, earliest first and, at the same time, in the order they
    // were started; `afterEach` runs after each call. A call may start and stop timers, its own
    // included: one stopped before its turn does not run, one started now waits for the next
    // pass. A periodic timer that fell behind by more than its period runs once and goes back
    // onto its period's grid. Returns how many calls ran.
    int RunDue(Time now, const std::function<void()>& afterEach = {});

private:
    struct Entry {
        Time deadline;
        Duration period;
        // Shared with a call in progress, which may remove its own timer.
        std::shared_ptr<std::function<void()>> call;
    };

    std::unordered_map<uint64_t, Entry> m_timers;
    std::set<std::pair<Time, uint64_t>> m_deadlines;
    uint64_t m_nextId = 1;
};

}  // namespace velbrook
