// Fuzz target: a byte stream from a peer, cut into messages and handled by a connection of a
// small torrent that is half downloaded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "net/Reactor.h"
#include "peer/PeerConnection.h"
#include "peer/Wire.h"
#include "storage/PieceManager.h"
#include "support/FakeTorrent.h"

namespace {

using namespace velbrook;

constexpr int64_t kPieceLength = 32768;
constexpr int64_t kTotal = 9 * kPieceLength + 1000;

// Peers that the input names join the real set of peers, which dials none of them.
class Torrent : public test::FakeTorrent {
public:
    explicit Torrent(test::FakePeerHost& host) : FakeTorrent(host, kTotal, kPieceLength) {
        for (uint32_t i = 0; i <= m_pieces.GetLastIndex(); ++i) {
            m_pieces.SetState(i, i % 2 ? Have : Missing);
        }
    }
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
};

}  // namespace

namespace {

// Without the dictionary only extended messages are read, and nothing may touch the pieces.
void WithoutMetadata(const uint8_t* data, size_t size) {
    test::FakePeerHost host;
    host.m_reserved = ReservedBytes(PeerFeatures{.extensionProtocol = true, .fastExtension = true});
    Reactor reactor;
    Torrent torrent(host);
    torrent.m_hasMetadata = false;
    torrent.m_recording.m_size = 40000;
    torrent.m_metadata = &torrent.m_recording;
    PeerConnection& connection =
        *torrent.m_set.CreatePeer(std::string(20, 'p'), "127.0.0.1", 6881, 6881);
    connection.SetPeerFeatures(ReadPeerFeatures(host.m_reserved));
    connection.SetLogLimit(50);
    connection.OnHandshakePassed();
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> messages;
    size_t cut = 0;
    (void)CutMessages(input, connection.LongestMessage(), messages, cut);
    (void)connection.ProcessMessages(messages);
    connection.ExtensionTick();
    connection.OnSocketClosed();
    if (torrent.m_piecesWithoutMetadata != 0 || connection.Log().size() > 50) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WithoutMetadata(data, size);
    // Our handshake offers both exchanges and the peer's did, so extended messages (ut_pex,
    // ut_metadata) are read too.
    test::FakePeerHost host;
    Reactor reactor;  // a ban leaves the removal of the peer for later; it never comes here
    Torrent torrent(host);
    torrent.m_recording.m_dictionary = std::string(20000, 'i');
    torrent.m_metadata = &torrent.m_recording;
    PeerConnection& connection =
        *torrent.m_set.CreatePeer(std::string(20, 'p'), "127.0.0.1", 6881, 6881);
    connection.SetPeerFeatures(ReadPeerFeatures(ReservedBytes(true)));
    connection.SetLogLimit(50);
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
    for (uint32_t i = 0; i <= torrent.m_pieces.GetLastIndex(); ++i) {
        if (torrent.m_pieces.GetState(i) == Requested) {
            std::abort();
        }
    }
    return 0;
}
