// A non-blocking datagram socket on the reactor, and the socket addresses it sends to and hears
// from (IPv4 or IPv6).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "net/Address.h"
#include "net/ReactorSocket.h"

namespace velbrook {

class Reactor;

// Never deleted while its notification may be running: see Reactor::DeleteLater.
class UdpSocket : public ReactorSocket {
public:
    UdpSocket() = default;
    ~UdpSocket() override;  // closes the OS socket
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // A socket of `family` (AF_INET or AF_INET6; an IPv6 one takes IPv6 only) on a port the
    // system picks, calling `readable` on the loop whenever a datagram or an error waits. False
    // with LastError when the host refuses (EAFNOSUPPORT on a host without IPv6).
    [[nodiscard]] bool Open(int family, std::function<void()> readable);
    // Binds the open socket to `port` (0: the system picks) on every address of its family.
    // False with LastError (EADDRINUSE).
    [[nodiscard]] bool Bind(uint16_t port);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Family() const { return m_family; }
    int LastError() const { return m_lastError; }
    [[nodiscard]] bool GetSockName(SocketAddress& local) const;
    // Room for datagrams that arrive faster than they are read; the system may give less.
    void SetReceiveBuffer(int bytes);

    // The whole datagram or nothing. False with LastError (EAGAIN, ENOBUFS when the system has
    // no room for it now).
    [[nodiscard]] bool SendTo(const SocketAddress& to, std::string_view datagram);
    // The next waiting datagram, at most `length` bytes of it. Returns its full size, which is
    // larger than `length` when it was cut; -1 with LastError when none waits (EAGAIN) or a
    // reported error was taken off the socket.
    [[nodiscard]] ssize_t ReceiveFrom(void* buffer, size_t length, SocketAddress& from);

private:
    void Dispatch(uint32_t epollEvents) override;
    void Detach() override;

    int m_fd = -1;
    int m_family = AF_UNSPEC;
    int m_lastError = 0;
    Reactor* m_reactor = nullptr;
    uint64_t m_key = 0;
    std::function<void()> m_readable;
};

}  // namespace velbrook
