#include "tracker/TrackerAnswer.h"

#include <arpa/inet.h>

#include <algorithm>
#include <limits>

#include "metainfo/KeyPathMap.h"
#include "net/Address.h"

namespace velbrook {

namespace {

// A count as a non-negative int32, however large or negative the tracker's number.
bool ReadCount(const KeyPathMap& map, const std::string& key, int32_t& out) {
    int64_t value = 0;
    if (!map.GetInteger(key, value)) {
        return false;
    }
    out = static_cast<int32_t>(std::clamp<int64_t>(value, 0, std::numeric_limits<int32_t>::max()));
    return true;
}

std::string PeerKey(size_t index, const char* field) {
    return "peers-" + std::to_string(index) + "-" + field;
}

// A swarm count as a non-negative int32, however large or negative the tracker's number; 0 when
// it sent none.
int32_t CountOrZero(const KeyPathMap& map, std::string_view key) {
    int64_t value = 0;
    if (!map.GetInteger(key, value)) {
        return 0;
    }
    return static_cast<int32_t>(std::clamp<int64_t>(value, 0, std::numeric_limits<int32_t>::max()));
}

}  // namespace

// Six bytes a peer (IPv4 and port), or eighteen ("peers6": IPv6 and port), all in network order.
// A partial entry at the end is ignored, and so is port 0, which nobody can connect to.
void ReadCompactPeers(std::string_view bytes, bool ipv6, std::vector<TrackerPeer>& peers) {
    const size_t addressSize = ipv6 ? 16 : 4;
    const size_t entry = addressSize + 2;
    for (size_t at = 0; at + entry <= bytes.size() && peers.size() < kMaxAnswerPeers; at += entry) {
        auto byte = [&bytes, at](size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
        const auto port = static_cast<uint16_t>(byte(addressSize) << 8 | byte(addressSize + 1));
        if (port == 0) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        if (!::inet_ntop(ipv6 ? AF_INET6 : AF_INET, bytes.data() + at, text, sizeof text)) {
            continue;
        }
        TrackerPeer peer{};
        // An IPv4-mapped entry names an IPv4 peer.
        peer.address = CanonicalAddress(text);
        peer.port = port;
        peers.push_back(std::move(peer));
    }
}

TrackerAnswer ReadTrackerAnswer(std::string_view body) {
    TrackerAnswer answer;
    KeyPathMap map;
    if (!map.Decode(body)) {
        return answer;
    }
    answer.decoded = true;
    answer.hasFailure = map.GetString("failure reason", answer.failureReason);
    answer.hasInterval = map.GetInteger("interval", answer.interval);
    std::string compact;
    if (map.GetString("peers", compact)) {
        ReadCompactPeers(compact, false, answer.peers);
    }
    if (map.GetString("peers6", compact)) {
        ReadCompactPeers(compact, true, answer.peers);
    }
    for (size_t index = 0; answer.peers.size() < kMaxAnswerPeers; ++index) {
        TrackerPeer peer{};
        int32_t port = 0;
        if (!map.GetString(PeerKey(index, "ip"), peer.address) ||
            !map.GetInt32(PeerKey(index, "port"), port) ||
            !map.GetString(PeerKey(index, "peer id"), peer.peerId)) {
            break;
        }
        if (port < 1 || port > 65535 || peer.peerId.size() != 20 ||
            !IsNumericAddress(peer.address)) {
            continue;
        }
        peer.address = CanonicalAddress(peer.address);
        peer.port = static_cast<uint16_t>(port);
        answer.peers.push_back(std::move(peer));
    }
    if (!map.GetInt32("done peers", answer.donePeers)) {
        answer.donePeers = CountOrZero(map, "complete");
    }
    if (!map.GetInt32("num peers", answer.numPeers)) {
        answer.numPeers = CountOrZero(map, "incomplete");
    }
    return answer;
}

ScrapeAnswer ReadScrapeAnswer(std::string_view body, std::string_view infoHash) {
    ScrapeAnswer answer;
    KeyPathMap map;
    if (!map.Decode(body)) {
        return answer;
    }
    answer.decoded = true;
    answer.hasFailure = map.GetString("failure reason", answer.failureReason);
    // The dictionary is keyed by the raw 20 bytes of the hash.
    const std::string prefix = "files-" + std::string(infoHash) + "-";
    const bool complete = ReadCount(map, prefix + "complete", answer.complete);
    const bool incomplete = ReadCount(map, prefix + "incomplete", answer.incomplete);
    const bool downloaded = ReadCount(map, prefix + "downloaded", answer.downloaded);
    answer.found = complete || incomplete || downloaded;
    return answer;
}

std::string ScrapeUrlFor(std::string_view announceUrl) {
    constexpr std::string_view kAnnounce = "announce";
    const size_t query = std::min(announceUrl.find('?'), announceUrl.size());
    const std::string_view beforeQuery = announceUrl.substr(0, query);
    // The path starts at the first "/" after the scheme's "//"; a URL without one has no path.
    const size_t authority = beforeQuery.find("//");
    const size_t pathStart =
        beforeQuery.find('/', authority == std::string_view::npos ? 0 : authority + 2);
    if (authority == std::string_view::npos || pathStart == std::string_view::npos) {
        return {};
    }
    const size_t segment = beforeQuery.rfind('/') + 1;
    if (beforeQuery.substr(segment, kAnnounce.size()) != kAnnounce) {
        return {};
    }
    std::string url(announceUrl);
    url.replace(segment, kAnnounce.size(), "scrape");
    return url;
}

}  // namespace velbrook
