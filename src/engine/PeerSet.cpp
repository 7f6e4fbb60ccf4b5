#include "engine/PeerSet.h"

#include <algorithm>
#include <random>
#include <unordered_set>

#include "peer/PeerConnection.h"
#include "peer/PeerLinks.h"
#include "peer/PeerSocket.h"
#include "persist/Settings.h"

namespace velbrook {

namespace {

constexpr uint32_t kServicePeriodMs = 500;
constexpr uint32_t kChokePeriodMs = 10000;
constexpr uint32_t kCleanupPeriodMs = 120000;
constexpr uint32_t kReconnectPeriodMs = 40000;

// Peers that failed to connect this often are forgotten once they are not connected.
constexpr uint32_t kDropAfterFailures = 2;

// A KiB/s setting in bytes per second. A negative value (a hand-edited settings file) counts as
// 0 rather than wrapping round to an enormous limit.
int64_t BytesPerSecond(int key) {
    return int64_t{std::max(0, GetSettings().GetInt(key))} * 1024;
}

PeerSet::Random DefaultRandom() {
    auto engine = std::make_shared<std::mt19937>(std::random_device{}());
    return [engine] { return static_cast<uint32_t>((*engine)()); };
}

struct Ranked {
    std::string id;
    uint32_t rate;  // read once per pass, so every comparison sees the same value
};

// Fastest first; peers of equal rate keep the order in which they were met.
void SortByRate(std::vector<Ranked>& list) {
    std::stable_sort(list.begin(), list.end(),
                     [](const Ranked& a, const Ranked& b) { return a.rate > b.rate; });
}

}  // namespace

PeerSet::PeerSet(SessionLink& session, PeerHost& host, std::string infoHash, RateMeter::Clock clock,
                 Random random, bool startTimers)
    : m_session(session), m_host(host), m_infoHash(std::move(infoHash)),
      m_random(random ? std::move(random) : DefaultRandom()),
      m_clock(clock ? std::move(clock) : RateMeter::Clock(RateMeter::MonotonicSeconds)),
      m_downloadMeter(m_clock), m_uploadMeter(m_clock),
      m_serviceTimer(std::make_unique<EngineTimer>(*this)),
      m_chokeTimer(std::make_unique<EngineTimer>(*this)),
      m_cleanupTimer(std::make_unique<EngineTimer>(*this)),
      m_reconnectTimer(std::make_unique<EngineTimer>(*this)) {
    if (startTimers) {
        m_serviceTimer->Start(kServicePeriodMs, kTimerUpload);
        m_chokeTimer->Start(kChokePeriodMs, kTimerChoke);
        m_cleanupTimer->Start(kCleanupPeriodMs, kTimerPrunePeers);
        m_reconnectTimer->Start(kReconnectPeriodMs, kTimerConnectPeers);
    }
}

PeerSet::~PeerSet() {
    m_serviceTimer->Stop();
    m_chokeTimer->Stop();
    m_cleanupTimer->Stop();
    m_reconnectTimer->Stop();
    m_peerList.clear();
    m_uploadQueue.clear();
    m_downloadWait.clear();
    // Whatever a dying connection sets off finds the set already empty, not half taken apart.
    auto doomed = std::move(m_peers);
    m_peers.clear();
}

std::vector<std::string> PeerSet::PeerIds() const {
    std::vector<std::string> ids;
    ids.reserve(m_peers.size());
    for (const auto& entry : m_peers) {
        ids.push_back(entry.first);
    }
    return ids;
}

PeerConnection* PeerSet::FindPeer(const std::string& peerId) const {
    const auto it = m_peers.find(peerId);
    return it == m_peers.end() ? nullptr : it->second.get();
}

PeerConnection* PeerSet::CreatePeer(const std::string& address, const std::string& peerId,
                                    uint16_t port, uint16_t listenPort) {
    // Replacing a known peer would destroy a connection that the peer list, a socket or a
    // running handler still points at; callers look the id up first.
    if (m_peers.count(peerId) != 0) {
        return nullptr;
    }
    auto connection =
        std::make_unique<PeerConnection>(m_session, m_host, peerId, address, port, listenPort);
    connection->SetMeterClock(m_clock);
    PeerConnection* raw = connection.get();
    m_peers.emplace(peerId, std::move(connection));
    m_peerList.push_back(raw);
    return raw;
}

bool PeerSet::ConnectPeer(PeerConnection& connection) {
    if (connection.IsConnected()) {
        return false;
    }
    if (m_connectedCount >= GetSettings().GetInt(MaxConnectedPeers)) {
        return false;
    }
    // The connection is reset exactly once: by its own socket's close when that socket still
    // belongs to it, by hand otherwise.
    bool reset = false;
    if (PeerSocket* old = connection.Socket()) {
        if (old->State() == PeerSocketState::Connecting) {
            return false;
        }
        if (old->Connection() == &connection) {
            old->Close(true);
            reset = true;
        } else if (old->Connection() == nullptr) {
            old->Close(true);
        }
        // A socket since bound to another peer is that peer's business; we only let go of it.
    }
    if (!reset || connection.Socket() != nullptr) {
        connection.OnSocketClosed();
    }
    auto* socket = new PeerSocket(m_host);    // the host's socket registry owns it from here on
    socket->Connect(connection, m_infoHash);  // an immediate failure has told the connection
    return true;
}

bool PeerSet::RemovePeer(PeerConnection& connection) {
    const auto listed = std::find(m_peerList.begin(), m_peerList.end(), &connection);
    if (listed == m_peerList.end()) {
        return false;
    }
    m_peerList.erase(listed);
    auto it = m_peers.find(connection.PeerId());
    if (it == m_peers.end() || it->second.get() != &connection) {
        it = std::find_if(m_peers.begin(), m_peers.end(),
                          [&](const auto& entry) { return entry.second.get() == &connection; });
    }
    if (it != m_peers.end()) {
        // Out of both containers before it dies; its destructor closes its socket.
        std::unique_ptr<PeerConnection> doomed = std::move(it->second);
        m_peers.erase(it);
    }
    return true;
}

void PeerSet::BroadcastHave(uint32_t piece) {
    for (const std::string& id : PeerIds()) {
        PeerConnection* connection = FindPeer(id);
        if (connection && connection->IsConnected()) {
            connection->SendHave(piece);
            connection->UpdateInterest(true);
        }
    }
}

void PeerSet::Resume() {
    for (const std::string& id : PeerIds()) {
        PeerConnection* connection = FindPeer(id);
        if (!connection || !connection->IsConnected()) {
            continue;
        }
        if (!connection->IsPeerChoking()) {
            connection->FillRequests();
        }
        if (!connection->IsAmChoking()) {
            connection->ServeOneRequest();
        }
    }
}

// ---- choking and rate control ----

void PeerSet::ChokePass() {
    const Settings& settings = GetSettings();
    const auto ratio = static_cast<uint64_t>(std::max(0, settings.GetInt(UpDownRatio)));
    const auto floor = static_cast<uint64_t>(
        std::min<int64_t>(BytesPerSecond(MinUploadRate), int64_t{UINT32_MAX}));

    std::vector<Ranked> wanted;  // peers we want data from
    std::vector<Ranked> served;  // peers that only we can serve
    for (const std::string& id : PeerIds()) {
        PeerConnection* connection = FindPeer(id);
        if (!connection || !connection->IsConnected()) {
            continue;
        }
        const uint32_t rate = connection->DownloadMeter().Update(0);
        // In 64 bits: a fast peer times a large ratio must not wrap round to a small allowance.
        const uint64_t granted = std::min<uint64_t>(ratio * rate / 100, UINT32_MAX);
        connection->SetUploadAllowance(static_cast<uint32_t>(granted > floor ? granted : floor));
        if (connection->IsAmInterested()) {
            wanted.push_back({id, rate});
        } else if (connection->IsUploadCandidate()) {
            served.push_back({id, rate});
        } else {
            // Neither side has anything for the other. Repeated every pass on purpose.
            connection->SendChoke();
        }
    }
    SortByRate(wanted);
    SortByRate(served);
    std::vector<Ranked> ranking = std::move(wanted);
    ranking.insert(ranking.end(), served.begin(), served.end());
    for (size_t i = 0; i < ranking.size(); ++i) {
        if (PeerConnection* connection = FindPeer(ranking[i].id)) {
            connection->SetRank(static_cast<int32_t>(i));
        }
    }

    const int32_t slots = settings.GetInt(MaxUpLoadSlots);
    int32_t used = 0;
    // A peer that chokes us is unchoked for free: it cannot give us anything for the slot yet.
    const auto grant = [&](const std::string& id) {
        PeerConnection* connection = FindPeer(id);
        if (!connection) {
            return;
        }
        if (connection->IsAmChoking()) {
            connection->SendUnchoke();
        }
        if (!connection->IsPeerChoking()) {
            ++used;
        }
    };
    size_t best = 0;
    while (used < slots / 2 && best < ranking.size()) {
        grant(ranking[best++].id);
    }
    ranking.erase(ranking.begin(), ranking.begin() + static_cast<std::ptrdiff_t>(best));
    // The other half goes by lot, so that newcomers get a chance to show their speed.
    while (used < slots && !ranking.empty()) {
        const size_t pick = m_random() % ranking.size();
        const std::string id = ranking[pick].id;
        ranking.erase(ranking.begin() + static_cast<std::ptrdiff_t>(pick));
        grant(id);
    }
    for (const Ranked& rest : ranking) {
        PeerConnection* connection = FindPeer(rest.id);
        if (connection && !connection->IsAmChoking()) {
            connection->SendChoke();
        }
    }
}

void PeerSet::ServiceTick() {
    const int64_t downloadLimit = BytesPerSecond(MaxDownloadSpeed);
    if (downloadLimit != 0) {
        // Only the peers waiting now: one refused again goes to the back and waits for the next
        // tick. Taking the entry off first is what lets a renewed refusal queue it again.
        for (size_t left = m_downloadWait.size(); left > 0 && !m_downloadWait.empty(); --left) {
            if (int64_t{m_downloadMeter.Update(0)} >= downloadLimit) {
                break;
            }
            const std::string id = m_downloadWait.front();
            m_downloadWait.pop_front();
            if (PeerConnection* connection = FindPeer(id)) {
                connection->FillRequests();
            }
        }
    }

    const int64_t uploadLimit = BytesPerSecond(MaxUploadSpeed);
    size_t at = 0;
    while (at < m_uploadQueue.size()) {
        if (int64_t{m_uploadMeter.Update(0)} >= uploadLimit) {
            break;
        }
        const std::string id = m_uploadQueue[at];
        PeerConnection* connection = FindPeer(id);
        if (!connection) {
            m_uploadQueue.erase(m_uploadQueue.begin() + static_cast<std::ptrdiff_t>(at));
            continue;
        }
        if (connection->PeerRequests().empty()) {
            m_uploadQueue.erase(m_uploadQueue.begin() + static_cast<std::ptrdiff_t>(at));
            continue;
        }
        if (connection->UploadMeter().Update(0) >= connection->UploadAllowance()) {
            ++at;  // over its allowance for now; its requests keep their place
            continue;
        }
        // Every serve takes one request off the peer's queue, so staying on the entry ends.
        connection->ServeOneRequest();
        if (at >= m_uploadQueue.size() || m_uploadQueue[at] != id) {
            const auto again = std::find(m_uploadQueue.begin(), m_uploadQueue.end(), id);
            if (again != m_uploadQueue.end()) {
                at = static_cast<size_t>(again - m_uploadQueue.begin());
            }
        }
    }
}

void PeerSet::NoteQueuedRequest(PeerConnection& connection) {
    const std::string id = connection.PeerId();
    if (std::find(m_uploadQueue.begin(), m_uploadQueue.end(), id) == m_uploadQueue.end()) {
        // Behind every peer ranked as well or better, so equal ranks are served in arrival order.
        const auto behind =
            std::find_if(m_uploadQueue.begin(), m_uploadQueue.end(), [&](const std::string& q) {
                const PeerConnection* other = FindPeer(q);
                return other && other->Rank() > connection.Rank();
            });
        m_uploadQueue.insert(behind, id);
    }
    ServiceTick();
}

bool PeerSet::DownloadLimitReached(PeerConnection& connection) {
    const int64_t limit = BytesPerSecond(MaxDownloadSpeed);
    if (limit == 0 || int64_t{m_downloadMeter.Update(0)} < limit) {
        return false;
    }
    const std::string& id = connection.PeerId();
    if (std::find(m_downloadWait.begin(), m_downloadWait.end(), id) == m_downloadWait.end()) {
        m_downloadWait.push_back(id);
    }
    return true;
}

// ---- timer ticks ----

void PeerSet::OnTimer(TimerKind kind) {
    switch (kind) {
    case kTimerUpload:
        ServiceTick();
        break;
    case kTimerChoke:
        ChokePass();
        break;
    case kTimerPrunePeers:
        CleanupTick();
        break;
    case kTimerConnectPeers:
        ReconnectTick();
        break;
    default:
        break;
    }
}

void PeerSet::ReconnectTick() {
    for (const std::string& id : PeerIds()) {
        if (PeerConnection* connection = FindPeer(id)) {
            ConnectPeer(*connection);
        }
    }
}

void PeerSet::CleanupTick() {
    // Dropping a peer changes nothing about the others, so one walk removes exactly the peers
    // that removing one and starting over would, without going back to the start each time.
    std::vector<std::unique_ptr<PeerConnection>> doomed;
    std::unordered_set<const PeerConnection*> gone;
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        const PeerConnection& connection = *it->second;
        if (!connection.IsConnected() && connection.ConnectFailures() >= kDropAfterFailures) {
            gone.insert(&connection);
            doomed.push_back(std::move(it->second));
            it = m_peers.erase(it);
        } else {
            ++it;
        }
    }
    if (doomed.empty()) {
        return;
    }
    std::erase_if(m_peerList, [&](const PeerConnection* c) { return gone.count(c) != 0; });
    doomed.clear();  // their destructors close their sockets
}

}  // namespace velbrook
