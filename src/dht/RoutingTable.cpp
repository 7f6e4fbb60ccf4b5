#include "dht/RoutingTable.h"

#include <algorithm>

#include "dht/NodeId.h"

namespace velbrook {

size_t RoutingTable::IndexOf(const std::string& id) const {
    const auto shared = static_cast<size_t>(CommonPrefixBits(m_ownId, id));
    return std::min(shared, m_buckets.size() - 1);
}

bool RoutingTable::IsGood(const Node& node, Time now) const {
    return node.failures == 0 && now - node.lastHeard < kQuestionableAfter;
}

bool RoutingTable::IsBad(const Node& node, Time now) const {
    return node.failures >= kBadAfterFailures ||
           (node.failures > 0 && now - node.lastHeard >= kQuestionableAfter);
}

bool RoutingTable::AddressTaken(const SocketAddress& address, const std::string& id) const {
    for (const Bucket& bucket : m_buckets) {
        for (const Node& node : bucket.nodes) {
            if (node.address == address && node.id != id) {
                return true;
            }
        }
    }
    return false;
}

void RoutingTable::Split() {
    const size_t last = m_buckets.size() - 1;
    m_buckets.emplace_back();
    Bucket& old = m_buckets[last];
    Bucket& added = m_buckets.back();
    added.lastChanged = old.lastChanged;
    const auto moves = [&](const Node& node) {
        return static_cast<size_t>(CommonPrefixBits(m_ownId, node.id)) > last;
    };
    for (auto* list : {&old.nodes, &old.replacements}) {
        auto& into = list == &old.nodes ? added.nodes : added.replacements;
        for (const Node& node : *list) {
            if (moves(node)) {
                into.push_back(node);
            }
        }
        list->erase(std::remove_if(list->begin(), list->end(), moves), list->end());
    }
}

std::optional<RoutingTable::Node> RoutingTable::Heard(const std::string& id,
                                                      const SocketAddress& address, Time now) {
    if (id.size() != kNodeIdSize || id == m_ownId || address.Family() == AF_UNSPEC) {
        return std::nullopt;
    }
    for (;;) {
        Bucket& bucket = m_buckets[IndexOf(id)];
        for (Node& node : bucket.nodes) {
            if (node.id == id) {
                // A different address under a known id is someone else's claim: ignored.
                if (node.address == address) {
                    node.lastHeard = now;
                    node.failures = 0;
                    node.pinging = false;
                    bucket.lastChanged = now;
                }
                return std::nullopt;
            }
        }
        if (AddressTaken(address, id)) {
            return std::nullopt;
        }
        Node fresh{id, address, now, 0, false};
        const auto replacement =
            std::find_if(bucket.replacements.begin(), bucket.replacements.end(),
                         [&](const Node& node) { return node.id == id; });
        if (bucket.nodes.size() < kBucketSize) {
            if (replacement != bucket.replacements.end()) {
                bucket.replacements.erase(replacement);
            }
            bucket.nodes.push_back(fresh);
            bucket.lastChanged = now;
            return std::nullopt;
        }
        if (&bucket == &m_buckets.back() && m_buckets.size() < kMaxBuckets) {
            Split();
            continue;
        }
        for (Node& node : bucket.nodes) {
            if (IsBad(node, now)) {
                if (replacement != bucket.replacements.end()) {
                    bucket.replacements.erase(replacement);
                }
                node = fresh;
                bucket.lastChanged = now;
                return std::nullopt;
            }
        }
        if (replacement != bucket.replacements.end()) {
            bucket.replacements.erase(replacement);
        } else if (bucket.replacements.size() >= kReplacements) {
            bucket.replacements.erase(bucket.replacements.begin());
        }
        bucket.replacements.push_back(fresh);
        Node* oldest = nullptr;
        for (Node& node : bucket.nodes) {
            if (!IsGood(node, now) && !node.pinging &&
                (!oldest || node.lastHeard < oldest->lastHeard)) {
                oldest = &node;
            }
        }
        if (!oldest) {
            return std::nullopt;
        }
        oldest->pinging = true;
        return *oldest;
    }
}

void RoutingTable::Failed(const std::string& id, Time now) {
    if (id.size() != kNodeIdSize) {
        return;
    }
    Bucket& bucket = m_buckets[IndexOf(id)];
    for (Node& node : bucket.nodes) {
        if (node.id != id) {
            continue;
        }
        ++node.failures;
        const bool wasPinged = node.pinging;
        node.pinging = false;
        // A node pinged to make room goes at once; others after repeated silence.
        if ((wasPinged || IsBad(node, now)) && !bucket.replacements.empty()) {
            node = bucket.replacements.back();
            bucket.replacements.pop_back();
            bucket.lastChanged = now;
        } else if (wasPinged) {
            node.failures = std::max(node.failures, kBadAfterFailures);
        }
        return;
    }
}

bool RoutingTable::Contains(const std::string& id) const {
    if (id.size() != kNodeIdSize) {
        return false;
    }
    const Bucket& bucket = m_buckets[IndexOf(id)];
    return std::any_of(bucket.nodes.begin(), bucket.nodes.end(),
                       [&](const Node& node) { return node.id == id; });
}

std::vector<DhtNodeEntry> RoutingTable::Closest(const std::string& target, size_t count,
                                                Time now) const {
    std::vector<DhtNodeEntry> all;
    for (const Bucket& bucket : m_buckets) {
        for (const Node& node : bucket.nodes) {
            if (!IsBad(node, now)) {
                all.push_back(DhtNodeEntry{node.id, node.address});
            }
        }
    }
    const size_t keep = std::min(count, all.size());
    std::partial_sort(
        all.begin(), all.begin() + static_cast<std::ptrdiff_t>(keep), all.end(),
        [&](const DhtNodeEntry& a, const DhtNodeEntry& b) { return CloserTo(target, a.id, b.id); });
    all.resize(keep);
    return all;
}

std::vector<DhtNodeEntry> RoutingTable::GoodNodes(size_t count, Time now) const {
    std::vector<DhtNodeEntry> out;
    for (auto bucket = m_buckets.rbegin(); bucket != m_buckets.rend() && out.size() < count;
         ++bucket) {
        for (const Node& node : bucket->nodes) {
            if (out.size() < count && IsGood(node, now)) {
                out.push_back(DhtNodeEntry{node.id, node.address});
            }
        }
    }
    return out;
}

size_t RoutingTable::LiveCount(Time now) const {
    size_t count = 0;
    for (const Bucket& bucket : m_buckets) {
        count += static_cast<size_t>(std::count_if(bucket.nodes.begin(), bucket.nodes.end(),
                                                   [&](const Node& n) { return !IsBad(n, now); }));
    }
    return count;
}

size_t RoutingTable::GoodCount(Time now) const {
    size_t count = 0;
    for (const Bucket& bucket : m_buckets) {
        count += static_cast<size_t>(std::count_if(bucket.nodes.begin(), bucket.nodes.end(),
                                                   [&](const Node& n) { return IsGood(n, now); }));
    }
    return count;
}

size_t RoutingTable::NodeCount() const {
    size_t count = 0;
    for (const Bucket& bucket : m_buckets) {
        count += bucket.nodes.size();
    }
    return count;
}

size_t RoutingTable::ReplacementCount() const {
    size_t count = 0;
    for (const Bucket& bucket : m_buckets) {
        count += bucket.replacements.size();
    }
    return count;
}

std::vector<int> RoutingTable::TakeStaleBuckets(Time now) {
    std::vector<int> stale;
    for (size_t i = 0; i < m_buckets.size(); ++i) {
        if (now - m_buckets[i].lastChanged >= kQuestionableAfter) {
            m_buckets[i].lastChanged = now;
            stale.push_back(static_cast<int>(i));
        }
    }
    return stale;
}

}  // namespace velbrook
