#include "peer/PeerSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/Address.h"
#include "net/Reactor.h"
#include "net/Socks5.h"
#include "peer/PeerConnection.h"
#include "peer/PeerLinks.h"
#include "peer/SocketRegistry.h"
#include "peer/Wire.h"

namespace velbrook {

namespace {

constexpr unsigned kReadWriteClose = kSocketRead | kSocketWrite | kSocketClose;

}  // namespace

PeerSocket::PeerSocket(PeerHost& host)
    : m_host(host), m_lastReceive(host.GetClock().Now()), m_lastSend(m_lastReceive),
      m_lastServed(m_lastReceive) {}

PeerSocket::~PeerSocket() {
    if (m_connection) {
        // The connection must not keep requests outstanding on a socket that is gone.
        PeerConnection* connection = m_connection;
        m_connection = nullptr;
        connection->OnSocketClosed();
    }
}

void PeerSocket::Trace(const std::string& text) {
    m_host.Trace(m_tag + text);
}

Duration PeerSocket::Idle() const {
    if (m_state == PeerSocketState::Connecting) {
        return Duration::zero();
    }
    // While we hold its input back the peer cannot send anything; that its requests are still
    // being served (which needs it to read what we send) is what shows it alive.
    const Time last = m_readingHeld ? std::max(m_lastReceive, m_lastServed) : m_lastReceive;
    return m_host.GetClock().Now() - last;
}

Duration PeerSocket::MaxIdle() const {
    return m_state == PeerSocketState::Messages ? kMaxIdleConnected : kMaxIdleHandshake;
}

void PeerSocket::KeepAlive() {
    if (m_state == PeerSocketState::Messages && !m_closeScheduled &&
        m_host.GetClock().Now() - m_lastSend >= kKeepAlive) {
        SendMessage({});
    }
}

// ---- connecting ----

bool PeerSocket::Connect(PeerConnection& connection, const std::string& infoHash,
                         const ProxyConfig& proxy) {
    m_connection = &connection;
    connection.AttachSocket(this);
    m_infoHash = infoHash;
    m_proxy = proxy;
    bool started = Create(0, kSocketAll);
    if (started) {
        if (m_proxy.enabled) {
            m_state = PeerSocketState::ProxyConnecting;
            started = AsyncSocket::Connect(m_proxy.host, m_proxy.port);
        } else {
            m_state = PeerSocketState::Connecting;
            started = AsyncSocket::Connect(connection.Address(), connection.Port());
        }
    }
    if (!started) {
        OnConnect(LastError() ? LastError() : ECONNREFUSED);
        return false;
    }
    AsyncSelect(kSocketConnect | kSocketClose);
    return true;
}

void PeerSocket::Accepted() {
    m_established = true;
    m_reachedPeer = true;
    m_incoming = true;
    m_state = PeerSocketState::Handshake;
    m_lastReceive = m_host.GetClock().Now();
    AsyncSelect(kSocketRead | kSocketClose);
}

void PeerSocket::OnConnect(int error) {
    if (m_state == PeerSocketState::Closed) {
        Close(true);
        return;
    }
    m_lastReceive = m_host.GetClock().Now();
    if (error != 0) {
        Trace(m_state == PeerSocketState::ProxyConnecting
                  ? "SOCKS5 - " + m_tag + " Can't be Connected.\r\n"
                  : " Can't be Connected.\r\n");
        if (m_connection) {
            m_connection->OnConnectFailed();
        }
        m_state = PeerSocketState::Closed;
        Close(true);
        return;
    }
    if (m_state == PeerSocketState::ProxyConnecting) {
        SendProxyBytes(BuildSocks5Greeting(m_proxy.WithPassword()), PeerSocketState::ProxyGreeting);
        return;
    }
    if (m_state == PeerSocketState::Connecting) {
        StartHandshake();
    }
    AsyncSelect(kReadWriteClose);
}

// The connection to the peer itself is up (directly or through the proxy): our handshake goes
// first on outgoing connections.
void PeerSocket::StartHandshake() {
    m_established = true;
    m_reachedPeer = true;
    SendHandshake();
    m_state = PeerSocketState::Handshake;
}

// ---- output ----

unsigned PeerSocket::Wanted(bool write) const {
    return (m_readingHeld ? 0u : unsigned{kSocketRead}) | kSocketClose |
           (write ? kSocketWrite : 0u);
}

void PeerSocket::QueueOutput() {
    AsyncSelect(Wanted(true));
}

void PeerSocket::NoteSent() {
    m_lastSend = m_host.GetClock().Now();
    QueueOutput();
}

// Whether `size` more bytes may be queued. A peer that lets the output pile up past the cap is
// not reading: it is closed.
bool PeerSocket::Admit(size_t size) {
    if (m_state == PeerSocketState::Closed || m_closeScheduled) {
        return false;
    }
    if (UnsentBytes() + size > kMaxUnsentOutput) {
        CloseSoon();
        return false;
    }
    return true;
}

void PeerSocket::SendRaw(std::string_view bytes) {
    if (Admit(bytes.size())) {
        m_output.append(bytes);
        NoteSent();
    }
}

void PeerSocket::SendMessage(std::string_view payload) {
    if (Admit(payload.size() + 4)) {
        AppendFramed(m_output, payload);
        NoteSent();
    }
}

bool PeerSocket::SendPieceMessage(uint32_t piece, uint32_t begin, std::string_view data) {
    if (!Admit(data.size() + 13)) {
        return false;
    }
    AppendPieceMessage(m_output, piece, begin, data);
    NoteSent();
    return true;
}

void PeerSocket::SendHandshake() {
    if (m_handshakeSent) {
        return;
    }
    m_handshakeSent = true;
    SendRaw(BuildHandshake(m_host.ReservedBytes(), m_infoHash, m_host.OwnPeerId()));
}

// Closing from inside a send would pull the connection out from under whoever is sending; the
// close runs as soon as the current handler is done.
void PeerSocket::CloseSoon() {
    if (m_closeScheduled) {
        return;
    }
    m_closeScheduled = true;
    Reactor::Get().Post([this, alive = m_liveness.Watch()] {
        if (alive.Alive()) {
            Close(true);
        }
    });
}

void PeerSocket::OnSend(int /*error*/) {
    if (m_state == PeerSocketState::Closed) {
        Close(true);
        return;
    }
    const size_t before = UnsentBytes();
    if (before > 0) {
        const ssize_t n = Send(m_output.data() + m_outputSent, UnsentBytes());
        if (n < 0) {
            if (LastError() != EAGAIN && LastError() != EWOULDBLOCK) {
                Close(true);
            }
            return;
        }
        m_outputSent += static_cast<size_t>(n);
        // Compact only once the written part dominates, so large bursts are not moved per send.
        if (m_outputSent == m_output.size()) {
            m_output.clear();
            m_outputSent = 0;
        } else if (m_outputSent > m_output.size() / 2) {
            m_output.erase(0, m_outputSent);
            m_outputSent = 0;
        }
    }
    AsyncSelect(Wanted(UnsentBytes() > 0));
    // Below the low mark again, or empty: queued requests may go out now.
    const size_t after = UnsentBytes();
    if (m_connection && m_state == PeerSocketState::Messages && after < before &&
        (before >= kUploadLowMark || after == 0) && after < kUploadLowMark) {
        m_connection->OnOutputDrained();  // may queue more output, or close this socket
    }
}

// ---- input ----

void PeerSocket::LearnRemote() {
    if (!m_remoteAddress.empty()) {
        return;
    }
    if (GetPeerName(m_remoteAddress, m_remotePort)) {
        m_tag = "[" + AddressWithPort(m_remoteAddress, m_remotePort) + "]";
        Trace("Connecting\r\n");
    }
}

void PeerSocket::OnReceive(int /*error*/) {
    if (m_state == PeerSocketState::Closed) {
        Close(true);
        return;
    }
    LearnRemote();
    // A busy connection is read in several chunks a turn: every turn costs a wait on the reactor
    // and a pass over the messages, which at hundreds of MB/s would take more time than the data.
    // The budget keeps one peer from starving the others. Before the handshake has passed, one
    // chunk: the proxy's replies and the handshake are short.
    char buffer[kMaxReadChunk];
    size_t taken = 0;
    do {
        const ssize_t n = Receive(buffer, sizeof buffer);
        if (n < 0 && (LastError() == EAGAIN || LastError() == EWOULDBLOCK)) {
            if (taken == 0) {
                return;
            }
            break;
        }
        if (n <= 0) {
            if (taken > 0) {
                break;  // what came before the end is handled first; the end is seen again
            }
            Close(true);
            return;
        }
        m_input.append(buffer, static_cast<size_t>(n));
        m_bytesReceived += static_cast<uint64_t>(n);
        taken += static_cast<size_t>(n);
        if (static_cast<size_t>(n) < sizeof buffer) {
            break;  // nothing more waits
        }
    } while (m_state == PeerSocketState::Messages && taken < kReadBudget);

    switch (m_state) {
    case PeerSocketState::ProxyGreeting:
    case PeerSocketState::ProxyAuthSent:
    case PeerSocketState::ProxyConnectSent:
        if (!RunProxyStep()) {
            Close(true);
            return;
        }
        if (m_state != PeerSocketState::Handshake) {
            return;
        }
        break;
    default:
        break;
    }

    if (m_state == PeerSocketState::Handshake || m_state == PeerSocketState::HandshakeWaiting) {
        ReadHandshake();
    }
    switch (m_state) {
    case PeerSocketState::HandshakeWaiting:
        Trace("HANDSHAKEing\r\n");
        AsyncSelect(kSocketRead | kSocketClose | (UnsentBytes() > 0 ? kSocketWrite : 0u));
        break;
    case PeerSocketState::HandshakeFailed:
        Trace("HANDSHAKE_failed\r\n");
        m_state = PeerSocketState::Closed;
        Close(true);
        break;
    case PeerSocketState::Messages:
        ReadMessages();
        break;
    default:
        break;
    }
}

void PeerSocket::SendProxyBytes(const std::string& bytes, PeerSocketState next) {
    m_output.append(bytes);
    m_state = next;
    m_input.clear();
    // Replies are read once the request is out.
    AsyncSelect(kSocketWrite | kSocketClose);
}

void PeerSocket::SendProxyConnect() {
    std::string request;
    if (!m_connection ||
        !BuildSocks5ConnectIPv4(m_connection->Address(), m_connection->Port(), request)) {
        m_state = PeerSocketState::ProxyFailed;
        return;
    }
    SendProxyBytes(request, PeerSocketState::ProxyConnectSent);
}

// A reply may arrive in pieces; each step waits until its reply is whole. Nothing may follow the
// short replies: the proxy has nothing more to say until our next request.
bool PeerSocket::RunProxyStep() {
    switch (m_state) {
    case PeerSocketState::ProxyGreeting: {
        const Socks5Reply reply = ParseSocks5MethodReply(m_input);
        if (reply.status == Socks5Status::NeedMore) {
            break;
        }
        if (reply.status != Socks5Status::Accepted || m_input.size() != reply.length) {
            m_state = PeerSocketState::ProxyFailed;
        } else if (reply.code == kSocks5NoAuth) {
            SendProxyConnect();
        } else {
            std::string request;
            if (!BuildSocks5Auth(m_proxy.user, m_proxy.password, request)) {
                m_state = PeerSocketState::ProxyFailed;
                break;
            }
            SendProxyBytes(request, PeerSocketState::ProxyAuthSent);
        }
        break;
    }
    case PeerSocketState::ProxyAuthSent: {
        const Socks5Reply reply = ParseSocks5AuthReply(m_input);
        if (reply.status == Socks5Status::NeedMore) {
            break;
        }
        if (m_input.size() != reply.length) {
            m_state = PeerSocketState::ProxyFailed;
        } else if (reply.status != Socks5Status::Accepted) {
            m_state = PeerSocketState::ProxyAuthFailed;
        } else {
            SendProxyConnect();
        }
        break;
    }
    case PeerSocketState::ProxyConnectSent: {
        const Socks5Reply reply = ParseSocks5ConnectReply(m_input);
        if (reply.status == Socks5Status::NeedMore) {
            break;
        }
        if (reply.status != Socks5Status::Accepted) {
            m_state = PeerSocketState::ProxyFailed;
            break;
        }
        // What follows the reply is already the peer's handshake.
        m_input.erase(0, reply.length);
        StartHandshake();
        AsyncSelect(kReadWriteClose);
        break;
    }
    default:
        break;
    }
    return m_state != PeerSocketState::ProxyFailed && m_state != PeerSocketState::ProxyAuthFailed;
}

void PeerSocket::ReadHandshake() {
    HandshakeFields fields;
    switch (ParseHandshake(m_input, fields)) {
    case HandshakeParse::NeedMore:
        m_state = PeerSocketState::HandshakeWaiting;
        return;
    case HandshakeParse::Failed:
        m_state = PeerSocketState::HandshakeFailed;
        return;
    case HandshakeParse::Complete:
        break;
    }
    if (!m_infoHash.empty()) {
        if (fields.infoHash != m_infoHash) {
            Trace("Wrong Info hash. :)\r\n");
            m_state = PeerSocketState::HandshakeFailed;
            return;
        }
    } else {
        m_infoHash = fields.infoHash;
    }
    if (fields.peerId == m_host.OwnPeerId()) {
        Trace("Connecting to myself. :)\r\n");
        m_state = PeerSocketState::HandshakeFailed;
        return;
    }
    // Who the peer is, the set of the torrent's peers decides: it owns their identities.
    SwarmLink* swarm = m_host.FindSwarm(m_infoHash);
    PeerConnection* connection = swarm ? swarm->AdmitPeer(*this, fields.peerId) : nullptr;
    if (!connection) {
        m_state = PeerSocketState::HandshakeFailed;
        return;
    }
    m_connection = connection;
    connection->AttachSocket(this);
    connection->SetPeerFeatures(ReadPeerFeatures(fields.reserved));
    m_maxMessage = connection->LongestMessage();
    m_state = PeerSocketState::Messages;
    m_input.erase(0, kHandshakeLength);
    Trace("HANDSHAKE_passed\r\n");
    SendHandshake();
    connection->OnHandshakePassed();
}

void PeerSocket::ReadMessages() {
    // Messages held back go first; more are cut from the input only once they are all taken.
    while (m_state == PeerSocketState::Messages && m_connection && !m_closeScheduled) {
        if (m_received.empty()) {
            size_t cut = 0;
            if (CutMessages(m_input, m_maxMessage, m_received, cut) == CutResult::TooLong) {
                Close(true);
                return;
            }
            if (cut == 0) {
                break;
            }
            m_lastReceive = m_host.GetClock().Now();
        }
        // The connection may close this socket meanwhile, but not destroy it: the registry
        // disposes of it only after this handler.
        if (!m_connection->ProcessMessages(m_received)) {
            Close(true);
            return;
        }
        if (!m_received.empty()) {
            break;  // the peer's request queue is full
        }
    }
    m_readingHeld = !m_received.empty() && m_state == PeerSocketState::Messages;
    if (m_state == PeerSocketState::Messages && !m_closeScheduled) {
        AsyncSelect(Wanted(UnsentBytes() > 0));
    }
}

void PeerSocket::NoteServed() {
    m_lastServed = m_host.GetClock().Now();
}

void PeerSocket::ReadAgain() {
    if (!m_readingHeld || m_readAgainPosted) {
        return;
    }
    // Not from inside the serving that made the room: the connection may be in the middle of a
    // walk over its queue.
    m_readAgainPosted = true;
    Reactor::Get().Post([this, alive = m_liveness.Watch()] {
        if (!alive.Alive()) {
            return;
        }
        m_readAgainPosted = false;
        if (m_readingHeld && !m_closeScheduled) {
            m_readingHeld = false;  // until the messages show the queue full again
            ReadMessages();
        }
    });
}

void PeerSocket::OnClose(int /*error*/) {
    m_established = false;
    Close(true);
}

void PeerSocket::Close(bool notifyRegistry) {
    if (IsOpen()) {
        if (m_established) {
            ShutDown();
        }
        AsyncSocket::Close();
    }
    m_established = false;
    if (m_state == PeerSocketState::Connecting || m_state == PeerSocketState::ProxyConnecting) {
        notifyRegistry = false;
    }
    m_state = PeerSocketState::Closed;
    if (m_connection) {
        Trace(" Connection Closed.\r\n");
        PeerConnection* connection = m_connection;
        m_connection = nullptr;
        connection->OnSocketClosed();
    }
    if (notifyRegistry) {
        m_host.Registry().Dispose(*this);
    }
}

}  // namespace velbrook
