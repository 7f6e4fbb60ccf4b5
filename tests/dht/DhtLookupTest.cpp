#include "dht/DhtLookup.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "dht/NodeId.h"

using namespace velbrook;

TEST(DhtLookup, AsksThreeAtATimeClosestFirstAndStopsWhenTheEightClosestAnswered) {
    const std::string target = RandomNodeId();
    DhtLookup lookup(target, RandomNodeId());
    // 30 nodes, node i sharing 100 - 3i leading bits with the target: ordered by nearness.
    std::vector<DhtNodeEntry> nodes;
    for (int i = 0; i < 30; ++i) {
        DhtNodeEntry node{RandomIdWithPrefix(target, 100 - 3 * i), {}};
        EXPECT_TRUE(
            SocketAddress::FromText("127.0.0.1", static_cast<uint16_t>(20000 + i), node.address));
        nodes.push_back(node);
    }
    // The far ones are known first, as from a router.
    for (int i = 29; i >= 10; --i) {
        lookup.Add(nodes[static_cast<size_t>(i)]);
    }
    std::vector<DhtLookup::Candidate> asked = lookup.TakeNext();
    ASSERT_EQ(asked.size(), DhtLookup::kParallel);
    EXPECT_EQ(asked[0].id, nodes[10].id);
    EXPECT_TRUE(lookup.TakeNext().empty());
    // The nearest answers with the rest; one far node never answers.
    lookup.Answered(asked[0].address, asked[0].id, "token");
    for (int i = 0; i < 10; ++i) {
        lookup.Add(nodes[static_cast<size_t>(i)]);
    }
    lookup.Failed(asked[1].address);
    std::vector<std::string> queried = {asked[0].id, asked[1].id, asked[2].id};
    // Answers come a round late, so the nodes asked last are still in flight while the next
    // round is picked.
    std::vector<DhtLookup::Candidate> waiting = {asked[2]};
    while (!lookup.Done() && !(waiting.empty() && lookup.InFlight() == 0)) {
        const std::vector<DhtLookup::Candidate> next = lookup.TakeNext();
        ASSERT_LE(lookup.InFlight(), DhtLookup::kParallel);
        for (const DhtLookup::Candidate& candidate : next) {
            queried.push_back(candidate.id);
        }
        for (const DhtLookup::Candidate& candidate : waiting) {
            lookup.Answered(candidate.address, candidate.id, "t" + candidate.id);
        }
        waiting = next;
    }
    EXPECT_TRUE(lookup.Done());
    // The 8 closest were asked, and beyond them only the three of the first round.
    for (int i = 0; i < 8; ++i) {
        EXPECT_NE(std::find(queried.begin(), queried.end(), nodes[static_cast<size_t>(i)].id),
                  queried.end());
    }
    EXPECT_EQ(queried.size(), 8u + 3u);
    const std::vector<DhtLookup::Candidate> announce = lookup.ClosestWithToken(8);
    ASSERT_EQ(announce.size(), 8u);
    EXPECT_EQ(announce[0].id, nodes[0].id);
}
