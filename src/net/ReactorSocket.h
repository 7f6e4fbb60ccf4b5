#pragma once

#include <cstdint>

namespace velbrook {

// Whatever holds a descriptor registered with the reactor: a stream socket (AsyncSocket) or a
// datagram socket (UdpSocket).
class ReactorSocket {
public:
    virtual ~ReactorSocket() = default;

private:
    friend class Reactor;
    // epoll's events for this socket.
    virtual void Dispatch(uint32_t epollEvents) = 0;
    // The reactor is going away before this socket: nothing of it may be touched from now on.
    virtual void Detach() = 0;
};

}  // namespace velbrook
