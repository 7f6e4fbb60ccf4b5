#include "dht/DhtLookup.h"

#include <algorithm>

#include "dht/NodeId.h"

namespace velbrook {

void DhtLookup::Sort() {
    std::stable_sort(m_candidates.begin(), m_candidates.end(),
                     [this](const Candidate& a, const Candidate& b) {
                         if (a.id.empty() || b.id.empty()) {
                             return a.id.empty() && !b.id.empty();
                         }
                         return CloserTo(m_target, a.id, b.id);
                     });
}

DhtLookup::Candidate* DhtLookup::Find(const SocketAddress& address) {
    for (Candidate& candidate : m_candidates) {
        if (candidate.address == address) {
            return &candidate;
        }
    }
    return nullptr;
}

void DhtLookup::Add(const DhtNodeEntry& node) {
    if (node.id.size() != kNodeIdSize || node.id == m_ownId || Find(node.address)) {
        return;
    }
    for (const Candidate& candidate : m_candidates) {
        if (candidate.id == node.id) {
            return;
        }
    }
    m_candidates.push_back(Candidate{node.id, node.address, State::Fresh, {}});
    Sort();
    // Over the cap, the farthest node nobody is waiting on goes (perhaps the one just added).
    while (m_candidates.size() > kMaxCandidates) {
        const auto far =
            std::find_if(m_candidates.rbegin(), m_candidates.rend(), [](const Candidate& c) {
                return c.state == State::Fresh || c.state == State::Failed;
            });
        if (far == m_candidates.rend()) {
            break;
        }
        m_candidates.erase(std::next(far).base());
    }
}

void DhtLookup::AddSeed(const SocketAddress& address) {
    if (!Find(address) && m_candidates.size() < kMaxCandidates) {
        m_candidates.push_back(Candidate{{}, address, State::Fresh, {}});
        Sort();
    }
}

std::vector<DhtLookup::Candidate> DhtLookup::TakeNext() {
    std::vector<Candidate> next;
    size_t inFlight = InFlight();
    size_t considered = 0;
    for (Candidate& candidate : m_candidates) {
        if (inFlight >= kParallel) {
            break;
        }
        if (candidate.state == State::Failed) {
            continue;
        }
        // Seeds do not count among the closest: their place is not known yet.
        if (!candidate.id.empty() && ++considered > kClosest) {
            break;
        }
        if (candidate.state == State::Fresh) {
            candidate.state = State::Asked;
            next.push_back(candidate);
            ++inFlight;
        }
    }
    return next;
}

void DhtLookup::Answered(const SocketAddress& address, const std::string& id,
                         const std::string& token) {
    Candidate* candidate = Find(address);
    if (!candidate || candidate->state != State::Asked) {
        return;
    }
    candidate->state = State::Answered;
    candidate->token = token;
    if (candidate->id.empty() && id.size() == kNodeIdSize) {
        candidate->id = id;
        Sort();
    }
}

void DhtLookup::Failed(const SocketAddress& address) {
    if (Candidate* candidate = Find(address); candidate && candidate->state == State::Asked) {
        candidate->state = State::Failed;
    }
}

bool DhtLookup::Done() const {
    size_t considered = 0;
    for (const Candidate& candidate : m_candidates) {
        if (candidate.state == State::Failed) {
            continue;
        }
        if (candidate.id.empty()) {
            if (candidate.state != State::Answered) {
                return false;  // a seed still to ask or to hear from
            }
            continue;
        }
        if (++considered > kClosest) {
            break;
        }
        if (candidate.state != State::Answered) {
            return false;
        }
    }
    return true;
}

std::vector<DhtLookup::Candidate> DhtLookup::ClosestWithToken(size_t count) const {
    std::vector<Candidate> out;
    for (const Candidate& candidate : m_candidates) {
        if (out.size() < count && candidate.state == State::Answered && !candidate.id.empty() &&
            !candidate.token.empty()) {
            out.push_back(candidate);
        }
    }
    return out;
}

size_t DhtLookup::InFlight() const {
    return static_cast<size_t>(
        std::count_if(m_candidates.begin(), m_candidates.end(),
                      [](const Candidate& c) { return c.state == State::Asked; }));
}

}  // namespace velbrook
