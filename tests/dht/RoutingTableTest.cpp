#include "dht/RoutingTable.h"

#include <gtest/gtest.h>

#include "dht/NodeId.h"

using namespace velbrook;

namespace {

SocketAddress Loopback(uint16_t port) {
    SocketAddress address;
    EXPECT_TRUE(SocketAddress::FromText("127.0.0.1", port, address));
    return address;
}

class RoutingTableTest : public ::testing::Test {
protected:
    // A node sharing exactly `bits` leading bits with ours.
    std::string Near(int bits) { return RandomIdWithPrefix(own, bits); }

    std::string own = RandomNodeId();
    RoutingTable table{own};
    Time now = Time() + std::chrono::hours(1);
    uint16_t port = 10000;
};

}  // namespace

TEST_F(RoutingTableTest, OnlyTheBucketHoldingOurIdSplits) {
    // Far nodes (first bit differs) fill one bucket; more of them never split it.
    for (int i = 0; i < 12; ++i) {
        table.Heard(Near(0), Loopback(port++), now);
    }
    EXPECT_EQ(table.LiveCount(now), RoutingTable::kBucketSize);
    // Nodes nearer to us split the table and are all kept, bucket by bucket.
    for (int bits = 1; bits <= 10; ++bits) {
        for (int i = 0; i < 3; ++i) {
            table.Heard(Near(bits), Loopback(port++), now);
        }
    }
    EXPECT_EQ(table.LiveCount(now), RoutingTable::kBucketSize + 30);
    EXPECT_GE(table.BucketCount(), 10u);
    EXPECT_EQ(table.ReplacementCount(), RoutingTable::kReplacements);
    // Same address with another port is another node; the same address and port under a new id
    // is not taken.
    const std::string id = Near(40);
    table.Heard(id, Loopback(port), now);
    table.Heard(Near(41), Loopback(port), now);
    EXPECT_TRUE(table.Contains(id));
    EXPECT_EQ(table.LiveCount(now), RoutingTable::kBucketSize + 31);
    EXPECT_EQ(table.Closest(id, 1, now).at(0).id, id);
}

TEST_F(RoutingTableTest, AFullBucketPingsItsMostQuestionableNodeBeforeReplacingIt) {
    std::vector<std::string> ids;
    for (int i = 0; i < 8; ++i) {
        ids.push_back(Near(0));
        EXPECT_FALSE(table.Heard(ids.back(), Loopback(port++), now + std::chrono::minutes(i)));
    }
    // All good: a newcomer waits as a replacement and nobody is pinged.
    const std::string newcomer = Near(0);
    EXPECT_FALSE(table.Heard(newcomer, Loopback(port++), now + std::chrono::minutes(10)));
    EXPECT_FALSE(table.Contains(newcomer));
    // 20 minutes on, the oldest ones are questionable: the oldest is pinged, once.
    const Time later = now + std::chrono::minutes(20);
    const auto ask = table.Heard(newcomer, Loopback(port - 1), later);
    ASSERT_TRUE(ask);
    EXPECT_EQ(ask->id, ids[0]);
    const auto next = table.Heard(Near(0), Loopback(port++), later);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->id, ids[1]);
    EXPECT_EQ(table.GoodCount(later), 2u);  // those heard 13 and 14 minutes ago
    // The first one answers and stays; the second one does not and gives way.
    table.Heard(ids[0], ask->address, later);
    table.Failed(ids[1], later);
    EXPECT_TRUE(table.Contains(ids[0]));
    EXPECT_FALSE(table.Contains(ids[1]));
    EXPECT_EQ(table.LiveCount(later), 8u);
    // A good node that misses one answer is questionable, two and it is bad.
    table.Failed(ids[7], later);
    EXPECT_EQ(table.LiveCount(later), 8u);
    EXPECT_EQ(table.GoodCount(later), 3u);
    table.Failed(ids[7], later);
    EXPECT_FALSE(table.Contains(ids[7]));
    EXPECT_TRUE(table.Contains(newcomer));
}
