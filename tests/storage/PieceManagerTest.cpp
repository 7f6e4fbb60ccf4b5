#include "storage/PieceManager.h"

#include "persist/CXML.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <tuple>

namespace velbrook {
namespace {

constexpr uint32_t kSlice = PieceManager::kSliceSize;
using Req = std::tuple<uint32_t, uint32_t, uint32_t, bool>;  // piece, offset, length, duplicate

// Per-entry states from digits: Field("1121") is a peer that has piece 2 only.
BitField Field(const std::string& states) {
    BitField field(static_cast<int64_t>(states.size()), 1);
    for (uint32_t i = 0; i < states.size(); ++i) {
        field.SetState(i, static_cast<uint32_t>(states[i] - '0'));
    }
    return field;
}

void SetStates(PieceManager& pm, const std::string& states) {
    for (uint32_t i = 0; i < states.size(); ++i) {
        ASSERT_TRUE(pm.SetState(i, static_cast<uint32_t>(states[i] - '0')));
    }
}

// The piece's slice states as letters (F missing, P present, D requested), "-" without a record.
std::string Slices(const PieceManager& pm, uint32_t piece) {
    const BitField* record = pm.SliceRecord(piece);
    return record ? record->ToCharString() : "-";
}

std::optional<Req> Next(PieceManager& pm, const BitField& peer, int64_t hint = -1) {
    Req r;
    auto& [piece, offset, length, duplicate] = r;
    if (!pm.GetNextRequest(peer, hint, piece, offset, length, duplicate)) {
        return std::nullopt;
    }
    return r;
}

TEST(PieceManagerPick, APieceIsFetchedSliceBySliceThenDuplicatedInTheEndGame) {
    PieceManager pm(40000, 40000);
    SetStates(pm, "1");
    const BitField seed = Field("2");
    EXPECT_EQ(Next(pm, seed), Req(0, 0, kSlice, false));
    EXPECT_EQ(Next(pm, seed, 0), Req(0, kSlice, kSlice, false));
    EXPECT_EQ(Next(pm, seed, 0), Req(0, 2 * kSlice, 7232, false));
    EXPECT_EQ(Next(pm, seed, 0), Req(0, 0, kSlice, true));
    // A peer's slice that matches no request is refused, whatever it claims.
    for (const auto& [offset, length] :
         {std::pair<uint32_t, uint32_t>{0, kSlice - 1}, {1, kSlice}, {40000, kSlice}}) {
        EXPECT_FALSE(pm.SliceReceived(0, offset, length)) << offset << " " << length;
    }
    EXPECT_TRUE(pm.SliceReceived(0, 0, kSlice));
    EXPECT_TRUE(pm.SliceReceived(0, 0, kSlice));  // the end-game copy from the second peer
    EXPECT_TRUE(pm.SliceReceived(0, kSlice, kSlice));
    EXPECT_TRUE(pm.SliceReceived(0, 2 * kSlice, 7232));
    EXPECT_FALSE(pm.SliceReceived(0, 2 * kSlice, 7232));
    EXPECT_EQ(pm.GetState(0), Received);
}

// A peer may ask only for bytes of pieces we have, whatever numbers it sends.
TEST(PieceManager, ValidateRequestStaysInsideHavePieces) {
    PieceManager pm(2 * kSlice + 100, 2 * kSlice);
    SetStates(pm, "21");
    EXPECT_TRUE(pm.ValidateRequest(0, kSlice, kSlice));
    ASSERT_TRUE(pm.SetState(1, Have));
    EXPECT_TRUE(pm.ValidateRequest(1, 0, 100));
    const std::tuple<uint32_t, uint32_t, uint32_t> refused[] = {
        {0, kSlice + 1, kSlice}, {1, 0, 101}, {1, UINT32_MAX, 2},
        {1, 1, UINT32_MAX},      {1, 0, 0},   {2, 0, 1}};
    for (const auto& [piece, begin, length] : refused) {
        EXPECT_FALSE(pm.ValidateRequest(piece, begin, length)) << piece << " " << begin;
    }
    ASSERT_TRUE(pm.SetState(0, Missing));
    EXPECT_FALSE(pm.ValidateRequest(0, 0, 1));
}

TEST(PieceManagerXml, StatusRoundTripResumesPartialPieces) {
    PieceManager pm(5 * 3 * kSlice, 3 * kSlice);
    SetStates(pm, "21111");
    const BitField seed = Field("22222");
    Next(pm, seed);  // piece 1: slice 0 arrives, slice 1 stays outstanding
    Next(pm, seed, 1);
    ASSERT_TRUE(pm.SliceReceived(1, 0, kSlice));
    Next(pm, seed);  // piece 2 is requested, nothing received
    auto status = pm.ToXml();
    // Piece 4 resumes with its first slice present; every other entry is unusable: out of range,
    // wrapping or junk indexes, a piece already present, bad hex, too few bits, nothing left to
    // fetch.
    for (const std::string entry : {"4:80", "-1:80", "5:80", "18446744073709551617:80", "0x1:80",
                                    ":80", "0:80", "3:8", "3:0g", "3:", "3:e0"}) {
        auto child = std::make_unique<CXML>("BitFieldInPiece");
        child->SetAttribute("Index", entry.substr(0, entry.find(':')));
        child->SetText(entry.substr(entry.find(':') + 1));
        status->AddChild(std::move(child));
    }
    std::string text;
    status->WriteTo(text, 0);
    CXML loaded;
    ASSERT_TRUE(loaded.LoadFromMemory(text));

    PieceManager other(5 * 3 * kSlice, 2 * kSlice);
    EXPECT_FALSE(other.FromXml(loaded));

    PieceManager back(5 * 3 * kSlice, 3 * kSlice);
    ASSERT_TRUE(back.FromXml(loaded));
    EXPECT_EQ(back.ToCharString(), "PFFFF");
    // Slices received in the last run are not trusted to be on disk: fetched again.
    EXPECT_EQ(Slices(back, 1), "FFF");
    EXPECT_EQ(Slices(back, 2), "FFF");
    EXPECT_EQ(Slices(back, 4), "PFF");

    // The hint resumes the loaded record instead of starting it over.
    EXPECT_EQ(Next(back, seed, 4), Req(4, kSlice, kSlice, false));
    EXPECT_TRUE(back.SliceReceived(4, kSlice, kSlice));
}

// The piece a plain walk over the public state picks: the connection's own piece while it has
// slices to ask for, else the rarest, else helping out, else the end game.
std::optional<uint32_t> PlainPick(const PieceManager& pm, const BitField& peer, int64_t hint) {
    std::optional<uint32_t> pick;
    uint32_t slice = 0;
    const auto open = [&](uint32_t i) { return pm.SliceRecord(i)->FindFirst(Missing, slice); };
    if (hint >= 0 && peer.GetState(hint) == Have && pm.GetState(hint) == Requested && open(hint)) {
        return hint;
    }
    for (int pass = 0; pass < 3 && !pick; ++pass) {
        for (uint32_t i = 0; i < pm.EntryCount() && !(pass > 0 && pick); ++i) {
            const uint32_t state = pm.GetState(i);
            if (peer.GetState(i) == Have &&
                (pass == 0 ? state == Missing &&
                                 (!pick || pm.AvailabilityOf(i) < pm.AvailabilityOf(*pick))
                           : state == Requested && (pass == 2 || open(i)))) {
                pick = i;
            }
        }
    }
    return pick;
}

TEST(PieceManagerPick, RandomSessionMatchesAPlainWalk) {
    std::mt19937 rng(11);
    constexpr uint32_t kPieces = 16;
    PieceManager pm(int64_t{kPieces} * 3 * kSlice - 5000, 3 * kSlice);
    std::vector<BitField> peers(6, BitField(kPieces, 1));
    for (uint32_t k = 0; k < peers.size(); ++k) {  // from a peer with nothing to a near seed
        for (uint32_t i = 0; i < kPieces; ++i) {
            peers[k].SetState(i, rng() % peers.size() < k ? Have : Missing);
        }
    }
    pm.SetAll(Missing);
    std::vector<Req> outstanding;
    for (int step = 0; step < 4000; ++step) {
        const BitField& peer = peers[rng() % peers.size()];
        const uint32_t action = rng() % 10;
        const uint32_t piece = rng() % kPieces;
        if (action == 0) {
            pm.AddPeerAvailability(peer);
        } else if (action == 1) {
            pm.RemovePeerAvailability(peer);
        } else if (action < 6 && !outstanding.empty()) {
            const auto it = outstanding.begin() + rng() % outstanding.size();
            const auto [index, offset, length, duplicate] = *it;
            if (rng() % 3 != 0) {
                pm.SliceReceived(index, offset, length);
            } else {
                pm.CancelSlice(index, offset, length);
            }
            outstanding.erase(it);
        } else if (action == 6 && (pm.GetState(piece) == Received || pm.GetState(piece) == Have)) {
            pm.SetState(piece, rng() % 3 ? Missing : Have);  // a check, or a recheck losing it
        } else if (action > 6) {
            const int64_t hint = rng() % 2 ? int64_t{piece} : -1;
            const auto expected = PlainPick(pm, peer, hint);
            const auto got = Next(pm, peer, hint);
            ASSERT_EQ(got.has_value(), expected.has_value()) << "step " << step;
            if (got) {
                ASSERT_EQ(std::get<0>(*got), *expected) << "step " << step;
                outstanding.push_back(*got);
            }
        }
        for (uint32_t i = 0; i < kPieces; ++i) {
            ASSERT_EQ(pm.GetState(i) == Requested, pm.SliceRecord(i) != nullptr) << i;
            ASSERT_EQ(pm.AvailabilityOf(i) >= 0, pm.GetState(i) != Have) << i;
        }
    }
}

}  // namespace
}  // namespace velbrook
