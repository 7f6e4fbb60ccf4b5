// Fuzz target: arbitrary bytes as a metainfo, read for its trackers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string_view>

#include "metainfo/KeyPathMap.h"
#include "metainfo/Trackers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velbrook::KeyPathMap map;
    (void)map.Decode(std::string_view(reinterpret_cast<const char*>(data), size));
    const velbrook::TrackerList list = velbrook::ReadTrackerList(map);
    // Whatever the file says, a torrent holds a bounded list of distinct, bounded URLs.
    if (list.tiers.size() > velbrook::kMaxTrackerTiers) {
        std::abort();
    }
    std::set<std::string> seen;
    for (const auto& tier : list.tiers) {
        if (tier.empty()) {
            std::abort();
        }
        for (const auto& url : tier) {
            if (url.empty() || url.size() > velbrook::kMaxTrackerUrlLength ||
                !seen.insert(url).second) {
                std::abort();
            }
        }
    }
    if (seen.size() > velbrook::kMaxTrackerUrls) {
        std::abort();
    }
    (void)velbrook::IsPrivateTorrent(map);
    return 0;
}
