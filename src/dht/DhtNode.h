// The DHT node of the running program: one UDP socket and routing table per address family on
// the engine's loop, answering others' queries within fixed rates and running our lookups.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "dht/Dht.h"
#include "dht/DhtLookup.h"
#include "dht/DhtState.h"
#include "dht/DhtTokens.h"
#include "dht/Krpc.h"
#include "dht/PeerStore.h"
#include "dht/RoutingTable.h"
#include "net/Clock.h"
#include "net/Reactor.h"
#include "net/UdpSocket.h"

namespace velbrook {

struct DhtOptions {
    uint16_t port = 0;                 // UDP port to bind (0: the system picks; tests)
    std::vector<std::string> routers;  // "host:port" entries, resolved with Reactor::Resolve
    std::string statePath;             // file that keeps the id and nodes; empty: none
    bool ipv6 = true;                  // a second table when the host has a global IPv6 address
    bool ipv6WithoutGlobalAddress = false;  // tests: the IPv6 table on a host with only ::1
};

class DhtNode : public DhtLink {
public:
    // Inbound queries answered per second, in all and per source address; a burst of one
    // second's worth is allowed.
    static constexpr double kAnswersPerSecond = 250;
    static constexpr double kAnswersPerSourcePerSecond = 50;
    static constexpr double kQueriesPerSecond = 100;  // outbound
    static constexpr size_t kMaxTransactions = 1024;
    static constexpr size_t kMaxLookups = 32;
    static constexpr size_t kMaxSearches = 256;
    static constexpr size_t kMaxRateSources = 1024;
    static constexpr size_t kMaxBans = 1024;
    // Undecodable datagrams from one address that get it ignored for kBanTime.
    static constexpr int kGarbageStrikes = 5;
    static constexpr Duration kBanTime = std::chrono::minutes(10);
    static constexpr Duration kQueryTimeout = std::chrono::seconds(3);
    static constexpr Duration kTick = std::chrono::milliseconds(100);
    static constexpr Duration kMaintenance = std::chrono::seconds(60);
    static constexpr Duration kSaveEvery = std::chrono::minutes(15);
    static constexpr size_t kHealthyNodes = 16;
    // Lookups of our own id while the table is smaller than that: after 1 s, 2 s, 4 s, ...
    static constexpr Duration kFirstRejoin = std::chrono::seconds(1);
    static constexpr Duration kMaxRejoin = std::chrono::minutes(5);
    static constexpr size_t kSavedNodes = 300;  // per family
    // Peers of one search reported once each; beyond this, repeats may be reported again.
    static constexpr size_t kMaxSeenPerSearch = 2000;

    struct Sizes {
        size_t nodes = 0;  // every node held in the tables, replacements included
        size_t transactions = 0;
        size_t lookups = 0;
        size_t searches = 0;  // waiting ones included
        size_t storedPeers = 0;
        size_t storedHashes = 0;
        size_t bans = 0;
        size_t rateSources = 0;
        size_t bytes = 0;  // an estimate of everything above
    };
    struct Counters {
        uint64_t answered = 0;   // queries answered (errors included)
        uint64_t limited = 0;    // queries dropped by the rate limits
        uint64_t garbage = 0;    // undecodable datagrams
        uint64_t ignored = 0;    // datagrams from banned addresses
        uint64_t oversized = 0;  // datagrams too large to read
        uint64_t sent = 0;       // our queries sent
    };

    DhtNode(Clock& clock, DhtOptions options, std::function<void(const std::string&)> trace = {});
    ~DhtNode() override;
    DhtNode(const DhtNode&) = delete;
    DhtNode& operator=(const DhtNode&) = delete;

    // Binds UDP (v4, and v6 as the options say), loads the state, then bootstraps.
    [[nodiscard]] bool Start(std::string& why);
    // Saves the state, closes the sockets; lookups end without reports.
    void Stop();
    uint16_t Port() const { return m_port; }
    const std::string& NodeId() const { return m_id; }

    [[nodiscard]] std::unique_ptr<DhtSearch> FindPeers(std::string_view infoHash,
                                                       uint16_t announcePort, PeersFound found,
                                                       SearchDone done = {}) override;
    void AddNode(const std::string& address, uint16_t port) override;
    size_t NodeCount() const override;

    bool HasTable(int family) const;
    size_t GoodNodeCount() const;
    Sizes GetSizes() const;
    const Counters& GetCounters() const { return m_counters; }
    // Writes the state file now; false with `why` when it could not be written.
    bool SaveState(std::string& why);

private:
    struct Family {
        UdpSocket socket;
        std::unique_ptr<RoutingTable> table;
    };
    struct Pending {
        int family = AF_INET;
        SocketAddress to;
        std::string expectedId;  // empty when the node's id is not known
        KrpcMethod method = KrpcMethod::Ping;
        uint64_t lookup = 0;
        std::string datagram;  // until sent
        Time deadline{};
        bool sent = false;
    };
    struct Lookup {
        uint64_t id = 0;
        int family = AF_INET;
        KrpcMethod method = KrpcMethod::FindNode;
        DhtLookup state;
        uint64_t search = 0;  // 0: our own (bootstrap, refresh)
        bool bootstrap = false;
    };
    struct Search {
        std::string infoHash;
        uint16_t announcePort = 0;
        PeersFound found;
        SearchDone done;
        int lookupsLeft = 0;
        std::set<std::string> seen;
    };
    struct Rate {
        double tokens = 0;
        Time last{};
    };
    struct Strikes {
        int count = 0;
        Time since{};
        Time bannedUntil{};
    };
    class SearchHandle;

    Family* FamilyOf(int family);
    const Family* FamilyOf(int family) const;
    void OnReadable(int family);
    void HandleDatagram(int family, const SocketAddress& from, std::string_view datagram);
    void HandleQuery(int family, const SocketAddress& from, const KrpcMessage& query);
    void HandleReply(const SocketAddress& from, const KrpcMessage& reply);
    bool Admit(const std::string& source, Time now);
    bool Banned(const std::string& source, Time now);
    void Strike(const std::string& source, Time now);
    bool SendQuery(int family, const SocketAddress& to, const std::string& expectedId,
                   KrpcQuery query, uint64_t lookup);
    void Ping(int family, const SocketAddress& to, const std::string& expectedId);
    void Tick();
    void Flush();
    void Maintain();
    void Expired(const Pending& pending);
    void Heard(int family, const std::string& id, const SocketAddress& from);

    uint64_t StartLookup(int family, KrpcMethod method, const std::string& target, uint64_t search,
                         bool bootstrap);
    void Advance(uint64_t lookup);
    void FinishLookup(uint64_t lookup);
    void StartSearch(uint64_t search);
    void CancelSearch(uint64_t search);
    void Report(uint64_t search, const std::vector<DhtPeer>& values);

    void Bootstrap();
    bool BootstrapRunning() const;
    void ResolveRouters();
    void OnRouterResolved(uint16_t port, int error, const std::vector<std::string>& addresses);
    void LoadState();
    void Trace(const std::string& line) const;

    Clock& m_clock;
    DhtOptions m_options;
    std::function<void(const std::string&)> m_trace;
    std::string m_id;
    uint16_t m_port = 0;
    bool m_started = false;
    Family m_v4;
    Family m_v6;
    std::vector<char> m_buffer;
    DhtTokens m_tokens;
    PeerStore m_store;
    std::unordered_map<std::string, Pending> m_pending;  // by transaction id
    std::deque<std::string> m_queue;                     // transactions waiting to be sent
    uint16_t m_nextTransaction = 0;
    std::map<uint64_t, std::unique_ptr<Lookup>> m_lookups;
    std::map<uint64_t, Search> m_searches;
    std::deque<uint64_t> m_waiting;  // searches for which no lookup was free
    // Searches made before the tables held any node: they start with the first one. A torrent
    // started with the program would otherwise look while the node is still joining, find no
    // one to ask, and wait 15 minutes for its next look.
    std::deque<uint64_t> m_unjoined;
    uint64_t m_nextId = 1;
    Rate m_outbound;
    Rate m_inbound;
    std::unordered_map<std::string, Rate> m_sources;
    std::unordered_map<std::string, Strikes> m_strikes;
    Counters m_counters;
    DhtState m_saved;   // nodes still to ask while joining
    DhtState m_loaded;  // as read at the start
    bool m_routersTried = false;
    bool m_healthy = false;
    std::vector<uint64_t> m_resolves;
    Duration m_rejoinDelay = kFirstRejoin;
    Timer m_rejoin;
    Timer m_tick;
    Timer m_maintenance;
    Timer m_save;
    Liveness m_liveness;
};

}  // namespace velbrook
