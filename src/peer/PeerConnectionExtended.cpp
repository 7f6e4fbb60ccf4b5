// PeerConnection's side of the extension protocol: the extended handshake, the exchange of the
// info dictionary (ut_metadata) and of peers (ut_pex).
#include <algorithm>
#include <cstdio>

#include "peer/Extended.h"
#include "peer/PeerConnection.h"
#include "peer/PeerLinks.h"
#include "peer/PeerSocket.h"

namespace velbrook {

namespace {

const std::string kRecvExtended = std::string(26, ' ') + "<<-Recv msg: ";

}  // namespace

void PeerConnection::ResetExtended() {
    m_metadataOnly = false;
    m_dhtPortSeen = false;
    m_metadataOffered = false;
    m_extended = {};
    m_clientName.clear();
    m_metadataAsked.clear();
    m_metadataPausedUntil.reset();
    m_lastPexSent.reset();
    m_lastPexRead.reset();
    m_pexSent.clear();
}

void PeerConnection::SendExtended(uint8_t peerId, const std::string& body) {
    std::string payload;
    payload.reserve(2 + body.size());
    payload.push_back(static_cast<char>(kExtended));
    payload.push_back(static_cast<char>(peerId));
    payload += body;
    SendMessage(payload);
}

void PeerConnection::SendExtendedHandshake() {
    if (!m_features.extensionProtocol) {
        return;
    }
    const MetadataLink* metadata = m_torrent.Metadata();
    const uint64_t size = metadata ? metadata->InfoDictionary().size() : 0;
    SendExtended(kExtendedHandshake, BuildExtendedHandshake(m_host.ListenPort(), size, m_address));
    AddLog("Send msg: EXTENDED HANDSHAKE");
}

bool PeerConnection::HandleExtended(uint32_t extendedId, std::string_view body) {
    // Only a peer that said it speaks the protocol is listened to.
    if (!m_features.extensionProtocol) {
        return true;
    }
    switch (extendedId) {
    case kExtendedHandshake:
        return ReadExtendedHandshake(body);
    case kOwnMetadataId:
        return HandleMetadata(body);
    case kOwnPexId:
        ReadPex(body);
        return true;
    default:
        return true;
    }
}

bool PeerConnection::ReadExtendedHandshake(std::string_view body) {
    ExtendedHandshake handshake;
    if (!ParseExtendedHandshake(body, handshake)) {
        AddLog(kRecvExtended + "EXTENDED HANDSHAKE (unreadable, ignored)\r\n");
        return true;
    }
    m_extended = handshake;
    m_clientName = handshake.client;
    AddLog(kRecvExtended + "EXTENDED HANDSHAKE: " + m_clientName + "\r\n");
    if (handshake.requestQueue) {
        SetPeerRequestLimit(
            static_cast<size_t>(std::clamp<int64_t>(*handshake.requestQueue, 1, kOwnRequestQueue)));
    }
    // A peer that connected to us says where it listens: that is where it can be named to others
    // and dialled again.
    if (handshake.listenPort != 0 && m_listenPort == 0) {
        m_listenPort = handshake.listenPort;
    }
    MetadataLink* metadata = m_torrent.Metadata();
    if (m_metadataOffered || m_torrent.HasMetadata() || !metadata || handshake.metadataId == 0 ||
        !handshake.metadataSize) {
        return true;
    }
    if (!metadata->OfferMetadata(*this, *handshake.metadataSize)) {
        char line[96];
        std::snprintf(line, sizeof line, "Fatal Error:Unbelievable metadata size %llu!",
                      static_cast<unsigned long long>(*handshake.metadataSize));
        Fatal(line);
        return false;
    }
    m_metadataOffered = true;
    RequestMetadata();
    return true;
}

bool PeerConnection::HandleMetadata(std::string_view body) {
    MetadataMessage message;
    if (!ParseMetadataMessage(body, message)) {
        return true;  // a broken extension message is dropped, never a reason to hang up
    }
    switch (message.type) {
    case MetadataType::Request:
        ServeMetadata(message.piece);
        return true;
    case MetadataType::Reject:
    case MetadataType::Data:
        break;
    }
    const auto asked =
        std::find_if(m_metadataAsked.begin(), m_metadataAsked.end(),
                     [&](const MetadataAsk& ask) { return ask.piece == message.piece; });
    MetadataLink* metadata = m_torrent.Metadata();
    // An answer to a request given up already (or never made) is late news: nothing to do.
    if (asked == m_metadataAsked.end() || !metadata) {
        return true;
    }
    m_metadataAsked.erase(asked);
    if (message.type == MetadataType::Reject) {
        AddLog(kRecvExtended + "METADATA REJECT\r\n");
        metadata->OnMetadataRefused(*this, message.piece);
        m_metadataPausedUntil = m_host.GetClock().Now() + kMetadataPause;
        return true;
    }
    AddLog(kRecvExtended + "METADATA PIECE\r\n");
    if (!metadata->OnMetadataPiece(*this, message.piece, message.totalSize, message.data)) {
        Fatal("Fatal Error:Bad metadata piece!");
        return false;
    }
    RequestMetadata();
    return true;
}

// Answered at once or refused: nothing a peer asks for is queued, and a socket with much unsent
// output refuses, so a peer cannot make us hold more than one piece beyond the upload's mark.
void PeerConnection::ServeMetadata(uint32_t piece) {
    if (m_extended.metadataId == 0) {
        return;  // the peer gave no id to answer on
    }
    const MetadataLink* metadata = m_torrent.Metadata();
    const std::string_view dictionary = metadata ? metadata->InfoDictionary() : std::string_view();
    const uint64_t begin = uint64_t{piece} * kMetadataPieceSize;
    if (begin >= dictionary.size() || !m_socket ||
        m_socket->UnsentBytes() >= PeerSocket::kUploadLowMark) {
        SendExtended(m_extended.metadataId, BuildMetadataReject(piece));
        AddLog("Send msg: METADATA REJECT");
        return;
    }
    SendExtended(
        m_extended.metadataId,
        BuildMetadataData(piece, dictionary.size(), dictionary.substr(begin, kMetadataPieceSize)));
    AddLog("Send msg: METADATA PIECE");
}

void PeerConnection::RequestMetadata() {
    MetadataLink* metadata = m_torrent.Metadata();
    if (!m_metadataOffered || !metadata || m_torrent.HasMetadata() || !m_socket) {
        return;
    }
    if (m_metadataPausedUntil && m_host.GetClock().Now() < *m_metadataPausedUntil) {
        return;
    }
    while (m_metadataAsked.size() < kMetadataRequests) {
        const std::optional<uint32_t> piece = metadata->NextMetadataPiece(*this);
        if (!piece) {
            return;
        }
        SendExtended(m_extended.metadataId, BuildMetadataRequest(*piece));
        m_metadataAsked.push_back({*piece, m_host.GetClock().Now()});
        AddLog("Send msg: METADATA REQUEST");
    }
}

void PeerConnection::ExpireMetadataRequests() {
    MetadataLink* metadata = m_torrent.Metadata();
    const Time now = m_host.GetClock().Now();
    std::vector<uint32_t> expired;
    std::erase_if(m_metadataAsked, [&](const MetadataAsk& ask) {
        if (now - ask.sentAt < kMetadataTimeout) {
            return false;
        }
        expired.push_back(ask.piece);
        return true;
    });
    if (expired.empty() || !metadata) {
        return;
    }
    AddLog("METADATA REQUEST timed out");
    m_metadataPausedUntil = now + kMetadataPause;
    for (const uint32_t piece : expired) {
        metadata->OnMetadataRefused(*this, piece);
    }
}

void PeerConnection::LeaveMetadataFetch() {
    if (!m_metadataOffered) {
        return;
    }
    m_metadataOffered = false;
    m_metadataAsked.clear();
    if (MetadataLink* metadata = m_torrent.Metadata()) {
        metadata->OnMetadataPeerGone(*this);
    }
}

void PeerConnection::ExtensionTick() {
    if (!m_connected || !m_socket) {
        return;
    }
    if (m_metadataOnly && m_torrent.HasMetadata()) {
        // The peer's pieces went unread while the dictionary was missing: a fresh connection
        // learns them. One that connected to us is dialled where it said it listens.
        AddLog("Metadata arrived: reconnecting");
        const bool incoming = IsIncoming();
        m_socket->Close(true);
        if (incoming && m_listenPort != 0) {
            SetRemote(m_address, m_listenPort);
        }
        if (!incoming || m_listenPort != 0) {
            m_swarm.ConnectPeer(*this);
        }
        return;
    }
    ExpireMetadataRequests();
    RequestMetadata();
    SendPex();
}

// ---- ut_pex ----

// The peers connected now, against what this peer heard from us last: at most one message a
// minute, with at most kMaxPexPeers added and as many dropped.
void PeerConnection::SendPex() {
    if (m_extended.pexId == 0 || !m_swarm.SharesPeers()) {
        return;
    }
    const Time now = m_host.GetClock().Now();
    if (m_lastPexSent && now - *m_lastPexSent < kPexInterval) {
        return;
    }
    std::vector<PexPeer> current = m_swarm.ExchangePeers();
    const uint16_t ownPort = IsIncoming() ? m_listenPort : m_port;
    std::erase_if(current,
                  [&](const PexPeer& p) { return p.address == m_address && p.port == ownPort; });
    PexMessage message;
    for (const PexPeer& peer : current) {
        if (message.added.size() < kMaxPexPeers &&
            std::find(m_pexSent.begin(), m_pexSent.end(), peer) == m_pexSent.end()) {
            message.added.push_back(peer);
        }
    }
    for (const PexPeer& peer : m_pexSent) {
        if (message.dropped.size() < kMaxPexPeers &&
            std::find(current.begin(), current.end(), peer) == current.end()) {
            message.dropped.push_back(peer);
        }
    }
    // The first message goes out even when empty: the peer then knows we take part.
    if (m_lastPexSent && message.added.empty() && message.dropped.empty()) {
        return;
    }
    m_lastPexSent = now;
    for (const PexPeer& peer : message.dropped) {
        std::erase(m_pexSent, peer);
    }
    m_pexSent.insert(m_pexSent.end(), message.added.begin(), message.added.end());
    SendExtended(m_extended.pexId, BuildPex(message));
    char line[96];
    std::snprintf(line, sizeof line, "Send msg: PEX: added %d, dropped %d",
                  static_cast<int>(message.added.size()), static_cast<int>(message.dropped.size()));
    AddLog(line);
}

void PeerConnection::ReadPex(std::string_view body) {
    if (!m_swarm.SharesPeers()) {
        return;  // a private torrent learns its peers from its trackers alone
    }
    // A peer that sends more often cannot make us churn through connections.
    const Time now = m_host.GetClock().Now();
    if (m_lastPexRead && now - *m_lastPexRead < kPexInterval) {
        return;
    }
    PexMessage message;
    if (!ParsePex(body, message)) {
        return;
    }
    m_lastPexRead = now;
    int added = 0;
    for (const PexPeer& peer : message.added) {
        PeerConnection* learnt = m_swarm.LearnPeer(peer.address, peer.port);
        if (!learnt || learnt == this) {
            continue;
        }
        learnt->SetExchangeFlags(peer.flags);
        if (!learnt->IsConnected()) {
            ++added;
            m_swarm.ConnectPeer(*learnt);
        }
    }
    char line[128];
    std::snprintf(line, sizeof line, "%sPEX: %d, Add %d \r\n", kRecvExtended.c_str(),
                  static_cast<int>(message.added.size()), added);
    AddLog(line);
}

}  // namespace velbrook
