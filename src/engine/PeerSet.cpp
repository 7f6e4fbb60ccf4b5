#include "engine/PeerSet.h"

#include <arpa/inet.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <unordered_set>

#include "engine/BanList.h"
#include "net/Reactor.h"
#include "peer/Extended.h"
#include "peer/PeerConnection.h"
#include "peer/PeerId.h"
#include "peer/PeerSocket.h"
#include "peer/SocketRegistry.h"
#include "peer/Wire.h"

namespace velbrook {

namespace {

constexpr auto kServicePeriod = std::chrono::milliseconds(500);
constexpr auto kChokePeriod = std::chrono::seconds(10);
constexpr auto kCleanupPeriod = std::chrono::seconds(120);
constexpr auto kReconnectPeriod = std::chrono::seconds(40);

// Peers that failed to connect (or to complete the handshake) this often are forgotten once
// they are not connected.
constexpr uint32_t kDropAfterFailures = 2;

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

PeerSet::PeerSet(TorrentLink& torrent, BanList& bans, PeerHost& host, std::string infoHash,
                 const PeerLimits& limits, Random random)
    : m_torrent(torrent), m_bans(bans), m_host(host), m_infoHash(std::move(infoHash)),
      m_limits(limits), m_random(random ? std::move(random) : DefaultRandom()),
      m_clock(host.GetClock()), m_downloadMeter(m_clock), m_uploadMeter(m_clock),
      m_uploadLimiter(m_clock), m_downloadLimiter(m_clock), m_dialLimiter(m_clock),
      m_serviceTimer(m_clock.Every(kServicePeriod, [this] { ServiceTick(); })),
      m_chokeTimer(m_clock.Every(kChokePeriod, [this] { ChokePass(); })),
      m_cleanupTimer(m_clock.Every(kCleanupPeriod, [this] { CleanupTick(); })),
      m_reconnectTimer(m_clock.Every(kReconnectPeriod, [this] { ReconnectTick(); })) {
    m_dialLimiter.SetRate(kDialsPerSecond);
    ApplyRates();
}

PeerSet::~PeerSet() {
    m_wakeTimer.Stop();
    m_serviceTimer.Stop();
    m_chokeTimer.Stop();
    m_cleanupTimer.Stop();
    m_reconnectTimer.Stop();
    m_peerList.clear();
    m_uploadQueue.clear();
    m_downloadWait.clear();
    m_dialQueue.clear();
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

void PeerSet::SetLimits(const PeerLimits& limits) {
    m_limits = limits;
    ApplyRates();
    for (PeerConnection* connection : m_peerList) {
        connection->SetLogLimit(m_limits.logLines);
    }
}

void PeerSet::ApplyRates() {
    m_uploadLimiter.SetRate(m_limits.uploadBytesPerSecond);
    // Without a download limit the limiter is not asked; it keeps its bucket for the next limit.
    if (m_limits.downloadBytesPerSecond != 0) {
        m_downloadLimiter.SetRate(m_limits.downloadBytesPerSecond);
    }
}

PeerConnection* PeerSet::FindPeer(const std::string& peerId) const {
    const auto it = m_peers.find(peerId);
    return it == m_peers.end() ? nullptr : it->second.get();
}

// One byte that no 20-byte peer id can be confused with, then the address and port as sent in
// a compact answer.
std::string PeerSet::EndpointKey(const std::string& address, uint16_t port) {
    in_addr parsed{};
    std::string key(1, '\xFF');
    if (::inet_pton(AF_INET, address.c_str(), &parsed) == 1) {
        key.append(reinterpret_cast<const char*>(&parsed), 4);
    } else {
        key += address;
    }
    key += static_cast<char>(port >> 8);
    key += static_cast<char>(port & 0xFF);
    return key;
}

PeerConnection* PeerSet::FindByEndpoint(const std::string& address, uint16_t port) const {
    const std::string key = EndpointKey(address, port);
    const auto named = m_endpointIds.find(key);
    if (named != m_endpointIds.end()) {
        if (PeerConnection* connection = FindPeer(named->second)) {
            return connection;
        }
    }
    return FindPeer(key);
}

// Forgets the oldest peer that is neither connected nor being dialled and has failed to connect
// before, to make room for a new one.
bool PeerSet::MakeRoom() {
    for (PeerConnection* connection : m_peerList) {
        if (!connection->IsConnected() && !connection->Socket() &&
            connection->ConnectFailures() > 0) {
            return RemovePeer(*connection);
        }
    }
    return false;
}

PeerConnection* PeerSet::FindIdleAt(const std::string& address, uint16_t port) const {
    for (PeerConnection* connection : m_peerList) {
        const PeerSocket* socket = connection->Socket();
        if (connection->Port() == port && connection->Address() == address &&
            !connection->IsConnected() && (!socket || socket->State() == PeerSocketState::Closed)) {
            return connection;
        }
    }
    return nullptr;
}

PeerConnection* PeerSet::CreatePeer(const std::string& peerId, const std::string& address,
                                    uint16_t port, uint16_t listenPort) {
    // Replacing a known peer would destroy a connection that the peer list, a socket or a
    // running handler still points at; callers look the id up first.
    if (m_peers.count(peerId) != 0 || m_bans.IsBanned(address)) {
        return nullptr;
    }
    // A client that restarts comes back from where it was under a new id: it takes its old entry
    // over rather than leave one more peer behind that can never be reached again.
    PeerConnection* previous = peerId.size() == kPeerIdLength ? FindIdleAt(address, port) : nullptr;
    if (previous && Rekey(*previous, peerId)) {
        if (listenPort != 0) {
            previous->SetListenPort(listenPort);
        }
        m_torrent.PeersChanged();
        return previous;
    }
    if (m_peers.size() >= kMaxKnownPeers && !MakeRoom()) {
        return nullptr;
    }
    auto connection = std::make_unique<PeerConnection>(*this, m_torrent, m_host, peerId, address,
                                                       port, listenPort);
    connection->SetLogLimit(m_limits.logLines);
    PeerConnection* raw = connection.get();
    m_peers.emplace(peerId, std::move(connection));
    m_peerList.push_back(raw);
    m_torrent.PeersChanged();
    return raw;
}

bool PeerSet::MayDial(PeerConnection& connection) const {
    if (connection.IsConnected() || connection.IsBanned() ||
        m_bans.IsBanned(connection.Address())) {
        return false;
    }
    if (m_connectedCount >= m_limits.maxConnected) {
        return false;
    }
    // A socket still on its way (connecting, or waiting for the handshake) is left to finish;
    // the idle sweep ends one that hangs.
    const PeerSocket* old = connection.Socket();
    return !old || old->State() == PeerSocketState::Closed;
}

bool PeerSet::ConnectPeer(PeerConnection& connection) {
    if (!MayDial(connection)) {
        return false;
    }
    if (m_dialQueue.empty() && m_dialLimiter.Available()) {
        m_dialLimiter.Consume(1);
        Dial(connection);
        return true;
    }
    // Everyone else waits for the service tick, in the order they came.
    if (m_dialQueued.insert(connection.PeerId()).second) {
        m_dialQueue.push_back(connection.PeerId());
    }
    return true;
}

void PeerSet::DialQueued() {
    while (!m_dialQueue.empty() && m_dialLimiter.Available()) {
        const std::string id = m_dialQueue.front();
        m_dialQueue.pop_front();
        m_dialQueued.erase(id);
        PeerConnection* connection = FindPeer(id);
        if (connection && MayDial(*connection)) {
            m_dialLimiter.Consume(1);
            Dial(*connection);
        }
    }
}

void PeerSet::Dial(PeerConnection& connection) {
    // The connection is reset exactly once: by its own socket's close when that socket still
    // belongs to it, by hand otherwise.
    bool reset = false;
    if (PeerSocket* old = connection.Socket()) {
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
    // The host's registry owns the socket; an immediate failure has told the connection.
    SocketRegistry& registry = m_host.Registry();
    registry.Create(m_host).Connect(connection, m_infoHash, registry.Proxy());
}

bool PeerSet::RemovePeer(PeerConnection& connection) {
    const auto listed = std::find(m_peerList.begin(), m_peerList.end(), &connection);
    if (listed == m_peerList.end()) {
        return false;
    }
    m_peerList.erase(listed);
    const auto named =
        m_endpointIds.find(EndpointKey(connection.Address(), connection.ListenPort()));
    if (named != m_endpointIds.end() && named->second == connection.PeerId()) {
        m_endpointIds.erase(named);
    }
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
    m_torrent.PeersChanged();
    return true;
}

void PeerSet::ReplaceQueuedId(const std::string& from, const std::string& to) {
    for (std::deque<std::string>* queue : {&m_uploadQueue, &m_downloadWait, &m_dialQueue}) {
        std::replace(queue->begin(), queue->end(), from, to);
    }
    if (m_dialQueued.erase(from) != 0) {
        m_dialQueued.insert(to);
    }
}

bool PeerSet::Rekey(PeerConnection& connection, const std::string& peerId) {
    const std::string old = connection.PeerId();
    auto node = m_peers.extract(old);
    if (node.empty() || node.mapped().get() != &connection || m_peers.count(peerId) != 0) {
        if (!node.empty()) {
            m_peers.insert(std::move(node));
        }
        return false;
    }
    node.key() = peerId;
    m_peers.insert(std::move(node));
    connection.SetPeerId(peerId);
    ReplaceQueuedId(old, peerId);
    // A compact tracker answer still names the peer by where it listens.
    for (auto& entry : m_endpointIds) {
        if (entry.second == old) {
            entry.second = peerId;
        }
    }
    if (old.size() != kPeerIdLength) {
        m_endpointIds[old] = peerId;
    }
    return true;
}

// By address: a peer that only takes a new id would otherwise be asked for the same pieces again.
void PeerSet::BanPeer(PeerConnection& offender) {
    const std::string address = offender.Address();
    m_bans.Ban(address);
    // Called from inside a handler of one of the peers that go: they are removed once it is done.
    Reactor::Get().Post([this, address, alive = m_liveness.Watch()] {
        if (!alive.Alive()) {
            return;
        }
        std::vector<PeerConnection*> doomed;
        std::copy_if(m_peerList.begin(), m_peerList.end(), std::back_inserter(doomed),
                     [&](const PeerConnection* c) { return c->Address() == address; });
        for (PeerConnection* connection : doomed) {
            RemovePeer(*connection);
        }
    });
}

uint32_t PeerSet::CountHashFailure(const PeerConnection& connection) {
    return m_bans.CountFailure(connection.Address());
}

PeerConnection* PeerSet::AdmitPeer(PeerSocket& socket, const std::string& peerId) {
    PeerConnection* dialled = socket.Connection();
    // A dialled peer is where we dialled it: through a proxy the socket sees only the proxy.
    if (m_bans.IsBanned(dialled ? dialled->Address() : socket.RemoteAddress())) {
        return nullptr;
    }
    PeerConnection* found = FindPeer(peerId);
    if (dialled && dialled != found) {
        // The peer we dialled answers under another id: we learnt its address without one, or
        // it restarted and chose a new one. Either way it is one peer, not two.
        if (!found) {
            if (!Rekey(*dialled, peerId)) {
                return nullptr;
            }
            found = dialled;
        } else {
            // Known already under that id (it connected in, or a peer exchange named it): that
            // connection takes this socket and learns the address; the dialled one goes.
            dialled->DetachSocket();
            socket.Unbind();
            MergePeer(*dialled, *found);
        }
    }
    if (found) {
        if (found->IsBanned()) {
            return nullptr;
        }
        PeerSocket* other = found->Socket();
        if (found->IsConnected()) {
            // Both ends dialled each other at once (two peers that learnt of each other from a
            // third): each end keeps the connection begun by the peer with the larger id, so
            // both keep the same one. Refusing the later one on both ends would lose both.
            // Anyone else claiming a connected peer's id is refused.
            const bool ours = !socket.IsIncoming();
            const bool keepOurs = m_host.OwnPeerId() > peerId;
            if (!other || other == &socket || ours == !other->IsIncoming() || ours != keepOurs ||
                socket.RemoteAddress() != found->Address()) {
                return nullptr;
            }
        }
        if (other && other != &socket) {
            other->Close(true);
        }
    } else {
        found = CreatePeer(peerId, socket.RemoteAddress(), socket.RemotePort(), 0);
        if (!found) {
            return nullptr;
        }
    }
    // Only a peer that connected in is known by where its connection came from; a dialled one
    // keeps the address we dialled, which through a proxy is not the socket's far end.
    if (socket.IsIncoming() && !socket.RemoteAddress().empty()) {
        found->SetRemote(socket.RemoteAddress(), socket.RemotePort());
    }
    return found;
}

void PeerSet::MergePeer(PeerConnection& dialled, PeerConnection& known) {
    if (&dialled == &known) {
        return;
    }
    if (known.ListenPort() == 0) {
        known.SetListenPort(dialled.ListenPort());
    }
    if (!known.IsConnected()) {
        known.SetRemote(dialled.Address(), dialled.Port());
    }
    const std::string key = dialled.PeerId();
    RemovePeer(dialled);
    m_endpointIds[key] = known.PeerId();
}

// By id, looked up again for each: what one connection does may remove another.
template <typename Action>
void PeerSet::ForEachConnected(Action action) {
    for (const std::string& id : PeerIds()) {
        PeerConnection* connection = FindPeer(id);
        if (connection && connection->IsConnected()) {
            action(*connection);
        }
    }
}

void PeerSet::CancelElsewhere(const BlockRequest& block, const PeerConnection& from) {
    ForEachConnected([&](PeerConnection& connection) {
        if (&connection != &from) {
            connection.CancelRequest(block);
        }
    });
}

std::string PeerSet::PeerExchangeEntries() const {
    std::vector<PeerExchangeEntry> entries;
    for (const PeerConnection* peer : m_peerList) {
        if (peer->IsConnected() && peer->HasKnownId()) {
            entries.push_back({peer->PeerId(), peer->Address(), peer->ListenPort()});
        }
    }
    return BuildPeerExchange(entries);
}

std::vector<PexPeer> PeerSet::ExchangePeers() const {
    std::vector<PexPeer> peers;
    for (const PeerConnection* peer : m_peerList) {
        // A peer that connected to us is named only once it told us where it listens.
        const uint16_t port = peer->IsIncoming() ? peer->ListenPort() : peer->Port();
        if (!peer->IsConnected() || port == 0) {
            continue;
        }
        // Reachable: we got through to it ourselves.
        const uint8_t flags = static_cast<uint8_t>((peer->IsSeed() ? kPexSeed : 0) |
                                                   (peer->IsIncoming() ? 0 : kPexReachable));
        peers.push_back({peer->Address(), port, flags});
    }
    return peers;
}

// As a compact tracker answer's peers are learnt: by where they listen, until they answer.
PeerConnection* PeerSet::LearnPeer(const std::string& address, uint16_t port) {
    if (PeerConnection* known = FindByEndpoint(address, port)) {
        return known;
    }
    // Also a peer known by its id, dialled there or telling us it listens there.
    for (PeerConnection* peer : m_peerList) {
        if (peer->Address() == address && (peer->Port() == port || peer->ListenPort() == port)) {
            return peer;
        }
    }
    return CreatePeer(EndpointKey(address, port), address, port, port);
}

void PeerSet::AdjustConnectedCount(int delta) {
    m_connectedCount += delta;
    m_torrent.PeersChanged();
}

void PeerSet::AdjustSeedCount(int delta) {
    m_seedCount += delta;
    m_torrent.PeersChanged();
}

void PeerSet::BroadcastHave(uint32_t piece) {
    ForEachConnected([piece](PeerConnection& connection) {
        connection.SendHave(piece);
        connection.UpdateInterest(true);
    });
}

void PeerSet::ReconsiderInterest() {
    ForEachConnected([](PeerConnection& connection) {
        connection.UpdateInterest(true);
        connection.FillRequests();
    });
}

void PeerSet::Resume() {
    ForEachConnected([this](PeerConnection& connection) {
        if (!connection.IsPeerChoking()) {
            connection.FillRequests();
        }
        if (MayUpload(connection)) {
            m_uploadLimiter.Consume(connection.ServeOneRequest());
        }
    });
}

// ---- choking and rate control ----

void PeerSet::ChokePass() {
    const uint64_t ratio = m_limits.upDownRatio;
    const uint64_t floor = m_limits.minUploadBytesPerSecond;
    // Nobody pays a seeder back, so reciprocation means nothing to it: it shares its upload
    // limit among the peers it unchokes, and ranks them by how fast they take data.
    const bool seeding = m_torrent.IsComplete();

    std::vector<Ranked> wanted;  // peers we want data from (seeding: peers that want ours)
    std::vector<Ranked> served;  // peers that only we can serve
    for (const std::string& id : PeerIds()) {
        PeerConnection* connection = FindPeer(id);
        if (!connection || !connection->IsConnected()) {
            continue;
        }
        if (seeding) {
            connection->SetUploadAllowance(UINT32_MAX);
            const uint32_t rate = connection->UploadMeter().Update(0);
            if (!connection->IsUploadCandidate()) {
                connection->SendChoke();
            } else if (connection->IsPeerInterested()) {
                wanted.push_back({id, rate});
            } else {
                served.push_back({id, rate});
            }
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

    const int32_t slots = m_limits.uploadSlots;
    int32_t used = 0;
    // A peer that chokes us is unchoked for free: it cannot give us anything for the slot yet.
    // A seeder's peers all choke it, so there every unchoke takes a slot.
    const auto grant = [&](const std::string& id) {
        PeerConnection* connection = FindPeer(id);
        if (!connection) {
            return;
        }
        if (connection->IsAmChoking()) {
            connection->SendUnchoke();
        }
        if (seeding || !connection->IsPeerChoking()) {
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

void PeerSet::WakeWhenAvailable(RateLimiter& limiter) {
    const int64_t wait = limiter.MillisecondsUntilAvailable();
    if (m_wakeTimer.IsActive() || wait < 0) {
        return;
    }
    // Never sooner than a few milliseconds: a burst of tiny waits would only spin the loop.
    const auto delay = std::chrono::milliseconds(std::clamp<int64_t>(wait, 5, 500));
    m_wakeTimer = m_clock.After(delay, [this] { ServiceTick(); });
}

void PeerSet::ServiceTick() {
    if (m_limits.downloadBytesPerSecond != 0) {
        // Only the peers waiting now: one refused again goes to the back and waits for the next
        // tick. Taking the entry off first is what lets a renewed refusal queue it again.
        for (size_t left = m_downloadWait.size(); left > 0 && !m_downloadWait.empty(); --left) {
            if (!m_downloadLimiter.Available()) {
                break;
            }
            const std::string id = m_downloadWait.front();
            m_downloadWait.pop_front();
            if (PeerConnection* connection = FindPeer(id)) {
                connection->FillRequests();
            }
        }
    }
    DialQueued();
    ServeUploads();
    ForEachConnected([](PeerConnection& connection) { connection.ExtensionTick(); });
    // A peer that went quiet, or choked us without rejecting what we asked, sends no slice that
    // would make its connection give up requests it will not answer.
    ForEachConnected([](PeerConnection& connection) { connection.CheckRequests(); });
}

// A peer may be served now: its socket has room, and while we still download, it keeps within
// the allowance that what it gives us earns it.
bool PeerSet::MayUpload(PeerConnection& connection) const {
    if (!connection.CanServe()) {
        return false;
    }
    return m_torrent.IsComplete() ||
           connection.UploadMeter().Update(0) < connection.UploadAllowance();
}

// One request per peer and round, in rank order, so that the peers share what the limit allows;
// a peer whose socket is full waits for it to drain.
void PeerSet::ServeUploads() {
    bool served = true;
    while (served) {
        served = false;
        for (size_t at = 0; at < m_uploadQueue.size();) {
            if (!m_uploadLimiter.Available()) {
                WakeWhenAvailable(m_uploadLimiter);
                return;
            }
            PeerConnection* connection = FindPeer(m_uploadQueue[at]);
            if (!connection || connection->PeerRequests().empty()) {
                m_uploadQueue.erase(m_uploadQueue.begin() + static_cast<std::ptrdiff_t>(at));
                continue;
            }
            if (MayUpload(*connection)) {
                m_uploadLimiter.Consume(connection->ServeOneRequest());
                served = true;
            }
            ++at;
        }
    }
}

void PeerSet::ServePeer(PeerConnection& connection) {
    while (MayUpload(connection)) {
        if (!m_uploadLimiter.Available()) {
            WakeWhenAvailable(m_uploadLimiter);
            return;
        }
        m_uploadLimiter.Consume(connection.ServeOneRequest());
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
    // A peer that sends hundreds of requests at once is served as far as its socket takes them
    // now; the rest goes out as the socket drains or at the next tick.
    ServePeer(connection);
}

bool PeerSet::DownloadLimitReached(PeerConnection& connection) {
    if (m_limits.downloadBytesPerSecond == 0) {
        return false;
    }
    if (m_downloadLimiter.Available()) {
        m_downloadLimiter.Consume(kSliceSize);  // what the request about to go out brings in
        return false;
    }
    const std::string& id = connection.PeerId();
    if (std::find(m_downloadWait.begin(), m_downloadWait.end(), id) == m_downloadWait.end()) {
        m_downloadWait.push_back(id);
    }
    WakeWhenAvailable(m_downloadLimiter);
    return true;
}

// ---- timer ticks ----

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
        if (!connection.IsConnected() && (connection.ConnectFailures() >= kDropAfterFailures ||
                                          m_bans.IsBanned(connection.Address()))) {
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
    std::erase_if(m_endpointIds,
                  [&](const auto& entry) { return m_peers.count(entry.second) == 0; });
    doomed.clear();  // their destructors close their sockets
    m_torrent.PeersChanged();
}

}  // namespace velbrook
