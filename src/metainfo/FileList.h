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
class MessageHost;

// Platform file error causes, as reported in "Can't open file" messages.
enum FileCause : unsigned {
    CauseNone = 0,
    CauseGeneric = 1,
    CauseFileNotFound = 2,
    CauseBadPath = 3,
    CauseTooManyOpenFiles = 4,
    CauseAccessDenied = 5,
    CauseInvalidFile = 6,
    CauseRemoveCurrentDir = 7,
    CauseDirectoryFull = 8,
    CauseBadSeek = 9,
    CauseHardIO = 10,
    CauseSharingViolation = 11,
    CauseLockViolation = 12,
    CauseDiskFull = 13,
    CauseEndOfFile = 14,
};
FileCause CauseFromErrno(int error);

// One file of a torrent. The metadata comes from the metainfo; the open file and the disk
// operations are the storage layer's.
class FileEntry {
public:
    FileEntry() = default;
    virtual ~FileEntry();  // closes the file
    FileEntry(const FileEntry&) = delete;
    FileEntry& operator=(const FileEntry&) = delete;

    // Sets the full path, then keeps an existing complete file open read-only or opens
    // (creating it and its parent folders when needed) for reading and writing.
    [[nodiscard]] bool Prepare(const std::string& saveDir, MessageHost* host);
    // Read-only, denying writes to others; only a file of exactly m_size bytes is kept open.
    [[nodiscard]] bool OpenReadOnly();
    // Sets the full path and opens read-only whatever the length, for checking data in place.
    [[nodiscard]] bool OpenForCheck(const std::string& saveDir);
    [[nodiscard]] bool OpenReadWrite();
    [[nodiscard]] bool SwitchToReadOnly();
    [[nodiscard]] bool ReadAt(int64_t offset, uint32_t length, char* buffer);
    [[nodiscard]] bool WriteAt(int64_t offset, uint32_t length, const char* data);
    // Flushes written data to the disk; true when there was nothing to flush.
    [[nodiscard]] bool Sync();
    int64_t GetFileLength() const;
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    bool IsReadOnly() const { return m_readOnly; }
    const std::string& FullPath() const { return m_fullPath; }
    // The cause of the last failed open, CauseNone after a success.
    FileCause LastCause() const { return m_lastCause; }

    std::string m_relativePathName;  // below the save folder, components joined by "/"
    int64_t m_startAt = 0;           // offset of the first byte in the torrent's byte stream
    int64_t m_size = 0;
    int64_t m_completedBytes = 0;  // bytes of this file inside verified pieces

private:
    bool OpenLocked(int flags, bool forWriting);
    bool Allocate();
    void ReportOpenFailure();

    int m_fd = -1;
    bool m_readOnly = false;
    bool m_dirty = false;  // written since the last Sync
    FileCause m_lastCause = CauseNone;
    std::string m_fullPath;
    MessageHost* m_host = nullptr;
};

// A piece of a byte range that falls inside one file.
struct FileSegment {
    FileEntry* entry;
    int64_t offset;  // inside the file
    uint32_t length;
};

class FileList {
public:
    // Pieces above this length are refused: no real torrent uses them and a piece is held in
    // memory whole while it is checked.
    static constexpr int64_t kMaxPieceLength = int64_t{128} << 20;

    FileList() = default;
    virtual ~FileList();
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

    // Creates or opens every file below `saveDir` (which must exist). `existed` is set when a
    // file was already there and the person agreed to check and continue; `prompt` allows that
    // question, asked at most once. Zero-length files are created and leave the list.
    [[nodiscard]] bool PrepareFiles(const std::string& saveDir, const std::string& saveName,
                                    bool& existed, bool prompt, MessageHost* host);
    // Opens every file below `saveDir` read-only, whatever its length, creating nothing.
    // Returns how many files could be opened.
    size_t OpenForCheck(const std::string& saveDir);
    std::vector<FileSegment> MapRange(int64_t offset, uint32_t length) const;
    [[nodiscard]] bool ReadSpan(int64_t offset, uint32_t length, char* buffer);
    [[nodiscard]] bool WriteSpan(int64_t offset, uint32_t length, const char* data);
    // Reads the range and compares its SHA-1 digest with `expectedHash` (exactly 20 bytes).
    [[nodiscard]] bool CheckSpan(int64_t offset, uint32_t length, std::string_view expectedHash);
    void SwitchAllToReadOnly();
    [[nodiscard]] bool SyncAll();
    void CloseAll();

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
    std::string m_checkBuffer;  // reused by CheckSpan, a fixed small chunk
};

// One path component from untrusted metainfo as a safe file name: valid UTF-8, no "/" and no
// control characters; empty when the component must be dropped ("", "." or "..").
std::string SafePathComponent(std::string_view raw);

}  // namespace velbrook
