// The known peers of one torrent: choking, the upload and download limits, connecting and
// forgetting peers. The clock and the random source are scripted; ticks are run by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "engine/PeerSet.h"
#include "persist/Settings.h"
#include "support/PeerFakes.h"

namespace velbrook {
namespace {

using namespace test;

// Connections talk to a real peer set, wired the way the torrent session wires them.
class SetSession : public FakeSession {
public:
    using FakeSession::FakeSession;
    bool DownloadAllowed() const override { return m_allowDownload; }
    bool DownloadLimitReached(PeerConnection& c) override { return m_set->DownloadLimitReached(c); }
    void NoteQueuedRequest(PeerConnection& c) override { m_set->NoteQueuedRequest(c); }
    void AddUploaded(uint32_t bytes) override {
        FakeSession::AddUploaded(bytes);
        m_set->UploadMeter().Update(bytes);
    }
    void AdjustConnectedCount(int delta) override { m_set->AdjustConnectedCount(delta); }

    PeerSet* m_set = nullptr;
    bool m_allowDownload = false;
};

// Four pieces of 8 slices; we have piece 0 only. Peer bitfields:
constexpr char kWanted = '\xF0';   // has everything: we want data from it
constexpr char kServed = '\x00';   // has nothing: only we can serve it
constexpr char kNeither = '\x80';  // has just what we have

class PeerSetTest : public ::testing::Test {
protected:
    PeerSetTest()
        : m_settings("/tmp/"), m_session(4 * 131072, 131072, m_host),
          m_set(
              m_session, m_host, kInfoHash, [this] { return m_now; }, [this] { return Draw(); },
              false) {
        m_session.m_set = &m_set;
        m_session.m_pieces.SetAll(Missing);
        m_session.m_pieces.SetState(0, Have);
    }
    uint32_t Draw() {
        ++m_draws;
        uint32_t value = 0;
        if (!m_picks.empty()) {
            value = m_picks.front();
            m_picks.pop_front();
        }
        return value;
    }
    // A connected peer with the given pieces; it unchokes us unless `chokesUs`.
    PeerConnection* Peer(char tag, char bits, bool chokesUs = false) {
        PeerConnection* peer = m_set.CreatePeer("10.0.0.1", std::string(20, tag), 6881, 6881);
        peer->OnHandshakePassed();
        std::vector<std::string> in{BuildBitfield(std::string(1, bits))};
        if (!chokesUs) {
            in.push_back(BuildSimple(kUnchoke));
        }
        EXPECT_TRUE(peer->ProcessMessages(in));
        return peer;
    }
    // Call after moving the clock 10 s past the peer's handshake.
    static void Feed(PeerConnection* peer, uint32_t bytesPerSecond) {
        peer->DownloadMeter().Update(bytesPerSecond * 10);
    }
    static void Request(PeerConnection* peer, uint32_t begin) {
        std::vector<std::string> in{BuildRequest(0, begin, 16384)};
        EXPECT_TRUE(peer->ProcessMessages(in));
    }

    int64_t m_now = 1000;
    std::deque<uint32_t> m_picks;
    int m_draws = 0;
    Reactor m_reactor;
    Settings m_settings;
    FakeHost m_host;
    SetSession m_session;
    PeerSet m_set;
};

TEST_F(PeerSetTest, HalfTheSlotsGoToTheFastestTheRestByLot) {
    PeerConnection* chokesUs = Peer('X', kWanted, true);
    std::vector<PeerConnection*> wanted;  // wanted[k] sends us k + 1 KiB/s
    for (char k = 0; k < 11; ++k) {
        wanted.push_back(Peer('a' + k, kWanted));
    }
    PeerConnection* served = Peer('S', kServed);
    m_now += 10;
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
    m_set.OnTimer(kTimerChoke);

    EXPECT_EQ(m_draws, 5);
    std::string choked;
    for (PeerConnection* peer : wanted) {
        choked += peer->IsAmChoking() ? 'C' : '-';
    }
    EXPECT_EQ(choked, "C---C------");       // 1 and 5 KiB/s lost the draw
    EXPECT_FALSE(chokesUs->IsAmChoking());  // unchoked without taking a slot
    EXPECT_FALSE(served->IsAmChoking());
    EXPECT_EQ(chokesUs->Rank(), 0);
    EXPECT_EQ(wanted[10]->Rank(), 1);
    EXPECT_EQ(wanted[0]->Rank(), 11);
    EXPECT_EQ(served->Rank(), 12);
}

TEST_F(PeerSetTest, OneSlotGoesByLotAndPeersWithNothingToTradeAreChokedEveryPass) {
    m_settings.SetInt(MaxUpLoadSlots, 1);
    m_settings.SetInt(LogPeerComm, 1);
    m_settings.SetInt(LogPeerCommLines, 100);
    PeerConnection* a = Peer('a', kWanted);
    PeerConnection* b = Peer('b', kWanted);
    PeerConnection* c = Peer('c', kWanted);
    PeerConnection* neither = Peer('n', kNeither);
    PeerConnection* unknown = m_set.CreatePeer("10.0.0.9", std::string(20, 'z'), 1, 1);
    m_now += 10;
    Feed(a, 3000);
    Feed(b, 2000);
    Feed(c, 1000);
    m_picks = {4, 4};
    m_set.ChokePass();
    m_set.ChokePass();

    EXPECT_EQ(m_draws, 2);
    EXPECT_TRUE(a->IsAmChoking());
    EXPECT_FALSE(b->IsAmChoking());
    EXPECT_TRUE(c->IsAmChoking());
    const auto chokes = [](PeerConnection* p) {
        return std::count(p->Log().begin(), p->Log().end(), "Send msg: CHOKE");
    };
    EXPECT_EQ(chokes(neither), 2);
    EXPECT_EQ(chokes(a), 1);  // a peer we already choke is not told again
    EXPECT_TRUE(unknown->Log().empty());
}

TEST_F(PeerSetTest, AllowanceIsARatioOfWhatThePeerSendsWithAFloorAndNoWrapAround) {
    PeerConnection* steady = Peer('a', kWanted);
    PeerConnection* silent = Peer('b', kWanted);
    PeerConnection* fast = Peer('c', kWanted);
    m_now += 10;
    Feed(steady, 100 * 1024);
    Feed(fast, 50000000);
    m_set.ChokePass();
    EXPECT_EQ(steady->UploadAllowance(), 200u * 1024);
    EXPECT_EQ(silent->UploadAllowance(), 20u * 1024);

    m_settings.SetInt(UpDownRatio, 1000);  // 50 MB/s × 1000 does not fit 32 bits
    m_set.ChokePass();
    EXPECT_EQ(fast->UploadAllowance(), 500000000u);
    m_settings.SetInt(UpDownRatio, 100000);
    m_set.ChokePass();
    EXPECT_EQ(fast->UploadAllowance(), UINT32_MAX);
}

TEST_F(PeerSetTest, UploadQueueIsOrderedByRankWithoutDuplicatesAndHeldAtTheLimit) {
    m_settings.SetInt(MaxUploadSpeed, 0);
    PeerConnection* peers[4] = {Peer('0', kServed), Peer('3', kServed), Peer('1', kServed),
                                Peer('4', kServed)};
    const int32_t ranks[4] = {0, 3, 1, 3};
    for (int i = 0; i < 4; ++i) {
        peers[i]->SetRank(ranks[i]);
        Request(peers[i], 0);
    }
    Request(peers[2], 16384);
    const std::deque<std::string> expected{peers[0]->PeerId(), peers[2]->PeerId(),
                                           peers[1]->PeerId(), peers[3]->PeerId()};
    EXPECT_EQ(m_set.UploadQueue(), expected);
    m_set.ServiceTick();
    EXPECT_EQ(m_session.m_uploaded, 0u);

    m_settings.SetInt(MaxUploadSpeed, 1000);
    m_set.OnTimer(kTimerUpload);
    EXPECT_EQ(m_session.m_uploaded, 5u * 16384);
    EXPECT_TRUE(m_set.UploadQueue().empty());
}

TEST_F(PeerSetTest, UploadKeepsToEachAllowanceAndToTheTorrentLimit) {
    PeerConnection* greedy = Peer('a', kServed);
    PeerConnection* modest = Peer('b', kServed);
    m_settings.SetInt(MaxUploadSpeed, 0);
    Request(greedy, 0);
    Request(greedy, 16384);
    Request(modest, 0);
    m_now += 10;
    greedy->UploadMeter().Update(30 * 1024 * 10);  // above its 20 KiB/s allowance
    m_settings.SetInt(MaxUploadSpeed, 1000);
    m_set.ServiceTick();
    EXPECT_EQ(greedy->PeerRequests().size(), 2u);
    EXPECT_TRUE(modest->PeerRequests().empty());
    EXPECT_EQ(m_set.UploadQueue(), std::deque<std::string>{greedy->PeerId()});

    // The torrent now sends 1638 B/s; every serve is weighed against the limit again.
    greedy->SetUploadAllowance(UINT32_MAX);
    m_settings.SetInt(MaxUploadSpeed, 1);
    m_set.ServiceTick();
    EXPECT_EQ(greedy->PeerRequests().size(), 2u);
    m_settings.SetInt(MaxUploadSpeed, 2);
    m_set.ServiceTick();
    EXPECT_EQ(greedy->PeerRequests().size(), 1u);
}

TEST_F(PeerSetTest, DownloadLimitHoldsRequestsBackUntilTheRateFalls) {
    m_session.m_allowDownload = true;
    m_now += 10;
    m_set.DownloadMeter().Update(100 * 1024 * 10);  // the torrent receives 100 KiB/s
    PeerConnection* first = Peer('a', kWanted);
    EXPECT_EQ(first->Outstanding().size(), 5u);  // no limit set

    m_settings.SetInt(MaxDownloadSpeed, 50);
    PeerConnection* second = Peer('b', kWanted);
    EXPECT_TRUE(second->Outstanding().empty());
    EXPECT_TRUE(m_set.DownloadLimitReached(*second));
    EXPECT_EQ(m_set.DownloadWaitQueue(), std::deque<std::string>{second->PeerId()});
    m_set.ServiceTick();
    EXPECT_TRUE(second->Outstanding().empty());

    m_now += 50;  // the average falls to 17 KiB/s
    m_set.ServiceTick();
    EXPECT_EQ(second->Outstanding().size(), 5u);
    EXPECT_TRUE(m_set.DownloadWaitQueue().empty());
}

TEST_F(PeerSetTest, ConnectsBelowTheLimitAndForgetsPeersThatFailTwice) {
    uint16_t closed = 0;
    {
        Listener gone(m_host);  // nobody listens on its port once it is gone
        closed = gone.Port();
    }

    m_settings.SetInt(MaxConnectedPeers, 1);
    PeerConnection* live = Peer('c', kWanted);
    live->OnConnectFailed();
    live->OnConnectFailed();  // failed twice before it came in by itself: stays
    PeerConnection* once = m_set.CreatePeer("127.0.0.1", std::string(20, '1'), closed, closed);
    PeerConnection* twice = m_set.CreatePeer("127.0.0.1", std::string(20, '2'), closed, closed);
    EXPECT_FALSE(m_set.ConnectPeer(*live));
    EXPECT_FALSE(m_set.ConnectPeer(*twice));
    EXPECT_TRUE(m_host.m_sockets.empty());

    m_settings.SetInt(MaxConnectedPeers, 40);
    const auto settle = [&] {
        for (int i = 0; i < 200 && !m_host.m_sockets.empty(); ++i) {
            m_reactor.RunOnce(5);
        }
    };
    m_set.OnTimer(kTimerConnectPeers);
    EXPECT_EQ(m_host.m_sockets.size(), 2u);
    EXPECT_FALSE(m_set.ConnectPeer(*twice));  // still connecting
    settle();
    ASSERT_TRUE(m_set.ConnectPeer(*twice));
    settle();
    EXPECT_EQ(once->ConnectFailures(), 1u);
    EXPECT_EQ(twice->ConnectFailures(), 2u);

    m_set.OnTimer(kTimerPrunePeers);
    EXPECT_EQ(m_set.FindPeer(std::string(20, '2')), nullptr);
    EXPECT_EQ(m_set.PeerList(), (std::vector<PeerConnection*>{live, once}));
}

}  // namespace
}  // namespace velbrook
