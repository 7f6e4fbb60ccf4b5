// The files of a torrent on disk: creating them, opening them on demand (one bounded set of
// descriptors is shared by every torrent of the process), reading, writing, checking, flushing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velbrook {

class FileList;
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

// What went wrong on disk last, for the person to read: which file and why.
struct DiskFault {
    std::string path;
    int error = 0;  // errno; 0 for a file that ended too early
    std::string Describe() const;
};

// Raises the soft limit on open descriptors to the hard limit and sizes the shared set of open
// files from what is allowed. Called once at start.
void RaiseOpenFileLimit();
// Descriptors that network connections must leave free for files and saves, so that a flood of
// connections cannot stop the torrents with "Too many open files".
size_t ReservedDescriptors();

class FileStorage {
public:
    // `layout` outlives the storage; a single-file torrent's chosen name is written into it.
    explicit FileStorage(FileList& layout);
    ~FileStorage();  // closes its files
    FileStorage(const FileStorage&) = delete;
    FileStorage& operator=(const FileStorage&) = delete;

    // Creates or opens every file below `saveDir`, which must exist: an existing complete file
    // is kept as it is (read-only), anything else is opened for writing, created with its
    // folders when missing. `existed` is set when a file was already there and the person
    // agreed to check and continue; `prompt` allows that question, asked at most once.
    // Zero-length files are created and take no further part.
    [[nodiscard]] bool Prepare(const std::string& saveDir, const std::string& saveName,
                               bool& existed, bool prompt, MessageHost* host);
    // For checking data in place: every file below `saveDir` is opened read-only whatever its
    // length, nothing is created. Returns how many files could be opened.
    size_t OpenForCheck(const std::string& saveDir);
    // Each file's length below `saveDir` (a single file under `saveName`) before anything is
    // created: -1 when it is not there.
    std::vector<int64_t> LengthsOnDisk(const std::string& saveDir,
                                       const std::string& saveName) const;

    [[nodiscard]] bool ReadSpan(int64_t offset, uint32_t length, char* buffer);
    [[nodiscard]] bool WriteSpan(int64_t offset, uint32_t length, const char* data);
    // Reads the range and compares its SHA-1 digest with `expectedHash` (exactly 20 bytes).
    [[nodiscard]] bool CheckSpan(int64_t offset, uint32_t length, std::string_view expectedHash);
    // A complete torrent keeps its files read-only; a later write opens the file for writing.
    void SwitchAllToReadOnly();
    // Flushes everything written to the disk.
    [[nodiscard]] bool SyncAll();
    void CloseAll();

    // The file and reason of the last failed open, read, write or flush.
    const DiskFault& LastFault() const { return m_fault; }
    bool IsReadOnly(size_t file) const { return m_disk[file].readOnly; }
    bool IsOpen(size_t file) const { return m_disk[file].fd >= 0; }
    FileCause LastCause(size_t file) const { return m_disk[file].lastCause; }
    const std::string& FullPath(size_t file) const { return m_disk[file].fullPath; }

    // The descriptors that all storages together keep open at most (the least recently used
    // file is closed to open another).
    static void SetOpenLimit(size_t limit);

private:
    using PoolList = std::list<std::pair<FileStorage*, size_t>>;
    struct Disk {
        int fd = -1;
        bool writable = false;  // the open descriptor may write
        bool readOnly = false;  // complete: opened read-only from now on
        bool dirty = false;     // written since the last flush
        FileCause lastCause = CauseNone;
        std::string fullPath;
        PoolList::iterator inPool;
    };

    bool Open(size_t file, bool forWriting, bool create);
    bool Acquire(size_t file, bool forWriting);
    bool Allocate(size_t file);
    bool Flush(size_t file);
    void Close(size_t file);
    int64_t LengthOf(size_t file) const;
    bool Fail(size_t file, int error);
    void ReportOpenFailure(size_t file, MessageHost* host);
    bool ReadAt(size_t file, int64_t offset, uint32_t length, char* buffer);
    bool WriteAt(size_t file, int64_t offset, uint32_t length, const char* data);

    FileList& m_layout;
    std::vector<Disk> m_disk;  // one per file of the layout
    DiskFault m_fault;
    bool m_flushFailed = false;  // a file closed to make room could not be flushed
    std::string m_checkBuffer;   // reused by CheckSpan, a fixed small chunk
};

}  // namespace velbrook
