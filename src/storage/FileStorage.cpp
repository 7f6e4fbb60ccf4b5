// The disk half of FileList and FileEntry: creating, opening, reading, writing and checking the
// files of a torrent with positioned I/O.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "metainfo/FileList.h"
#include "metainfo/SHA1.h"
#include "persist/Profile.h"
#include "persist/Settings.h"
#include "storage/MessageHost.h"

namespace velbrook {

namespace {

constexpr char kExistedQuestion[] = "File Existed!...\nDo checking and continue downloading?";
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

// Creates every folder between `dir` (which must exist) and the file `relative`. Failures are
// not reported here: a missing folder shows up as a failed open.
void MakeParentFolders(const std::string& dir, const std::string& relative) {
    size_t slash = relative.find('/', 1);
    while (slash != std::string::npos) {
        const std::string folder = dir + relative.substr(0, slash);
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            return;
        }
        slash = relative.find('/', slash + 1);
    }
}

bool FdLength(int fd, int64_t& length) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    length = st.st_size;
    return true;
}

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

// ---- FileEntry ----

FileEntry::~FileEntry() {
    Close();
}

void FileEntry::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_dirty = false;
}

int64_t FileEntry::GetFileLength() const {
    int64_t length = 0;
    if (m_fd < 0 || !FdLength(m_fd, length)) {
        return 0;
    }
    return length;
}

// Opens the full path and takes the advisory lock that stands for "deny write to others": a read
// lock for a read-only handle, a write lock for a writable one, so that no two handles can write
// the same file and nobody writes under a reader.
bool FileEntry::OpenLocked(int flags, bool forWriting) {
    // O_NONBLOCK keeps a FIFO at the path from hanging the open; it means nothing for regular
    // files, which are all we accept.
    const int fd = ::open(m_fullPath.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        m_lastCause = CauseFromErrno(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        m_lastCause = CauseAccessDenied;
        return false;
    }
    struct flock lock {};
    lock.l_type = forWriting ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        m_lastCause =
            (errno == EAGAIN || errno == EACCES) ? CauseSharingViolation : CauseFromErrno(errno);
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_fd = fd;
    m_lastCause = CauseNone;
    return true;
}

bool FileEntry::OpenReadOnly() {
    m_readOnly = true;
    Close();
    if (!OpenLocked(O_RDONLY, false)) {
        return false;
    }
    if (GetFileLength() != m_size) {
        Close();
        return false;
    }
    return true;
}

bool FileEntry::OpenForCheck(const std::string& saveDir) {
    m_readOnly = true;
    Close();
    m_fullPath = WithSlash(saveDir) + m_relativePathName;
    if (!StaysInside(m_relativePathName)) {
        m_lastCause = CauseBadPath;
        return false;
    }
    return OpenLocked(O_RDONLY, false);
}

bool FileEntry::Allocate() {
    if (!GetSettings().GetInt(AllocateBeforeDownload) || GetFileLength() >= m_size) {
        return true;
    }
    // Reserve the blocks for real so that a full disk shows now, not halfway through a download.
    const int rc = ::posix_fallocate(m_fd, 0, m_size);
    if (rc == 0) {
        return true;
    }
    if (rc == ENOSPC || rc == EFBIG || rc == EIO || rc == EDQUOT) {
        m_lastCause = CauseFromErrno(rc);
        return false;
    }
    // The file system cannot reserve space: at least give the file its full length.
    static const char kBlank = ' ';
    if (::pwrite(m_fd, &kBlank, 1, m_size - 1) != 1) {
        m_lastCause = CauseFromErrno(errno);
        return false;
    }
    return true;
}

void FileEntry::ReportOpenFailure() {
    Close();
    if (m_host) {
        char text[4200];
        std::snprintf(text, sizeof text, "Can't open file %s, error = %u\r\n", m_fullPath.c_str(),
                      static_cast<unsigned>(m_lastCause));
        m_host->ShowMessage(text, MessageIcon::Error, MessageButtons::Ok);
    }
}

bool FileEntry::OpenReadWrite() {
    m_readOnly = false;
    Close();
    if (OpenLocked(O_RDWR, true)) {
        if (!Allocate()) {
            ReportOpenFailure();
            return false;
        }
        return true;
    }
    if (m_lastCause != CauseFileNotFound && m_lastCause != CauseBadPath) {
        ReportOpenFailure();
        return false;
    }
    if (!OpenLocked(O_RDWR | O_CREAT, true)) {
        ReportOpenFailure();
        return false;
    }
    if (m_size == 0) {
        Close();  // the empty file stays on disk; nothing will ever be read or written
        return true;
    }
    if (!Allocate()) {
        ReportOpenFailure();
        return false;
    }
    return true;
}

bool FileEntry::Prepare(const std::string& saveDir, MessageHost* host) {
    m_host = host;
    const std::string dir = WithSlash(saveDir);
    m_fullPath = dir + m_relativePathName;
    if (!StaysInside(m_relativePathName)) {
        m_lastCause = CauseBadPath;
        ReportOpenFailure();
        return false;
    }
    if (OpenReadOnly()) {
        return true;
    }
    MakeParentFolders(dir, m_relativePathName);
    return OpenReadWrite();
}

bool FileEntry::SwitchToReadOnly() {
    if (m_fd < 0) {
        return false;
    }
    if (m_readOnly) {
        return true;
    }
    // Whatever was written must be on the disk before the file is declared complete.
    if (!Sync()) {
        return false;
    }
    if (OpenReadOnly()) {
        return true;
    }
    (void)OpenReadWrite();
    return false;
}

bool FileEntry::ReadAt(int64_t offset, uint32_t length, char* buffer) {
    if (m_fd < 0 || offset < 0 || GetFileLength() < offset + static_cast<int64_t>(length)) {
        return false;
    }
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(m_fd, buffer + done, length - done, offset + done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;  // an error, or the file shrank under us
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

bool FileEntry::WriteAt(int64_t offset, uint32_t length, const char* data) {
    if (m_fd < 0 || offset < 0) {
        return false;
    }
    if (m_readOnly && !OpenReadWrite()) {
        return false;
    }
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(m_fd, data + done, length - done, offset + done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;  // ENOSPC, EIO, EFBIG: a failed write, never a partial success
        }
        done += static_cast<uint32_t>(n);
        m_dirty = true;
    }
    return true;
}

bool FileEntry::Sync() {
    if (m_fd < 0 || !m_dirty) {
        return true;
    }
    if (::fdatasync(m_fd) != 0) {
        return false;
    }
    m_dirty = false;
    return true;
}

// ---- FileList ----

FileList::~FileList() = default;

bool FileList::PrepareFiles(const std::string& saveDir, const std::string& saveName, bool& existed,
                            bool prompt, MessageHost* host) {
    const std::string dir = WithSlash(saveDir);
    m_savePath = dir;
    const bool ask = GetSettings().GetInt(PromptExistFileFirstTime) != 0;
    for (size_t i = 0; i < m_files.size();) {
        FileEntry& entry = *m_files[i];
        if (m_singleFile) {
            // The person's chosen file name replaces the one from the metainfo.
            m_savePath = dir + saveName;
            entry.m_relativePathName = saveName;
        }
        if (prompt && ask && PathExists(dir + entry.m_relativePathName)) {
            if (!host || host->ShowMessage(kExistedQuestion, MessageIcon::Question,
                                           MessageButtons::YesNo) != MessageAnswer::Yes) {
                return false;
            }
            existed = true;
            prompt = false;
        }
        if (!entry.Prepare(dir, host)) {
            return false;
        }
        if (entry.GetFileLength() > entry.m_size) {
            entry.Close();
            if (host) {
                host->ShowMessage(kTooLongMessage, MessageIcon::Error, MessageButtons::Ok);
            }
            return false;
        }
        if (entry.m_size == 0) {
            m_files.erase(m_files.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
    return true;
}

size_t FileList::OpenForCheck(const std::string& saveDir) {
    const std::string dir = WithSlash(saveDir);
    m_savePath = dir;
    size_t opened = 0;
    for (auto& entry : m_files) {
        if (entry->OpenForCheck(dir)) {
            ++opened;
        }
    }
    return opened;
}

std::vector<FileSegment> FileList::MapRange(int64_t offset, uint32_t length) const {
    std::vector<FileSegment> segments;
    if (length == 0 || offset < 0) {
        return segments;
    }
    const int64_t last = offset + length - 1;
    int64_t remaining = length;
    for (const auto& entry : m_files) {
        if (entry->m_size <= 0 || entry->m_startAt + entry->m_size - 1 < offset) {
            continue;
        }
        if (entry->m_startAt > last || remaining <= 0) {
            break;
        }
        const int64_t inFile = offset > entry->m_startAt ? offset - entry->m_startAt : 0;
        const int64_t fileLast = entry->m_startAt + entry->m_size - 1;
        const int64_t take = last > fileLast ? entry->m_size - inFile : remaining;
        segments.push_back({entry.get(), inFile, static_cast<uint32_t>(take)});
        remaining -= take;
    }
    return segments;
}

bool FileList::ReadSpan(int64_t offset, uint32_t length, char* buffer) {
    const auto segments = MapRange(offset, length);
    uint32_t done = 0;
    for (const auto& s : segments) {
        if (!s.entry->ReadAt(s.offset, s.length, buffer + done)) {
            return false;
        }
        done += s.length;
    }
    // A range that reaches past the last file is not fully backed by data.
    return done == length;
}

bool FileList::WriteSpan(int64_t offset, uint32_t length, const char* data) {
    const auto segments = MapRange(offset, length);
    uint32_t done = 0;
    for (const auto& s : segments) {
        if (!s.entry->WriteAt(s.offset, s.length, data + done)) {
            return false;
        }
        done += s.length;
    }
    return done == length;
}

bool FileList::CheckSpan(int64_t offset, uint32_t length, std::string_view expectedHash) {
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

void FileList::SwitchAllToReadOnly() {
    for (auto& entry : m_files) {
        (void)entry->SwitchToReadOnly();
    }
}

bool FileList::SyncAll() {
    bool ok = true;
    for (auto& entry : m_files) {
        ok = entry->Sync() && ok;
    }
    return ok;
}

void FileList::CloseAll() {
    for (auto& entry : m_files) {
        entry->Close();
    }
}

}  // namespace velbrook
