// PeerConnection without a socket: what it decides from one peer's messages, among the real set
// of the torrent's peers. The clock is ours.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <type_traits>
#include <utility>

#include "support/PeerFakes.h"

namespace velbrook {
namespace {

using namespace test;
using namespace std::chrono_literals;

class PeerConnectionTest : public ::testing::Test {
protected:
    // A torrent of which we have nothing.
    void Use(int64_t total, int64_t pieceLength) {
        m_torrent = std::make_unique<FakeTorrent>(m_host, total, pieceLength);
        m_torrent->m_pieces.SetAll(Missing);
    }
    PeerConnection& Connect(char tag, const PeerFeatures& features = {}) {
        PeerConnection& peer =
            *m_torrent->m_set.CreatePeer(std::string(20, tag), "127.0.0.1", 6881, 6881);
        peer.SetLogLimit(m_logLines);
        peer.SetPeerFeatures(features);
        peer.OnHandshakePassed();
        return peer;
    }
    // A peer that has all of a 16 MiB torrent and unchoked us.
    PeerConnection& Seeder() {
        Use(64 * 256 * 1024, 256 * 1024);
        PeerConnection& peer = Connect('s');
        EXPECT_TRUE(Feed(peer, {BuildBitfield(std::string(8, '\xff')), BuildSimple(kUnchoke)}));
        return peer;
    }
    static bool Feed(PeerConnection& peer, std::vector<std::string> payloads) {
        return peer.ProcessMessages(payloads);
    }
    // The slice as a peer sends it: the torrent's bytes, or `fill` for data that fails the check.
    std::string Slice(const BlockRequest& r, char fill = 0) const {
        return BuildPiece(r.piece, r.begin,
                          fill ? std::string(r.length, fill)
                               : m_torrent->Slice(r.piece, r.begin, r.length));
    }
    // Answers the `count` oldest outstanding requests.
    bool Answer(PeerConnection& peer, size_t count, char fill = 0) {
        std::vector<std::string> in;
        for (size_t i = 0; i < count && i < peer.Outstanding().size(); ++i) {
            in.push_back(Slice(peer.Outstanding()[i], fill));
        }
        return Feed(peer, in);
    }

    void Advance(Duration by) { m_host.m_clock.Advance(by); }

    size_t m_logLines = 0;
    FakePeerHost m_host;
    Reactor m_reactor;  // runs what a ban leaves for later
    std::unique_ptr<FakeTorrent> m_torrent;
};

TEST_F(PeerConnectionTest, PipelineDepthFollowsThePeersSpeedWithinBounds) {
    PeerConnection& peer = Seeder();
    EXPECT_EQ(PeerConnection::PipelineDepth(1 << 20), 128u);  // two seconds of 1 MiB/s
    EXPECT_EQ(peer.Outstanding().size(), 5u);
    // Five slices every 10 ms is 8 MB/s: after one sample the pipeline is as deep as it goes.
    for (int round = 0; round < 26; ++round) {
        Advance(10ms);
        ASSERT_TRUE(Answer(peer, 5));
    }
    EXPECT_EQ(peer.Outstanding().size(), 250u);
    // Then one slice every quarter second (64 KiB/s): the depth falls by half a sample at a time
    // and no new request goes out while more than that is in flight.
    size_t before = peer.Outstanding().size();
    for (int round = 0; round < 12; ++round) {
        Advance(250ms);
        ASSERT_TRUE(Answer(peer, 1));
        EXPECT_LE(peer.Outstanding().size(), before);
        before = peer.Outstanding().size();
    }
    EXPECT_EQ(peer.PipelineTarget(), 8u);
    EXPECT_LE(before, 240u);  // answered slices were not replaced
}

TEST_F(PeerConnectionTest, RequestsGoBackToBeAskedAgainOnAChokeOrWhenLaterOnesAreAnswered) {
    PeerConnection& peer = Seeder();
    const BlockRequest first = peer.Outstanding().front();
    // The four asked with it are answered, then those asked one second later, and so on: once
    // one asked two seconds after it is answered, it is given up.
    for (int second = 0; second < 6; ++second) {
        EXPECT_EQ(peer.Outstanding().front(), first) << second;
        Advance(1s);
        ASSERT_TRUE(Feed(peer, {Slice(peer.Outstanding()[1])}));
    }
    EXPECT_NE(peer.Outstanding().front(), first);
    // Free for anyone again, it is asked anew: its late copy is stored and is no offence.
    ASSERT_TRUE(Feed(peer, {Slice(first)}));
    EXPECT_FALSE(peer.IsFatal());
    EXPECT_EQ(m_torrent->m_writes, 7);

    const BlockRequest next = peer.Outstanding().front();
    ASSERT_TRUE(Feed(peer, {BuildSimple(kChoke)}));
    EXPECT_TRUE(peer.Outstanding().empty());
    for (uint32_t i = 0; i < 64; ++i) {
        EXPECT_NE(m_torrent->m_pieces.GetState(i), Requested) << i;
    }
    ASSERT_TRUE(Feed(peer, {Slice(next)}));  // no longer asked for: not stored
    EXPECT_EQ(m_torrent->m_writes, 7);
}

TEST_F(PeerConnectionTest, APeerWhoseDataFailsTheCheckThreeTimesIsBanned) {
    PeerConnection& peer = Seeder();
    for (uint32_t failed = 1; failed <= 3; ++failed) {
        bool open = true;
        for (int round = 0; round < 40 && open && peer.HashFailures() < failed; ++round) {
            open = Answer(peer, peer.Outstanding().size(), 'x');
        }
        EXPECT_EQ(peer.HashFailures(), failed);
        EXPECT_EQ(open, failed < 3);
    }
    EXPECT_TRUE(peer.IsBanned());
    // Its set forgets it once the handler is done, and takes nobody at its address again.
    RunPasses(m_reactor);
    EXPECT_EQ(m_torrent->m_set.FindPeer(std::string(20, 's')), nullptr);
    EXPECT_EQ(m_torrent->m_set.CreatePeer(std::string(20, 't'), "127.0.0.1", 7000, 7000), nullptr);
}

// A request within a piece we have, but larger than any client asks for, is refused outright.
TEST_F(PeerConnectionTest, AnOversizedRequestTakesNoPlaceInTheQueue) {
    Use(2 * 256 * 1024, 256 * 1024);
    m_torrent->m_pieces.SetAll(Have);
    PeerConnection& peer = Connect('p');
    EXPECT_TRUE(Feed(peer, {BuildRequest(0, 0, PeerConnection::kMaxRequestLength + 1)}));
    EXPECT_TRUE(peer.PeerRequests().empty());
    EXPECT_TRUE(peer.IsFatal());
}

// Some clients announce new pieces with a fresh BITFIELD in the middle of a connection.
TEST_F(PeerConnectionTest, ALaterBitfieldThatKeepsEveryPieceCountsAsItsHaves) {
    m_logLines = 100;
    Use(8 * 16384, 16384);
    const auto availability = [this] {
        std::string counts;
        for (uint32_t i = 0; i < 8; ++i) {
            counts += static_cast<char>('0' + m_torrent->m_pieces.AvailabilityOf(i));
        }
        return counts;
    };
    PeerConnection& other = Connect('o');
    ASSERT_TRUE(Feed(other, {BuildBitfield("\x81")}));
    ASSERT_EQ(availability(), "10000001");

    PeerConnection& peer = Connect('p');
    ASSERT_TRUE(Feed(peer, {BuildHave(2), BuildBitfield("\xA0"), BuildBitfield("\xA0")}));
    EXPECT_EQ(availability(), "20100001");
    ASSERT_TRUE(Feed(peer, {BuildBitfield("\xFF")}));
    EXPECT_EQ(availability(), "21111112");
    EXPECT_TRUE(peer.IsSeed());
    EXPECT_EQ(m_torrent->m_set.SeedCount(), 1);
    EXPECT_FALSE(peer.IsFatal());
    // Everything it announced, by whichever message, leaves with it, exactly once.
    peer.OnSocketClosed();
    EXPECT_EQ(availability(), "10000001");
    EXPECT_EQ(m_torrent->m_set.SeedCount(), 0);

    // One that takes back a piece announced before is not to be believed.
    PeerConnection& liar = Connect('l');
    ASSERT_TRUE(Feed(liar, {BuildBitfield("\x40"), BuildHave(5)}));
    EXPECT_FALSE(Feed(liar, {BuildBitfield("\x40")}));
    EXPECT_FALSE(Feed(Connect('m'), {BuildBitfield("\x40"), BuildBitfield("\x80")}));
    EXPECT_EQ(liar.Log().back(), "Fatal Error:Send BitField Again!");
}

TEST_F(PeerConnectionTest, WithTheFastBitRejectsFreeSlicesAtOnceAndAChokeKeepsOurRequests) {
    m_logLines = 100;
    Use(64 * 256 * 1024, 256 * 1024);
    const PeerFeatures fast{.fastExtension = true};
    const auto logged = [](const PeerConnection& peer, std::string_view start) {
        return std::count_if(peer.Log().begin(), peer.Log().end(),
                             [&](const std::string& line) { return line.starts_with(start); });
    };
    // Without the bit its messages are ids we do not know, and we send none of them.
    PeerConnection& plain = Connect('p');
    ASSERT_TRUE(Feed(plain, {BuildSimple(kHaveAll), BuildSimple(kUnchoke)}));
    EXPECT_FALSE(plain.IsSeed());
    EXPECT_TRUE(plain.Outstanding().empty());
    EXPECT_EQ(logged(plain, "Send msg: BITFIELD"), 1);

    PeerConnection& seed = Connect('s', fast);
    EXPECT_EQ(logged(seed, "Send msg: HAVE NONE"), 1);
    EXPECT_EQ(logged(seed, "Send msg: BITFIELD"), 0);
    ASSERT_TRUE(Feed(seed, {BuildSimple(kHaveAll), BuildSimple(kUnchoke)}));
    EXPECT_TRUE(seed.IsSeed());
    const std::vector<BlockRequest> asked(seed.Outstanding().begin(), seed.Outstanding().end());
    ASSERT_EQ(asked.size(), 5u);
    ASSERT_TRUE(Feed(seed, {BuildSimple(kChoke)}));
    EXPECT_EQ(seed.Outstanding().size(), 5u);  // a CHOKE alone withdraws nothing
    std::vector<std::string> rejects;
    for (const BlockRequest& r : asked) {
        rejects.push_back(BuildReject(r.piece, r.begin, r.length));
    }
    ASSERT_TRUE(Feed(seed, rejects));
    EXPECT_TRUE(seed.Outstanding().empty());
    // The rejected slices are the first a peer that unchokes us next is asked for.
    PeerConnection& next = Connect('n', fast);
    ASSERT_TRUE(Feed(next, {BuildSimple(kHaveAll), BuildSimple(kUnchoke)}));
    EXPECT_EQ(std::vector<BlockRequest>(next.Outstanding().begin(), next.Outstanding().end()),
              asked);
    // A choked peer that rejects nothing keeps our requests until they time out.
    ASSERT_TRUE(Feed(next, {BuildSimple(kChoke)}));
    Advance(59s);
    EXPECT_EQ(next.Outstanding().size(), 5u);
    Advance(1s);
    EXPECT_TRUE(next.Outstanding().empty());
    // REJECTs for requests never made are no offence, but not without end.
    const std::string stray = BuildReject(63, 0, kSliceSize);
    ASSERT_TRUE(Feed(seed, std::vector<std::string>(PeerConnection::kMaxStrayRejects, stray)));
    EXPECT_FALSE(Feed(seed, {stray}));
}

// A peer that says it queues 2 000 requests but drops those beyond 300 without a word: the
// pipeline grows past the old fixed 250, what the peer drops is asked again within seconds (once
// later requests are answered, or once the peer falls silent at the end), the connection asks
// for less at a time, and the download goes on to the end.
TEST_F(PeerConnectionTest, APeerThatDropsPartOfADeepPipelineDoesNotStallUs) {
    Use(int64_t{32} << 20, 256 * 1024);
    PeerConnection& peer = Connect('s');
    peer.SetPeerRequestLimit(2000);
    ASSERT_TRUE(Feed(peer, {BuildBitfield(std::string(16, '\xff')), BuildSimple(kUnchoke)}));
    std::deque<BlockRequest> queue;  // the peer's
    const auto deliver = [&] {
        for (const BlockRequest& r : peer.Outstanding()) {
            if (r.sentAt == m_host.m_clock.Now() && queue.size() < 300) {
                queue.push_back(r);
            }
        }
    };
    const auto done = [this] { return m_torrent->m_pieces.Count(Have) == 128; };
    deliver();
    size_t deepest = 0;
    // 5 slices every 10 ms, 8 MB/s (a pipeline of 1 000), for at most 40 s: well before the
    // minute after which any request is given up.
    for (int step = 0; step < 4000 && !done(); ++step) {
        Advance(10ms);
        std::vector<std::string> in;
        for (int i = 0; i < 5 && !queue.empty(); ++i) {
            in.push_back(Slice(queue.front()));
            queue.pop_front();
        }
        ASSERT_TRUE(Feed(peer, in));
        deliver();
        deepest = std::max(deepest, peer.Outstanding().size());
    }
    EXPECT_TRUE(done());
    EXPECT_FALSE(peer.IsFatal());
    EXPECT_GT(deepest, 250u);
    EXPECT_LE(deepest, 2000u);
    EXPECT_LT(peer.RequestCeiling(), 2000u);  // it is asked for less at a time now
}

// A seeding connection can stay up long enough to pass 4 GiB each way.
static_assert(std::is_same_v<decltype(std::declval<PeerConnection&>().Downloaded()), uint64_t> &&
              std::is_same_v<decltype(std::declval<PeerConnection&>().Uploaded()), uint64_t>);

TEST_F(PeerConnectionTest, OurExchangeFollowsBitOneOfByteZeroAndNeverTakesADhtPort) {
    Use(4 * 16384, 16384);
    m_logLines = 50;
    const auto sentReports = [](const PeerConnection& peer) {
        return std::count(peer.Log().begin(), peer.Log().end(), "Send msg: EXTENSION REPORT");
    };
    // Another client's bits around ours (DHT, fast, extension protocol) still mean our exchange.
    PeerConnection& other = *m_torrent->m_set.CreatePeer(std::string(20, 'o'), "127.0.0.1", 1, 1);
    other.SetLogLimit(m_logLines);
    other.SetPeerFeatures(ReadPeerFeatures(std::string("\x01\0\0\0\0\x10\0\x05", 8)));
    EXPECT_TRUE(other.Features().ownExchange && other.Features().dht);
    other.OnHandshakePassed();
    EXPECT_EQ(sentReports(other), 1);
    // Port 258 as a DHT port message reads like our peer-list request: it must not be one.
    EXPECT_TRUE(Feed(other, {std::string("\x09\x01\x02", 3)}));
    EXPECT_EQ(sentReports(other), 1);
    EXPECT_TRUE(Feed(other, {std::string("\x09\x01", 2)}));
    EXPECT_EQ(sentReports(other), 2);
    // Without the bit there is no exchange, whatever else the peer speaks.
    PeerConnection& plain = *m_torrent->m_set.CreatePeer(std::string(20, 'p'), "127.0.0.1", 2, 2);
    plain.SetLogLimit(m_logLines);
    plain.SetPeerFeatures(ReadPeerFeatures(std::string("\0\0\0\0\0\x10\0\x05", 8)));
    plain.OnHandshakePassed();
    EXPECT_TRUE(Feed(plain, {std::string("\x09\x01", 2)}));
    EXPECT_EQ(sentReports(plain), 0);
}

}  // namespace
}  // namespace velbrook
