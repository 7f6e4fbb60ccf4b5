// Fuzz target: arbitrary bytes as a magnet link.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "metainfo/MagnetLink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    velbrook::MagnetLink link;
    std::string error;
    const bool parsed = velbrook::ParseMagnetLink(text, link, error);
    // A link names exactly one torrent, or says why not; whatever it carries stays bounded.
    if (!parsed && error.empty()) {
        std::abort();
    }
    if (parsed &&
        (link.infoHash.size() != 20 || link.displayName.size() > velbrook::kMaxMagnetNameLength ||
         link.trackers.size() > velbrook::kMaxTrackerTiers ||
         link.peers.size() > velbrook::kMaxMagnetPeers)) {
        std::abort();
    }
    for (const auto& tier : link.trackers) {
        if (tier.size() != 1 || tier[0].size() > velbrook::kMaxTrackerUrlLength ||
            !velbrook::IsTrackerUrl(tier[0])) {
            std::abort();
        }
    }
    for (const unsigned char c : link.displayName) {
        if (c < 0x20 || c == 0x7F) {
            std::abort();
        }
    }
    for (const auto& peer : link.peers) {
        if (peer.host.empty() || peer.port == 0) {
            std::abort();
        }
    }
    return 0;
}
