// A folder whose new .torrent files are added and started without anyone asked: each is then
// renamed NAME.torrent.added, or NAME.torrent.invalid when it cannot be added.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>

#include "net/Clock.h"
#include "net/ReactorSocket.h"

namespace velbrook {

class Reactor;

// inotify tells of files closed after writing and files moved in; a scan at start and every
// minute finds what it could not tell (network file systems, events lost to an overflow). Only
// regular files are read: a symbolic link is renamed .invalid without being followed, since
// whoever can write to the folder could point one at any file of ours.
//
// Never deleted while its notification may be running: its owner stops it (Stop) and hands it
// to Reactor::DeleteLater.
class WatchFolder : public ReactorSocket {
public:
    enum class Outcome {
        Added,   // listed and started
        Listed,  // the same torrent was in the list already
        InUse,   // listed, and reading this very file: it must keep its name
        Failed,  // `why` says why
    };
    // Adds the torrent whose file `path` held `bytes`, already decoded into a usable torrent
    // with `infoHash`.
    using AddTorrent = std::function<Outcome(const std::string& path, const std::string& bytes,
                                             const std::string& infoHash, std::string& why)>;
    // A line for the person: a file that could not be added, a folder that cannot be read.
    using Report = std::function<void(const std::string& line)>;

    static constexpr Duration kRescanPeriod = std::chrono::minutes(1);
    // A file found by a scan that cannot be read as a torrent and changed more recently than
    // this may still be being written: it is looked at again after this long.
    static constexpr Duration kSettleTime = std::chrono::seconds(5);
    // Files handled in one go before the loop gets on with other work.
    static constexpr size_t kFilesPerTurn = 16;
    // Names waiting to be handled; beyond them the folder is scanned again instead.
    static constexpr size_t kMaxPending = 256;

    WatchFolder(Clock& clock, std::string folder, AddTorrent add, Report report);
    ~WatchFolder() override;
    WatchFolder(const WatchFolder&) = delete;
    WatchFolder& operator=(const WatchFolder&) = delete;

    // Starts watching; the first scan runs from the loop, not from this call.
    void Start();
    // Nothing more is read, added or renamed, even by a turn under way.
    void Stop();
    // As the setting named it.
    const std::string& Folder() const { return m_folder; }

private:
    struct Seen {
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
    };

    void Dispatch(uint32_t epollEvents) override;
    void Detach() override;

    void OpenNotifications();
    void CloseNotifications();
    void AddWatch();
    void DropWatch();
    void ReadEvents();
    void Scan();
    void Queue(const std::string& name, bool scanned);
    // Handles up to kFilesPerTurn waiting names, and arranges for the rest.
    void Turn();
    void Handle(const std::string& name, bool scanned);
    // Renames the file to NAME.torrent + `suffix`, under a free name: nothing is written over.
    // The new name, or empty (the person told) when it stays as it is.
    std::string SetAside(const std::string& name, const struct stat& st, const std::string& suffix);
    bool RenameFree(const std::string& name, const std::string& suffix, std::string& renamed);
    void Remember(const std::string& name, const struct stat& st);

    Clock& m_clock;
    std::string m_folder;
    std::string m_path;  // m_folder ending in "/"
    AddTorrent m_add;
    Report m_report;
    bool m_stopped = false;

    int m_fd = -1;  // the inotify descriptor
    int m_watch = -1;
    Reactor* m_reactor = nullptr;
    uint64_t m_key = 0;

    // Name -> found by a scan (true) or told by inotify (false).
    std::map<std::string, bool> m_pending;
    // Files that could not be renamed, skipped until they change.
    std::map<std::string, Seen> m_stuck;
    bool m_scanDue = false;
    bool m_listingCut = false;
    bool m_progress = false;
    bool m_unreadableTold = false;
    Timer m_rescan;
    Timer m_soon;
    Timer m_settle;
};

}  // namespace velbrook
