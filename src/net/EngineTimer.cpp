#include "net/EngineTimer.h"

#include "net/Reactor.h"

#include <unordered_map>

namespace velbrook {

namespace {

// Reactor callbacks carry only the id; a timer stopped or destroyed since simply is not found.
std::unordered_map<uint64_t, EngineTimer*>& Timers() {
    static std::unordered_map<uint64_t, EngineTimer*> timers;
    return timers;
}

}  // namespace

EngineTimer::EngineTimer(TimerOwner& owner) : m_owner(owner) {}

EngineTimer::~EngineTimer() {
    Stop();
}

void EngineTimer::Start(uint32_t periodMs, int kind) {
    if (m_active)
        Stop();
    m_kind = kind;
    m_id = Reactor::Get().StartTimer(periodMs, [](uint64_t id) { EngineTimer::Dispatch(id); });
    Timers()[m_id] = this;
    m_active = true;
}

void EngineTimer::Stop() {
    if (!m_active)
        return;
    // The reactor may already be gone at shutdown; its timers went with it.
    if (Reactor::Exists())
        Reactor::Get().StopTimer(m_id);
    Timers().erase(m_id);
    m_active = false;
}

void EngineTimer::Dispatch(uint64_t id) {
    auto& timers = Timers();
    auto it = timers.find(id);
    if (it == timers.end())
        return;
    EngineTimer* timer = it->second;
    if (timer->m_kind < kTimerChoke || timer->m_kind > kTimerKeepAlive)
        return;
    timer->m_owner.OnTimer(static_cast<TimerKind>(timer->m_kind));
}

size_t EngineTimer::MapSize() {
    return Timers().size();
}

}  // namespace velbrook
