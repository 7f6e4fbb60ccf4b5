#include "net/UdpSocket.h"

#include "net/Reactor.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <unistd.h>
#include <utility>

namespace velbrook {

UdpSocket::~UdpSocket() {
    Close();
}

bool UdpSocket::Open(int family, std::function<void()> readable) {
    if (m_fd >= 0) {
        m_lastError = EISCONN;
        return false;
    }
    if (family != AF_INET && family != AF_INET6) {
        m_lastError = EAFNOSUPPORT;
        return false;
    }
    const int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_lastError = errno;
        return false;
    }
    if (family == AF_INET6) {
        // IPv4 has a socket of its own; a dual-stack one would hear IPv4 replies under mapped
        // addresses that compare unequal to the tracker's.
        int one = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    m_fd = fd;
    m_family = family;
    m_readable = std::move(readable);
    m_reactor = &Reactor::Get();
    m_key = m_reactor->Register(this);
    m_reactor->UpdateInterest(m_key, m_fd, EPOLLIN, false);
    return true;
}

bool UdpSocket::Bind(uint16_t port) {
    SocketAddress local;
    const bool made = m_family == AF_INET6 ? SocketAddress::FromText("::", port, local)
                                           : SocketAddress::FromText("0.0.0.0", port, local);
    if (m_fd < 0 || !made) {
        m_lastError = m_fd < 0 ? ENOTCONN : EAFNOSUPPORT;
        return false;
    }
    if (bind(m_fd, local.Get(), local.length) != 0) {
        m_lastError = errno;
        return false;
    }
    return true;
}

void UdpSocket::Close() {
    if (m_fd < 0) {
        return;
    }
    // Without a reactor (it went first) there is nothing to deregister from.
    if (m_reactor) {
        m_reactor->UpdateInterest(m_key, m_fd, 0, true);
        m_reactor->Unregister(m_key);
    }
    close(m_fd);
    m_fd = -1;
    m_family = AF_UNSPEC;
    m_reactor = nullptr;
    m_key = 0;
}

void UdpSocket::Detach() {
    m_reactor = nullptr;
    m_key = 0;
}

bool UdpSocket::GetSockName(SocketAddress& local) const {
    local = {};
    socklen_t length = sizeof local.storage;
    if (m_fd < 0 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&local.storage), &length) < 0) {
        return false;
    }
    local.length = length;
    return true;
}

void UdpSocket::SetReceiveBuffer(int bytes) {
    if (m_fd >= 0) {
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

bool UdpSocket::SendTo(const SocketAddress& to, std::string_view datagram) {
    if (m_fd < 0 || to.Family() != m_family) {
        m_lastError = m_fd < 0 ? ENOTCONN : EAFNOSUPPORT;
        return false;
    }
    ssize_t sent;
    do {
        sent = sendto(m_fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&to.storage), to.length);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        m_lastError = errno;
        return false;
    }
    return static_cast<size_t>(sent) == datagram.size();
}

ssize_t UdpSocket::ReceiveFrom(void* buffer, size_t length, SocketAddress& from) {
    from = {};
    if (m_fd < 0) {
        m_lastError = ENOTCONN;
        return -1;
    }
    socklen_t fromLength = sizeof from.storage;
    ssize_t received;
    do {
        // MSG_TRUNC: the datagram's real size, so that one cut short is known for what it is.
        received = recvfrom(m_fd, buffer, length, MSG_TRUNC,
                            reinterpret_cast<sockaddr*>(&from.storage), &fromLength);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        m_lastError = errno;
        return -1;
    }
    from.length = fromLength;
    return received;
}

void UdpSocket::Dispatch(uint32_t epollEvents) {
    if ((epollEvents & (EPOLLIN | EPOLLERR)) && m_readable) {
        m_readable();
    }
}

}  // namespace velbrook
