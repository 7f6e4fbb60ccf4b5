// Fakes for peer-wire tests: a small torrent, the engine's side of the sockets, a listener, a raw
// blocking socket playing the remote peer, and a fixture that puts them on 127.0.0.1.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/AsyncSocket.h"
#include "peer/PeerConnection.h"
#include "peer/PeerLinks.h"
#include "peer/PeerSocket.h"
#include "peer/SocketRegistry.h"
#include "peer/Wire.h"
#include "storage/PieceManager.h"
#include "support/Loopback.h"
#include "support/ManualClock.h"
#include "support/MetainfoBuilder.h"

namespace velbrook::test {

inline const std::string kInfoHash(20, '\x11');
inline const std::string kOwnId = std::string("\0\0\0\0korvex\0\x21", 12) + "ABCDEFGH";

// The torrent's bytes are a known pattern; what peers send is stored apart and checked against it.
class FakeSession : public SessionLink {
public:
    FakeSession(int64_t total, int64_t pieceLength, PeerHost& host)
        : m_pieces(total, pieceLength), m_host(host), m_pieceLength(pieceLength) {
        m_data = PatternBytes(static_cast<size_t>(total));
        m_stored.assign(m_data.size(), '\0');
    }

    PieceManager& Pieces() override { return m_pieces; }
    bool IsRunning() const override { return true; }
    uint32_t PieceLength() const override { return static_cast<uint32_t>(m_pieceLength); }
    bool ReadBlock(uint32_t piece, uint32_t begin, uint32_t length, std::string& out) override {
        out = m_data.substr(piece * m_pieceLength + begin, length);
        return true;
    }
    bool WriteBlock(uint32_t piece, uint32_t begin, std::string_view data) override {
        m_stored.replace(piece * m_pieceLength + begin, data.size(), data);
        ++m_writes;
        return true;
    }
    bool VerifyPiece(uint32_t piece) override {
        int64_t offset = 0;
        uint32_t length = 0;
        m_pieces.GetSpan(piece, offset, length);
        const bool ok = m_stored.substr(offset, length) == m_data.substr(offset, length);
        m_pieces.SetState(piece, ok ? Have : Missing);
        return ok;
    }
    bool DownloadAllowed() const override { return true; }
    bool IsComplete() const override { return m_complete; }
    bool DownloadLimitReached(PeerConnection&) override { return m_requestBudget-- <= 0; }
    void RerunChoking() override {}
    void NoteQueuedRequest(PeerConnection&) override {}
    void AddDownloaded(uint32_t) override {}
    void AddUploaded(uint32_t bytes) override { m_uploaded += bytes; }
    void AdjustConnectedCount(int delta) override { m_connected += delta; }
    void AdjustSeedCount(int delta) override { m_seeds += delta; }
    PeerConnection* FindPeer(const std::string& peerId) override {
        const auto it = m_peers.find(peerId);
        return it == m_peers.end() ? nullptr : it->second.get();
    }
    void ConnectPeer(PeerConnection&) override {}
    std::string PeerExchangeEntries() override { return {}; }
    PeerConnection* CreatePeer(const std::string& peerId, const std::string& address, uint16_t port,
                               uint16_t listenPort) override {
        auto& slot = m_peers[peerId];
        slot = std::make_unique<PeerConnection>(*this, m_host, peerId, address, port, listenPort);
        return slot.get();
    }

    PieceManager m_pieces;
    PeerHost& m_host;
    int64_t m_pieceLength;
    std::string m_data;
    std::string m_stored;
    std::map<std::string, std::unique_ptr<PeerConnection>> m_peers;
    int64_t m_requestBudget = 1 << 30;
    bool m_complete = false;
    int m_connected = 0, m_seeds = 0, m_writes = 0;
    uint64_t m_uploaded = 0;
};

class FakeHost : public PeerHost {
public:
    const std::string& ReservedBytes() const override { return m_reserved; }
    const std::string& OwnPeerId() const override { return kOwnId; }
    SessionLink* FindTorrent(std::string_view infoHash) override {
        return infoHash == m_infoHash ? m_session : nullptr;
    }
    void Trace(const std::string&) override {}
    SocketRegistry& Registry() override { return m_registry; }
    const std::string& SelectedPeerId() const override { return m_selected; }
    void UpdateAllViews() override {}
    ManualClock& GetClock() override { return m_clock; }

    SessionLink* m_session = nullptr;
    std::string m_infoHash = kInfoHash;  // the torrent's, for a real session
    std::string m_reserved = velbrook::ReservedBytes(true);
    std::string m_selected;
    // The time of everything the engine's side does; the test moves it.
    ManualClock m_clock;
    SocketRegistry m_registry{m_clock};
};

// Accepts every incoming connection into a new PeerSocket, on 127.0.0.1 only.
class Listener : public AsyncSocket {
public:
    explicit Listener(PeerHost& host) : m_host(host) {
        EXPECT_TRUE(Create(0, kSocketAccept, "127.0.0.1"));
        EXPECT_TRUE(Listen(5));
        std::string address;
        EXPECT_TRUE(GetSockName(address, m_port));
    }
    uint16_t Port() const { return m_port; }

protected:
    void OnAccept(int) override {
        PeerSocket& socket = m_host.Registry().Create(m_host);
        if (Accept(socket)) {
            socket.Accepted();
        } else {
            m_host.Registry().Dispose(socket);
        }
    }

private:
    PeerHost& m_host;
    uint16_t m_port = 0;
};

// The remote peer: a plain blocking TCP socket.
class Remote {
public:
    explicit Remote(uint16_t port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in address = Loopback(port);
        EXPECT_EQ(::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ~Remote() { ::close(m_fd); }
    void Write(std::string_view bytes) {
        ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void Message(std::string_view payload) { Write(FrameMessage(payload)); }
    // Whatever has arrived, without waiting.
    std::string Drain() {
        std::string all;
        char buffer[65536];
        ssize_t n;
        while ((n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            all.append(buffer, static_cast<size_t>(n));
        }
        m_closed = m_closed || n == 0;
        return all;
    }
    int m_fd;
    bool m_closed = false;
};

// Messages (payloads) in a byte stream.
inline std::vector<std::string> Messages(std::string stream) {
    std::vector<std::string> out;
    size_t cut = 0;
    EXPECT_EQ(CutMessages(stream, 1 << 24, out, cut), CutResult::Ok);
    return out;
}

inline std::string Handshake(std::string_view peerId, std::string_view infoHash = kInfoHash) {
    return BuildHandshake(velbrook::ReservedBytes(false), infoHash, peerId);
}

// A torrent behind a listening socket on 127.0.0.1; remote peers are raw sockets.
class LoopbackPeers : public ::testing::Test {
protected:
    LoopbackPeers() : m_listener(m_host) {}

    // A torrent of `total` bytes of which we have the first `ours` pieces.
    void Use(int64_t total, int64_t pieceLength, uint32_t ours = 0) {
        m_session = std::make_unique<FakeSession>(total, pieceLength, m_host);
        m_host.m_session = m_session.get();
        m_session->m_pieces.SetAll(Missing);
        for (uint32_t i = 0; i < ours; ++i)
            m_session->m_pieces.SetState(i, Have);
    }
    bool PumpUntil(const std::function<bool()>& done) { return RunUntil(m_reactor, done); }
    // Moves the engine's clock, running the registry's timers that fall due.
    void Advance(Duration by) { m_host.m_clock.Advance(by); }
    // Reads what the remote is sent until `enough` says so.
    std::string Receive(Remote& remote, const std::function<bool(const std::string&)>& enough) {
        std::string got;
        PumpUntil([&] { return enough(got += remote.Drain()) || remote.m_closed; });
        return got;
    }
    // True once the remote sees its connection closed.
    bool Closes(Remote& remote) {
        return PumpUntil([&] { return remote.Drain(), remote.m_closed; });
    }
    // A remote peer whose handshake passed, with all it was sent so far read.
    std::unique_ptr<Remote> Connected(const std::string& peerId) {
        auto remote = std::make_unique<Remote>(m_listener.Port());
        remote->Write(Handshake(peerId));
        Receive(*remote, [](const std::string& s) { return s.size() >= kHandshakeLength + 4; });
        RunPasses(m_reactor, 5);
        remote->Drain();
        return remote;
    }
    PeerConnection* Peer(const std::string& id) { return m_session->FindPeer(id); }

    FakeHost m_host;  // its clock outlives what the reactor still has to destroy
    Reactor m_reactor;
    Listener m_listener;
    std::unique_ptr<FakeSession> m_session;  // goes first: its connections close their sockets
};

}  // namespace velbrook::test
