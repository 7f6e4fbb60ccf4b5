#include "metainfo/Trackers.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <unordered_set>

#include "metainfo/KeyPathMap.h"

namespace velbrook {

namespace {

bool HasScheme(std::string_view url, std::string_view scheme) {
    if (url.size() < scheme.size()) {
        return false;
    }
    return std::equal(scheme.begin(), scheme.end(), url.begin(), [](char want, char got) {
        return want == std::tolower(static_cast<unsigned char>(got));
    });
}

// Nothing that could split a request line or a status line.
bool IsPlain(std::string_view url) {
    return std::none_of(url.begin(), url.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F;
    });
}

std::string Entry(size_t tier, size_t index) {
    return "announce-list-" + std::to_string(tier) + "-" + std::to_string(index);
}

}  // namespace

bool IsTrackerUrl(const std::string& url) {
    return HasScheme(url, "http://") || HasScheme(url, "https://") || HasScheme(url, "udp://");
}

TrackerList ReadTrackerList(const KeyPathMap& map) {
    TrackerList list;
    std::unordered_set<std::string> seen;
    size_t urls = 0;
    size_t tooLong = 0;
    size_t unknown = 0;
    size_t beyond = 0;
    std::string url;
    for (size_t tier = 0; map.GetString(Entry(tier, 0), url); ++tier) {
        std::vector<std::string> kept;
        for (size_t index = 0; map.GetString(Entry(tier, index), url); ++index) {
            if (url.size() > kMaxTrackerUrlLength) {
                ++tooLong;
            } else if (!IsTrackerUrl(url) || !IsPlain(url)) {
                ++unknown;
            } else if (list.tiers.size() == kMaxTrackerTiers || urls == kMaxTrackerUrls) {
                ++beyond;
            } else if (seen.insert(url).second) {
                kept.push_back(url);
                ++urls;
            }
        }
        if (!kept.empty()) {
            list.tiers.push_back(std::move(kept));
        }
    }
    if (list.tiers.empty()) {
        std::string announce;
        if (map.GetString("announce", announce) && !announce.empty()) {
            if (announce.size() > kMaxTrackerUrlLength) {
                ++tooLong;
            } else {
                list.tiers.push_back({announce});
            }
        }
    }
    std::string why;
    const auto add = [&why](size_t count, const char* what) {
        if (count != 0) {
            why += (why.empty() ? "" : ", ") + std::to_string(count) + " " + what;
        }
    };
    add(tooLong, "longer than 2048 bytes");
    add(unknown, "not http, https or udp");
    add(beyond, "beyond 64 tiers or 512 trackers");
    if (!why.empty()) {
        list.ignored = "Some trackers of this torrent are ignored: " + why + ".";
    }
    return list;
}

bool IsPrivateTorrent(const KeyPathMap& map) {
    int64_t value = 0;
    return map.GetInteger("info-private", value) && value == 1;
}

}  // namespace velbrook
