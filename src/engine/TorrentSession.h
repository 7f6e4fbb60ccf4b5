// One torrent from the moment its metainfo is opened until it leaves the downloads list: its
// files, piece states, tracker announces, peers, counters and status file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dht/Dht.h"
#include "engine/BanList.h"
#include "engine/MetadataFetch.h"
#include "metainfo/MagnetLink.h"
#include "net/Reactor.h"
#include "peer/PeerLinks.h"
#include "storage/FileStorage.h"
#include "tracker/TrackerClient.h"

namespace velbrook {

class FileList;
class FileStorage;
class PeerSet;
class PieceManager;
class SessionHost;

enum class SessionState {
    Unknown = 0,
    Stopped = 1,
    ConnectTracker = 2,
    Checking = 3,  // the data on disk is being checked before the torrent starts
    Downloading = 4,
    Uploading = 5,
    Paused = 6,
    // A new torrent waits for the person: where to save it, or whether to use files that are
    // there already. Nothing else waits with it.
    Waiting = 7,
    // Opened from a magnet link: its metadata is being fetched from peers.
    FetchingMetadata = 8,
};

class TorrentSession : public TorrentLink, public TrackerSessionLink, public MetadataLink {
public:
    explicit TorrentSession(SessionHost& host);
    ~TorrentSession() override;  // stops a running (or unknown) torrent first
    TorrentSession(const TorrentSession&) = delete;
    TorrentSession& operator=(const TorrentSession&) = delete;

    // Reads and decodes the metainfo (at most 64 MiB; refused layouts are refused here too).
    // With `expectedInfoHash`, a file holding another torrent is refused and nothing changes.
    // On failure `OpenError` says why.
    bool Open(const std::string& path, const std::string& expectedInfoHash = {});
    const std::string& OpenError() const { return m_openError; }
    // A torrent known by a magnet link alone, named by its display name (else its info hash in
    // hex), stopped. Starting it fetches its metadata from peers. On failure `OpenError` says
    // why and nothing changes.
    bool OpenMagnet(const std::string& link);
    // The link, while the metadata has not arrived; empty otherwise.
    const std::string& MagnetText() const { return m_magnet; }
    // It runs, or ran until a program holding it began to exit: the headless client's --resume
    // starts it again, and a magnet link's metadata fetch resumes at every start of a program.
    // A stop for any other reason clears it.
    bool RunsOnRestart() const { return IsActive() || m_runOnRestart; }
    // Why its last start was refused (its folder gone, its .torrent file missing), until it
    // starts or is stopped. The status text says so too, until a tracker's answer overwrites it.
    const std::string& StartRefusal() const { return m_startRefusal; }
    void KeepRunningOnRestart() { m_runOnRestart = true; }
    // How the start of a new torrent ended: it runs (or checks its data first), it could not
    // start (the reason in the status text), or the person cancelled it.
    enum class StartOutcome { Started, Failed, Cancelled };
    using StartDone = std::function<void(StartOutcome)>;

    // isNew: the person just added the torrent and is asked where to save it, unless a location
    // was given with SetSaveLocation, and whether files already there may be used. Meanwhile the
    // torrent waits alone (state Waiting). `done` learns how a new torrent's start ended,
    // exactly once, perhaps before this returns: it may remove the torrent, so nothing of the
    // session is touched after it. A session stopped or destroyed while it waits never calls it.
    // Data on disk that needs checking is checked a few pieces per loop turn (state Checking)
    // before the torrent connects. False, with the state and progress as they were and the
    // reason in the status text, when it cannot start (or, for a new torrent, was cancelled);
    // true when it started or waits for an answer.
    bool StartDownload(bool isNew, StartDone done = {});
    bool Stop();
    void Resume();
    // Where a new torrent goes without asking: a folder for a multi-file torrent; for a
    // single-file torrent the folder and the file name.
    void SetSaveLocation(const std::string& folder, const std::string& fileName = {});
    // A listed torrent's data is now in another folder: it is checked there at the next start.
    void MoveTo(const std::string& folder);

    // Writes the status file. False when it cannot: the torrent has then stopped, saying why,
    // unless the process was only short of descriptors for a moment (the next tick tries again).
    bool SaveStatus();
    // The save tick: the files must still be there (else the torrent stops, see
    // FilesStillThere), and the status file is written when the pieces changed since it was.
    void SaveStatusIfChanged();
    bool LoadStatus(bool piecesOnly);
    void DeleteStatus();
    std::string StatusPath() const;
    // The status file could not be read when the list was loaded: all data is checked at start.
    void MarkStatusUnreadable(const std::string& why);

    bool VerifyPieceOnDisk(uint32_t piece);
    void OnPieceVerified(uint32_t pieceLength);
    void RefreshProgress();
    uint64_t PercentDone() const;
    // Stopped by a fault it cannot get past by itself (disk full, a file that cannot be written,
    // a status file that cannot be saved): the reason, also in the status text. Cleared by the
    // next start.
    const std::string& Error() const { return m_error; }

    // TorrentLink: the data its peers' connections need.
    bool HasMetadata() const override { return m_magnet.empty(); }
    MetadataLink* Metadata() override { return this; }
    PieceManager& Pieces() override;
    bool ReadBlock(uint32_t piece, uint32_t begin, uint32_t length, std::string& out) override;
    bool WriteBlock(uint32_t piece, uint32_t begin, std::string_view data) override;
    bool VerifyPiece(uint32_t piece) override;
    bool DownloadAllowed() const override;
    bool IsComplete() const override { return m_complete; }
    void AddDownloaded(uint32_t bytes) override;
    void AddUploaded(uint32_t bytes) override;
    void PeersChanged() override { MarkChanged(); }

    // MetadataLink: the info dictionary, served and (for a magnet link) fetched.
    std::string_view InfoDictionary() const override { return m_infoDictionary; }
    [[nodiscard]] bool OfferMetadata(PeerConnection& peer, uint64_t size) override;
    std::optional<uint32_t> NextMetadataPiece(PeerConnection& peer) override;
    [[nodiscard]] bool OnMetadataPiece(PeerConnection& peer, uint32_t piece, uint64_t totalSize,
                                       std::string_view data) override;
    void OnMetadataRefused(PeerConnection& peer, uint32_t piece) override;
    void OnMetadataPeerGone(PeerConnection& peer) override;
    // The fetch in progress (null once the metadata is here), for the views and tests.
    const MetadataFetch* Fetch() const { return m_fetch.get(); }

    // TrackerSessionLink: what the tracker client needs.
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
    // Started: neither stopped nor never opened.
    bool IsActive() const {
        return m_state != SessionState::Stopped && m_state != SessionState::Unknown;
    }
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
    FileStorage* Storage() const { return m_storage.get(); }
    PeerSet* Peers() const { return m_peerSet.get(); }
    TrackerClient* Tracker() const { return m_tracker.get(); }
    // The first tracker named: what the status file and the downloads list keep.
    const std::string& AnnounceUrl() const { return m_announceUrl; }
    // Every tracker, tier by tier, in the order the torrent names them (empty until opened).
    const AnnounceTiers& TrackerTiers() const { return m_trackerTiers; }
    // Peers come from the trackers alone.
    bool IsPrivate() const { return m_private; }
    // A running public torrent looks up its peers in the DHT when it starts and every 15
    // minutes, announcing itself each time (nodes keep an announce for 30 minutes). Called
    // whenever the peer set or the node comes or goes; a private torrent never looks.
    void FollowDht();
    static constexpr Duration kDhtLookupPeriod = std::chrono::minutes(15);
    int32_t TrackerSeeds() const { return m_trackerSeeds; }
    int32_t TrackerPeers() const { return m_trackerPeers; }
    // The list's floor under the tracker's counts: we see at least the peers we reach. Drawing
    // the row that shows them does not ask for another redraw.
    void RaiseTrackerCounts(int32_t seeds, int32_t peers) {
        m_trackerSeeds = std::max(m_trackerSeeds, seeds);
        m_trackerPeers = std::max(m_trackerPeers, peers);
    }
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

private:
    // What a torrent that has nothing tells its trackers it has left while its size is unknown:
    // not 0, which would make it a seed that is sent no seeds.
    static constexpr uint64_t kUnknownLeft = 16384;

    void StartFetch();
    void StopFetch();
    // The dictionary checked out: it is saved as a .torrent, and the torrent goes on from it.
    void OnMetadataVerified();
    // Forgets the peers the fetch proved to have lied; true when `current` is among them.
    bool DropCulprits(const PeerConnection* current);
    // Writes the .torrent of a verified dictionary under Torrents/, durably; its path, or empty
    // with `why` filled.
    std::string SaveMetainfo(const std::string& dictionary, std::string& why) const;
    bool HasTrackers() const { return !m_trackerTiers.empty() || !m_announceUrl.empty(); }
    void EnsureTracker();
    void MarkChanged();
    // The halves of a start: asking the person (new torrents only), then the checks of the save
    // folder, then preparing the files and the pieces.
    void AskLocation();
    void OnLocationChosen(std::optional<std::string> chosen);
    void UseLocation();
    bool ContinueStart(bool isNew);
    bool PrepareAndCheck(bool isNew, bool existed);
    void Wait(const std::string& forWhat);
    bool RefuseStart(const std::string& why);
    bool CancelStart();
    bool EndNewStart(StartOutcome outcome);
    void ChoosePiecesToCheck(bool isNew, bool existed, const std::vector<FileStamp>& before);
    void DistrustChangedFiles(const std::vector<FileStamp>& before);
    // Looks for `count` files, from where the last look stopped.
    bool FilesStillThere(size_t count);
    // The pieces of `file` that were taken as verified are to be checked again; the lowest goes
    // to `lowest`. Returns how many.
    uint32_t UntrustPiecesOf(size_t file, uint32_t& lowest);
    void RecheckFilesOf(uint32_t piece);
    void BeginCheck(bool thenStart);
    void CheckSome();
    void EndCheck();
    void EndCheckTimer();
    void FinishStart();
    void LookUpDht();
    // `transient`: it failed only for want of a descriptor.
    bool WriteStatus(std::string& why, bool& transient);
    void StopWithError(const std::string& text);
    void OnDiskFault(const std::string& what);

    SessionHost& m_host;
    uint64_t m_totalLength = 0;
    uint64_t m_left = 0;
    std::string m_statusText;
    std::string m_openError;
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
    AnnounceTiers m_trackerTiers;
    bool m_private = false;
    std::unique_ptr<PeerSet> m_peerSet;
    std::unique_ptr<FileList> m_files;
    std::unique_ptr<FileStorage> m_storage;  // while the torrent is started
    std::unique_ptr<PieceManager> m_pieces;
    bool m_complete = false;
    bool m_statusLoaded = false;
    std::unique_ptr<TrackerClient> m_tracker;
    bool m_selected = false;
    bool m_changed = false;
    // Set by SetSaveLocation: a new torrent then starts without asking.
    bool m_locationGiven = false;
    // What a start that fails or is cancelled goes back to.
    SessionState m_stateBeforeStart = SessionState::Stopped;
    uint64_t m_leftBeforeStart = 0;
    // The caller of a new torrent's start, waiting for how it ends; and what StartDownload
    // returns once an answer that came at once has ended it (read after the session may be gone).
    StartDone m_startDone;
    std::shared_ptr<std::optional<bool>> m_startSettled;
    // Addresses of peers whose data failed the piece check too often; kept while the program
    // runs, whatever becomes of the set of peers.
    BanList m_bans;
    std::string m_error;
    bool m_statusDirty = false;  // pieces changed since the status file was written
    // Each file's length and modification time as the status file last saw them; empty when
    // it did not say.
    std::vector<FileStamp> m_stamps;
    size_t m_nextFileToFind = 0;  // where the save tick's look for the files goes on
    bool m_recheckAll = false;    // the status cannot vouch for the data (moved, unreadable)
    // The check of data on disk that runs a few pieces per loop turn.
    Timer m_checkTimer;
    bool m_checkThenStart = false;
    uint32_t m_checkNext = 0;
    uint32_t m_checkTotal = 0;
    uint32_t m_checkDone = 0;
    // The magnet link while the metadata is missing, its peers, the fetch, and the raw info
    // dictionary as hashed (for every torrent that has it).
    std::string m_magnet;
    std::vector<MagnetPeer> m_magnetPeers;
    std::unique_ptr<MetadataFetch> m_fetch;
    bool m_runOnRestart = false;
    std::string m_startRefusal;
    std::string m_infoDictionary;
    // Peers that were connected when the metadata arrived, dialled again once the torrent runs.
    std::vector<std::pair<std::string, uint16_t>> m_redial;
    // The DHT lookup under way (or the last one) and the timer that repeats it.
    std::unique_ptr<DhtSearch> m_dhtSearch;
    Timer m_dhtTimer;
    // What Pieces() shows while there are none.
    std::unique_ptr<PieceManager> m_noPieces;
    // Lets a queued call learn whether this session still exists.
    Liveness m_liveness;
};

}  // namespace velbrook
