// The fakes of every peer test, benchmark and fuzz target: the engine's side of the sockets, and a
// running torrent whose data is a fake and whose peers are the real PeerSet. No GoogleTest here.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/BanList.h"
#include "engine/LayerSettings.h"
#include "engine/PeerSet.h"
#include "peer/PeerLinks.h"
#include "peer/SocketRegistry.h"
#include "peer/Wire.h"
#include "persist/Settings.h"
#include "storage/PieceManager.h"
#include "support/ManualClock.h"
#include "support/MetainfoBuilder.h"

namespace velbrook::test {

inline const std::string kInfoHash(20, '\x11');
inline const std::string kOwnId = std::string("\0\0\0\0korvex\0\x21", 12) + "ABCDEFGH";

// The engine as sockets and connections see it: one peer id, the socket registry, a clock that
// moves only when the caller moves it, and the one torrent found by its info hash.
class FakePeerHost : public PeerHost {
public:
    explicit FakePeerHost(std::string id = kOwnId) : m_id(std::move(id)) {}

    const std::string& ReservedBytes() const override { return m_reserved; }
    const std::string& OwnPeerId() const override { return m_id; }
    uint16_t ListenPort() const override { return m_listenPort; }
    SwarmLink* FindSwarm(std::string_view infoHash) override {
        return infoHash == m_infoHash ? m_swarm : nullptr;
    }
    void Trace(const std::string&) override {}
    SocketRegistry& Registry() override { return m_registry; }
    const std::string& SelectedPeerId() const override { return m_selected; }
    void UpdateAllViews() override {}
    ManualClock& GetClock() override { return m_clock; }
    DhtLink* Dht() override { return m_dht; }
    uint16_t DhtPort() const override { return m_dhtPort; }

    std::string m_id;
    std::string m_reserved = velbrook::ReservedBytes(true);
    std::string m_selected;
    uint16_t m_listenPort = 6881;
    SwarmLink* m_swarm = nullptr;  // a FakeTorrent puts its own here
    DhtLink* m_dht = nullptr;
    uint16_t m_dhtPort = 0;
    std::string m_infoHash = kInfoHash;
    // Declared before the registry, whose timers run on it.
    ManualClock m_clock;
    SocketRegistry m_registry{m_clock};
};

// The limits of a person's default options, except that nobody is dialled unless a test says so:
// the peers of a test, a fuzz input or a benchmark live at addresses that must not be called.
inline PeerLimits UndialledLimits() {
    PeerLimits limits = PeerLimitsFrom(Settings());
    limits.maxConnected = 0;
    return limits;
}

// The dictionary exchange as a test plays it: `m_dictionary` is served; a fetch of a dictionary
// of `m_size` bytes hands out the pieces in order, one peer at a time, and records every call.
class RecordingMetadata : public MetadataLink {
public:
    struct Piece {
        PeerConnection* peer;
        uint32_t piece;
        uint64_t total;
        std::string data;
    };

    std::string_view InfoDictionary() const override { return m_dictionary; }
    bool OfferMetadata(PeerConnection& peer, uint64_t size) override {
        m_offers.emplace_back(&peer, size);
        return size != 0 && size <= kMaxMetadataSize && (m_size == 0 || size == m_size);
    }
    std::optional<uint32_t> NextMetadataPiece(PeerConnection&) override {
        const uint64_t pieces = (m_size + kMetadataPieceSize - 1) / kMetadataPieceSize;
        for (uint32_t piece = 0; piece < pieces; ++piece) {
            if (m_handedOut.insert(piece).second) {
                return piece;
            }
        }
        return std::nullopt;
    }
    bool OnMetadataPiece(PeerConnection& peer, uint32_t piece, uint64_t total,
                         std::string_view data) override {
        m_pieces.push_back({&peer, piece, total, std::string(data)});
        return m_acceptPieces;
    }
    void OnMetadataRefused(PeerConnection&, uint32_t piece) override {
        m_refused.push_back(piece);
        m_handedOut.erase(piece);
    }
    void OnMetadataPeerGone(PeerConnection& peer) override { m_gone.push_back(&peer); }

    std::string m_dictionary;
    uint64_t m_size = 0;
    bool m_acceptPieces = true;
    std::set<uint32_t> m_handedOut;
    std::vector<std::pair<PeerConnection*, uint64_t>> m_offers;
    std::vector<Piece> m_pieces;
    std::vector<uint32_t> m_refused;
    std::vector<PeerConnection*> m_gone;
};

// A running torrent of `total` bytes that are PatternBytes, computed when they are read and never
// kept: a slice written is compared with them there and then, so a piece that got a wrong one
// fails its check. Its set of peers is real and registered with the host. Every piece starts
// unchecked; the caller sets the states it needs.
class FakeTorrent : public TorrentLink {
public:
    FakeTorrent(FakePeerHost& host, int64_t total, int64_t pieceLength,
                const PeerLimits& limits = UndialledLimits(), PeerSet::Random random = {})
        : m_host(host), m_pieces(total, pieceLength),
          m_set(*this, m_bans, host, host.m_infoHash, limits, std::move(random)) {
        m_host.m_swarm = &m_set;
    }
    ~FakeTorrent() override {
        if (m_host.m_swarm == &m_set) {
            m_host.m_swarm = nullptr;
        }
    }
    FakeTorrent(const FakeTorrent&) = delete;
    FakeTorrent& operator=(const FakeTorrent&) = delete;

    // The torrent's bytes from `offset` on.
    static std::string Bytes(int64_t offset, size_t length) {
        return PatternBytes(length, static_cast<uint64_t>(offset));
    }
    // A slice as an honest peer sends it.
    std::string Slice(uint32_t piece, uint32_t begin, uint32_t length) const {
        return Bytes(piece * m_pieces.Unit() + begin, length);
    }

    bool HasMetadata() const override { return m_hasMetadata; }
    MetadataLink* Metadata() override { return m_metadata; }
    // Counts the calls made while the torrent has no dictionary: there must be none.
    PieceManager& Pieces() override {
        m_piecesWithoutMetadata += m_hasMetadata ? 0 : 1;
        return m_pieces;
    }
    // As the session does: only pieces we have, only within the piece.
    bool ReadBlock(uint32_t piece, uint32_t begin, uint32_t length, std::string& out) override {
        if (m_pieces.GetState(piece) != Have || !Fits(piece, begin, length)) {
            return false;
        }
        out = Slice(piece, begin, length);
        return true;
    }
    bool WriteBlock(uint32_t piece, uint32_t begin, std::string_view data) override {
        if (m_pieces.GetState(piece) == Have ||
            !Fits(piece, begin, static_cast<uint32_t>(data.size()))) {
            return false;
        }
        ++m_writes;
        if (data != Slice(piece, begin, static_cast<uint32_t>(data.size()))) {
            m_spoilt.insert(piece);
        }
        return true;
    }
    // A good piece is announced to the connected peers, as the session does it.
    bool VerifyPiece(uint32_t piece) override {
        const bool good = m_spoilt.erase(piece) == 0;
        m_pieces.SetState(piece, good ? Have : Missing);
        if (good) {
            m_set.BroadcastHave(piece);
        }
        return good;
    }
    bool DownloadAllowed() const override { return m_allowDownload; }
    bool IsComplete() const override { return m_complete; }
    void AddDownloaded(uint32_t bytes) override { m_set.DownloadMeter().Update(bytes); }
    void AddUploaded(uint32_t bytes) override {
        m_uploaded += bytes;
        m_set.UploadMeter().Update(bytes);
    }
    void PeersChanged() override {}

    FakePeerHost& m_host;
    PieceManager m_pieces;
    BanList m_bans;
    // A torrent opened from a magnet link whose dictionary is still being fetched has none.
    bool m_hasMetadata = true;
    int m_piecesWithoutMetadata = 0;
    RecordingMetadata m_recording;  // what a test points m_metadata at
    MetadataLink* m_metadata = nullptr;
    bool m_allowDownload = true;
    bool m_complete = false;
    int m_writes = 0;
    uint64_t m_uploaded = 0;
    std::set<uint32_t> m_spoilt;  // pieces that got a slice unlike the torrent's bytes
    PeerSet m_set;                // goes first: its connections use everything above

private:
    bool Fits(uint32_t piece, uint32_t begin, uint32_t length) const {
        return piece <= m_pieces.GetLastIndex() &&
               uint64_t{begin} + length <= static_cast<uint64_t>(m_pieces.PieceLength(piece));
    }
};

}  // namespace velbrook::test
