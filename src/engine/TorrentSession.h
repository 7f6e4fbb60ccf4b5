// One torrent from the moment its metainfo is opened until it leaves the downloads list: its
// files, piece states, tracker announces, peers, counters and status file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "peer/PeerLinks.h"
#include "tracker/TrackerClient.h"

namespace velbrook {

class FileList;
class PeerSet;
class PieceManager;
class SessionHost;

enum class SessionState {
    Unknown = 0,
    Stopped = 1,
    ConnectTracker = 2,
    Downloading = 4,
    Uploading = 5,
    Paused = 6,
};

class TorrentSession : public SessionLink, public TrackerSessionLink {
public:
    explicit TorrentSession(SessionHost& host);
    ~TorrentSession() override;  // stops a running (or unknown) torrent first
    TorrentSession(const TorrentSession&) = delete;
    TorrentSession& operator=(const TorrentSession&) = delete;

    // Reads and decodes the metainfo (at most 64 MiB; refused layouts are refused here too).
    // With `expectedInfoHash`, a file holding another torrent is refused and nothing changes.
    bool Open(const std::string& path, const std::string& expectedInfoHash = {});
    // isNew: the person just added the torrent and is asked where to save it, unless a location
    // was given with SetSaveLocation.
    bool StartDownload(bool isNew);
    bool Stop();
    void Resume();
    // Where a new torrent goes without asking: a folder for a multi-file torrent; for a
    // single-file torrent the folder and the file name.
    void SetSaveLocation(const std::string& folder, const std::string& fileName = {});

    [[nodiscard]] bool SaveStatus();
    bool LoadStatus(bool piecesOnly);
    void DeleteStatus();
    std::string StatusPath() const;

    bool VerifyPieceOnDisk(uint32_t piece);
    void OnPieceVerified(uint32_t pieceLength);
    void RefreshProgress();
    uint64_t PercentDone() const;

    // SessionLink: what the connections need.
    PieceManager& Pieces() override { return *m_pieces; }
    bool IsRunning() const override { return m_peerSet != nullptr; }
    uint32_t PieceLength() const override;
    bool ReadBlock(uint32_t piece, uint32_t begin, uint32_t length, std::string& out) override;
    bool WriteBlock(uint32_t piece, uint32_t begin, std::string_view data) override;
    bool VerifyPiece(uint32_t piece) override;
    bool DownloadAllowed() const override;
    bool IsComplete() const override { return m_complete; }
    bool DownloadLimitReached(PeerConnection& connection) override;
    void RerunChoking() override;
    void NoteQueuedRequest(PeerConnection& connection) override;
    void AddDownloaded(uint32_t bytes) override;
    void AddUploaded(uint32_t bytes) override;
    void AdjustConnectedCount(int delta) override;
    void AdjustSeedCount(int delta) override;
    PeerConnection* FindPeer(const std::string& peerId) override;
    PeerConnection* CreatePeer(const std::string& peerId, const std::string& address, uint16_t port,
                               uint16_t listenPort) override;
    void ConnectPeer(PeerConnection& connection) override;
    std::string PeerExchangeEntries() override;
    bool RenamePeer(PeerConnection& connection, const std::string& peerId) override;
    void MergePeer(PeerConnection& dialled, PeerConnection& known) override;
    void CancelElsewhere(const BlockRequest& block, PeerConnection& from) override;
    void BanPeer(PeerConnection& connection) override;
    bool IsBanned(const std::string& peerId) const override;

    // TrackerSessionLink: what the tracker client needs.
    std::string AnnounceUrl() const override { return m_announceUrl; }
    const std::string& InfoHash() const override { return m_infoHash; }
    const std::string& OwnPeerId() const override;
    uint16_t ListenPort() const override;
    uint64_t Uploaded() const override { return m_uploaded; }
    uint64_t Downloaded() const override { return m_downloaded; }
    uint64_t Left() const override { return m_left; }
    void SetStatusText(const std::string& text) override;
    void SetTrackerCounts(int32_t seeds, int32_t peers) override;
    void AddTrackerPeer(const std::string& peerId, const std::string& address,
                        uint16_t port) override;
    void OnTrackerSuccess() override;

    // Read access for the list, the views and the headless client.
    SessionState State() const { return m_state; }
    const std::string& StatusText() const { return m_statusText; }
    const std::string& Name() const { return m_name; }
    void SetName(const std::string& name) { m_name = name; }
    const std::string& TorrentFile() const { return m_torrentFile; }
    const std::string& SavePath() const { return m_savePath; }
    const std::string& SaveName() const { return m_saveName; }
    const std::string& BaseName() const { return m_baseName; }
    uint64_t TotalLength() const { return m_totalLength; }
    bool HasPieces() const { return m_pieces != nullptr; }
    FileList* Files() const { return m_files.get(); }
    PeerSet* Peers() const { return m_peerSet.get(); }
    TrackerClient* Tracker() const { return m_tracker.get(); }
    int32_t TrackerSeeds() const { return m_trackerSeeds; }
    int32_t TrackerPeers() const { return m_trackerPeers; }
    int32_t ConnectedPeers() const;
    int32_t ConnectedSeeds() const;
    uint32_t DownloadRate() const;
    uint32_t UploadRate() const;
    bool IsSelected() const { return m_selected; }
    void SetSelected(bool selected) { m_selected = selected; }
    bool TakeChanged();  // reads and clears the changed flag

    // Fields read back from the downloads list.
    void Restore(const std::string& torrentFile, const std::string& savePath,
                 const std::string& saveName, const std::string& name, const std::string& baseName,
                 const std::string& infoHash, const std::string& announceUrl, uint64_t totalLength,
                 uint64_t left);

    // The tracker client is made through this (tests replace it).
    using TrackerFactory = std::function<std::unique_ptr<TrackerClient>(TrackerSessionLink&)>;
    void SetTrackerFactory(TrackerFactory factory) { m_trackerFactory = std::move(factory); }

    static size_t LiveCount();

private:
    void EnsureTracker();
    void CheckPieces();
    void MarkChanged();

    SessionHost& m_host;
    uint64_t m_totalLength = 0;
    uint64_t m_left = 0;
    std::string m_statusText;
    std::string m_torrentFile;
    std::string m_saveName;
    std::string m_savePath;
    std::string m_baseName;
    std::string m_name;
    int32_t m_trackerSeeds = 0;
    int32_t m_trackerPeers = 0;
    uint64_t m_uploaded = 0;
    uint64_t m_downloaded = 0;
    SessionState m_state = SessionState::Unknown;
    std::string m_infoHash;
    std::string m_announceUrl;
    std::unique_ptr<PeerSet> m_peerSet;
    std::unique_ptr<FileList> m_files;
    std::unique_ptr<PieceManager> m_pieces;
    bool m_complete = false;
    bool m_statusLoaded = false;
    std::unique_ptr<TrackerClient> m_tracker;
    bool m_selected = false;
    bool m_changed = false;
    // Set by SetSaveLocation: a new torrent then starts without asking.
    bool m_locationGiven = false;
    TrackerFactory m_trackerFactory;
    // Peers whose data failed the piece check too often; kept while the program runs.
    std::set<std::string> m_banned;
};

}  // namespace velbrook
