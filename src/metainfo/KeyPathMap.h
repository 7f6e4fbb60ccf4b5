// Decodes one bencoded value into flat maps keyed by hyphen-joined paths ("info-files-0-length").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velbrook {

class KeyPathMap {
public:
    // Containers nested deeper than this fail the decode instead of recursing further.
    static constexpr int kMaxDepth = 512;
    // Every stored value keeps its full path, so a long key above a long list would cost key
    // length times list length in memory: the paths and map entries a decode may store are
    // bounded (a metainfo with a million files stays well inside).
    static constexpr size_t kMaxStoredBytes = size_t{256} << 20;
    static constexpr size_t kEntryCost = 64;  // a map node, roughly

    KeyPathMap() = default;
    virtual ~KeyPathMap() = default;

    // Decodes the first complete value of `input`; later bytes are ignored. The maps are not
    // cleared first. False at the first malformed element (entries stored before it remain).
    [[nodiscard]] bool Decode(std::string_view input);

    bool GetString(std::string_view path, std::string& out) const;
    bool GetInteger(std::string_view path, int64_t& out) const;
    bool GetInt64(std::string_view path, int64_t& out) const;
    // The low 32 bits of the integer.
    bool GetInt32(std::string_view path, int32_t& out) const;

    // Where the bytes hashed for "__InfoHash__" lie in the decoded input (0, 0 when none).
    size_t InfoStart() const { return m_infoValueStart; }
    size_t InfoEnd() const { return m_infoValueEnd; }

    size_t StringCount() const { return m_strings.size(); }
    size_t IntegerCount() const { return m_integers.size(); }

private:
    // Lookups by string_view without building a std::string key.
    struct PathHash {
        using is_transparent = void;
        size_t operator()(std::string_view path) const noexcept {
            return std::hash<std::string_view>{}(path);
        }
    };
    template <typename T>
    using PathMap = std::unordered_map<std::string, T, PathHash, std::equal_to<>>;

    bool DecodeValue(int depth);
    bool ReadString(std::string& out);
    bool ReadInteger(int64_t& out);
    bool ChargeEntry();
    void PushComponent(std::string_view component);
    void PopComponent();
    void NoteInfoValue(size_t start);

    // Only ever looked up by exact path, never walked.
    PathMap<std::string> m_strings;
    PathMap<int64_t> m_integers;

    std::string_view m_input;
    size_t m_pos = 0;
    size_t m_infoStart = 0;
    size_t m_infoValueStart = 0;
    size_t m_infoValueEnd = 0;
    size_t m_stored = 0;  // bytes charged against kMaxStoredBytes
    size_t m_hashed = 0;  // bytes hashed for "info" values in this decode
    // The path of the innermost open entry, and where each enclosing path ends inside it.
    std::string m_path;
    std::vector<size_t> m_pathEnds;
};

}  // namespace velbrook
