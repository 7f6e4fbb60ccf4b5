#include "peer/PeerConnection.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <iterator>

#include "dht/Dht.h"
#include "peer/PeerLinks.h"
#include "peer/PeerSocket.h"
#include "peer/Wire.h"
#include "storage/PieceManager.h"

namespace velbrook {

namespace {

size_t g_liveConnections = 0;

// Sub-messages of the peer exchange.
constexpr uint8_t kExtSupport = 0;
constexpr uint8_t kExtPeerRequest = 1;
constexpr uint8_t kExtPeers = 2;
constexpr int kMaxExchangedPeers = 200;

// The pipeline's speed is sampled over this long: two round trips of a long link.
constexpr auto kSample = std::chrono::milliseconds(100);
// The bitfield bytes allowed for while the torrent's piece count is unknown.
constexpr uint32_t kMetadataOnlyBitfieldBytes = 256 * 1024;
// Cancelled requests remembered, so a slice already on its way is not taken for an offence.
constexpr size_t kMaxRememberedCancels = 256;

// Received-message lines are indented so they stand apart from what we sent.
const std::string kRecv = std::string(26, ' ') + "<<-Recv msg: ";

uint64_t SliceKey(uint32_t piece, uint32_t begin) {
    return (uint64_t{piece} << 32) | begin;
}

std::string Triple(const char* prefix, uint32_t a, uint32_t b, uint32_t c) {
    char line[128];
    std::snprintf(line, sizeof line, "%s%d, %d, %d \r\n", prefix, static_cast<int>(a),
                  static_cast<int>(b), static_cast<int>(c));
    return line;
}

}  // namespace

size_t PeerConnection::LiveCount() {
    return g_liveConnections;
}

size_t PeerConnection::PipelineDepth(uint64_t bytesPerSecond) {
    const uint64_t slices = bytesPerSecond * kPipelineSeconds / kSliceSize;
    return static_cast<size_t>(std::clamp<uint64_t>(slices, kMinOutstanding, kMaxOutstanding));
}

size_t PeerConnection::RequestCeiling() const {
    const size_t said = std::min(m_peerRequestLimit, kMaxOutstanding);
    return said > m_droppedRequests + kMinOutstanding ? said - m_droppedRequests : kMinOutstanding;
}

size_t PeerConnection::PipelineTarget() const {
    return std::min(PipelineDepth(m_pipelineRate), RequestCeiling());
}

PeerConnection::PeerConnection(SwarmLink& swarm, TorrentLink& torrent, PeerHost& host,
                               std::string peerId, std::string address, uint16_t port,
                               uint16_t listenPort)
    : m_swarm(swarm), m_torrent(torrent), m_host(host), m_peerId(std::move(peerId)),
      m_address(std::move(address)), m_port(port), m_listenPort(listenPort) {
    ResetMeters();
    ++g_liveConnections;
}

PeerConnection::~PeerConnection() {
    LeaveMetadataFetch();
    if (m_socket) {
        PeerSocket* socket = m_socket;
        m_socket = nullptr;
        socket->Unbind();
        socket->Close(true);
    }
    --g_liveConnections;
}

void PeerConnection::ResetMeters() {
    const Clock& clock = m_host.GetClock();
    m_downloadMeter = std::make_unique<RateMeter>(clock);
    m_uploadMeter = std::make_unique<RateMeter>(clock);
    m_progressMeter = std::make_unique<RateMeter>(clock);
}

void PeerConnection::AttachSocket(PeerSocket* socket) {
    m_socket = socket;
}

void PeerConnection::DetachSocket() {
    m_socket = nullptr;
}

uint32_t PeerConnection::LongestMessage() const {
    if (!m_torrent.HasMetadata()) {
        // The piece count is unknown: room for a 16 KiB dictionary piece with its header, and
        // for the bitfield of a torrent of two million pieces, which a peer sends whatever we
        // know (the socket keeps this bound while the connection lasts).
        return MaxMessageLength(kMetadataOnlyBitfieldBytes);
    }
    return MaxMessageLength((m_torrent.Pieces().EntryCount() + 7) / 8);
}

bool PeerConnection::IsIncoming() const {
    return m_socket != nullptr && m_socket->IsIncoming();
}

void PeerConnection::SetRemote(const std::string& address, uint16_t port) {
    m_address = address;
    m_port = port;
}

void PeerConnection::AddLog(std::string line) {
    if (m_logLimit == 0) {
        return;
    }
    m_log.push_back(std::move(line));
    while (m_log.size() > m_logLimit) {
        m_log.pop_front();
    }
    if (m_socket && m_peerId == m_host.SelectedPeerId()) {
        m_host.UpdateAllViews();
    }
}

// Both handshakes offered the extension: ours says whether we take part (the person's choice
// when listening began), the peer's whether it does. A private torrent takes no part: its peer
// list is nobody else's business. A peer whose extended handshake offered ut_pex exchanges peers
// by ut_pex only, so nobody is told twice (its handshake comes before its EXT_SUPPORT).
bool PeerConnection::SpeaksExtension() const {
    return m_features.ownExchange && ReadPeerFeatures(m_host.ReservedBytes()).ownExchange &&
           m_swarm.SharesPeers() && m_extended.pexId == 0;
}

bool PeerConnection::SpeaksFast() const {
    return m_features.fastExtension && ReadPeerFeatures(m_host.ReservedBytes()).fastExtension;
}

// Both sides run a DHT node: each tells the other where it listens. A private torrent's peers
// hear nothing of it, and what they say of theirs is passed over.
bool PeerConnection::SharesDht() const {
    return m_features.dht && m_host.Dht() != nullptr && m_host.DhtPort() != 0 &&
           m_swarm.SharesPeers();
}

void PeerConnection::SendDhtPort() {
    if (SharesDht()) {
        SendMessage(BuildDhtPort(m_host.DhtPort()));
        AddLog("Send msg: PORT " + std::to_string(m_host.DhtPort()));
    }
}

void PeerConnection::OnDhtPort(uint16_t port) {
    // One node per connection: a peer repeating the message cannot make us ping on its behalf.
    if (port == 0 || m_dhtPortSeen || !SharesDht()) {
        return;
    }
    m_dhtPortSeen = true;
    AddLog("Recv msg: PORT " + std::to_string(port));
    m_host.Dht()->AddNode(m_address, port);
}

void PeerConnection::Fatal(std::string line) {
    m_fatal = true;
    AddLog(std::move(line));
}

void PeerConnection::SendMessage(const std::string& payload) {
    if (m_socket) {
        m_socket->SendMessage(payload);
    }
}

// ---- notifications from the socket ----

void PeerConnection::OnConnectFailed() {
    ++m_connectFailures;
    AddLog("Peer Connect Failed!");
}

void PeerConnection::OnHandshakePassed() {
    if (!m_connected) {
        m_swarm.AdjustConnectedCount(+1);
    }
    m_connected = true;
    // Reached the peer itself: a refused connect or a failed handshake before does not count.
    m_connectFailures = 0;
    LeaveMetadataFetch();
    ResetExtended();
    if (!m_torrent.HasMetadata()) {
        // Only the dictionary is talked about: no pieces, no interest, nothing served.
        m_metadataOnly = true;
        m_amInterested = false;
        AddLog("Peer Connected!");
        if (SpeaksFast()) {
            SendMessage(BuildSimple(kHaveNone));
            AddLog("Send msg: HAVE NONE");
        }
        SendExtendedHandshake();
        SendDhtPort();
        ResetMeters();
        return;
    }
    if (m_peerPieces) {
        m_torrent.Pieces().RemovePeerAvailability(*m_peerPieces);
    }
    m_peerPieces =
        std::make_unique<BitField>(m_torrent.Pieces().Total(), m_torrent.Pieces().Unit());
    m_peerPieces->SetAll(Missing);
    m_countedPieces = &m_torrent.Pieces();
    m_countedChanges = m_countedPieces->HaveChanges();
    m_piecesWeWant = 0;
    m_piecesPeerWants = m_countedPieces->Count(Have);
    AddLog("Peer Connected!");
    SendOwnPieces();
    SendExtendedHandshake();
    SendDhtPort();
    if (SpeaksExtension()) {
        SendExtension(kExtSupport);
    }
    SendUnchoke();
    ResetMeters();
    m_sampleStart.reset();
    m_lastSlice.reset();
    m_lastAnswered = {};
    m_sampleBytes = 0;
    m_pipelineRate = 0;
}

void PeerConnection::ReleaseOutstanding() {
    if (m_outstanding.empty()) {
        return;  // also while the torrent has no pieces to ask
    }
    PieceManager& pieces = m_torrent.Pieces();
    for (const BlockRequest& r : m_outstanding) {
        pieces.CancelSlice(r.piece, r.begin, r.length);
    }
    m_outstanding.clear();
    m_askedSlices.clear();
    m_duplicates = 0;
}

void PeerConnection::OnSocketClosed() {
    LeaveMetadataFetch();
    ResetExtended();
    ReleaseOutstanding();
    m_cancelled.clear();
    m_peerRequests.clear();
    if (m_peerPieces) {
        m_torrent.Pieces().RemovePeerAvailability(*m_peerPieces);
        m_peerPieces.reset();
    }
    m_countedPieces = nullptr;
    m_piecesWeWant = 0;
    m_piecesPeerWants = 0;
    // A socket that reached the peer but never got through the handshake failed as surely as
    // a refused connect.
    if (!m_connected && m_socket && m_socket->ReachedPeer()) {
        ++m_connectFailures;
    }
    m_socket = nullptr;
    m_peerChoking = true;
    m_peerInterested = false;
    m_amChoking = true;
    m_amInterested = true;
    m_interestSent = false;
    m_uploadCandidate = true;
    m_bitfieldReceived = false;
    m_fatal = false;
    m_features = {};
    m_peerRequestLimit = kDefaultPeerRequests;
    m_droppedRequests = 0;
    m_strayRejects = 0;
    if (m_connected) {
        m_swarm.AdjustConnectedCount(-1);
        if (m_isSeed) {
            m_swarm.AdjustSeedCount(-1);
        }
    }
    m_isSeed = false;
    m_connected = false;
    AddLog("Peer Disconnected!");
}

void PeerConnection::OnOutputDrained() {
    if (CanServe()) {
        m_swarm.NoteQueuedRequest(*this);
    }
}

// ---- sending ----

void PeerConnection::SendChoke() {
    m_amChoking = true;
    SendMessage(BuildSimple(kChoke));
    AddLog("Send msg: CHOKE");
    DropPeerRequests();
}

void PeerConnection::DropPeerRequests() {
    for (const BlockRequest& r : m_peerRequests) {
        SendReject(r);
    }
    m_peerRequests.clear();
    PeerRequestsTaken();
}

void PeerConnection::SendReject(const BlockRequest& r) {
    if (!SpeaksFast()) {
        return;
    }
    SendMessage(BuildReject(r.piece, r.begin, r.length));
    AddLog(Triple("Send msg: REJECT REQUEST: ", r.piece, r.begin, r.length));
}

void PeerConnection::SendOwnPieces() {
    const PieceManager& own = m_torrent.Pieces();
    if (SpeaksFast()) {
        // m_piecesPeerWants is our piece count here: the peer has announced nothing yet.
        if (m_piecesPeerWants == own.EntryCount() && m_piecesPeerWants > 0) {
            SendMessage(BuildSimple(kHaveAll));
            AddLog("Send msg: HAVE ALL");
            return;
        }
        if (m_piecesPeerWants == 0) {
            SendMessage(BuildSimple(kHaveNone));
            AddLog("Send msg: HAVE NONE");
            return;
        }
    }
    SendBitfield(own.ToBitString());
}

void PeerConnection::SendUnchoke() {
    if (m_metadataOnly) {
        return;  // nothing to serve yet: the peer's requests would go unanswered
    }
    m_amChoking = false;
    SendMessage(BuildSimple(kUnchoke));
    AddLog("Send msg: UNCHOKE");
}

void PeerConnection::SendInterested() {
    m_amInterested = true;
    m_interestSent = m_socket != nullptr;
    SendMessage(BuildSimple(kInterested));
    AddLog("Send msg: INTERESTED");
}

void PeerConnection::SendUninterested() {
    m_amInterested = false;
    SendMessage(BuildSimple(kUninterested));
    AddLog("Send msg: UNINTERESTED");
}

void PeerConnection::SendHave(uint32_t piece) {
    SendMessage(BuildHave(piece));
    char line[64];
    std::snprintf(line, sizeof line, "Send msg: HAVE: %d \r\n", static_cast<int>(piece));
    AddLog(line);
}

void PeerConnection::SendBitfield(std::string_view bits) {
    SendMessage(BuildBitfield(bits));
    AddLog("Send msg: BITFIELD");
}

void PeerConnection::SendRequest(uint32_t piece, uint32_t begin, uint32_t length) {
    SendMessage(BuildRequest(piece, begin, length));
    AddLog(Triple("Send msg: REQUEST: ", piece, begin, length));
}

bool PeerConnection::SendPiece(uint32_t piece, uint32_t begin, std::string_view data) {
    const bool queued = m_socket && m_socket->SendPieceMessage(piece, begin, data);
    AddLog(Triple("Send msg: PIECE: ", piece, begin, static_cast<uint32_t>(data.size())));
    return queued;
}

void PeerConnection::SendCancel(const BlockRequest& r) {
    SendMessage(BuildCancel(r.piece, r.begin, r.length));
    AddLog(Triple("Send msg: CANCEL: ", r.piece, r.begin, r.length));
}

// ---- the request pipeline ----

void PeerConnection::FillRequests() {
    if (!m_peerPieces || !m_torrent.DownloadAllowed() || !m_amInterested || m_peerChoking) {
        return;
    }
    const size_t depth = PipelineTarget();
    PieceManager& pieces = m_torrent.Pieces();
    const auto asked = [this](uint32_t piece, uint32_t begin) {
        return m_askedSlices.contains(SliceKey(piece, begin));
    };
    while (m_outstanding.size() < depth) {
        if (m_swarm.DownloadLimitReached(*this)) {
            return;
        }
        uint32_t piece = 0;
        uint32_t begin = 0;
        uint32_t length = 0;
        bool duplicate = false;
        // In the end game a few slices may also be asked of this peer, never one it has already.
        if (!pieces.GetNextRequest(*m_peerPieces, m_lastRequestedPiece, piece, begin, length,
                                   duplicate, asked, m_duplicates < kMaxDuplicates)) {
            // Interest ends once nothing is left to ask for and nothing is still on its way:
            // a peer told earlier may choke us and drop the requests it still owes.
            if (m_outstanding.empty()) {
                SendUninterested();
            }
            return;
        }
        m_lastRequestedPiece = piece;
        SendRequest(piece, begin, length);
        m_outstanding.push_back({piece, begin, length, m_host.GetClock().Now(), duplicate});
        m_askedSlices.insert(SliceKey(piece, begin));
        m_duplicates += duplicate ? 1 : 0;
    }
}

bool PeerConnection::CanServe() const {
    return !m_peerRequests.empty() && !m_amChoking && m_socket &&
           m_socket->UnsentBytes() < PeerSocket::kUploadLowMark;
}

uint32_t PeerConnection::ServeOneRequest() {
    if (m_peerRequests.empty()) {
        return 0;
    }
    const BlockRequest r = m_peerRequests.front();
    m_peerRequests.pop_front();
    if (m_socket) {
        m_socket->NoteServed();
    }
    PeerRequestsTaken();
    std::string data;
    if (!m_torrent.ReadBlock(r.piece, r.begin, r.length, data)) {
        SendReject(r);  // the peer asks again elsewhere
        return 0;
    }
    // Only what the socket took counts as uploaded.
    if (!SendPiece(r.piece, r.begin, data)) {
        return 0;
    }
    m_uploadMeter->Update(r.length);
    m_uploaded += r.length;
    m_torrent.AddUploaded(r.length);
    return r.length;
}

void PeerConnection::PeerRequestsTaken() {
    if (m_socket && m_peerRequests.size() < kReadAgainBelow) {
        m_socket->ReadAgain();
    }
}

void PeerConnection::CancelRequest(const BlockRequest& request) {
    const auto it = std::find(m_outstanding.begin(), m_outstanding.end(), request);
    if (it == m_outstanding.end()) {
        return;
    }
    Withdraw(it, true);
    FillRequests();
}

BlockRequest PeerConnection::Withdraw(std::deque<BlockRequest>::iterator it, bool cancel) {
    const BlockRequest r = *it;
    m_duplicates -= r.duplicate ? 1 : 0;
    m_outstanding.erase(it);
    m_askedSlices.erase(SliceKey(r.piece, r.begin));
    if (cancel) {
        SendCancel(r);
        // The slice may cross the CANCEL on the wire: it is then expected, not an offence.
        m_cancelled.push_back(r);
        if (m_cancelled.size() > kMaxRememberedCancels) {
            m_cancelled.pop_front();
        }
    }
    return r;
}

// A peer that keeps sending other data but leaves one of our requests unanswered for a minute is
// not going to answer it: the slice goes back to be asked of someone else.
void PeerConnection::ExpireRequests() {
    const Time now = m_host.GetClock().Now();
    while (!m_outstanding.empty() && now - m_outstanding.front().sentAt >= kRequestTimeout) {
        const BlockRequest r = Withdraw(m_outstanding.begin(), true);
        m_torrent.Pieces().CancelSlice(r.piece, r.begin, r.length);
    }
}

// A peer that drops requests beyond its queue answers the ones after them: they are not coming.
void PeerConnection::DropOvertaken(Time answered) {
    while (!m_outstanding.empty() && m_outstanding.front().sentAt + kOvertakenAfter <= answered) {
        const BlockRequest r = Withdraw(m_outstanding.begin(), true);
        m_torrent.Pieces().CancelSlice(r.piece, r.begin, r.length);
        ++m_droppedRequests;
    }
}

void PeerConnection::DropUnansweredWhileQuiet() {
    if (m_peerChoking || !m_lastSlice || m_pipelineRate == 0) {
        return;
    }
    const Time now = m_host.GetClock().Now();
    const Duration quiet = std::max<Duration>(
        kQuietAfter, std::chrono::milliseconds(uint64_t{4} * kSliceSize * 1000 / m_pipelineRate));
    if (now - *m_lastSlice < quiet) {
        return;
    }
    // Silence alone says nothing of the peer's queue (its disk may have stalled); a request
    // asked no later than one it answered was dropped, and lowers the ceiling.
    while (!m_outstanding.empty() && now - m_outstanding.front().sentAt >= quiet) {
        const BlockRequest r = Withdraw(m_outstanding.begin(), true);
        m_torrent.Pieces().CancelSlice(r.piece, r.begin, r.length);
        m_droppedRequests += r.sentAt <= m_lastAnswered ? 1 : 0;
    }
}

void PeerConnection::CheckRequests() {
    const size_t before = m_outstanding.size();
    ExpireRequests();
    DropUnansweredWhileQuiet();
    if (m_outstanding.size() < before) {
        FillRequests();
    }
}

// The speed the pipeline follows: sampled every tenth of a second, so it grows within a fraction of
// a second; it rises to a faster sample at once and falls by half towards a slower one.
void PeerConnection::NoteSliceSpeed(uint32_t bytes) {
    const Time now = m_host.GetClock().Now();
    if (!m_sampleStart) {
        m_sampleStart = now;
    }
    m_sampleBytes += bytes;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - *m_sampleStart);
    if (elapsed < kSample) {
        return;
    }
    const uint64_t sample = m_sampleBytes * 1000 / static_cast<uint64_t>(elapsed.count());
    m_pipelineRate = std::max(sample, (m_pipelineRate + sample) / 2);
    m_sampleStart = now;
    m_sampleBytes = 0;
}

// One walk over both records: for a new bitfield, or when our own record changed more than its
// log remembers.
void PeerConnection::CountPieces() {
    const PieceManager& own = m_torrent.Pieces();
    const uint32_t entries = std::min(own.EntryCount(), m_peerPieces->EntryCount());
    uint32_t weWant = 0;
    uint32_t peerWants = 0;
    for (uint32_t i = 0; i < entries; ++i) {
        const bool ours = own.GetState(i) == Have;
        const bool theirs = m_peerPieces->GetState(i) == Have;
        weWant += theirs && !ours ? 1 : 0;
        peerWants += ours && !theirs ? 1 : 0;
    }
    m_piecesWeWant = weWant;
    m_piecesPeerWants = peerWants;
    m_countedPieces = &own;
    m_countedChanges = own.HaveChanges();
}

// Applies the changes to our own record since the counts were last exact. The peer's record
// must not have changed meanwhile: its handlers call this before they change it.
void PeerConnection::CatchUpWithOwnPieces() {
    if (!m_peerPieces) {
        return;
    }
    const PieceManager& own = m_torrent.Pieces();
    const auto apply = [this](uint32_t piece, bool nowHave) {
        const bool theirs = m_peerPieces->GetState(piece) == Have;
        uint32_t& count = theirs ? m_piecesWeWant : m_piecesPeerWants;
        // Gaining a piece the peer has means wanting one less from it; gaining one it lacks
        // means it wants one more from us; losing a piece undoes either.
        const bool grows = nowHave != theirs;
        assert(grows || count > 0);
        count = grows ? count + 1 : count - 1;
    };
    if (m_countedPieces != &own || !own.ReplayHaveChanges(m_countedChanges, apply)) {
        CountPieces();
        return;
    }
    m_countedChanges = own.HaveChanges();
}

void PeerConnection::UpdateInterest(bool onlyOnChange) {
    if (!m_peerPieces) {
        return;
    }
    CatchUpWithOwnPieces();
    if (!m_isSeed && m_peerPieces->AllEqual(Have)) {
        m_isSeed = true;
        m_swarm.AdjustSeedCount(+1);
    }
    if (m_piecesPeerWants > 0) {
        m_uploadCandidate = true;
    } else {
        m_uploadCandidate = false;
        if (!onlyOnChange || m_amChoking) {
            SendUnchoke();
        }
    }
    if (m_piecesWeWant > 0) {
        // A peer that sent no bitfield never heard that we are interested, whatever we think.
        if (!onlyOnChange || !m_amInterested || !m_interestSent) {
            SendInterested();
        }
    } else if (!onlyOnChange || m_amInterested) {
        SendUninterested();
    }
}

// ---- receiving ----

bool PeerConnection::ProcessMessages(std::vector<std::string>& messages) {
    if (!m_connected) {
        messages.clear();
        return false;
    }
    // Handlers can close the socket; work on our own copy of the list so nothing dangles.
    std::vector<std::string> queue;
    queue.swap(messages);
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        const std::string& raw = *it;
        if (IsDhtPortMessage(raw)) {
            OnDhtPort(ReadDhtPort(raw));
            continue;
        }
        WireMessage message;
        const DecodeStatus status = DecodeMessage(raw, message);
        if (status == DecodeStatus::KeepAlive || status == DecodeStatus::Ignored ||
            (IsFastMessage(message.id) && !SpeaksFast())) {
            continue;
        }
        if (status == DecodeStatus::Ok && message.id == kRequest &&
            m_peerRequests.size() >= kMaxPeerRequests) {
            // Every request is answered, so none may be dropped: this one and all after it wait.
            messages.assign(std::make_move_iterator(it), std::make_move_iterator(queue.end()));
            return true;
        }
        if (status == DecodeStatus::Malformed && !raw.empty() &&
            (raw[0] == kExtension || raw[0] == kExtended)) {
            continue;  // a broken extension message is dropped, never a reason to hang up
        }
        if (status == DecodeStatus::Malformed) {
            Fatal("Fatal Error:Malformed message!");
            return false;
        }
        if (!HandleMessage(message)) {
            return false;
        }
        if (!m_connected || m_banned) {
            return false;  // a handler lost the socket, or the peer is banned
        }
    }
    return true;
}

bool PeerConnection::HandleMessage(const WireMessage& m) {
    if (m.id == kExtended) {
        return HandleExtended(m.index, m.data);
    }
    if (m_metadataOnly) {
        return true;  // nothing but the dictionary is talked about yet
    }
    PieceManager& pieces = m_torrent.Pieces();
    const uint32_t lastPiece = pieces.GetLastIndex();
    // Indexes past the last piece are protocol errors: nothing good can come of them.
    const bool indexed = m.id == kHave || m.id == kRequest || m.id == kPiece;
    if (indexed && m.index > lastPiece) {
        Fatal("Fatal Error:Piece index out of range!");
        return false;
    }
    switch (m.id) {
    case kChoke:
        AddLog(kRecv + "CHOKE\r\n");
        m_peerChoking = true;
        // A peer that speaks the fast extension rejects what it will not serve, one by one.
        if (!SpeaksFast()) {
            ReleaseOutstanding();
        }
        if (m_uploadCandidate && !m_amChoking) {
            m_swarm.ChokePass();
        }
        return true;
    case kUnchoke:
        AddLog(kRecv + "UNCHOKE\r\n");
        m_peerChoking = false;
        FillRequests();
        m_swarm.ChokePass();
        return true;
    case kInterested:
        AddLog(kRecv + "INTERESTED\r\n");
        m_peerInterested = true;
        return true;
    case kUninterested:
        AddLog(kRecv + "UNINTERESTED\r\n");
        DropPeerRequests();
        m_peerInterested = false;
        return true;
    case kHave:
        AddLog(kRecv + "HAVE\r\n");
        if (m_peerPieces->GetState(m.index) == Have) {
            return false;
        }
        NotePeerPiece(m.index);
        UpdateInterest(true);
        FillRequests();
        return true;
    case kBitfield:
        AddLog(kRecv + "BITFIELD: \r\n");
        if (!ReadBitfield(m.data)) {
            Fatal("Fatal Error:Send BitField Again!");
            return false;
        }
        return true;
    case kRequest:
        AddLog(Triple((kRecv + "REQUEST: ").c_str(), m.index, m.begin, m.length));
        if (m_amChoking || m_peerPieces->GetState(m.index) != Missing || !m_uploadCandidate) {
            SendReject({m.index, m.begin, m.length});
            return true;
        }
        if (m.length > kMaxRequestLength || !pieces.ValidateRequest(m.index, m.begin, m.length)) {
            Fatal(Triple("ERROR: Invalid request: ", m.index, m.begin, m.length));
            SendReject({m.index, m.begin, m.length});
            return true;
        }
        m_peerRequests.push_back({m.index, m.begin, m.length});
        m_swarm.NoteQueuedRequest(*this);
        return true;
    case kPiece:
        AddLog(Triple((kRecv + "PIECE: ").c_str(), m.index, m.begin,
                      static_cast<uint32_t>(m.data.size())));
        HandleSlice(m.index, m.begin, m.data);
        FillRequests();
        return true;
    case kCancel: {
        AddLog(Triple((kRecv + "CANCEL: ").c_str(), m.index, m.begin, m.length));
        const BlockRequest r{m.index, m.begin, m.length};
        const auto it = std::find(m_peerRequests.begin(), m_peerRequests.end(), r);
        if (it != m_peerRequests.end()) {
            m_peerRequests.erase(it);
            // A peer that speaks the fast extension hears of every request it made.
            SendReject(r);
        }
        return true;
    }
    case kExtension:
        HandleExtension(m.index, m.data);
        return true;
    default:
        return !IsFastMessage(m.id) || HandleFastMessage(m);
    }
}

bool PeerConnection::HandleFastMessage(const WireMessage& m) {
    switch (m.id) {
    case kHaveAll:
    case kHaveNone: {
        const bool all = m.id == kHaveAll;
        AddLog(kRecv + (all ? "HAVE ALL\r\n" : "HAVE NONE\r\n"));
        // Read as the bitfield it stands for, under the same rules.
        const uint32_t entries = m_peerPieces->EntryCount();
        std::string bits((entries + 7) / 8, all ? '\xff' : '\0');
        if (all && entries % 8 != 0) {
            bits.back() = static_cast<char>(0xff00u >> (entries % 8));
        }
        if (!ReadBitfield(bits)) {
            Fatal("Fatal Error:Send BitField Again!");
            return false;
        }
        return true;
    }
    case kRejectRequest:
        AddLog(Triple((kRecv + "REJECT REQUEST: ").c_str(), m.index, m.begin, m.length));
        return HandleReject({m.index, m.begin, m.length});
    default:
        return true;  // SUGGEST PIECE and ALLOWED FAST: our picker goes its own way
    }
}

// The slice is free for any peer at once. A REJECT for a request we cancelled crossed our CANCEL
// (or answers it: some clients reject what is cancelled) and is no offence; one for a request
// we never made is harmless in itself, but each costs a walk over the requests in flight, so a
// peer that keeps sending them is cut off.
bool PeerConnection::HandleReject(const BlockRequest& r) {
    const auto it = std::find(m_outstanding.begin(), m_outstanding.end(), r);
    if (it != m_outstanding.end()) {
        Withdraw(it, false);
        m_torrent.Pieces().CancelSlice(r.piece, r.begin, r.length);
        // Asked again at the next slice from this peer; at once only if none is on its way.
        if (m_outstanding.empty()) {
            FillRequests();
        }
        return true;
    }
    const auto cancelled = std::find(m_cancelled.begin(), m_cancelled.end(), r);
    if (cancelled != m_cancelled.end()) {
        m_cancelled.erase(cancelled);
        return true;
    }
    if (++m_strayRejects > kMaxStrayRejects) {
        Fatal("Fatal Error:Too many rejects for requests never made!");
        return false;
    }
    return true;
}

void PeerConnection::NotePeerPiece(uint32_t piece) {
    CatchUpWithOwnPieces();
    m_peerPieces->SetState(piece, Have);
    PieceManager& pieces = m_torrent.Pieces();
    if (pieces.GetState(piece) == Have) {
        --m_piecesPeerWants;
    } else {
        ++m_piecesWeWant;
    }
    pieces.AddPieceAvailability(piece);
    m_progressMeter->Update(static_cast<uint32_t>(pieces.Unit()));
}

// Some clients send a fresh BITFIELD in the middle of a connection instead of a batch of HAVEs.
// One that keeps every piece the peer announced before is read as those HAVEs; one that takes a
// piece back is a lie (false). A short bit array changes nothing, as in a first BITFIELD.
bool PeerConnection::ReadBitfield(std::string_view bits) {
    const bool first = !m_bitfieldReceived;
    m_bitfieldReceived = true;
    const uint32_t entries = m_peerPieces->EntryCount();
    const bool whole = bits.size() >= (entries + 7) / 8;
    const auto announces = [bits](uint32_t piece) {
        return (static_cast<uint8_t>(bits[piece / 8]) & (0x80u >> (piece % 8))) != 0;
    };
    if (whole && first && m_peerPieces->Count(Have) == 0) {
        m_peerPieces->FromBitString(std::string(bits));
        CountPieces();
        m_torrent.Pieces().AddPeerAvailability(*m_peerPieces);
    } else if (whole) {
        for (uint32_t i = 0; i < entries; ++i) {
            if (m_peerPieces->GetState(i) == Have && !announces(i)) {
                return false;
            }
        }
        for (uint32_t i = 0; i < entries; ++i) {
            if (announces(i) && m_peerPieces->GetState(i) != Have) {
                NotePeerPiece(i);
            }
        }
    }
    UpdateInterest(!first);
    FillRequests();
    return true;
}

void PeerConnection::SendExtension(uint8_t subId) {
    SendMessage(BuildExtension(subId, subId == kExtPeers ? m_swarm.PeerExchangeEntries() : ""));
    AddLog("Send msg: EXTENSION REPORT");
}

void PeerConnection::HandleExtension(uint32_t subId, std::string_view body) {
    if (!SpeaksExtension()) {
        return;
    }
    switch (static_cast<int8_t>(subId)) {
    case kExtSupport:
        AddLog(kRecv + "EXT_SUPPORT\r\n");
        SendExtension(kExtPeerRequest);
        break;
    case kExtPeerRequest:
        AddLog(kRecv + "EXT_PEERREQ\r\n");
        SendExtension(kExtPeers);
        break;
    case kExtPeers:
        ReadPeerExchange(body);
        break;
    default:
        break;
    }
}

void PeerConnection::ReadPeerExchange(std::string_view body) {
    // A peer that repeats its list cannot make us churn through connections.
    const Time now = m_host.GetClock().Now();
    if (m_lastPeerExchange && now - *m_lastPeerExchange < kPeerExchangeInterval) {
        body = {};
    } else {
        m_lastPeerExchange = now;
    }
    const std::vector<PeerExchangeEntry> entries = ParsePeerExchange(body);
    int added = 0;
    for (const PeerExchangeEntry& entry : entries) {
        // One message cannot make the torrent take on more peers than a tracker answer can.
        if (entry.port == 0 || entry.port > 65535 || added >= kMaxExchangedPeers ||
            m_swarm.FindPeer(entry.peerId)) {
            continue;
        }
        const auto port = static_cast<uint16_t>(entry.port);
        PeerConnection* peer = m_swarm.CreatePeer(entry.peerId, entry.address, port, port);
        if (peer) {
            ++added;
            m_swarm.ConnectPeer(*peer);
        }
    }
    char line[128];
    std::snprintf(line, sizeof line, "%sEXT_PEERS: %d, Add %d \r\n", kRecv.c_str(),
                  static_cast<int>(entries.size()), added);
    AddLog(line);
}

void PeerConnection::HandleSlice(uint32_t piece, uint32_t begin, std::string_view data) {
    const auto length = static_cast<uint32_t>(data.size());
    const BlockRequest r{piece, begin, length};
    const auto it = std::find(m_outstanding.begin(), m_outstanding.end(), r);
    if (it == m_outstanding.end()) {
        const auto cancelled = std::find(m_cancelled.begin(), m_cancelled.end(), r);
        if (cancelled != m_cancelled.end()) {
            m_cancelled.erase(cancelled);  // it crossed our CANCEL on the wire
            return;
        }
        Fatal(Triple("ERROR: Recv a unrequested piece: ", piece, begin, length));
        return;
    }
    const BlockRequest answered = Withdraw(it, false);
    const bool wasDuplicate = answered.duplicate;
    m_lastSlice = m_host.GetClock().Now();
    m_lastAnswered = std::max(m_lastAnswered, answered.sentAt);
    NoteSliceSpeed(length);
    DropOvertaken(answered.sentAt);
    ExpireRequests();
    PieceManager& pieces = m_torrent.Pieces();
    bool othersAsked = false;
    if (!pieces.SliceReceived(piece, begin, length, &othersAsked)) {
        // In the end game another peer's copy may have completed the piece already.
        if (!wasDuplicate) {
            Fatal(Triple("ERROR: saving slice in PieceManager failed: ", piece, begin, length));
        }
        return;
    }
    if (!m_torrent.WriteBlock(piece, begin, data)) {
        // Storage refused it (a full disk, say): the torrent stops and says why. The peer sent
        // nothing wrong, so the piece is not checked and no failure counts against the peer.
        AddLog(Triple("ERROR: writing slice to disk failed: ", piece, begin, length));
        return;
    }
    m_downloaded += length;
    m_downloadMeter->Update(length);
    m_torrent.AddDownloaded(length);
    if (othersAsked) {
        m_swarm.CancelElsewhere(r, *this);
    }
    if (pieces.GetState(piece) == Received && !m_torrent.VerifyPiece(piece)) {
        char line[64];
        std::snprintf(line, sizeof line, "ERROR: piece %d failed during SHA1 check.\r\n",
                      static_cast<int>(piece));
        Fatal(line);
        // Whoever keeps sending data that fails the check is cut off, or it would be asked for
        // the same pieces again and again: also when each of its connections fails only once.
        ++m_hashFailures;
        if (std::max(m_hashFailures, m_swarm.CountHashFailure(*this)) >= kMaxHashFailures &&
            !m_banned) {
            m_banned = true;
            Fatal("Fatal Error:Too many pieces failed the check!");
            m_swarm.BanPeer(*this);
        }
    }
}

}  // namespace velbrook
