#include "engine/MetadataFetch.h"

#include <algorithm>
#include <utility>

#include "metainfo/SHA1.h"
#include "peer/PeerLinks.h"

namespace velbrook {

MetadataFetch::MetadataFetch(std::string infoHash) : m_infoHash(std::move(infoHash)) {}

uint32_t MetadataFetch::PieceLength(uint32_t piece) const {
    const uint64_t start = uint64_t{piece} * kMetadataPieceSize;
    return static_cast<uint32_t>(std::min<uint64_t>(kMetadataPieceSize, m_size - start));
}

void MetadataFetch::Settle(uint64_t size) {
    m_size = size;
    m_pieces.assign(static_cast<size_t>((size + kMetadataPieceSize - 1) / kMetadataPieceSize),
                    Piece{});
}

// Nobody left vouches for the settled size: whoever offers next settles it anew, so that a
// liar who spoke first cannot hold the fetch to its size after it has gone.
void MetadataFetch::Unsettle() {
    m_size = 0;
    m_pieces.clear();
}

bool MetadataFetch::Offer(PeerKey peer, uint64_t size) {
    if (size == 0 || size > kMaxMetadataSize) {
        return false;
    }
    if (m_complete) {
        return size == m_dictionary.size();
    }
    if (m_size == 0) {
        Settle(size);
    } else if (size != m_size) {
        return false;
    }
    m_offerers.insert(peer);
    return true;
}

bool MetadataFetch::Avoids(const Piece& piece, PeerKey peer) const {
    const auto sent = [&](PeerKey who) {
        return std::any_of(piece.earlier.begin(), piece.earlier.end(),
                           [&](const auto& answer) { return answer.first == who; });
    };
    if (!sent(peer)) {
        return false;
    }
    // Asked again of a peer that sent it before only when nobody else can be asked.
    return std::any_of(m_offerers.begin(), m_offerers.end(),
                       [&](PeerKey other) { return !sent(other); });
}

size_t MetadataFetch::Outstanding(PeerKey peer) const {
    return static_cast<size_t>(std::count_if(m_pieces.begin(), m_pieces.end(), [&](const Piece& p) {
        return !p.have && p.askedOf.contains(peer);
    }));
}

std::optional<uint32_t> MetadataFetch::Next(PeerKey peer) {
    if (m_complete || m_size == 0 || !m_offerers.contains(peer)) {
        return std::nullopt;
    }
    const size_t outstanding = Outstanding(peer);
    if (outstanding >= kPiecesPerPeer) {
        return std::nullopt;
    }
    // A refusal (or a request that timed out) holds while another peer can be asked: the only
    // peer that has the dictionary is asked again rather than never.
    const auto refused = [&](const Piece& p) {
        return p.refusedBy.contains(peer) &&
               std::any_of(m_offerers.begin(), m_offerers.end(),
                           [&](PeerKey other) { return !p.refusedBy.contains(other); });
    };
    const auto askable = [&](const Piece& p) {
        return !p.have && !p.askedOf.contains(peer) && !refused(p) && !Avoids(p, peer);
    };
    std::optional<uint32_t> chosen;
    for (uint32_t i = 0; i < m_pieces.size() && !chosen; ++i) {
        if (askable(m_pieces[i]) && m_pieces[i].askedOf.empty()) {
            chosen = i;
        }
    }
    // Nothing unasked: a peer with nothing to do takes the piece waited for longest, unless
    // two peers have it in hand already.
    if (!chosen && outstanding == 0) {
        for (uint32_t i = 0; i < m_pieces.size(); ++i) {
            if (askable(m_pieces[i]) && m_pieces[i].askedOf.size() < 2 &&
                (!chosen || m_pieces[i].askedAt < m_pieces[*chosen].askedAt)) {
                chosen = i;
            }
        }
    }
    if (chosen) {
        Piece& p = m_pieces[*chosen];
        if (p.askedOf.empty()) {
            p.askedAt = ++m_asks;
        }
        p.askedOf.insert(peer);
    }
    return chosen;
}

bool MetadataFetch::OnPiece(PeerKey peer, uint32_t piece, uint64_t totalSize,
                            std::string_view data) {
    if (m_size == 0 || totalSize != m_size || piece >= m_pieces.size()) {
        return false;
    }
    Piece& p = m_pieces[piece];
    if (!p.askedOf.contains(peer) || data.size() != PieceLength(piece)) {
        return false;
    }
    p.askedOf.erase(peer);
    if (p.have || m_complete) {
        return true;  // asked of two peers; the other was quicker
    }
    p.have = true;
    p.data.assign(data);
    p.from = peer;
    if (std::all_of(m_pieces.begin(), m_pieces.end(),
                    [](const Piece& each) { return each.have; })) {
        Assemble();
    }
    return std::find(m_culprits.begin(), m_culprits.end(), peer) == m_culprits.end();
}

void MetadataFetch::Assemble() {
    std::string dictionary;
    dictionary.reserve(static_cast<size_t>(m_size));
    for (const Piece& p : m_pieces) {
        dictionary += p.data;
    }
    const auto blame = [this](PeerKey who) {
        if (who && std::find(m_culprits.begin(), m_culprits.end(), who) == m_culprits.end()) {
            m_culprits.push_back(who);
        }
    };
    if (SHA1::Digest(dictionary) == m_infoHash) {
        m_complete = true;
        m_dictionary = std::move(dictionary);
        // Whoever sent a piece that differs from the verified one lied.
        for (Piece& p : m_pieces) {
            for (const auto& [who, data] : p.earlier) {
                if (data != p.data) {
                    blame(who);
                }
            }
            p.earlier.clear();
        }
        return;
    }
    std::set<PeerKey> sources;
    for (const Piece& p : m_pieces) {
        sources.insert(p.from);
    }
    if (sources.size() == 1 && *sources.begin() != nullptr) {
        // One peer sent it all: that peer is the liar.
        const PeerKey liar = *sources.begin();
        blame(liar);
        Forget(liar);
        for (Piece& p : m_pieces) {
            Refetch(p);
            p.earlier.clear();
        }
        if (m_offerers.empty()) {
            Unsettle();
        }
        return;
    }
    // Several peers: each piece is fetched again from someone else, and the answers compared
    // once a dictionary checks out.
    for (Piece& p : m_pieces) {
        p.earlier.emplace_back(p.from, std::move(p.data));
        if (p.earlier.size() > kAnswersKept) {
            p.earlier.erase(p.earlier.begin());
        }
        Refetch(p);
    }
}

// Answers still on their way stay welcome: they count for the next dictionary.
void MetadataFetch::Refetch(Piece& piece) {
    piece.have = false;
    piece.data.clear();
    piece.from = nullptr;
    piece.refusedBy.clear();
}

void MetadataFetch::OnRefused(PeerKey peer, uint32_t piece) {
    if (piece >= m_pieces.size()) {
        return;
    }
    Piece& p = m_pieces[piece];
    if (p.askedOf.erase(peer) != 0) {
        p.refusedBy.insert(peer);
    }
}

void MetadataFetch::Forget(PeerKey peer) {
    m_offerers.erase(peer);
    for (Piece& p : m_pieces) {
        p.askedOf.erase(peer);
        p.refusedBy.erase(peer);
        if (p.from == peer) {
            p.from = nullptr;
        }
        std::erase_if(p.earlier, [&](const auto& answer) { return answer.first == peer; });
    }
}

void MetadataFetch::OnPeerGone(PeerKey peer) {
    Forget(peer);
    if (!m_complete && m_offerers.empty()) {
        Unsettle();
    }
}

std::vector<MetadataFetch::PeerKey> MetadataFetch::TakeCulprits() {
    return std::exchange(m_culprits, {});
}

}  // namespace velbrook
