#include "peer/CListenSocket.h"

#include "peer/PeerSocket.h"

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
    // The socket is in the registry from here on; should the accept fail, the idle sweep
    // removes it, so nothing is destroyed inside this handler.
    auto* socket = new PeerSocket(m_host);
    if (!Accept(*socket)) {
        return;
    }
    socket->Accepted();
}

}  // namespace velbrook
