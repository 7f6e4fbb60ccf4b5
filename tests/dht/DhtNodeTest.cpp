#include "dht/DhtNode.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include "dht/DhtState.h"
#include "dht/NodeId.h"
#include "support/Loopback.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

using namespace velbrook;

namespace {

const std::string kHash(20, 'H');

// A bare UDP socket on a loopback address that plays another node, or a flood of them.
class RawUdp {
public:
    explicit RawUdp(const std::string& address = "127.0.0.1") {
        SocketAddress local;
        EXPECT_TRUE(SocketAddress::FromText(address, 0, local));
        m_fd = ::socket(local.Family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        EXPECT_EQ(::bind(m_fd, local.Get(), local.length), 0) << address;
        m_family = local.Family();
    }
    ~RawUdp() { ::close(m_fd); }
    void Send(uint16_t port, const std::string& datagram) const {
        SocketAddress to;
        EXPECT_TRUE(SocketAddress::FromText(m_family == AF_INET6 ? "::1" : "127.0.0.1", port, to));
        ::sendto(m_fd, datagram.data(), datagram.size(), 0, to.Get(), to.length);
    }
    // Answers (not the node's own queries) waiting now.
    size_t TakeAnswers() {
        size_t answers = 0;
        char buffer[2048];
        for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0;) {
            KrpcMessage message;
            std::string why;
            answers += DecodeKrpc(std::string_view(buffer, static_cast<size_t>(n)), message, why) &&
                       message.kind != KrpcKind::Query;
        }
        return answers;
    }

private:
    int m_fd = -1;
    int m_family = AF_INET;
};

std::string Ping(int n) {
    KrpcQuery query;
    query.transaction = std::to_string(n);
    query.id = RandomNodeId();
    return EncodeQuery(query);
}

class DhtNodeTest : public ::testing::Test {
protected:
    std::unique_ptr<DhtNode> Node(std::vector<std::string> routers, const std::string& state = {},
                                  bool ipv6 = false, Clock* clock = nullptr) {
        DhtOptions options;
        options.routers = std::move(routers);
        options.statePath = state;
        options.ipv6 = ipv6;
        options.ipv6WithoutGlobalAddress = ipv6;
        auto node = std::make_unique<DhtNode>(clock ? *clock : reactor, options);
        std::string why;
        EXPECT_TRUE(node->Start(why)) << why;
        return node;
    }
    static std::string Router(const DhtNode& node, bool ipv6 = false) {
        return (ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(node.Port());
    }

    test::ManualClock manual;  // outlives the reactor and the nodes
    Reactor reactor;
};

}  // namespace

TEST_F(DhtNodeTest, NodesOnLoopbackFindThePeersOthersAnnounced) {
    const bool v6 = test::LoopbackIPv6();
    auto first = Node({}, {}, v6);
    std::vector<std::unique_ptr<DhtNode>> nodes;
    for (int i = 0; i < 6; ++i) {
        std::vector<std::string> routers = {Router(*first)};
        if (v6) {
            routers.push_back(Router(*first, true));
        }
        nodes.push_back(Node(routers, {}, v6));
    }
    ASSERT_TRUE(test::RunUntil(reactor, [&] {
        return std::all_of(nodes.begin(), nodes.end(),
                           [&](const auto& n) { return n->NodeCount() >= (v6 ? 4u : 2u); });
    }));
    bool announced = false;
    auto search = nodes[0]->FindPeers(kHash, 5555, {}, [&] { announced = true; });
    ASSERT_TRUE(test::RunUntil(reactor, [&] { return announced; }));
    // The announce_peer queries go out as the lookup ends; the finder asks a moment later.
    std::vector<DhtPeer> found;
    bool done = false;
    auto find = nodes[5]->FindPeers(
        kHash, 0,
        [&](const std::vector<DhtPeer>& peers) {
            found.insert(found.end(), peers.begin(), peers.end());
        },
        [&] { done = true; });
    ASSERT_TRUE(test::RunUntil(reactor, [&] { return done; }));
    const auto has = [&](const std::string& address) {
        return std::any_of(found.begin(), found.end(), [&](const DhtPeer& peer) {
            return peer.address == address && peer.port == 5555;
        });
    };
    EXPECT_TRUE(has("127.0.0.1"));
    EXPECT_EQ(has("::1"), v6);
    EXPECT_EQ(found.size(), v6 ? 2u : 1u);  // each peer once, though several nodes named it

    // More searches at once than lookups may run: the later ones wait their turn.
    std::vector<std::unique_ptr<DhtSearch>> many;
    size_t ended = 0;
    size_t withPeer = 0;
    for (size_t i = 0; i < DhtNode::kMaxLookups + 4; ++i) {
        auto got = std::make_shared<bool>(false);
        many.push_back(nodes[3]->FindPeers(
            kHash, 0, [got](const std::vector<DhtPeer>&) { *got = true; },
            [&, got] { ++ended, withPeer += *got ? 1 : 0; }));
    }
    ASSERT_TRUE(test::RunUntil(
        reactor, [&] { return ended == many.size(); }, 60));
    EXPECT_EQ(withPeer, many.size());

    // A destroyed search reports nothing more.
    bool reported = false;
    auto dropped = nodes[4]->FindPeers(
        kHash, 0, [&](const std::vector<DhtPeer>&) { reported = true; }, [&] { reported = true; });
    dropped.reset();
    // The same lookup asked just after it: by its end the dropped one would have spoken.
    bool later = false;
    auto after = nodes[4]->FindPeers(kHash, 0, {}, [&] { later = true; });
    ASSERT_TRUE(test::RunUntil(reactor, [&] { return later; }));
    EXPECT_FALSE(reported);

    // A node named by a peer joins the table once it answers; a silent one does not.
    auto lone = Node({});
    lone->AddNode("127.0.0.1", test::FreePort());
    lone->AddNode("127.0.0.1", first->Port());
    ASSERT_TRUE(test::RunUntil(reactor, [&] { return lone->NodeCount() == 1; }));
}

TEST_F(DhtNodeTest, AnswersWithinItsRatesAndIgnoresASourceOfGarbage) {
    auto node = Node({}, {}, false, &manual);
    std::vector<std::unique_ptr<RawUdp>> sources;
    for (int i = 1; i <= 8; ++i) {
        sources.push_back(std::make_unique<RawUdp>("127.0.0." + std::to_string(i)));
        for (int q = 0; q < 100; ++q) {
            sources.back()->Send(node->Port(), Ping(q));
        }
    }
    const auto handled = [&](uint64_t count) {
        return test::RunUntil(reactor, [&] {
            return node->GetCounters().answered + node->GetCounters().limited >= count;
        });
    };
    ASSERT_TRUE(handled(800));
    // 50 a source, 250 in all, while the clock stands still.
    EXPECT_EQ(node->GetCounters().answered, 250u);
    size_t heard = 0;
    test::RunUntil(reactor, [&] {
        for (auto& source : sources) {
            heard += source->TakeAnswers();
        }
        return heard >= 250;
    });
    EXPECT_EQ(heard, 250u);
    manual.Advance(std::chrono::seconds(1));
    for (int q = 0; q < 100; ++q) {
        sources[7]->Send(node->Port(), Ping(q));
    }
    ASSERT_TRUE(handled(900));
    EXPECT_EQ(node->GetCounters().answered, 300u);

    // Datagrams too large to read are dropped without holding it against the sender.
    RawUdp big("127.0.0.10");
    KrpcResponse large;
    large.transaction = "zz";
    large.id = RandomNodeId();
    for (int i = 0; i < 100; ++i) {
        large.values.push_back(SocketAddress{});
        ASSERT_TRUE(SocketAddress::FromText("2001:db8::1", static_cast<uint16_t>(i + 1),
                                            large.values.back()));
    }
    for (int i = 0; i < DhtNode::kGarbageStrikes; ++i) {
        big.Send(node->Port(), EncodeResponse(large));
    }
    ASSERT_TRUE(test::RunUntil(reactor, [&] {
        return node->GetCounters().oversized == uint64_t(DhtNode::kGarbageStrikes);
    }));
    big.Send(node->Port(), Ping(0));
    ASSERT_TRUE(handled(901));

    // Garbage gets its sender ignored for ten minutes; others are still answered.
    RawUdp bad("127.0.0.9");
    for (int i = 0; i < DhtNode::kGarbageStrikes; ++i) {
        bad.Send(node->Port(), "d1:y1:q");
    }
    bad.Send(node->Port(), Ping(1));
    sources[0]->Send(node->Port(), Ping(2));
    ASSERT_TRUE(handled(902));
    ASSERT_TRUE(test::RunUntil(reactor, [&] { return node->GetCounters().ignored == 1; }));
    EXPECT_EQ(node->GetCounters().garbage, uint64_t(DhtNode::kGarbageStrikes));
    manual.Advance(DhtNode::kBanTime);
    bad.Send(node->Port(), Ping(3));
    ASSERT_TRUE(handled(903));
}

TEST_F(DhtNodeTest, ARestartKeepsTheIdAndRejoinsThroughTheSavedNodes) {
    test::TempDir dir;
    const std::string state = dir / "dht.dat";
    auto router = Node({});
    auto helper = Node({Router(*router)});
    auto node = Node({Router(*router)}, state);
    ASSERT_TRUE(test::RunUntil(reactor, [&] { return node->NodeCount() >= 2; }));
    const std::string id = node->NodeId();
    node->Stop();
    node.reset();
    DhtState saved;
    std::string why;
    ASSERT_TRUE(ReadDhtState(state, saved, why)) << why;
    EXPECT_EQ(saved.id, id);
    EXPECT_EQ(saved.nodes.size(), 2u);

    // Stopped before anyone answered, it keeps the nodes it had.
    Node({}, state)->Stop();
    ASSERT_TRUE(ReadDhtState(state, saved, why)) << why;
    EXPECT_EQ(saved.nodes.size(), 2u);

    // No router this time: the saved nodes are enough.
    auto again = Node({}, state);
    EXPECT_EQ(again->NodeId(), id);
    ASSERT_TRUE(test::RunUntil(reactor, [&] { return again->NodeCount() >= 2; }));

    // A file that is not ours gets a new id, and the node still starts.
    again->Stop();
    test::WriteFile(state, "not a state file");
    auto fresh = Node({}, state);
    EXPECT_NE(fresh->NodeId(), id);
    EXPECT_EQ(fresh->NodeId().size(), 20u);
}

TEST_F(DhtNodeTest, AFloodFromManyPortsStaysWithinRateAndMemory) {
    // Bound for everything the node holds under this flood: a small fraction of its caps.
    constexpr size_t kMemoryBound = 2 << 20;
    auto node = Node({});
    std::vector<std::unique_ptr<RawUdp>> ports;
    for (int i = 0; i < 200; ++i) {
        ports.push_back(std::make_unique<RawUdp>());
    }
    const auto start = std::chrono::steady_clock::now();
    size_t peakBytes = 0;
    for (int n = 0; n < 100000; ++n) {
        KrpcQuery query;
        query.transaction = std::to_string(n);
        query.id = RandomNodeId();
        query.method = n % 3 == 0 ? KrpcMethod::GetPeers
                                  : (n % 3 == 1 ? KrpcMethod::FindNode : KrpcMethod::AnnouncePeer);
        query.infoHash = query.target = RandomNodeId();
        query.token = "12345678";
        query.port = 1;
        ports[static_cast<size_t>(n) % ports.size()]->Send(node->Port(), EncodeQuery(query));
        if (n % 200 == 0) {
            reactor.RunOnce(0);
            peakBytes = std::max(peakBytes, node->GetSizes().bytes);
        }
    }
    // Another address is still answered, once the socket's buffer has room for its ping; a
    // ping read comes after every query of the flood still queued before it.
    RawUdp other("127.0.0.2");
    size_t heard = 0;
    EXPECT_TRUE(test::RunUntil(reactor, [&] {
        other.Send(node->Port(), Ping(1));
        return (heard += other.TakeAnswers()) > 0;
    }));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const DhtNode::Sizes sizes = node->GetSizes();
    peakBytes = std::max(peakBytes, sizes.bytes);
    EXPECT_LT(peakBytes, kMemoryBound);
    EXPECT_LE(sizes.transactions, DhtNode::kMaxTransactions);
    EXPECT_EQ(sizes.storedPeers, 0u);  // no announce carried a token of ours
    // One source address: its share, plus the one-second burst it starts with.
    const uint64_t answered = node->GetCounters().answered - heard;
    EXPECT_GT(answered, 0u);
    EXPECT_LE(answered, static_cast<uint64_t>(DhtNode::kAnswersPerSourcePerSecond * (seconds + 1)));
    EXPECT_GT(node->GetCounters().limited, 1000u);
}
