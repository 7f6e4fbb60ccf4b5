#include "storage/BitField.h"

#include <algorithm>
#include <cassert>

namespace velbrook {

BitField::BitField(int64_t total, int64_t unit) : m_total(total), m_unit(unit) {
    assert(total > 0 && unit > 0);
    const int64_t count = total > 0 && unit > 0 ? (total - 1) / unit + 1 : 1;
    m_states.assign(static_cast<size_t>(count), Unchecked);
    m_counts[Unchecked] = static_cast<uint32_t>(count);
}

bool BitField::SetState(uint32_t index, uint32_t state) {
    if (index >= m_states.size() || state >= OutOfRange) {
        return false;
    }
    StoreState(index, state);
    return true;
}

void BitField::SetAll(uint32_t state) {
    for (uint32_t i = 0; i < m_states.size(); ++i) {
        SetState(i, state);
    }
}

bool BitField::GetSpan(uint32_t index, int64_t& offset, uint32_t& length) const {
    if (index >= m_states.size()) {
        return false;
    }
    offset = static_cast<int64_t>(index) * m_unit;
    length = static_cast<uint32_t>(index == GetLastIndex() ? m_total - offset : m_unit);
    return true;
}

bool BitField::IndexOfOffset(int64_t offset, uint32_t& index) const {
    if (offset < 0 || offset >= m_total) {
        return false;
    }
    index = static_cast<uint32_t>(offset / m_unit);
    return true;
}

bool BitField::AllEqual(uint32_t state) const {
    return Count(state) == m_states.size();
}

bool BitField::NoneEqual(uint32_t state) const {
    return Count(state) == 0;
}

bool BitField::FindFirst(uint32_t state, uint32_t& index) const {
    if (Count(state) == 0) {
        return false;
    }
    const auto it = std::find(m_states.begin(), m_states.end(), state);
    if (it == m_states.end()) {
        return false;
    }
    index = static_cast<uint32_t>(it - m_states.begin());
    return true;
}

int64_t BitField::BytesInState(uint32_t state) const {
    const int64_t bytes = int64_t{Count(state)} * m_unit;
    // Only the last entry can be shorter than a unit.
    const int64_t shortfall = static_cast<int64_t>(m_states.size()) * m_unit - m_total;
    return GetState(GetLastIndex()) == state ? bytes - shortfall : bytes;
}

int64_t BitField::CountBytesInState(uint32_t state, int64_t offset, int64_t length) const {
    if (length <= 0 || offset < 0 || offset >= m_total) {
        return 0;
    }
    const int64_t end = std::min(offset + length, m_total);
    const auto first = static_cast<uint32_t>(offset / m_unit);
    const auto last = static_cast<uint32_t>((end - 1) / m_unit);
    int64_t bytes = 0;
    for (uint32_t i = first; i <= last; ++i) {
        if (m_states[i] != state) {
            continue;
        }
        const int64_t spanStart = static_cast<int64_t>(i) * m_unit;
        const int64_t spanEnd = std::min(spanStart + m_unit, m_total);
        bytes += std::min(end, spanEnd) - std::max(offset, spanStart);
    }
    return bytes;
}

std::string BitField::ToBitString() const {
    std::string bits((m_states.size() + 7) / 8, '\0');
    for (size_t i = 0; i < m_states.size(); ++i) {
        if (m_states[i] == Have) {
            bits[i / 8] = static_cast<char>(static_cast<uint8_t>(bits[i / 8]) | (0x80u >> (i % 8)));
        }
    }
    return bits;
}

bool BitField::FromBitString(const std::string& bits) {
    if (bits.size() < (m_states.size() + 7) / 8) {
        return false;
    }
    for (uint32_t i = 0; i < m_states.size(); ++i) {
        const bool set = (static_cast<uint8_t>(bits[i / 8]) & (0x80u >> (i % 8))) != 0;
        SetState(i, set ? Have : Missing);
    }
    return true;
}

std::string BitField::ToCharString() const {
    static constexpr char kLetters[] = {'U', 'F', 'P', 'D'};
    std::string text;
    text.reserve(m_states.size());
    for (const uint8_t s : m_states) {
        if (s < sizeof kLetters) {
            text += kLetters[s];
        }
    }
    return text;
}

}  // namespace velbrook
