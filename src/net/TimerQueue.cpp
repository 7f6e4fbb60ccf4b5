#include "net/TimerQueue.h"

#include <vector>

namespace velbrook {

uint64_t TimerQueue::Add(Time first, Duration period, std::function<void()> call) {
    const uint64_t id = m_nextId++;
    m_timers.emplace(
        id, Entry{first, period, std::make_shared<std::function<void()>>(std::move(call))});
    m_deadlines.emplace(first, id);
    return id;
}

void TimerQueue::Remove(uint64_t id) {
    const auto it = m_timers.find(id);
    if (it == m_timers.end()) {
        return;
    }
    m_deadlines.erase({it->second.deadline, id});
    m_timers.erase(it);
}

std::optional<Time> TimerQueue::Next() const {
    if (m_deadlines.empty()) {
        return std::nullopt;
    }
    return m_deadlines.begin()->first;
}

int TimerQueue::RunDue(Time now, const std::function<void()>& afterEach) {
    std::vector<uint64_t> due;
    for (auto it = m_deadlines.begin(); it != m_deadlines.end() && it->first <= now; ++it) {
        due.push_back(it->second);
    }
    int ran = 0;
    for (const uint64_t id : due) {
        const auto it = m_timers.find(id);
        if (it == m_timers.end()) {
            continue;  // stopped by an earlier call of this pass
        }
        Entry& entry = it->second;
        const std::shared_ptr<std::function<void()>> call = entry.call;
        m_deadlines.erase({entry.deadline, id});
        if (entry.period == Duration::zero()) {
            m_timers.erase(it);
        } else {
            Time next = entry.deadline + entry.period;
            if (next <= now) {
                next += ((now - next) / entry.period + 1) * entry.period;
            }
            entry.deadline = next;
            m_deadlines.emplace(next, id);
        }
        (*call)();
        ++ran;
        if (afterEach) {
            afterEach();
        }
    }
    return ran;
}

}  // namespace velbrook
