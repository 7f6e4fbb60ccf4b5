#include "net/AsyncSocket.h"

#include "net/Address.h"

#include "net/Reactor.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace velbrook {

namespace {

size_t g_liveSockets = 0;
size_t g_openSockets = 0;

// Held open so that, out of descriptors, a listening socket can still take a pending connection
// off its queue (and drop it) instead of being told about it again and again.
int g_spareFd = -1;

void EnsureSpareFd() {
    if (g_spareFd < 0)
        g_spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

constexpr auto kAcceptPause = std::chrono::seconds(1);

int TakeSocketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        return errno;
    return error;
}

int QueuedBytes(int fd) {
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) < 0)
        return 0;
    return queued;
}

}  // namespace

AsyncSocket::AsyncSocket() {
    ++g_liveSockets;
}

AsyncSocket::~AsyncSocket() {
    Close();
    --g_liveSockets;
}

size_t AsyncSocket::LiveCount() {
    return g_liveSockets;
}

size_t AsyncSocket::OpenCount() {
    return g_openSockets;
}

bool AsyncSocket::Create(uint16_t port, unsigned events, const std::string& address) {
    if (m_fd >= 0) {
        m_lastError = EISCONN;
        return false;
    }
    // Without an address of its own a socket takes both families where the host has IPv6: it
    // listens for either and dials either (IPv4 as IPv4-mapped).
    int family = AF_INET;
    if (address.empty()) {
        family = HostHasIPv6() ? AF_INET6 : AF_INET;
    } else if (!IsDottedIPv4(address)) {
        family = AF_INET6;
    }
    SocketAddress local;
    if (!ToSocketAddress(address.empty() ? (family == AF_INET6 ? "::" : "0.0.0.0") : address, port,
                         family, local)) {
        m_lastError = EINVAL;
        return false;
    }
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_lastError = errno;
        return false;
    }
    if (family == AF_INET6) {
        int off = 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (port != 0 || !address.empty()) {
        // Lets a restarted listener take its port back from connections lingering in TIME_WAIT.
        // Linux still refuses the port while another socket is listening on it.
        int one = 1;
        if (port != 0)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, local.Get(), local.length) < 0) {
            m_lastError = errno;
            close(fd);
            return false;
        }
    }
    m_fd = fd;
    m_family = family;
    ++g_openSockets;
    m_events = events;
    m_state = State::Idle;
    m_reactor = &Reactor::Get();
    m_key = m_reactor->Register(this);
    return true;
}

bool AsyncSocket::Connect(const std::string& host, uint16_t port) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return false;
    }
    if (m_state != State::Idle) {
        m_lastError = m_state == State::Connected ? EISCONN : EALREADY;
        return false;
    }
    if (IsNumericAddress(host))
        return StartConnect(host, port);
    m_state = State::Resolving;
    // Close cancels the lookup, so the callback never sees a closed or destroyed socket.
    m_resolve =
        m_reactor->Resolve(host, [this, port](int error, std::vector<std::string> addresses) {
            m_resolve = 0;
            ConnectResolved(error, error ? std::string() : addresses.front(), port);
        });
    return true;
}

void AsyncSocket::ConnectResolved(int error, const std::string& address, uint16_t port) {
    m_state = State::Idle;
    if (error == 0 && StartConnect(address, port))
        return;
    ConnectFailed(error ? error : m_lastError);
}

bool AsyncSocket::StartConnect(const std::string& address, uint16_t port) {
    SocketAddress remote;
    if (!ToSocketAddress(address, port, m_family, remote)) {
        m_lastError = m_family == AF_INET && IsIPv6(address) ? EAFNOSUPPORT : EINVAL;
        m_state = State::Idle;
        return false;
    }
    // An interrupted non-blocking connect carries on in the background, like EINPROGRESS.
    if (connect(m_fd, remote.Get(), remote.length) < 0 && errno != EINPROGRESS && errno != EINTR) {
        m_lastError = errno;
        m_state = State::Idle;
        return false;
    }
    // Even a connect that completed at once reports through OnConnect, from the writable event.
    m_state = State::Connecting;
    m_peerClosed = false;
    m_closeHandled = false;
    m_closeError = 0;
    UpdateInterest();
    return true;
}

void AsyncSocket::ConnectFailed(int error) {
    m_lastError = error;
    m_state = State::Idle;
    m_closeHandled = true;  // the failed connect is the only report for this attempt
    UpdateInterest();
    if (m_events & kSocketConnect)
        OnConnect(error);
    else if (m_events & kSocketClose)
        OnClose(error);
}

bool AsyncSocket::Listen(int backlog) {
    if (m_fd < 0 || m_state != State::Idle) {
        m_lastError = m_fd < 0 ? EBADF : EINVAL;
        return false;
    }
    if (listen(m_fd, backlog) < 0) {
        m_lastError = errno;
        return false;
    }
    m_state = State::Listening;
    EnsureSpareFd();
    UpdateInterest();
    return true;
}

int AsyncSocket::TakePending() {
    int fd;
    do {
        fd = accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int error = errno;
        if (error == EMFILE || error == ENFILE) {
            if (!DropPendingConnection())
                PauseAccepting();
        } else if (error == ENOBUFS || error == ENOMEM) {
            PauseAccepting();
        }
        m_lastError = error;
    }
    return fd;
}

bool AsyncSocket::Refuse() {
    if (m_state != State::Listening) {
        m_lastError = EINVAL;
        return false;
    }
    const int fd = TakePending();
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

bool AsyncSocket::Accept(AsyncSocket& into) {
    if (m_state != State::Listening || into.m_fd >= 0) {
        m_lastError = EINVAL;
        return false;
    }
    const int fd = TakePending();
    if (fd < 0)
        return false;
    into.m_fd = fd;
    into.m_family = m_family;
    ++g_openSockets;
    into.m_events = kSocketRead | kSocketWrite | kSocketClose;
    into.m_state = State::Connected;
    into.m_reactor = m_reactor;
    into.m_key = m_reactor->Register(&into);
    into.UpdateInterest();
    return true;
}

bool AsyncSocket::DropPendingConnection() {
    if (g_spareFd < 0)
        return false;
    close(g_spareFd);
    g_spareFd = -1;
    int fd = accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0)
        close(fd);
    EnsureSpareFd();
    return fd >= 0 || error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED;
}

void AsyncSocket::PauseAccepting() {
    if (m_acceptPaused)
        return;
    m_acceptPaused = true;
    UpdateInterest();
    // Close stops this timer, so it never runs for a closed or destroyed socket.
    m_pauseTimer = m_reactor->After(kAcceptPause, [this] {
        m_acceptPaused = false;
        EnsureSpareFd();
        UpdateInterest();
    });
}

ssize_t AsyncSocket::Receive(void* buffer, size_t length) {
    if (m_fd < 0) {
        m_lastError = ENOTCONN;
        return -1;
    }
    ssize_t received;
    do {
        received = recv(m_fd, buffer, length, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        m_lastError = errno;
        return -1;
    }
    if (m_state == State::Connected) {
        if (received == 0 && length > 0) {
            // The owner has seen the end of the stream itself; no OnClose follows for it.
            m_peerClosed = true;
            m_closeHandled = true;
            UpdateInterest();
        } else if (m_peerClosed && !m_closeHandled) {
            UpdateInterest();  // a close held back behind unread data may be due now
        }
    }
    return received;
}

ssize_t AsyncSocket::Send(const void* data, size_t length) {
    if (m_fd < 0) {
        m_lastError = ENOTCONN;
        return -1;
    }
    ssize_t sent;
    do {
        sent = send(m_fd, data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0)
        m_lastError = errno;
    return sent;
}

void AsyncSocket::ShutDown() {
    if (m_fd >= 0)
        shutdown(m_fd, SHUT_RDWR);
}

void AsyncSocket::Close() {
    if (m_fd < 0)
        return;
    m_pauseTimer.Stop();
    // Without a reactor (it went first) there is nothing to deregister from.
    if (m_reactor) {
        if (m_resolve)
            m_reactor->CancelResolve(m_resolve);
        if (m_interest)
            m_reactor->UpdateInterest(m_key, m_fd, 0, true);
        m_reactor->Unregister(m_key);
    }
    close(m_fd);
    --g_openSockets;
    m_fd = -1;
    m_reactor = nullptr;
    m_key = 0;
    m_state = State::Idle;
    m_interest = 0;
    m_peerClosed = false;
    m_closeHandled = false;
    m_acceptPaused = false;
    m_closeError = 0;
    m_resolve = 0;
}

void AsyncSocket::Detach() {
    m_pauseTimer.Stop();
    m_reactor = nullptr;
    m_key = 0;
    m_interest = 0;
    m_resolve = 0;
}

bool AsyncSocket::GetPeerName(std::string& address, uint16_t& port) const {
    SocketAddress peer;
    peer.length = sizeof peer.storage;
    if (m_fd < 0 || getpeername(m_fd, peer.Get(), &peer.length) < 0)
        return false;
    return FromSocketAddress(peer, address, port);
}

bool AsyncSocket::GetSockName(std::string& address, uint16_t& port) const {
    SocketAddress local;
    local.length = sizeof local.storage;
    if (m_fd < 0 || getsockname(m_fd, local.Get(), &local.length) < 0)
        return false;
    return FromSocketAddress(local, address, port);
}

void AsyncSocket::AsyncSelect(unsigned events) {
    m_events = events;
    UpdateInterest();
}

uint32_t AsyncSocket::WantedInterest() const {
    switch (m_state) {
    case State::Idle:
    case State::Resolving:
        // An unconnected TCP socket polls as hung up; it stays out of the epoll set.
        return 0;
    case State::Connecting:
        return EPOLLOUT;
    case State::Listening:
        return (m_events & kSocketAccept) && !m_acceptPaused ? uint32_t{EPOLLIN} : 0u;
    case State::Connected:
        break;
    }
    uint32_t interest = 0;
    if (m_events & kSocketWrite)
        interest |= EPOLLOUT;
    if (m_closeHandled)
        return interest;
    if (m_events & kSocketRead) {
        interest |= EPOLLIN | EPOLLRDHUP;
    } else if (m_events & kSocketClose) {
        // Data nobody asked to read would keep a closed stream ready forever; the close waits
        // until that data has been read or read notifications are asked for again.
        if (!m_peerClosed || QueuedBytes(m_fd) == 0)
            interest |= EPOLLRDHUP;
    }
    return interest;
}

void AsyncSocket::UpdateInterest() {
    if (m_fd < 0 || !m_reactor)
        return;
    uint32_t wanted = WantedInterest();
    if (wanted == m_interest)
        return;
    // With nothing wanted the socket leaves the epoll set altogether: EPOLLHUP and EPOLLERR are
    // reported regardless of the interest mask and would wake the loop for nothing.
    m_reactor->UpdateInterest(m_key, m_fd, wanted, m_interest != 0);
    m_interest = wanted;
}

void AsyncSocket::Dispatch(uint32_t epollEvents) {
    // Any handler may close this socket (or reopen it), never destroy it: its owner hands it to
    // Reactor::DeleteLater instead. Check before going on with this notification.
    const uint64_t key = m_key;
    auto gone = [&] { return m_key != key; };

    switch (m_state) {
    case State::Connecting: {
        if (!(epollEvents & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
            return;
        if (int error = TakeSocketError(m_fd)) {
            ConnectFailed(error);
            return;
        }
        m_state = State::Connected;
        UpdateInterest();
        if (m_events & kSocketConnect)
            OnConnect(0);
        return;  // anything else that is ready shows up on the next pass
    }
    case State::Listening:
        if ((epollEvents & EPOLLIN) && (m_events & kSocketAccept) && !m_acceptPaused)
            OnAccept(0);
        return;
    case State::Connected:
        break;
    case State::Idle:
    case State::Resolving:
        return;
    }

    if (epollEvents & EPOLLERR) {
        if (int error = TakeSocketError(m_fd); error && !m_closeError)
            m_closeError = error;
        m_peerClosed = true;
    }
    if (epollEvents & (EPOLLRDHUP | EPOLLHUP))
        m_peerClosed = true;

    if ((epollEvents & EPOLLOUT) && (m_events & kSocketWrite)) {
        OnSend(0);
        if (gone())
            return;
    }
    if (m_closeHandled)
        return;
    if (!m_peerClosed) {
        if ((epollEvents & EPOLLIN) && (m_events & kSocketRead))
            OnReceive(0);
        return;
    }

    // The peer is gone: everything that arrived before that is offered before the close.
    if (QueuedBytes(m_fd) > 0) {
        if (!(m_events & kSocketRead)) {
            UpdateInterest();  // parked until read notifications are wanted again
            return;
        }
        OnReceive(0);
        if (gone() || m_closeHandled || QueuedBytes(m_fd) > 0)
            return;
    }
    m_closeHandled = true;
    UpdateInterest();
    if (m_events & kSocketClose)
        OnClose(m_closeError);
    else if (m_events & kSocketRead)
        OnReceive(m_closeError);  // the owner's next Receive returns 0
}

}  // namespace velbrook
