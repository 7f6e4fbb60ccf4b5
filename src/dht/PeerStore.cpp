#include "dht/PeerStore.h"

#include <algorithm>

#include "dht/Krpc.h"

namespace velbrook {

PeerStore::PeerStore() : m_random(std::random_device{}()) {}

void PeerStore::Remove(const Age& removed) {
    const Age entry = removed;  // `removed` may live inside m_byAge
    const auto& [when, hash, peer] = entry;
    const auto it = m_hashes.find(hash);
    if (it != m_hashes.end()) {
        it->second.erase(peer);
        if (it->second.empty()) {
            m_hashes.erase(it);
        }
    }
    m_byAge.erase(entry);
}

void PeerStore::Add(const std::string& infoHash, const SocketAddress& peer, Time now) {
    const std::string key = CompactAddress(peer);
    if (key.empty() || peer.Port() == 0) {
        return;
    }
    Expire(now);
    auto found = m_hashes.find(infoHash);
    if (found != m_hashes.end()) {
        Peers& peers = found->second;
        if (const auto known = peers.find(key); known != peers.end()) {
            m_byAge.erase(Age{known->second, infoHash, key});
            known->second = now;
            m_byAge.insert(Age{now, infoHash, key});
            return;
        }
        if (peers.size() >= kMaxPerHash) {
            const auto oldest =
                std::min_element(peers.begin(), peers.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
            Remove(Age{oldest->second, infoHash, oldest->first});
        }
    } else {
        // A new hash beyond the cap pushes out the hash of the oldest announcement.
        while (m_hashes.size() >= kMaxHashes && !m_byAge.empty()) {
            const std::string victim = std::get<1>(*m_byAge.begin());
            for (const auto& [address, when] : Peers(m_hashes[victim])) {
                Remove(Age{when, victim, address});
            }
        }
    }
    while (m_byAge.size() >= kMaxPeers) {
        Remove(*m_byAge.begin());
    }
    m_hashes[infoHash][key] = now;
    m_byAge.insert(Age{now, infoHash, key});
}

std::vector<SocketAddress> PeerStore::Get(const std::string& infoHash, int family, Time now) {
    Expire(now);
    std::vector<SocketAddress> all;
    const auto found = m_hashes.find(infoHash);
    if (found == m_hashes.end()) {
        return all;
    }
    for (const auto& [key, when] : found->second) {
        SocketAddress peer;
        if (ReadCompactAddress(key, peer) && peer.Family() == family) {
            all.push_back(peer);
        }
    }
    if (all.size() > kMaxAnswer) {
        std::shuffle(all.begin(), all.end(), m_random);
        all.resize(kMaxAnswer);
    }
    return all;
}

void PeerStore::Expire(Time now) {
    while (!m_byAge.empty() && now - std::get<0>(*m_byAge.begin()) >= kLifetime) {
        Remove(*m_byAge.begin());
    }
}

}  // namespace velbrook
