#include "metainfo/TorrentFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"

namespace velbrook {

bool ReadFileLimited(const std::string& path, size_t limit, std::string& bytes,
                     std::string& error) {
    // Without O_NONBLOCK a named pipe would hold the open until someone writes to it; it is
    // refused below as not a regular file. Regular files read the same either way.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? "is a folder" : "not a regular file";
        ::close(fd);
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > limit) {
        error = "larger than " + std::to_string(limit >> 20) + " MiB";
        ::close(fd);
        return false;
    }
    bytes.clear();
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    // The size may change under us; read until end of file, never past the limit.
    for (;;) {
        if (done == bytes.size()) {
            if (bytes.size() > limit) {
                error = "larger than " + std::to_string(limit >> 20) + " MiB";
                ::close(fd);
                return false;
            }
            bytes.resize(bytes.size() + 4096);
        }
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    bytes.resize(done);
    return true;
}

bool LoadTorrentFile(const std::string& path, KeyPathMap& map, FileList& files, std::string& error,
                     std::string* infoDictionary) {
    std::string bytes;
    if (!ReadFileLimited(path, kMaxTorrentFileSize, bytes, error)) {
        return false;
    }
    if (!map.Decode(bytes)) {
        error = "TorrentFile Decode Failed.";
        return false;
    }
    if (!files.FromKeyPathMap(map)) {
        error = "not a usable torrent: " + files.RefusalReason();
        return false;
    }
    if (infoDictionary) {
        infoDictionary->assign(bytes, map.InfoStart(), map.InfoEnd() - map.InfoStart());
    }
    return true;
}

}  // namespace velbrook
