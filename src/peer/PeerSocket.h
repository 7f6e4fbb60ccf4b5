// The transport side of one TCP connection to a peer: connect (directly or through a SOCKS5
// proxy), handshake, framing, and the output buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/AsyncSocket.h"
#include "net/Reactor.h"
#include "net/Socks5.h"

namespace velbrook {

class PeerConnection;
class PeerHost;

enum class PeerSocketState {
    Handshake = 0,
    HandshakeWaiting = 1,
    Messages = 2,
    HandshakeFailed = 3,
    Connecting = 4,
    Closed = 5,
    ProxyConnecting = 6,
    ProxyGreeting = 7,
    ProxyFailed = 8,
    ProxyConnectSent = 9,
    ProxyAuthSent = 10,
    ProxyAuthFailed = 11,
};

class PeerSocket : public AsyncSocket {
public:
    // A peer that never reads cannot make us buffer without limit.
    static constexpr size_t kMaxUnsentOutput = size_t{4} << 20;
    // Queued requests are served only while less than this waits to be sent: the socket paces
    // the upload, however many requests a peer sends at once.
    static constexpr size_t kUploadLowMark = size_t{256} << 10;
    // Bytes read from one connection in one turn of the loop, at most (and a chunk more).
    static constexpr size_t kReadBudget = size_t{256} << 10;
    // A connection on which we sent nothing for this long gets a keep-alive.
    static constexpr Duration kKeepAlive = std::chrono::seconds(30);
    // Silence allowed before the idle sweep closes a socket: real clients send keep-alives only
    // every minute or two, so a connection past its handshake is given longer.
    static constexpr Duration kMaxIdleHandshake = std::chrono::seconds(40);
    static constexpr Duration kMaxIdleConnected = std::chrono::seconds(150);

    // Made by the host's socket registry (SocketRegistry::Create), which owns it.
    explicit PeerSocket(PeerHost& host);
    ~PeerSocket() override;

    // Outgoing: connects to the connection's address (through `proxy` when it is enabled) and
    // expects `infoHash` in the answer. False when the connect failed at once (the connection
    // has been told).
    bool Connect(PeerConnection& connection, const std::string& infoHash, const ProxyConfig& proxy);
    // Incoming: the listening socket accepted into this socket.
    void Accepted();

    // Frames and queues one message; dropped when closed.
    void SendMessage(std::string_view payload);
    // False when the message was not queued (closed, or over the output cap).
    [[nodiscard]] bool SendPieceMessage(uint32_t piece, uint32_t begin, std::string_view data);
    // Sends a keep-alive when the connection is past its handshake and nothing went out for
    // kKeepAlive.
    void KeepAlive();
    void SendRaw(std::string_view bytes);
    void SendHandshake();
    // Closes the connection. With notifyRegistry the socket is disposed of by the registry:
    // destroyed once the current handler is done (not for a socket whose connect was pending).
    void Close(bool notifyRegistry);
    // Forgets the bound connection without telling it anything.
    void Unbind() { m_connection = nullptr; }
    // One of the peer's requests was served.
    void NoteServed();
    // The connection has room for the peer's requests again: messages held back are handled
    // and reading goes on, once the current handler is done.
    void ReadAgain();
    // Reading stopped because the peer's requests filled the connection's queue.
    bool IsReadingHeld() const { return m_readingHeld; }

    // How long the peer has been silent (0 while connecting).
    Duration Idle() const;
    // The silence after which the idle sweep closes this socket.
    Duration MaxIdle() const;
    PeerSocketState State() const { return m_state; }
    // The peer itself was reached (not only the proxy), even if the socket has closed since.
    bool ReachedPeer() const { return m_reachedPeer; }
    // Accepted from the peer rather than dialled by us.
    bool IsIncoming() const { return m_incoming; }
    PeerConnection* Connection() const { return m_connection; }
    const std::string& InfoHash() const { return m_infoHash; }
    const std::string& RemoteAddress() const { return m_remoteAddress; }
    uint16_t RemotePort() const { return m_remotePort; }
    size_t UnsentBytes() const { return m_output.size() - m_outputSent; }
    uint64_t BytesReceived() const { return m_bytesReceived; }

protected:
    void OnConnect(int error) override;
    void OnReceive(int error) override;
    void OnSend(int error) override;
    void OnClose(int error) override;

private:
    void Trace(const std::string& text);
    void LearnRemote();
    void QueueOutput();
    void StartHandshake();
    void SendProxyBytes(const std::string& bytes, PeerSocketState next);
    void SendProxyConnect();
    [[nodiscard]] bool RunProxyStep();
    void ReadHandshake();
    void ReadMessages();
    void CloseSoon();
    [[nodiscard]] bool Admit(size_t size);
    void NoteSent();
    // Read and close notifications (read only while reading is not held), write ones too when
    // `write`.
    unsigned Wanted(bool write) const;

    PeerHost& m_host;
    ProxyConfig m_proxy;  // as it was when the connect began
    PeerConnection* m_connection = nullptr;
    PeerSocketState m_state = PeerSocketState::Handshake;
    bool m_established = false;
    bool m_reachedPeer = false;
    bool m_incoming = false;
    bool m_handshakeSent = false;
    bool m_closeScheduled = false;
    bool m_readingHeld = false;  // messages wait in m_received; nothing more is read
    bool m_readAgainPosted = false;
    std::string m_input;
    std::string m_output;
    size_t m_outputSent = 0;  // bytes at the front of m_output already written
    std::vector<std::string> m_received;
    std::string m_remoteAddress;
    uint16_t m_remotePort = 0;
    std::string m_tag;
    std::string m_infoHash;
    uint32_t m_maxMessage = 0;
    uint64_t m_bytesReceived = 0;
    Time m_lastReceive;
    Time m_lastSend;
    Time m_lastServed;    // when one of the peer's requests was last served
    Liveness m_liveness;  // for the queued close and the queued read
};

}  // namespace velbrook
