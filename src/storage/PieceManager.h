// The torrent's own record of its pieces: which are present, which are being fetched slice by
// slice, and how many connected peers offer each missing one. Chooses what to request next.
#pragma once

#include "storage/BitField.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace velbrook {

class CXML;

class PieceManager : public BitField {
public:
    static constexpr int64_t kSliceSize = 16384;

    // Every piece starts Unchecked, nothing is in progress and no availability is known.
    PieceManager(int64_t total, int64_t pieceLength);
    ~PieceManager() override;
    PieceManager(const PieceManager&) = delete;
    PieceManager& operator=(const PieceManager&) = delete;

    // Also keeps the availability and the slice records in step with the piece's state; states
    // above Received are refused.
    bool SetState(uint32_t index, uint32_t state) override;

    // Every change of a piece into or out of Have, by whatever path (a check, a recheck, a
    // status load, SetAll), numbered from 0. Connections keep per-peer counts against our pieces
    // by replaying the changes they have not seen yet instead of walking the torrent.
    uint64_t HaveChanges() const { return m_haveChanges; }
    // Calls visit(piece, nowHave) for every change numbered `seen` or later, oldest first. False,
    // calling nothing, when some of them are no longer remembered: the caller counts afresh.
    template <typename Visit>
    bool ReplayHaveChanges(uint64_t seen, Visit&& visit) const;

    // A peer's whole bitfield arrived (or it left): every missing or in-progress piece it has
    // counts once more (once less, never below zero).
    void AddPeerAvailability(const BitField& peer);
    void RemovePeerAvailability(const BitField& peer);
    // A peer announced one more piece.
    void AddPieceAvailability(uint32_t piece);

    // Slices the asking connection has outstanding already: never asked of it twice.
    using AskedPredicate = std::function<bool(uint32_t piece, uint32_t offset)>;

    // The next slice to ask `peer` for. `hintPiece` is the piece this connection worked on last,
    // -1 for none. `duplicate` is set when every slice the peer could give us is already
    // requested elsewhere (end game); such a slice is never one that `asked` names, and none is
    // given without `allowDuplicate`.
    bool GetNextRequest(const BitField& peer, int64_t hintPiece, uint32_t& piece, uint32_t& offset,
                        uint32_t& length, bool& duplicate, const AskedPredicate& asked = {},
                        bool allowDuplicate = true);
    // True when the slice was expected; the piece turns Received once all its slices are here.
    // `wasDuplicated` tells whether the slice had been asked of more than one peer.
    bool SliceReceived(uint32_t piece, uint32_t offset, uint32_t length,
                       bool* wasDuplicated = nullptr);
    // Releases one outstanding request; the last one released puts the piece back to Missing.
    // A slice also asked of another peer stays requested for that peer.
    bool CancelSlice(uint32_t piece, uint32_t offset, uint32_t length);
    // Whether a peer may ask us for these bytes: a piece we have, inside its bounds, not empty.
    bool ValidateRequest(uint32_t piece, uint32_t begin, uint32_t length) const;

    std::unique_ptr<CXML> ToXml() const;
    // Loads what ToXml wrote. False, changing nothing, when the element describes another
    // layout (different lengths) or carries no usable piece record.
    bool FromXml(CXML& element);

    // Peers known to have the piece; -1 when it is not missing or in progress.
    int64_t AvailabilityOf(uint32_t piece) const;
    const BitField* SliceRecord(uint32_t piece) const;
    // Pieces with a slice record: being downloaded, or partly present from a previous run.
    size_t InProgressCount() const { return m_slices.size(); }
    int64_t PieceLength(uint32_t piece) const;

private:
    // The slices of one piece.
    class SliceField final : public BitField {
    public:
        explicit SliceField(int64_t pieceLength) : BitField(pieceLength, kSliceSize) {}
        bool Done() const { return Count(Missing) == 0 && Count(Requested) == 0; }
    };

    struct HaveChange {
        uint32_t piece;
        bool nowHave;
    };
    // Changes remembered. Connections catch up at every HAVE and every piece we announce, so
    // only a bulk change (a recheck, a status load) outruns this, and that is worth a recount.
    static constexpr size_t kHaveLogSize = 256;
    static constexpr uint32_t kAbsent = UINT32_MAX;

    static uint64_t RarityKey(uint32_t count, uint32_t piece) {
        return (uint64_t{count} << 32) | piece;
    }
    // A slice's key among the extra asks: a piece's slices lie together, in offset order.
    static uint64_t AskKey(uint32_t piece, uint32_t offset) {
        return (uint64_t{piece} << 32) | offset;
    }
    void SetCount(uint32_t piece, uint32_t count);
    void ApplyPeer(const BitField& peer, bool add);
    void RebuildRarity();
    bool PickPiece(const BitField& peer, int64_t hintPiece, uint32_t& piece);
    bool PickSlice(uint32_t piece, uint32_t& offset, uint32_t& length);
    bool PickDuplicate(const BitField& peer, const AskedPredicate& asked, uint32_t& piece,
                       uint32_t& offset, uint32_t& length);
    void ForgetDuplicates(uint32_t piece);
    SliceField* FindRecord(uint32_t piece) const;
    bool FindExactSlice(uint32_t piece, uint32_t offset, uint32_t length, SliceField*& record,
                        uint32_t& slice) const;

    // Per piece: peers that have it, or kAbsent when the piece is neither missing nor in progress.
    std::vector<uint32_t> m_availability;
    // Missing pieces ordered by (count, index): the first one a peer has is the rarest-first
    // choice, so picking does not walk every missing piece.
    std::set<uint64_t> m_rarity;
    // Ordered, so the lowest in-progress piece a peer can help with is found without scanning
    // the whole torrent.
    std::map<uint32_t, std::unique_ptr<SliceField>> m_slices;
    // End game: for a slice asked of several peers, how many asked beyond the first, keyed by
    // piece (high 32 bits) and offset. Only slices of pieces in progress appear here.
    std::map<uint64_t, uint32_t> m_extraAsks;
    // The newest kHaveLogSize changes; change n sits at n % kHaveLogSize.
    std::array<HaveChange, kHaveLogSize> m_haveLog{};
    uint64_t m_haveChanges = 0;
};

template <typename Visit>
bool PieceManager::ReplayHaveChanges(uint64_t seen, Visit&& visit) const {
    if (seen > m_haveChanges || m_haveChanges - seen > kHaveLogSize) {
        return false;
    }
    for (uint64_t n = seen; n < m_haveChanges; ++n) {
        const HaveChange& change = m_haveLog[n % kHaveLogSize];
        visit(change.piece, change.nowHave);
    }
    return true;
}

}  // namespace velbrook
