// PeerConnection bookkeeping that needs no socket: seeds, the log, the reset after a close.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "persist/Settings.h"
#include "support/PeerFakes.h"

namespace velbrook {
namespace {

using namespace test;

class PeerConnectionBook : public ::testing::Test {
protected:
    PeerConnectionBook() : m_settings("/tmp/"), m_session(4 * 16384, 16384, m_host) {
        m_session.m_pieces.SetAll(Missing);
        m_peer = m_session.CreatePeer(std::string(20, 'p'), "10.0.0.1", 6881, 6881);
        m_peer->OnHandshakePassed();
    }
    bool Feed(std::vector<std::string> payloads) { return m_peer->ProcessMessages(payloads); }

    Settings m_settings;
    FakeHost m_host;
    FakeSession m_session;
    PeerConnection* m_peer;
};

TEST_F(PeerConnectionBook, ASeedIsCountedOnceAndForgottenOnClose) {
    ASSERT_TRUE(Feed({BuildHave(0), BuildHave(1), BuildHave(2)}));
    EXPECT_EQ(m_session.m_seeds, 0);
    ASSERT_TRUE(Feed({BuildHave(3)}));
    EXPECT_TRUE(m_peer->IsSeed());
    EXPECT_EQ(m_session.m_seeds, 1);
    EXPECT_EQ(m_session.m_connected, 1);
    EXPECT_EQ(m_session.m_pieces.AvailabilityOf(3), 1);
    m_peer->OnSocketClosed();
    EXPECT_EQ(m_session.m_seeds, 0);
    EXPECT_EQ(m_session.m_connected, 0);
    EXPECT_EQ(m_session.m_pieces.AvailabilityOf(3), 0);
    EXPECT_FALSE(m_peer->IsSeed());
    EXPECT_EQ(m_peer->PeerPieces(), nullptr);  // no per-piece memory while not connected
    // Messages after the reset close the (next) socket: the handshake has not passed again.
    EXPECT_FALSE(Feed({BuildHave(0)}));
}

TEST_F(PeerConnectionBook, LogKeepsOnlyTheNewestLines) {
    m_settings.SetInt(LogPeerComm, 1);
    m_settings.SetInt(LogPeerCommLines, 3);
    for (uint32_t i = 0; i < 5; ++i) {
        m_peer->SendHave(i);
    }
    ASSERT_EQ(m_peer->Log().size(), 3u);
    EXPECT_EQ(m_peer->Log().front(), "Send msg: HAVE: 2 \r\n");
    EXPECT_EQ(m_peer->Log().back(), "Send msg: HAVE: 4 \r\n");

    m_settings.SetInt(LogPeerCommLines, 0);
    m_peer->SendHave(1);
    EXPECT_TRUE(m_peer->Log().empty());
}

TEST_F(PeerConnectionBook, PeerExchangeAddsNewPeersAndStopsAtBadEntries) {
    m_settings.SetInt(LogPeerComm, 1);
    m_settings.SetInt(LogPeerCommLines, 10);
    m_peer->SetExtensionCapable(true);
    const std::string a(20, 'a');
    const std::string b(20, 'b');
    ASSERT_TRUE(
        Feed({BuildExtension(2, BuildPeerExchange({{a, "10.0.0.2", 6881},
                                                   {a, "10.0.0.3", 1},
                                                   {m_peer->PeerId(), "10.0.0.1", 6881},
                                                   {b, "not an address!", 7000},
                                                   {std::string(20, 'c'), "10.0.0.4", 7}}))}));
    // a is added once; the known peer and the duplicate are counted; the bad address ends it.
    EXPECT_EQ(m_peer->Log().back(), std::string(26, ' ') + "<<-Recv msg: EXT_PEERS: 3, Add 1 \r\n");
    ASSERT_NE(m_session.FindPeer(a), nullptr);
    EXPECT_EQ(m_session.FindPeer(a)->Address(), "10.0.0.2");
    EXPECT_EQ(m_session.FindPeer(a)->ListenPort(), 6881);
    EXPECT_EQ(m_session.FindPeer(b), nullptr);

    // An entry with an empty address is too short to count; a broken message is dropped.
    ASSERT_TRUE(Feed({BuildExtension(2, std::string(20, 'd') + '\0' + std::string(4, '\0')),
                      std::string(1, '\x09')}));
    EXPECT_EQ(m_peer->Log().back(), std::string(26, ' ') + "<<-Recv msg: EXT_PEERS: 0, Add 0 \r\n");

    // Switched off on our side: nothing is read.
    m_settings.SetInt(ProtocalExtension, 0);
    ASSERT_TRUE(
        Feed({BuildExtension(2, BuildPeerExchange({{std::string(20, 'e'), "10.0.0.5", 1}}))}));
    EXPECT_EQ(m_session.FindPeer(std::string(20, 'e')), nullptr);
}

// What each side wants of the other, walked the plain way.
std::pair<uint32_t, uint32_t> Walk(const BitField& own, const BitField& peer) {
    uint32_t weWant = 0;
    uint32_t peerWants = 0;
    for (uint32_t i = 0; i <= own.GetLastIndex(); ++i) {
        weWant += peer.GetState(i) == Have && own.GetState(i) != Have ? 1 : 0;
        peerWants += own.GetState(i) == Have && peer.GetState(i) != Have ? 1 : 0;
    }
    return {weWant, peerWants};
}

// The interest counts are kept, not walked: a random run of bitfields, HAVEs, our pieces checked
// or lost (one by one and in bulk, behind the connections' backs) and closes must leave them
// equal to a walk, and what a HAVE or a BITFIELD decides equal to what the walk says.
TEST(PeerConnectionCounts, RandomRunMatchesAPlainWalk) {
    constexpr uint32_t kPieces = 300;  // more than our own changes are remembered
    std::mt19937 rng(17);
    Settings settings("/tmp/");
    FakeHost host;
    FakeSession session(kPieces * 1024, 1024, host);
    PieceManager& own = session.m_pieces;
    own.SetAll(Missing);
    std::vector<PeerConnection*> peers;
    for (char tag = 'a'; tag < 'e'; ++tag) {
        peers.push_back(session.CreatePeer(std::string(20, tag), "10.0.0.1", 6881, 6881));
    }
    std::vector<bool> bitfieldSent(peers.size(), false);
    const auto randomBits = [&] {
        const uint32_t percent = rng() % 101;
        std::string bits((kPieces + 7) / 8, '\0');
        for (uint32_t i = 0; i < kPieces; ++i) {
            if (rng() % 100 < percent) {
                bits[i / 8] = static_cast<char>(bits[i / 8] | (0x80 >> i % 8));
            }
        }
        return bits;
    };
    const auto feed = [](PeerConnection& peer, std::string payload) {
        std::vector<std::string> in{std::move(payload)};
        return peer.ProcessMessages(in);
    };
    for (int step = 0; step < 4000; ++step) {
        const size_t k = rng() % peers.size();
        PeerConnection& peer = *peers[k];
        const uint32_t piece = rng() % kPieces;
        const uint32_t action = rng() % 100;
        bool decided = false;
        if (!peer.IsConnected()) {
            peer.OnHandshakePassed();
            bitfieldSent[k] = false;
        } else if (action < 10 && !bitfieldSent[k]) {
            ASSERT_TRUE(feed(peer, BuildBitfield(randomBits())));
            bitfieldSent[k] = decided = true;
        } else if (action < 45 && peer.PeerPieces()->GetState(piece) != Have) {
            ASSERT_TRUE(feed(peer, BuildHave(piece)));
            decided = true;
        } else if (action < 70) {
            own.SetState(piece, Have);  // checked, announced or not
        } else if (action < 90) {
            own.SetState(piece, rng() % 2 ? Missing : Requested);  // a failed (re)check
        } else if (action < 92) {
            own.FromBitString(randomBits());  // a status load
        } else if (action < 93) {
            own.SetAll(Missing);
        } else if (action < 96) {
            peer.OnSocketClosed();
            ASSERT_EQ(peer.PiecesWeWant() + peer.PiecesPeerWants(), 0u) << step;
        }
        if (decided) {
            const auto [weWant, peerWants] = Walk(own, *peer.PeerPieces());
            ASSERT_EQ(peer.IsAmInterested(), weWant > 0) << "step " << step;
            ASSERT_EQ(peer.IsUploadCandidate(), peerWants > 0) << "step " << step;
            ASSERT_EQ(peer.IsSeed(), peer.PeerPieces()->AllEqual(Have)) << "step " << step;
        }
        // Looking brings the counts up to date, so changes are left to pile up in between.
        for (PeerConnection* each : peers) {
            if (each->IsConnected() && rng() % 8 == 0) {
                const auto [weWant, peerWants] = Walk(own, *each->PeerPieces());
                ASSERT_EQ(each->PiecesWeWant(), weWant) << "step " << step;
                ASSERT_EQ(each->PiecesPeerWants(), peerWants) << "step " << step;
            }
        }
    }
}

// A peer that has everything of a 16 MiB torrent of which we have nothing; the clocks are ours.
class PeerPipeline : public ::testing::Test {
protected:
    static constexpr int64_t kPiece = 256 * 1024;
    PeerPipeline() : m_settings("/tmp/"), m_session(64 * kPiece, kPiece, m_host) {
        m_settings.SetInt(LogPeerComm, 1);
        m_settings.SetInt(LogPeerCommLines, 1000);
        m_session.m_pieces.SetAll(Missing);
        m_peer = m_session.CreatePeer(std::string(20, 'p'), "10.0.0.1", 6881, 6881);
        m_peer->SetMillisecondClock([this] { return m_ms; });
        m_peer->SetMeterClock([this] { return m_ms / 1000; });
        m_peer->OnHandshakePassed();
        EXPECT_TRUE(Feed({BuildBitfield(std::string(8, '\xff')), BuildSimple(kUnchoke)}));
    }
    bool Feed(std::vector<std::string> payloads) { return m_peer->ProcessMessages(payloads); }
    std::string Slice(const BlockRequest& r) const {
        return BuildPiece(r.piece, r.begin,
                          m_session.m_data.substr(r.piece * kPiece + r.begin, r.length));
    }
    // Answers the `count` oldest outstanding requests.
    void Answer(size_t count) {
        std::vector<std::string> in;
        for (size_t i = 0; i < count && i < m_peer->Outstanding().size(); ++i) {
            in.push_back(Slice(m_peer->Outstanding()[i]));
        }
        ASSERT_TRUE(Feed(in));
    }
    size_t Sent(const std::string& prefix) const {
        return static_cast<size_t>(
            std::count_if(m_peer->Log().begin(), m_peer->Log().end(),
                          [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
    }

    int64_t m_ms = 1000000;
    Settings m_settings;
    FakeHost m_host;
    FakeSession m_session;
    PeerConnection* m_peer;
};

TEST_F(PeerPipeline, DepthFollowsThePeersSpeedWithinBounds) {
    EXPECT_EQ(PeerConnection::PipelineDepth(0), 5u);
    EXPECT_EQ(PeerConnection::PipelineDepth(1 << 20), 128u);  // two seconds of 1 MiB/s
    EXPECT_EQ(PeerConnection::PipelineDepth(uint64_t{1} << 40), 250u);
    EXPECT_EQ(m_peer->Outstanding().size(), 5u);

    // Five slices every 10 ms is 8 MB/s: after one sample the pipeline is as deep as it goes.
    for (int round = 0; round < 26; ++round) {
        m_ms += 10;
        Answer(5);
    }
    EXPECT_EQ(m_peer->PipelineTarget(), 250u);
    EXPECT_EQ(m_peer->Outstanding().size(), 250u);

    // Then one slice every quarter second (64 KiB/s): the depth falls by half a sample at a time
    // and no new request goes out while more than that is in flight.
    size_t before = m_peer->Outstanding().size();
    for (int round = 0; round < 12; ++round) {
        m_ms += 250;
        Answer(1);
        EXPECT_LE(m_peer->Outstanding().size(), before);
        before = m_peer->Outstanding().size();
    }
    EXPECT_EQ(m_peer->PipelineTarget(), 8u);
    EXPECT_LE(before, 240u);  // answered slices were not replaced
}

TEST_F(PeerPipeline, ARequestUnansweredForAMinuteGoesBackToBeAskedElsewhere) {
    const BlockRequest first = m_peer->Outstanding().front();
    for (int second = 0; second < 59; ++second) {
        m_ms += 1000;
        std::vector<std::string> in{Slice(m_peer->Outstanding()[1])};
        ASSERT_TRUE(Feed(in));
    }
    EXPECT_EQ(m_peer->Outstanding().front(), first);
    m_ms += 1000;
    ASSERT_TRUE(Feed({Slice(m_peer->Outstanding()[1])}));
    EXPECT_NE(m_peer->Outstanding().front(), first);
    EXPECT_EQ(Sent("Send msg: CANCEL: "), 1u);
    // The slice is free for anyone again (this peer asks for it anew), and a copy that crossed
    // our CANCEL is no offence.
    ASSERT_TRUE(Feed({Slice(first)}));
    EXPECT_FALSE(m_peer->IsFatal());
}

TEST_F(PeerPipeline, DataThatFailsTheCheckThreeTimesBansThePeer) {
    for (uint32_t failed = 1; failed <= 3; ++failed) {
        bool open = true;
        for (int round = 0; round < 40 && m_peer->HashFailures() < failed; ++round) {
            std::vector<std::string> in;
            for (const BlockRequest& r : m_peer->Outstanding()) {
                in.push_back(BuildPiece(r.piece, r.begin, std::string(r.length, 'x')));
            }
            open = Feed(in);
            if (!open) {
                break;
            }
        }
        EXPECT_EQ(m_peer->HashFailures(), failed);
        EXPECT_EQ(open, failed < 3);
    }
    EXPECT_TRUE(m_peer->IsBanned());
}

}  // namespace
}  // namespace velbrook
