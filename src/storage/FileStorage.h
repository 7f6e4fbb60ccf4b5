// The files of a torrent on disk: creating them, opening them on demand (one bounded set of
// descriptors is shared by every torrent of the process), reading, writing, checking, flushing.
#pragma once

#include <sys/types.h>

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
    int error = 0;     // errno; 0 when `note` says what is wrong
    std::string note;  // why, when errno cannot say it (or says it badly)
    // The reason in words.
    std::string Reason() const;
    // "<path>: <reason>".
    std::string Describe() const;
    // The process ran out of descriptors for a moment (many peers at once): trying again later
    // can succeed, nothing is wrong with the disk.
    bool Transient() const;
};

// A file as the status file remembers it: its length (-1 when it is not there) and when it was
// last modified, in nanoseconds since the epoch (-1 when unknown).
struct FileStamp {
    int64_t length = -1;
    int64_t modifiedNs = -1;
    bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);

// Raises the soft limit on open descriptors to the hard limit and sizes the shared set of open
// files from what is allowed. Called once at start.
void RaiseOpenFileLimit();
// Descriptors that network connections must leave free for files and saves, so that a flood of
// connections cannot stop the torrents with "Too many open files".
size_t ReservedDescriptors();

// A file-size limit (RLIMIT_FSIZE) would kill the process on the write that crosses it; ignored,
// that write fails with EFBIG and the torrent stops saying why, as on a full disk. Called once
// at start.
void IgnoreFileSizeSignal();

class FileStorage {
public:
    // `layout` outlives the storage; a single-file torrent's chosen name is written into it.
    explicit FileStorage(FileList& layout);
    ~FileStorage();  // closes its files
    FileStorage(const FileStorage&) = delete;
    FileStorage& operator=(const FileStorage&) = delete;

    // Creates or opens every file below `saveDir`, which must exist: an existing complete file
    // is kept as it is (read-only), anything else is opened for writing, created with its
    // folders when missing. Zero-length files are created and take no further part. Whether
    // files that are there may be used is the caller's question, asked before. With `allocate`
    // each file opened for writing gets its disk space now, so a full disk shows before the
    // download begins.
    [[nodiscard]] bool Prepare(const std::string& saveDir, const std::string& saveName,
                               bool allocate, MessageHost* host);
    // For checking data in place: every file below `saveDir` is opened read-only whatever its
    // length, nothing is created. Returns how many files could be opened.
    size_t OpenForCheck(const std::string& saveDir);
    // Each file below `saveDir` (a single file under `saveName`) as it is before anything is
    // created: length -1 when it is not there.
    std::vector<FileStamp> StampsOnDisk(const std::string& saveDir,
                                        const std::string& saveName) const;
    // Each prepared file as it is now.
    std::vector<FileStamp> Stamps() const;
    // The prepared file is still at its path, still the one this storage opened, and at least as
    // long as what was found in it or written to it. False, with LastFault saying why, when
    // it was deleted (its folder with it), replaced or cut short: writes through a descriptor
    // to a deleted file succeed and land nowhere anyone can find them.
    [[nodiscard]] bool StillThere(size_t file);
    // Whether anything (a file, a folder) is already where one of the files goes.
    bool AnyThere(const std::string& saveDir, const std::string& saveName) const;

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
        bool writable = false;    // the open descriptor may write
        bool readOnly = false;    // complete: opened read-only from now on
        bool dirty = false;       // written since the last flush
        bool identified = false;  // dev and ino name the file this storage opened
        dev_t dev = 0;
        ino_t ino = 0;
        int64_t length = 0;  // the file is at least this long: found so, or written so far
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
    bool Fail(size_t file, int error, std::string note = {});
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
