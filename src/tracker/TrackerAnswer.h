// What a tracker told us in answer to an announce or a scrape, whichever protocol carried it.
#pragma once

#include <cstddef>
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

// A tracker that lists a huge swarm must not make us open that many connections: an answer's
// peer list is cut here, whichever protocol carried it.
constexpr size_t kMaxAnswerPeers = 200;

// Compact peer entries appended to `peers` up to kMaxAnswerPeers: six bytes a peer (IPv4 and
// port) or eighteen (IPv6 and port), in network order. A cut-off entry at the end is ignored,
// and so is port 0; an IPv4-mapped entry names an IPv4 peer.
void ReadCompactPeers(std::string_view bytes, bool ipv6, std::vector<TrackerPeer>& peers);

// An HTTP tracker's bencoded answer: interval, failure reason, peers, counts. Pure, so it can be
// fuzzed on its own.
[[nodiscard]] TrackerAnswer ReadTrackerAnswer(std::string_view body);

// A tracker's counts for one torrent, between announces.
struct ScrapeAnswer {
    bool decoded = false;
    bool hasFailure = false;
    std::string failureReason;
    bool found = false;      // the tracker listed the torrent
    int32_t complete = 0;    // seeders
    int32_t incomplete = 0;  // leechers
    int32_t downloaded = 0;  // downloads completed so far
};

// An HTTP tracker's bencoded scrape answer, read for the torrent `infoHash` (20 bytes) in its
// "files" dictionary. Counts are never negative; one the tracker left out is 0.
[[nodiscard]] ScrapeAnswer ReadScrapeAnswer(std::string_view body, std::string_view infoHash);

// The scrape URL that goes with an HTTP announce URL: the last path segment must begin with
// "announce", which becomes "scrape" (".../announce.php?key=1" -> ".../scrape.php?key=1").
// Empty when the tracker offers none that way.
[[nodiscard]] std::string ScrapeUrlFor(std::string_view announceUrl);

}  // namespace velbrook
