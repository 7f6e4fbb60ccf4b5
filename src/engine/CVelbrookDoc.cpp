#include "engine/CVelbrookDoc.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

#include "engine/DownloadsList.h"
#include "engine/LayerSettings.h"
#include "engine/PeerSet.h"
#include "engine/StatusFile.h"
#include "engine/TorrentSession.h"
#include "engine/UiHost.h"
#include "metainfo/FileList.h"
#include "metainfo/SHA1.h"
#include "metainfo/TorrentFile.h"
#include "net/Reactor.h"
#include "peer/CListenSocket.h"
#include "peer/PeerId.h"
#include "peer/SocketRegistry.h"
#include "peer/Wire.h"
#include "persist/DurableFile.h"
#include "persist/PrintableText.h"
#include "persist/Profile.h"
#include "persist/Settings.h"
#include "storage/FileStorage.h"
#include "tracker/UdpTrackerService.h"

namespace velbrook {

namespace {

uint16_t RandomListenPort() {
    static std::mt19937 rng{std::random_device{}()};
    return static_cast<uint16_t>(7000 + rng() % 50000);
}

}  // namespace

CVelbrookDoc::CVelbrookDoc(const std::string& profileDir, UiHost& ui, Clock& clock)
    : m_profileDir(WithSlash(profileDir)), m_ui(ui), m_clock(clock) {
    // Big torrents and many of them: as many descriptors as the system allows us.
    RaiseOpenFileLimit();
    IgnoreFileSizeSignal();
    ::mkdir(m_profileDir.c_str(), 0755);
    ::mkdir((m_profileDir + "Status").c_str(), 0755);
    StatusFile::RemoveStaleTemporaries(m_profileDir);
    m_settings.Load(m_profileDir + Settings::FileName(), [this](const std::string& line) {
        m_ui.ShowMessage(line, MessageIcon::Warning);
    });
    m_registry = std::make_unique<SocketRegistry>(m_clock);
    m_registry->SetProxy(ProxyFrom(m_settings));
    m_udpTrackers = std::make_unique<UdpTrackerService>(m_clock);
    m_downloads = std::make_unique<DownloadsList>(*this);
    m_downloads->Load(m_profileDir + "Downloads.xml");
    m_peerId = BuildPeerId();
    UpdateReserved();
}

CXML& CVelbrookDoc::Style() {
    if (!m_styleRead) {
        m_styleRead = true;
        LoadStyle();
    }
    return m_style;
}

void CVelbrookDoc::LoadStyle() {
    const std::string path = StylePath();
    if (::access(path.c_str(), F_OK) != 0) {
        // A first start: the layout installed beside the program becomes the person's own.
        std::error_code ec;
        std::filesystem::copy_file(WithSlash(ExecutableDir()) + "Style.xml", path, ec);
    }
    m_styleLoaded = m_style.Load(path);
}

bool CVelbrookDoc::SaveStyle() {
    if (!m_styleLoaded) {
        errno = ENOENT;
        return false;
    }
    return CXML::SaveFile(m_style, StylePath());
}

CVelbrookDoc::~CVelbrookDoc() {
    m_ui.Withdraw(this);
    // The views are gone by now; the widths they left in the layout are kept first.
    if (m_styleLoaded && !SaveStyle()) {
        m_ui.ShowMessage(StylePath() + " could not be saved: " + std::strerror(errno),
                         MessageIcon::Warning);
    }
    // Every peer socket closes first, so the torrents stop without live connections. The registry
    // itself stays until the end: closing one socket may dispose of others through it.
    StopWatching();
    ClosePeers();
    AbandonWaiting();
    SaveDownloads();
    m_downloads.reset();
    StopDht();
}

void CVelbrookDoc::Trace(const std::string& /*line*/) {}

void CVelbrookDoc::MarkListChanged() {
    if (m_downloads) {
        m_downloads->MarkListChanged();
    }
}

void CVelbrookDoc::UpdateAllViews() {
    m_ui.PostUpdateAllViews();
}

SwarmLink* CVelbrookDoc::FindSwarm(std::string_view infoHash) {
    TorrentSession* session = m_downloads ? m_downloads->FindByInfoHash(infoHash) : nullptr;
    return session ? session->Peers() : nullptr;
}

// The address trackers are told is the last IPv4 address the host's own name has in the hosts
// file. Only the file is read: asking a name server here would put network traffic (and a wait)
// into every start of listening.
void CVelbrookDoc::ReportOwnAddress() {
    char name[256] = {};
    std::string address;
    if (::gethostname(name, sizeof name - 1) == 0) {
        std::ifstream hosts("/etc/hosts");
        std::string line;
        while (std::getline(hosts, line)) {
            line = line.substr(0, line.find('#'));
            std::istringstream fields(line);
            std::string ip;
            std::string alias;
            if (!(fields >> ip) || ip.find(':') != std::string::npos) {
                continue;
            }
            while (fields >> alias) {
                if (alias == name) {
                    address = ip;
                }
            }
        }
    }
    Settings reported = m_settings;
    reported.SetString(ReportIP, address);
    ApplySettings(reported);
}

bool CVelbrookDoc::StartListening() {
    m_listeningStarted = true;
    m_peerId = BuildPeerId();
    ReportOwnAddress();
    m_listen.reset();
    const int configured = m_settings.GetInt(SettingsKey::ListenPort);
    m_listenPort = configured == 0 ? RandomListenPort() : static_cast<uint16_t>(configured);
    const bool listening = OpenListenSocket();
    StartDht();
    StartWatching();
    return listening;
}

void CVelbrookDoc::UpdateReserved() {
    m_reserved =
        velbrook::ReservedBytes(m_settings.GetInt(ProtocalExtension) == 1, m_dht != nullptr);
}

namespace {

// "host:port" entries separated by commas, blanks around them dropped.
std::vector<std::string> SplitRouters(const std::string& text) {
    std::vector<std::string> routers;
    std::istringstream list(text);
    std::string entry;
    while (std::getline(list, entry, ',')) {
        const size_t first = entry.find_first_not_of(" \t");
        const size_t last = entry.find_last_not_of(" \t");
        if (first != std::string::npos) {
            routers.push_back(entry.substr(first, last - first + 1));
        }
    }
    return routers;
}

}  // namespace

void CVelbrookDoc::StartDht() {
    StopDht();
    if (m_listeningStarted && m_settings.GetInt(DhtEnabled) == 1 &&
        m_settings.GetInt(ConnectionType) == 0) {
        DhtOptions options;
        options.port = m_listenPort;
        options.routers = SplitRouters(m_settings.GetString(DhtRouters));
        options.statePath = m_profileDir + "Dht.dat";
        auto node =
            std::make_unique<DhtNode>(m_clock, std::move(options), [this](const std::string& line) {
                Trace("DHT: " + line + "\r\n");
            });
        std::string why;
        if (node->Start(why)) {
            m_dht = std::move(node);
        } else {
            m_ui.ShowMessage("The DHT node could not start on UDP port " +
                                 std::to_string(m_listenPort) + ": " + why,
                             MessageIcon::Warning);
        }
    }
    UpdateReserved();
    if (m_dht && m_downloads) {
        for (const auto& session : m_downloads->Sessions()) {
            session->FollowDht();
        }
    }
}

void CVelbrookDoc::StopDht() {
    if (!m_dht) {
        return;
    }
    // The torrents let go of their lookups before the node goes.
    const std::unique_ptr<DhtNode> node = std::move(m_dht);
    if (m_downloads) {
        for (const auto& session : m_downloads->Sessions()) {
            session->FollowDht();
        }
    }
    node->Stop();
    UpdateReserved();
}

void CVelbrookDoc::StartWatching() {
    const std::string folder = m_settings.GetString(WatchFolder);
    if (m_watch && m_watch->Folder() == folder) {
        return;
    }
    StopWatching();
    if (!m_listeningStarted || folder.empty()) {
        return;
    }
    // The copies that listed torrents read live there: marking them would lose them.
    std::error_code ec;
    if (WithSlash(std::filesystem::weakly_canonical(folder, ec).string()) ==
        WithSlash(std::filesystem::weakly_canonical(m_profileDir + "Torrents", ec).string())) {
        m_ui.ShowMessage("The watch folder " + PrintableLine(folder) +
                             " is where the program keeps its own copies of torrents; it is "
                             "not watched.",
                         MessageIcon::Warning);
        return;
    }
    m_watch = std::make_unique<class WatchFolder>(
        m_clock, folder,
        [this](const std::string& path, const std::string& bytes, const std::string& infoHash,
               std::string& why) { return AddWatched(path, bytes, infoHash, why); },
        [this](const std::string& line) { m_ui.ShowMessage(line, MessageIcon::Warning); });
    m_watch->Start();
}

void CVelbrookDoc::StopWatching() {
    if (m_watch) {
        // Settings may change from within the watch folder's own handler (an add that asks).
        m_watch->Stop();
        Reactor::DeleteLater(std::move(m_watch));
    }
}

WatchFolder::Outcome CVelbrookDoc::AddWatched(const std::string& path, const std::string& bytes,
                                              const std::string& infoHash, std::string& why) {
    if (const TorrentSession* listed = m_downloads->FindByInfoHash(infoHash)) {
        // Opened by the person from the folder itself, without a copy of ours.
        std::error_code ec;
        return std::filesystem::equivalent(listed->TorrentFile(), path, ec)
                   ? WatchFolder::Outcome::InUse
                   : WatchFolder::Outcome::Listed;
    }
    const std::string name = std::filesystem::path(path).filename().string();
    std::string folder = m_watchSaveFolder;
    if (folder.empty()) {
        folder = m_settings.GetString(DefaultDownloadPath);
    }
    if (folder.empty()) {
        folder = DefaultSaveFolder();
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    // The torrent reads its own copy: the file in the watch folder is renamed next, and is the
    // person's to delete.
    const std::string torrents = m_profileDir + "Torrents/";
    std::filesystem::create_directories(torrents, ec);
    std::string copy = torrents + name;
    std::string existing;
    std::string error;
    if (ReadFileLimited(copy, kMaxTorrentFileSize, existing, error) && existing != bytes) {
        // Another torrent's copy under the same name stays as it is.
        copy = torrents + name.substr(0, name.size() - 8) + "-" +
               BytesToHex(infoHash).substr(0, 8) + ".torrent";
    }
    const bool written = !std::filesystem::exists(copy, ec);
    if (written && !ReplaceFile(copy, bytes)) {
        why = "its copy could not be stored in " + torrents + ": " + std::strerror(errno);
        return WatchFolder::Outcome::Failed;
    }
    if (!OpenTorrentFile(copy, folder)) {
        if (written) {
            RemoveUnusedCopy(copy);
        }
        why = "the torrent could not be started";
        return WatchFolder::Outcome::Failed;
    }
    return WatchFolder::Outcome::Added;
}

bool CVelbrookDoc::OpenListenSocket() {
    if (m_settings.GetInt(ConnectionType) != 0) {
        return false;  // through a proxy nobody can reach us
    }
    auto listen = std::make_unique<CListenSocket>(*this);
    int error = 0;
    bool listening = listen->Listen(m_listenPort, error);
    // A port drawn at random that another program holds is no reason to give up: draw again.
    const bool random = m_settings.GetInt(SettingsKey::ListenPort) == 0;
    for (int draw = 0; !listening && random && error == EADDRINUSE && draw < 16; ++draw) {
        m_listenPort = RandomListenPort();
        listening = listen->Listen(m_listenPort, error);
    }
    if (!listening) {
        m_ui.ShowMessage(error == EADDRINUSE ? "SOCKET IN USE: port " + std::to_string(m_listenPort)
                                             : "SOCKET Listen Error",
                         MessageIcon::Error);
        return false;
    }
    m_listen = std::move(listen);
    return true;
}

void CVelbrookDoc::EnsureListening() {
    if (!m_listeningStarted) {
        StartListening();
    } else if (!m_listen) {
        OpenListenSocket();
    }
}

void CVelbrookDoc::ClosePeers() {
    m_listen.reset();
    m_registry->CloseAll();
}

void CVelbrookDoc::Shutdown() {
    StopWatching();  // nothing new starts while the rest stops
    // Peers first: no torrent stops with live connections half taken apart.
    ClosePeers();
    AbandonWaiting();
    for (const auto& session : m_downloads->Sessions()) {
        if (session->IsActive()) {
            session->Stop();
            // Stopped by the exit, not by the person.
            session->KeepRunningOnRestart();
        }
    }
    // The loop's own time bounds the wait: a program that exits waits in real time, whatever
    // clock its timers run on.
    Reactor& loop = Reactor::Get();
    const Time deadline = loop.Now() + kExitGrace;
    while (StopAnnouncesPending() && loop.Now() < deadline) {
        loop.RunOnce(50);
    }
    StopDht();  // writes the nodes it knows for the next start
}

bool CVelbrookDoc::StopAnnouncesPending() const {
    if (m_udpTrackers->StopsPending()) {
        return true;
    }
    for (const auto& session : m_downloads->Sessions()) {
        if (session->Tracker() && session->Tracker()->StopAnnounceInFlight()) {
            return true;
        }
    }
    return false;
}

bool CVelbrookDoc::SaveDownloads() const {
    return m_downloads && m_downloads->SaveList();
}

bool CVelbrookDoc::OpenTorrentFile(const std::string& path, const std::string& saveFolder) {
    EnsureListening();
    const std::string fileName = std::filesystem::path(path).filename().string();
    const std::string name = fileName.size() > 8 ? fileName.substr(0, fileName.size() - 8) : "";
    std::string torrentFile = path;
    if (m_settings.GetInt(TorrentCache) != 0) {
        const std::string folder = m_profileDir + "Torrents";
        ::mkdir(folder.c_str(), 0755);
        std::string bytes;
        std::string error;
        if (ReadFileLimited(path, kMaxTorrentFileSize, bytes, error)) {
            std::string copy = folder + "/" + fileName;
            std::string existing;
            // Another torrent's copy under the same file name is kept: a listed torrent whose
            // copy changed under it would restart with a different torrent's layout.
            if (ReadFileLimited(copy, kMaxTorrentFileSize, existing, error) && existing != bytes) {
                const std::string stem = std::filesystem::path(fileName).stem().string();
                copy = folder + "/" + stem + "-" + BytesToHex(SHA1::Digest(bytes)).substr(0, 8) +
                       ".torrent";
            }
            // Durable before the list names it: a crash must not leave the list pointing at
            // an empty copy.
            if (ReplaceFile(copy, bytes)) {
                torrentFile = copy;
            }
        }
    }
    // Opened from the copies' own folder, the file is the person's, not a copy of ours.
    const std::string copy = torrentFile != path ? torrentFile : std::string();
    TorrentSession* session = nullptr;
    std::string openError;
    if (!m_downloads->AddNew(name, torrentFile, &session, &openError) || !session) {
        RemoveUnusedCopy(copy);
        if (!openError.empty()) {
            m_ui.ShowMessage("Can't open the torrent file " + path + ": " + openError,
                             MessageIcon::Error);
        }
        return false;
    }
    if (!saveFolder.empty()) {
        const bool single = session->Files() && session->Files()->m_singleFile;
        session->SetSaveLocation(saveFolder, single ? session->Files()->m_saveName : std::string());
    }
    const std::string infoHash = session->InfoHash();
    m_adding[infoHash] = copy;
    session->StartDownload(
        true, [this, alive = m_liveness.Watch(), infoHash](TorrentSession::StartOutcome outcome) {
            if (alive.Alive()) {
                OnNewTorrentDone(infoHash, outcome);
            }
        });
    // An answer that came at once may have cancelled it already.
    return m_downloads->FindByInfoHash(infoHash) != nullptr;
}

bool CVelbrookDoc::OpenMagnetLink(const std::string& link, const std::string& saveFolder) {
    EnsureListening();
    auto session = std::make_unique<TorrentSession>(*this);
    if (!session->OpenMagnet(link)) {
        const std::string shown = link.size() > 200 ? link.substr(0, 200) + "..." : link;
        m_ui.ShowMessage("Can't open the magnet link " + PrintableLine(shown) + ": " +
                             session->OpenError(),
                         MessageIcon::Error);
        return false;
    }
    if (!saveFolder.empty()) {
        session->SetSaveLocation(saveFolder);
    }
    TorrentSession* added = session.get();
    size_t index = 0;
    if (!m_downloads->Add(std::move(session), &index)) {
        return false;  // a duplicate, and the person has been told
    }
    m_downloads->SetShown(index);
    added->StartDownload(true);
    SaveDownloads();
    UpdateAllViews();
    return true;
}

void CVelbrookDoc::OnMetadataArrived(TorrentSession& session) {
    const std::string infoHash = session.InfoHash();
    // The saved .torrent goes again if the person then cancels, as a copy of an added file does.
    m_adding[infoHash] = session.TorrentFile();
    session.StartDownload(
        true, [this, alive = m_liveness.Watch(), infoHash](TorrentSession::StartOutcome outcome) {
            if (alive.Alive()) {
                OnNewTorrentDone(infoHash, outcome);
            }
        });
}

void CVelbrookDoc::OnNewTorrentDone(const std::string& infoHash,
                                    TorrentSession::StartOutcome outcome) {
    const auto adding = m_adding.find(infoHash);
    const std::string copy = adding != m_adding.end() ? adding->second : std::string();
    if (adding != m_adding.end()) {
        m_adding.erase(adding);
    }
    if (outcome == TorrentSession::StartOutcome::Cancelled) {
        m_downloads->RemoveByInfoHash(infoHash);  // saves the shorter list
        RemoveUnusedCopy(copy);
    } else {
        // Started, or stopped by a fault it names: listed either way, to be started again.
        m_downloads->MarkListChanged();
        SaveDownloads();
    }
    UpdateAllViews();
}

void CVelbrookDoc::AbandonWaiting() {
    const std::map<std::string, std::string> adding = std::exchange(m_adding, {});
    for (const auto& [infoHash, copy] : adding) {
        const TorrentSession* session = m_downloads->FindByInfoHash(infoHash);
        if (session && session->State() == SessionState::Waiting) {
            m_downloads->RemoveByInfoHash(infoHash);  // its question goes with it
        }
        RemoveUnusedCopy(copy);
    }
}

void CVelbrookDoc::RemoveUnusedCopy(const std::string& copy) {
    if (copy.empty()) {
        return;
    }
    for (const auto& session : m_downloads->Sessions()) {
        if (session->TorrentFile() == copy) {
            return;
        }
    }
    ::unlink(copy.c_str());
}

void CVelbrookDoc::OnOptions() {
    if (m_optionsOpen) {
        return;
    }
    m_optionsOpen = true;
    m_ui.EditOptions(this, m_settings.Values(),
                     [this, alive = m_liveness.Watch()](std::optional<SettingsValues> values) {
                         if (!alive.Alive()) {
                             return;
                         }
                         m_optionsOpen = false;
                         if (values) {
                             ApplyOptions(*values);
                         }
                     });
}

void CVelbrookDoc::ApplyOptions(const SettingsValues& values) {
    Settings edited = m_settings;
    edited.Apply(values);
    ApplyAndSaveSettings(edited);
}

bool CVelbrookDoc::ApplyAndSaveSettings(const Settings& after) {
    ApplySettings(after);
    if (m_settings.Save(m_profileDir + Settings::FileName())) {
        return true;
    }
    m_ui.ShowMessage("The options could not be saved to " + m_profileDir + Settings::FileName() +
                         "; they last until the program ends.",
                     MessageIcon::Error);
    return false;
}

void CVelbrookDoc::ApplySettings(const Settings& after) {
    const Settings before = std::exchange(m_settings, after);
    OnSettingsChanged(before, m_settings);
}

void CVelbrookDoc::OnSettingsChanged(const Settings& before, const Settings& after) {
    using Hook = void (CVelbrookDoc::*)();
    // Who hears of a change of each key, in the order the hooks run: listening restarts last, so
    // that the peers dial again with everything else already in place. A key without a hook is
    // read where it is used, when it is used (starting or adding a torrent, starting to listen).
    static constexpr std::pair<int, Hook> kHooks[] = {
        {ConnectionType, &CVelbrookDoc::PushConnectionSettings},
        {SocksServer, &CVelbrookDoc::PushConnectionSettings},
        {SocksPort, &CVelbrookDoc::PushConnectionSettings},
        {Socks5UserName, &CVelbrookDoc::PushConnectionSettings},
        {Socks5Password, &CVelbrookDoc::PushConnectionSettings},
        {ReportIP, &CVelbrookDoc::PushConnectionSettings},
        {CheckTrackerCertificates, &CVelbrookDoc::PushConnectionSettings},
        {MaxConnectedPeers, &CVelbrookDoc::PushPeerLimits},
        {MaxUpLoadSlots, &CVelbrookDoc::PushPeerLimits},
        {MaxUploadSpeed, &CVelbrookDoc::PushPeerLimits},
        {MaxDownloadSpeed, &CVelbrookDoc::PushPeerLimits},
        {UpDownRatio, &CVelbrookDoc::PushPeerLimits},
        {MinUploadRate, &CVelbrookDoc::PushPeerLimits},
        {LogPeerComm, &CVelbrookDoc::PushPeerLimits},
        {LogPeerCommLines, &CVelbrookDoc::PushPeerLimits},
        {DefaultDownloadPath, &CVelbrookDoc::MakeDownloadFolder},
        {DhtEnabled, &CVelbrookDoc::StartDht},
        {DhtRouters, &CVelbrookDoc::StartDht},
        {WatchFolder, &CVelbrookDoc::StartWatching},
        {SettingsKey::ListenPort, &CVelbrookDoc::Relisten},
        {ConnectionType, &CVelbrookDoc::Relisten},
    };
    const auto changed = [&](int key) {
        const bool text = key <= Socks5Password || key == DhtRouters || key == WatchFolder;
        return text ? before.GetString(key) != after.GetString(key)
                    : before.GetInt(key) != after.GetInt(key);
    };
    // Decided before any hook runs: a hook may change the settings again (listening reports the
    // host's address), and that change is told on its own.
    std::vector<Hook> due;
    for (const auto& [key, hook] : kHooks) {
        if (changed(key) && std::find(due.begin(), due.end(), hook) == due.end()) {
            due.push_back(hook);
        }
    }
    for (const Hook hook : due) {
        (this->*hook)();
    }
}

// Connections already under way keep the proxy they began with.
void CVelbrookDoc::PushConnectionSettings() {
    m_registry->SetProxy(ProxyFrom(m_settings));
    const AnnounceSettings announce = AnnounceSettingsFrom(m_settings);
    for (const auto& session : m_downloads->Sessions()) {
        if (TrackerClient* tracker = session->Tracker()) {
            tracker->SetAnnounceSettings(announce);
        }
    }
}

void CVelbrookDoc::PushPeerLimits() {
    const PeerLimits limits = PeerLimitsFrom(m_settings);
    for (const auto& session : m_downloads->Sessions()) {
        if (PeerSet* peers = session->Peers()) {
            peers->SetLimits(limits);
        }
    }
}

void CVelbrookDoc::MakeDownloadFolder() {
    ::mkdir(m_settings.GetString(DefaultDownloadPath).c_str(), 0755);
}

void CVelbrookDoc::Relisten() {
    ClosePeers();
    StartListening();
}

}  // namespace velbrook
