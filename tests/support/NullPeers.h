// The two sides a peer connection talks to, doing nothing: benchmarks and fuzz targets (which
// have no GoogleTest) override only what they measure or check.
#pragma once

#include <string>
#include <utility>

#include "peer/PeerLinks.h"
#include "peer/SocketRegistry.h"
#include "peer/Wire.h"
#include "storage/PieceManager.h"
#include "support/ManualClock.h"

namespace velbrook::test {

// A torrent that stores and checks nothing and knows no peers.
class NullSession : public SessionLink {
public:
    NullSession(int64_t total, int64_t pieceLength) : m_pieces(total, pieceLength) {}
    PieceManager& Pieces() override { return m_pieces; }
    bool IsRunning() const override { return true; }
    uint32_t PieceLength() const override { return static_cast<uint32_t>(m_pieces.Unit()); }
    bool ReadBlock(uint32_t, uint32_t, uint32_t, std::string&) override { return false; }
    bool WriteBlock(uint32_t, uint32_t, std::string_view) override { return false; }
    bool VerifyPiece(uint32_t) override { return false; }
    bool DownloadAllowed() const override { return true; }
    bool IsComplete() const override { return false; }
    bool DownloadLimitReached(PeerConnection&) override { return true; }
    void RerunChoking() override {}
    void NoteQueuedRequest(PeerConnection&) override {}
    void AddDownloaded(uint32_t) override {}
    void AddUploaded(uint32_t) override {}
    void AdjustConnectedCount(int) override {}
    void AdjustSeedCount(int) override {}
    PeerConnection* FindPeer(const std::string&) override { return nullptr; }
    PeerConnection* CreatePeer(const std::string&, const std::string&, uint16_t,
                               uint16_t) override {
        return nullptr;
    }
    void ConnectPeer(PeerConnection&) override {}
    std::string PeerExchangeEntries() override { return {}; }

    PieceManager m_pieces;
};

// A client with one peer id and no torrents.
class NullPeerHost : public PeerHost {
public:
    explicit NullPeerHost(std::string id, std::string reserved = velbrook::ReservedBytes(false))
        : m_id(std::move(id)), m_reserved(std::move(reserved)) {}
    const std::string& ReservedBytes() const override { return m_reserved; }
    const std::string& OwnPeerId() const override { return m_id; }
    SessionLink* FindTorrent(std::string_view) override { return nullptr; }
    void Trace(const std::string&) override {}
    SocketRegistry& Registry() override { return m_registry; }
    const std::string& SelectedPeerId() const override { return m_selected; }
    void UpdateAllViews() override {}
    Clock& GetClock() override { return m_clock; }

    std::string m_id;
    std::string m_reserved;
    std::string m_selected;
    // Time stands still unless the caller moves it.
    ManualClock m_clock;
    SocketRegistry m_registry{m_clock};
};

}  // namespace velbrook::test
