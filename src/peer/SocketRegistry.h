// Every live peer socket, incoming and outgoing, and the sweep that closes idle ones. Lives apart
// from the listening socket so that outgoing connections keep a registry when listening fails or
// a proxy is configured.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "net/EngineTimer.h"

namespace velbrook {

class PeerSocket;

class SocketRegistry : public TimerOwner {
public:
    // Starts the 60-second sweep timer and the 10-second keep-alive timer unless `startTimers` is
    // false (tests sweep by hand).
    explicit SocketRegistry(bool startTimers = true);
    // Closes every socket without notifying the registry (their connections are told) and
    // destroys it.
    ~SocketRegistry() override;
    SocketRegistry(const SocketRegistry&) = delete;
    SocketRegistry& operator=(const SocketRegistry&) = delete;

    void Register(PeerSocket& socket);
    // Forgets a socket that is being destroyed elsewhere.
    void Unregister(PeerSocket& socket);
    // Removes the socket and destroys it once the current handler has returned.
    void Dispose(PeerSocket& socket);
    // Closes (and so removes) every socket silent for longer than it is allowed to be.
    void Sweep();
    // A keep-alive on every connection on which we have been quiet for a while.
    void KeepAlive();
    // Closes every socket (their connections are told); each is destroyed after the handler.
    void CloseAll();
    void OnTimer(TimerKind kind) override;
    size_t Count() const { return m_sockets.size(); }
    bool Contains(const PeerSocket& socket) const;

private:
    std::vector<PeerSocket*> m_sockets;  // registration order
    // Removed by Dispose, destroyed by a queued call (or by the destructor if that never runs).
    std::vector<PeerSocket*> m_disposing;
    // The socket the destructor is closing, until something else destroys it first.
    PeerSocket* m_closing = nullptr;
    std::unique_ptr<EngineTimer> m_sweepTimer;
    std::unique_ptr<EngineTimer> m_keepAliveTimer;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

}  // namespace velbrook
