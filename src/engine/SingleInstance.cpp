#include "engine/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "metainfo/SHA1.h"

namespace velbrook {

namespace {

// Paths handed over are bounded: one line each, at most this many bytes in all. Paths are
// absolute, so a line that does not start with "/" can only be a save folder for the paths that
// follow it.
constexpr size_t kMaxHandOff = 1 << 20;
constexpr std::string_view kSaveLine = "save=";

sockaddr_un AddressOf(const std::string& name, socklen_t& length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Abstract namespace: no file to go stale, no limit from the profile path's length.
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

}  // namespace

SingleInstance::SingleInstance(const std::string& profileDir) : m_profileDir(profileDir) {
    std::error_code ec;
    const std::string canonical = std::filesystem::weakly_canonical(profileDir, ec).string();
    m_address = "velbrook-" + BytesToHex(SHA1::Digest(canonical)).substr(0, 24);
}

SingleInstance::~SingleInstance() {
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
    }
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
    }
}

SingleInstance::Role SingleInstance::Claim(const std::vector<std::string>& paths,
                                           const std::string& saveFolder) {
    const std::string lockPath =
        m_profileDir + (m_profileDir.empty() || m_profileDir.back() == '/' ? "" : "/") + ".lock";
    m_lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lockFd < 0) {
        return Role::Failed;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) == 0) {
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
        return Role::Primary;
    }
    ::close(m_lockFd);
    m_lockFd = -1;

    std::string message;
    if (!saveFolder.empty()) {
        std::error_code ec;
        message +=
            std::string(kSaveLine) + std::filesystem::absolute(saveFolder, ec).string() + '\n';
    }
    for (const std::string& path : paths) {
        std::error_code ec;
        message += std::filesystem::absolute(path, ec).string();
        message += '\n';
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    socklen_t length = 0;
    const sockaddr_un address = AddressOf(m_address, length);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return Role::Failed;
    }
    size_t sent = 0;
    while (sent < message.size()) {
        const ssize_t n = ::send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::close(fd);
            return Role::Failed;
        }
        sent += static_cast<size_t>(n);
    }
    ::close(fd);
    return Role::HandedOff;
}

std::vector<HandedTorrent> SingleInstance::TakeHanded(bool* contacted) {
    std::vector<HandedTorrent> paths;
    if (m_listenFd < 0) {
        return paths;
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
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != ::getuid()) {
            ::close(fd);
            continue;
        }
        if (contacted) {
            *contacted = true;
        }
        // The other copy writes its few lines and closes at once; wait for that briefly only.
        std::string text;
        char buffer[4096];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) != 1) {
                break;
            }
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0 || text.size() + static_cast<size_t>(n) > kMaxHandOff) {
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
        }
        ::close(fd);
        std::string saveFolder;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            const std::string line = text.substr(start, end - start);
            if (line.rfind(kSaveLine, 0) == 0) {
                saveFolder = line.substr(kSaveLine.size());
            } else if (!line.empty()) {
                paths.push_back({line, saveFolder});
            }
            start = end + 1;
        }
    }
    return paths;
}

}  // namespace velbrook
