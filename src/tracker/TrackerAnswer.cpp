// Reading scrape answers. The announce answer's reader lives with the client that uses it.
#include "tracker/TrackerAnswer.h"

#include <algorithm>
#include <limits>

#include "metainfo/KeyPathMap.h"

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

}  // namespace

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
