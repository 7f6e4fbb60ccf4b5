// The fetch of a torrent's info dictionary from its peers, in pieces, checked against the info
// hash. Knows peers only by an opaque key, and owns no sockets.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velbrook {

class MetadataFetch {
public:
    using PeerKey = const void*;

    // Pieces asked of one peer at a time, so that several peers share the work.
    static constexpr size_t kPiecesPerPeer = 4;
    // Earlier answers kept for a piece of a dictionary that failed its hash: enough to tell
    // a liar from an honest peer, bounded whatever the liars do.
    static constexpr size_t kAnswersKept = 4;

    explicit MetadataFetch(std::string infoHash);

    // The peer offers the dictionary, `size` bytes long. The first believable offer settles the
    // size; false for 0, a size beyond the bound, or another size than the settled one.
    [[nodiscard]] bool Offer(PeerKey peer, uint64_t size);
    // The piece to ask `peer` for next: an unasked one first; when none is left and the peer
    // has nothing outstanding, one that another peer alone is slow to send.
    std::optional<uint32_t> Next(PeerKey peer);
    // The peer sent a piece. False when it must be dropped: a piece not asked of it, of the
    // wrong length or total size, or a dictionary it alone supplied that fails the hash. When
    // a dictionary of several peers' pieces fails, every piece is fetched again, each from
    // another peer than before, and the peers whose pieces then differ from the verified
    // dictionary become culprits.
    [[nodiscard]] bool OnPiece(PeerKey peer, uint32_t piece, uint64_t totalSize,
                               std::string_view data);
    void OnRefused(PeerKey peer, uint32_t piece);
    void OnPeerGone(PeerKey peer);

    // Peers proven to have sent altered pieces, since the last call.
    std::vector<PeerKey> TakeCulprits();

    bool IsComplete() const { return m_complete; }
    // The verified dictionary once complete.
    const std::string& Dictionary() const { return m_dictionary; }
    uint64_t Size() const { return m_size; }
    uint32_t PieceCount() const { return static_cast<uint32_t>(m_pieces.size()); }

private:
    struct Piece {
        std::string data;  // empty until received
        PeerKey from = nullptr;
        bool have = false;
        std::set<PeerKey> askedOf;
        uint64_t askedAt = 0;  // order of the first ask, to find the slowest
        std::set<PeerKey> refusedBy;
        // Answers from earlier rounds whose dictionary failed: who sent what.
        std::vector<std::pair<PeerKey, std::string>> earlier;
    };

    uint32_t PieceLength(uint32_t piece) const;
    void Settle(uint64_t size);
    void Unsettle();
    bool Avoids(const Piece& piece, PeerKey peer) const;
    size_t Outstanding(PeerKey peer) const;
    void Assemble();
    void Refetch(Piece& piece);
    void Forget(PeerKey peer);

    std::string m_infoHash;
    uint64_t m_size = 0;
    std::set<PeerKey> m_offerers;
    std::vector<Piece> m_pieces;
    uint64_t m_asks = 0;
    bool m_complete = false;
    std::string m_dictionary;
    std::vector<PeerKey> m_culprits;
};

}  // namespace velbrook
