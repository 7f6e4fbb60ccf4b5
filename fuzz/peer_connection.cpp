// Fuzz target: a byte stream from a peer, cut into messages and handled by a connection of a
// small torrent that is half downloaded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "peer/PeerConnection.h"
#include "peer/PeerLinks.h"
#include "peer/SocketRegistry.h"
#include "peer/Wire.h"
#include "persist/Settings.h"
#include "storage/PieceManager.h"

namespace {

using namespace velbrook;

constexpr int64_t kPieceLength = 32768;
constexpr int64_t kTotal = 9 * kPieceLength + 1000;

class Session : public SessionLink {
public:
    explicit Session(PeerHost& host) : m_pieces(kTotal, kPieceLength), m_host(host) {
        for (uint32_t i = 0; i <= m_pieces.GetLastIndex(); ++i) {
            m_pieces.SetState(i, i % 2 ? Have : Missing);
        }
    }
    PieceManager& Pieces() override { return m_pieces; }
    bool IsRunning() const override { return true; }
    uint32_t PieceLength() const override { return kPieceLength; }
    bool ReadBlock(uint32_t piece, uint32_t begin, uint32_t length, std::string& out) override {
        if (!m_pieces.ValidateRequest(piece, begin, length)) {
            std::abort();  // the connection must never ask storage for bytes it did not validate
        }
        out.assign(length, 'd');
        return true;
    }
    bool WriteBlock(uint32_t piece, uint32_t begin, std::string_view data) override {
        if (begin + data.size() > static_cast<uint64_t>(m_pieces.PieceLength(piece))) {
            std::abort();  // a slice that does not fit its piece reached storage
        }
        return true;
    }
    bool VerifyPiece(uint32_t piece) override {
        m_pieces.SetState(piece, piece % 3 ? Have : Missing);
        return piece % 3 != 0;
    }
    bool DownloadAllowed() const override { return true; }
    bool IsComplete() const override { return false; }
    bool DownloadLimitReached(PeerConnection&) override { return false; }
    void RerunChoking() override {}
    void NoteQueuedRequest(PeerConnection&) override {}
    void AddDownloaded(uint32_t) override {}
    void AddUploaded(uint32_t) override {}
    void AdjustConnectedCount(int) override {}
    void AdjustSeedCount(int) override {}
    PeerConnection* FindPeer(const std::string&) override { return nullptr; }
    void ConnectPeer(PeerConnection&) override {}
    std::string PeerExchangeEntries() override { return {}; }
    PeerConnection* CreatePeer(const std::string&, const std::string&, uint16_t,
                               uint16_t) override {
        return nullptr;
    }
    PieceManager m_pieces;
    PeerHost& m_host;
};

class Host : public PeerHost {
public:
    const std::string& ReservedBytes() const override { return m_text; }
    const std::string& OwnPeerId() const override { return m_text; }
    SessionLink* FindTorrent(std::string_view) override { return nullptr; }
    void Trace(const std::string&) override {}
    SocketRegistry& Registry() override { return m_registry; }
    const std::string& SelectedPeerId() const override { return m_text; }
    void UpdateAllViews() override {}
    std::string m_text;
    SocketRegistry m_registry{false};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Settings settings;
    settings.SetInt(LogPeerComm, 1);
    settings.SetInt(LogPeerCommLines, 50);
    Host host;
    Session session(host);
    PeerConnection connection(session, host, std::string(20, 'p'), "127.0.0.1", 6881, 6881);
    connection.SetExtensionCapable(true);  // so peer exchange messages are read too
    connection.OnHandshakePassed();
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> messages;
    size_t cut = 0;
    const bool tooLong =
        CutMessages(input, MaxMessageLength(2), messages, cut) == CutResult::TooLong;
    (void)tooLong;
    const bool open = connection.ProcessMessages(messages);
    if (connection.Outstanding().size() > PeerConnection::kMaxOutstanding ||
        connection.PeerRequests().size() > PeerConnection::kMaxPeerRequests ||
        connection.Log().size() > 50) {
        std::abort();
    }
    if (open) {
        for (int i = 0; i < 40; ++i) {
            connection.ServeOneRequest();
        }
    }
    connection.OnSocketClosed();
    // After a reset nothing may stay requested on behalf of this peer.
    for (uint32_t i = 0; i <= session.m_pieces.GetLastIndex(); ++i) {
        if (session.m_pieces.GetState(i) == Requested) {
            std::abort();
        }
    }
    return 0;
}
