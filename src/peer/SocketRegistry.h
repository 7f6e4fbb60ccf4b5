// Every live peer socket, incoming and outgoing, and the sweep that closes idle ones. Lives apart
// from the listening socket so that outgoing connections keep a registry when listening fails or
// a proxy is configured.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "net/Clock.h"
#include "net/Socks5.h"

namespace velbrook {

class PeerHost;
class PeerSocket;

class SocketRegistry {
public:
    // Starts the 60-second sweep timer and the 10-second keep-alive timer on `clock`.
    explicit SocketRegistry(Clock& clock);
    // Closes every socket without notifying the registry (their connections are told) and
    // destroys it.
    ~SocketRegistry();
    SocketRegistry(const SocketRegistry&) = delete;
    SocketRegistry& operator=(const SocketRegistry&) = delete;

    // A new socket of `host` (whose registry this is), owned here until it is disposed of.
    PeerSocket& Create(PeerHost& host);
    // How new outgoing connections reach their peers; those under way keep the one they began
    // with.
    void SetProxy(ProxyConfig proxy) { m_proxy = std::move(proxy); }
    const ProxyConfig& Proxy() const { return m_proxy; }
    // Removes the socket; it is destroyed once the handler running now has returned (it may be
    // the socket's own). Only a registered socket is destroyed, and only once.
    void Dispose(PeerSocket& socket);
    // Closes (and so removes) every socket silent for longer than it is allowed to be.
    void Sweep();
    // A keep-alive on every connection on which we have been quiet for a while.
    void KeepAlive();
    // Closes every socket (their connections are told); each is destroyed after the handler.
    void CloseAll();
    size_t Count() const { return m_sockets.size(); }
    bool Contains(const PeerSocket& socket) const;

private:
    // The sockets now, for walks during which closing one may take others with it.
    std::vector<PeerSocket*> Snapshot() const;

    std::vector<std::unique_ptr<PeerSocket>> m_sockets;  // creation order
    ProxyConfig m_proxy;
    Timer m_sweepTimer;
    Timer m_keepAliveTimer;
};

}  // namespace velbrook
