// The engine's one event loop: epoll for sockets, one timerfd for every timer, c-ares for host
// names. The whole loop is one file descriptor that a GUI can watch. It is the running program's
// clock: its timers run on the system's monotonic clock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/Clock.h"
#include "net/ReactorSocket.h"

namespace velbrook {

class Reactor : public Clock {
public:
    // Registers itself as the process's loop (Get); only one exists at a time. It outlives
    // whatever uses it, timers included; a socket still open when it goes is cut loose from it.
    Reactor();
    ~Reactor() override;
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

    // The current loop; asserts that one exists.
    static Reactor& Get();

    Time Now() const override;

    // The epoll descriptor: readable whenever something is ready to dispatch.
    int Fd() const;
    // Dispatches whatever is ready, waiting at most timeoutMs (-1: until something happens,
    // 0: not at all). Returns the number of handlers run. Called from inside a handler (a
    // modal dialog's loop, say) it runs nothing and returns 0: handlers never nest.
    int RunOnce(int timeoutMs);
    // Runs until Stop is called from a handler; from inside a handler, returns at once.
    void Run();
    void Stop();

    // Runs `call` on the loop after the current handler (a queued call).
    void Post(std::function<void()> call);

    // Objects destroyed from inside their own handlers follow one rule. A handler may be what
    // ends the life of the object running it (a socket whose peer hung up, a tracker request
    // whose owner is done with it, a timer whose tick retires it), and further down the stack
    // that object's code still runs. So whoever owns such an object never deletes it while a
    // handler may be running, but hands it to DeleteLater: the reactor destroys it as soon as
    // the handler that is running returns, before it dispatches anything else (at once when
    // there is no reactor: then nothing is running). It can still see the rest of the
    // notification being delivered, so an owner closes or stops it first when that matters.
    // A queued call that may run after its target is gone carries a Liveness::Token of the
    // target and checks it first.
    template <typename T>
    static void DeleteLater(std::unique_ptr<T> object) {
        if (object)
            Defer(std::make_unique<Doomed<T>>(std::move(object)));
    }

    // Resolves a host name to addresses (numeric text, IPv4 ones first; IPv6 ones only where the
    // host has IPv6) without blocking the loop. The callback runs on the loop with 0 and the
    // addresses, or an errno-style code. Returns a handle for CancelResolve; a cancelled request
    // never calls back. Numeric text resolves at once (still through the callback, from a queued
    // call).
    uint64_t Resolve(const std::string& host,
                     std::function<void(int error, std::vector<std::string> addresses)> callback);
    void CancelResolve(uint64_t handle);

    // Internal, for the sockets.
    uint64_t Register(ReactorSocket* socket);
    void Unregister(uint64_t key);
    void UpdateInterest(uint64_t key, int fd, uint32_t epollEvents, bool added);

private:
    uint64_t Schedule(Time first, Duration period, std::function<void()> call) override;
    void Cancel(uint64_t id) override;
    bool IsScheduled(uint64_t id) const override;

    struct Condemned {
        virtual ~Condemned() = default;
    };
    template <typename T>
    struct Doomed : Condemned {
        explicit Doomed(std::unique_ptr<T> doomed) : object(std::move(doomed)) {}
        std::unique_ptr<T> object;
    };
    static void Defer(std::unique_ptr<Condemned> doomed);

    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Tells a queued call whether the object that holds it still exists (see DeleteLater).
class Liveness {
public:
    class Token {
    public:
        bool Alive() const { return !m_flag.expired(); }

    private:
        friend class Liveness;
        explicit Token(std::weak_ptr<const bool> flag) : m_flag(std::move(flag)) {}
        std::weak_ptr<const bool> m_flag;
    };

    Liveness() = default;
    // Each object has its own: a copy would outlive it.
    Liveness(const Liveness&) = delete;
    Liveness& operator=(const Liveness&) = delete;

    Token Watch() const { return Token(m_flag); }

private:
    std::shared_ptr<const bool> m_flag = std::make_shared<const bool>(true);
};

}  // namespace velbrook
