#include "peer/CListenSocket.h"

#include "peer/PeerLinks.h"
#include "peer/PeerSocket.h"
#include "peer/SocketRegistry.h"

namespace velbrook {

bool CListenSocket::Listen(uint16_t port, int& error) {
    if (!Create(port, kSocketAccept) || !AsyncSocket::Listen(5)) {
        error = LastError();
        Close();
        return false;
    }
    return true;
}

void CListenSocket::OnAccept(int /*error*/) {
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
