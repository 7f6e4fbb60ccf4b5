#include "peer/SocketRegistry.h"

#include <algorithm>
#include <cassert>

#include "net/Reactor.h"
#include "peer/PeerLinks.h"
#include "peer/PeerSocket.h"

namespace velbrook {

namespace {

constexpr auto kSweepPeriod = std::chrono::seconds(60);
constexpr auto kKeepAlivePeriod = std::chrono::seconds(10);

}  // namespace

SocketRegistry::SocketRegistry(Clock& clock)
    : m_sweepTimer(clock.Every(kSweepPeriod, [this] { Sweep(); })),
      m_keepAliveTimer(clock.Every(kKeepAlivePeriod, [this] { KeepAlive(); })) {}

SocketRegistry::~SocketRegistry() {
    m_sweepTimer.Stop();
    m_keepAliveTimer.Stop();
    // Each socket leaves the list before it is closed: a connection told of the close may close
    // (and so dispose of) other sockets meanwhile.
    while (!m_sockets.empty()) {
        const std::unique_ptr<PeerSocket> socket = std::move(m_sockets.front());
        m_sockets.erase(m_sockets.begin());
        socket->Close(false);
    }
}

PeerSocket& SocketRegistry::Create(PeerHost& host) {
    assert(&host.Registry() == this);
    return *m_sockets.emplace_back(std::make_unique<PeerSocket>(host));
}

void SocketRegistry::Dispose(PeerSocket& socket) {
    const auto it = std::find_if(m_sockets.begin(), m_sockets.end(),
                                 [&socket](const auto& owned) { return owned.get() == &socket; });
    if (it == m_sockets.end()) {
        return;
    }
    std::unique_ptr<PeerSocket> doomed = std::move(*it);
    m_sockets.erase(it);
    Reactor::DeleteLater(std::move(doomed));
}

std::vector<PeerSocket*> SocketRegistry::Snapshot() const {
    std::vector<PeerSocket*> sockets;
    sockets.reserve(m_sockets.size());
    for (const auto& socket : m_sockets) {
        sockets.push_back(socket.get());
    }
    return sockets;
}

void SocketRegistry::Sweep() {
    // Closing one socket can take others with it (its connection reacts), so the walk skips
    // whatever left the registry in the meantime.
    for (PeerSocket* socket : Snapshot()) {
        if (Contains(*socket) && socket->Idle() > socket->MaxIdle()) {
            socket->Close(true);
        }
    }
}

void SocketRegistry::KeepAlive() {
    for (PeerSocket* socket : Snapshot()) {
        if (Contains(*socket)) {
            socket->KeepAlive();
        }
    }
}

void SocketRegistry::CloseAll() {
    for (PeerSocket* socket : Snapshot()) {
        if (!Contains(*socket)) {
            continue;
        }
        socket->Close(true);
        // A socket whose connect was pending keeps its place on close; here it goes too.
        Dispose(*socket);
    }
}

bool SocketRegistry::Contains(const PeerSocket& socket) const {
    return std::any_of(m_sockets.begin(), m_sockets.end(),
                       [&socket](const auto& owned) { return owned.get() == &socket; });
}

}  // namespace velbrook
