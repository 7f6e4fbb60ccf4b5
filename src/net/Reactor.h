// The engine's one event loop: epoll for sockets, one timerfd for every timer, c-ares for host
// names. The whole loop is one file descriptor that a GUI can watch.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velbrook {

class AsyncSocket;

class Reactor {
public:
    // Registers itself as the process's loop (Get); only one exists at a time.
    Reactor();
    ~Reactor();
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

    // The current loop; asserts that one exists.
    static Reactor& Get();
    static bool Exists();

    // The epoll descriptor: readable whenever something is ready to dispatch.
    int Fd() const;
    // Dispatches whatever is ready, waiting at most timeoutMs (-1: until something happens,
    // 0: not at all). Returns the number of handlers run.
    int RunOnce(int timeoutMs);
    // Runs until Stop is called from a handler.
    void Run();
    void Stop();

    // Periodic timer; the callback gets the timer's id. Ids are never reused.
    uint64_t StartTimer(uint32_t periodMs, std::function<void(uint64_t)> callback);
    void StopTimer(uint64_t id);
    size_t TimerCount() const;

    // Runs `call` on the loop after the current handler (a queued call).
    void Post(std::function<void()> call);

    // Resolves a host name to IPv4 addresses (dotted text) without blocking the loop. The callback
    // runs on the loop with 0 and the addresses, or an errno-style code. Returns a handle for
    // CancelResolve; a cancelled request never calls back. Dotted IPv4 text resolves at once
    // (still through the callback, from a queued call).
    uint64_t Resolve(const std::string& host,
                     std::function<void(int error, std::vector<std::string> addresses)> callback);
    void CancelResolve(uint64_t handle);

    // Internal, for AsyncSocket.
    uint64_t Register(AsyncSocket* socket);
    void Unregister(uint64_t key);
    void UpdateInterest(uint64_t key, int fd, uint32_t epollEvents, bool added);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace velbrook
