// Fakes for peer-wire tests: a small torrent, the engine's side of the sockets, a listener and a
// raw blocking socket playing the remote peer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "metainfo/SHA1.h"
#include "net/AsyncSocket.h"
#include "net/Reactor.h"
#include "peer/PeerConnection.h"
#include "peer/PeerLinks.h"
#include "peer/PeerSocket.h"
#include "peer/SocketRegistry.h"
#include "peer/Wire.h"
#include "storage/PieceManager.h"

namespace velbrook::test {

inline const std::string kInfoHash(20, '\x11');
inline const std::string kOwnId = std::string("\0\0\0\0korvex\0\x21", 12) + "ABCDEFGH";

class FakeSession : public SessionLink {
public:
    FakeSession(int64_t total, int64_t pieceLength, PeerHost& host)
        : m_pieces(total, pieceLength), m_host(host), m_pieceLength(pieceLength) {
        for (int64_t at = 0; at < total; ++at) {
            m_data += static_cast<char>('a' + at % 23);
        }
        for (uint32_t i = 0; i <= m_pieces.GetLastIndex(); ++i) {
            int64_t offset = 0;
            uint32_t length = 0;
            m_pieces.GetSpan(i, offset, length);
            m_hashes.push_back(SHA1::Digest(m_data.substr(offset, length)));
        }
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
        const bool ok = SHA1::Digest(m_stored.substr(offset, length)) == m_hashes[piece];
        m_pieces.SetState(piece, ok ? Have : Missing);
        if (ok) {
            for (auto& [id, peer] : m_peers) {
                peer->SendHave(piece);
            }
        }
        return ok;
    }
    bool DownloadAllowed() const override { return true; }
    bool IsComplete() const override { return m_complete; }
    bool DownloadLimitReached(PeerConnection&) override { return m_requestBudget-- <= 0; }
    void RerunChoking() override { ++m_chokingRuns; }
    void NoteQueuedRequest(PeerConnection&) override { ++m_queuedNotes; }
    void AddDownloaded(uint32_t bytes) override { m_downloaded += bytes; }
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
    std::vector<std::string> m_hashes;
    std::map<std::string, std::unique_ptr<PeerConnection>> m_peers;
    int64_t m_requestBudget = 1 << 30;
    bool m_complete = false;
    int m_chokingRuns = 0, m_queuedNotes = 0, m_connected = 0, m_seeds = 0, m_writes = 0;
    uint64_t m_downloaded = 0, m_uploaded = 0;
};

class FakeHost : public PeerHost {
public:
    const std::string& ReservedBytes() const override { return m_reserved; }
    const std::string& OwnPeerId() const override { return kOwnId; }
    SessionLink* FindTorrent(std::string_view infoHash) override {
        return infoHash == kInfoHash ? m_session : nullptr;
    }
    void Trace(const std::string& line) override { m_trace.push_back(line); }
    SocketRegistry& Registry() override { return *m_registry; }
    const std::string& SelectedPeerId() const override { return m_selected; }
    void UpdateAllViews() override {}
    int64_t NowSeconds() const override { return m_now; }

    SessionLink* m_session = nullptr;
    int64_t m_now = 1000;  // the sockets' clock: keep-alives and the idle sweep
    std::string m_reserved = ReservedBytes(true);
    std::string m_selected;
    std::vector<std::string> m_trace;
    // Swept by hand; last, so that the sockets it closes at the end can still trace. A test may
    // destroy it early.
    std::optional<SocketRegistry> m_registry{std::in_place, false};

private:
    static std::string ReservedBytes(bool extension) { return velbrook::ReservedBytes(extension); }
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

// A plain listening socket on 127.0.0.1 for the far end of outgoing connections.
class RawListener {
public:
    RawListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(m_fd, 5), 0);
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~RawListener() { ::close(m_fd); }
    // The next accepted connection, or -1 when none came while the loop ran.
    int Accept(const std::function<void()>& pump) {
        for (int i = 0; i < 400; ++i) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 0) == 1) {
                return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            }
            pump();
        }
        return -1;
    }
    uint16_t m_port = 0;
    int m_fd;
};

// The remote peer: a plain blocking TCP socket.
class Remote {
public:
    explicit Remote(uint16_t port, bool expectSuccess = true) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (expectSuccess) {
            EXPECT_TRUE(m_connected);
        }
    }
    bool m_connected = false;
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
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                if (n == 0) {
                    m_closed = true;
                }
                return all;
            }
            all.append(buffer, static_cast<size_t>(n));
        }
    }
    bool m_closed = false;
    int m_fd;
};

// Messages (payloads) in a byte stream after an optional handshake.
inline std::vector<std::string> Messages(std::string stream) {
    std::vector<std::string> out;
    size_t cut = 0;
    EXPECT_EQ(CutMessages(stream, 1 << 24, out, cut), CutResult::Ok);
    return out;
}

inline std::string Handshake(std::string_view peerId, std::string_view infoHash = kInfoHash) {
    return BuildHandshake(ReservedBytes(false), infoHash, peerId);
}

}  // namespace velbrook::test
