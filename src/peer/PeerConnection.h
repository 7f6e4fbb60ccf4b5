// The protocol side of one remote peer of one torrent. Outlives its TCP connections: when its
// socket closes it is reset and can be connected again.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "net/Clock.h"
#include "peer/Extended.h"
#include "peer/Wire.h"
#include "storage/BitField.h"
#include "storage/RateMeter.h"

namespace velbrook {

class PeerHost;
class PeerSocket;
class PieceManager;
class SwarmLink;
class TorrentLink;
struct WireMessage;

struct BlockRequest {
    uint32_t piece;
    uint32_t begin;
    uint32_t length;
    // Our own requests only: when it went out, and whether it was also asked of another peer.
    Time sentAt{};
    bool duplicate = false;
    bool operator==(const BlockRequest& other) const {
        return piece == other.piece && begin == other.begin && length == other.length;
    }
};

class PeerConnection {
public:
    // Our requests in flight to the peer: about two seconds of what the peer delivers, so one
    // peer can fill a link with a long round trip, within these bounds and never beyond what the
    // peer says it queues.
    static constexpr size_t kMinOutstanding = 5;
    static constexpr size_t kMaxOutstanding = 2000;
    static constexpr int64_t kPipelineSeconds = 2;
    // A request still unanswered when one sent this much later has been answered was dropped by
    // the peer (its queue was shorter than it said): it goes back to be asked again, and the
    // connection asks for that much less at a time from then on. Peers answer in order, give or
    // take what their disks reorder; this is far beyond that.
    static constexpr Duration kOvertakenAfter = std::chrono::seconds(2);
    // A peer that unchokes us and has sent slices, then falls silent for this long (or four
    // slices' time at its speed, when that is longer) while it owes us requests, dropped them:
    // what has waited that long goes back to be asked again.
    static constexpr Duration kQuietAfter = std::chrono::seconds(5);
    // REJECTs for requests we never sent (nor cancelled lately) a peer may send before it is
    // dropped: each one costs a walk over our requests in flight.
    static constexpr uint32_t kMaxStrayRejects = 256;
    // End game: requests also asked of another peer, at most this many at a time.
    static constexpr size_t kMaxDuplicates = 8;
    // A request unanswered this long while the peer sends other data is given up.
    static constexpr Duration kRequestTimeout = std::chrono::seconds(60);
    // The peer's requests waiting for service; clients that pipeline deeply send hundreds, and
    // those that pipeline by time thousands. A full queue stops reading from the peer (TCP then
    // holds the sender back) until serving brings it under the lower mark.
    static constexpr size_t kMaxPeerRequests = 2000;
    static constexpr size_t kReadAgainBelow = kMaxPeerRequests / 2;
    static constexpr uint32_t kMaxRequestLength = 128 * 1024;
    // What a peer that does not say how many of our requests it queues is taken to queue.
    static constexpr size_t kDefaultPeerRequests = 250;
    // Peer exchange is read at most this often from one peer.
    static constexpr Duration kPeerExchangeInterval = std::chrono::seconds(60);
    // The dictionary exchange: requests in flight to one peer, how long one may go unanswered,
    // and how long a peer that refused or let one time out is left alone.
    static constexpr size_t kMetadataRequests = 3;
    static constexpr Duration kMetadataTimeout = std::chrono::seconds(20);
    static constexpr Duration kMetadataPause = std::chrono::seconds(60);
    // ut_pex goes out at most this often to one peer, and is read at most this often from one.
    static constexpr Duration kPexInterval = std::chrono::seconds(60);
    // Pieces that failed their check with the last slice from this peer, before it is banned.
    static constexpr uint32_t kMaxHashFailures = 3;

    // The pipeline depth for a peer that delivers `bytesPerSecond`.
    static size_t PipelineDepth(uint64_t bytesPerSecond);

    // Made by the torrent's set of peers (`swarm`), which owns it.
    PeerConnection(SwarmLink& swarm, TorrentLink& torrent, PeerHost& host, std::string peerId,
                   std::string address, uint16_t port, uint16_t listenPort);
    virtual ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    // Notifications from the socket.
    virtual void OnHandshakePassed();
    virtual void OnSocketClosed();
    virtual void OnConnectFailed();
    // The socket's unsent output fell below its low mark: more queued requests may be served.
    void OnOutputDrained();
    // Handles the complete messages cut from the input. False: close the connection (the rest of
    // the list is not handled). A REQUEST that finds the peer's queue full stops the handling:
    // it and the messages after it stay in the list, and the socket reads nothing more until
    // serving has made room.
    [[nodiscard]] bool ProcessMessages(std::vector<std::string>& messages);

    // Socket binding, done by the handshake.
    void AttachSocket(PeerSocket* socket);
    void DetachSocket();  // the socket is going away; nothing is sent to it any more
    PeerSocket* Socket() const { return m_socket; }
    // The longest message the peer may send on this torrent.
    uint32_t LongestMessage() const;

    // Used by the session and the choking code.
    void SendChoke();
    void SendUnchoke();
    void SendInterested();
    void SendUninterested();
    void SendHave(uint32_t piece);
    void SendBitfield(std::string_view bits);
    void SendRequest(uint32_t piece, uint32_t begin, uint32_t length);
    // False when the socket did not take the message (gone, or its output is over the cap).
    [[nodiscard]] bool SendPiece(uint32_t piece, uint32_t begin, std::string_view data);
    void SendCancel(const BlockRequest& request);
    // Peer exchange between copies that both speak the extension.
    void SendExtension(uint8_t subId);
    void FillRequests();
    // A queued request may be served now: we do not choke the peer and its socket has room.
    bool CanServe() const;
    // Serves the oldest queued request; the bytes queued to the socket (0 when none).
    uint32_t ServeOneRequest();
    void UpdateInterest(bool onlyOnChange);
    // Gives up the requests the peer will not answer (kRequestTimeout, kQuietAfter) and asks
    // for others. Run by the set now and then: a silent peer sends no slice that would.
    void CheckRequests();
    // The slice came from another peer: our request for it is cancelled.
    void CancelRequest(const BlockRequest& request);
    // What the peer's handshake said it speaks; kept until its next handshake.
    void SetPeerFeatures(const PeerFeatures& features) { m_features = features; }
    const PeerFeatures& Features() const { return m_features; }
    // How many of our requests the peer says it queues (its extended handshake's `reqq`).
    void SetPeerRequestLimit(size_t requests) { m_peerRequestLimit = requests; }
    size_t PeerRequestLimit() const { return m_peerRequestLimit; }
    // The extension protocol: timeouts of the dictionary exchange, ut_pex when due, and the end of
    // a connection made while the torrent had no dictionary once it has one. Run by the set's
    // service tick.
    void ExtensionTick();
    // The peer's client name from its extended handshake (printable, short); empty when none.
    const std::string& ClientName() const { return m_clientName; }
    // What another peer's ut_pex said of this one (kPexSeed, kPexReachable).
    void SetExchangeFlags(uint8_t flags) { m_exchangeFlags = flags; }
    uint8_t ExchangeFlags() const { return m_exchangeFlags; }
    // The connection passed its handshake while the torrent had no dictionary: it takes part in
    // the dictionary exchange alone.
    bool IsMetadataOnly() const { return m_metadataOnly; }
    // Lines of the peer-communication log kept, the oldest going first; 0 keeps no log. A lower
    // limit shortens the log at its next line.
    void SetLogLimit(size_t lines) { m_logLimit = lines; }

    // Read access for the session, the choking code and the views.
    const std::string& PeerId() const { return m_peerId; }
    // Peers learnt from a compact tracker answer are known by their address until they answer.
    bool HasKnownId() const { return m_peerId.size() == 20; }
    void SetPeerId(const std::string& peerId) { m_peerId = peerId; }
    void SetListenPort(uint16_t port) { m_listenPort = port; }
    bool IsBanned() const { return m_banned; }
    uint32_t HashFailures() const { return m_hashFailures; }
    // The pipeline's current depth and the speed it follows, within RequestCeiling.
    size_t PipelineTarget() const;
    // How many requests the peer is sent at most: what it says it queues, less those it was
    // seen to drop.
    size_t RequestCeiling() const;
    // Both handshakes set the fast bit: HAVE ALL/NONE, REJECT REQUEST, and a CHOKE that leaves
    // our requests standing.
    bool SpeaksFast() const;
    const std::string& Address() const { return m_address; }
    uint16_t Port() const { return m_port; }
    uint16_t ListenPort() const { return m_listenPort; }
    void SetRemote(const std::string& address, uint16_t port);
    uint32_t ConnectFailures() const { return m_connectFailures; }
    bool IsConnected() const { return m_connected; }
    // The current socket was accepted from the peer (false without a socket).
    bool IsIncoming() const;
    bool IsFatal() const { return m_fatal; }
    bool IsPeerChoking() const { return m_peerChoking; }
    bool IsPeerInterested() const { return m_peerInterested; }
    bool IsAmChoking() const { return m_amChoking; }
    bool IsAmInterested() const { return m_amInterested; }
    bool IsUploadCandidate() const { return m_uploadCandidate; }
    bool IsSeed() const { return m_isSeed; }
    uint32_t UploadAllowance() const { return m_uploadAllowance; }
    // Position in the last choking pass; better peers have lower ranks.
    int32_t Rank() const { return m_rank; }
    void SetRank(int32_t rank) { m_rank = rank; }
    void SetUploadAllowance(uint32_t bytesPerSecond) { m_uploadAllowance = bytesPerSecond; }
    // 64 bits: a seeding connection can stay up long enough to pass 4 GiB.
    uint64_t Downloaded() const { return m_downloaded; }
    uint64_t Uploaded() const { return m_uploaded; }
    // The peer's pieces; null until its handshake passed (a known peer costs no per-piece memory
    // until it is connected).
    const BitField* PeerPieces() const { return m_peerPieces.get(); }
    const std::deque<BlockRequest>& Outstanding() const { return m_outstanding; }
    const std::deque<BlockRequest>& PeerRequests() const { return m_peerRequests; }
    RateMeter& DownloadMeter() { return *m_downloadMeter; }
    RateMeter& UploadMeter() { return *m_uploadMeter; }
    RateMeter& ProgressMeter() { return *m_progressMeter; }
    const std::deque<std::string>& Log() const { return m_log; }
    // Where we heard of this peer, when it was not from a tracker: a line of its log.
    void NoteSource(const std::string& source) { AddLog("Source: " + source); }

    // Live connections in the process, for the statistics.
    static size_t LiveCount();

private:
    void SendMessage(const std::string& payload);
    bool SpeaksExtension() const;
    bool SharesDht() const;
    void SendDhtPort();
    void OnDhtPort(uint16_t port);
    void AddLog(std::string line);
    void Fatal(std::string line);
    [[nodiscard]] bool HandleMessage(const WireMessage& message);
    void HandleSlice(uint32_t piece, uint32_t begin, std::string_view data);
    void HandleExtension(uint32_t subId, std::string_view body);
    void ReadPeerExchange(std::string_view body);
    // The extension protocol (PeerConnectionExtended.cpp).
    void SendExtendedHandshake();
    [[nodiscard]] bool HandleExtended(uint32_t extendedId, std::string_view body);
    [[nodiscard]] bool ReadExtendedHandshake(std::string_view body);
    [[nodiscard]] bool HandleMetadata(std::string_view body);
    void ServeMetadata(uint32_t piece);
    void RequestMetadata();
    void ExpireMetadataRequests();
    void LeaveMetadataFetch();
    void SendPex();
    void ReadPex(std::string_view body);
    void SendExtended(uint8_t peerId, const std::string& body);
    void ResetExtended();
    // Our pieces, as HAVE ALL or HAVE NONE to a peer that speaks the fast extension when they fit.
    void SendOwnPieces();
    // Tells a peer that speaks the fast extension that its request is dropped.
    void SendReject(const BlockRequest& request);
    // Drops every request of the peer's still waiting, telling it so.
    void DropPeerRequests();
    [[nodiscard]] bool HandleFastMessage(const WireMessage& message);
    [[nodiscard]] bool HandleReject(const BlockRequest& request);
    // Our requests sent kOvertakenAfter or more before `answered` went out, still unanswered.
    void DropOvertaken(Time answered);
    // Requests unanswered for kRequestTimeout go back to the picker.
    void ExpireRequests();
    void DropUnansweredWhileQuiet();
    void ReleaseOutstanding();
    // The peer's queue shrank: a socket that stopped reading for it may read on.
    void PeerRequestsTaken();
    // The peer announced one more piece, by HAVE or in a later BITFIELD.
    void NotePeerPiece(uint32_t piece);
    [[nodiscard]] bool ReadBitfield(std::string_view bits);
    void NoteSliceSpeed(uint32_t bytes);
    // Takes a request off the outstanding list; with `cancel` the peer is told so.
    BlockRequest Withdraw(std::deque<BlockRequest>::iterator it, bool cancel);
    void ResetMeters();
    void CountPieces();
    void CatchUpWithOwnPieces();

    SwarmLink& m_swarm;
    TorrentLink& m_torrent;
    PeerHost& m_host;
    std::string m_peerId;
    std::string m_address;
    uint16_t m_port;
    uint16_t m_listenPort;
    uint32_t m_connectFailures = 0;
    bool m_connected = false;
    bool m_fatal = false;
    bool m_bitfieldReceived = false;
    bool m_interestSent = false;  // INTERESTED went out on the current socket
    bool m_banned = false;
    uint32_t m_hashFailures = 0;
    PeerSocket* m_socket = nullptr;
    std::unique_ptr<BitField> m_peerPieces;
    // The interest decision on every HAVE and every piece we announce would otherwise walk both
    // records. Exact as of change m_countedChanges of m_countedPieces (our record); the HAVE and
    // BITFIELD handlers keep them in step with the peer's.
    uint32_t m_piecesWeWant = 0;
    uint32_t m_piecesPeerWants = 0;
    const PieceManager* m_countedPieces = nullptr;
    uint64_t m_countedChanges = 0;
    std::unique_ptr<RateMeter> m_downloadMeter;
    std::unique_ptr<RateMeter> m_uploadMeter;
    std::unique_ptr<RateMeter> m_progressMeter;
    // The pipeline's speed measure: bytes of the current sample and when it started.
    std::optional<Time> m_sampleStart;
    std::optional<Time> m_lastSlice;  // when the last slice we asked for came
    Time m_lastAnswered{};            // when the latest request the peer answered went out
    uint64_t m_sampleBytes = 0;
    uint64_t m_pipelineRate = 0;
    std::optional<Time> m_lastPeerExchange;
    bool m_peerChoking = true;
    bool m_peerInterested = false;
    bool m_amChoking = true;
    bool m_amInterested = true;
    bool m_uploadCandidate = true;
    PeerFeatures m_features;
    size_t m_peerRequestLimit = kDefaultPeerRequests;
    size_t m_droppedRequests = 0;  // ours the peer dropped without a word
    uint32_t m_strayRejects = 0;
    int64_t m_lastRequestedPiece = -1;
    uint32_t m_uploadAllowance = 20480;
    int32_t m_rank = 0;
    bool m_isSeed = false;
    uint64_t m_downloaded = 0;
    uint64_t m_uploaded = 0;
    std::deque<BlockRequest> m_outstanding;
    // Piece and offset of each of m_outstanding: the end game asks whether a slice is among them
    // for every slice in progress, and a deep pipeline makes a walk over them too slow for that.
    std::unordered_set<uint64_t> m_askedSlices;
    size_t m_duplicates = 0;  // of m_outstanding
    // Requests we cancelled lately: a slice that crossed our CANCEL on the wire is no offence.
    std::deque<BlockRequest> m_cancelled;
    std::deque<BlockRequest> m_peerRequests;
    std::deque<std::string> m_log;
    size_t m_logLimit = 0;

    // The extension protocol, for the current socket.
    struct MetadataAsk {
        uint32_t piece;
        Time sentAt;
    };
    bool m_metadataOnly = false;
    bool m_dhtPortSeen = false;      // on this connection
    bool m_metadataOffered = false;  // the exchange knows this peer: it must hear it went
    ExtendedHandshake m_extended;
    std::string m_clientName;
    std::vector<MetadataAsk> m_metadataAsked;
    std::optional<Time> m_metadataPausedUntil;
    std::optional<Time> m_lastPexSent;
    std::optional<Time> m_lastPexRead;
    std::vector<PexPeer> m_pexSent;  // the peers this one was told about and not told gone
    uint8_t m_exchangeFlags = 0;     // kept across sockets
};

}  // namespace velbrook
