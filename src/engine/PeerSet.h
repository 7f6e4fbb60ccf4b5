// The known peers of one running torrent, their connections, the timers that drive them, and
// the choking and rate control that decide whom we serve and how fast.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "net/Clock.h"
#include "net/Reactor.h"
#include "peer/PeerLinks.h"
#include "storage/RateLimiter.h"
#include "storage/RateMeter.h"

namespace velbrook {

class BanList;
class PeerConnection;
class PeerHost;
class PeerSocket;

// What the person's options say about the peers of every torrent, in the units the set works in.
// Handed to a set when it is made and again whenever the options change.
struct PeerLimits {
    int64_t uploadBytesPerSecond = 0;    // 0 sends nothing
    int64_t downloadBytesPerSecond = 0;  // 0: no limit
    int32_t maxConnected = 0;            // no peer is dialled while this many are connected
    int32_t uploadSlots = 0;             // peers unchoked by the choking pass
    // While we download, a peer is served at most this share (per cent) of what it gives us,
    // and never held below the floor.
    uint64_t upDownRatio = 0;
    uint64_t minUploadBytesPerSecond = 0;
    size_t logLines = 0;  // of each peer's communication log; 0 keeps none

    bool operator==(const PeerLimits&) const = default;
};

class PeerSet : public SwarmLink {
public:
    // Picks a uniformly random non-negative number; tests script it.
    using Random = std::function<uint32_t()>;

    // Known peers of one torrent: a tracker or a peer exchange cannot make us keep more.
    static constexpr size_t kMaxKnownPeers = 1000;
    // New connections are opened at about this rate, so a long peer list is dialled in turn.
    static constexpr int64_t kDialsPerSecond = 20;

    // Starts the four timers (service 500 ms, choke 10 s, cleanup 120 s, reconnect 40 s) on the
    // host's clock, which also times the set's meters and limits. `bans` is the torrent's, kept
    // across its starts.
    PeerSet(TorrentLink& torrent, BanList& bans, PeerHost& host, std::string infoHash,
            const PeerLimits& limits, Random random = {});
    ~PeerSet() override;  // stops the timers before any connection goes
    PeerSet(const PeerSet&) = delete;
    PeerSet& operator=(const PeerSet&) = delete;

    // The limits hold from now on: the rates at once, the connection count at the next dial,
    // the slots and allowances at the next choking pass, the log length at each peer's next line.
    void SetLimits(const PeerLimits& limits);
    const PeerLimits& Limits() const { return m_limits; }

    PeerConnection* FindPeer(const std::string& peerId) const override;
    // The key of a peer learnt without a peer id (a compact tracker answer) until it answers.
    static std::string EndpointKey(const std::string& address, uint16_t port);
    // The peer listening at address:port, known by its endpoint or, since it answered, its id.
    PeerConnection* FindByEndpoint(const std::string& address, uint16_t port) const;
    // A new connection at the end of the peer list (no socket yet). Null for a known id, a
    // banned address, or when kMaxKnownPeers are known and none of them can be forgotten. A peer
    // id for an address and port where a known peer is neither connected nor being dialled
    // takes that entry over instead.
    PeerConnection* CreatePeer(const std::string& peerId, const std::string& address, uint16_t port,
                               uint16_t listenPort) override;
    // Dials a known peer unless it is connected or banned, the connected count is at
    // MaxConnectedPeers, or its socket is still connecting. Beyond the dialling pace the peer
    // waits its turn; true means it was dialled or queued.
    bool ConnectPeer(PeerConnection& connection) override;
    bool RemovePeer(PeerConnection& connection);
    // After a handshake: the peer known by `peerId` takes the socket; a peer we dialled that
    // answers under another id is renamed, or merged into the one known by that id; a peer
    // nobody knew is added. A banned address, a banned peer or one connected already is refused.
    PeerConnection* AdmitPeer(PeerSocket& socket, const std::string& peerId) override;
    void CancelElsewhere(const BlockRequest& block, const PeerConnection& from) override;
    // The address is banned for the torrent, and every peer there is forgotten once the handler
    // running now (which may be one of theirs) is done.
    void BanPeer(PeerConnection& connection) override;
    uint32_t CountHashFailure(const PeerConnection& connection) override;
    bool SharesPeers() const override { return !m_private; }
    // A private torrent's peers come from its trackers alone: no peer exchange either way.
    void SetPrivate(bool isPrivate) { m_private = isPrivate; }
    std::string PeerExchangeEntries() const override;
    std::vector<PexPeer> ExchangePeers() const override;
    PeerConnection* LearnPeer(const std::string& address, uint16_t port) override;
    void BroadcastHave(uint32_t piece);
    void Resume();
    // Our pieces changed other than by a verified piece (a check found some missing): every
    // connected peer's interest is weighed again and requests go out where they can.
    void ReconsiderInterest();

    // Choking and rate control.
    void ChokePass() override;
    void ServiceTick();
    void NoteQueuedRequest(PeerConnection& connection) override;
    bool DownloadLimitReached(PeerConnection& connection) override;

    // Timer ticks.
    void ReconnectTick();
    void CleanupTick();

    // Kept by the connections; the torrent's views show them.
    void AdjustConnectedCount(int delta) override;
    void AdjustSeedCount(int delta) override;
    int32_t ConnectedCount() const { return m_connectedCount; }
    int32_t SeedCount() const { return m_seedCount; }

    RateMeter& DownloadMeter() { return m_downloadMeter; }
    RateMeter& UploadMeter() { return m_uploadMeter; }
    // In creation order, for the peer list view.
    const std::vector<PeerConnection*>& PeerList() const { return m_peerList; }

private:
    // Ids rather than iterators: sends and socket callbacks may run between two steps of a walk.
    std::vector<std::string> PeerIds() const;
    template <typename Action>
    void ForEachConnected(Action action);
    bool MayDial(PeerConnection& connection) const;
    void Dial(PeerConnection& connection);
    void DialQueued();
    bool MakeRoom();
    // A peer at address:port that is neither connected nor being dialled, or null.
    PeerConnection* FindIdleAt(const std::string& address, uint16_t port) const;
    bool Rekey(PeerConnection& connection, const std::string& peerId);
    // The peer we dialled answered with the id of `known`: `known` learns its address, `dialled`
    // goes.
    void MergePeer(PeerConnection& dialled, PeerConnection& known);
    void ApplyRates();
    void ServeUploads();
    void ServePeer(PeerConnection& connection);
    bool MayUpload(PeerConnection& connection) const;
    void ReplaceQueuedId(const std::string& from, const std::string& to);
    // Runs the service again as soon as the limiter lets something through, instead of waiting
    // for the next tick.
    void WakeWhenAvailable(RateLimiter& limiter);

    TorrentLink& m_torrent;
    BanList& m_bans;
    PeerHost& m_host;
    std::string m_infoHash;
    PeerLimits m_limits;
    Random m_random;
    Clock& m_clock;
    std::map<std::string, std::unique_ptr<PeerConnection>> m_peers;
    std::vector<PeerConnection*> m_peerList;
    std::deque<std::string> m_uploadQueue;
    std::deque<std::string> m_downloadWait;
    std::deque<std::string> m_dialQueue;
    std::unordered_set<std::string> m_dialQueued;
    // Endpoint keys of peers learnt without an id that have since answered, to their ids.
    std::map<std::string, std::string> m_endpointIds;
    int32_t m_connectedCount = 0;
    int32_t m_seedCount = 0;
    bool m_private = false;
    RateMeter m_downloadMeter;
    RateMeter m_uploadMeter;
    RateLimiter m_uploadLimiter;
    RateLimiter m_downloadLimiter;
    RateLimiter m_dialLimiter;
    Timer m_wakeTimer;
    Timer m_serviceTimer;
    Timer m_chokeTimer;
    Timer m_cleanupTimer;
    Timer m_reconnectTimer;
    Liveness m_liveness;  // for the queued removal of banned peers
};

}  // namespace velbrook
