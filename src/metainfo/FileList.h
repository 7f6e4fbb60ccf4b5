// A torrent's content: piece length and hashes, name, total length and the ordered files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velbrook {

class CXML;
class KeyPathMap;

// One file of a torrent, as the metainfo (or a status file) describes it. The disk side lives
// in storage (FileStorage).
struct FileEntry {
    std::string m_relativePathName;  // below the save folder, components joined by "/"
    int64_t m_startAt = 0;           // offset of the first byte in the torrent's byte stream
    int64_t m_size = 0;
    int64_t m_completedBytes = 0;  // bytes of this file inside verified pieces
};

// A piece of a byte range that falls inside one file (an index into FileList::m_files).
struct FileSegment {
    size_t file;
    int64_t offset;  // inside the file
    uint32_t length;
};

class FileList {
public:
    // Pieces above this length are refused: no real torrent uses them, a piece being fetched
    // keeps a record of each of its 16 KiB slices, and one bad slice costs the whole piece again.
    // (A check reads the piece in 64 KiB chunks: its length costs no memory there.)
    static constexpr int64_t kMaxPieceLength = int64_t{128} << 20;

    FileList() = default;
    virtual ~FileList() = default;
    FileList(const FileList&) = delete;
    FileList& operator=(const FileList&) = delete;

    // Fills the list from decoded metainfo. False when a required key is missing or the layout
    // cannot describe real data (see the .cpp for the exact rules).
    [[nodiscard]] bool FromKeyPathMap(const KeyPathMap& map);
    std::unique_ptr<CXML> ToXml() const;
    void FromXml(CXML& element);

    // The 20-byte hash of a piece; empty when the list holds none for it.
    std::string_view PieceHash(int64_t index) const;
    int64_t PieceCount() const;
    // Why the last FromKeyPathMap refused the metainfo.
    const std::string& RefusalReason() const { return m_refusal; }

    // The parts of the files that hold the byte range, in order.
    std::vector<FileSegment> MapRange(int64_t offset, uint32_t length) const;
    // The pieces (first and last index) that hold bytes of the file; false for an empty file.
    bool PiecesOfFile(size_t file, uint32_t& first, uint32_t& last) const;

    int64_t m_totalLength = 0;
    int32_t m_pieceLength = 0;
    std::string m_pieceHashes;
    std::string m_saveName;  // made safe and valid UTF-8
    bool m_singleFile = false;
    std::vector<std::unique_ptr<FileEntry>> m_files;
    std::string m_savePath;

private:
    bool Refuse(std::string reason);
    std::string m_refusal;
};

// One path component from untrusted metainfo as a safe file name: valid UTF-8, no "/" and no
// control characters; empty when the component must be dropped ("", "." or "..").
std::string SafePathComponent(std::string_view raw);

}  // namespace velbrook
