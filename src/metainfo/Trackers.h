// Which trackers a metainfo names, and whether it keeps its swarm to them alone.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velbrook {

class KeyPathMap;

// Tiers of tracker URLs, tried tier by tier; the URLs of one tier are alternatives.
using AnnounceTiers = std::vector<std::vector<std::string>>;

// What a torrent may bring: beyond these the rest is ignored, so a hostile list costs little.
constexpr size_t kMaxTrackerTiers = 64;
constexpr size_t kMaxTrackerUrls = 512;
constexpr size_t kMaxTrackerUrlLength = 2048;

struct TrackerList {
    AnnounceTiers tiers;
    // One line about what was left out (a URL too long, of a kind we do not speak, beyond the
    // bounds); empty when nothing was.
    std::string ignored;
};

// "announce-list" when it holds at least one URL we can announce to, each tier in order with
// duplicates dropped; otherwise "announce" as a tier of its own (kept as it is, so a tracker we
// cannot reach still says why in the status). Empty when the metainfo names no tracker at all.
// A tier ends at its first entry that is not a string, and the list at its first empty tier.
[[nodiscard]] TrackerList ReadTrackerList(const KeyPathMap& map);

// The info dictionary says "private" = 1: peers come from the torrent's trackers only.
[[nodiscard]] bool IsPrivateTorrent(const KeyPathMap& map);

// An http://, https:// or udp:// URL (the scheme in any case).
[[nodiscard]] bool IsTrackerUrl(const std::string& url);

}  // namespace velbrook
