// The known peers of one torrent: choking, the upload and download limits, connecting and
// forgetting peers. The random source is scripted; the set's timers run as the test moves the
// clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "engine/PeerSet.h"

#include "engine/LayerSettings.h"
#include "engine/TorrentSession.h"
#include "persist/Settings.h"
#include "support/EngineFakes.h"
#include "support/MetainfoBuilder.h"
#include "support/PeerFakes.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using namespace test;
using namespace std::chrono_literals;

// Four pieces of 8 slices; we have piece 0 only. Peer bitfields:
constexpr char kWanted = '\xF0';  // has everything: we want data from it
constexpr char kServed = '\x00';  // has nothing: only we can serve it

class PeerSetTest : public ::testing::Test {
protected:
    PeerSetTest()
        : m_torrent(m_host, 4 * 131072, 131072, PeerLimitsFrom(m_settings),
                    [this] { return Draw(); }),
          m_listener(m_host) {
        m_torrent.m_allowDownload = false;
        m_torrent.m_pieces.SetAll(Missing);
        m_torrent.m_pieces.SetState(0, Have);
    }
    // The person changed an option: the set hears of it at once.
    void Change(int key, int32_t value) {
        m_settings.SetInt(key, value);
        m_set.SetLimits(PeerLimitsFrom(m_settings));
    }
    uint32_t Draw() {
        const uint32_t value = m_picks.empty() ? 0 : m_picks.front();
        if (!m_picks.empty()) {
            m_picks.pop_front();
        }
        return value;
    }
    // A connected peer with the given pieces; it unchokes us unless `chokesUs`.
    PeerConnection* Peer(char tag, char bits, bool chokesUs = false) {
        PeerConnection* peer = m_set.CreatePeer(std::string(20, tag), "127.0.0.1", 6881, 6881);
        peer->OnHandshakePassed();
        std::vector<std::string> in{BuildBitfield(std::string(1, bits))};
        if (!chokesUs) {
            in.push_back(BuildSimple(kUnchoke));
        }
        EXPECT_TRUE(peer->ProcessMessages(in));
        return peer;
    }
    void Advance(Duration by) { m_host.m_clock.Advance(by); }
    // Call after moving the clock 10 s past the peer's handshake.
    static void Feed(PeerConnection* peer, uint32_t bytesPerSecond) {
        peer->DownloadMeter().Update(bytesPerSecond * 10);
    }
    static void Request(PeerConnection* peer, uint32_t begin) {
        std::vector<std::string> in{BuildRequest(0, begin, 16384)};
        EXPECT_TRUE(peer->ProcessMessages(in));
    }
    // A peer behind a real loopback connection, so that what we send it goes through a socket.
    // It has no pieces and wants ours.
    PeerConnection* Remote(char tag) {
        const std::string id(20, tag);
        m_remotes.push_back(std::make_unique<test::Remote>(m_listener.Port()));
        m_remotes.back()->Write(Handshake(id));
        test::RunUntil(m_reactor, [&] { return m_set.FindPeer(id) != nullptr; });
        PeerConnection* peer = m_set.FindPeer(id);
        std::vector<std::string> in{BuildBitfield(std::string(1, kServed)),
                                    BuildSimple(kInterested)};
        EXPECT_TRUE(peer && peer->ProcessMessages(in));
        return peer;
    }
    // Runs the loop while the remote peers read, the clock moving `step` before each pass;
    // returns the PIECE messages each one got, and notes them in m_served.
    std::vector<size_t> Deliver(int rounds = 3, Duration step = 0ms) {
        std::vector<size_t> pieces(m_remotes.size(), 0);
        for (int round = 0; round < rounds; ++round) {
            Advance(step);
            m_reactor.RunOnce(1);
            for (size_t i = 0; i < m_remotes.size(); ++i) {
                for (const std::string& m : m_remotes[i]->NewMessages()) {
                    WireMessage piece;
                    if (DecodeMessage(m, piece) == DecodeStatus::Ok && piece.id == kPiece) {
                        ++pieces[i];
                        m_served.push_back(
                            {piece.index, piece.begin, static_cast<uint32_t>(piece.data.size())});
                    }
                }
            }
        }
        return pieces;
    }

    std::deque<uint32_t> m_picks;
    Settings m_settings;
    FakePeerHost m_host;  // its clock outlives what the reactor still has to destroy
    Reactor m_reactor;
    FakeTorrent m_torrent;
    PeerSet& m_set = m_torrent.m_set;
    Listener m_listener;
    std::vector<std::unique_ptr<test::Remote>> m_remotes;
    std::vector<BlockRequest> m_served;
};

TEST_F(PeerSetTest, HalfTheSlotsGoToTheFastestTheRestByLot) {
    PeerConnection* chokesUs = Peer('X', kWanted, true);
    std::vector<PeerConnection*> wanted;  // wanted[k] sends us k + 1 KiB/s
    for (char k = 0; k < 11; ++k) {
        wanted.push_back(Peer('a' + k, kWanted));
    }
    PeerConnection* served = Peer('S', kServed);
    Advance(10s);
    Feed(chokesUs, 20 * 1024);
    Feed(served, 50 * 1024);  // fastest, yet behind every peer we want data from
    for (size_t k = 0; k < wanted.size(); ++k) {
        Feed(wanted[k], static_cast<uint32_t>(k + 1) * 1024);
    }
    for (PeerConnection* peer : m_set.PeerList()) {
        peer->SendChoke();
    }
    // Left after the best step: 6 5 4 3 2 1 S (KiB/s), then each draw modulo what is left.
    m_picks = {100, 3, 0, 1, 2};
    m_set.ChokePass();

    std::string choked;
    for (PeerConnection* peer : wanted) {
        choked += peer->IsAmChoking() ? 'C' : '-';
    }
    EXPECT_EQ(choked, "C---C------");       // 1 and 5 KiB/s lost the draw
    EXPECT_FALSE(chokesUs->IsAmChoking());  // unchoked without taking a slot
    EXPECT_FALSE(served->IsAmChoking());
}

TEST_F(PeerSetTest, AllowanceIsARatioOfWhatThePeerSendsWithAFloorAndNoWrapAround) {
    PeerConnection* steady = Peer('a', kWanted);
    PeerConnection* silent = Peer('b', kWanted);
    PeerConnection* fast = Peer('c', kWanted);
    Advance(10s);
    Feed(steady, 100 * 1024);
    Feed(fast, 50000000);
    m_set.ChokePass();
    EXPECT_EQ(steady->UploadAllowance(), 200u * 1024);
    EXPECT_EQ(silent->UploadAllowance(), 20u * 1024);

    Change(UpDownRatio, 1000);  // 50 MB/s × 1000 does not fit 32 bits
    m_set.ChokePass();
    EXPECT_EQ(fast->UploadAllowance(), 500000000u);
    Change(UpDownRatio, 100000);
    m_set.ChokePass();
    EXPECT_EQ(fast->UploadAllowance(), UINT32_MAX);
}

TEST_F(PeerSetTest, WhileDownloadingEachPeerKeepsToItsAllowance) {
    PeerConnection* greedy = Remote('a');
    PeerConnection* modest = Remote('b');
    Change(MaxUploadSpeed, 0);
    Request(greedy, 0);
    Request(greedy, 16384);
    Request(modest, 0);
    Advance(10s);
    greedy->UploadMeter().Update(30 * 1024 * 10);  // above its 20 KiB/s allowance
    Change(MaxUploadSpeed, 1000);
    Advance(500ms);  // a service tick
    EXPECT_EQ(greedy->PeerRequests().size(), 2u);
    EXPECT_TRUE(modest->PeerRequests().empty());
    // A seeder has nobody to reciprocate with: the allowance no longer holds anyone back.
    m_torrent.m_complete = true;
    m_set.ChokePass();
    m_set.ServiceTick();
    EXPECT_TRUE(greedy->PeerRequests().empty());
}

// A seeder with the default settings serves at its upload limit (1000 KiB/s), not at the
// 20 KiB/s a peer that sends nothing back would earn.
TEST_F(PeerSetTest, ASeederServesAtItsLimitFromTheFirstSecond) {
    m_torrent.m_pieces.SetAll(Have);
    m_torrent.m_complete = true;
    PeerConnection* peer = Remote('a');
    std::vector<std::string> requests;
    for (uint32_t i = 0; i < 800; ++i) {
        requests.push_back(BuildRequest(i % 4, i / 4 % 8 * 16384, 16384));
    }
    ASSERT_TRUE(peer->ProcessMessages(requests));
    m_set.ChokePass();
    std::vector<size_t> perSecond;
    for (int second = 0; second < 10; ++second) {
        perSecond.push_back(Deliver(100, 10ms)[0]);
    }
    // 1000 KiB/s is 62.5 slices a second; the first second may add the first slice.
    for (size_t second = 0; second < perSecond.size(); ++second) {
        EXPECT_GE(perSecond[second], 62u) << second;
        EXPECT_LE(perSecond[second], second == 0 ? 65u : 64u) << second;
    }
    EXPECT_TRUE(peer->IsConnected());
}

// Clients that pipeline by time send thousands of requests at once: every one is served, in
// order, as fast as the socket takes them, never all at once into an output that would overflow.
// While the queue is full nothing more is read from the peer.
TEST_F(PeerSetTest, TwiceTheRequestsAQueueHoldsInOneWriteAreAllServed) {
    m_torrent.m_pieces.SetAll(Have);
    m_torrent.m_complete = true;
    Change(MaxUploadSpeed, 4000000);
    PeerConnection* peer = Remote('a');
    const size_t total = 2 * PeerConnection::kMaxPeerRequests;
    std::string burst;
    std::vector<BlockRequest> sent;
    for (uint32_t i = 0; i < total; ++i) {
        sent.push_back({i % 4, i / 4 % 8 * 16384, 16384});
        burst += FrameMessage(BuildRequest(sent.back().piece, sent.back().begin, 16384));
    }
    m_remotes[0]->Write(burst);
    size_t pieces = 0;
    bool held = false;
    for (int round = 0; round < 20000 && pieces < total; ++round) {
        pieces += Deliver(1)[0];
        ASSERT_TRUE(peer->Socket());
        EXPECT_LE(peer->Socket()->UnsentBytes(), PeerSocket::kUploadLowMark + 16384 + 13);
        EXPECT_LE(peer->PeerRequests().size(), PeerConnection::kMaxPeerRequests);
        held = held || peer->Socket()->IsReadingHeld();
        Advance(1ms);
    }
    EXPECT_EQ(pieces, total);
    EXPECT_TRUE(m_served == sent) << "served out of the order asked";
    EXPECT_TRUE(held);
    EXPECT_TRUE(peer->IsConnected());
    EXPECT_EQ(m_torrent.m_uploaded, total * 16384);
}

TEST_F(PeerSetTest, DownloadLimitHoldsFromTheFirstSecond) {
    m_torrent.m_allowDownload = true;
    PeerConnection* first = Peer('a', kWanted);
    EXPECT_EQ(first->Outstanding().size(), 5u);  // no limit set

    Change(MaxDownloadSpeed, 50);  // 3.125 slices a second
    PeerConnection* second = Peer('b', kWanted);
    EXPECT_EQ(second->Outstanding().size(), 1u);  // the first slice goes at once
    size_t answered = 0;
    const auto asked = [&] { return answered + second->Outstanding().size(); };
    for (int tick = 1; tick <= 12; ++tick) {
        std::vector<std::string> in;
        for (const BlockRequest& r : second->Outstanding()) {
            in.push_back(BuildPiece(r.piece, r.begin, m_torrent.Slice(r.piece, r.begin, r.length)));
        }
        answered += in.size();
        ASSERT_TRUE(second->ProcessMessages(in));
        Advance(500ms);  // a service tick
        if (tick == 2) {
            EXPECT_LE(asked(), 5u);  // 50 KiB and the first slice in the first second
        }
    }
    EXPECT_GE(asked(), 18u);  // 6 s at 3.125 slices a second, and the first one
    EXPECT_LE(asked(), 21u);
}

TEST_F(PeerSetTest, EndGameCancelsTheOtherCopiesOnceASliceArrives) {
    Change(LogPeerComm, 1);
    Change(LogPeerCommLines, 100);
    m_torrent.m_allowDownload = true;
    m_torrent.m_pieces.SetState(1, Have);
    m_torrent.m_pieces.SetState(2, Have);  // only piece 3 is left, 8 slices
    PeerConnection* a = Peer('a', kWanted);
    PeerConnection* b = Peer('b', kWanted);
    const auto slices = [](PeerConnection* p) {
        std::vector<uint32_t> out;
        for (const BlockRequest& r : p->Outstanding()) {
            out.push_back(r.begin / 16384);
        }
        return out;
    };
    EXPECT_EQ(slices(a), (std::vector<uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(slices(b), (std::vector<uint32_t>{5, 6, 7, 0, 1}));  // two copies of a's
    const auto piece = [&](uint32_t slice) {
        return BuildPiece(3, slice * 16384, m_torrent.Slice(3, slice * 16384, 16384));
    };
    std::vector<std::string> in{piece(0)};
    ASSERT_TRUE(b->ProcessMessages(in));
    EXPECT_NE(std::find(a->Log().begin(), a->Log().end(), "Send msg: CANCEL: 3, 0, 16384 \r\n"),
              a->Log().end());
    const auto left = slices(a);  // slice 0 is no longer asked of a
    EXPECT_EQ(std::find(left.begin(), left.end(), 0u), left.end());
    in = {piece(0)};  // a's copy crossed the CANCEL
    ASSERT_TRUE(a->ProcessMessages(in));
    EXPECT_FALSE(a->IsFatal());
    for (uint32_t slice = 1; slice < 8; ++slice) {
        in = {piece(slice)};
        ASSERT_TRUE((slice < 5 ? a : b)->ProcessMessages(in));
    }
    EXPECT_EQ(m_torrent.m_pieces.GetState(3), Have);
    EXPECT_FALSE(a->IsFatal() || b->IsFatal());
}

TEST_F(PeerSetTest, PeerFloodsStayBoundedAndAreDialledAtAPace) {
    PeerConnection* source = Peer('x', kServed);
    source->SetPeerFeatures(ReadPeerFeatures(ReservedBytes(true)));
    uint32_t next = 0;
    // 200 peers nobody knows yet, in one EXT_PEERS message, each at a port of its own above
    // the range the system hands out to its own sockets.
    const auto exchange = [&] {
        std::vector<PeerExchangeEntry> entries;
        for (int k = 0; k < 200; ++k, ++next) {
            std::string id(16, 'f');
            AppendU32(id, next);
            entries.push_back({id, "127.0.0.1", 61000 + next});
        }
        std::vector<std::string> in{BuildExtension(2, BuildPeerExchange(entries))};
        EXPECT_TRUE(source->ProcessMessages(in));
    };
    const auto dialled = [&] {
        return std::count_if(m_set.PeerList().begin(), m_set.PeerList().end(),
                             [](PeerConnection* p) { return p->Socket() || p->ConnectFailures(); });
    };
    exchange();
    EXPECT_EQ(m_set.PeerList().size(), 201u);
    EXPECT_EQ(dialled(), 20);  // never all at once
    Advance(500ms);            // a service tick
    EXPECT_EQ(dialled(), 30);

    exchange();  // the same peer again within the minute: ignored
    EXPECT_EQ(m_set.PeerList().size(), 201u);
    Change(MaxConnectedPeers, 0);  // none of the rest is dialled meanwhile
    for (int minute = 1; minute <= 6; ++minute) {
        Advance(60s);
        exchange();
    }
    EXPECT_EQ(m_set.PeerList().size(), PeerSet::kMaxKnownPeers);
}

// A private torrent takes no part in peer exchange with a peer that offers it: nothing of it
// goes on the wire, and a list the peer sends anyway adds nobody. A public one takes the list,
// IPv6 addresses too.
TEST_F(PeerSetTest, APrivateTorrentTradesNoPeersWithItsPeers) {
    for (const bool isPrivate : {false, true}) {
        m_set.SetPrivate(isPrivate);
        const std::string id(20, isPrivate ? 'p' : 'q');
        test::Remote remote(m_listener.Port());
        remote.Write(BuildHandshake(ReservedBytes(true), kInfoHash, id));
        std::vector<std::string> messages;
        ASSERT_TRUE(test::RunUntil(m_reactor, [&] {
            for (std::string& m : remote.NewMessages()) {
                messages.push_back(std::move(m));
            }
            return !messages.empty() && messages.back() == BuildSimple(kUnchoke);
        }));
        const bool offered = std::any_of(messages.begin(), messages.end(), [](const auto& m) {
            return !m.empty() && m[0] == kExtension;
        });
        EXPECT_EQ(offered, !isPrivate);
        PeerConnection* peer = m_set.FindPeer(id);
        ASSERT_NE(peer, nullptr);
        const size_t known = m_set.PeerList().size();
        std::string stranger(16, isPrivate ? 's' : 't');
        AppendU32(stranger, 1);
        std::vector<std::string> in{
            BuildExtension(2, BuildPeerExchange({{stranger, "::1", 61000}}))};  // either family
        EXPECT_TRUE(peer->ProcessMessages(in));
        EXPECT_EQ(m_set.PeerList().size(), known + (isPrivate ? 0 : 1));
    }
}

// The known peers of a started torrent, the session's own, met over 127.0.0.1: what an address,
// a port and an id say about who a peer is.
class KnownPeers : public ::testing::Test {
protected:
    static constexpr int64_t kPiece = 32768;

    KnownPeers() : m_listener(m_host.m_peers) {
        m_host.m_profile = m_profile.Dir();
        m_host.m_ui.m_folder = m_save.Dir();
        const std::string data = test::PatternBytes(8 * kPiece);
        test::WriteFile(m_torrent, test::Metainfo{.length = 8 * kPiece,
                                                  .pieceLength = kPiece,
                                                  .hashes = test::PieceHashes(data, kPiece)}
                                       .Encode());
        m_session = std::make_unique<TorrentSession>(m_host);
        EXPECT_TRUE(m_session->Open(m_torrent));
        EXPECT_TRUE(m_session->StartDownload(true));
        m_host.m_peers.m_swarm = m_session->Peers();  // peers find the torrent
        m_host.m_peers.m_infoHash = m_session->InfoHash();
    }
    PeerSet& Set() { return *m_session->Peers(); }
    bool PumpUntil(const std::function<bool()>& done) { return test::RunUntil(m_reactor, done); }
    // Answers the REQUESTs that `remote` receives with slices of junk until the connection is
    // closed, or `most` are answered; returns how many it answered.
    int AnswerWithJunk(test::Remote& remote, int most) {
        int answered = 0;
        PumpUntil([&] {
            for (const std::string& raw : remote.NewMessages()) {
                WireMessage m;
                if (DecodeMessage(raw, m) == DecodeStatus::Ok && m.id == kRequest &&
                    answered < most) {
                    // Requests that crossed our hanging up find the socket closed.
                    const std::string piece =
                        FrameMessage(BuildPiece(m.index, m.begin, std::string(m.length, 'x')));
                    (void)::send(remote.m_fd, piece.data(), piece.size(), MSG_NOSIGNAL);
                    ++answered;
                }
            }
            return remote.m_closed || answered == most;
        });
        return answered;
    }

    test::TempDir m_profile;
    test::TempDir m_save;
    test::FakeSessionHost m_host;  // its clock outlives what the reactor still has to destroy
    Reactor m_reactor;
    test::Listener m_listener;
    std::string m_torrent = m_profile / "t.torrent";
    std::unique_ptr<TorrentSession> m_session;  // goes first: its peers close their sockets
};

// A peer that changes its id per connection must not be asked for the same pieces again and
// again, nor fill the table of known peers.
TEST_F(KnownPeers, ABanHoldsForTheAddressWhateverIdThePeerTakes) {
    const std::string infoHash = m_session->InfoHash();
    // Each connection, under an id of its own, spoils one piece and hangs up: the failures add up
    // for the address all the same.
    for (const char id : {'a', 'b', 'c'}) {
        test::Remote bad(m_listener.Port());
        bad.Write(Handshake(std::string(20, id), infoHash));
        bad.Message(BuildBitfield("\xFF"));
        bad.Message(BuildSimple(kUnchoke));
        // The first requests are the two slices of one piece.
        EXPECT_EQ(AnswerWithJunk(bad, 2), 2) << id;
        // Checked, the piece fails; the third time the address is banned and its peers go.
        const auto peer = [&] { return Set().FindPeer(std::string(20, id)); };
        EXPECT_TRUE(PumpUntil([&] { return !peer() || peer()->HashFailures() == 1; })) << id;
        EXPECT_EQ(peer() == nullptr, id == 'c') << id;
    }
    EXPECT_TRUE(PumpUntil([&] { return Set().PeerList().empty(); }));

    test::Remote renamed(m_listener.Port());
    renamed.Write(Handshake(std::string(20, 'c'), infoHash));
    std::string answer;
    EXPECT_TRUE(PumpUntil([&] { return answer += renamed.Drain(), renamed.m_closed; }));
    EXPECT_EQ(answer, "");  // refused before our handshake
    for (int k = 0; k < 1100; ++k) {
        std::string id(16, 't');
        AppendU32(id, static_cast<uint32_t>(k));
        m_session->AddTrackerPeer(id, "127.0.0.1", static_cast<uint16_t>(6881 + k));
    }
    m_session->AddTrackerPeer("", "127.0.0.1", 6881);
    EXPECT_TRUE(Set().PeerList().empty());
    // Others are still welcome (not dialled: no connection may leave this machine).
    PeerLimits limits = Set().Limits();
    limits.maxConnected = 0;
    Set().SetLimits(limits);
    m_session->AddTrackerPeer(std::string(20, 'g'), "127.0.0.9", 6881);
    EXPECT_EQ(Set().PeerList().size(), 1u);
}

// A client that restarted picks a new id but listens where it did: one peer, not two.
TEST_F(KnownPeers, APeerBackAtItsAddressAndPortUnderANewIdTakesItsOldEntryOver) {
    test::RawListener where;
    const std::string first(20, 'A');
    const std::string second(20, 'B');
    const std::string third(20, 'C');
    m_session->AddTrackerPeer(first, "127.0.0.1", where.m_port);
    const auto meet = [&](const std::string& id) {
        test::FarEnd far = where.Accept(m_reactor);
        EXPECT_EQ(far.Read(kHandshakeLength).size(), kHandshakeLength);
        EXPECT_TRUE(far.Write(Handshake(id, m_session->InfoHash())));
        EXPECT_TRUE(
            PumpUntil([&] { return Set().FindPeer(id) && Set().FindPeer(id)->IsConnected(); }));
        EXPECT_EQ(Set().PeerList().size(), 1u);
    };  // then it goes away
    meet(first);
    ASSERT_TRUE(PumpUntil([&] { return !Set().FindPeer(first)->IsConnected(); }));
    Set().ConnectPeer(*Set().FindPeer(first));
    meet(second);
    EXPECT_EQ(Set().FindPeer(first), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return !Set().FindPeer(second)->IsConnected(); }));
    // A tracker names it under yet another id while it is away.
    m_session->AddTrackerPeer(third, "127.0.0.1", where.m_port);
    meet(third);
    EXPECT_EQ(Set().FindPeer(second), nullptr);
}

// A peer that connected in is listed by a tracker only by where it listens. Dialled there, it
// answers with the id we know: still one peer, which now knows where it listens, and which a
// second connection under its id from elsewhere cannot take over. The peer itself dialling us
// while we dialled it keeps the connection the larger id began, as it does on its side.
TEST_F(KnownPeers, ADialledPeerThatAnswersWithAKnownIdIsMergedIntoIt) {
    const std::string id(20, 'z');
    auto incoming = std::make_unique<test::Remote>(m_listener.Port());
    incoming->Write(Handshake(id, m_session->InfoHash()));
    ASSERT_TRUE(PumpUntil([&] { return Set().FindPeer(id) && Set().FindPeer(id)->IsConnected(); }));
    incoming.reset();
    ASSERT_TRUE(PumpUntil([&] { return !Set().FindPeer(id)->IsConnected(); }));
    EXPECT_EQ(Set().FindPeer(id)->ListenPort(), 0);

    test::RawListener where;
    m_session->AddTrackerPeer("", "127.0.0.1", where.m_port);
    ASSERT_EQ(Set().PeerList().size(), 2u);
    test::FarEnd far = where.Accept(m_reactor);
    EXPECT_EQ(far.Read(kHandshakeLength).size(), kHandshakeLength);
    EXPECT_TRUE(far.Write(Handshake(id, m_session->InfoHash())));
    ASSERT_TRUE(PumpUntil([&] { return Set().FindPeer(id)->IsConnected(); }));
    const PeerConnection* peer = Set().FindPeer(id);
    EXPECT_EQ(Set().PeerList(), std::vector<PeerConnection*>{Set().FindPeer(id)});
    EXPECT_EQ(peer->ListenPort(), where.m_port);
    EXPECT_EQ(peer->Port(), where.m_port);
    EXPECT_EQ(Set().FindByEndpoint("127.0.0.1", where.m_port), peer);
    EXPECT_FALSE(peer->IsIncoming());

    test::Remote impostor(m_listener.Port(), "127.0.0.2");
    impostor.Write(Handshake(id, m_session->InfoHash()));
    std::string answer;
    EXPECT_TRUE(PumpUntil([&] { return answer += impostor.Drain(), impostor.m_closed; }));
    EXPECT_EQ(answer, "");
    EXPECT_EQ(Set().FindPeer(id), peer);
    EXPECT_TRUE(peer->IsConnected());
    EXPECT_EQ(Set().PeerList().size(), 1u);

    ASSERT_GT(id, m_host.OwnPeerId());  // its connection is the one both ends keep
    test::Remote crossing(m_listener.Port());
    crossing.Write(Handshake(id, m_session->InfoHash()));
    std::string crossed;
    EXPECT_TRUE(PumpUntil([&] {
        crossed += crossing.Drain();
        return crossed.size() >= kHandshakeLength || crossing.m_closed;
    }));
    EXPECT_GE(crossed.size(), kHandshakeLength);                 // answered, not refused
    EXPECT_TRUE(PumpUntil([&] { return peer->IsIncoming(); }));  // the dialled one is gone
    EXPECT_EQ(Set().FindPeer(id), peer);
    EXPECT_TRUE(peer->IsConnected());
    EXPECT_EQ(Set().PeerList().size(), 1u);
}

}  // namespace
}  // namespace velbrook
