#include "engine/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "metainfo/MagnetLink.h"
#include "metainfo/SHA1.h"

namespace velbrook {

namespace {

// Paths handed over are bounded: one line each, at most this many bytes in all. Paths are
// absolute (or magnet links), so a line that starts with neither "/" nor "magnet:" can only be a
// save folder for the paths that follow it.
constexpr size_t kMaxHandOff = 1 << 20;
constexpr std::string_view kSaveLine = "save=";
// The running copy answers each path with one of these lines, and ends with kDone: an answer
// without it comes from a copy that went away before it had finished.
constexpr std::string_view kListed = "listed";
constexpr std::string_view kNotListed = "not listed";
constexpr std::string_view kDone = "done";
// How long the running copy waits for a later one to finish writing, and to take its answer.
constexpr int kServeWaitMs = 1000;

sockaddr_un AddressOf(const std::string& name, socklen_t& length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Abstract namespace: no file to go stale, no limit from the profile path's length.
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

int MsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

// Reads until the other side has finished writing. False when it stays silent for `waitMs`
// before that, or sends more than the bound.
bool ReadAll(int fd, int waitMs, std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, MsLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready != 1) {
            return false;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return true;  // the end, or a reset: either way nothing more comes
        }
        if (text.size() + static_cast<size_t>(n) > kMaxHandOff) {
            return false;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

bool SendAll(int fd, std::string_view data, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        if (n == 0 || errno != EAGAIN || ::poll(&p, 1, MsLeft(deadline)) != 1) {
            return false;
        }
    }
    return true;
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

}  // namespace

SingleInstance::SingleInstance(const std::string& profileDir) : m_profileDir(profileDir) {
    std::error_code ec;
    const std::string canonical = std::filesystem::weakly_canonical(profileDir, ec).string();
    m_address = "velbrook-" + BytesToHex(SHA1::Digest(canonical)).substr(0, 24);
}

SingleInstance::~SingleInstance() {
    // The name goes before the lock: whoever takes the lock next can listen under it at once.
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
    }
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
    }
}

bool SingleInstance::ProfileWritable() {
    const std::string dir = m_profileDir.empty() ? "." : m_profileDir;
    // An unnamed file: nothing is left behind, whatever happens next.
    int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
        std::string probe = dir + (dir.back() == '/' ? "" : "/") + ".write-test-XXXXXX";
        fd = ::mkostemp(probe.data(), O_CLOEXEC);
        if (fd >= 0) {
            ::unlink(probe.c_str());
        }
    }
    if (fd < 0) {
        m_writeError = errno;
        return false;
    }
    ::close(fd);
    return true;
}

void SingleInstance::Listen() {
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    socklen_t length = 0;
    const sockaddr_un address = AddressOf(m_address, length);
    if (m_listenFd < 0 ||
        ::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(m_listenFd, 8) != 0) {
        if (m_listenFd >= 0) {
            ::close(m_listenFd);
        }
        m_listenFd = -1;  // we still own the profile; we just cannot be handed paths
    }
}

SingleInstance::Role SingleInstance::Claim(const std::vector<std::string>& paths,
                                           const std::string& saveFolder) {
    if (!ProfileWritable()) {
        return Role::Unwritable;
    }
    const std::string lockPath =
        m_profileDir + (m_profileDir.empty() || m_profileDir.back() == '/' ? "" : "/") + ".lock";
    m_lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lockFd < 0) {
        m_writeError = errno;
        return Role::Unwritable;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) == 0) {
        Listen();
        return Role::Primary;
    }
    const HandOff handOff = HandOver(paths, saveFolder);
    if (handOff == HandOff::Refused && WaitForLock()) {
        Listen();
        return Role::Primary;
    }
    ::close(m_lockFd);
    m_lockFd = -1;
    return handOff == HandOff::Answered ? Role::HandedOff : Role::Failed;
}

SingleInstance::HandOff SingleInstance::HandOver(const std::vector<std::string>& paths,
                                                 const std::string& saveFolder) {
    std::string message;
    if (!saveFolder.empty()) {
        std::error_code ec;
        message +=
            std::string(kSaveLine) + std::filesystem::absolute(saveFolder, ec).string() + '\n';
    }
    std::vector<std::string> absolute;
    for (const std::string& path : paths) {
        std::error_code ec;
        if (IsMagnetLink(path)) {
            // A link goes as it is (it names no file), one line: a line break in it could only
            // have been escaped.
            std::string link;
            for (const char c : path) {
                link += c == '\n' ? "%0A" : c == '\r' ? "%0D" : std::string(1, c);
            }
            absolute.push_back(link);
        } else {
            absolute.push_back(std::filesystem::absolute(path, ec).string());
        }
        message += absolute.back() + '\n';
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return HandOff::Silent;
    }
    // A full backlog would otherwise hold connect() for as long as the running copy is busy.
    const timeval wait{kAnswerWaitMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    socklen_t length = 0;
    const sockaddr_un address = AddressOf(m_address, length);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int error = errno;
        ::close(fd);
        // Nobody listens: the copy holding the profile is ending (or never could listen).
        return error == EAGAIN || error == EINPROGRESS ? HandOff::Silent : HandOff::Refused;
    }
    std::string answer;
    const bool sent = SendAll(fd, message, kAnswerWaitMs) && ::shutdown(fd, SHUT_WR) == 0;
    const bool read = sent && ReadAll(fd, kAnswerWaitMs, answer);
    ::close(fd);
    if (sent && !read) {
        return HandOff::Silent;
    }
    const std::vector<std::string_view> lines = Lines(answer);
    if (!sent || lines.size() != absolute.size() + 1 || lines.back() != kDone) {
        return HandOff::Refused;
    }
    m_notListed.clear();
    for (size_t i = 0; i < absolute.size(); ++i) {
        if (lines[i] != kListed) {
            m_notListed.push_back(absolute[i]);
        }
    }
    return HandOff::Answered;
}

bool SingleInstance::WaitForLock() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEndWaitMs);
    while (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (MsLeft(deadline) == 0) {
            return false;
        }
        // The ending copy writes its lists and exits; flock has no timed wait to offer.
        ::poll(nullptr, 0, 50);
    }
    return true;
}

void SingleInstance::StopAccepting() {
    m_ending = true;
    Serve([](const HandedTorrent&) { return false; });
}

void SingleInstance::Serve(const std::function<bool(const HandedTorrent&)>& open,
                           const std::function<void()>& contacted) {
    if (m_listenFd < 0) {
        return;
    }
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            break;
        }
        // The socket's name can be found by anyone on the machine: only our own user may hand
        // us torrents.
        ucred peer{};
        socklen_t size = sizeof peer;
        if (m_ending || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != ::getuid()) {
            ::close(fd);  // no answer: an ending copy's caller runs by itself
            continue;
        }
        if (contacted) {
            contacted();
        }
        // The other copy writes its few lines and says it has finished; wait for that briefly.
        std::string text;
        if (!ReadAll(fd, kServeWaitMs, text)) {
            ::close(fd);
            continue;
        }
        std::string answer;
        std::string saveFolder;
        for (const std::string_view line : Lines(text)) {
            if (line.starts_with(kSaveLine)) {
                saveFolder = line.substr(kSaveLine.size());
            } else if (!line.empty()) {
                const HandedTorrent torrent{std::string(line), saveFolder};
                const bool absolute =
                    (torrent.path.starts_with('/') || IsMagnetLink(torrent.path)) &&
                    (saveFolder.empty() || saveFolder.starts_with('/'));
                answer += absolute && open(torrent) ? kListed : kNotListed;
                answer += '\n';
            }
        }
        answer += kDone;
        answer += '\n';
        if (!SendAll(fd, answer, kServeWaitMs)) {
            // The other copy gave up waiting; what was listed stays listed.
        }
        ::close(fd);
    }
}

}  // namespace velbrook
