// The known peers of one running torrent, their connections, the timers that drive them, and
// the choking and rate control that decide whom we serve and how fast.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "peer/EngineTimer.h"
#include "storage/RateMeter.h"

namespace velbrook {

class PeerConnection;
class PeerHost;
class PeerSocket;
class SessionLink;

class PeerSet : public TimerOwner {
public:
    // Picks a uniformly random non-negative number; tests script it.
    using Random = std::function<uint32_t()>;

    // Starts the four timers (service 500 ms, choke 10 s, cleanup 120 s, reconnect 40 s) unless
    // `startTimers` is false (tests drive the ticks by hand).
    PeerSet(SessionLink& session, PeerHost& host, std::string infoHash,
            RateMeter::Clock clock = RateMeter::MonotonicSeconds, Random random = {},
            bool startTimers = true);
    ~PeerSet() override;  // stops the timers before any connection goes
    PeerSet(const PeerSet&) = delete;
    PeerSet& operator=(const PeerSet&) = delete;

    PeerConnection* FindPeer(const std::string& peerId) const;
    // A new connection at the end of the peer list (no socket yet).
    PeerConnection* CreatePeer(const std::string& address, const std::string& peerId, uint16_t port,
                               uint16_t listenPort);
    // Dials a known peer unless it is connected, the connected count is at MaxConnectedPeers, or
    // its socket is still connecting.
    bool ConnectPeer(PeerConnection& connection);
    bool RemovePeer(PeerConnection& connection);
    void BroadcastHave(uint32_t piece);
    void Resume();

    // Choking and rate control.
    void ChokePass();
    void ServiceTick();
    void NoteQueuedRequest(PeerConnection& connection);
    bool DownloadLimitReached(PeerConnection& connection);

    // Timer ticks (also callable by tests).
    void OnTimer(TimerKind kind) override;
    void ReconnectTick();
    void CleanupTick();

    // Kept by the connections.
    void AdjustConnectedCount(int delta) { m_connectedCount += delta; }
    void AdjustSeedCount(int delta) { m_seedCount += delta; }
    int32_t ConnectedCount() const { return m_connectedCount; }
    int32_t SeedCount() const { return m_seedCount; }

    RateMeter& DownloadMeter() { return m_downloadMeter; }
    RateMeter& UploadMeter() { return m_uploadMeter; }
    // In creation order, for the peer list view.
    const std::vector<PeerConnection*>& PeerList() const { return m_peerList; }
    const std::deque<std::string>& UploadQueue() const { return m_uploadQueue; }
    const std::deque<std::string>& DownloadWaitQueue() const { return m_downloadWait; }

private:
    // Ids rather than iterators: sends and socket callbacks may run between two steps of a walk.
    std::vector<std::string> PeerIds() const;

    SessionLink& m_session;
    PeerHost& m_host;
    std::string m_infoHash;
    Random m_random;
    RateMeter::Clock m_clock;  // the set's meters and every connection's meters
    std::map<std::string, std::unique_ptr<PeerConnection>> m_peers;
    std::vector<PeerConnection*> m_peerList;
    std::deque<std::string> m_uploadQueue;
    std::deque<std::string> m_downloadWait;
    int32_t m_connectedCount = 0;
    int32_t m_seedCount = 0;
    RateMeter m_downloadMeter;
    RateMeter m_uploadMeter;
    std::unique_ptr<EngineTimer> m_serviceTimer;
    std::unique_ptr<EngineTimer> m_chokeTimer;
    std::unique_ptr<EngineTimer> m_cleanupTimer;
    std::unique_ptr<EngineTimer> m_reconnectTimer;
};

}  // namespace velbrook
