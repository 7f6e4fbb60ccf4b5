// The root of the engine: settings, the downloads list, the socket registry and the listening
// socket, and the values every connection shares (own peer id, reserved bytes, listen port).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "dht/DhtNode.h"
#include "engine/SessionHost.h"
#include "engine/TorrentSession.h"
#include "engine/WatchFolder.h"
#include "net/Reactor.h"
#include "peer/PeerLinks.h"
#include "persist/CXML.h"
#include "persist/Settings.h"

namespace velbrook {

class CListenSocket;
class DownloadsList;
class SocketRegistry;
class UiHost;

class CVelbrookDoc : public SessionHost, public PeerHost {
public:
    // Opens the profile: creates "Status/", reads Velbrook.xml and Downloads.xml, telling the
    // person about settings it had to ignore and a list it could not read. `profileDir` ends in
    // "/". A Reactor must exist; every timer of the engine runs on `clock` (the reactor itself,
    // but for tests), which outlives the document.
    CVelbrookDoc(const std::string& profileDir, UiHost& ui, Clock& clock);
    // Closes every peer socket, writes Downloads.xml, stops and destroys every torrent.
    ~CVelbrookDoc() override;
    CVelbrookDoc(const CVelbrookDoc&) = delete;
    CVelbrookDoc& operator=(const CVelbrookDoc&) = delete;

    // New peer id and reserved bytes, a fresh listening socket on the configured port (none with
    // a proxy). False when nothing listens.
    bool StartListening();
    // Listens again on the chosen port when an earlier attempt failed; the peer id stays, since
    // trackers and peers know us by it.
    void EnsureListening();
    // Adds a .torrent file and starts it. With `saveFolder` the torrent goes there without asking;
    // otherwise it waits in the list for the person to say where (and leaves it when they
    // cancel). False when it could not be added (unreadable, a duplicate, or cancelled by an
    // answer that came at once); true when it is listed and its start has begun. A torrent that
    // could not be added leaves no copy of its file behind.
    bool OpenTorrentFile(const std::string& path, const std::string& saveFolder = {});
    // Adds a torrent named by a magnet link and starts fetching its metadata from the link's
    // trackers and peers. Once the metadata is verified it goes on exactly like a torrent added
    // from a file (in `saveFolder` when given, else where the person says). False, the person
    // told why, when the link names no torrent or the torrent is listed already.
    bool OpenMagnetLink(const std::string& link, const std::string& saveFolder = {});
    // Writes Downloads.xml. A failure is shown to the person, so callers need not act on it.
    bool SaveDownloads() const;
    // An orderly exit: every running torrent stops (its status written, its "stopped" announce
    // sent), and the loop runs until the trackers have heard the final totals, for 3 s at most.
    // The front end destroys the document afterwards.
    void Shutdown();
    // The options dialog: changed values are applied and written to Velbrook.xml once the person
    // presses OK. While it is open, asking again does nothing.
    void OnOptions();
    // The one way the settings change: `after` is in force from now on, and whoever depends on
    // a key that changed hears of it at once (OnSettingsChanged). Nothing is saved.
    void ApplySettings(const Settings& after);
    // ApplySettings, then Velbrook.xml written, as a person's or a remote's change is kept. False
    // (and a message) when it could not be written: the change lasts until the program ends.
    bool ApplyAndSaveSettings(const Settings& after);

    DownloadsList& Downloads() { return *m_downloads; }
    // The layout of the views (Style.xml in the profile, copied there from the one installed
    // beside the executable when missing). Views read it and write their column widths into it;
    // it is saved first at shutdown, unless it could not be read. Read when first asked for, so
    // that a program without views (the headless one) leaves the file alone.
    CXML& Style();
    std::string StylePath() const { return m_profileDir + "Style.xml"; }
    // Writes Style.xml now. False (errno telling why) when it cannot, or when the file could
    // not be read at start, so that an empty tree never replaces it.
    [[nodiscard]] bool SaveStyle();
    bool IsListening() const { return m_listen != nullptr; }
    // Nodes in the DHT node's tables; 0 while it does not run.
    size_t DhtNodeCount() const { return m_dht ? m_dht->NodeCount() : 0; }
    bool DhtRunning() const { return m_dht != nullptr; }
    // Where torrents from the watch folder are saved instead of the DefaultDownloadPath setting
    // (the folder the headless program was told to save in).
    void SetWatchSaveFolder(std::string folder) { m_watchSaveFolder = std::move(folder); }

    // SessionHost
    PeerHost& Peers() override { return *this; }
    UiHost& Ui() override { return m_ui; }
    const Settings& CurrentSettings() const override { return m_settings; }
    const std::string& ProfileDir() const override { return m_profileDir; }
    const std::string& OwnPeerId() const override { return m_peerId; }
    uint16_t ListenPort() const override { return m_listenPort; }
    void Trace(const std::string& line) override;
    void MarkListChanged() override;
    Clock& GetClock() override { return m_clock; }
    UdpTrackerService& UdpTrackers() override { return *m_udpTrackers; }
    void OnMetadataArrived(TorrentSession& session) override;
    DhtLink* Dht() override { return m_dht.get(); }

    // PeerHost
    const std::string& ReservedBytes() const override { return m_reserved; }
    SwarmLink* FindSwarm(std::string_view infoHash) override;
    SocketRegistry& Registry() override { return *m_registry; }
    const std::string& SelectedPeerId() const override { return m_shownPeer; }
    void SetSelectedPeerId(const std::string& peerId) { m_shownPeer = peerId; }
    // The address of the last "url" item chosen in the navigation tree.
    void SetCurrentAddress(std::string address) { m_currentAddress = std::move(address); }
    const std::string& CurrentAddress() const { return m_currentAddress; }
    void UpdateAllViews() override;
    uint16_t DhtPort() const override { return m_dht ? m_dht->Port() : 0; }

private:
    static constexpr Duration kExitGrace = std::chrono::seconds(3);
    bool StopAnnouncesPending() const;
    // The listening socket and every peer connection close.
    void ClosePeers();
    void ReportOwnAddress();
    void LoadStyle();
    bool OpenListenSocket();
    // The DHT node on the listen port's number, when the settings want one and no proxy is in
    // use (a node would speak past it). Starting stops the node that ran before; every running
    // torrent then follows the change.
    void StartDht();
    void StopDht();
    // The watch folder the settings name, once listening has started; a new one replaces the
    // folder watched before.
    void StartWatching();
    void StopWatching();
    WatchFolder::Outcome AddWatched(const std::string& path, const std::string& bytes,
                                    const std::string& infoHash, std::string& why);
    void UpdateReserved();
    void ApplyOptions(const SettingsValues& values);
    // Tells the socket registry, the trackers and the running torrents' peers what changed
    // between `before` and `after` (the settings now in force), each through its own hook.
    void OnSettingsChanged(const Settings& before, const Settings& after);
    // The hooks. The proxy and the reported address go to the socket registry (for the next
    // peer connections) and to every tracker (for the next announces); the limits to every
    // running torrent's peers.
    void PushConnectionSettings();
    void PushPeerLimits();
    void MakeDownloadFolder();
    // A new listening socket means new connections for every torrent: the old ones close and
    // the peer sets dial again.
    void Relisten();
    void OnNewTorrentDone(const std::string& infoHash, TorrentSession::StartOutcome outcome);
    // New torrents still waiting for the person leave the list, as if cancelled.
    void AbandonWaiting();
    // Removes the copy under Torrents/ unless a listed torrent reads it.
    void RemoveUnusedCopy(const std::string& copy);

    std::string m_profileDir;
    UiHost& m_ui;
    Clock& m_clock;
    Settings m_settings;
    std::unique_ptr<SocketRegistry> m_registry;
    // Outlives the torrents, whose trackers' requests it carries.
    std::unique_ptr<UdpTrackerService> m_udpTrackers;
    std::unique_ptr<CListenSocket> m_listen;
    // Outlives the torrents, whose lookups it runs.
    std::unique_ptr<DhtNode> m_dht;
    std::unique_ptr<DownloadsList> m_downloads;
    // Named "class": the setting of the same name hides it.
    std::unique_ptr<class WatchFolder> m_watch;
    std::string m_watchSaveFolder;
    std::string m_peerId;
    std::string m_reserved;
    uint16_t m_listenPort = 0;
    bool m_listeningStarted = false;
    std::string m_shownPeer;
    std::string m_currentAddress;
    CXML m_style;
    bool m_styleRead = false;
    bool m_styleLoaded = false;
    bool m_optionsOpen = false;
    // Torrents added but not yet settled (waiting for the person), by info hash: the copy made
    // for each under Torrents/, or empty when it reads the person's own file.
    std::map<std::string, std::string> m_adding;
    // Lets an answer that comes late learn whether the document still exists.
    Liveness m_liveness;
};

}  // namespace velbrook
