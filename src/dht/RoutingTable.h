// The nodes of one address family that we know, in buckets by how many leading bits their ids
// share with ours: the bucket holding our own id splits when full, every other bucket keeps at
// most 8 nodes and a few replacements.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "dht/Krpc.h"
#include "net/Clock.h"

namespace velbrook {

class RoutingTable {
public:
    static constexpr size_t kBucketSize = 8;
    static constexpr size_t kReplacements = 4;
    static constexpr size_t kMaxBuckets = 160;
    // A node not heard from for this long is questionable.
    static constexpr Duration kQuestionableAfter = std::chrono::minutes(15);
    // Unanswered queries that make a node bad (a questionable node goes bad at its first).
    static constexpr int kBadAfterFailures = 2;

    struct Node {
        std::string id;
        SocketAddress address;
        Time lastHeard{};
        int failures = 0;
        bool pinging = false;  // asked whether it is still there, to make room
    };

    explicit RoutingTable(std::string ownId) : m_ownId(std::move(ownId)) {
        m_buckets.emplace_back();
    }

    // A node answered one of our queries. It is added when its bucket has room, can split, or
    // holds a bad node; otherwise it waits among the bucket's replacements and the table names
    // its most questionable node, which the caller pings: when that ping fails (Failed) the
    // newest replacement takes its place.
    std::optional<Node> Heard(const std::string& id, const SocketAddress& address, Time now);
    // A query to the node went unanswered.
    void Failed(const std::string& id, Time now);

    bool Contains(const std::string& id) const;
    // Good and questionable nodes nearest to `target`, nearest first.
    std::vector<DhtNodeEntry> Closest(const std::string& target, size_t count, Time now) const;
    // Good nodes, those of the buckets nearest to us first (what is worth keeping across a
    // restart).
    std::vector<DhtNodeEntry> GoodNodes(size_t count, Time now) const;
    size_t LiveCount(Time now) const;  // good and questionable
    size_t GoodCount(Time now) const;
    size_t NodeCount() const;  // every node held, bad ones included
    size_t ReplacementCount() const;
    size_t BucketCount() const { return m_buckets.size(); }

    // Buckets nobody was heard from in for kQuestionableAfter: the number of leading bits its
    // ids share with ours, for a lookup of a random id there. Marks them refreshed.
    std::vector<int> TakeStaleBuckets(Time now);

    bool IsGood(const Node& node, Time now) const;
    bool IsBad(const Node& node, Time now) const;

private:
    struct Bucket {
        std::vector<Node> nodes;
        std::vector<Node> replacements;  // newest last
        Time lastChanged{};
    };

    size_t IndexOf(const std::string& id) const;
    void Split();
    bool AddressTaken(const SocketAddress& address, const std::string& id) const;

    std::string m_ownId;
    std::vector<Bucket> m_buckets;
};

}  // namespace velbrook
