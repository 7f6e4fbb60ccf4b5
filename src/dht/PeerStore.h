// Peers that other nodes announced to us, kept per info hash for 30 minutes under hard caps;
// when a cap is reached the oldest announcement goes first.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "net/Address.h"
#include "net/Clock.h"

namespace velbrook {

class PeerStore {
public:
    static constexpr Duration kLifetime = std::chrono::minutes(30);
    static constexpr size_t kMaxPerHash = 200;
    static constexpr size_t kMaxHashes = 2000;
    static constexpr size_t kMaxPeers = 20000;
    static constexpr size_t kMaxAnswer = 50;
    // Bytes one stored peer costs, roughly (two tree nodes, a key, the hash).
    static constexpr size_t kPeerCost = 200;

    PeerStore();

    void Add(const std::string& infoHash, const SocketAddress& peer, Time now);
    // Up to kMaxAnswer peers of `family`, picked at random among those stored.
    std::vector<SocketAddress> Get(const std::string& infoHash, int family, Time now);
    void Expire(Time now);

    size_t HashCount() const { return m_hashes.size(); }
    size_t PeerCount() const { return m_byAge.size(); }
    size_t BytesHeld() const { return m_byAge.size() * kPeerCost + m_hashes.size() * 100; }

private:
    // Keyed by the compact address: one entry per address and port.
    using Peers = std::map<std::string, Time>;
    using Age = std::tuple<Time, std::string, std::string>;  // when, info hash, compact peer

    void Remove(const Age& removed);

    std::unordered_map<std::string, Peers> m_hashes;
    std::set<Age> m_byAge;
    std::mt19937 m_random;
};

}  // namespace velbrook
