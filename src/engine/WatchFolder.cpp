#include "engine/WatchFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"
#include "metainfo/TorrentFile.h"
#include "net/Reactor.h"
#include "persist/PrintableText.h"
#include "persist/Profile.h"

namespace velbrook {

namespace {

constexpr std::string_view kTorrentExtension = ".torrent";
// A burst of events is read this many buffers at a time; the loop comes back for the rest.
constexpr int kReadsPerWakeup = 64;
// Free names tried for a renamed file before it is left where it is.
constexpr int kRenameAttempts = 100;
constexpr size_t kMaxStuck = 1024;

// NAME.torrent, in any case; a bare ".torrent" is nobody's torrent.
bool IsTorrentName(const std::string& name) {
    if (name.size() <= kTorrentExtension.size()) {
        return false;
    }
    return std::equal(
        kTorrentExtension.begin(), kTorrentExtension.end(),
        name.end() - static_cast<std::ptrdiff_t>(kTorrentExtension.size()),
        [](char want, char got) { return want == std::tolower(static_cast<unsigned char>(got)); });
}

// Written to within kSettleTime of now, by the wall clock the file system stamps with. A time in
// the future is no sign of a writer at work, and would otherwise defer the file for ever.
bool RecentlyChanged(const struct stat& st) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto age = std::chrono::seconds(now.tv_sec - st.st_mtim.tv_sec) +
                     std::chrono::nanoseconds(now.tv_nsec - st.st_mtim.tv_nsec);
    return age >= Duration::zero() && age < WatchFolder::kSettleTime;
}

// rename(2) that never replaces `to`. Where the file system cannot promise that, a look first
// narrows the window to whoever else writes the same name at the same moment.
int RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    struct stat there {};
    if (::lstat(to.c_str(), &there) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

}  // namespace

WatchFolder::WatchFolder(Clock& clock, std::string folder, AddTorrent add, Report report)
    : m_clock(clock), m_folder(std::move(folder)), m_path(WithSlash(m_folder)),
      m_add(std::move(add)), m_report(std::move(report)) {}

WatchFolder::~WatchFolder() {
    Stop();
}

void WatchFolder::Start() {
    OpenNotifications();
    m_rescan = m_clock.Every(kRescanPeriod, [this] { Scan(); });
    m_soon = m_clock.After(Duration::zero(), [this] { Scan(); });
}

void WatchFolder::Stop() {
    m_stopped = true;
    m_rescan.Stop();
    m_soon.Stop();
    m_settle.Stop();
    CloseNotifications();
    m_pending.clear();
}

void WatchFolder::OpenNotifications() {
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        // Out of inotify instances: the minute's scans still find everything, only later.
        m_report("The watch folder " + PrintableLine(m_folder) +
                 " is looked at once a minute only: " + std::strerror(errno));
        return;
    }
    m_reactor = &Reactor::Get();
    m_key = m_reactor->Register(this);
    m_reactor->UpdateInterest(m_key, m_fd, EPOLLIN, false);
    AddWatch();
}

void WatchFolder::CloseNotifications() {
    if (m_fd < 0) {
        return;
    }
    if (m_reactor) {
        m_reactor->UpdateInterest(m_key, m_fd, 0, true);
        m_reactor->Unregister(m_key);
    }
    ::close(m_fd);
    m_fd = -1;
    m_watch = -1;
    m_reactor = nullptr;
    m_key = 0;
}

void WatchFolder::Detach() {
    m_reactor = nullptr;
    m_key = 0;
}

void WatchFolder::AddWatch() {
    // A folder that is missing now is watched once a scan finds it again.
    m_watch = ::inotify_add_watch(m_fd, m_folder.c_str(),
                                  IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                      IN_ONLYDIR | IN_EXCL_UNLINK);
}

void WatchFolder::DropWatch() {
    if (m_watch >= 0) {
        ::inotify_rm_watch(m_fd, m_watch);  // EINVAL once the kernel has dropped it itself
        m_watch = -1;
    }
}

void WatchFolder::Dispatch(uint32_t epollEvents) {
    if (epollEvents & (EPOLLIN | EPOLLERR)) {
        ReadEvents();
        Turn();
    }
}

void WatchFolder::ReadEvents() {
    alignas(inotify_event) char buffer[16384];
    for (int reads = 0; m_fd >= 0 && reads < kReadsPerWakeup; ++reads) {
        const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;  // EAGAIN: everything is read
        }
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                m_scanDue = true;  // events were lost; only a scan knows what they said
                continue;
            }
            if (event->wd != m_watch || m_watch < 0) {
                continue;  // the last words of a watch already dropped
            }
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                // Gone, or moved away with the watch on it: the path decides from now on.
                DropWatch();
                m_scanDue = true;
                continue;
            }
            if ((event->mask & IN_ISDIR) || event->len == 0) {
                continue;
            }
            const std::string name(event->name, ::strnlen(event->name, event->len));
            if (IsTorrentName(name)) {
                Queue(name, false);
            }
        }
    }
}

void WatchFolder::Queue(const std::string& name, bool scanned) {
    const auto waiting = m_pending.find(name);
    if (waiting != m_pending.end()) {
        // Closed after writing outweighs found by a scan: the file is whole now.
        waiting->second = waiting->second && scanned;
        return;
    }
    if (m_pending.size() >= kMaxPending) {
        m_scanDue = true;
        return;
    }
    m_pending.emplace(name, scanned);
}

void WatchFolder::Scan() {
    m_scanDue = false;
    if (m_stopped) {
        return;
    }
    if (m_fd >= 0 && m_watch < 0) {
        AddWatch();
    }
    DIR* dir = ::opendir(m_folder.c_str());
    if (!dir) {
        // Said once, until the folder can be read again: a scan a minute is no busy loop, but
        // a message a minute would be.
        if (!m_unreadableTold) {
            m_unreadableTold = true;
            m_report("The watch folder " + PrintableLine(m_folder) + " cannot be read: " +
                     std::strerror(errno) + ". It is looked at again every minute.");
        }
        return;
    }
    m_unreadableTold = false;
    m_listingCut = false;
    m_progress = false;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!IsTorrentName(name)) {
            continue;
        }
        if (m_pending.size() >= kMaxPending && !m_pending.count(name)) {
            m_listingCut = true;
            break;
        }
        Queue(name, true);
    }
    ::closedir(dir);
    Turn();
}

void WatchFolder::Turn() {
    for (size_t handled = 0; !m_stopped && !m_pending.empty() && handled < kFilesPerTurn;
         ++handled) {
        const auto first = m_pending.begin();
        const std::string name = first->first;
        const bool scanned = first->second;
        m_pending.erase(first);
        Handle(name, scanned);
    }
    if (m_stopped) {
        return;
    }
    if (!m_pending.empty()) {
        m_soon = m_clock.After(std::chrono::milliseconds(1), [this] { Turn(); });
        return;
    }
    // A listing cut short is taken up again at once only while it gets somewhere: files that
    // stay where they are would otherwise be listed again and again.
    if (m_listingCut && m_progress) {
        m_scanDue = true;
    }
    m_listingCut = false;
    if (m_scanDue) {
        m_soon = m_clock.After(std::chrono::milliseconds(1), [this] { Scan(); });
    }
}

void WatchFolder::Handle(const std::string& name, bool scanned) {
    const std::string path = m_path + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return;  // gone already, or a folder that merely has the name
    }
    if (const auto stuck = m_stuck.find(name); stuck != m_stuck.end()) {
        const Seen& seen = stuck->second;
        if (seen.inode == st.st_ino && seen.size == st.st_size &&
            seen.modified.tv_sec == st.st_mtim.tv_sec &&
            seen.modified.tv_nsec == st.st_mtim.tv_nsec) {
            return;
        }
        m_stuck.erase(stuck);
    }
    std::string reason;
    std::string bytes;
    std::string infoHash;
    if (S_ISLNK(st.st_mode)) {
        reason = "it is a symbolic link, and only regular files are read";
    } else if (!S_ISREG(st.st_mode)) {
        reason = "it is not a regular file";
    } else if (!ReadFileLimited(path, kMaxTorrentFileSize, bytes, reason)) {
        // `reason` says why.
    } else {
        KeyPathMap map;
        FileList files;
        if (!map.Decode(bytes)) {
            reason = "it is not a torrent file";
        } else if (!files.FromKeyPathMap(map)) {
            reason = "not a usable torrent: " + files.RefusalReason();
        } else if (!map.GetString("__InfoHash__", infoHash)) {
            reason = "it has no info dictionary";
        }
        if (!reason.empty() && scanned && RecentlyChanged(st)) {
            // Most likely still being copied in; inotify will tell when it is closed, and
            // where it cannot, the file is looked at again shortly.
            if (!m_settle.IsActive()) {
                m_settle = m_clock.After(kSettleTime, [this] { Scan(); });
            }
            return;
        }
    }
    if (!reason.empty()) {
        const std::string renamed = SetAside(name, st, ".invalid");
        m_report(PrintableLine(path) + " could not be added from the watch folder: " + reason +
                 (renamed.empty() ? "." : "; it is now named " + PrintableLine(renamed) + "."));
        return;
    }
    std::string why;
    const Outcome outcome = m_add(path, bytes, infoHash, why);
    if (outcome == Outcome::InUse) {
        Remember(name, st);
        return;
    }
    if (outcome == Outcome::Failed) {
        const std::string renamed = SetAside(name, st, ".invalid");
        m_report(PrintableLine(path) + " could not be added from the watch folder: " + why +
                 (renamed.empty() ? "." : "; it is now named " + PrintableLine(renamed) + "."));
        return;
    }
    // A torrent that is listed already is what the file asked for: it is marked done like any
    // other, so that it is not read again at every scan.
    SetAside(name, st, ".added");
}

std::string WatchFolder::SetAside(const std::string& name, const struct stat& st,
                                  const std::string& suffix) {
    std::string renamed;
    if (RenameFree(name, suffix, renamed)) {
        m_progress = true;
        return renamed;
    }
    const int error = errno;
    Remember(name, st);
    m_report(PrintableLine(m_path + name) + " could not be renamed to end in " + suffix + ": " +
             std::strerror(error) + ". It is read again only once it changes.");
    return {};
}

bool WatchFolder::RenameFree(const std::string& name, const std::string& suffix,
                             std::string& renamed) {
    const size_t split = name.size() - kTorrentExtension.size();
    const std::string stem = name.substr(0, split);
    const std::string extension = name.substr(split);
    for (int attempt = 1; attempt <= kRenameAttempts; ++attempt) {
        // An earlier file of the same name keeps its marked name: NAME-2.torrent.added, ...
        const std::string candidate =
            attempt == 1 ? name + suffix
                         : stem + "-" + std::to_string(attempt) + extension + suffix;
        if (RenameNoReplace(m_path + name, m_path + candidate) == 0) {
            renamed = candidate;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

void WatchFolder::Remember(const std::string& name, const struct stat& st) {
    if (m_stuck.size() >= kMaxStuck) {
        m_stuck.clear();  // each is said once more, at worst
    }
    m_stuck[name] = Seen{st.st_ino, st.st_size, st.st_mtim};
}

}  // namespace velbrook
