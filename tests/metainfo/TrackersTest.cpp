#include "metainfo/Trackers.h"

#include <gtest/gtest.h>

#include <string>

#include "metainfo/KeyPathMap.h"

namespace velbrook {
namespace {

std::string Text(const std::string& s) {
    return std::to_string(s.size()) + ":" + s;
}

TrackerList Read(const std::string& metainfo) {
    KeyPathMap map;
    EXPECT_TRUE(map.Decode(metainfo)) << metainfo;
    return ReadTrackerList(map);
}

TEST(TrackerList, TheListReplacesAnnounceAndFallsBackToItWhenUnusable) {
    const std::string announce = "8:announce" + Text("http://a/announce");
    // Tiers keep their order; a URL met twice counts once; other schemes are left out.
    TrackerList list =
        Read("d" + announce + "13:announce-listl" + "l" + Text("udp://b:80/announce") +
             Text("http://a/announce") + "e" + "l" + Text("wss://c/announce") +
             Text("HTTPS://d/x") + Text("udp://b:80/announce") + "ee" + "e");
    EXPECT_EQ(list.tiers,
              (AnnounceTiers{{"udp://b:80/announce", "http://a/announce"}, {"HTTPS://d/x"}}));
    EXPECT_EQ(list.ignored, "Some trackers of this torrent are ignored: 1 not http, https or udp.");

    // An empty list, a list of strings instead of tiers, or only URLs we cannot use: "announce".
    for (const std::string& unusable :
         {std::string("le"), "l" + Text("http://x/a") + "e", "ll" + Text("wss://x") + "ee"}) {
        list = Read("d" + announce + "13:announce-list" + unusable + "e");
        EXPECT_EQ(list.tiers, (AnnounceTiers{{"http://a/announce"}})) << unusable;
    }
    // Nothing at all: no tracker, and the torrent's info says whether that is all it may have.
    KeyPathMap map;
    ASSERT_TRUE(map.Decode("d4:infod7:privatei1eee"));
    EXPECT_TRUE(ReadTrackerList(map).tiers.empty());
    EXPECT_TRUE(IsPrivateTorrent(map));
    ASSERT_TRUE(map.Decode("d4:infod7:privatei2eee"));  // anything but 1 is public
    EXPECT_FALSE(IsPrivateTorrent(map));
}

TEST(TrackerList, AHostileListIsCutToItsBoundsWithOneMessage) {
    std::string tiers;
    for (size_t tier = 0; tier < 100; ++tier) {
        tiers += "l";
        for (size_t i = 0; i < 10; ++i) {
            tiers += Text("udp://t" + std::to_string(tier) + "-" + std::to_string(i) + ":1");
        }
        tiers += "e";
    }
    const std::string tooLong = "http://x/" + std::string(kMaxTrackerUrlLength, 'a');
    TrackerList list = Read("d13:announce-listl" + tiers + "l" + Text(tooLong) + "eee");
    ASSERT_EQ(list.tiers.size(), 52u);  // 512 URLs, ten a tier
    EXPECT_EQ(list.tiers.back().size(), 2u);
    EXPECT_EQ(list.ignored, "Some trackers of this torrent are ignored: 1 longer than 2048 bytes, "
                            "488 beyond 64 tiers or 512 trackers.");
    // One URL a tier meets the tier bound first.
    tiers.clear();
    for (size_t tier = 0; tier < 70; ++tier) {
        tiers += "l" + Text("udp://t" + std::to_string(tier) + ":1") + "e";
    }
    EXPECT_EQ(Read("d13:announce-listl" + tiers + "ee").tiers.size(), kMaxTrackerTiers);
    // A URL that could split a request line is refused like an unknown one.
    list = Read("d13:announce-listll" + Text("http://x/a b") + Text("http://x/\r\n") + "eee");
    EXPECT_TRUE(list.tiers.empty());
    EXPECT_EQ(list.ignored, "Some trackers of this torrent are ignored: 2 not http, https or udp.");
}

}  // namespace
}  // namespace velbrook
