#include "engine/DownloadsList.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "engine/SessionHost.h"
#include "engine/TorrentSession.h"
#include "engine/UiHost.h"
#include "metainfo/SHA1.h"
#include "net/Clock.h"
#include "persist/CXML.h"
#include "persist/KeepAside.h"

namespace velbrook {

namespace {

constexpr auto kRefreshPeriod = std::chrono::seconds(3);
constexpr char kSameInfoHash[] =
    "Same infohash, You must delete the same entry before adding a new one";

// The 20 bytes of a stored info hash, or nothing when the text is not 40 hex digits: a torrent
// keyed by anything else could never be found, and its status file would be named by garbage.
std::string ParseInfoHash(const std::string& hex) {
    if (hex.size() != 40) {
        return {};
    }
    std::string lower;
    lower.reserve(hex.size());
    for (const char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return {};
        }
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return HexToBytes(lower);
}

}  // namespace

DownloadsList::DownloadsList(SessionHost& host)
    : m_host(host), m_refreshTimer(host.GetClock().Every(kRefreshPeriod, [this] { Tick(); })) {}

DownloadsList::~DownloadsList() {
    m_refreshTimer.Stop();
    // One at a time, so that whatever a stopping torrent sets off never finds a destroyed
    // session in the list.
    while (!m_sessions.empty()) {
        std::unique_ptr<TorrentSession> session = std::move(m_sessions.front());
        m_sessions.erase(m_sessions.begin());
        std::erase_if(m_byInfoHash,
                      [&](const auto& entry) { return entry.second == session.get(); });
        session.reset();
    }
}

// ---- Downloads.xml ----

bool DownloadsList::Load(const std::string& path) {
    m_path = path;
    m_keepFile = false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        return false;  // a first start
    }
    CXML root;
    const bool parsed = root.Load(path);
    CXML* torrents = parsed ? root.FindChild("Torrents") : nullptr;
    if (torrents == nullptr) {
        // Saving the empty list over it at exit would lose every torrent it may still name.
        const std::string reason =
            parsed ? "it holds no list of torrents" : UnreadableReason(path, "list");
        std::string error;
        const std::string kept = KeepAside(path, error);
        m_keepFile = kept.empty();
        m_host.Ui().ShowMessage(
            m_keepFile ? path + " could not be read (" + reason + ") nor moved aside (" + error +
                             "). The downloads list starts empty, and the file is left as it is: "
                             "changes to the list cannot be saved."
                       : path + " could not be read (" + reason + "). It is kept as " + kept +
                             ", and the downloads list starts empty.",
            MessageIcon::Warning);
        return false;
    }
    std::vector<TorrentSession*> fetching;
    for (CXML* item = torrents->GetFirstChild(); item; item = torrents->GetNextChild()) {
        if (item->GetName() != "Torrent") {
            continue;
        }
        const std::string infoHash = ParseInfoHash(item->GetAttribute("InfoHashHex"));
        if (infoHash.empty()) {
            continue;
        }
        auto session = std::make_unique<TorrentSession>(m_host);
        const std::string magnet = item->GetAttribute("MagnetLink");
        if (!magnet.empty()) {
            // Its metadata had not arrived: it is fetched again, from the link.
            if (!session->OpenMagnet(magnet) || session->InfoHash() != infoHash) {
                continue;
            }
            if (!item->GetAttribute("Name").empty()) {
                session->SetName(item->GetAttribute("Name"));
            }
            if (!item->GetAttribute("SavePath").empty()) {
                session->SetSaveLocation(item->GetAttribute("SavePath"));
            }
            TorrentSession* listed = session.get();
            if (Add(std::move(session)) && item->GetAttribute("Fetching") == "1") {
                fetching.push_back(listed);
            }
            continue;
        }
        session->Restore(item->GetAttribute("TorrentFile"), item->GetAttribute("SavePath"),
                         item->GetAttribute("SaveName"), item->GetAttribute("Name"),
                         item->GetAttribute("BaseName"), infoHash, item->GetAttribute("AnnouceURL"),
                         static_cast<uint64_t>(item->GetAttributeInt64("Size")),
                         static_cast<uint64_t>(item->GetAttributeInt64("Left")));
        const bool loaded = session->LoadStatus(false);
        // The status file may name the torrent too; it has to be just as well formed.
        if (session->InfoHash().size() != 20) {
            continue;
        }
        if (!loaded) {
            // Kept in the list: its data is checked in its own folder when it starts.
            const std::string status = session->StatusPath();
            session->MarkStatusUnreadable((::access(status.c_str(), F_OK) == 0
                                               ? "The status file cannot be read: "
                                               : "The status file is missing: ") +
                                          status + "; the data is checked when the torrent starts");
        } else if (::access(session->TorrentFile().c_str(), F_OK) != 0) {
            session->SetStatusText("The .torrent file is missing: " + session->TorrentFile());
        }
        if (item->GetAttribute("Running") == "1") {
            session->KeepRunningOnRestart();
        }
        Add(std::move(session));
    }
    // Fetches that ran when the list was saved go on; stopped ones stay stopped.
    for (TorrentSession* session : fetching) {
        session->StartDownload(false);
    }
    m_listChanged = true;
    return true;
}

bool DownloadsList::SaveList() const {
    if (m_path.empty()) {
        return true;
    }
    if (Save(m_path)) {
        return true;
    }
    m_host.Ui().ShowMessage(m_keepFile ? "The downloads list was not saved: " + m_path +
                                             " could not be read and is left as it is."
                                       : "The downloads list could not be saved to " + m_path + ".",
                            MessageIcon::Error);
    return false;
}

bool DownloadsList::Save(const std::string& path) const {
    if (m_keepFile && path == m_path) {
        return false;
    }
    CXML root("Tarnwick");
    root.SetAttribute("Author", "Olendrix");
    root.SetAttribute("Version", "0.1");
    auto torrents = std::make_unique<CXML>("Torrents");
    for (const auto& session : m_sessions) {
        if (session->State() == SessionState::Waiting) {
            continue;  // a new torrent has no place on disk until the person has answered
        }
        auto item = std::make_unique<CXML>("Torrent");
        item->SetAttribute("TorrentFile", session->TorrentFile());
        item->SetAttribute("SavePath", session->SavePath());
        item->SetAttribute("SaveName", session->SaveName());
        item->SetAttribute("Name", session->Name());
        item->SetAttribute("BaseName", session->BaseName());
        item->SetAttribute("AnnouceURL", session->AnnounceUrl());
        item->SetAttribute("InfoHashHex", BytesToHex(session->InfoHash()));
        item->SetAttributeUInt64("Size", session->TotalLength());
        item->SetAttributeUInt64("Left", session->Left());
        if (!session->MagnetText().empty()) {
            item->SetAttribute("MagnetLink", session->MagnetText());
            item->SetAttribute("Fetching", session->RunsOnRestart() ? "1" : "0");
        } else if (session->RunsOnRestart()) {
            item->SetAttribute("Running", "1");
        }
        torrents->AddChild(std::move(item));
    }
    root.AddChild(std::move(torrents));
    return CXML::SaveFile(root, path);
}

// ---- adding and removing ----

bool DownloadsList::Add(std::unique_ptr<TorrentSession> session, size_t* index) {
    if (!session) {
        return false;
    }
    if (m_byInfoHash.contains(session->InfoHash())) {
        m_host.Ui().ShowMessage(kSameInfoHash, MessageIcon::Warning);
        return false;
    }
    m_byInfoHash[session->InfoHash()] = session.get();
    m_sessions.push_back(std::move(session));
    if (index) {
        *index = m_sessions.size() - 1;
    }
    m_listChanged = true;
    return true;
}

bool DownloadsList::AddNew(const std::string& name, const std::string& torrentFile,
                           TorrentSession** added, std::string* openError) {
    if (added) {
        *added = nullptr;
    }
    auto session = std::make_unique<TorrentSession>(m_host);
    session->SetName(name);
    if (!session->Open(torrentFile)) {
        if (openError) {
            *openError = session->OpenError();
        }
        return false;
    }
    TorrentSession* opened = session.get();
    // A refused duplicate is destroyed by Add: the caller must not be handed it.
    if (!Add(std::move(session), &m_shown)) {
        return false;
    }
    if (added) {
        *added = opened;
    }
    return true;
}

TorrentSession* DownloadsList::FindByInfoHash(std::string_view infoHash) const {
    const auto it = m_byInfoHash.find(infoHash);
    return it == m_byInfoHash.end() ? nullptr : it->second;
}

void DownloadsList::RemoveAt(size_t index) {
    const std::string statusPath = m_sessions[index]->StatusPath();
    std::unique_ptr<TorrentSession> session = std::move(m_sessions[index]);
    m_sessions.erase(m_sessions.begin() + static_cast<std::ptrdiff_t>(index));
    // By value: a restart re-reads the metainfo, so the session's own info hash may no longer be
    // the key it was listed under.
    std::erase_if(m_byInfoHash, [&](const auto& entry) { return entry.second == session.get(); });
    // The detail views keep showing the same torrent; when it is the one removed, none.
    if (m_shown == index) {
        m_shown = kNoneShown;
    } else if (m_shown > index && m_shown <= m_sessions.size()) {
        --m_shown;
    }
    m_listChanged = true;
    // A running torrent writes its status file as it stops, so the file goes only afterwards.
    session.reset();
    ::unlink(statusPath.c_str());
}

void DownloadsList::RemoveByInfoHash(std::string_view infoHash) {
    const TorrentSession* session = FindByInfoHash(infoHash);
    if (!session) {
        return;
    }
    const auto it = std::find_if(m_sessions.begin(), m_sessions.end(),
                                 [&](const auto& listed) { return listed.get() == session; });
    if (it != m_sessions.end()) {
        RemoveAt(static_cast<size_t>(it - m_sessions.begin()));
        SaveList();
    }
}

void DownloadsList::RemoveSelected() {
    bool removed = false;
    for (size_t i = 0; i < m_sessions.size();) {
        if (m_sessions[i]->IsSelected()) {
            RemoveAt(i);
            removed = true;
        } else {
            ++i;
        }
    }
    if (removed) {
        SaveList();
    }
}

// ---- list commands ----

void DownloadsList::Select(size_t index) {
    if (index < m_sessions.size()) {
        m_sessions[index]->SetSelected(true);
    }
}

void DownloadsList::ClearSelection() {
    for (const auto& session : m_sessions) {
        session->SetSelected(false);
    }
}

// By index: whatever a start or stop sets off may change the list.
void DownloadsList::StartSelected() {
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        if (m_sessions[i]->IsSelected()) {
            m_sessions[i]->StartDownload(false);
        }
    }
}

void DownloadsList::StopSelected() {
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        if (m_sessions[i]->IsSelected()) {
            m_sessions[i]->Stop();
        }
    }
}

void DownloadsList::ResumeSelected() {
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        if (m_sessions[i]->IsSelected()) {
            m_sessions[i]->Resume();
        }
    }
}

void DownloadsList::RefreshShown() {
    if (m_shown < m_sessions.size()) {
        m_sessions[m_shown]->RefreshProgress();
    }
}

void DownloadsList::SaveProgress() {
    // By index: a torrent that cannot save its status stops, and that changes the list's flags.
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        m_sessions[i]->SaveStatusIfChanged();
    }
}

void DownloadsList::Tick() {
    RefreshShown();
    // Every running torrent, not only the one on screen: a crash of either front end loses at
    // most this period's verified pieces, and an idle one writes nothing.
    SaveProgress();
}

bool DownloadsList::TakeListChanged() {
    const bool changed = m_listChanged;
    m_listChanged = false;
    return changed;
}

}  // namespace velbrook
