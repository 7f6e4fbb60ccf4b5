// Periodic engine timers on the reactor, found through one process-wide map from timer id.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velbrook {

enum TimerKind : int {
    kTimerChoke = 0,         // peer set: choking pass, 10 s
    kTimerUpload = 1,        // peer set: upload service, 500 ms
    kTimerIdleSweep = 2,     // listen socket: idle peer sockets, 60 s
    kTimerPrunePeers = 3,    // peer set: drop peers that failed to connect, 120 s
    kTimerConnectPeers = 4,  // peer set: connect known peers, 40 s
    kTimerAnnounce = 5,      // tracker: announce again, 60..300 s
    kTimerRefreshFiles = 6,  // downloads list: completed bytes of the shown torrent, 3 s
    kTimerKeepAlive = 7,     // socket registry: keep-alives on quiet connections, 10 s
};

class TimerOwner {
public:
    virtual ~TimerOwner() = default;
    virtual void OnTimer(TimerKind kind) = 0;
};

class EngineTimer {
public:
    explicit EngineTimer(TimerOwner& owner);
    ~EngineTimer();  // Stop
    EngineTimer(const EngineTimer&) = delete;
    EngineTimer& operator=(const EngineTimer&) = delete;

    // Restarts with the new period and kind when already running.
    void Start(uint32_t periodMs, int kind);
    void Stop();
    bool IsActive() const { return m_active; }
    uint64_t Id() const { return m_id; }
    int Kind() const { return m_kind; }

    // The common callback: finds the timer by id and runs its owner's handler for its kind.
    // An id that is no longer in the map does nothing.
    static void Dispatch(uint64_t id);
    static size_t MapSize();

private:
    TimerOwner& m_owner;
    int m_kind = -1;
    uint64_t m_id = 0;
    bool m_active = false;
};

}  // namespace velbrook
