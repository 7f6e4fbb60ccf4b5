// What the peer wire needs from the torrent session and from the engine document. The session
// and document implement these; tests use small fakes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/Clock.h"

namespace velbrook {

class PeerConnection;
class PieceManager;
class SocketRegistry;
struct BlockRequest;

// One torrent, as its peer connections see it.
class SessionLink {
public:
    virtual ~SessionLink() = default;

    virtual PieceManager& Pieces() = 0;
    // The torrent is running: its set of peers exists.
    virtual bool IsRunning() const = 0;
    virtual uint32_t PieceLength() const = 0;

    // Slice data of a piece we have / a piece we are fetching. False when storage refuses.
    [[nodiscard]] virtual bool ReadBlock(uint32_t piece, uint32_t begin, uint32_t length,
                                         std::string& out) = 0;
    [[nodiscard]] virtual bool WriteBlock(uint32_t piece, uint32_t begin,
                                          std::string_view data) = 0;
    // Checks a piece whose slices have all arrived; a good piece is marked and announced to every
    // connected peer. True when the piece checked out.
    [[nodiscard]] virtual bool VerifyPiece(uint32_t piece) = 0;

    virtual bool DownloadAllowed() const = 0;
    // Every piece is verified: the torrent only seeds.
    virtual bool IsComplete() const = 0;
    // The download limit refuses another request for now (the connection then waits its turn).
    virtual bool DownloadLimitReached(PeerConnection& connection) = 0;
    virtual void RerunChoking() = 0;
    virtual void NoteQueuedRequest(PeerConnection& connection) = 0;
    // Slice bytes received / sent, for the torrent's meters and totals.
    virtual void AddDownloaded(uint32_t bytes) = 0;
    virtual void AddUploaded(uint32_t bytes) = 0;
    virtual void AdjustConnectedCount(int delta) = 0;
    virtual void AdjustSeedCount(int delta) = 0;

    // The connection known by this peer id, or null.
    virtual PeerConnection* FindPeer(const std::string& peerId) = 0;
    // A new connection for a peer that connected in or was learnt from another peer.
    [[nodiscard]] virtual PeerConnection* CreatePeer(const std::string& peerId,
                                                     const std::string& address, uint16_t port,
                                                     uint16_t listenPort) = 0;
    // Dials a known connection (unless the connected-peer limit or a pending connect says no).
    virtual void ConnectPeer(PeerConnection& connection) = 0;
    // The EXT_PEERS entries for every connected peer of the torrent: peer id, address length,
    // address text, listen port (u32 big-endian).
    virtual std::string PeerExchangeEntries() = 0;

    // A connection dialled to an address has met the peer there under another id (learnt
    // without one, or the client restarted): the connection is known by `peerId` from now on.
    // False when that cannot be done.
    [[nodiscard]] virtual bool RenamePeer(PeerConnection& /*connection*/,
                                          const std::string& /*peerId*/) {
        return false;
    }
    // The dialled connection turned out to be `known`, which we already had under the id it
    // answered with: the dialled one is forgotten and `known` learns where it listens.
    virtual void MergePeer(PeerConnection& /*dialled*/, PeerConnection& /*known*/) {}
    // A slice asked of several peers arrived from `from`: the others are told they need not
    // send it.
    virtual void CancelElsewhere(const BlockRequest& /*block*/, PeerConnection& /*from*/) {}
    // The peer sent data that failed the piece check too often: nobody at its address is
    // dialled, accepted or kept among the known peers again, whatever id it gives.
    virtual void BanPeer(PeerConnection& /*connection*/) {}
    // A peer was learnt or forgotten: the torrent's views list its peers.
    virtual void PeersChanged() {}
    virtual bool IsBanned(const std::string& /*address*/) const { return false; }
    // A piece failed its check with the last slice from this peer: how many have failed so far
    // from its address, over every connection and id it had (0 where nobody counts them).
    virtual uint32_t CountHashFailure(const PeerConnection& /*connection*/) { return 0; }
};

// The engine as peer sockets and connections see it.
class PeerHost {
public:
    virtual ~PeerHost() = default;

    // The handshake parts shared by every connection.
    virtual const std::string& ReservedBytes() const = 0;
    virtual const std::string& OwnPeerId() const = 0;
    // The listed torrent with this info hash, or null.
    virtual SessionLink* FindTorrent(std::string_view infoHash) = 0;
    // Trace lines of the wire (handshake progress and the like).
    virtual void Trace(const std::string& line) = 0;
    // Every live peer socket: the registry makes them and owns them until they are disposed of.
    virtual SocketRegistry& Registry() = 0;
    // The peer whose log is on screen, and the request to redraw it.
    virtual const std::string& SelectedPeerId() const = 0;
    virtual void UpdateAllViews() = 0;
    // The engine's clock: the time of every meter, pipeline, keep-alive and idle sweep, and the
    // timers of the peer sets and the socket registry.
    virtual Clock& GetClock() = 0;
};

}  // namespace velbrook
