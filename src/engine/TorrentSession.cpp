#include "engine/TorrentSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>

#include "engine/PeerSet.h"
#include "engine/SessionHost.h"
#include "engine/UiHost.h"
#include "metainfo/FileList.h"
#include "metainfo/KeyPathMap.h"
#include "metainfo/SHA1.h"
#include "metainfo/TorrentFile.h"
#include "peer/PeerConnection.h"
#include "peer/Wire.h"
#include "persist/CXML.h"
#include "persist/Profile.h"
#include "persist/Settings.h"
#include "storage/PieceManager.h"

namespace velbrook {

namespace {

size_t g_liveSessions = 0;

constexpr char kAllocateError[] = "Allocate Disk error! Stop downloading.....";

// A status file is ours, but it sits in a folder anyone can edit: its lengths must describe a
// piece record that fits in memory before one is built from them.
bool PlausibleLayout(int64_t total, int64_t pieceLength) {
    constexpr int64_t kMaxPieces = int64_t{64} << 20;  // far beyond any 64 MiB metainfo
    return total > 0 && pieceLength > 0 && pieceLength <= FileList::kMaxPieceLength &&
           (total - 1) / pieceLength < kMaxPieces;
}

}  // namespace

size_t TorrentSession::LiveCount() {
    return g_liveSessions;
}

TorrentSession::TorrentSession(SessionHost& host) : m_host(host) {
    ++g_liveSessions;
}

TorrentSession::~TorrentSession() {
    // A torrent that never got as far as Stopped (its status could not be read, or it is a
    // refused duplicate) has nothing to save: writing its status here would overwrite the file
    // of the listed torrent with the same info hash.
    if (m_state != SessionState::Stopped && m_state != SessionState::Unknown) {
        Stop();
    }
    m_tracker.reset();
    m_peerSet.reset();
    m_pieces.reset();
    m_files.reset();
    --g_liveSessions;
}

void TorrentSession::MarkChanged() {
    m_changed = true;
    m_host.MarkListChanged();
}

bool TorrentSession::TakeChanged() {
    const bool changed = m_changed;
    m_changed = false;
    return changed;
}

void TorrentSession::EnsureTracker() {
    if (!m_tracker) {
        m_tracker =
            m_trackerFactory ? m_trackerFactory(*this) : std::make_unique<TrackerClient>(*this);
    }
}

// ---- opening and starting ----

bool TorrentSession::Open(const std::string& path, const std::string& expectedInfoHash) {
    m_torrentFile = path;
    KeyPathMap map;
    auto files = std::make_unique<FileList>();
    std::string error;
    if (!LoadTorrentFile(path, map, *files, error)) {
        m_host.Trace("Can't open file " + path + ": " + error + "\r\n");
        return false;
    }
    std::string infoHash;
    std::string announce;
    if (!map.GetString("__InfoHash__", infoHash) || !map.GetString("announce", announce)) {
        return false;
    }
    // Checked before anything is replaced: a listed torrent whose file now holds another
    // torrent would have that torrent's layout laid over its folder.
    if (!expectedInfoHash.empty() && infoHash != expectedInfoHash) {
        m_host.Trace("TorrentFile changed: " + path + "\r\n");
        return false;
    }
    m_infoHash = infoHash;
    m_announceUrl = announce;
    m_host.Trace("TorrentFile Started: " + path + "\r\n");
    m_host.Trace("Info Hash: " + BytesToHex(m_infoHash) + "\r\n");
    m_host.Trace("Announce URL: " + m_announceUrl + "\r\n");
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

void TorrentSession::CheckPieces() {
    for (uint32_t i = 0; i <= m_pieces->GetLastIndex(); ++i) {
        if (m_pieces->GetState(i) == Unchecked) {
            VerifyPieceOnDisk(i);
        }
    }
}

bool TorrentSession::StartDownload(bool isNew) {
    if (m_state != SessionState::Stopped && m_state != SessionState::Paused) {
        return false;
    }
    if (isNew) {
        if (!m_files || !m_pieces) {
            return false;
        }
        if (!m_locationGiven) {
            const std::string start = GetSettings().GetString(DefaultDownloadPath);
            if (m_files->m_singleFile) {
                std::string chosen;
                if (!m_host.Ui().ChooseSaveFile(start, m_files->m_saveName, chosen)) {
                    return false;
                }
                const size_t slash = chosen.rfind('/');
                m_savePath = slash == std::string::npos ? "./" : chosen.substr(0, slash + 1);
                m_saveName = slash == std::string::npos ? chosen : chosen.substr(slash + 1);
            } else {
                std::string folder;
                if (!m_host.Ui().ChooseFolder(start, folder)) {
                    return false;
                }
                m_savePath = WithSlash(folder);
                m_saveName.clear();
            }
        }
        if (!m_files->m_singleFile) {
            m_saveName.clear();
        } else if (m_saveName.empty()) {
            m_saveName = m_files->m_saveName;
        }
    } else if (!Open(m_torrentFile, m_infoHash)) {
        return false;
    }

    // Without a save folder the files would land relative to the file system's root.
    if (m_savePath.empty()) {
        m_host.Ui().ShowMessage(kAllocateError, MessageIcon::Error, MessageButtons::Ok);
        return false;
    }
    bool existed = false;
    const std::string saveName = m_files->m_singleFile ? m_saveName : std::string();
    if (!m_files->PrepareFiles(m_savePath, saveName, existed, isNew, &m_host.Ui())) {
        m_host.Ui().ShowMessage(kAllocateError, MessageIcon::Error, MessageButtons::Ok);
        return false;
    }
    m_baseName = m_files->m_singleFile ? m_saveName : m_files->m_saveName;

    bool skipped = false;
    if (GetSettings().GetInt(FastResume) == 0 || existed) {
        CheckPieces();
    } else if (isNew) {
        m_pieces->SetAll(Missing);
        m_left = m_totalLength;
        skipped = true;
    } else {
        // Whatever the status file does not cover (or all, when it cannot be read) is read
        // from disk; pieces it set are not read again.
        (void)LoadStatus(true);
        CheckPieces();
    }
    if (!skipped) {
        m_left = static_cast<uint64_t>(m_pieces->BytesInState(Missing));
    }
    // Data already complete on disk: the torrent seeds, exactly as if its last piece had just
    // been verified, but it never downloaded, so no "completed" announce goes out.
    if (m_pieces->AllEqual(Have)) {
        m_complete = true;
        m_left = 0;
        m_files->SwitchAllToReadOnly();
    }
    (void)SaveStatus();

    m_peerSet.reset();
    m_peerSet = std::make_unique<PeerSet>(*this, m_host.Peers(), m_infoHash);
    EnsureTracker();
    m_tracker->Announce(AnnounceEvent::Started);
    m_state = SessionState::ConnectTracker;
    MarkChanged();
    return true;
}

bool TorrentSession::Stop() {
    if (m_state == SessionState::Stopped) {
        return false;
    }
    (void)SaveStatus();
    EnsureTracker();
    m_tracker->Announce(AnnounceEvent::Stopped);
    m_peerSet.reset();
    if (m_files) {
        m_files->CloseAll();
    }
    m_state = SessionState::Stopped;
    m_statusText.clear();
    MarkChanged();
    return true;
}

void TorrentSession::Resume() {
    if (m_peerSet) {
        m_peerSet->Resume();
    }
    m_state = SessionState::Downloading;
    m_statusText = "Resumed";
    MarkChanged();
}

// ---- pieces ----

bool TorrentSession::VerifyPieceOnDisk(uint32_t piece) {
    int64_t offset = 0;
    uint32_t length = 0;
    if (!m_pieces || !m_files || !m_pieces->GetSpan(piece, offset, length)) {
        return false;
    }
    const bool good = m_files->CheckSpan(offset, length, m_files->PieceHash(piece));
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
    if (!m_complete && m_pieces->AllEqual(Have)) {
        m_complete = true;
        m_files->SwitchAllToReadOnly();
        m_state = SessionState::Uploading;
        MarkChanged();
        if (m_tracker) {
            m_tracker->Announce(AnnounceEvent::Completed);
        }
    }
}

uint32_t TorrentSession::PieceLength() const {
    return m_pieces ? static_cast<uint32_t>(m_pieces->Unit()) : 0;
}

bool TorrentSession::ReadBlock(uint32_t piece, uint32_t begin, uint32_t length, std::string& out) {
    int64_t offset = 0;
    uint32_t pieceLength = 0;
    if (!m_pieces || m_pieces->GetState(piece) != Have ||
        !m_pieces->GetSpan(piece, offset, pieceLength) || uint64_t{begin} + length > pieceLength) {
        return false;
    }
    out.resize(length);
    return m_files->ReadSpan(offset + begin, length, out.data());
}

bool TorrentSession::WriteBlock(uint32_t piece, uint32_t begin, std::string_view data) {
    int64_t offset = 0;
    uint32_t pieceLength = 0;
    if (!m_pieces || m_pieces->GetState(piece) == Have ||
        !m_pieces->GetSpan(piece, offset, pieceLength) ||
        uint64_t{begin} + data.size() > pieceLength) {
        return false;
    }
    return m_files->WriteSpan(offset + begin, static_cast<uint32_t>(data.size()), data.data());
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
    m_host.Ui().PostUpdateAllViews();
    (void)SaveStatus();
}

// ---- peers, counters, limits ----

bool TorrentSession::DownloadAllowed() const {
    return m_peerSet && !m_complete;
}

bool TorrentSession::DownloadLimitReached(PeerConnection& connection) {
    return m_peerSet && m_peerSet->DownloadLimitReached(connection);
}

void TorrentSession::RerunChoking() {
    if (m_peerSet) {
        m_peerSet->ChokePass();
    }
}

void TorrentSession::NoteQueuedRequest(PeerConnection& connection) {
    if (m_peerSet) {
        m_peerSet->NoteQueuedRequest(connection);
    }
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

void TorrentSession::AdjustConnectedCount(int delta) {
    if (m_peerSet) {
        m_peerSet->AdjustConnectedCount(delta);
    }
}

void TorrentSession::AdjustSeedCount(int delta) {
    if (m_peerSet) {
        m_peerSet->AdjustSeedCount(delta);
    }
}

PeerConnection* TorrentSession::FindPeer(const std::string& peerId) {
    return m_peerSet ? m_peerSet->FindPeer(peerId) : nullptr;
}

PeerConnection* TorrentSession::CreatePeer(const std::string& peerId, const std::string& address,
                                           uint16_t port, uint16_t listenPort) {
    return m_peerSet ? m_peerSet->CreatePeer(address, peerId, port, listenPort) : nullptr;
}

void TorrentSession::ConnectPeer(PeerConnection& connection) {
    if (m_peerSet) {
        m_peerSet->ConnectPeer(connection);
    }
}

bool TorrentSession::RenamePeer(PeerConnection& connection, const std::string& peerId) {
    return m_peerSet && m_peerSet->RenamePeer(connection, peerId);
}

void TorrentSession::MergePeer(PeerConnection& dialled, PeerConnection& known) {
    if (m_peerSet) {
        m_peerSet->MergePeer(dialled, known);
    }
}

void TorrentSession::CancelElsewhere(const BlockRequest& block, PeerConnection& from) {
    if (m_peerSet) {
        m_peerSet->CancelElsewhere(block, from);
    }
}

void TorrentSession::BanPeer(PeerConnection& connection) {
    m_banned.insert(connection.PeerId());
}

bool TorrentSession::IsBanned(const std::string& peerId) const {
    return m_banned.count(peerId) != 0;
}

std::string TorrentSession::PeerExchangeEntries() {
    std::string entries;
    if (!m_peerSet) {
        return entries;
    }
    for (const PeerConnection* peer : m_peerSet->PeerList()) {
        if (!peer->IsConnected() || !peer->HasKnownId() || peer->Address().size() > 15) {
            continue;
        }
        entries += peer->PeerId();
        entries += static_cast<char>(peer->Address().size());
        entries += peer->Address();
        AppendU32(entries, peer->ListenPort());
    }
    return entries;
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
            sum += peer->IsConnected() ? peer->DownloadMeter().Update(0) : 0;
        }
    }
    return static_cast<uint32_t>(std::min<uint64_t>(sum, UINT32_MAX));
}

uint32_t TorrentSession::UploadRate() const {
    uint64_t sum = 0;
    if (m_peerSet) {
        for (PeerConnection* peer : m_peerSet->PeerList()) {
            sum += peer->IsConnected() ? peer->UploadMeter().Update(0) : 0;
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
    m_statusText = text;
    m_changed = true;
}

void TorrentSession::SetTrackerCounts(int32_t seeds, int32_t peers) {
    m_trackerSeeds = seeds;
    m_trackerPeers = peers;
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
        peer = m_peerSet->CreatePeer(address, key, port, port);
    }
    if (peer) {
        m_peerSet->ConnectPeer(*peer);
    }
}

void TorrentSession::OnTrackerSuccess() {
    if (m_state == SessionState::ConnectTracker) {
        m_state = m_complete ? SessionState::Uploading : SessionState::Downloading;
        m_changed = true;
    }
}

// ---- status file ----

std::string TorrentSession::StatusPath() const {
    return m_host.ProfileDir() + "Status/" + BytesToHex(m_infoHash) + ".xml";
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

bool TorrentSession::SaveStatus() {
    if (m_infoHash.size() != 20) {
        return false;  // nothing names the file yet
    }
    // The status file says which pieces are on disk: their bytes must be there first.
    if (m_files && !m_files->SyncAll()) {
        return false;
    }
    ::mkdir((m_host.ProfileDir() + "Status").c_str(), 0755);
    CXML root("Tarnwick");
    root.SetAttribute("Author", "Olendrix");
    root.SetAttribute("Version", "0.1");
    auto info = std::make_unique<CXML>("TorrentInfo");
    info->SetAttribute("AnnounceURL", m_announceUrl);
    info->SetAttribute("InfoHashHex", BytesToHex(m_infoHash));
    info->SetAttribute("TorrentPathName", m_torrentFile);
    root.AddChild(std::move(info));
    if (m_pieces) {
        root.AddChild(m_pieces->ToXml());
    }
    if (m_files) {
        root.AddChild(m_files->ToXml());
    }
    return CXML::SaveFile(root, StatusPath());
}

bool TorrentSession::LoadStatus(bool piecesOnly) {
    if (m_statusLoaded) {
        return false;
    }
    m_statusLoaded = true;
    CXML root;
    if (!root.Load(StatusPath())) {
        return false;
    }
    for (CXML* child = root.GetFirstChild(); child; child = root.GetNextChild()) {
        const std::string& name = child->GetName();
        if (name == "BitFieldStatus") {
            if (m_pieces) {
                (void)m_pieces->FromXml(*child);
                continue;
            }
            const int64_t total = child->GetAttributeInt64("TotalLength");
            const int64_t pieceLength = child->GetAttributeInt64("PieceLength");
            if (!PlausibleLayout(total, pieceLength)) {
                continue;
            }
            auto pieces = std::make_unique<PieceManager>(total, pieceLength);
            if (!pieces->FromXml(*child)) {
                continue;
            }
            m_pieces = std::move(pieces);
            m_left = static_cast<uint64_t>(m_pieces->BytesInState(Missing));
            m_complete = m_pieces->AllEqual(Have);
        } else if (name == "FileList" && !piecesOnly) {
            if (!m_files) {
                m_files = std::make_unique<FileList>();
            }
            m_files->FromXml(*child);
        } else if (name == "TorrentInfo" && !piecesOnly) {
            m_torrentFile = child->GetAttribute("TorrentPathName");
            m_infoHash = HexToBytes(child->GetAttribute("InfoHashHex"));
            m_announceUrl = child->GetAttribute("AnnounceURL");
        }
    }
    m_state = SessionState::Stopped;
    return true;
}

void TorrentSession::DeleteStatus() {
    ::unlink(StatusPath().c_str());
}

}  // namespace velbrook
