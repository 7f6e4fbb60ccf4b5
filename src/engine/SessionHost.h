// What a torrent session needs from the engine document.
#pragma once

#include <cstdint>
#include <string>

namespace velbrook {

class Clock;
class DhtLink;
class PeerHost;
class TorrentSession;
class Settings;
class UdpTrackerService;
class UiHost;

class SessionHost {
public:
    virtual ~SessionHost() = default;
    virtual PeerHost& Peers() = 0;
    virtual UiHost& Ui() = 0;
    // The settings in force, read when they are needed; a torrent hands its peers and its
    // tracker what they need of them when it makes them.
    virtual const Settings& CurrentSettings() const = 0;
    // The profile folder, ending in "/": status files live in its "Status/".
    virtual const std::string& ProfileDir() const = 0;
    virtual const std::string& OwnPeerId() const = 0;
    virtual uint16_t ListenPort() const = 0;
    virtual void Trace(const std::string& line) = 0;
    // Some torrent was added, removed or changed state: the list view rebuilds its rows.
    virtual void MarkListChanged() = 0;
    // The engine's clock, for the save tick, the check of data on disk and the tracker.
    virtual Clock& GetClock() = 0;
    // The program's one service for every UDP tracker.
    virtual UdpTrackerService& UdpTrackers() = 0;
    // A torrent opened from a magnet link has its verified metadata, saved as a .torrent, and
    // is stopped: the host starts it as a torrent just added from that file. Called from a turn
    // of the loop of its own; the host may remove the torrent.
    virtual void OnMetadataArrived(TorrentSession& /*session*/) {}
    // The running DHT node; null while the program keeps off the DHT.
    virtual DhtLink* Dht() { return nullptr; }
};

}  // namespace velbrook
