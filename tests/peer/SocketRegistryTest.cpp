// The registry of peer sockets and the listening socket, over real loopback connections.
#include "peer/SocketRegistry.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "peer/CListenSocket.h"
#include "persist/Settings.h"
#include "support/PeerFakes.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using namespace test;

const std::string kPeerA = "-AA0001-aaaaaaaaaaaa";
const std::string kPeerB = "-BB0001-bbbbbbbbbbbb";

class SocketRegistryTest : public ::testing::Test {
protected:
    SocketRegistryTest() : m_settings(m_profile.Dir()), m_baseline(PeerSocket::LiveCount()) {}
    ~SocketRegistryTest() override {
        m_listener.reset();
        DestroyRegistry();
        m_reactor.RunOnce(0);  // sockets disposed of before are destroyed by now
        EXPECT_EQ(PeerSocket::LiveCount(), m_baseline);
    }

    void Open() {
        m_listener = std::make_unique<CListenSocket>(m_host);
        int error = 0;
        ASSERT_TRUE(m_listener->Listen(0, error)) << error;
        std::string address;
        ASSERT_TRUE(m_listener->GetSockName(address, m_port));
    }
    void DestroyRegistry() { m_host.m_registry.reset(); }
    void UseTorrent() {
        m_session = std::make_unique<FakeSession>(4 * 16384, 16384, m_host);
        m_host.m_session = m_session.get();
    }
    void PumpUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 400 && !done(); ++i) {
            m_reactor.RunOnce(5);
        }
    }
    void Pump(int rounds = 10) {
        for (int i = 0; i < rounds; ++i) {
            m_reactor.RunOnce(2);
        }
    }
    // Reads until the remote end sees the connection closed; returns what arrived before.
    std::string UntilClosed(Remote& remote) {
        std::string got;
        PumpUntil([&] {
            got += remote.Drain();
            return remote.m_closed;
        });
        return got;
    }
    // An outgoing socket for a new connection, dialling a port that never answers.
    PeerSocket* Dial(const std::string& peerId, uint16_t port) {
        PeerConnection* connection = m_session->CreatePeer(peerId, "127.0.0.1", port, port);
        PeerSocket& socket = m_registry.Create(m_host);
        EXPECT_TRUE(socket.Connect(*connection, kInfoHash));
        EXPECT_EQ(socket.State(), PeerSocketState::Connecting);
        return &socket;
    }

    Reactor m_reactor;
    TempDir m_profile;
    Settings m_settings;
    FakeHost m_host;
    SocketRegistry& m_registry = *m_host.m_registry;
    std::unique_ptr<FakeSession> m_session;  // outlives the sockets that its connections use
    std::unique_ptr<CListenSocket> m_listener;
    uint16_t m_port = 0;
    size_t m_baseline;
};

TEST_F(SocketRegistryTest, KeepAlivesAndTheIdleSweepFollowTheClock) {
    Open();
    UseTorrent();
    RawListener silent;    // never accepts: connects to it stay unanswered by the engine
    Remote quiet(m_port);  // never sends its handshake
    Remote talker(m_port);
    Remote silentPeer(m_port);
    talker.Write(Handshake(kPeerA));
    silentPeer.Write(Handshake(kPeerB));
    PumpUntil([&] { return m_session->m_connected == 2; });
    ASSERT_EQ(m_registry.Count(), 3u);
    Pump();
    talker.Drain();
    silentPeer.Drain();
    // A connect given up before it completed: the socket cannot dispose of itself yet.
    PeerSocket* abandoned = Dial("-CC0001-cccccccccccc", silent.m_port);
    abandoned->Close(true);
    EXPECT_TRUE(m_registry.Contains(*abandoned));

    const std::string keepAlive(4, '\0');
    m_host.m_now += 29;
    m_registry.OnTimer(kTimerKeepAlive);
    Pump();
    EXPECT_EQ(silentPeer.Drain(), "");
    m_host.m_now += 1;  // 30 s without sending anything
    m_registry.OnTimer(kTimerKeepAlive);
    Pump();
    EXPECT_EQ(silentPeer.Drain(), keepAlive);
    EXPECT_EQ(quiet.Drain(), "");  // no keep-alive before a handshake

    m_host.m_now += 11;  // 41 s: too long for a socket without a handshake
    m_registry.OnTimer(kTimerIdleSweep);
    EXPECT_FALSE(m_registry.Contains(*abandoned));
    EXPECT_EQ(m_registry.Count(), 2u);
    EXPECT_EQ(UntilClosed(quiet), "");

    m_host.m_now += 59;  // a keep-alive counts as a message
    talker.Write(keepAlive);
    PumpUntil([&] { return m_session->FindPeer(kPeerA)->Socket()->GetIdleSeconds() == 0; });
    m_host.m_now += 50;  // 150 s since the silent peer's handshake: still allowed
    m_registry.Sweep();
    EXPECT_EQ(m_registry.Count(), 2u);
    m_host.m_now += 1;
    m_registry.Sweep();
    EXPECT_EQ(m_registry.Count(), 1u);
    EXPECT_EQ(m_session->m_connected, 1);
    silentPeer.Drain();
    PumpUntil([&] { return silentPeer.Drain(), silentPeer.m_closed; });
    EXPECT_TRUE(silentPeer.m_closed);
    EXPECT_FALSE(m_session->FindPeer(kPeerB)->IsConnected());
}

TEST_F(SocketRegistryTest, UnknownTorrentClosesAtOnceWhileAFreshSocketSurvivesTheSweep) {
    Open();
    Remote quiet(m_port);
    Remote stranger(m_port);
    stranger.Write(Handshake(kPeerA, std::string(20, '\x22')));
    EXPECT_EQ(UntilClosed(stranger), "");  // not even our handshake
    PumpUntil([&] { return m_registry.Count() == 1; });
    EXPECT_EQ(m_registry.Count(), 1u);
    Pump();
    EXPECT_EQ(PeerSocket::LiveCount(), m_baseline + 1);

    m_registry.Sweep();
    Pump();
    EXPECT_EQ(m_registry.Count(), 1u);
    EXPECT_EQ(quiet.Drain(), "");
    EXPECT_FALSE(quiet.m_closed);
}

TEST_F(SocketRegistryTest, DestroyingTheRegistryClosesEverySocketAndTellsItsConnection) {
    Open();
    UseTorrent();
    Remote a(m_port);
    Remote b(m_port);
    a.Write(Handshake(kPeerA));
    b.Write(Handshake(kPeerB));
    PumpUntil([&] { return m_session->m_connected == 2; });
    ASSERT_EQ(m_session->m_connected, 2);
    PeerConnection* peerA = m_session->FindPeer(kPeerA);
    ASSERT_NE(peerA->Socket(), nullptr);
    EXPECT_TRUE(peerA->Socket()->IsEstablished());

    // Closed twice, disposed of once, and destroyed after the handler even when the registry goes
    // first.
    PeerSocket& closing = m_registry.Create(m_host);
    closing.Close(true);
    closing.Close(true);
    EXPECT_FALSE(m_registry.Contains(closing));
    EXPECT_EQ(m_registry.Count(), 2u);

    DestroyRegistry();
    Pump(1);
    EXPECT_EQ(PeerSocket::LiveCount(), m_baseline);
    EXPECT_EQ(m_session->m_connected, 0);
    EXPECT_FALSE(peerA->IsConnected());
    EXPECT_EQ(peerA->Socket(), nullptr);
    EXPECT_EQ(m_session->FindPeer(kPeerB)->Socket(), nullptr);
    a.Drain();
    b.Drain();
    EXPECT_TRUE(a.m_closed);
    EXPECT_TRUE(b.m_closed);
}

TEST_F(SocketRegistryTest, ListeningOnATakenPortFailsWithAddressInUse) {
    Open();
    CListenSocket second(m_host);
    int error = 0;
    EXPECT_FALSE(second.Listen(m_port, error));
    EXPECT_EQ(error, EADDRINUSE);
    EXPECT_FALSE(second.IsOpen());
}

}  // namespace
}  // namespace velbrook
