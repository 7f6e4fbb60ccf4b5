// The engine's listening socket: accepts incoming peers into new PeerSockets that wait for the
// remote handshake.
#pragma once

#include <cstdint>

#include "net/AsyncSocket.h"

namespace velbrook {

class PeerHost;

class CListenSocket : public AsyncSocket {
public:
    explicit CListenSocket(PeerHost& host) : m_host(host) {}

    // Binds `port` on all IPv4 addresses and listens with a backlog of 5. False with the errno in
    // `error` (EADDRINUSE when the port is taken).
    [[nodiscard]] bool Listen(uint16_t port, int& error);

protected:
    void OnAccept(int error) override;

private:
    PeerHost& m_host;
};

}  // namespace velbrook
