#include "peer/CListenSocket.h"

#include <sys/resource.h>

#include "peer/PeerLinks.h"
#include "peer/PeerSocket.h"
#include "peer/SocketRegistry.h"
#include "storage/FileStorage.h"

namespace velbrook {

namespace {

// Whether one more connection leaves the descriptors that files and saves need.
bool RoomForConnection() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return true;
    }
    return AsyncSocket::OpenCount() + 1 + ReservedDescriptors() <= limit.rlim_cur;
}

}  // namespace

bool CListenSocket::Listen(uint16_t port, int& error) {
    if (!Create(port, kSocketAccept) || !AsyncSocket::Listen(5)) {
        error = LastError();
        Close();
        return false;
    }
    return true;
}

void CListenSocket::OnAccept(int /*error*/) {
    // A connection that would take what files and saves need is taken off the queue and closed
    // at once: left waiting there, it would only be offered again.
    if (!RoomForConnection()) {
        Refuse();
        return;
    }
    SocketRegistry& registry = m_host.Registry();
    PeerSocket& socket = registry.Create(m_host);
    if (!Accept(socket)) {
        // Nothing was waiting after all, or descriptors ran out (accepting pauses then).
        registry.Dispose(socket);
        return;
    }
    socket.Accepted();
}

}  // namespace velbrook
