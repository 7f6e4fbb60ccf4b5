#include "engine/TorrentSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/LayerSettings.h"
#include "engine/PeerSet.h"
#include "engine/SessionHost.h"
#include "engine/StatusFile.h"
#include "engine/UiHost.h"
#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"
#include "metainfo/SHA1.h"
#include "metainfo/TorrentFile.h"
#include "metainfo/Trackers.h"
#include "net/Reactor.h"
#include "peer/PeerConnection.h"
#include "persist/CXML.h"
#include "persist/DurableFile.h"
#include "persist/Profile.h"
#include "persist/Settings.h"
#include "storage/FileStorage.h"
#include "storage/PieceManager.h"

namespace velbrook {

namespace {

constexpr char kAllocateError[] = "Allocate Disk error! Stop downloading.....";
constexpr char kExistedQuestion[] = "File Existed!...\nDo checking and continue downloading?";

// A check of data on disk works this long per loop turn, so other torrents keep transferring at
// speed (a socket is read once a turn) and a signal is noticed promptly.
constexpr auto kCheckSlice = std::chrono::milliseconds(5);
constexpr auto kCheckPeriod = std::chrono::milliseconds(1);

// Files looked for at each save tick, in turn: one stat each, a few milliseconds for this many,
// so that a torrent of many thousand files does not stall the loop every tick.
constexpr size_t kFilesFoundPerTick = 1000;

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A status file is ours, but it sits in a folder anyone can edit: its lengths must describe a
// piece record that fits in memory before one is built from them.
bool PlausibleLayout(int64_t total, int64_t pieceLength) {
    constexpr int64_t kMaxPieces = int64_t{64} << 20;  // far beyond any 64 MiB metainfo
    return total > 0 && pieceLength > 0 && pieceLength <= FileList::kMaxPieceLength &&
           (total - 1) / pieceLength < kMaxPieces;
}

}  // namespace

TorrentSession::TorrentSession(SessionHost& host) : m_host(host) {}

TorrentSession::~TorrentSession() {
    // A torrent that never got as far as Stopped (its status could not be read, or it is a
    // refused duplicate) has nothing to save: writing its status here would overwrite the file
    // of the listed torrent with the same info hash.
    if (IsActive()) {
        Stop();
    }
    EndCheckTimer();
    m_tracker.reset();
    m_peerSet.reset();
    FollowDht();
    m_storage.reset();
    m_pieces.reset();
    m_files.reset();
}

// Whatever the views show of this torrent changed: both flags are set, and a redraw is asked
// for (the front end folds a burst of these into one).
void TorrentSession::MarkChanged() {
    m_changed = true;
    m_host.MarkListChanged();
    m_host.Ui().PostUpdateAllViews();
}

bool TorrentSession::TakeChanged() {
    const bool changed = m_changed;
    m_changed = false;
    return changed;
}

void TorrentSession::EnsureTracker() {
    if (!m_tracker) {
        // A torrent known only from its status file has not been read yet: it has its one URL.
        const AnnounceTiers tiers =
            m_trackerTiers.empty() ? AnnounceTiers{{m_announceUrl}} : m_trackerTiers;
        m_tracker = std::make_unique<TrackerClient>(*this, m_host.GetClock(),
                                                    AnnounceSettingsFrom(m_host.CurrentSettings()),
                                                    tiers, &m_host.UdpTrackers());
    }
}

// ---- opening and starting ----

bool TorrentSession::Open(const std::string& path, const std::string& expectedInfoHash) {
    m_torrentFile = path;
    KeyPathMap map;
    auto files = std::make_unique<FileList>();
    std::string error;
    std::string infoDictionary;
    if (!LoadTorrentFile(path, map, *files, error, &infoDictionary)) {
        m_openError = error;
        m_host.Trace("Can't open file " + path + ": " + error + "\r\n");
        return false;
    }
    std::string infoHash;
    TrackerList trackers = ReadTrackerList(map);
    if (!map.GetString("__InfoHash__", infoHash)) {
        m_openError = "it has no info dictionary";
        return false;
    }
    // The metadata of a magnet link without trackers is saved without them: its peers come
    // from elsewhere. Any other torrent must name a tracker.
    const std::string ownCopy = m_host.ProfileDir() + "Torrents/" + BytesToHex(infoHash);
    const bool fromMagnet = path.rfind(ownCopy, 0) == 0;
    if (trackers.tiers.empty() && !fromMagnet) {
        m_openError = "it names no tracker (\"announce\")";
        return false;
    }
    // Checked before anything is replaced: a listed torrent whose file now holds another
    // torrent would have that torrent's layout laid over its folder.
    if (!expectedInfoHash.empty() && infoHash != expectedInfoHash) {
        m_openError = "it now holds another torrent";
        m_host.Trace("TorrentFile changed: " + path + "\r\n");
        return false;
    }
    m_infoHash = infoHash;
    m_infoDictionary = std::move(infoDictionary);
    if ((!map.GetString("announce", m_announceUrl) || m_announceUrl.empty()) &&
        !trackers.tiers.empty()) {
        m_announceUrl = trackers.tiers[0][0];
    }
    m_trackerTiers = std::move(trackers.tiers);
    m_private = IsPrivateTorrent(map);
    m_host.Trace("TorrentFile Started: " + path + "\r\n");
    m_host.Trace("Info Hash: " + BytesToHex(m_infoHash) + "\r\n");
    m_host.Trace("Announce URL: " + m_announceUrl + "\r\n");
    if (!trackers.ignored.empty()) {
        m_host.Trace(trackers.ignored + "\r\n");
    }
    m_files = std::move(files);
    if (!m_pieces || m_pieces->Total() != m_files->m_totalLength ||
        m_pieces->Unit() != m_files->m_pieceLength) {
        m_pieces = std::make_unique<PieceManager>(m_files->m_totalLength, m_files->m_pieceLength);
    }
    m_totalLength = static_cast<uint64_t>(m_files->m_totalLength);
    m_left = m_totalLength;
    m_state = m_complete ? SessionState::Uploading : SessionState::Stopped;
    return true;
}

void TorrentSession::SetSaveLocation(const std::string& folder, const std::string& fileName) {
    m_savePath = WithSlash(folder);
    m_saveName = fileName;
    m_locationGiven = true;
}

void TorrentSession::MoveTo(const std::string& folder) {
    m_savePath = WithSlash(folder);
    m_recheckAll = true;
    MarkChanged();
}

void TorrentSession::MarkStatusUnreadable(const std::string& why) {
    m_state = SessionState::Stopped;
    m_statusText = why;
    m_recheckAll = true;
    MarkChanged();
}

bool TorrentSession::StartDownload(bool isNew, StartDone done) {
    if (m_state != SessionState::Stopped && m_state != SessionState::Paused) {
        if (done) {
            done(StartOutcome::Failed);
        }
        return false;
    }
    if (!m_magnet.empty()) {
        StartFetch();
        if (done) {
            done(StartOutcome::Started);
        }
        return true;
    }
    // Whatever fails below leaves the torrent as it was, saying why.
    m_startRefusal.clear();
    m_leftBeforeStart = m_left;
    m_stateBeforeStart = m_state;
    if (!isNew) {
        if (!Open(m_torrentFile, m_infoHash)) {
            return RefuseStart((::access(m_torrentFile.c_str(), F_OK) != 0
                                    ? "The .torrent file is missing: "
                                    : "The .torrent file cannot be used: ") +
                               m_torrentFile);
        }
        return ContinueStart(false);
    }
    if (!m_files || !m_pieces) {
        if (done) {
            done(StartOutcome::Failed);
        }
        return false;
    }
    m_startDone = std::move(done);
    const auto settled = std::make_shared<std::optional<bool>>();
    m_startSettled = settled;
    if (m_locationGiven) {
        UseLocation();
        ContinueStart(true);
    } else {
        AskLocation();
    }
    // An answer that came at once may have ended the start and removed the torrent with it.
    return settled->value_or(true);
}

void TorrentSession::Wait(const std::string& forWhat) {
    m_state = SessionState::Waiting;
    m_statusText = forWhat;
    MarkChanged();
}

void TorrentSession::AskLocation() {
    Wait("Waiting for a save location");
    const std::string start = m_host.CurrentSettings().GetString(DefaultDownloadPath);
    // A stopped torrent withdrew its question; a host that answers anyway is not listened to.
    auto chosen = [this, alive = m_liveness.Watch()](std::optional<std::string> path) {
        if (alive.Alive() && m_state == SessionState::Waiting) {
            OnLocationChosen(std::move(path));
        }
    };
    if (m_files->m_singleFile) {
        m_host.Ui().ChooseSaveFile(this, start, m_files->m_saveName, std::move(chosen));
    } else {
        m_host.Ui().ChooseFolder(this, start, std::move(chosen));
    }
}

void TorrentSession::OnLocationChosen(std::optional<std::string> chosen) {
    if (!chosen || chosen->empty()) {
        CancelStart();
        return;
    }
    if (m_files->m_singleFile) {
        const size_t slash = chosen->rfind('/');
        m_savePath = slash == std::string::npos ? "./" : chosen->substr(0, slash + 1);
        m_saveName = slash == std::string::npos ? *chosen : chosen->substr(slash + 1);
    } else {
        m_savePath = WithSlash(*chosen);
        m_saveName.clear();
    }
    UseLocation();
    ContinueStart(true);
}

void TorrentSession::UseLocation() {
    if (!m_files->m_singleFile) {
        m_saveName.clear();
    } else if (m_saveName.empty()) {
        m_saveName = m_files->m_saveName;
    }
}

bool TorrentSession::ContinueStart(bool isNew) {
    // Without a save folder the files would land relative to the file system's root.
    if (m_savePath.empty()) {
        m_host.Ui().ShowMessage(kAllocateError, MessageIcon::Error);
        return RefuseStart(kAllocateError);
    }
    // An unmounted disk: its files are not made again, empty, where it used to be.
    if (!IsFolder(m_savePath)) {
        return RefuseStart("The save folder is missing: " + m_savePath);
    }
    const std::string saveName = m_files->m_singleFile ? m_saveName : std::string();
    // Files of a new torrent that are there already are the person's: used (and checked) only
    // when they agree, asked once for all of them.
    if (isNew && m_host.CurrentSettings().GetInt(PromptExistFileFirstTime) != 0 &&
        FileStorage(*m_files).AnyThere(m_savePath, saveName)) {
        Wait("Waiting for an answer: files are there already");
        m_host.Ui().AskYesNo(this, kExistedQuestion, [this, alive = m_liveness.Watch()](bool yes) {
            if (!alive.Alive() || m_state != SessionState::Waiting) {
                return;
            }
            if (yes) {
                PrepareAndCheck(true, true);
            } else {
                CancelStart();
            }
        });
        return true;
    }
    return PrepareAndCheck(isNew, false);
}

bool TorrentSession::PrepareAndCheck(bool isNew, bool existed) {
    if (m_state == SessionState::Waiting) {
        m_state = m_stateBeforeStart;  // answered: the start goes on as if nobody had been asked
    }
    const std::string saveName = m_files->m_singleFile ? m_saveName : std::string();
    m_storage = std::make_unique<FileStorage>(*m_files);
    const std::vector<FileStamp> before = m_storage->StampsOnDisk(m_savePath, saveName);
    const bool allocate = m_host.CurrentSettings().GetInt(AllocateBeforeDownload) != 0;
    if (!m_storage->Prepare(m_savePath, saveName, allocate, &m_host.Ui())) {
        const std::string why = "Can't prepare the files: " + m_storage->LastFault().Describe();
        m_host.Ui().ShowMessage(kAllocateError, MessageIcon::Error);
        return RefuseStart(why);
    }
    m_error.clear();
    m_baseName = m_files->m_singleFile ? m_saveName : m_files->m_saveName;
    ChoosePiecesToCheck(isNew, existed, before);
    BeginCheck(true);
    return EndNewStart(StartOutcome::Started);
}

bool TorrentSession::RefuseStart(const std::string& why) {
    m_storage.reset();
    m_left = m_leftBeforeStart;
    m_state = m_stateBeforeStart;
    m_statusText = why;
    m_startRefusal = why;
    MarkChanged();
    return EndNewStart(StartOutcome::Failed);
}

// The person said no: the torrent is as it was before it was asked about.
bool TorrentSession::CancelStart() {
    m_state = m_stateBeforeStart;
    m_statusText.clear();
    MarkChanged();
    return EndNewStart(StartOutcome::Cancelled);
}

bool TorrentSession::EndNewStart(StartOutcome outcome) {
    const bool started = outcome == StartOutcome::Started;
    if (m_startSettled) {
        *m_startSettled = started;
        m_startSettled.reset();
    }
    const StartDone done = std::exchange(m_startDone, nullptr);
    if (done) {
        done(outcome);  // the last thing: it may remove this torrent
    }
    return started;
}

// Which pieces are taken as they are and which are read from disk first.
void TorrentSession::ChoosePiecesToCheck(bool isNew, bool existed,
                                         const std::vector<FileStamp>& before) {
    if (m_recheckAll) {
        // The status file cannot vouch for this data: every piece is read.
        m_pieces->SetAll(Unchecked);
        m_recheckAll = false;
    } else if (m_host.CurrentSettings().GetInt(FastResume) == 0 || existed) {
        // Pieces not yet known are read from disk; pieces already known are not read again.
    } else if (isNew) {
        m_pieces->SetAll(Missing);
    } else {
        // Whatever the status file does not cover (or all, when it cannot be read) is read.
        LoadStatus(true);
    }
    // Whichever way the pieces became known, the files must still back them.
    DistrustChangedFiles(before);
}

// A file whose length or modification time is not what the status file saw was changed while
// the torrent was stopped: its pieces are read, not trusted. A file the status file saw as it
// is still holds what was verified in it, even short of its full length (nothing reserved
// ahead): reading a download in progress again at every start would cost as much as fetching
// it. A status file from before files were stamped vouches only for files at full length (a
// moved or deleted download, a disk that is not mounted, show as missing or short).
void TorrentSession::DistrustChangedFiles(const std::vector<FileStamp>& before) {
    const bool stamped = m_stamps.size() == m_files->m_files.size();
    uint32_t lowest = UINT32_MAX;
    for (size_t i = 0; i < before.size() && i < m_files->m_files.size(); ++i) {
        const FileStamp& now = before[i];
        const FileStamp* saved = stamped && m_stamps[i].length >= 0 && m_stamps[i].modifiedNs >= 0
                                     ? &m_stamps[i]
                                     : nullptr;
        const bool changed = saved ? now.length < 0 || now.length != saved->length ||
                                         now.modifiedNs != saved->modifiedNs
                                   : now.length < m_files->m_files[i]->m_size;
        if (changed) {
            UntrustPiecesOf(i, lowest);
        }
    }
}

uint32_t TorrentSession::UntrustPiecesOf(size_t file, uint32_t& lowest) {
    uint32_t first = 0;
    uint32_t last = 0;
    uint32_t untrusted = 0;
    if (!m_files->PiecesOfFile(file, first, last)) {
        return 0;
    }
    for (uint32_t piece = first; piece <= last; ++piece) {
        if (m_pieces->GetState(piece) == Have) {
            m_pieces->SetState(piece, Unchecked);
            lowest = std::min(lowest, piece);
            ++untrusted;
        }
    }
    return untrusted;
}

// ---- checking data on disk, a few pieces per loop turn ----

void TorrentSession::BeginCheck(bool thenStart) {
    m_checkThenStart = thenStart;
    m_checkNext = 0;
    m_checkDone = 0;
    m_checkTotal = m_pieces->Count(Unchecked);
    if (m_checkTotal == 0) {
        EndCheck();
        return;
    }
    if (thenStart) {
        m_state = SessionState::Checking;
    }
    m_statusText = "Checking 0%";
    MarkChanged();
    if (!m_checkTimer.IsActive()) {
        m_checkTimer = m_host.GetClock().Every(kCheckPeriod, [this] { CheckSome(); });
    }
}

void TorrentSession::CheckSome() {
    const Clock& clock = m_host.GetClock();
    const Time start = clock.Now();
    const uint32_t last = m_pieces->GetLastIndex();
    while (m_checkNext <= last && clock.Now() - start < kCheckSlice) {
        if (m_pieces->GetState(m_checkNext) == Unchecked) {
            VerifyPieceOnDisk(m_checkNext);
            ++m_checkDone;
        }
        ++m_checkNext;
    }
    const uint64_t percent = m_checkTotal == 0 ? 100 : uint64_t{m_checkDone} * 100 / m_checkTotal;
    const std::string text = "Checking " + std::to_string(percent) + "%";
    if (text != m_statusText) {
        m_statusText = text;
        MarkChanged();
    }
    if (m_checkNext > last) {
        EndCheck();
    }
}

void TorrentSession::EndCheckTimer() {
    m_checkTimer.Stop();
}

void TorrentSession::EndCheck() {
    EndCheckTimer();
    m_statusDirty = true;
    m_left = m_totalLength - static_cast<uint64_t>(m_pieces->BytesInState(Have));
    m_complete = m_pieces->AllEqual(Have);
    if (m_checkThenStart) {
        FinishStart();
        return;
    }
    // A check while running, after a piece we claimed could not be read.
    m_statusText = m_complete ? "Data checked" : "Data checked; missing pieces are fetched again";
    if (m_state == SessionState::Uploading || m_state == SessionState::Downloading) {
        m_state = m_complete ? SessionState::Uploading : SessionState::Downloading;
    }
    if (m_peerSet) {
        m_peerSet->ReconsiderInterest();
    }
    MarkChanged();
}

void TorrentSession::FinishStart() {
    // Data already complete on disk: the torrent seeds, exactly as if its last piece had just
    // been verified, but it never downloaded, so no "completed" announce goes out.
    if (m_complete) {
        m_left = 0;
        m_storage->SwitchAllToReadOnly();
    }
    m_statusText.clear();
    if (!SaveStatus() && m_state == SessionState::Stopped) {
        return;  // stopped, saying why
    }
    m_peerSet.reset();
    m_peerSet = std::make_unique<PeerSet>(*this, m_bans, m_host.Peers(), m_infoHash,
                                          PeerLimitsFrom(m_host.CurrentSettings()));
    m_peerSet->SetPrivate(m_private);
    FollowDht();
    if (HasTrackers()) {
        EnsureTracker();
        m_tracker->Announce(AnnounceEvent::Started);
        m_state = SessionState::ConnectTracker;
    } else {
        // Nobody to announce to: the torrent runs on the peers it knows.
        m_state = m_complete ? SessionState::Uploading : SessionState::Downloading;
    }
    // The peers that gave us the metadata have the torrent too.
    for (const auto& [address, port] : std::exchange(m_redial, {})) {
        AddTrackerPeer({}, address, port);
    }
    MarkChanged();
}

bool TorrentSession::Stop() {
    m_runOnRestart = false;
    m_startRefusal.clear();
    if (m_state == SessionState::Stopped) {
        return false;
    }
    EndCheckTimer();
    if (m_state == SessionState::FetchingMetadata) {
        StopFetch();
        return true;
    }
    if (m_state == SessionState::Waiting) {
        // Never started: the question goes away unanswered, and whoever began the start hears
        // nothing more of it.
        m_host.Ui().Withdraw(this);
        m_startDone = nullptr;
        m_startSettled.reset();
        m_state = SessionState::Stopped;
        m_statusText.clear();
        MarkChanged();
        return true;
    }
    if (m_state == SessionState::Checking) {
        // Never announced nor written: the status file stays as it was.
        m_storage.reset();
        m_state = SessionState::Stopped;
        m_statusText.clear();
        MarkChanged();
        return true;
    }
    std::string why;
    bool transient = false;
    bool saved = WriteStatus(why, transient);
    if (HasTrackers()) {
        EnsureTracker();
        m_tracker->Announce(AnnounceEvent::Stopped);
    }
    m_peerSet.reset();
    FollowDht();
    m_storage.reset();
    // Short of descriptors a moment ago: the peers and files just closed gave some back.
    if (!saved && transient) {
        saved = WriteStatus(why, transient);
    }
    m_state = SessionState::Stopped;
    m_statusText = saved ? std::string() : "Stopped: " + why;
    if (!saved && m_error.empty()) {
        m_error = m_statusText;
    }
    MarkChanged();
    return true;
}

void TorrentSession::StopWithError(const std::string& text) {
    if (m_state != SessionState::Stopped) {
        Stop();
    }
    m_error = text;
    m_statusText = text;
    MarkChanged();
}

// A write failed inside a connection's handler: the torrent stops once that handler is done
// (stopping now would take the connection apart under it). Nothing more is asked for or written
// meanwhile.
void TorrentSession::OnDiskFault(const std::string& what) {
    if (!m_error.empty()) {
        return;
    }
    m_error = what;
    Reactor::Get().Post([this, alive = m_liveness.Watch(), what] {
        if (alive.Alive()) {
            StopWithError(what);
        }
    });
}

void TorrentSession::Resume() {
    if (m_state == SessionState::Waiting || m_state == SessionState::FetchingMetadata) {
        return;  // it would never hear the answer it waits for, or has no pieces yet
    }
    if (m_peerSet) {
        m_peerSet->Resume();
    }
    m_state = SessionState::Downloading;
    m_statusText = "Resumed";
    MarkChanged();
}

// ---- pieces ----

PieceManager& TorrentSession::Pieces() {
    if (m_pieces) {
        return *m_pieces;
    }
    // Connections of a torrent without metadata should ask nothing of its pieces; one that does
    // finds a single piece that is never wanted (nothing is downloaded without metadata) instead
    // of nothing at all.
    if (!m_noPieces) {
        m_noPieces = std::make_unique<PieceManager>(kMetadataPieceSize, kMetadataPieceSize);
    }
    return *m_noPieces;
}

bool TorrentSession::VerifyPieceOnDisk(uint32_t piece) {
    int64_t offset = 0;
    uint32_t length = 0;
    if (!m_pieces || !m_files || !m_pieces->GetSpan(piece, offset, length)) {
        return false;
    }
    const bool good = m_storage && m_storage->CheckSpan(offset, length, m_files->PieceHash(piece));
    m_pieces->SetState(piece, good ? Have : Missing);
    return good;
}

bool TorrentSession::VerifyPiece(uint32_t piece) {
    if (!VerifyPieceOnDisk(piece)) {
        return false;
    }
    if (m_peerSet) {
        m_peerSet->BroadcastHave(piece);
    }
    int64_t offset = 0;
    uint32_t length = 0;
    m_pieces->GetSpan(piece, offset, length);
    OnPieceVerified(length);
    return true;
}

void TorrentSession::OnPieceVerified(uint32_t pieceLength) {
    m_left = m_left >= pieceLength ? m_left - pieceLength : 0;
    m_statusDirty = true;
    MarkChanged();
    if (!m_complete && m_pieces->AllEqual(Have) && FilesStillThere(SIZE_MAX)) {
        m_complete = true;
        m_storage->SwitchAllToReadOnly();
        m_state = SessionState::Uploading;
        if (m_tracker) {
            m_tracker->Announce(AnnounceEvent::Completed);
        }
    }
}

bool TorrentSession::ReadBlock(uint32_t piece, uint32_t begin, uint32_t length, std::string& out) {
    int64_t offset = 0;
    uint32_t pieceLength = 0;
    if (!m_pieces || m_pieces->GetState(piece) != Have ||
        !m_pieces->GetSpan(piece, offset, pieceLength) || uint64_t{begin} + length > pieceLength) {
        return false;
    }
    out.resize(length);
    if (m_storage && m_storage->ReadSpan(offset + begin, length, out.data())) {
        return true;
    }
    // A piece we claim cannot be read: its file was truncated, replaced or removed under us.
    // What that file holds is checked again instead of being claimed and never served.
    RecheckFilesOf(piece);
    return false;
}

void TorrentSession::RecheckFilesOf(uint32_t piece) {
    int64_t offset = 0;
    uint32_t length = 0;
    if (!m_storage || !m_pieces->GetSpan(piece, offset, length)) {
        return;
    }
    uint32_t lowest = UINT32_MAX;
    uint32_t added = 0;
    for (const FileSegment& segment : m_files->MapRange(offset, length)) {
        added += UntrustPiecesOf(segment.file, lowest);
    }
    if (added == 0) {
        return;
    }
    m_statusDirty = true;
    m_complete = false;
    m_left = m_totalLength - static_cast<uint64_t>(m_pieces->BytesInState(Have));
    // No longer all there: not seeding while the check runs, nor after it finds pieces missing.
    if (m_state == SessionState::Uploading) {
        m_state = SessionState::Downloading;
    }
    if (m_checkTimer.IsActive()) {
        m_checkNext = std::min(m_checkNext, lowest);
        m_checkTotal += added;
    } else {
        BeginCheck(false);
    }
}

// Before the torrent is called complete (every file), and at every save tick (the next few in
// turn): a file deleted (with its folder, say), replaced or cut short would otherwise go on
// taking writes through the descriptor we hold, and the torrent would end "complete" with
// nothing on disk. The pieces claimed in it are put back to be checked, and the torrent stops,
// saying why, once the running handler is done. False then.
bool TorrentSession::FilesStillThere(size_t count) {
    if (!m_storage || !m_files || m_files->m_files.empty()) {
        return true;
    }
    const size_t files = m_files->m_files.size();
    std::string why;
    uint32_t lowest = UINT32_MAX;
    for (size_t n = 0; n < std::min(count, files); ++n) {
        const size_t i = m_nextFileToFind++ % files;
        if (!m_storage->StillThere(i)) {
            if (why.empty()) {
                why = "Stopped: " + m_storage->LastFault().Describe();
            }
            UntrustPiecesOf(i, lowest);
        }
    }
    if (why.empty()) {
        return true;
    }
    m_complete = false;
    m_statusDirty = true;
    m_left = m_totalLength - static_cast<uint64_t>(m_pieces->BytesInState(Have));
    OnDiskFault(why);
    return false;
}

bool TorrentSession::WriteBlock(uint32_t piece, uint32_t begin, std::string_view data) {
    int64_t offset = 0;
    uint32_t pieceLength = 0;
    if (!m_storage || !m_error.empty() || !m_pieces || m_pieces->GetState(piece) == Have ||
        !m_pieces->GetSpan(piece, offset, pieceLength) ||
        uint64_t{begin} + data.size() > pieceLength) {
        return false;
    }
    if (m_storage->WriteSpan(offset + begin, static_cast<uint32_t>(data.size()), data.data())) {
        return true;
    }
    // Fetching the piece again would only fail again (a full disk, a file that is gone): the
    // torrent stops, keeping what is verified, and says why.
    OnDiskFault("Stopped: can't write " + m_storage->LastFault().Describe());
    return false;
}

uint64_t TorrentSession::PercentDone() const {
    if (m_totalLength == 0) {
        return 0;
    }
    return (m_totalLength - m_left) * 100 / m_totalLength;
}

void TorrentSession::RefreshProgress() {
    if (!m_files || !m_pieces) {
        return;
    }
    MarkChanged();
    if (m_state == SessionState::Stopped) {
        return;
    }
    for (auto& file : m_files->m_files) {
        file->m_completedBytes = m_pieces->CountBytesInState(Have, file->m_startAt, file->m_size);
    }
    SaveStatusIfChanged();
}

// ---- peers, counters, limits ----

bool TorrentSession::DownloadAllowed() const {
    return m_peerSet && m_pieces && !m_complete && m_error.empty();
}

void TorrentSession::AddDownloaded(uint32_t bytes) {
    m_downloaded += bytes;
    if (m_peerSet) {
        m_peerSet->DownloadMeter().Update(bytes);
    }
}

void TorrentSession::AddUploaded(uint32_t bytes) {
    m_uploaded += bytes;
    if (m_peerSet) {
        m_peerSet->UploadMeter().Update(bytes);
    }
}

int32_t TorrentSession::ConnectedPeers() const {
    int32_t count = 0;
    if (m_peerSet) {
        for (const PeerConnection* peer : m_peerSet->PeerList()) {
            count += peer->IsConnected() ? 1 : 0;
        }
    }
    return count;
}

int32_t TorrentSession::ConnectedSeeds() const {
    int32_t count = 0;
    if (m_peerSet) {
        for (const PeerConnection* peer : m_peerSet->PeerList()) {
            count += peer->IsConnected() && peer->IsSeed() ? 1 : 0;
        }
    }
    return count;
}

uint32_t TorrentSession::DownloadRate() const {
    uint64_t sum = 0;
    if (m_peerSet) {
        for (PeerConnection* peer : m_peerSet->PeerList()) {
            sum += peer->IsConnected() ? peer->DownloadMeter().Rate() : 0;
        }
    }
    return static_cast<uint32_t>(std::min<uint64_t>(sum, UINT32_MAX));
}

uint32_t TorrentSession::UploadRate() const {
    uint64_t sum = 0;
    if (m_peerSet) {
        for (PeerConnection* peer : m_peerSet->PeerList()) {
            sum += peer->IsConnected() ? peer->UploadMeter().Rate() : 0;
        }
    }
    return static_cast<uint32_t>(std::min<uint64_t>(sum, UINT32_MAX));
}

// ---- tracker ----

const std::string& TorrentSession::OwnPeerId() const {
    return m_host.OwnPeerId();
}

uint16_t TorrentSession::ListenPort() const {
    return m_host.ListenPort();
}

void TorrentSession::SetStatusText(const std::string& text) {
    m_changed = true;
    if (text != m_statusText) {
        m_statusText = text;
        MarkChanged();
    }
}

void TorrentSession::SetTrackerCounts(int32_t seeds, int32_t peers) {
    if (seeds != m_trackerSeeds || peers != m_trackerPeers) {
        m_trackerSeeds = seeds;
        m_trackerPeers = peers;
        MarkChanged();
    }
}

void TorrentSession::AddTrackerPeer(const std::string& peerId, const std::string& address,
                                    uint16_t port) {
    if (!m_peerSet) {
        return;
    }
    // A compact answer names no peer id: such a peer is known by where it listens until it
    // answers our handshake.
    PeerConnection* peer =
        peerId.empty() ? m_peerSet->FindByEndpoint(address, port) : m_peerSet->FindPeer(peerId);
    if (!peer) {
        const std::string key = peerId.empty() ? PeerSet::EndpointKey(address, port) : peerId;
        peer = m_peerSet->CreatePeer(key, address, port, port);
    }
    if (peer) {
        m_peerSet->ConnectPeer(*peer);
    }
}

void TorrentSession::FollowDht() {
    if (!m_peerSet || m_private || m_host.Dht() == nullptr) {
        m_dhtTimer.Stop();
        m_dhtSearch.reset();
        return;
    }
    if (!m_dhtTimer.IsActive()) {
        LookUpDht();
        m_dhtTimer = m_host.GetClock().Every(kDhtLookupPeriod, [this] { LookUpDht(); });
    }
}

void TorrentSession::LookUpDht() {
    DhtLink* dht = m_host.Dht();
    if (dht == nullptr || !m_peerSet) {
        return;
    }
    // The announce goes out at the end of each lookup; without a listening socket (behind a
    // proxy) nobody could reach us, so there is none.
    m_dhtSearch =
        dht->FindPeers(m_infoHash, ListenPort(), [this](const std::vector<DhtPeer>& found) {
            for (const DhtPeer& peer : found) {
                if (!m_peerSet) {
                    return;
                }
                const bool known = m_peerSet->FindByEndpoint(peer.address, peer.port) != nullptr;
                AddTrackerPeer({}, peer.address, peer.port);
                if (PeerConnection* added = m_peerSet->FindByEndpoint(peer.address, peer.port);
                    added != nullptr && !known) {
                    added->NoteSource("DHT");
                }
            }
        });
}

void TorrentSession::OnTrackerSuccess() {
    if (m_state == SessionState::ConnectTracker) {
        m_state = m_complete ? SessionState::Uploading : SessionState::Downloading;
        MarkChanged();
    }
}

// ---- status file ----

std::string TorrentSession::StatusPath() const {
    return StatusFile::PathFor(m_host.ProfileDir(), m_infoHash);
}

void TorrentSession::Restore(const std::string& torrentFile, const std::string& savePath,
                             const std::string& saveName, const std::string& name,
                             const std::string& baseName, const std::string& infoHash,
                             const std::string& announceUrl, uint64_t totalLength, uint64_t left) {
    m_torrentFile = torrentFile;
    m_savePath = savePath;
    m_saveName = saveName;
    m_name = name;
    m_baseName = baseName;
    m_infoHash = infoHash;
    m_announceUrl = announceUrl;
    m_totalLength = totalLength;
    m_left = left;
    m_changed = true;
}

bool TorrentSession::WriteStatus(std::string& why, bool& transient) {
    transient = false;
    if (m_infoHash.size() != 20) {
        why = "the torrent has no info hash";
        return false;
    }
    // The status file says which pieces are on disk: their bytes must be there first.
    if (m_storage && !m_storage->SyncAll()) {
        why = "can't write " + m_storage->LastFault().Describe();
        transient = m_storage->LastFault().Transient();
        return false;
    }
    if (m_storage) {
        m_stamps = m_storage->Stamps();
    }
    if (!StatusFile::Write(StatusPath(), {m_announceUrl, m_infoHash, m_torrentFile}, m_pieces.get(),
                           m_files.get(), m_stamps)) {
        const int error = errno;
        why = "can't save the status file " + StatusPath() + ": " + std::strerror(error);
        transient = error == EMFILE || error == ENFILE;
        return false;
    }
    m_statusDirty = false;
    return true;
}

bool TorrentSession::SaveStatus() {
    std::string why;
    bool transient = false;
    if (WriteStatus(why, transient)) {
        return true;
    }
    if (m_infoHash.size() != 20) {
        return false;
    }
    if (transient) {
        // Out of descriptors for a moment (a crowd of peers connecting): nothing is wrong with
        // the torrent, and the next tick writes it.
        m_statusDirty = true;
        SetStatusText("The status file could not be saved yet (" + why + "); trying again");
        return false;
    }
    StopWithError("Stopped: " + why);
    return false;
}

void TorrentSession::SaveStatusIfChanged() {
    if (m_peerSet && m_error.empty() && !FilesStillThere(kFilesFoundPerTick)) {
        return;  // stops, saying why; the stop writes the status file
    }
    if (m_statusDirty && IsActive() && m_state != SessionState::Checking) {
        SaveStatus();
    }
}

bool TorrentSession::LoadStatus(bool piecesOnly) {
    if (m_statusLoaded) {
        return false;
    }
    m_statusLoaded = true;
    StatusFile status;
    if (!status.Read(StatusPath())) {
        return false;
    }
    // A status file that names another torrent (copied over, or written for another) says
    // nothing about this one's pieces, and its name must not replace the one it is listed under.
    CXML* identity = status.Identity();
    if (identity && m_infoHash.size() == 20 &&
        StatusFile::IdentityOf(*identity).infoHash != m_infoHash) {
        return false;
    }
    if (CXML* element = status.Files()) {
        m_stamps = StatusFile::StampsOf(*element);
    }
    if (CXML* element = status.Pieces()) {
        if (m_pieces) {
            if (!m_pieces->FromXml(*element)) {
                return false;  // made for another layout: the data is checked instead
            }
        } else {
            const int64_t total = element->GetAttributeInt64("TotalLength");
            const int64_t pieceLength = element->GetAttributeInt64("PieceLength");
            auto pieces = PlausibleLayout(total, pieceLength)
                              ? std::make_unique<PieceManager>(total, pieceLength)
                              : nullptr;
            if (pieces && pieces->FromXml(*element)) {
                m_pieces = std::move(pieces);
                m_left = static_cast<uint64_t>(m_pieces->BytesInState(Missing));
                m_complete = m_pieces->AllEqual(Have);
            }
        }
    }
    if (!piecesOnly) {
        if (CXML* element = status.Files()) {
            if (!m_files) {
                m_files = std::make_unique<FileList>();
            }
            m_files->FromXml(*element);
        }
        if (identity) {
            const StatusIdentity named = StatusFile::IdentityOf(*identity);
            m_torrentFile = named.torrentFile;
            m_infoHash = named.infoHash;
            m_announceUrl = named.announceUrl;
        }
    }
    m_state = SessionState::Stopped;
    return true;
}

void TorrentSession::DeleteStatus() {
    ::unlink(StatusPath().c_str());
}

// ---- a torrent opened from a magnet link ----

bool TorrentSession::OpenMagnet(const std::string& link) {
    MagnetLink parsed;
    std::string why;
    if (!ParseMagnetLink(link, parsed, why)) {
        m_openError = why;
        return false;
    }
    m_magnet = link;
    m_infoHash = parsed.infoHash;
    m_name = parsed.displayName.empty() ? BytesToHex(m_infoHash) : parsed.displayName;
    m_trackerTiers = std::move(parsed.trackers);
    m_announceUrl = m_trackerTiers.empty() ? std::string() : m_trackerTiers[0][0];
    m_magnetPeers = std::move(parsed.peers);
    m_torrentFile.clear();
    m_totalLength = 0;
    m_left = 0;
    if (!parsed.ignored.empty()) {
        m_host.Trace(parsed.ignored + "\r\n");
    }
    m_state = SessionState::Stopped;
    return true;
}

void TorrentSession::StartFetch() {
    m_fetch = std::make_unique<MetadataFetch>(m_infoHash);
    m_left = kUnknownLeft;
    m_error.clear();
    m_statusText.clear();
    m_peerSet.reset();
    m_peerSet = std::make_unique<PeerSet>(*this, m_bans, m_host.Peers(), m_infoHash,
                                          PeerLimitsFrom(m_host.CurrentSettings()));
    m_state = SessionState::FetchingMetadata;
    FollowDht();
    if (HasTrackers()) {
        EnsureTracker();
        m_tracker->Announce(AnnounceEvent::Started);
    }
    for (const MagnetPeer& peer : m_magnetPeers) {
        AddTrackerPeer({}, peer.host, peer.port);
    }
    MarkChanged();
}

void TorrentSession::StopFetch() {
    if (m_tracker) {
        m_tracker->Announce(AnnounceEvent::Stopped);
    }
    // The connections may still tell the fetch that they go.
    m_peerSet.reset();
    FollowDht();
    m_fetch.reset();
    m_left = 0;
    m_state = SessionState::Stopped;
    m_statusText.clear();
    MarkChanged();
}

bool TorrentSession::OfferMetadata(PeerConnection& peer, uint64_t size) {
    if (!m_fetch) {
        return size != 0 && size <= kMaxMetadataSize;
    }
    return m_fetch->Offer(&peer, size);
}

std::optional<uint32_t> TorrentSession::NextMetadataPiece(PeerConnection& peer) {
    if (!m_fetch || m_fetch->IsComplete()) {
        return std::nullopt;
    }
    return m_fetch->Next(&peer);
}

bool TorrentSession::OnMetadataPiece(PeerConnection& peer, uint32_t piece, uint64_t totalSize,
                                     std::string_view data) {
    if (!m_fetch) {
        return false;  // nothing was asked
    }
    const bool wasComplete = m_fetch->IsComplete();
    bool kept = m_fetch->OnPiece(&peer, piece, totalSize, data);
    if (DropCulprits(&peer)) {
        kept = false;
    }
    if (!wasComplete && m_fetch->IsComplete()) {
        m_statusText = "Metadata received";
        MarkChanged();
        // Never inside the connection's handler: the torrent's peers are about to be replaced.
        Reactor::Get().Post([this, alive = m_liveness.Watch()] {
            if (alive.Alive()) {
                OnMetadataVerified();
            }
        });
    }
    return kept;
}

void TorrentSession::OnMetadataRefused(PeerConnection& peer, uint32_t piece) {
    if (m_fetch) {
        m_fetch->OnRefused(&peer, piece);
    }
}

void TorrentSession::OnMetadataPeerGone(PeerConnection& peer) {
    if (m_fetch) {
        m_fetch->OnPeerGone(&peer);
    }
}

bool TorrentSession::DropCulprits(const PeerConnection* current) {
    bool currentToo = false;
    for (const MetadataFetch::PeerKey key : m_fetch->TakeCulprits()) {
        currentToo = currentToo || key == current;
        // Forgotten, not banned: the peers of a swarm may share an address, and the honest
        // ones must stay. Once the running handler (perhaps the liar's own) is done.
        Reactor::Get().Post([this, key, alive = m_liveness.Watch()] {
            if (!alive.Alive() || !m_peerSet) {
                return;
            }
            const auto& peers = m_peerSet->PeerList();
            const auto found = std::find(peers.begin(), peers.end(), key);
            if (found != peers.end()) {
                m_host.Trace("Metadata from " + (*found)->Address() + " was altered\r\n");
                m_peerSet->RemovePeer(**found);
            }
        });
    }
    return currentToo;
}

void TorrentSession::OnMetadataVerified() {
    if (!m_fetch || !m_fetch->IsComplete() || m_state != SessionState::FetchingMetadata) {
        return;
    }
    std::string why;
    const std::string path = SaveMetainfo(m_fetch->Dictionary(), why);
    if (path.empty()) {
        StopFetch();
        StopWithError("Stopped: can't save the metadata: " + why);
        return;
    }
    // Whoever we reached has the torrent: they are dialled again once it runs with pieces.
    m_redial.clear();
    if (m_peerSet) {
        for (const PeerConnection* peer : m_peerSet->PeerList()) {
            if (peer->ListenPort() != 0) {
                m_redial.emplace_back(peer->Address(), peer->ListenPort());
            }
        }
    }
    const bool namedByHash = m_name == BytesToHex(m_infoHash);
    const std::string link = std::exchange(m_magnet, {});
    m_peerSet.reset();
    FollowDht();
    m_fetch.reset();
    m_state = SessionState::Stopped;
    m_statusText.clear();
    if (!Open(path, m_infoHash)) {
        // Kept, stopped, saying why: the saved file names the torrent from now on.
        m_redial.clear();
        StopWithError("Stopped: the metadata cannot be used: " + m_openError);
        return;
    }
    if (namedByHash && m_files && !m_files->m_saveName.empty()) {
        m_name = m_files->m_saveName;
    }
    m_host.Trace("Metadata saved to " + path + " for " + link.substr(0, 200) + "\r\n");
    MarkChanged();
    m_host.OnMetadataArrived(*this);
}

std::string TorrentSession::SaveMetainfo(const std::string& dictionary, std::string& why) const {
    const auto text = [](const std::string& value) {
        return std::to_string(value.size()) + ":" + value;
    };
    std::string bytes = "d";
    if (!m_trackerTiers.empty()) {
        bytes += "8:announce" + text(m_trackerTiers[0][0]);
        bytes += "13:announce-listl";
        for (const auto& tier : m_trackerTiers) {
            bytes += "l";
            for (const std::string& url : tier) {
                bytes += text(url);
            }
            bytes += "e";
        }
        bytes += "e";
    }
    bytes += "4:info" + dictionary + "e";

    const std::string folder = m_host.ProfileDir() + "Torrents";
    ::mkdir(folder.c_str(), 0755);
    // Named by the info hash, which the link fixed: nothing a peer sends reaches the name. A
    // file of that name holding something else (the person's own) is left alone.
    std::string path;
    for (int n = 1; n <= 100 && path.empty(); ++n) {
        const std::string candidate = folder + "/" + BytesToHex(m_infoHash) +
                                      (n == 1 ? std::string() : "-" + std::to_string(n)) +
                                      ".torrent";
        std::string existing;
        std::string error;
        if (::access(candidate.c_str(), F_OK) != 0 ||
            (ReadFileLimited(candidate, kMaxTorrentFileSize, existing, error) &&
             existing == bytes)) {
            path = candidate;
        }
    }
    if (path.empty()) {
        why = "no free name in " + folder;
        return {};
    }
    // On disk before it is named: a crash leaves no file or the whole file.
    if (!ReplaceFile(path, bytes)) {
        why = path + ": " + std::strerror(errno);
        return {};
    }
    return path;
}

}  // namespace velbrook
