// Decodes one bencoded value into flat maps keyed by hyphen-joined paths ("info-files-0-length").
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velbrook {

class KeyPathMap {
public:
    // Containers nested deeper than this fail the decode instead of recursing further.
    static constexpr int kMaxDepth = 512;

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

    size_t StringCount() const { return m_strings.size(); }
    size_t IntegerCount() const { return m_integers.size(); }

private:
    bool DecodeValue(int depth);
    bool ReadString(std::string& out);
    bool ReadInteger(int64_t& out);
    const std::string& TopPath() const;
    void NoteInfoValue(size_t start);

    std::map<std::string, std::string, std::less<>> m_strings;
    std::map<std::string, int64_t, std::less<>> m_integers;

    std::string_view m_input;
    size_t m_pos = 0;
    size_t m_infoStart = 0;
    std::vector<std::string> m_pathStack;  // innermost last
};

}  // namespace velbrook
