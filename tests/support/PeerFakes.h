// Peer-wire tests over 127.0.0.1: a listener, a raw blocking socket playing the remote peer, and a
// fixture that puts them in front of a small torrent (support/FakeTorrent.h).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/AsyncSocket.h"
#include "net/Reactor.h"
#include "peer/PeerConnection.h"
#include "peer/PeerSocket.h"
#include "support/FakeTorrent.h"
#include "support/Loopback.h"

namespace velbrook::test {

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
    // `from`: the loopback address it connects from.
    explicit Remote(uint16_t port, const char* from = "127.0.0.1")
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in local = Loopback(0);
        ::inet_pton(AF_INET, from, &local.sin_addr);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
        const sockaddr_in address = Loopback(port);
        EXPECT_EQ(::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ~Remote() { ::close(m_fd); }
    void Write(std::string_view bytes) {
        m_written += bytes.size();
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
    // The whole messages (payloads) that arrived since the last call, our handshake skipped;
    // the start of one still arriving waits for the next call.
    std::vector<std::string> NewMessages() {
        m_stream += Drain();
        std::vector<std::string> out;
        if (!m_handshakeSeen && m_stream.size() >= kHandshakeLength) {
            m_stream.erase(0, kHandshakeLength);
            m_handshakeSeen = true;
        }
        size_t cut = 0;
        if (m_handshakeSeen) {
            EXPECT_EQ(CutMessages(m_stream, 1 << 24, out, cut), CutResult::Ok);
        }
        return out;
    }
    int m_fd;
    bool m_closed = false;
    size_t m_written = 0;  // bytes sent so far

private:
    std::string m_stream;
    bool m_handshakeSeen = false;
};

// Messages (payloads) in a byte stream.
inline std::vector<std::string> Messages(std::string stream) {
    std::vector<std::string> out;
    size_t cut = 0;
    EXPECT_EQ(CutMessages(stream, 1 << 24, out, cut), CutResult::Ok);
    return out;
}

// A plain peer's handshake: no feature bit set.
inline std::string Handshake(std::string_view peerId, std::string_view infoHash = kInfoHash) {
    return BuildHandshake(velbrook::ReservedBytes(PeerFeatures{}), infoHash, peerId);
}

// A torrent behind a listening socket on 127.0.0.1; remote peers are raw sockets.
class LoopbackPeers : public ::testing::Test {
protected:
    LoopbackPeers() : m_listener(m_host) {}

    // A torrent of `total` bytes of which we have the first `ours` pieces.
    void Use(int64_t total, int64_t pieceLength, uint32_t ours = 0) {
        m_torrent = std::make_unique<FakeTorrent>(m_host, total, pieceLength);
        m_torrent->m_pieces.SetAll(Missing);
        for (uint32_t i = 0; i < ours; ++i) {
            m_torrent->m_pieces.SetState(i, Have);
        }
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
    PeerConnection* Peer(const std::string& id) { return m_torrent->m_set.FindPeer(id); }

    FakePeerHost m_host;  // its clock outlives what the reactor still has to destroy
    Reactor m_reactor;
    Listener m_listener;
    std::unique_ptr<FakeTorrent> m_torrent;  // goes first: its connections close their sockets
};

}  // namespace velbrook::test
