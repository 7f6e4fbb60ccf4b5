// The protocol side of one remote peer of one torrent. Outlives its TCP connections: when its
// socket closes it is reset and can be connected again.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/BitField.h"
#include "storage/RateMeter.h"

namespace velbrook {

class PeerHost;
class PeerSocket;
class SessionLink;
struct WireMessage;

struct BlockRequest {
    uint32_t piece;
    uint32_t begin;
    uint32_t length;
    bool operator==(const BlockRequest&) const = default;
};

class PeerConnection {
public:
    static constexpr size_t kMaxOutstanding = 5;    // our requests in flight to the peer
    static constexpr size_t kMaxPeerRequests = 30;  // the peer's requests waiting for service

    PeerConnection(SessionLink& session, PeerHost& host, std::string peerId, std::string address,
                   uint16_t port, uint16_t listenPort);
    virtual ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    // Notifications from the socket.
    virtual void OnHandshakePassed();
    virtual void OnSocketClosed();
    virtual void OnConnectFailed();
    virtual void OnSocketConnected();
    // Handles the complete messages cut from the input, emptying the list. False: close the
    // connection (the rest of the list is not handled).
    bool ProcessMessages(std::vector<std::string>& messages);

    // Socket binding, done by the handshake.
    void AttachSocket(PeerSocket* socket);
    void DetachSocket();  // the socket is going away; nothing is sent to it any more
    PeerSocket* Socket() const { return m_socket; }

    // Used by the session and the choking code.
    void SendChoke();
    void SendUnchoke();
    void SendInterested();
    void SendUninterested();
    void SendHave(uint32_t piece);
    void SendBitfield(std::string_view bits);
    void SendRequest(uint32_t piece, uint32_t begin, uint32_t length);
    void SendPiece(uint32_t piece, uint32_t begin, std::string_view data);
    // Peer exchange between copies that both speak the extension.
    void SendExtension(uint8_t subId);
    void FillRequests();
    void ServeOneRequest();
    void UpdateInterest(bool onlyOnChange);
    void SetExtensionCapable(bool capable) { m_extensionCapable = capable; }
    // The clock of the rate meters (replaced at once, and at every handshake): the torrent's peer
    // set hands down its own so that every rate it compares shares one time base.
    void SetMeterClock(RateMeter::Clock clock);

    // Read access for the session, the choking code and the views.
    const std::string& PeerId() const { return m_peerId; }
    const std::string& Address() const { return m_address; }
    uint16_t Port() const { return m_port; }
    uint16_t ListenPort() const { return m_listenPort; }
    void SetRemote(const std::string& address, uint16_t port);
    uint32_t ConnectFailures() const { return m_connectFailures; }
    bool IsConnected() const { return m_connected; }
    bool IsFatal() const { return m_fatal; }
    bool IsPeerChoking() const { return m_peerChoking; }
    bool IsPeerInterested() const { return m_peerInterested; }
    bool IsAmChoking() const { return m_amChoking; }
    bool IsAmInterested() const { return m_amInterested; }
    bool IsUploadCandidate() const { return m_uploadCandidate; }
    bool IsExtensionCapable() const { return m_extensionCapable; }
    bool IsSeed() const { return m_isSeed; }
    uint32_t UploadAllowance() const { return m_uploadAllowance; }
    // Position in the last choking pass; better peers have lower ranks.
    int32_t Rank() const { return m_rank; }
    void SetRank(int32_t rank) { m_rank = rank; }
    void SetUploadAllowance(uint32_t bytesPerSecond) { m_uploadAllowance = bytesPerSecond; }
    uint32_t Downloaded() const { return m_downloaded; }
    uint32_t Uploaded() const { return m_uploaded; }
    const BitField& PeerPieces() const { return m_peerPieces; }
    const std::deque<BlockRequest>& Outstanding() const { return m_outstanding; }
    const std::deque<BlockRequest>& PeerRequests() const { return m_peerRequests; }
    RateMeter& DownloadMeter() { return *m_downloadMeter; }
    RateMeter& UploadMeter() { return *m_uploadMeter; }
    RateMeter& ProgressMeter() { return *m_progressMeter; }
    const std::deque<std::string>& Log() const { return m_log; }

    // Live connections in the process, for the statistics.
    static size_t LiveCount();

private:
    void SendMessage(const std::string& payload);
    void AddLog(std::string line);
    void Fatal(std::string line);
    bool HandleMessage(const WireMessage& message);
    void HandleSlice(uint32_t piece, uint32_t begin, std::string_view data);
    void HandleExtension(uint32_t subId, std::string_view body);
    void ReadPeerExchange(std::string_view body);
    void ReleaseOutstanding();
    void ResetMeters();

    SessionLink& m_session;
    PeerHost& m_host;
    std::string m_peerId;
    std::string m_address;
    uint16_t m_port;
    uint16_t m_listenPort;
    uint32_t m_connectFailures = 0;
    bool m_connected = false;
    bool m_fatal = false;
    bool m_bitfieldReceived = false;
    PeerSocket* m_socket = nullptr;
    BitField m_peerPieces;
    std::unique_ptr<RateMeter> m_downloadMeter;
    std::unique_ptr<RateMeter> m_uploadMeter;
    std::unique_ptr<RateMeter> m_progressMeter;
    RateMeter::Clock m_meterClock = RateMeter::MonotonicSeconds;
    bool m_peerChoking = true;
    bool m_peerInterested = false;
    bool m_amChoking = true;
    bool m_amInterested = true;
    bool m_uploadCandidate = true;
    bool m_extensionCapable = false;
    int64_t m_lastRequestedPiece = -1;
    uint32_t m_uploadAllowance = 20480;
    int32_t m_rank = 0;
    bool m_isSeed = false;
    uint32_t m_downloaded = 0;
    uint32_t m_uploaded = 0;
    std::deque<BlockRequest> m_outstanding;
    std::deque<BlockRequest> m_peerRequests;
    std::deque<std::string> m_log;
};

}  // namespace velbrook
