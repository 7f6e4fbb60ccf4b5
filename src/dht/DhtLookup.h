// The bookkeeping of one iterative lookup, without sockets: which nodes to ask next (closest
// first, 3 at a time) and when it is over (the 8 closest nodes seen have answered, or nobody is
// left to ask).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dht/Krpc.h"

namespace velbrook {

class DhtLookup {
public:
    static constexpr size_t kParallel = 3;
    static constexpr size_t kClosest = 8;
    static constexpr size_t kMaxCandidates = 100;

    enum class State { Fresh, Asked, Answered, Failed };
    struct Candidate {
        std::string id;  // empty for a seed named only by its address (a router)
        SocketAddress address;
        State state = State::Fresh;
        std::string token;  // from its get_peers answer
    };

    DhtLookup(std::string target, std::string ownId)
        : m_target(std::move(target)), m_ownId(std::move(ownId)) {}

    // A node named in an answer or taken from the table. Ours, duplicates and, once the cap is
    // reached, nodes farther than all held are dropped.
    void Add(const DhtNodeEntry& node);
    // A node known only by its address: asked before the others.
    void AddSeed(const SocketAddress& address);
    // Marks and returns the nodes to ask now.
    std::vector<Candidate> TakeNext();
    // `id` is the id the node answered with.
    void Answered(const SocketAddress& address, const std::string& id, const std::string& token);
    void Failed(const SocketAddress& address);
    bool Done() const;

    // Answered nodes nearest to the target that gave a token, nearest first.
    std::vector<Candidate> ClosestWithToken(size_t count) const;
    size_t InFlight() const;
    size_t Size() const { return m_candidates.size(); }
    const std::string& Target() const { return m_target; }

private:
    void Sort();
    Candidate* Find(const SocketAddress& address);

    std::string m_target;
    std::string m_ownId;
    std::vector<Candidate> m_candidates;  // seeds first, then nearest first
};

}  // namespace velbrook
