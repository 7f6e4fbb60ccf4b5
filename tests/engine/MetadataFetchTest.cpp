#include "engine/MetadataFetch.h"

#include <gtest/gtest.h>

#include <string>

#include "metainfo/SHA1.h"
#include "peer/PeerLinks.h"
#include "support/MetainfoBuilder.h"

namespace velbrook {
namespace {

// Peers are keys only: any distinct addresses do.
const int kA = 1;
const int kB = 2;
const int kC = 3;
const MetadataFetch::PeerKey A = &kA;
const MetadataFetch::PeerKey B = &kB;
const MetadataFetch::PeerKey C = &kC;

// A dictionary of `pieces` metadata pieces, the last one short.
std::string Dictionary(uint32_t pieces) {
    return test::PatternBytes(size_t{pieces - 1} * kMetadataPieceSize + 1000);
}

std::string PieceOf(const std::string& dictionary, uint32_t piece) {
    return dictionary.substr(size_t{piece} * kMetadataPieceSize, kMetadataPieceSize);
}

// Asks `peer` for pieces and answers them from `served` until it gets none.
void Serve(MetadataFetch& fetch, MetadataFetch::PeerKey peer, const std::string& served) {
    while (const auto piece = fetch.Next(peer)) {
        ASSERT_TRUE(fetch.OnPiece(peer, *piece, served.size(), PieceOf(served, *piece)));
    }
}

TEST(MetadataFetch, SharesPiecesAmongPeersAndSettlesOneSize) {
    const std::string dictionary = Dictionary(9);
    MetadataFetch fetch(SHA1::Digest(dictionary));
    // Sizes nobody could mean are not believed, and the first believable offer settles it.
    EXPECT_FALSE(fetch.Offer(A, 0));
    EXPECT_FALSE(fetch.Offer(A, kMaxMetadataSize + 1));
    EXPECT_FALSE(fetch.Next(A));
    ASSERT_TRUE(fetch.Offer(A, dictionary.size()));
    EXPECT_FALSE(fetch.Offer(B, dictionary.size() + 1));
    ASSERT_TRUE(fetch.Offer(B, dictionary.size()));
    ASSERT_TRUE(fetch.Offer(C, dictionary.size()));

    // Each piece to one peer while unasked ones are left, a few to each.
    std::vector<uint32_t> toA, toB;
    while (const auto piece = fetch.Next(A))
        toA.push_back(*piece);
    while (const auto piece = fetch.Next(B))
        toB.push_back(*piece);
    EXPECT_EQ(toA, (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(toB, (std::vector<uint32_t>{4, 5, 6, 7}));
    EXPECT_EQ(fetch.Next(C), 8u);
    // Wrong length, wrong total, or a piece not asked of it: the peer is dropped.
    EXPECT_FALSE(fetch.OnPiece(A, 0, dictionary.size(), PieceOf(dictionary, 0).substr(1)));
    EXPECT_FALSE(fetch.OnPiece(A, 0, dictionary.size() + 1, PieceOf(dictionary, 0)));
    EXPECT_FALSE(fetch.OnPiece(A, 4, dictionary.size(), PieceOf(dictionary, 4)));
    EXPECT_FALSE(fetch.OnPiece(A, 99, dictionary.size(), PieceOf(dictionary, 0)));

    for (uint32_t piece = 0; piece < 8; ++piece) {
        ASSERT_TRUE(
            fetch.OnPiece(piece < 4 ? A : B, piece, dictionary.size(), PieceOf(dictionary, piece)));
    }
    // C is slow with the last piece: an idle peer is asked for it too (but not a third), and
    // the later answer is welcome.
    EXPECT_EQ(fetch.Next(A), 8u);
    EXPECT_FALSE(fetch.Next(B));
    ASSERT_TRUE(fetch.OnPiece(A, 8, dictionary.size(), PieceOf(dictionary, 8)));
    ASSERT_TRUE(fetch.IsComplete());
    EXPECT_EQ(fetch.Dictionary(), dictionary);
    EXPECT_TRUE(fetch.OnPiece(C, 8, dictionary.size(), PieceOf(dictionary, 8)));
    EXPECT_TRUE(fetch.TakeCulprits().empty());
}

TEST(MetadataFetch, ALiarIsFoundOutAndTheFetchGoesOnFromOthers) {
    const std::string dictionary = Dictionary(3);
    std::string altered = dictionary;
    altered[kMetadataPieceSize + 5] ^= 1;

    // One peer sent it all: that peer is the liar, and the others fetch it again.
    MetadataFetch alone(SHA1::Digest(dictionary));
    ASSERT_TRUE(alone.Offer(A, dictionary.size()));
    ASSERT_TRUE(alone.Offer(B, dictionary.size()));
    bool dropped = false;
    while (const auto piece = alone.Next(A)) {
        dropped = !alone.OnPiece(A, *piece, altered.size(), PieceOf(altered, *piece));
    }
    EXPECT_TRUE(dropped);
    EXPECT_EQ(alone.TakeCulprits(), std::vector<MetadataFetch::PeerKey>{A});
    EXPECT_FALSE(alone.Next(A));
    Serve(alone, B, dictionary);
    EXPECT_TRUE(alone.IsComplete());
    EXPECT_TRUE(alone.TakeCulprits().empty());

    // Pieces from several peers: each is fetched again from another peer, and whoever sent a
    // piece that differs from the verified dictionary is the liar, not the honest senders.
    std::string first = dictionary;
    first[5] ^= 1;
    MetadataFetch shared(SHA1::Digest(dictionary));
    for (const auto peer : {A, B, C}) {
        ASSERT_TRUE(shared.Offer(peer, dictionary.size()));
    }
    ASSERT_EQ(shared.Next(A), 0u);
    ASSERT_EQ(shared.Next(B), 1u);
    ASSERT_EQ(shared.Next(C), 2u);
    ASSERT_TRUE(shared.OnPiece(A, 0, dictionary.size(), PieceOf(first, 0)));
    ASSERT_TRUE(shared.OnPiece(B, 1, dictionary.size(), PieceOf(dictionary, 1)));
    ASSERT_TRUE(shared.OnPiece(C, 2, dictionary.size(), PieceOf(dictionary, 2)));
    EXPECT_FALSE(shared.IsComplete());
    EXPECT_TRUE(shared.TakeCulprits().empty());
    // Nobody is asked again for the piece it sent while others can be.
    EXPECT_EQ(shared.Next(A), 1u);
    EXPECT_EQ(shared.Next(B), 0u);
    EXPECT_EQ(shared.Next(B), 2u);
    ASSERT_TRUE(shared.OnPiece(A, 1, dictionary.size(), PieceOf(dictionary, 1)));
    ASSERT_TRUE(shared.OnPiece(B, 0, dictionary.size(), PieceOf(dictionary, 0)));
    ASSERT_FALSE(shared.IsComplete());
    EXPECT_TRUE(shared.OnPiece(B, 2, dictionary.size(), PieceOf(dictionary, 2)));
    ASSERT_TRUE(shared.IsComplete());
    EXPECT_EQ(shared.TakeCulprits(), std::vector<MetadataFetch::PeerKey>{A});
}

TEST(MetadataFetch, RefusedAndOrphanedPiecesGoToOtherPeers) {
    const std::string dictionary = Dictionary(6);
    MetadataFetch fetch(SHA1::Digest(dictionary));
    ASSERT_TRUE(fetch.Offer(A, dictionary.size()));
    ASSERT_TRUE(fetch.Offer(B, dictionary.size()));
    ASSERT_EQ(fetch.Next(A), 0u);
    fetch.OnRefused(A, 0);
    // Not asked of A again; the next unasked ones are.
    EXPECT_EQ(fetch.Next(A), 1u);
    EXPECT_EQ(fetch.Next(A), 2u);
    EXPECT_EQ(fetch.Next(B), 0u);
    // A goes with pieces 1 and 2 outstanding: they are B's to fetch. B alone refused piece 0:
    // nobody else can be asked, so B is asked again.
    fetch.OnRefused(B, 0);
    fetch.OnPeerGone(A);
    EXPECT_FALSE(fetch.OnPiece(A, 1, dictionary.size(), PieceOf(dictionary, 1)));
    Serve(fetch, B, dictionary);
    EXPECT_TRUE(fetch.IsComplete());

    // The peer that settled a size leaves alone: the next offer settles it anew, so a liar who
    // spoke first cannot hold the fetch after it has gone.
    MetadataFetch lied(SHA1::Digest(dictionary));
    ASSERT_TRUE(lied.Offer(C, uint64_t{1} << 20));
    EXPECT_FALSE(lied.Offer(A, dictionary.size()));
    lied.OnPeerGone(C);
    ASSERT_TRUE(lied.Offer(A, dictionary.size()));
    Serve(lied, A, dictionary);
    EXPECT_TRUE(lied.IsComplete());
}

}  // namespace
}  // namespace velbrook
