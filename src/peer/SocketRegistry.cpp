#include "peer/SocketRegistry.h"

#include <algorithm>

#include "peer/PeerSocket.h"
#include "net/Reactor.h"

namespace velbrook {

namespace {

constexpr uint32_t kSweepPeriodMs = 60000;
constexpr uint32_t kKeepAlivePeriodMs = 10000;

bool Erase(std::vector<PeerSocket*>& list, const PeerSocket* socket) {
    const auto it = std::find(list.begin(), list.end(), socket);
    if (it == list.end()) {
        return false;
    }
    list.erase(it);
    return true;
}

}  // namespace

SocketRegistry::SocketRegistry(bool startTimers) {
    if (startTimers) {
        m_sweepTimer = std::make_unique<EngineTimer>(*this);
        m_sweepTimer->Start(kSweepPeriodMs, kTimerIdleSweep);
        m_keepAliveTimer = std::make_unique<EngineTimer>(*this);
        m_keepAliveTimer->Start(kKeepAlivePeriodMs, kTimerKeepAlive);
    }
}

SocketRegistry::~SocketRegistry() {
    m_sweepTimer.reset();
    m_keepAliveTimer.reset();
    // Each socket leaves the list before it is closed: its destructor unregisters it, and a
    // connection told of the close may close or destroy other sockets meanwhile.
    while (!m_sockets.empty()) {
        m_closing = m_sockets.front();
        m_sockets.erase(m_sockets.begin());
        m_closing->Close(false);
        delete m_closing;  // Unregister resets m_closing, so a socket already gone is skipped
        m_closing = nullptr;
    }
    // Their queued destruction will find the registry gone and leave them alone.
    while (!m_disposing.empty()) {
        PeerSocket* socket = m_disposing.back();
        m_disposing.pop_back();
        delete socket;
    }
}

void SocketRegistry::Register(PeerSocket& socket) {
    if (!Contains(socket)) {
        m_sockets.push_back(&socket);
    }
}

void SocketRegistry::Unregister(PeerSocket& socket) {
    Erase(m_sockets, &socket);
    Erase(m_disposing, &socket);
    if (m_closing == &socket) {
        m_closing = nullptr;
    }
}

void SocketRegistry::Dispose(PeerSocket& socket) {
    // Only a registered socket is destroyed, and only once, however often it is closed.
    if (!Erase(m_sockets, &socket)) {
        return;
    }
    m_disposing.push_back(&socket);
    if (!Reactor::Exists()) {
        return;  // the destructor takes care of it
    }
    // The socket is still inside its own handler: it is destroyed once that has returned.
    std::weak_ptr<bool> alive = m_alive;
    PeerSocket* doomed = &socket;
    Reactor::Get().Post([this, alive, doomed] {
        if (alive.expired()) {
            return;
        }
        if (Erase(m_disposing, doomed)) {
            delete doomed;
        }
    });
}

void SocketRegistry::Sweep() {
    // Closing one socket can take others with it (its connection reacts), so the walk goes over
    // a copy and skips whatever left the registry in the meantime.
    const std::vector<PeerSocket*> sockets = m_sockets;
    for (PeerSocket* socket : sockets) {
        if (Contains(*socket) && socket->GetIdleSeconds() > socket->MaxIdleSeconds()) {
            socket->Close(true);
        }
    }
}

void SocketRegistry::KeepAlive() {
    const std::vector<PeerSocket*> sockets = m_sockets;
    for (PeerSocket* socket : sockets) {
        if (Contains(*socket)) {
            socket->KeepAlive();
        }
    }
}

void SocketRegistry::CloseAll() {
    const std::vector<PeerSocket*> sockets = m_sockets;
    for (PeerSocket* socket : sockets) {
        if (!Contains(*socket)) {
            continue;
        }
        socket->Close(true);
        // A socket whose connect was pending keeps its place on close; here it goes too.
        Dispose(*socket);
    }
}

void SocketRegistry::OnTimer(TimerKind kind) {
    if (kind == kTimerIdleSweep) {
        Sweep();
    } else if (kind == kTimerKeepAlive) {
        KeepAlive();
    }
}

bool SocketRegistry::Contains(const PeerSocket& socket) const {
    return std::find(m_sockets.begin(), m_sockets.end(), &socket) != m_sockets.end();
}

}  // namespace velbrook
