#include "storage/PieceManager.h"

#include "metainfo/SHA1.h"
#include "persist/CXML.h"

#include <algorithm>
#include <cassert>
#include <numeric>
#include <string_view>

namespace velbrook {

namespace {

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n";
    const size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// Status files are edited by hand and survive crashes, so their numbers are read strictly: a
// value that wraps or carries junk must not land on some other, valid piece.
bool ParseDecimal(std::string_view text, uint64_t& value) {
    text = Trim(text);
    if (text.empty() || text.size() > 19) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// HexToBytes trusts its input; anything that is not whole pairs of hex digits is refused here.
bool DecodeHex(std::string_view text, std::string& bytes) {
    text = Trim(text);
    if (text.size() % 2 != 0) {
        return false;
    }
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'F') {
            c = static_cast<char>(c - 'A' + 'a');
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    bytes = HexToBytes(lower);
    return true;
}

}  // namespace

PieceManager::PieceManager(int64_t total, int64_t pieceLength)
    : BitField(total, pieceLength), m_availability(EntryCount(), kAbsent) {
    // Slice offsets travel as 32-bit protocol fields; the torrent layer caps pieces far below.
    assert(pieceLength <= int64_t{UINT32_MAX});
}

PieceManager::~PieceManager() = default;

int64_t PieceManager::PieceLength(uint32_t piece) const {
    if (piece > GetLastIndex()) {
        return 0;
    }
    return std::min(Unit(), Total() - static_cast<int64_t>(piece) * Unit());
}

PieceManager::SliceField* PieceManager::FindRecord(uint32_t piece) const {
    const auto it = m_slices.find(piece);
    return it == m_slices.end() ? nullptr : it->second.get();
}

const BitField* PieceManager::SliceRecord(uint32_t piece) const {
    return FindRecord(piece);
}

int64_t PieceManager::AvailabilityOf(uint32_t piece) const {
    if (piece > GetLastIndex() || m_availability[piece] == kAbsent) {
        return -1;
    }
    return m_availability[piece];
}

bool PieceManager::SetState(uint32_t index, uint32_t state) {
    if (index > GetLastIndex() || state > Received) {
        return false;
    }
    uint32_t& count = m_availability[index];
    if (RawState(index) == Missing) {
        m_rarity.erase(RarityKey(count, index));
    }
    if (state == Missing) {
        if (count == kAbsent) {
            count = 0;
        }
        m_rarity.insert(RarityKey(count, index));
    } else if (state == Have || state == Unchecked) {
        count = kAbsent;
    }
    // A record belongs to a piece being fetched. Whoever moves a piece elsewhere from outside
    // (a failed check, a recheck, a status load) also ends that fetch: its received slices are
    // unverified and its outstanding requests must no longer be accepted. The only record kept
    // for a Missing piece is one FromXml loads after this.
    if (state == Requested) {
        auto& record = m_slices[index];
        if (!record) {
            record = std::make_unique<SliceField>(PieceLength(index));
            record->SetAll(Missing);
        }
    } else if (m_slices.erase(index) != 0) {
        ForgetDuplicates(index);
    }
    if ((RawState(index) == Have) != (state == Have)) {
        m_haveLog[m_haveChanges % kHaveLogSize] = {index, state == Have};
        ++m_haveChanges;
    }
    StoreState(index, state);
    return true;
}

void PieceManager::SetCount(uint32_t piece, uint32_t count) {
    uint32_t& current = m_availability[piece];
    if (RawState(piece) == Missing) {
        // Reuses the node: a peer's bitfield re-keys tens of thousands of pieces at once.
        auto node = m_rarity.extract(RarityKey(current, piece));
        if (node) {
            node.value() = RarityKey(count, piece);
            m_rarity.insert(std::move(node));
        } else {
            m_rarity.insert(RarityKey(count, piece));
        }
    }
    current = count;
}

void PieceManager::AddPeerAvailability(const BitField& peer) {
    ApplyPeer(peer, true);
}

void PieceManager::RemovePeerAvailability(const BitField& peer) {
    ApplyPeer(peer, false);
}

void PieceManager::ApplyPeer(const BitField& peer, bool add) {
    const uint32_t entries = std::min(EntryCount(), peer.EntryCount());
    const auto changes = [&](uint32_t i) {
        const uint32_t current = m_availability[i];
        // Removing stops at zero, which also covers a piece that re-entered after this peer
        // was counted.
        return peer.GetState(i) == Have &&
               (add ? current < kAbsent - 1 : current != kAbsent && current > 0);
    };
    size_t rekeys = 0;
    for (uint32_t i = 0; i < entries; ++i) {
        rekeys += RawState(i) == Missing && changes(i) ? 1 : 0;
    }
    // Each re-keyed piece costs two walks down the tree; a bitfield that moves a large share of
    // the missing pieces is cheaper to apply by rebuilding the order in one sorted pass.
    const bool rebuild = rekeys > m_rarity.size() / 4;
    for (uint32_t i = 0; i < entries; ++i) {
        if (!changes(i)) {
            continue;
        }
        const uint32_t count = add ? m_availability[i] + 1 : m_availability[i] - 1;
        if (rebuild) {
            m_availability[i] = count;
        } else {
            SetCount(i, count);
        }
    }
    if (rebuild) {
        RebuildRarity();
    }
}

void PieceManager::RebuildRarity() {
    uint32_t maxCount = 0;
    size_t missing = 0;
    for (uint32_t i = 0; i < EntryCount(); ++i) {
        if (RawState(i) == Missing) {
            maxCount = std::max(maxCount, m_availability[i]);
            ++missing;
        }
    }
    std::vector<uint64_t> keys;
    keys.reserve(missing);
    if (maxCount <= missing) {
        // Counts are small (at most the peers ever seen), so a counting sort over pieces taken
        // in index order gives the (count, index) order in two linear passes.
        std::vector<size_t> start(size_t{maxCount} + 1, 0);
        for (uint32_t i = 0; i < EntryCount(); ++i) {
            if (RawState(i) == Missing && m_availability[i] < maxCount) {
                ++start[m_availability[i] + 1];
            }
        }
        std::partial_sum(start.begin(), start.end(), start.begin());
        keys.resize(missing);
        for (uint32_t i = 0; i < EntryCount(); ++i) {
            if (RawState(i) == Missing) {
                keys[start[m_availability[i]]++] = RarityKey(m_availability[i], i);
            }
        }
    } else {
        for (uint32_t i = 0; i < EntryCount(); ++i) {
            if (RawState(i) == Missing) {
                keys.push_back(RarityKey(m_availability[i], i));
            }
        }
        std::sort(keys.begin(), keys.end());
    }
    // The set holds exactly the missing pieces, before as after, so its nodes are reused in
    // place and the sorted keys go in at the end without a search.
    std::vector<std::set<uint64_t>::node_type> nodes;
    nodes.reserve(keys.size());
    while (!m_rarity.empty()) {
        nodes.push_back(m_rarity.extract(m_rarity.begin()));
    }
    for (size_t k = 0; k < keys.size(); ++k) {
        if (k < nodes.size()) {
            nodes[k].value() = keys[k];
            m_rarity.insert(m_rarity.end(), std::move(nodes[k]));
        } else {
            m_rarity.insert(m_rarity.end(), keys[k]);
        }
    }
}

void PieceManager::AddPieceAvailability(uint32_t piece) {
    if (piece <= GetLastIndex() && m_availability[piece] < kAbsent - 1) {
        SetCount(piece, m_availability[piece] + 1);
    }
}

bool PieceManager::GetNextRequest(const BitField& peer, int64_t hintPiece, uint32_t& piece,
                                  uint32_t& offset, uint32_t& length, bool& duplicate,
                                  const AskedPredicate& asked, bool allowDuplicate) {
    uint32_t chosen = 0;
    if (PickPiece(peer, hintPiece, chosen) && PickSlice(chosen, offset, length)) {
        piece = chosen;
        duplicate = false;
        return true;
    }
    if (!allowDuplicate || !PickDuplicate(peer, asked, chosen, offset, length)) {
        return false;
    }
    piece = chosen;
    duplicate = true;
    ++m_extraAsks[AskKey(chosen, offset)];
    return true;
}

bool PieceManager::PickPiece(const BitField& peer, int64_t hintPiece, uint32_t& piece) {
    // Staying on the connection's own piece finishes pieces instead of spreading requests.
    // The peer must still offer it: the hint comes from the caller, not from the peer's state.
    if (hintPiece >= 0 && hintPiece <= GetLastIndex()) {
        const auto hint = static_cast<uint32_t>(hintPiece);
        const SliceField* record = FindRecord(hint);
        if (record && record->Count(Missing) > 0 && peer.GetState(hint) == Have) {
            // A record loaded from the status file sits on a Missing piece; fetching it makes
            // it Requested, or its slices would be refused on arrival.
            if (RawState(hint) != Requested) {
                SetState(hint, Requested);
            }
            piece = hint;
            return true;
        }
    }

    // Rarest first: m_rarity is ordered by count, then index, and holds exactly the Missing
    // pieces, so the first one this peer has is the smallest count with the lowest index.
    for (const uint64_t key : m_rarity) {
        const auto candidate = static_cast<uint32_t>(key);
        if (peer.GetState(candidate) == Have) {
            SetState(candidate, Requested);
            piece = candidate;
            return true;
        }
    }

    // Nothing new this peer can give: help with the lowest piece in progress that still has
    // unrequested slices.
    for (const auto& [index, record] : m_slices) {
        if (RawState(index) == Requested && peer.GetState(index) == Have &&
            record->Count(Missing) > 0) {
            piece = index;
            return true;
        }
    }
    return false;
}

bool PieceManager::PickSlice(uint32_t piece, uint32_t& offset, uint32_t& length) {
    SliceField* record = RawState(piece) == Requested ? FindRecord(piece) : nullptr;
    uint32_t slice = 0;
    if (!record || !record->FindFirst(Missing, slice)) {
        return false;
    }
    record->SetState(slice, Requested);
    int64_t sliceOffset = 0;
    record->GetSpan(slice, sliceOffset, length);
    offset = static_cast<uint32_t>(sliceOffset);
    return true;
}

// End game: every slice this peer could give us is asked of someone already. The lowest slice
// still outstanding that this connection has not asked for itself.
bool PieceManager::PickDuplicate(const BitField& peer, const AskedPredicate& asked, uint32_t& piece,
                                 uint32_t& offset, uint32_t& length) {
    for (const auto& [index, record] : m_slices) {
        if (RawState(index) != Requested || peer.GetState(index) != Have ||
            record->Count(Requested) == 0) {
            continue;
        }
        for (uint32_t slice = 0; slice <= record->GetLastIndex(); ++slice) {
            if (record->GetState(slice) != Requested) {
                continue;
            }
            int64_t sliceOffset = 0;
            record->GetSpan(slice, sliceOffset, length);
            if (asked && asked(index, static_cast<uint32_t>(sliceOffset))) {
                continue;
            }
            piece = index;
            offset = static_cast<uint32_t>(sliceOffset);
            return true;
        }
    }
    return false;
}

void PieceManager::ForgetDuplicates(uint32_t piece) {
    const uint64_t first = AskKey(piece, 0);
    m_extraAsks.erase(m_extraAsks.lower_bound(first),
                      m_extraAsks.lower_bound(first + (uint64_t{1} << 32)));
}

// The record of a piece being fetched and the index of the slice whose span is exactly
// (offset, length); false when there is no such slice.
bool PieceManager::FindExactSlice(uint32_t piece, uint32_t offset, uint32_t length,
                                  SliceField*& record, uint32_t& slice) const {
    if (piece > GetLastIndex() || RawState(piece) != Requested) {
        return false;
    }
    record = FindRecord(piece);
    int64_t sliceOffset = 0;
    uint32_t sliceLength = 0;
    return record && record->IndexOfOffset(offset, slice) &&
           record->GetSpan(slice, sliceOffset, sliceLength) && sliceOffset == offset &&
           sliceLength == length;
}

bool PieceManager::SliceReceived(uint32_t piece, uint32_t offset, uint32_t length,
                                 bool* wasDuplicated) {
    SliceField* record = nullptr;
    uint32_t slice = 0;
    if (!FindExactSlice(piece, offset, length, record, slice) || record->Count(Requested) == 0) {
        return false;
    }
    const auto extra = m_extraAsks.find(AskKey(piece, offset));
    if (wasDuplicated) {
        *wasDuplicated = extra != m_extraAsks.end();
    }
    if (extra != m_extraAsks.end()) {
        m_extraAsks.erase(extra);  // the other askers are told to cancel
    }
    // Any state: in the end game the same slice arrives from two peers, and both copies are
    // fine while other slices are still outstanding.
    record->SetState(slice, Received);
    // Slices present from a previous run (Have) count as here too, or such a piece could
    // never complete.
    if (record->Done()) {
        SetState(piece, Received);
    }
    return true;
}

bool PieceManager::CancelSlice(uint32_t piece, uint32_t offset, uint32_t length) {
    SliceField* record = nullptr;
    uint32_t slice = 0;
    if (!FindExactSlice(piece, offset, length, record, slice) ||
        record->GetState(slice) != Requested) {
        return false;
    }
    const auto extra = m_extraAsks.find(AskKey(piece, offset));
    if (extra != m_extraAsks.end()) {
        if (--extra->second == 0) {
            m_extraAsks.erase(extra);
        }
        return true;  // still asked of another peer
    }
    record->SetState(slice, Missing);
    if (record->Count(Requested) == 0) {
        SetState(piece, Missing);  // drops the record, received slices included
    }
    return true;
}

bool PieceManager::ValidateRequest(uint32_t piece, uint32_t begin, uint32_t length) const {
    if (piece > GetLastIndex() || RawState(piece) != Have || length == 0) {
        return false;
    }
    return int64_t{begin} + int64_t{length} <= PieceLength(piece);
}

std::unique_ptr<CXML> PieceManager::ToXml() const {
    auto status = std::make_unique<CXML>("BitFieldStatus");
    status->SetAttributeUInt64("TotalLength", static_cast<uint64_t>(Total()));
    status->SetAttributeUInt64("PieceLength", static_cast<uint64_t>(Unit()));
    auto pieces = std::make_unique<CXML>("BitField");
    pieces->SetText(BytesToHex(ToBitString()));
    status->AddChild(std::move(pieces));
    for (const auto& [index, record] : m_slices) {
        // Only slices loaded as present are written as set bits; slices received in this run are
        // written as zero and fetched again after a restart, so a slice whose bytes never reached
        // the disk cannot be taken for present.
        const std::string bits = record->ToBitString();
        auto slices = std::make_unique<CXML>("BitFieldInPiece");
        slices->SetAttributeUInt64("Index", index);
        slices->SetText(BytesToHex(bits));
        status->AddChild(std::move(slices));
    }
    return status;
}

bool PieceManager::FromXml(CXML& element) {
    // Bits meant for another layout would mark the wrong pieces as present.
    uint64_t total = 0;
    uint64_t pieceLength = 0;
    if (!ParseDecimal(element.GetAttribute("TotalLength"), total) ||
        !ParseDecimal(element.GetAttribute("PieceLength"), pieceLength) ||
        total != static_cast<uint64_t>(Total()) || pieceLength != static_cast<uint64_t>(Unit())) {
        return false;
    }
    const size_t needed = (EntryCount() + 7) / 8;
    std::string pieceBits;
    bool found = false;
    for (CXML* child = element.GetFirstChild(); child && !found; child = element.GetNextChild()) {
        found = child->GetName() == "BitField" && DecodeHex(child->GetText(), pieceBits) &&
                pieceBits.size() >= needed;
    }
    if (!found) {
        return false;
    }
    FromBitString(pieceBits);

    // Slice records go on after the pieces, whatever their order in the file, so that the
    // piece states decide which records are worth keeping.
    for (CXML* child = element.GetFirstChild(); child; child = element.GetNextChild()) {
        if (child->GetName() == "BitField") {
            continue;
        }
        uint64_t index = 0;
        std::string bits;
        if (!ParseDecimal(child->GetAttribute("Index"), index) || index > GetLastIndex() ||
            !DecodeHex(child->GetText(), bits)) {
            continue;
        }
        const auto piece = static_cast<uint32_t>(index);
        // A piece already present needs no slices; a piece in another state has none to resume.
        if (RawState(piece) != Missing) {
            continue;
        }
        auto record = std::make_unique<SliceField>(PieceLength(piece));
        // With every slice present but the piece never checked, nothing is left to request and
        // the piece could never complete: fetch it again instead.
        if (!record->FromBitString(bits) || record->Count(Missing) == 0) {
            continue;
        }
        m_slices[piece] = std::move(record);
    }
    return true;
}

}  // namespace velbrook
