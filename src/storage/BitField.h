// One small state per unit of a byte stream: the pieces of a torrent, a peer's pieces, or the
// slices of one piece.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velbrook {

enum PieceState : uint32_t {
    Unchecked = 0,   // not yet known
    Missing = 1,     // not present / peer lacks it / slice not requested
    Have = 2,        // present and verified / peer has it
    Requested = 3,   // being downloaded / slice requested
    Received = 4,    // every slice received, check pending / slice written
    OutOfRange = 5,  // GetState beyond the last entry; never stored
};

class BitField {
public:
    // Entries of `unit` bytes over `total` bytes, the last one shorter when the division is not
    // exact; every entry starts Unchecked. Both must be positive.
    BitField(int64_t total, int64_t unit);
    virtual ~BitField() = default;
    BitField(const BitField&) = default;
    BitField& operator=(const BitField&) = default;

    uint32_t GetLastIndex() const { return static_cast<uint32_t>(m_states.size() - 1); }
    uint32_t EntryCount() const { return static_cast<uint32_t>(m_states.size()); }
    int64_t Total() const { return m_total; }
    int64_t Unit() const { return m_unit; }

    // False, changing nothing, past the last entry or for a state above Received.
    virtual bool SetState(uint32_t index, uint32_t state);
    uint32_t GetState(uint32_t index) const {
        return index < m_states.size() ? m_states[index] : uint32_t{OutOfRange};
    }
    virtual void SetAll(uint32_t state);
    // Entries in the state, kept as they change: the whole-field questions below cost no walk.
    uint32_t Count(uint32_t state) const { return state < OutOfRange ? m_counts[state] : 0; }

    bool GetSpan(uint32_t index, int64_t& offset, uint32_t& length) const;
    bool IndexOfOffset(int64_t offset, uint32_t& index) const;
    bool AllEqual(uint32_t state) const;
    bool NoneEqual(uint32_t state) const;
    bool FindFirst(uint32_t state, uint32_t& index) const;
    int64_t BytesInState(uint32_t state) const;
    // Bytes of [offset, offset + length) that lie in entries with the state.
    int64_t CountBytesInState(uint32_t state, int64_t offset, int64_t length) const;

    // Bit array, most significant bit first, 1 for Have: the BITFIELD payload.
    std::string ToBitString() const;
    // False, changing nothing, when `bits` is too short; spare bits and bytes are ignored.
    bool FromBitString(const std::string& bits);
    // One letter per entry: U, F, P, D; Received adds none.
    std::string ToCharString() const;

protected:
    uint32_t RawState(uint32_t index) const { return m_states[index]; }
    // `state` must be below OutOfRange.
    void StoreState(uint32_t index, uint32_t state) {
        --m_counts[m_states[index]];
        ++m_counts[state];
        m_states[index] = static_cast<uint8_t>(state);
    }

private:
    int64_t m_total;
    int64_t m_unit;
    // A byte per entry: a peer's record of a 400 000-piece torrent is 400 KB, and a torrent keeps
    // one per connected peer.
    std::vector<uint8_t> m_states;
    std::array<uint32_t, OutOfRange> m_counts{};
};

}  // namespace velbrook
