// PeerSocket, PeerConnection and the socket registry over real loopback connections, with a small
// fake torrent and a raw blocking socket playing the remote peer or the proxy.
#include <gtest/gtest.h>

#include "support/PeerFakes.h"

namespace velbrook {
namespace {

using namespace test;
using namespace std::chrono_literals;

using PeerWire = LoopbackPeers;

const std::string kPeerA = "-AA0001-aaaaaaaaaaaa";
const std::string kPeerB = "-BB0001-bbbbbbbbbbbb";

TEST_F(PeerWire, AHandshakeInPiecesIsAnsweredOnceWholeAndAFirstHaveBringsOurInterest) {
    Use(4 * 16384, 16384, 1);
    Remote remote(m_listener.Port());
    const std::string hs = Handshake(kPeerA);
    remote.Write(hs.substr(0, 5));
    RunPasses(m_reactor);
    EXPECT_EQ(remote.Drain(), "");  // an incoming peer is answered only once its handshake passed
    remote.Write(hs.substr(5));
    const std::string got =
        Receive(remote, [](const std::string& s) { return s.size() >= kHandshakeLength + 11; });
    ASSERT_GE(got.size(), kHandshakeLength);
    EXPECT_EQ(got.substr(0, kHandshakeLength),
              BuildHandshake(ReservedBytes(true), kInfoHash, kOwnId));
    EXPECT_EQ(Messages(got.substr(kHandshakeLength)),
              (std::vector<std::string>{BuildBitfield("\x80"), BuildSimple(kUnchoke)}));

    // A peer that sends no bitfield, only HAVEs, must still hear that we want what it has.
    remote.Message(BuildHave(2));
    EXPECT_EQ(Messages(Receive(remote, [](const std::string& s) { return s.size() >= 5; })),
              std::vector<std::string>{BuildSimple(kInterested)});
}

TEST_F(PeerWire, BadHandshakesAndHostileMessagesCloseTheConnection) {
    Use(4 * 16384, 16384);
    const std::pair<const char*, std::string> handshakes[] = {
        {"wrong info hash", Handshake(kPeerA, std::string(20, '\x22'))},
        {"ourselves", Handshake(kOwnId)},
        {"wrong protocol, seen early", std::string("\x13"
                                                   "BitTorrent protocX",
                                                   19)},
    };
    for (const auto& [what, bytes] : handshakes) {
        Remote remote(m_listener.Port());
        remote.Write(bytes);
        EXPECT_EQ(Receive(remote, [](const std::string&) { return false; }), "") << what;
        EXPECT_TRUE(remote.m_closed) << what;
    }
    const std::pair<const char*, std::string> messages[] = {
        {"length above the maximum", std::string("\x7f\xff\xff\xff", 4)},
        {"REQUEST too short", FrameMessage(BuildRequest(0, 0, 16384).substr(0, 9))},
        {"HAVE past the last piece", FrameMessage(BuildHave(4))},
        {"HAVE twice", FrameMessage(BuildHave(1)) + FrameMessage(BuildHave(1))},
        {"a later BITFIELD without a piece announced before",
         FrameMessage(BuildBitfield("\xC0")) + FrameMessage(BuildBitfield("\x80"))},
    };
    char tag = 'a';
    for (const auto& [what, bytes] : messages) {
        auto remote = Connected(std::string(19, 'h') + tag++);
        remote->Write(bytes);
        EXPECT_TRUE(Closes(*remote)) << what;
    }
    // A peer we dialled that hangs up before its handshake failed as surely as a refused connect.
    RawListener farPort;
    PeerConnection* dialled = m_torrent->m_set.CreatePeer(kPeerB, "127.0.0.1", farPort.m_port, 0);
    ASSERT_TRUE(m_host.Registry().Create(m_host).Connect(*dialled, kInfoHash, {}));
    farPort.Accept(m_reactor).Read(kHandshakeLength);  // then closed
    EXPECT_TRUE(PumpUntil([&] { return dialled->ConnectFailures() == 1; }));
    EXPECT_EQ(m_torrent->m_set.ConnectedCount(), 0);
    RunPasses(m_reactor);
    EXPECT_EQ(m_host.Registry().Count(), 0u);  // closed sockets leave the registry
}

TEST_F(PeerWire, APeerThatNeverReadsIsCutOff) {
    Use(4 * 16384, 16384, 4);
    auto remote = Connected(kPeerA);
    const std::string block(1 << 20, 'z');
    int taken = 0;
    for (int i = 0; i < 5; ++i) {
        taken += Peer(kPeerA)->SendPiece(0, 0, block) ? 1 : 0;  // nothing is written yet
    }
    EXPECT_EQ(taken, 3);  // the fourth would pass the 4 MiB cap
    EXPECT_TRUE(PumpUntil([&] { return !Peer(kPeerA)->IsConnected(); }));
}

// The registry's keep-alives and idle sweep run on the engine's clock.
TEST_F(PeerWire, KeepAlivesAndTheIdleSweepFollowTheClock) {
    Use(4 * 16384, 16384);
    SocketRegistry& registry = m_host.Registry();
    RawListener silent;  // never accepts: a connect to it stays unanswered by the engine
    Remote quiet(m_listener.Port());  // never sends its handshake
    auto talker = Connected(kPeerA);
    auto silentPeer = Connected(kPeerB);
    ASSERT_TRUE(PumpUntil([&] { return registry.Count() == 3; }));
    // A connect given up before it completed: the socket cannot dispose of itself yet.
    PeerSocket& abandoned = registry.Create(m_host);
    ASSERT_TRUE(abandoned.Connect(
        *m_torrent->m_set.CreatePeer("-CC0001-cccccccccccc", "127.0.0.1", silent.m_port, 0),
        kInfoHash, {}));
    abandoned.Close(true);
    EXPECT_TRUE(registry.Contains(abandoned));

    const std::string keepAlive(4, '\0');
    Advance(29s);  // ticks at 10 and 20 s
    RunPasses(m_reactor);
    EXPECT_EQ(silentPeer->Drain(), "");
    Advance(1s);  // 30 s without sending anything
    RunPasses(m_reactor);
    EXPECT_EQ(silentPeer->Drain(), keepAlive);
    EXPECT_EQ(quiet.Drain(), "");  // no keep-alive before a handshake

    Advance(10s);  // 40 s: as long as a socket without a handshake may stay silent
    registry.Sweep();
    EXPECT_EQ(registry.Count(), 4u);
    Advance(20s);  // the sweep at 60 s
    EXPECT_FALSE(registry.Contains(abandoned));
    EXPECT_EQ(registry.Count(), 2u);
    EXPECT_TRUE(Closes(quiet));

    talker->Write(keepAlive);  // a keep-alive counts as a message
    EXPECT_TRUE(PumpUntil([&] { return Peer(kPeerA)->Socket()->Idle() == 0s; }));
    Advance(90s);  // 150 s since the silent peer's handshake: still allowed
    registry.Sweep();
    EXPECT_EQ(registry.Count(), 2u);
    Advance(30s);  // the sweep at 180 s
    EXPECT_EQ(registry.Count(), 1u);
    EXPECT_TRUE(Closes(*silentPeer));
    EXPECT_FALSE(Peer(kPeerB)->IsConnected());
    EXPECT_TRUE(Peer(kPeerA)->IsConnected());
}

// A peer whose requests fill its queue is not read from until they are served. Its silence is
// then ours: it is cut off only once serving stops too (it no longer reads what we send).
TEST_F(PeerWire, APeerHeldBackIsSweptOnlyOnceItsRequestsAreNoLongerServed) {
    Use(4 * 16384, 16384, 4);
    PeerLimits limits = m_torrent->m_set.Limits();
    limits.uploadBytesPerSecond = 0;  // only the test serves
    m_torrent->m_set.SetLimits(limits);
    auto remote = Connected(kPeerA);
    PeerConnection* peer = Peer(kPeerA);
    std::string burst;
    for (size_t i = 0; i <= PeerConnection::kMaxPeerRequests; ++i) {
        burst += FrameMessage(BuildRequest(i % 4, 0, 1024));
    }
    remote->Write(burst);
    ASSERT_TRUE(PumpUntil([&] { return peer->Socket()->IsReadingHeld(); }));
    EXPECT_EQ(peer->PeerRequests().size(), PeerConnection::kMaxPeerRequests);

    Advance(100s);
    EXPECT_GT(peer->ServeOneRequest(), 0u);
    Advance(100s);  // 200 s without a message from it, 100 s since one was served
    m_host.Registry().Sweep();
    EXPECT_TRUE(peer->IsConnected());
    Advance(51s);
    m_host.Registry().Sweep();
    EXPECT_FALSE(peer->IsConnected());
}

// With a peer that set the fast bit: HAVE ALL instead of a bitfield, and a REJECT REQUEST for
// each of its requests we drop: invalid, queued when we choke it, or made while it is choked.
TEST_F(PeerWire, AFastPeerHearsHaveAllAndARejectForEachRequestWeDrop) {
    Use(4 * 16384, 16384, 4);
    PeerLimits limits = m_torrent->m_set.Limits();
    limits.uploadBytesPerSecond = 0;  // requests wait in the queue
    m_torrent->m_set.SetLimits(limits);
    Remote remote(m_listener.Port());
    remote.Write(
        BuildHandshake(ReservedBytes(PeerFeatures{.fastExtension = true}), kInfoHash, kPeerA));
    const std::string got =
        Receive(remote, [](const std::string& s) { return s.size() >= kHandshakeLength + 10; });
    EXPECT_TRUE(ReadPeerFeatures(got.substr(20, 8)).fastExtension);
    EXPECT_EQ(Messages(got.substr(kHandshakeLength)),
              (std::vector<std::string>{BuildSimple(kHaveAll), BuildSimple(kUnchoke)}));
    const auto next = [&](size_t bytes) {
        return Messages(Receive(remote, [&](const std::string& s) { return s.size() >= bytes; }));
    };
    remote.Message(BuildRequest(1, 0, 16384));
    remote.Message(BuildRequest(2, 16000, 1000));  // past the end of the piece
    remote.Message(BuildRequest(3, 0, 16384));
    EXPECT_EQ(next(17), std::vector<std::string>{BuildReject(2, 16000, 1000)});
    ASSERT_TRUE(PumpUntil([&] { return Peer(kPeerA)->PeerRequests().size() == 2; }));
    Peer(kPeerA)->SendChoke();
    EXPECT_EQ(next(5 + 2 * 17),
              (std::vector<std::string>{BuildSimple(kChoke), BuildReject(1, 0, 16384),
                                        BuildReject(3, 0, 16384)}));
    remote.Message(BuildRequest(0, 0, 16384));
    EXPECT_EQ(next(17), std::vector<std::string>{BuildReject(0, 0, 16384)});
    EXPECT_TRUE(Peer(kPeerA)->IsConnected());
}

// Dialled through a SOCKS5 proxy played by a raw socket, which then relays the peer's bytes.
TEST_F(PeerWire, ProxyRepliesSplitOverReadsAndThePeersFirstBytesWithTheLast) {
    Use(4 * 16384, 16384);
    RawListener proxyPort;
    const ProxyConfig viaProxy{true, "127.0.0.1", proxyPort.m_port, "alice", "pw"};
    PeerConnection* peer = m_torrent->m_set.CreatePeer(kPeerA, "10.0.0.2", 6881, 6881);
    ASSERT_TRUE(m_host.Registry().Create(m_host).Connect(*peer, kInfoHash, viaProxy));
    FarEnd proxy = proxyPort.Accept(m_reactor);
    EXPECT_EQ(proxy.Read(3), std::string("\x05\x01\x02", 3));
    // Each reply comes in two reads, the second part of the connect reply with the peer's
    // handshake.
    for (const std::string& part : {std::string("\x05"), std::string(1, '\x02')}) {
        proxy.Write(part);
        RunPasses(m_reactor, 3);
    }
    EXPECT_EQ(proxy.Read(10), std::string("\x01\x05"
                                          "alice\x02"
                                          "pw",
                                          10));
    proxy.Write(std::string("\x01\0", 2));
    // The peer is asked for where we dialled it, not where the proxy is.
    EXPECT_EQ(proxy.Read(10), std::string("\x05\x01\x00\x01\x0a\0\0\x02\x1a\xe1", 10));
    proxy.Write(std::string("\x05\0\0\x01\x7f", 5));
    RunPasses(m_reactor, 3);
    proxy.Write(std::string("\0\0\x01\x1a\xe1", 5) + Handshake(kPeerA));
    EXPECT_TRUE(PumpUntil([&] { return peer->IsConnected(); }));
    EXPECT_EQ(proxy.Read(kHandshakeLength), BuildHandshake(ReservedBytes(true), kInfoHash, kOwnId));
}

}  // namespace
}  // namespace velbrook
