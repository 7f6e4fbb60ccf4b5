// What a tracker told us in answer to an announce, whichever protocol carried it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velbrook {

struct TrackerPeer {
    std::string address;
    uint16_t port;
    std::string peerId;  // empty for a peer from a compact list
};

struct TrackerAnswer {
    bool decoded = false;
    bool hasFailure = false;
    std::string failureReason;
    bool hasInterval = false;
    int64_t interval = 0;
    std::vector<TrackerPeer> peers;
    int32_t donePeers = 0;
    int32_t numPeers = 0;
};

// An HTTP tracker's bencoded answer: interval, failure reason, peers, counts. Pure, so it can be
// fuzzed on its own.
[[nodiscard]] TrackerAnswer ReadTrackerAnswer(std::string_view body);

}  // namespace velbrook
