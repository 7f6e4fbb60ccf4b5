#include "dht/DhtNode.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

#include "dht/NodeId.h"

namespace velbrook {

namespace {

// Room for any datagram, so that one too large is seen as such instead of cut.
constexpr size_t kReceiveBuffer = 2048;
constexpr int kSocketBuffer = 1 << 20;
constexpr int kMaxReadsPerWakeup = 64;

bool TakeToken(double& tokens, Time& last, double perSecond, Time now) {
    const double elapsed = std::chrono::duration<double>(now - last).count();
    tokens = std::min(perSecond, tokens + std::max(0.0, elapsed) * perSecond);
    last = now;
    if (tokens < 1) {
        return false;
    }
    tokens -= 1;
    return true;
}

bool SplitHostPort(const std::string& entry, std::string& host, uint16_t& port) {
    const size_t colon = entry.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= entry.size()) {
        return false;
    }
    host = entry.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    unsigned value = 0;
    for (const char c : entry.substr(colon + 1)) {
        if (c < '0' || c > '9' || (value = value * 10 + static_cast<unsigned>(c - '0')) > 65535) {
            return false;
        }
    }
    port = static_cast<uint16_t>(value);
    return port != 0;
}

}  // namespace

class DhtNode::SearchHandle : public DhtSearch {
public:
    SearchHandle(DhtNode& node, uint64_t search)
        : m_node(node), m_search(search), m_alive(node.m_liveness.Watch()) {}
    ~SearchHandle() override {
        if (m_alive.Alive()) {
            m_node.CancelSearch(m_search);
        }
    }

private:
    DhtNode& m_node;
    uint64_t m_search;
    Liveness::Token m_alive;
};

DhtNode::DhtNode(Clock& clock, DhtOptions options, std::function<void(const std::string&)> trace)
    : m_clock(clock), m_options(std::move(options)), m_trace(std::move(trace)), m_tokens(clock),
      // Transaction ids start anywhere, so that answers cannot be forged from a guess.
      m_nextTransaction(static_cast<uint16_t>(std::random_device{}())) {}

DhtNode::~DhtNode() {
    for (const uint64_t resolve : m_resolves) {
        Reactor::Get().CancelResolve(resolve);
    }
}

void DhtNode::Trace(const std::string& line) const {
    if (m_trace) {
        m_trace("DHT: " + line);
    }
}

DhtNode::Family* DhtNode::FamilyOf(int family) {
    Family& f = family == AF_INET6 ? m_v6 : m_v4;
    return f.table ? &f : nullptr;
}

const DhtNode::Family* DhtNode::FamilyOf(int family) const {
    const Family& f = family == AF_INET6 ? m_v6 : m_v4;
    return f.table ? &f : nullptr;
}

bool DhtNode::HasTable(int family) const {
    return FamilyOf(family) != nullptr;
}

bool DhtNode::Start(std::string& why) {
    if (m_started) {
        return true;
    }
    LoadState();
    if (!m_v4.socket.Open(AF_INET, [this] { OnReadable(AF_INET); }) ||
        !m_v4.socket.Bind(m_options.port)) {
        why = "DHT: cannot listen on UDP port " + std::to_string(m_options.port) + ": " +
              std::strerror(m_v4.socket.LastError());
        m_v4.socket.Close();
        return false;
    }
    SocketAddress local;
    if (!m_v4.socket.GetSockName(local)) {
        why = "DHT: the UDP socket has no port";
        m_v4.socket.Close();
        return false;
    }
    m_port = local.Port();
    m_v4.socket.SetReceiveBuffer(kSocketBuffer);
    m_v4.table = std::make_unique<RoutingTable>(m_id);
    const bool wantV6 =
        m_options.ipv6 && (m_options.ipv6WithoutGlobalAddress || !HostGlobalIPv6().empty());
    if (wantV6) {
        if (m_v6.socket.Open(AF_INET6, [this] { OnReadable(AF_INET6); }) &&
            m_v6.socket.Bind(m_port)) {
            m_v6.socket.SetReceiveBuffer(kSocketBuffer);
            m_v6.table = std::make_unique<RoutingTable>(m_id);
        } else {
            // IPv4 alone still finds peers.
            Trace(std::string("no IPv6 table: ") + std::strerror(m_v6.socket.LastError()));
            m_v6.socket.Close();
        }
    }
    m_buffer.resize(kReceiveBuffer);
    const Time now = m_clock.Now();
    m_outbound = Rate{kQueriesPerSecond, now};
    m_inbound = Rate{kAnswersPerSecond, now};
    m_started = true;
    m_tick = m_clock.Every(kTick, [this] { Tick(); });
    m_maintenance = m_clock.Every(kMaintenance, [this] { Maintain(); });
    m_save = m_clock.Every(kSaveEvery, [this] {
        std::string failure;
        if (!SaveState(failure)) {
            Trace(failure);
        }
    });
    Trace("listening on UDP port " + std::to_string(m_port));
    Bootstrap();
    return true;
}

void DhtNode::Stop() {
    if (!m_started) {
        return;
    }
    std::string why;
    if (!SaveState(why)) {
        Trace(why);
    }
    m_started = false;
    m_tick.Stop();
    m_maintenance.Stop();
    m_rejoin.Stop();
    m_save.Stop();
    for (const uint64_t resolve : m_resolves) {
        Reactor::Get().CancelResolve(resolve);
    }
    m_resolves.clear();
    m_lookups.clear();
    m_searches.clear();
    m_waiting.clear();
    m_unjoined.clear();
    m_pending.clear();
    m_queue.clear();
    m_v4.socket.Close();
    m_v6.socket.Close();
    m_v4.table.reset();
    m_v6.table.reset();
}

void DhtNode::LoadState() {
    m_saved = DhtState{};
    std::string why;
    if (!m_options.statePath.empty() && !ReadDhtState(m_options.statePath, m_saved, why)) {
        Trace(why);
    }
    if (m_id.empty()) {
        m_id = m_saved.id.size() == kNodeIdSize ? m_saved.id : RandomNodeId();
    }
    m_loaded = m_saved;
}

bool DhtNode::SaveState(std::string& why) {
    if (m_options.statePath.empty()) {
        return true;
    }
    DhtState state;
    state.id = m_id;
    const Time now = m_clock.Now();
    // A family we have no good node of (stopped before anyone answered, or no IPv6 this time)
    // keeps the nodes it had: an empty list would leave only the routers for next time.
    state.nodes = m_v4.table ? m_v4.table->GoodNodes(kSavedNodes, now) : state.nodes;
    state.nodes6 = m_v6.table ? m_v6.table->GoodNodes(kSavedNodes, now) : state.nodes6;
    if (state.nodes.empty()) {
        state.nodes = m_loaded.nodes;
    }
    if (state.nodes6.empty()) {
        state.nodes6 = m_loaded.nodes6;
    }
    return WriteDhtState(m_options.statePath, state, why);
}

size_t DhtNode::NodeCount() const {
    const Time now = m_clock.Now();
    size_t count = 0;
    for (const Family* f : {FamilyOf(AF_INET), FamilyOf(AF_INET6)}) {
        count += f ? f->table->LiveCount(now) : 0;
    }
    return count;
}

size_t DhtNode::GoodNodeCount() const {
    const Time now = m_clock.Now();
    size_t count = 0;
    for (const Family* f : {FamilyOf(AF_INET), FamilyOf(AF_INET6)}) {
        count += f ? f->table->GoodCount(now) : 0;
    }
    return count;
}

DhtNode::Sizes DhtNode::GetSizes() const {
    Sizes sizes;
    for (const Family* f : {FamilyOf(AF_INET), FamilyOf(AF_INET6)}) {
        if (f) {
            sizes.nodes += f->table->NodeCount() + f->table->ReplacementCount();
        }
    }
    sizes.transactions = m_pending.size();
    sizes.lookups = m_lookups.size();
    sizes.searches = m_searches.size();
    sizes.storedPeers = m_store.PeerCount();
    sizes.storedHashes = m_store.HashCount();
    sizes.bans = m_strikes.size();
    sizes.rateSources = m_sources.size();
    size_t seen = 0;
    for (const auto& [id, search] : m_searches) {
        seen += search.seen.size();
    }
    // Per entry: the object, its container node and the strings it owns, roughly.
    sizes.bytes = sizes.nodes * 200 + sizes.transactions * 400 + m_queue.size() * 40 +
                  sizes.lookups * (sizeof(Lookup) + DhtLookup::kMaxCandidates * 220) +
                  sizes.searches * 300 + seen * 100 + m_store.BytesHeld() + sizes.bans * 120 +
                  sizes.rateSources * 120 + m_buffer.capacity();
    return sizes;
}

// ---- datagrams in ----

void DhtNode::OnReadable(int family) {
    Family* f = FamilyOf(family);
    for (int i = 0; f && i < kMaxReadsPerWakeup && f->socket.IsOpen(); ++i) {
        SocketAddress from;
        const ssize_t size = f->socket.ReceiveFrom(m_buffer.data(), m_buffer.size(), from);
        if (size < 0) {
            if (f->socket.LastError() == EAGAIN || f->socket.LastError() == EWOULDBLOCK) {
                return;
            }
            continue;  // an ICMP error taken off the socket; datagrams may follow
        }
        HandleDatagram(family, from,
                       std::string_view(m_buffer.data(),
                                        std::min(static_cast<size_t>(size), m_buffer.size())));
        f = FamilyOf(family);  // a report may have stopped the node
    }
}

bool DhtNode::Banned(const std::string& source, Time now) {
    const auto it = m_strikes.find(source);
    return it != m_strikes.end() && it->second.bannedUntil > now;
}

void DhtNode::Strike(const std::string& source, Time now) {
    auto it = m_strikes.find(source);
    if (it == m_strikes.end()) {
        if (m_strikes.size() >= kMaxBans) {
            // Forget whoever is not banned now; when all are, the new source goes unrecorded.
            std::erase_if(m_strikes,
                          [now](const auto& entry) { return entry.second.bannedUntil <= now; });
            if (m_strikes.size() >= kMaxBans) {
                return;
            }
        }
        it = m_strikes.emplace(source, Strikes{0, now, {}}).first;
    }
    Strikes& strikes = it->second;
    if (now - strikes.since > std::chrono::minutes(1)) {
        strikes.count = 0;
        strikes.since = now;
    }
    if (++strikes.count >= kGarbageStrikes) {
        strikes.bannedUntil = now + kBanTime;
        strikes.count = 0;
        Trace("ignoring " + source + " for sending garbage");
    }
}

void DhtNode::HandleDatagram(int family, const SocketAddress& from, std::string_view datagram) {
    const Time now = m_clock.Now();
    const std::string source = from.AddressText();
    if (Banned(source, now)) {
        ++m_counters.ignored;
        return;
    }
    if (datagram.size() > kMaxKrpcDatagram) {
        // Too large to read, yet not garbage: a full answer of IPv6 peers can be this long.
        ++m_counters.oversized;
        return;
    }
    KrpcMessage message;
    std::string why;
    if (!DecodeKrpc(datagram, message, why)) {
        ++m_counters.garbage;
        Strike(source, now);
        return;
    }
    if (message.kind == KrpcKind::Query) {
        HandleQuery(family, from, message);
    } else {
        HandleReply(from, message);
    }
}

bool DhtNode::Admit(const std::string& source, Time now) {
    auto it = m_sources.find(source);
    if (it == m_sources.end()) {
        if (m_sources.size() >= kMaxRateSources) {
            // Sources whose allowance has refilled are no different from new ones.
            std::erase_if(m_sources, [now](const auto& entry) {
                return now - entry.second.last >= std::chrono::seconds(1);
            });
            if (m_sources.size() >= kMaxRateSources) {
                return false;
            }
        }
        it = m_sources.emplace(source, Rate{kAnswersPerSourcePerSecond, now}).first;
    }
    // The source's share first, so one flooding address cannot spend everyone's allowance.
    if (!TakeToken(it->second.tokens, it->second.last, kAnswersPerSourcePerSecond, now)) {
        return false;
    }
    return TakeToken(m_inbound.tokens, m_inbound.last, kAnswersPerSecond, now);
}

void DhtNode::HandleQuery(int family, const SocketAddress& from, const KrpcMessage& query) {
    Family* f = FamilyOf(family);
    const Time now = m_clock.Now();
    if (!f || !Admit(from.AddressText(), now)) {
        ++m_counters.limited;
        return;
    }
    ++m_counters.answered;
    if (f->table->Contains(query.id)) {
        f->table->Heard(query.id, from, now);
    } else if (m_pending.size() < kMaxTransactions / 4 && query.id != m_id) {
        // Only a node that answers us joins the table.
        Ping(family, from, query.id);
    }
    std::string answer;
    if (query.method == KrpcMethod::Unknown) {
        answer = EncodeError(query.transaction, 204, "Method Unknown");
    } else if (query.method == KrpcMethod::AnnouncePeer) {
        const uint16_t port = query.impliedPort ? from.Port() : static_cast<uint16_t>(query.port);
        if (!m_tokens.Accepts(query.token, from.AddressText())) {
            answer = EncodeError(query.transaction, 203, "Bad token");
        } else if (port == 0) {
            answer = EncodeError(query.transaction, 203, "Bad port");
        } else {
            SocketAddress peer = from;
            if (peer.Family() == AF_INET) {
                reinterpret_cast<sockaddr_in*>(&peer.storage)->sin_port = htons(port);
            } else {
                reinterpret_cast<sockaddr_in6*>(&peer.storage)->sin6_port = htons(port);
            }
            m_store.Add(query.infoHash, peer, now);
            KrpcResponse response;
            response.transaction = query.transaction;
            response.id = m_id;
            answer = EncodeResponse(response);
        }
    } else {
        KrpcResponse response;
        response.transaction = query.transaction;
        response.id = m_id;
        if (query.method != KrpcMethod::Ping) {
            const std::string& target =
                query.method == KrpcMethod::FindNode ? query.target : query.infoHash;
            const bool asked = query.wantsV4 || query.wantsV6;
            const bool v4 = asked ? query.wantsV4 : family == AF_INET;
            const bool v6 = asked ? query.wantsV6 : family == AF_INET6;
            if (const Family* f4 = FamilyOf(AF_INET); v4 && f4) {
                response.hasNodes = true;
                response.nodes = f4->table->Closest(target, RoutingTable::kBucketSize, now);
            }
            if (const Family* f6 = FamilyOf(AF_INET6); v6 && f6) {
                response.hasNodes6 = true;
                response.nodes6 = f6->table->Closest(target, RoutingTable::kBucketSize, now);
            }
        }
        if (query.method == KrpcMethod::GetPeers) {
            response.token = m_tokens.Make(from.AddressText());
            response.values = m_store.Get(query.infoHash, family, now);
        }
        answer = EncodeResponse(response);
    }
    // Answers are not paced: the inbound limits bound them.
    if (!f->socket.SendTo(from, answer)) {
        Trace("answer to " + from.Text() + " not sent: " + std::strerror(f->socket.LastError()));
    }
}

void DhtNode::Heard(int family, const std::string& id, const SocketAddress& from) {
    Family* f = FamilyOf(family);
    if (!f) {
        return;
    }
    const std::optional<RoutingTable::Node> ask = f->table->Heard(id, from, m_clock.Now());
    if (ask) {
        Ping(family, ask->address, ask->id);
    }
    if (!m_unjoined.empty() && NodeCount() > 0) {
        Reactor::Get().Post([this, alive = m_liveness.Watch()] {
            while (alive.Alive() && !m_unjoined.empty()) {
                const uint64_t search = m_unjoined.front();
                m_unjoined.pop_front();
                StartSearch(search);
            }
        });
    }
}

void DhtNode::HandleReply(const SocketAddress& from, const KrpcMessage& reply) {
    const auto found = m_pending.find(reply.transaction);
    if (found == m_pending.end() || !found->second.sent || !(found->second.to == from)) {
        return;  // not ours, late, or someone guessing our transaction ids
    }
    const Pending pending = std::move(found->second);
    m_pending.erase(found);
    if (reply.kind == KrpcKind::Error) {
        if (pending.lookup) {
            if (const auto it = m_lookups.find(pending.lookup); it != m_lookups.end()) {
                it->second->state.Failed(from);
                Advance(pending.lookup);
            }
        }
        return;
    }
    if (Family* f = FamilyOf(pending.family);
        f && !pending.expectedId.empty() && pending.expectedId != reply.id) {
        // The address answers under another id now: the node we knew there is gone.
        f->table->Failed(pending.expectedId, m_clock.Now());
    }
    Heard(pending.family, reply.id, from);
    if (!pending.lookup) {
        return;
    }
    const auto it = m_lookups.find(pending.lookup);
    if (it == m_lookups.end()) {
        return;
    }
    Lookup& lookup = *it->second;
    lookup.state.Answered(from, reply.id, reply.token);
    for (const DhtNodeEntry& node : lookup.family == AF_INET6 ? reply.nodes6 : reply.nodes) {
        lookup.state.Add(node);
    }
    const uint64_t id = lookup.id;
    if (lookup.search && !reply.values.empty()) {
        Report(lookup.search, reply.values);
    }
    Advance(id);
}

// ---- queries out ----

bool DhtNode::SendQuery(int family, const SocketAddress& to, const std::string& expectedId,
                        KrpcQuery query, uint64_t lookup) {
    if (!FamilyOf(family) || to.Family() != family || m_pending.size() >= kMaxTransactions) {
        return false;
    }
    std::string transaction;
    for (int tries = 0; tries < 8; ++tries) {
        const uint16_t number = m_nextTransaction++;
        transaction = std::string{static_cast<char>(number >> 8), static_cast<char>(number & 0xFF)};
        if (!m_pending.count(transaction)) {
            break;
        }
    }
    if (m_pending.count(transaction)) {
        return false;
    }
    query.transaction = transaction;
    query.id = m_id;
    Pending pending;
    pending.family = family;
    pending.to = to;
    pending.expectedId = expectedId;
    pending.method = query.method;
    pending.lookup = lookup;
    pending.datagram = EncodeQuery(query);
    m_pending.emplace(transaction, std::move(pending));
    m_queue.push_back(transaction);
    // Sent at once while the pace allows; the tick sends the rest.
    Flush();
    return true;
}

void DhtNode::Ping(int family, const SocketAddress& to, const std::string& expectedId) {
    KrpcQuery query;
    query.method = KrpcMethod::Ping;
    if (!SendQuery(family, to, expectedId, query, 0)) {
        if (Family* f = FamilyOf(family); f && !expectedId.empty()) {
            f->table->Failed(expectedId, m_clock.Now());
        }
    }
}

void DhtNode::Tick() {
    Flush();
    const Time now = m_clock.Now();
    std::vector<std::string> expired;
    for (const auto& [transaction, pending] : m_pending) {
        if (pending.sent && pending.deadline <= now) {
            expired.push_back(transaction);
        }
    }
    for (const std::string& transaction : expired) {
        const auto it = m_pending.find(transaction);
        if (it == m_pending.end()) {
            continue;
        }
        const Pending pending = std::move(it->second);
        m_pending.erase(it);
        Expired(pending);
    }
}

void DhtNode::Flush() {
    const Time now = m_clock.Now();
    while (!m_queue.empty()) {
        const auto it = m_pending.find(m_queue.front());
        if (it == m_pending.end() || it->second.sent) {
            m_queue.pop_front();
            continue;
        }
        if (!TakeToken(m_outbound.tokens, m_outbound.last, kQueriesPerSecond, now)) {
            break;
        }
        m_queue.pop_front();
        Pending& pending = it->second;
        Family* f = FamilyOf(pending.family);
        pending.sent = true;
        pending.deadline = now + kQueryTimeout;
        if (f && f->socket.SendTo(pending.to, pending.datagram)) {
            ++m_counters.sent;
        } else {
            // Unsent counts as unanswered; the timeout below reports it.
            pending.deadline = now;
        }
        std::string().swap(pending.datagram);
    }
}

void DhtNode::Expired(const Pending& pending) {
    if (Family* f = FamilyOf(pending.family); f && !pending.expectedId.empty()) {
        f->table->Failed(pending.expectedId, m_clock.Now());
    }
    if (pending.lookup) {
        if (const auto it = m_lookups.find(pending.lookup); it != m_lookups.end()) {
            it->second->state.Failed(pending.to);
            Advance(pending.lookup);
        }
    }
}

void DhtNode::Maintain() {
    const Time now = m_clock.Now();
    m_store.Expire(now);
    std::erase_if(m_strikes, [now](const auto& entry) {
        return entry.second.bannedUntil <= now &&
               now - entry.second.since > std::chrono::minutes(1);
    });
    std::erase_if(m_sources, [now](const auto& entry) {
        return now - entry.second.last >= std::chrono::seconds(1);
    });
    if (NodeCount() == 0) {
        m_healthy = false;  // everyone left, or the network was away: join again
    }
    if (!m_healthy && !m_rejoin.IsActive() && !BootstrapRunning()) {
        Bootstrap();
    }
    for (Family* f : {FamilyOf(AF_INET), FamilyOf(AF_INET6)}) {
        if (!f) {
            continue;
        }
        const int family = f == &m_v6 ? AF_INET6 : AF_INET;
        for (const int bits : f->table->TakeStaleBuckets(now)) {
            if (m_lookups.size() >= kMaxLookups / 2) {
                break;
            }
            StartLookup(family, KrpcMethod::FindNode, RandomIdWithPrefix(m_id, bits), 0, false);
        }
    }
}

// ---- lookups ----

uint64_t DhtNode::StartLookup(int family, KrpcMethod method, const std::string& target,
                              uint64_t search, bool bootstrap) {
    Family* f = FamilyOf(family);
    if (!f || m_lookups.size() >= kMaxLookups) {
        return 0;
    }
    const uint64_t id = m_nextId++;
    auto lookup = std::make_unique<Lookup>(
        Lookup{id, family, method, DhtLookup(target, m_id), search, bootstrap});
    for (const DhtNodeEntry& node :
         f->table->Closest(target, DhtLookup::kClosest * 2, m_clock.Now())) {
        lookup->state.Add(node);
    }
    if (bootstrap) {
        for (const DhtNodeEntry& node : family == AF_INET6 ? m_saved.nodes6 : m_saved.nodes) {
            lookup->state.Add(node);
        }
    }
    m_lookups.emplace(id, std::move(lookup));
    return id;
}

void DhtNode::Advance(uint64_t id) {
    for (;;) {
        const auto it = m_lookups.find(id);
        if (it == m_lookups.end()) {
            return;
        }
        Lookup& lookup = *it->second;
        const std::vector<DhtLookup::Candidate> next = lookup.state.TakeNext();
        if (next.empty()) {
            break;
        }
        for (const DhtLookup::Candidate& candidate : next) {
            KrpcQuery query;
            query.method = lookup.method;
            if (lookup.method == KrpcMethod::FindNode) {
                query.target = lookup.state.Target();
            } else {
                query.infoHash = lookup.state.Target();
            }
            query.wantV4 = lookup.family == AF_INET;
            query.wantV6 = lookup.family == AF_INET6;
            if (!SendQuery(lookup.family, candidate.address, candidate.id, query, id)) {
                lookup.state.Failed(candidate.address);
            }
        }
    }
    const auto it = m_lookups.find(id);
    if (it != m_lookups.end() && it->second->state.Done()) {
        FinishLookup(id);
    }
}

void DhtNode::FinishLookup(uint64_t id) {
    const auto it = m_lookups.find(id);
    if (it == m_lookups.end()) {
        return;
    }
    const std::unique_ptr<Lookup> lookup = std::move(it->second);
    m_lookups.erase(it);
    if (!m_waiting.empty()) {
        Reactor::Get().Post([this, alive = m_liveness.Watch()] {
            while (alive.Alive() && !m_waiting.empty() && m_lookups.size() + 2 <= kMaxLookups) {
                const uint64_t search = m_waiting.front();
                m_waiting.pop_front();
                StartSearch(search);
            }
        });
    }
    if (lookup->bootstrap && !BootstrapRunning()) {
        const size_t good = GoodNodeCount();
        Trace("joining: " + std::to_string(good) + " good nodes");
        if (good >= kHealthyNodes) {
            m_healthy = true;
            m_rejoinDelay = kFirstRejoin;
        } else if (NodeCount() == 0 && !m_routersTried) {
            ResolveRouters();  // the saved nodes are gone
        } else {
            // A small table asks again, less and less often: each lookup of our own id meets
            // nodes that joined since.
            m_rejoin = m_clock.After(m_rejoinDelay, [this] { Bootstrap(); });
            m_rejoinDelay = std::min(m_rejoinDelay * 2, kMaxRejoin);
        }
    }
    if (!lookup->search) {
        return;
    }
    const auto search = m_searches.find(lookup->search);
    if (search == m_searches.end()) {
        return;
    }
    if (search->second.announcePort != 0) {
        for (const DhtLookup::Candidate& node :
             lookup->state.ClosestWithToken(DhtLookup::kClosest)) {
            KrpcQuery query;
            query.method = KrpcMethod::AnnouncePeer;
            query.infoHash = search->second.infoHash;
            query.port = search->second.announcePort;
            query.token = node.token;
            if (!SendQuery(lookup->family, node.address, node.id, query, 0)) {
                break;
            }
        }
    }
    if (--search->second.lookupsLeft > 0) {
        return;
    }
    SearchDone done = std::move(search->second.done);
    m_searches.erase(search);
    if (done) {
        done();
    }
}

std::unique_ptr<DhtSearch> DhtNode::FindPeers(std::string_view infoHash, uint16_t announcePort,
                                              PeersFound found, SearchDone done) {
    const uint64_t id = m_nextId++;
    auto handle = std::make_unique<SearchHandle>(*this, id);
    if (infoHash.size() != kNodeIdSize || m_searches.size() >= kMaxSearches) {
        Trace(infoHash.size() != kNodeIdSize ? "not an info hash" : "too many searches at once");
        // Still ended from the loop, never from inside this call.
        Reactor::Get().Post([alive = m_liveness.Watch(), done = std::move(done)] {
            if (alive.Alive() && done) {
                done();
            }
        });
        // Nothing is reported to a handle of a search that never began.
        return handle;
    }
    Search search;
    search.infoHash = std::string(infoHash);
    search.announcePort = announcePort;
    search.found = std::move(found);
    search.done = std::move(done);
    m_searches.emplace(id, std::move(search));
    Reactor::Get().Post([this, alive = m_liveness.Watch(), id] {
        if (alive.Alive()) {
            StartSearch(id);
        }
    });
    return handle;
}

void DhtNode::StartSearch(uint64_t id) {
    auto it = m_searches.find(id);
    if (it == m_searches.end()) {
        return;
    }
    if (NodeCount() == 0) {
        m_unjoined.push_back(id);
        return;
    }
    // Lookups are capped; a search that cannot have one per table now waits for a free place
    // rather than ending with nothing.
    const size_t tables = (FamilyOf(AF_INET) ? 1 : 0) + (FamilyOf(AF_INET6) ? 1 : 0);
    if (m_lookups.size() + tables > kMaxLookups) {
        m_waiting.push_back(id);
        return;
    }
    std::vector<uint64_t> lookups;
    for (const int family : {AF_INET, AF_INET6}) {
        if (const uint64_t lookup =
                StartLookup(family, KrpcMethod::GetPeers, it->second.infoHash, id, false)) {
            lookups.push_back(lookup);
        }
    }
    it->second.lookupsLeft = static_cast<int>(lookups.size());
    if (lookups.empty()) {
        SearchDone done = std::move(it->second.done);
        m_searches.erase(it);
        if (done) {
            done();
        }
        return;
    }
    for (const uint64_t lookup : lookups) {
        Advance(lookup);  // may end the search (an empty table)
    }
}

void DhtNode::CancelSearch(uint64_t id) {
    if (m_searches.erase(id) == 0) {
        return;
    }
    std::erase(m_waiting, id);
    std::erase(m_unjoined, id);
    // Its lookups stop at once: nobody waits for their answers.
    std::erase_if(m_lookups, [id](const auto& entry) { return entry.second->search == id; });
}

void DhtNode::Report(uint64_t id, const std::vector<DhtPeer>& values) {
    const auto it = m_searches.find(id);
    if (it == m_searches.end()) {
        return;
    }
    Search& search = it->second;
    std::vector<DhtPeer> fresh;
    for (const DhtPeer& peer : values) {
        const std::string key = AddressWithPort(peer.address, peer.port);
        if (search.seen.size() >= kMaxSeenPerSearch || search.seen.insert(key).second) {
            fresh.push_back(peer);
        }
    }
    if (!fresh.empty() && search.found) {
        // Called through a copy: the report may destroy the handle, and the search with it.
        const PeersFound found = search.found;
        found(fresh);
    }
}

// ---- joining ----

bool DhtNode::BootstrapRunning() const {
    return std::any_of(m_lookups.begin(), m_lookups.end(),
                       [](const auto& entry) { return entry.second->bootstrap; });
}

void DhtNode::Bootstrap() {
    m_routersTried = false;
    bool started = false;
    for (const int family : {AF_INET, AF_INET6}) {
        const Family* f = FamilyOf(family);
        const auto& saved = family == AF_INET6 ? m_saved.nodes6 : m_saved.nodes;
        if (f && (!saved.empty() || f->table->LiveCount(m_clock.Now()) > 0)) {
            if (const uint64_t lookup = StartLookup(family, KrpcMethod::FindNode, m_id, 0, true)) {
                started = true;
                Advance(lookup);
            }
        }
    }
    // Saved nodes are asked once; those that answered are in the table now.
    m_saved.nodes.clear();
    m_saved.nodes6.clear();
    if (!started) {
        ResolveRouters();
    }
}

void DhtNode::ResolveRouters() {
    m_routersTried = true;
    for (const std::string& router : m_options.routers) {
        std::string host;
        uint16_t port = 0;
        if (!SplitHostPort(router, host, port)) {
            Trace("not a host:port router: " + router);
            continue;
        }
        auto handle = std::make_shared<uint64_t>(0);
        *handle = Reactor::Get().Resolve(
            host, [this, port, handle](int error, std::vector<std::string> addresses) {
                std::erase(m_resolves, *handle);
                OnRouterResolved(port, error, addresses);
            });
        m_resolves.push_back(*handle);
    }
}

void DhtNode::OnRouterResolved(uint16_t port, int error,
                               const std::vector<std::string>& addresses) {
    if (!m_started || error) {
        return;
    }
    for (const std::string& text : addresses) {
        SocketAddress address;
        if (!SocketAddress::FromText(text, port, address) || !FamilyOf(address.Family())) {
            continue;
        }
        // Into the bootstrap lookup of the family still running, else a new one.
        uint64_t lookup = 0;
        for (const auto& [id, running] : m_lookups) {
            if (running->bootstrap && running->family == address.Family()) {
                lookup = id;
            }
        }
        if (!lookup) {
            lookup = StartLookup(address.Family(), KrpcMethod::FindNode, m_id, 0, true);
        }
        if (const auto it = m_lookups.find(lookup); it != m_lookups.end()) {
            it->second->state.AddSeed(address);
            Advance(lookup);
        }
    }
}

void DhtNode::AddNode(const std::string& address, uint16_t port) {
    SocketAddress to;
    if (!m_started || port == 0 || !SocketAddress::FromText(address, port, to) ||
        !FamilyOf(to.Family())) {
        return;
    }
    Ping(to.Family(), to, {});
}

}  // namespace velbrook
