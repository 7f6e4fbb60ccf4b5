// What the peer wire needs from its torrent, from the torrent's set of peers and from the engine
// document. The session, the peer set and the document implement these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/Clock.h"

namespace velbrook {

class DhtLink;
class PeerConnection;
class PeerSocket;
class PieceManager;
class SocketRegistry;
struct BlockRequest;
struct PexPeer;

// The torrent's info dictionary as its connections exchange it with peers (ut_metadata), in
// pieces of kMetadataPieceSize bytes, the last one shorter.
inline constexpr uint32_t kMetadataPieceSize = 16384;
// No torrent's dictionary comes near this; a peer that offers a larger one is not believed.
inline constexpr uint64_t kMaxMetadataSize = uint64_t{16} << 20;

class MetadataLink {
public:
    virtual ~MetadataLink() = default;

    // The bencoded info dictionary, served to peers that ask for it; empty while it is being
    // fetched.
    virtual std::string_view InfoDictionary() const = 0;
    // The peer's extended handshake offers the dictionary, `size` bytes long. False when that
    // cannot be right (0, over kMaxMetadataSize, or not what the fetch already settled on): the
    // connection then drops the peer.
    [[nodiscard]] virtual bool OfferMetadata(PeerConnection& peer, uint64_t size) = 0;
    // The piece to ask `peer` for next; none when nothing is left for it now.
    virtual std::optional<uint32_t> NextMetadataPiece(PeerConnection& peer) = 0;
    // A piece `peer` sent, with the total size its message gave. False drops the peer: a piece
    // not asked of it, of the wrong length or total, or one that completes a dictionary that
    // fails its hash. A good dictionary completes the fetch, and the torrent goes on from a
    // later turn of the loop, never inside this call.
    [[nodiscard]] virtual bool OnMetadataPiece(PeerConnection& peer, uint32_t piece,
                                               uint64_t totalSize, std::string_view data) = 0;
    // The peer refused the piece or let it time out: it goes to another peer.
    virtual void OnMetadataRefused(PeerConnection& peer, uint32_t piece) = 0;
    // The peer's connection closed: every piece it was asked for goes to other peers.
    virtual void OnMetadataPeerGone(PeerConnection& peer) = 0;
};

// One torrent's data, as its peer connections see it.
class TorrentLink {
public:
    virtual ~TorrentLink() = default;

    // False while a torrent opened from a magnet link fetches its info dictionary: its
    // connections then take part in that alone, and Pieces() may not be called.
    virtual bool HasMetadata() const = 0;
    // The dictionary exchange; null when the torrent takes no part in it.
    virtual MetadataLink* Metadata() = 0;

    virtual PieceManager& Pieces() = 0;
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
    // Slice bytes received / sent, for the torrent's meters and totals.
    virtual void AddDownloaded(uint32_t bytes) = 0;
    virtual void AddUploaded(uint32_t bytes) = 0;
    // A peer was learnt, forgotten, connected or lost: the torrent's views list its peers.
    virtual void PeersChanged() = 0;
};

// The other peers of the torrent, as one of its connections sees them. The set owns every
// connection and every peer's identity.
class SwarmLink {
public:
    virtual ~SwarmLink() = default;

    // The connection known by this peer id, or null.
    virtual PeerConnection* FindPeer(const std::string& peerId) const = 0;
    // A new connection for a peer learnt from another peer, not yet dialled. Null for a known id,
    // a banned address, or when no more peers can be kept.
    [[nodiscard]] virtual PeerConnection* CreatePeer(const std::string& peerId,
                                                     const std::string& address, uint16_t port,
                                                     uint16_t listenPort) = 0;
    // Dials a known peer, unless the connected-peer limit, a ban or a pending connect says no.
    virtual bool ConnectPeer(PeerConnection& connection) = 0;
    // The handshake on `socket` named `peerId`: the connection that takes the socket from now on,
    // whether it was known by that id, dialled under another, or is new. Null when the peer is
    // refused (banned, or connected already): the handshake fails.
    [[nodiscard]] virtual PeerConnection* AdmitPeer(PeerSocket& socket,
                                                    const std::string& peerId) = 0;
    // A slice asked of several peers arrived from `from`: the others are told they need not
    // send it.
    virtual void CancelElsewhere(const BlockRequest& block, const PeerConnection& from) = 0;
    // The peer sent data that failed the piece check too often: nobody at its address is
    // dialled, accepted or kept among the known peers again, whatever id it gives.
    virtual void BanPeer(PeerConnection& connection) = 0;
    // A piece failed its check with the last slice from this peer: how many have failed so far
    // from its address, over every connection and id it had.
    virtual uint32_t CountHashFailure(const PeerConnection& connection) = 0;
    // The download limit refuses another request for now (the connection then waits its turn).
    virtual bool DownloadLimitReached(PeerConnection& connection) = 0;
    // Decides again whom we choke.
    virtual void ChokePass() = 0;
    // The connection holds a request of its peer that may be served.
    virtual void NoteQueuedRequest(PeerConnection& connection) = 0;
    // Peers of this torrent may be passed on to other peers and learnt from them; a private
    // torrent learns its peers from its trackers alone.
    virtual bool SharesPeers() const = 0;
    // The EXT_PEERS entries for every connected peer of the torrent: peer id, address length,
    // address text, listen port (u32 big-endian).
    virtual std::string PeerExchangeEntries() const = 0;
    // The connected peers that can be passed on by ut_pex: those whose listen address we know,
    // with their flags (kPexSeed, kPexReachable).
    virtual std::vector<PexPeer> ExchangePeers() const = 0;
    // A peer another peer named by its listen address: the one known there, or a new connection
    // known by that endpoint until it answers. Null when none can be kept (a ban, the known-peer
    // cap).
    [[nodiscard]] virtual PeerConnection* LearnPeer(const std::string& address, uint16_t port) = 0;
    // Kept by the connections: one passed its first handshake or lost its socket, one found its
    // peer to be a seed or lost it.
    virtual void AdjustConnectedCount(int delta) = 0;
    virtual void AdjustSeedCount(int delta) = 0;
};

// The engine as peer sockets and connections see it.
class PeerHost {
public:
    virtual ~PeerHost() = default;

    // The handshake parts shared by every connection.
    virtual const std::string& ReservedBytes() const = 0;
    virtual const std::string& OwnPeerId() const = 0;
    // Where we accept peers (sent in the extended handshake); 0 while not listening.
    virtual uint16_t ListenPort() const = 0;
    // The peers of the running torrent with this info hash; null when no such torrent is listed
    // or it is not running.
    virtual SwarmLink* FindSwarm(std::string_view infoHash) = 0;
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
    // The running DHT node, told of the nodes peers name in their DHT port messages; null while
    // the program keeps off the DHT.
    virtual DhtLink* Dht() { return nullptr; }
    // The UDP port our node listens on, told to peers that run a node; 0 without one.
    virtual uint16_t DhtPort() const { return 0; }
};

}  // namespace velbrook
