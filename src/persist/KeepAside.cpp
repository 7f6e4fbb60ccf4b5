#include "persist/KeepAside.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace velbrook {

namespace {

// Kept copies of one second share a name and a counter; past this many, something is wrong.
constexpr int kMaxKeptNames = 1000;

// Renames `from` to `to` unless `to` exists; errno tells why not.
bool MoveWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system without the no-replace rename: a hard link refuses an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    if (::unlink(from.c_str()) != 0) {
        const int error = errno;
        ::unlink(to.c_str());
        errno = error;
        return false;
    }
    return true;
}

}  // namespace

std::string KeepAside(const std::string& path, std::string& error) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[32] = {};
    if (::localtime_r(&now, &local) == nullptr ||
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local) == 0) {
        std::snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(now));
    }
    const std::string base = path + ".unreadable-" + stamp;
    for (int attempt = 1; attempt <= kMaxKeptNames; ++attempt) {
        const std::string name = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        if (MoveWithoutReplacing(path, name)) {
            return name;
        }
        if (errno != EEXIST) {
            error = std::strerror(errno);
            return {};
        }
    }
    error = "too many kept copies of this second";
    return {};
}

std::string UnreadableReason(const std::string& path, const std::string& kind) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::strerror(errno);
    }
    ::close(fd);
    return "it is not a well-formed " + kind + ": truncated, damaged or too large";
}

}  // namespace velbrook
