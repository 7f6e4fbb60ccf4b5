// A non-blocking TCP stream socket whose events arrive as notifications on the reactor's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

#include "net/Clock.h"
#include "net/ReactorSocket.h"

namespace velbrook {

class Reactor;

// Notifications a socket can ask for.
enum SocketEvents : unsigned {
    kSocketRead = 1,
    kSocketWrite = 2,
    kSocketConnect = 4,
    kSocketClose = 8,
    kSocketAccept = 16,
    kSocketAll = 31,
};

// Never deleted while one of its notifications may be running: see Reactor::DeleteLater.
class AsyncSocket : public ReactorSocket {
public:
    AsyncSocket();
    virtual ~AsyncSocket();  // closes the OS socket
    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    // A TCP socket bound to `port` (0: any) on `address` (empty: every address of both
    // families where the host has IPv6, else of IPv4), asking for `events`. False with LastError
    // on failure.
    [[nodiscard]] bool Create(uint16_t port = 0, unsigned events = kSocketAll,
                              const std::string& address = {});
    // Numeric text of either family or a host name. Never waits: true means the outcome will arrive
    // as OnConnect(error), 0 for connected. False with LastError when it failed at once.
    [[nodiscard]] bool Connect(const std::string& host, uint16_t port);
    [[nodiscard]] bool Listen(int backlog = 5);
    // Moves a pending connection into `into`, which must not be open yet; it comes out connected,
    // asking for read, write and close notifications.
    [[nodiscard]] bool Accept(AsyncSocket& into);
    // Takes a pending connection off the queue and closes it at once. False when none was taken.
    bool Refuse();
    // At most `length` bytes. >0: bytes read; 0: the peer closed; -1: error (LastError, EAGAIN
    // when nothing is there yet).
    [[nodiscard]] ssize_t Receive(void* buffer, size_t length);
    // As many bytes as the system takes now; -1 on error (LastError, EAGAIN when full).
    [[nodiscard]] ssize_t Send(const void* data, size_t length);
    void ShutDown();
    void Close();
    [[nodiscard]] bool GetPeerName(std::string& address, uint16_t& port) const;
    [[nodiscard]] bool GetSockName(std::string& address, uint16_t& port) const;
    // Chooses the notifications; takes effect for the next dispatch.
    void AsyncSelect(unsigned events);
    int LastError() const { return m_lastError; }
    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    // Live sockets in the process, for the statistics.
    static size_t LiveCount();
    // Sockets in the process that hold a descriptor now.
    static size_t OpenCount();

protected:
    virtual void OnConnect(int /*error*/) {}
    virtual void OnReceive(int /*error*/) {}
    virtual void OnSend(int /*error*/) {}
    // Only after every byte received before the close was offered through OnReceive.
    virtual void OnClose(int /*error*/) {}
    virtual void OnAccept(int /*error*/) {}

private:
    friend class Reactor;
    void Dispatch(uint32_t epollEvents) override;
    void Detach() override;

    enum class State : unsigned char { Idle, Resolving, Connecting, Listening, Connected };

    [[nodiscard]] bool StartConnect(const std::string& address, uint16_t port);
    void ConnectFailed(int error);
    void ConnectResolved(int error, const std::string& address, uint16_t port);
    // accept4 on the listening socket: the new descriptor, or -1 (running out of descriptors
    // or memory pauses accepting for a while).
    int TakePending();
    [[nodiscard]] bool DropPendingConnection();
    void PauseAccepting();
    uint32_t WantedInterest() const;
    void UpdateInterest();

    int m_fd = -1;
    int m_family = 0;
    int m_lastError = 0;
    unsigned m_events = 0;
    Reactor* m_reactor = nullptr;  // where the open socket is registered
    uint64_t m_key = 0;            // its registration there
    State m_state = State::Idle;
    uint32_t m_interest = 0;      // what epoll currently watches; 0: not in the epoll set
    bool m_peerClosed = false;    // the peer's end of the stream is shut (seen, maybe not told)
    bool m_closeHandled = false;  // OnClose delivered, or the owner read the end of the stream
    bool m_acceptPaused = false;
    int m_closeError = 0;    // what OnClose reports once the stream is drained
    uint64_t m_resolve = 0;  // pending host name lookup
    Timer m_pauseTimer;      // resumes accepting after running out of descriptors
};

}  // namespace velbrook
