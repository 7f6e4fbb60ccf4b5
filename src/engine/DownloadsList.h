// Every torrent the person has added, in display order, kept in Downloads.xml; refuses a second
// torrent with the same info hash and refreshes the shown torrent every 3 seconds.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/Clock.h"

namespace velbrook {

class SessionHost;
class TorrentSession;

class DownloadsList {
public:
    static constexpr size_t kNoneShown = 0x7FFFFFFF;

    // Starts the 3-second refresh timer on the host's clock.
    explicit DownloadsList(SessionHost& host);
    ~DownloadsList();  // destroys every session (running ones stop first)
    DownloadsList(const DownloadsList&) = delete;
    DownloadsList& operator=(const DownloadsList&) = delete;

    // Downloads.xml. Load: every listed torrent becomes a session with its status file read, and
    // `path` becomes the list's file. A file that is there but cannot be read as a list (no
    // permission, truncated, not XML) is renamed to "<path>.unreadable-<date>-<time>" (never
    // over an earlier one) and the person is told; when even that fails, the file is left as it
    // is and every save to it fails. True when the file was read as a list; false with an empty
    // list otherwise (an absent file is not reported).
    bool Load(const std::string& path);
    [[nodiscard]] bool Save(const std::string& path) const;
    // Writes the list to its file (nothing to do before Load gave it one). A failure is shown to
    // the person as well as returned.
    bool SaveList() const;

    // Adds unless the info hash is listed (then "Same infohash, ..." is shown and the session is
    // destroyed). The position of the new session goes to `index` when given.
    bool Add(std::unique_ptr<TorrentSession> session, size_t* index = nullptr);
    // Constructs, names and opens a session for a .torrent file and adds it; the new torrent
    // becomes the shown one. The session (or null) goes to `added`; why the file could not be
    // opened goes to `openError` (a refused duplicate has said so itself).
    bool AddNew(const std::string& name, const std::string& torrentFile,
                TorrentSession** added = nullptr, std::string* openError = nullptr);
    TorrentSession* FindByInfoHash(std::string_view infoHash) const;
    // Removes, destroys (stopping a running torrent first) and deletes the status file; the
    // shorter list is saved at once.
    void RemoveByInfoHash(std::string_view infoHash);
    void RemoveSelected();

    void Select(size_t index);
    void ClearSelection();
    void StartSelected();
    void StopSelected();
    void ResumeSelected();

    void RefreshShown();
    // Writes the status file of every running torrent whose pieces changed since it was last
    // written (the 3-second tick does this).
    void SaveProgress();
    // The 3-second tick.
    void Tick();
    size_t Shown() const { return m_shown; }
    void SetShown(size_t index) { m_shown = index; }

    const std::vector<std::unique_ptr<TorrentSession>>& Sessions() const { return m_sessions; }
    void MarkListChanged() { m_listChanged = true; }
    // Reads and clears the flag, for the list view.
    bool TakeListChanged();

private:
    // Takes the session out of the list, destroys it and deletes its status file.
    void RemoveAt(size_t index);

    SessionHost& m_host;
    std::string m_path;
    // The file could be neither read nor moved aside: this run must never write over it.
    bool m_keepFile = false;
    bool m_listChanged = false;
    std::vector<std::unique_ptr<TorrentSession>> m_sessions;
    std::map<std::string, TorrentSession*, std::less<>> m_byInfoHash;
    Timer m_refreshTimer;
    size_t m_shown = kNoneShown;
};

}  // namespace velbrook
