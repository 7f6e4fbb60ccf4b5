#include "metainfo/KeyPathMap.h"

#include "metainfo/SHA1.h"

namespace velbrook {

bool KeyPathMap::Decode(std::string_view input) {
    m_input = input;
    m_pos = 0;
    m_hashed = 0;
    m_infoValueStart = 0;
    m_infoValueEnd = 0;
    m_path.clear();
    m_pathEnds.clear();
    const bool ok = DecodeValue(0);
    m_input = {};
    return ok;
}

void KeyPathMap::PushComponent(std::string_view component) {
    m_pathEnds.push_back(m_path.size());
    if (m_pathEnds.size() > 1) {
        m_path += '-';
    }
    m_path += component;
}

void KeyPathMap::PopComponent() {
    m_path.resize(m_pathEnds.back());
    m_pathEnds.pop_back();
}

bool KeyPathMap::ReadString(std::string& out) {
    const size_t length = m_input.size();
    size_t declared = 0;
    while (m_pos < length && m_input[m_pos] >= '0' && m_input[m_pos] <= '9') {
        declared = declared * 10 + static_cast<size_t>(m_input[m_pos] - '0');
        // Once the declared length exceeds the whole input it can never fit; stopping here also
        // keeps the arithmetic from wrapping.
        if (declared > length) {
            return false;
        }
        ++m_pos;
    }
    if (m_pos >= length || m_input[m_pos] != ':') {
        return false;
    }
    ++m_pos;
    if (declared > length - m_pos) {
        return false;
    }
    out.assign(m_input.substr(m_pos, declared));
    m_pos += declared;
    return true;
}

bool KeyPathMap::ReadInteger(int64_t& out) {
    // Digits wrap modulo 2^64 and "-" may stand anywhere; unsigned arithmetic keeps that defined.
    uint64_t value = 0;
    bool negative = false;
    for (; m_pos < m_input.size(); ++m_pos) {
        const char c = m_input[m_pos];
        if (c == 'e') {
            out = static_cast<int64_t>(negative ? ~value + 1 : value);
            return true;
        }
        if (c == '-') {
            negative = true;
        } else if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<uint64_t>(c - '0');
        } else {
            return false;
        }
    }
    return false;
}

bool KeyPathMap::ChargeEntry() {
    m_stored += m_path.size() + kEntryCost;
    return m_stored <= kMaxStoredBytes;
}

void KeyPathMap::NoteInfoValue(size_t start) {
    m_infoValueStart = start;
    m_infoValueEnd = m_pos;
    SHA1 sha;
    sha.Update(m_input.data() + start, m_pos - start);
    sha.Final();
    uint8_t digest[20];
    sha.GetHash(digest);
    m_strings["__InfoHashHex__"] = sha.ReportHash(SHA1::kReportHex);
    m_strings["__InfoHash__"] = std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

bool KeyPathMap::DecodeValue(int depth) {
    const size_t length = m_input.size();
    if (m_pos >= length) {
        return false;
    }
    const char kind = m_input[m_pos];
    if (kind == 'd' || kind == 'l') {
        if (depth >= kMaxDepth) {
            return false;
        }
        ++m_pos;
        int64_t index = 0;
        while (m_pos < length && m_input[m_pos] != 'e') {
            std::string component;
            bool isInfo = false;
            if (kind == 'd') {
                if (!ReadString(component)) {
                    return false;
                }
                isInfo = component == "info";
                if (isInfo) {
                    m_infoStart = m_pos;
                }
            } else {
                component = std::to_string(index++);
            }
            PushComponent(component);
            if (!DecodeValue(depth + 1)) {
                return false;
            }
            if (isInfo) {
                // A nested "info" key moves the single start slot, so the outer hash then covers
                // only from the inner value on. Nesting hundreds of them would hash the same bytes
                // hundreds of times: the hashing is bounded by a few passes over the input.
                m_hashed += m_pos - m_infoStart;
                if (m_hashed > 4 * length + 4096) {
                    return false;
                }
                NoteInfoValue(m_infoStart);
            }
            PopComponent();
        }
        // A container cut off by the end of the input still counts as complete.
        if (m_pos < length) {
            ++m_pos;
        }
        return true;
    }
    if (kind == 'i') {
        ++m_pos;
        int64_t value = 0;
        if (!ReadInteger(value)) {
            return false;
        }
        if (!ChargeEntry()) {
            return false;
        }
        m_integers.insert_or_assign(m_path, value);
        ++m_pos;
        return true;
    }
    std::string value;
    if (!ReadString(value)) {
        return false;
    }
    if (!ChargeEntry()) {
        return false;
    }
    m_strings.insert_or_assign(m_path, std::move(value));
    return true;
}

bool KeyPathMap::GetString(std::string_view path, std::string& out) const {
    const auto it = m_strings.find(path);
    if (it == m_strings.end()) {
        return false;
    }
    out = it->second;
    return true;
}

bool KeyPathMap::GetInteger(std::string_view path, int64_t& out) const {
    const auto it = m_integers.find(path);
    if (it == m_integers.end()) {
        return false;
    }
    out = it->second;
    return true;
}

bool KeyPathMap::GetInt64(std::string_view path, int64_t& out) const {
    return GetInteger(path, out);
}

bool KeyPathMap::GetInt32(std::string_view path, int32_t& out) const {
    int64_t value = 0;
    if (!GetInteger(path, value)) {
        return false;
    }
    out = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
    return true;
}

}  // namespace velbrook
