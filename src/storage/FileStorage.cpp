#include "storage/FileStorage.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "metainfo/FileList.h"
#include "metainfo/SHA1.h"
#include "persist/Profile.h"
#include "storage/MessageHost.h"

namespace velbrook {

namespace {

constexpr char kTooLongMessage[] =
    "Donwload File Length biger than expected, stop to avoid damaging your file!";

// A relative path that cannot climb out of the folder it is joined to: no leading "/", no empty,
// "." or ".." component. Names from metainfo are already made safe; this is the second fence,
// also for layouts read back from status files.
bool StaysInside(const std::string& relative) {
    if (relative.empty() || relative.front() == '/') {
        return false;
    }
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) {
            end = relative.size();
        }
        const std::string_view part(relative.data() + start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Creates every folder between `dir` (which must exist) and the file `relative`; the ones it
// made go to `made`. Failures are not reported here: a missing folder shows up as a failed open.
void MakeParentFolders(const std::string& dir, const std::string& relative,
                       std::vector<std::string>& made) {
    size_t slash = relative.find('/', 1);
    while (slash != std::string::npos) {
        const std::string folder = dir + relative.substr(0, slash);
        if (::mkdir(folder.c_str(), 0755) == 0) {
            made.push_back(folder);
        } else if (errno != EEXIST) {
            return;
        }
        slash = relative.find('/', slash + 1);
    }
}

// What one preparation created, taken away again unless it succeeds: a torrent refused halfway
// (a name too long for the file system, two files of one path) leaves no empty files and folders
// behind, and never touches what was there before.
class MadeByPrepare {
public:
    explicit MadeByPrepare(FileStorage& storage) : m_storage(storage) {}
    ~MadeByPrepare() {
        if (m_kept) {
            return;
        }
        m_storage.CloseAll();
        for (auto it = files.rbegin(); it != files.rend(); ++it) {
            ::unlink(it->c_str());
        }
        // Deepest first; a folder someone filled meanwhile stays.
        for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
            ::rmdir(it->c_str());
        }
    }
    MadeByPrepare(const MadeByPrepare&) = delete;
    MadeByPrepare& operator=(const MadeByPrepare&) = delete;
    void Keep() { m_kept = true; }

    std::vector<std::string> files;
    std::vector<std::string> folders;

private:
    FileStorage& m_storage;
    bool m_kept = false;
};

// Descriptors kept open by every storage together; the least recently used file is closed first.
size_t g_openLimit = 256;
// What network connections must leave free: the files above, and a margin for saves, the loop,
// name lookups and what a desktop toolkit holds.
size_t g_reserved = 256 + 64;

}  // namespace

FileCause CauseFromErrno(int error) {
    switch (error) {
    case 0:
        return CauseNone;
    case ENOENT:
        return CauseFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return CauseBadPath;
    case EMFILE:
    case ENFILE:
        return CauseTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return CauseAccessDenied;
    case EBADF:
        return CauseInvalidFile;
    case ESPIPE:
    case EOVERFLOW:
        return CauseBadSeek;
    case EIO:
        return CauseHardIO;
    case EAGAIN:
        return CauseSharingViolation;
    case ENOLCK:
        return CauseLockViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return CauseDiskFull;
    default:
        return CauseGeneric;
    }
}

std::string DiskFault::Reason() const {
    if (!note.empty()) {
        return note;
    }
    return error != 0 ? std::strerror(error) : "the file is shorter than expected";
}

std::string DiskFault::Describe() const {
    return path + ": " + Reason();
}

bool DiskFault::Transient() const {
    return note.empty() && (error == EMFILE || error == ENFILE);
}

FileStamp StampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    const int64_t modified =
        st.st_mtim.tv_sec < 0 ? -1 : int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    return {st.st_size, modified};
}

void IgnoreFileSizeSignal() {
    ::signal(SIGXFSZ, SIG_IGN);
}

void RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;  // a refusal leaves the limit as it was
        }
    }
    // A quarter for files, an eighth (64 at most) for saves and the rest of the program, the
    // remainder for peers and trackers.
    const bool unlimited = limit.rlim_cur == RLIM_INFINITY;
    const rlim_t quarter = unlimited ? 1024 : limit.rlim_cur / 4;
    FileStorage::SetOpenLimit(static_cast<size_t>(std::clamp<rlim_t>(quarter, 16, 1024)));
    const rlim_t margin = unlimited ? 64 : std::clamp<rlim_t>(limit.rlim_cur / 8, 8, 64);
    g_reserved = g_openLimit + static_cast<size_t>(margin);
}

size_t ReservedDescriptors() {
    return g_reserved;
}

// ---- the shared set of open files ----

namespace {

std::list<std::pair<FileStorage*, size_t>>& Pool() {
    static std::list<std::pair<FileStorage*, size_t>> pool;
    return pool;
}

}  // namespace

void FileStorage::SetOpenLimit(size_t limit) {
    g_openLimit = std::max<size_t>(limit, 1);
}

// ---- opening and closing ----

FileStorage::FileStorage(FileList& layout) : m_layout(layout), m_disk(layout.m_files.size()) {}

FileStorage::~FileStorage() {
    CloseAll();
}

bool FileStorage::Fail(size_t file, int error, std::string note) {
    m_disk[file].lastCause = CauseFromErrno(error);
    m_fault = {m_disk[file].fullPath, error, std::move(note)};
    return false;
}

// Opens the full path and takes the advisory lock that stands for "deny write to others": a read
// lock for a read-only handle, a write lock for a writable one, so that no two handles can write
// the same file and nobody writes under a reader.
bool FileStorage::Open(size_t file, bool forWriting, bool create) {
    Close(file);
    Disk& d = m_disk[file];
    while (Pool().size() >= g_openLimit) {
        const auto [owner, index] = Pool().front();
        owner->Close(index);
    }
    // O_NONBLOCK keeps a FIFO at the path from hanging the open; it means nothing for regular
    // files, which are all we accept.
    const int flags =
        (forWriting ? O_RDWR : O_RDONLY) | (create ? O_CREAT : 0) | O_CLOEXEC | O_NONBLOCK;
    const int fd = ::open(d.fullPath.c_str(), flags, 0644);
    if (fd < 0) {
        return Fail(file, errno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Fail(file, EISDIR);
    }
    // Opened again after a while closed: it must be the file we wrote, not one put in its place.
    if (d.identified && (st.st_dev != d.dev || st.st_ino != d.ino)) {
        ::close(fd);
        return Fail(file, 0, "it was replaced by another file");
    }
    struct flock lock {};
    lock.l_type = forWriting ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int error = errno;
        ::close(fd);
        if (error != EAGAIN && error != EACCES) {
            return Fail(file, error);
        }
        Fail(file, error, "another program (or torrent) is writing it");
        d.lastCause = CauseSharingViolation;
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    d.identified = true;
    d.dev = st.st_dev;
    d.ino = st.st_ino;
    d.length = std::max<int64_t>(d.length, st.st_size);
    d.fd = fd;
    d.writable = forWriting;
    d.lastCause = CauseNone;
    d.inPool = Pool().insert(Pool().end(), {this, file});
    return true;
}

// The file open in the mode asked for, most recently used from now on. A complete file is read
// through a read-only handle; writing to it makes it writable again.
bool FileStorage::Acquire(size_t file, bool forWriting) {
    Disk& d = m_disk[file];
    if (d.fd >= 0 && (d.writable || !forWriting)) {
        Pool().splice(Pool().end(), Pool(), d.inPool);
        return true;
    }
    if (forWriting) {
        d.readOnly = false;
    }
    return Open(file, forWriting || !d.readOnly, false);
}

// What was written goes to the disk before the descriptor goes: a status file written later
// counts on it being there.
bool FileStorage::Flush(size_t file) {
    Disk& d = m_disk[file];
    if (d.fd < 0 || !d.dirty) {
        return true;
    }
    if (::fdatasync(d.fd) != 0) {
        return Fail(file, errno);
    }
    d.dirty = false;
    return true;
}

void FileStorage::Close(size_t file) {
    Disk& d = m_disk[file];
    if (d.fd < 0) {
        return;
    }
    if (!Flush(file)) {
        m_flushFailed = true;
    }
    ::close(d.fd);
    d.fd = -1;
    d.dirty = false;
    Pool().erase(d.inPool);
}

void FileStorage::CloseAll() {
    for (size_t i = 0; i < m_disk.size(); ++i) {
        Close(i);
    }
}

int64_t FileStorage::LengthOf(size_t file) const {
    struct stat st {};
    if (m_disk[file].fd < 0 || ::fstat(m_disk[file].fd, &st) != 0) {
        return 0;
    }
    return st.st_size;
}

bool FileStorage::Allocate(size_t file) {
    const int64_t size = m_layout.m_files[file]->m_size;
    const int fd = m_disk[file].fd;
    if (LengthOf(file) >= size) {
        return true;
    }
    // Reserve the blocks for real so that a full disk shows now, not halfway through a download.
    const int rc = ::posix_fallocate(fd, 0, size);
    if (rc == 0) {
        m_disk[file].length = size;
        return true;
    }
    if (rc == ENOSPC || rc == EFBIG || rc == EIO || rc == EDQUOT) {
        return Fail(file, rc);
    }
    // The file system cannot reserve space: at least give the file its full length.
    static const char kBlank = ' ';
    if (::pwrite(fd, &kBlank, 1, size - 1) != 1) {
        return Fail(file, errno);
    }
    m_disk[file].length = size;
    return true;
}

void FileStorage::ReportOpenFailure(size_t file, MessageHost* host) {
    Close(file);
    if (host) {
        // The cause number alone tells the person nothing: the reason follows in words.
        char text[4400];
        std::snprintf(text, sizeof text, "Can't open file %s, error = %u: %s\r\n",
                      m_disk[file].fullPath.c_str(), static_cast<unsigned>(m_disk[file].lastCause),
                      m_fault.Reason().c_str());
        host->ShowMessage(text, MessageIcon::Error);
    }
}

// ---- preparing ----

bool FileStorage::Prepare(const std::string& saveDir, const std::string& saveName, bool allocate,
                          MessageHost* host) {
    const std::string dir = WithSlash(saveDir);
    m_layout.m_savePath = dir;
    MadeByPrepare made(*this);
    for (size_t i = 0; i < m_disk.size(); ++i) {
        FileEntry& entry = *m_layout.m_files[i];
        Disk& d = m_disk[i];
        if (m_layout.m_singleFile) {
            // The person's chosen file name replaces the one from the metainfo.
            m_layout.m_savePath = dir + saveName;
            entry.m_relativePathName = saveName;
        }
        d.fullPath = dir + entry.m_relativePathName;
        d.readOnly = false;
        d.identified = false;
        d.length = 0;
        if (!StaysInside(entry.m_relativePathName)) {
            Fail(i, 0, "its name would leave the save folder");
            d.lastCause = CauseBadPath;
            ReportOpenFailure(i, host);
            return false;
        }
        // A file already there at its full length is kept as it is, read-only.
        if (entry.m_size > 0 && Open(i, false, false) && LengthOf(i) == entry.m_size) {
            d.readOnly = true;
            continue;
        }
        MakeParentFolders(dir, entry.m_relativePathName, made.folders);
        const bool isNew = !PathExists(d.fullPath);
        if (!Open(i, true, true)) {
            ReportOpenFailure(i, host);
            return false;
        }
        if (isNew) {
            made.files.push_back(d.fullPath);
        }
        if (LengthOf(i) > entry.m_size) {
            Close(i);
            if (host) {
                host->ShowMessage(kTooLongMessage, MessageIcon::Error);
            }
            return false;
        }
        if (entry.m_size == 0) {
            Close(i);  // the empty file stays on disk; nothing will ever be read or written
            continue;
        }
        if (allocate && !Allocate(i)) {
            ReportOpenFailure(i, host);
            return false;
        }
    }
    made.Keep();
    return true;
}

size_t FileStorage::OpenForCheck(const std::string& saveDir) {
    const std::string dir = WithSlash(saveDir);
    m_layout.m_savePath = dir;
    size_t opened = 0;
    for (size_t i = 0; i < m_disk.size(); ++i) {
        Disk& d = m_disk[i];
        const std::string& relative = m_layout.m_files[i]->m_relativePathName;
        d.fullPath = dir + relative;
        d.readOnly = true;
        d.identified = false;
        if (!StaysInside(relative)) {
            d.lastCause = CauseBadPath;
            continue;
        }
        opened += Open(i, false, false) ? 1 : 0;
    }
    return opened;
}

std::vector<FileStamp> FileStorage::StampsOnDisk(const std::string& saveDir,
                                                 const std::string& saveName) const {
    const std::string dir = WithSlash(saveDir);
    std::vector<FileStamp> stamps;
    stamps.reserve(m_layout.m_files.size());
    for (const auto& entry : m_layout.m_files) {
        const std::string& relative = m_layout.m_singleFile ? saveName : entry->m_relativePathName;
        stamps.push_back(StaysInside(relative) ? StampOf(dir + relative) : FileStamp{});
    }
    return stamps;
}

std::vector<FileStamp> FileStorage::Stamps() const {
    std::vector<FileStamp> stamps;
    stamps.reserve(m_disk.size());
    for (const Disk& d : m_disk) {
        stamps.push_back(d.identified ? StampOf(d.fullPath) : FileStamp{});
    }
    return stamps;
}

bool FileStorage::StillThere(size_t file) {
    const Disk& d = m_disk[file];
    if (!d.identified) {
        return true;  // never opened, so nothing of it is claimed
    }
    struct stat st {};
    if (::stat(d.fullPath.c_str(), &st) != 0) {
        return Fail(file, errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return Fail(file, EISDIR);
    }
    if (!S_ISREG(st.st_mode) || st.st_dev != d.dev || st.st_ino != d.ino) {
        return Fail(file, 0, "it was replaced by another file");
    }
    if (st.st_size < d.length) {
        return Fail(file, 0, "it is shorter than what was written to it");
    }
    return true;
}

bool FileStorage::AnyThere(const std::string& saveDir, const std::string& saveName) const {
    const std::string dir = WithSlash(saveDir);
    for (const auto& entry : m_layout.m_files) {
        const std::string& relative = m_layout.m_singleFile ? saveName : entry->m_relativePathName;
        if (StaysInside(relative) && PathExists(dir + relative)) {
            return true;
        }
    }
    return false;
}

// ---- reading and writing ----

bool FileStorage::ReadAt(size_t file, int64_t offset, uint32_t length, char* buffer) {
    if (!Acquire(file, false)) {
        return false;
    }
    const int fd = m_disk[file].fd;
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, buffer + done, length - done, offset + done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return Fail(file, n < 0 ? errno : 0);  // an error, or the file shrank under us
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

bool FileStorage::WriteAt(size_t file, int64_t offset, uint32_t length, const char* data) {
    if (!Acquire(file, true)) {
        return false;
    }
    Disk& d = m_disk[file];
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(d.fd, data + done, length - done, offset + done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // ENOSPC, EIO, EFBIG: a failed write, never a partial success
            return Fail(file, n < 0 ? errno : ENOSPC);
        }
        done += static_cast<uint32_t>(n);
        d.dirty = true;
    }
    d.length = std::max<int64_t>(d.length, offset + length);
    return true;
}

bool FileStorage::ReadSpan(int64_t offset, uint32_t length, char* buffer) {
    uint32_t done = 0;
    for (const FileSegment& s : m_layout.MapRange(offset, length)) {
        if (!ReadAt(s.file, s.offset, s.length, buffer + done)) {
            return false;
        }
        done += s.length;
    }
    // A range that reaches past the last file is not fully backed by data.
    return done == length;
}

bool FileStorage::WriteSpan(int64_t offset, uint32_t length, const char* data) {
    uint32_t done = 0;
    for (const FileSegment& s : m_layout.MapRange(offset, length)) {
        if (!WriteAt(s.file, s.offset, s.length, data + done)) {
            return false;
        }
        done += s.length;
    }
    return done == length;
}

bool FileStorage::CheckSpan(int64_t offset, uint32_t length, std::string_view expectedHash) {
    if (expectedHash.size() != 20) {
        return false;
    }
    // Hash in small chunks so the bytes are still in the CPU cache when they are hashed; a
    // whole-piece buffer would be written out to memory and read back.
    constexpr uint32_t kChunk = 64 * 1024;
    m_checkBuffer.resize(std::min(length, kChunk));
    SHA1 sha;
    for (uint32_t done = 0; done < length;) {
        const uint32_t n = std::min(length - done, kChunk);
        if (!ReadSpan(offset + done, n, m_checkBuffer.data())) {
            return false;
        }
        sha.Update(m_checkBuffer.data(), n);
        done += n;
    }
    sha.Final();
    uint8_t digest[20];
    sha.GetHash(digest);
    return std::memcmp(digest, expectedHash.data(), 20) == 0;
}

void FileStorage::SwitchAllToReadOnly() {
    for (size_t i = 0; i < m_disk.size(); ++i) {
        Disk& d = m_disk[i];
        // Whatever was written must be on the disk before the file is declared complete; a
        // file that cannot be flushed stays writable.
        if (!Flush(i)) {
            continue;
        }
        if (d.fd >= 0 && d.writable) {
            Close(i);  // opened again read-only when next read
        }
        d.readOnly = true;
    }
}

bool FileStorage::SyncAll() {
    bool ok = !m_flushFailed;
    m_flushFailed = false;
    for (size_t i = 0; i < m_disk.size(); ++i) {
        ok = Flush(i) && ok;
    }
    return ok;
}

}  // namespace velbrook
